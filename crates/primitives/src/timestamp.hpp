// UTC instants with nanosecond resolution, as carried by envelopes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace ulo {

// seconds: Unix seconds (UTC, leap seconds not counted).
// nanos: 0..999'999'999, or 1'000'000'000.. for an instant inside an inserted
// leap second (the second shown as :60), which is then stored on second :59.
struct Timestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;
  bool operator==(const Timestamp&) const = default;
};

struct CivilTime {
  std::int64_t year;
  unsigned month, day, hour, minute, second;  // second may be 60
  std::uint32_t nanos;                         // 0..999'999'999
};

CivilTime to_civil(Timestamp t);
// Appends the canonical form: YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z.
void append_timestamp(std::string& out, Timestamp t);
std::string format_timestamp(Timestamp t);

}  // namespace ulo
