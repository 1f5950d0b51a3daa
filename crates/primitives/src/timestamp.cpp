#include "timestamp.hpp"


namespace ulo {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// Proleptic Gregorian calendar <-> days since 1970-01-01, exact for every
// int64 day count a Timestamp can produce.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<std::int64_t>(y - era * 400);
  const std::int64_t mp = m > 2 ? m - 3 : m + 9;
  const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Ymd {
  std::int64_t y;
  unsigned m, d;
};

Ymd civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const auto d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

bool is_leap_year(std::int64_t y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

unsigned days_in_month(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

void put_digits(char* p, std::uint64_t v, int width) {
  for (int k = width - 1; k >= 0; --k) {
    p[k] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
}

// --- Parsing ---

constexpr std::string_view kOutOfRange = "input is out of range";
constexpr std::string_view kInvalid = "input contains invalid characters";
constexpr std::string_view kTooShort = "premature end of input";
constexpr std::string_view kTooLong = "trailing input";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Scans exactly `n` digits; fewer bytes than `n` is too short, a non-digit
// among them invalid.
struct Scanner {
  std::string_view s;
  std::size_t i = 0;
  std::string_view err;

  bool number(int n, std::int64_t& out) {
    if (s.size() - i < static_cast<std::size_t>(n)) return fail(kTooShort);
    std::int64_t v = 0;
    for (int k = 0; k < n; ++k) {
      const char c = s[i + k];
      if (!is_digit(c)) return fail(kInvalid);
      v = v * 10 + (c - '0');
    }
    i += n;
    out = v;
    return true;
  }
  bool expect(char c) {
    if (i == s.size()) return fail(kTooShort);
    if (s[i] != c) return fail(kInvalid);
    ++i;
    return true;
  }
  bool fail(std::string_view e) {
    err = e;
    return false;
  }
};

}  // namespace

CivilTime to_civil(Timestamp t) {
  std::int64_t days = t.seconds / kSecondsPerDay;
  std::int64_t sod = t.seconds % kSecondsPerDay;
  if (sod < 0) {
    sod += kSecondsPerDay;
    --days;
  }
  const Ymd ymd = civil_from_days(days);
  CivilTime c{};
  c.year = ymd.y;
  c.month = ymd.m;
  c.day = ymd.d;
  c.hour = static_cast<unsigned>(sod / 3600);
  c.minute = static_cast<unsigned>(sod / 60 % 60);
  c.second = static_cast<unsigned>(sod % 60);
  c.nanos = t.nanos;
  // An instant inside a leap second is shown as second 60.
  if (c.nanos >= kNanosPerSecond) {
    c.second += 1;
    c.nanos -= kNanosPerSecond;
    if (c.nanos >= kNanosPerSecond) c.nanos = kNanosPerSecond - 1;
  }
  return c;
}

void append_timestamp(std::string& out, Timestamp t) {
  char buf[kMaxTimestampChars];
  out.append(buf, write_timestamp(buf, t));
}

std::size_t write_timestamp(char* buf, Timestamp t) {
  const CivilTime c = to_civil(t);
  char* p = buf;
  if (c.year >= 0 && c.year <= 9999) {
    put_digits(p, static_cast<std::uint64_t>(c.year), 4);
    p += 4;
  } else {
    *p++ = c.year < 0 ? '-' : '+';
    const std::uint64_t mag = c.year < 0 ? 0 - static_cast<std::uint64_t>(c.year)
                                         : static_cast<std::uint64_t>(c.year);
    int width = 4;
    for (std::uint64_t v = mag / 10000; v > 0; v /= 10) ++width;
    put_digits(p, mag, width);
    p += width;
  }
  *p++ = '-';
  put_digits(p, c.month, 2), p += 2;
  *p++ = '-';
  put_digits(p, c.day, 2), p += 2;
  *p++ = 'T';
  put_digits(p, c.hour, 2), p += 2;
  *p++ = ':';
  put_digits(p, c.minute, 2), p += 2;
  *p++ = ':';
  put_digits(p, c.second, 2), p += 2;
  // The shortest of 0, 3, 6 or 9 fraction digits that holds the value.
  if (c.nanos != 0) {
    *p++ = '.';
    if (c.nanos % 1'000'000 == 0) {
      put_digits(p, c.nanos / 1'000'000, 3), p += 3;
    } else if (c.nanos % 1000 == 0) {
      put_digits(p, c.nanos / 1000, 6), p += 6;
    } else {
      put_digits(p, c.nanos, 9), p += 9;
    }
  }
  *p++ = 'Z';
  return static_cast<std::size_t>(p - buf);
}

std::string format_timestamp(Timestamp t) {
  std::string out;
  append_timestamp(out, t);
  return out;
}

Result<Timestamp, std::string_view> parse_timestamp(std::string_view text) {
  Scanner sc{text, 0, {}};
  std::int64_t year, month, day, hour, minute, second;
  // Each field is range-checked as soon as it is read, so an early bad field
  // is reported even when later text is malformed too.
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    // The signed form the encoder writes for years outside 0..9999, so
    // that every written timestamp reads back: a sign and 4 to 11 digits.
    // A sign on a year the plain form can hold is not RFC 3339 and never
    // written, so it stays refused.
    sc.i = 1;
    std::size_t end = 1;
    while (end < text.size() && end <= 11 && is_digit(text[end])) ++end;
    const auto n = static_cast<int>(end - 1);
    if (n < 4) return unexpected(end == text.size() ? kTooShort : kInvalid);
    if (!sc.number(n, year)) return unexpected(sc.err);
    if (text[0] == '-') year = -year;
    if (year >= 0 && year <= 9999) return unexpected(kInvalid);
  } else if (!sc.number(4, year)) {
    return unexpected(sc.err);
  }
  if (!sc.expect('-') || !sc.number(2, month)) return unexpected(sc.err);
  if (month < 1 || month > 12) return unexpected(kOutOfRange);
  if (!sc.expect('-') || !sc.number(2, day)) return unexpected(sc.err);
  if (day < 1 || day > 31) return unexpected(kOutOfRange);
  if (sc.i == text.size()) return unexpected(kTooShort);
  if (text[sc.i] != 'T' && text[sc.i] != 't') return unexpected(kInvalid);
  ++sc.i;
  if (!sc.number(2, hour)) return unexpected(sc.err);
  if (hour > 23) return unexpected(kOutOfRange);
  if (!sc.expect(':') || !sc.number(2, minute)) return unexpected(sc.err);
  if (minute > 59) return unexpected(kOutOfRange);
  if (!sc.expect(':') || !sc.number(2, second)) return unexpected(sc.err);
  if (second > 60) return unexpected(kOutOfRange);

  std::uint32_t nanos = 0;
  if (sc.i < text.size() && text[sc.i] == '.') {
    ++sc.i;
    if (sc.i == text.size()) return unexpected(kTooShort);
    if (!is_digit(text[sc.i])) return unexpected(kInvalid);
    // The first nine digits count; further ones are dropped.
    int digits = 0;
    while (sc.i < text.size() && is_digit(text[sc.i])) {
      if (digits < 9) {
        nanos = nanos * 10 + static_cast<std::uint32_t>(text[sc.i] - '0');
        ++digits;
      }
      ++sc.i;
    }
    for (; digits < 9; ++digits) nanos *= 10;
  }

  std::int64_t offset = 0;
  if (sc.i == text.size()) return unexpected(kTooShort);
  const char z = text[sc.i];
  if (z == 'Z' || z == 'z') {
    ++sc.i;
  } else {
    if (z != '+' && z != '-') return unexpected(kInvalid);
    ++sc.i;
    if (text.size() - sc.i < 2) return unexpected(kTooShort);
    if (!is_digit(text[sc.i]) || !is_digit(text[sc.i + 1])) return unexpected(kInvalid);
    const std::int64_t oh = (text[sc.i] - '0') * 10 + (text[sc.i + 1] - '0');
    sc.i += 2;
    if (!sc.expect(':')) return unexpected(sc.err);
    if (text.size() - sc.i < 2) return unexpected(kTooShort);
    const char m1 = text[sc.i], m2 = text[sc.i + 1];
    if (!is_digit(m1) || !is_digit(m2)) return unexpected(kInvalid);
    if (m1 >= '6') return unexpected(kOutOfRange);
    sc.i += 2;
    offset = oh * 3600 + std::int64_t{m1 - '0'} * 600 + std::int64_t{m2 - '0'} * 60;
    if (offset > std::int64_t{23 * 60 + 59} * 60) return unexpected(kOutOfRange);
    if (z == '-') offset = -offset;
  }
  if (sc.i != text.size()) return unexpected(kTooLong);
  if (static_cast<unsigned>(day) > days_in_month(year, static_cast<unsigned>(month)))
    return unexpected(kOutOfRange);

  // A leap second is kept on second 59 with the nanoseconds past one second.
  if (second == 60) {
    second = 59;
    nanos += kNanosPerSecond;
  }
  Timestamp t;
  t.seconds = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
                  kSecondsPerDay +
              hour * 3600 + minute * 60 + second - offset;
  t.nanos = nanos;
  return t;
}

std::string timestamp_hint(std::string_view text) {
  // Each mistake is found by the repair that makes the text parse.
  std::string t(text);
  std::string hint;
  const auto add = [&hint](std::string_view h) { hint += (hint.empty() ? "" : "; ") + std::string(h); };
  const std::size_t sep = t.find(' ', 8);
  if (sep != std::string::npos && sep >= 10 && sep <= 17) {
    t[sep] = 'T';
    add("the date and the time are joined by T, not a space");
  }
  if (!t.empty() && t.back() != 'Z' && t.back() != 'z' && parse_timestamp(t + "Z")) {
    add("no UTC offset: add Z or +00:00");
    t += 'Z';
  } else if (parse_timestamp(t + "T00:00:00Z")) {
    add("a date alone: add a time and an offset, e.g. T00:00:00Z");
    t += "T00:00:00Z";
  } else if (t.ends_with(" UTC") && parse_timestamp(t.substr(0, t.size() - 4) + "Z")) {
    add("write the offset as Z or +00:00, not UTC");
    t.replace(t.size() - 4, 4, "Z");
  }
  return parse_timestamp(t) ? hint : std::string();
}

}  // namespace ulo
