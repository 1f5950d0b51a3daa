// Fuzzes timestamp parsing and formatting:
//  - text that parses must format to a canonical text that parses back to
//    the same instant and formats identically;
//  - for a "Z" text, the civil fields must equal the digits written, which
//    checks the calendar arithmetic against the text itself; an offset text
//    must equal the same wall time in UTC minus the offset;
//  - the first 12 bytes read as an instant must survive format and parse
//    (within the years the parser reads: at most 11 digits).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "timestamp.hpp"

namespace {

// Instants of years with at most 11 digits: about +-99'999'999'999 years.
constexpr std::int64_t kYearLimitSeconds = 3'155'000'000'000'000'000;

std::int64_t digits(std::string_view s, std::size_t at, std::size_t n) {
  std::int64_t v = 0;
  for (std::size_t k = 0; k < n; ++k) v = v * 10 + (s[at + k] - '0');
  return v;
}

void check_round_trip(ulo::Timestamp t) {
  const std::string text = ulo::format_timestamp(t);
  if (t.seconds <= -kYearLimitSeconds || t.seconds >= kYearLimitSeconds) return;
  const auto back = ulo::parse_timestamp(text);
  if (!back || !(*back == t)) std::abort();
  if (ulo::format_timestamp(*back) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto t = ulo::parse_timestamp(text);
  if (t) {
    if (t->nanos >= 2'000'000'000) std::abort();
    check_round_trip(*t);
    // Layout up to the seconds: [sign]YYYY...-MM-DDTHH:MM:SS, all fixed
    // width after the year.
    const ulo::CivilTime c = ulo::to_civil(*t);
    const std::size_t y = text.find('-', 1);
    std::int64_t year = text[0] == '+' || text[0] == '-' ? digits(text, 1, y - 1) : digits(text, 0, 4);
    if (text[0] == '-') year = -year;
    const char zone = text.back();
    if (zone == 'Z' || zone == 'z') {
      std::uint32_t nanos = 0;
      std::size_t i = y + 15, n = 0;
      if (text[i] == '.')
        for (++i; text[i] >= '0' && text[i] <= '9'; ++i)
          if (n < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(text[i] - '0'), ++n;
      for (; n < 9; ++n) nanos *= 10;
      if (c.year != year || c.month != digits(text, y + 1, 2) || c.day != digits(text, y + 4, 2) ||
          c.hour != digits(text, y + 7, 2) || c.minute != digits(text, y + 10, 2) ||
          c.second != digits(text, y + 13, 2) || c.nanos != nanos)
        std::abort();
    } else {
      const std::size_t o = text.size() - 6;
      std::string utc(text.substr(0, o));
      utc += 'Z';
      const auto u = ulo::parse_timestamp(utc);
      if (!u) std::abort();
      std::int64_t offset = digits(text, o + 1, 2) * 3600 + digits(text, o + 4, 2) * 60;
      if (text[o] == '-') offset = -offset;
      if (u->seconds - offset != t->seconds || u->nanos != t->nanos) std::abort();
    }
  }
  if (size >= 12) {
    ulo::Timestamp raw;
    std::uint32_t nanos;
    std::memcpy(&raw.seconds, data, 8);
    std::memcpy(&nanos, data + 8, 4);
    raw.nanos = nanos % 2'000'000'000;
    // Only an instant on second :59 can lie inside a leap second.
    if (((raw.seconds % 60) + 60) % 60 != 59) raw.nanos %= 1'000'000'000;
    check_round_trip(raw);
  }
  return 0;
}
