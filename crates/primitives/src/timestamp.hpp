// UTC instants with nanosecond resolution, as carried by envelopes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "result.hpp"

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
// The same form written to `buf` (room for kMaxTimestampChars); returns the
// length.
inline constexpr std::size_t kMaxTimestampChars = 48;
std::size_t write_timestamp(char* buf, Timestamp t);
std::string format_timestamp(Timestamp t);

// Parses an RFC 3339 date-time with any UTC offset ("Z", "z", "+hh:mm",
// "-hh:mm"; "T" or "t" between date and time; any number of fraction digits,
// of which the first nine count). Second 60 is accepted as a leap second.
// Years outside 0..9999 are read in the signed form that append_timestamp
// writes ("+10000", "-0001").
// Failure texts: "input is out of range", "input contains invalid
// characters", "premature end of input", "trailing input".
Result<Timestamp, std::string_view> parse_timestamp(std::string_view text);

// For a text parse_timestamp refuses, what a common mistake in it needs
// ("no UTC offset: add Z or +00:00", ...), or empty when it is none of them.
std::string timestamp_hint(std::string_view text);

}  // namespace ulo
