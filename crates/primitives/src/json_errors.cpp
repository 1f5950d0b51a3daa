// What the reader reports: failures with their positions, and the
// descriptions of unexpected values ("invalid type: integer `1`, expected
// a string", "unknown variant ...").
#include <algorithm>
#include <charconv>
#include <limits>

#include "json_reader.hpp"
#include "quote.hpp"

namespace ulo {
namespace {

// A finite double the way the found-value descriptions show it: the shortest
// digits that read back to the same value, laid out without an exponent.
void append_plain_double(std::string& out, double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  if (!sci.empty() && sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exp = 0;
  std::string_view es = sci.substr(e + 1);
  if (!es.empty() && es[0] == '+') es.remove_prefix(1);
  std::from_chars(es.data(), es.data() + es.size(), exp);
  const auto nd = static_cast<int>(digits.size());
  if (exp >= nd - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exp - (nd - 1)), '0');
  } else if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exp) + 1);
    out += '.';
    out.append(digits, static_cast<std::size_t>(exp) + 1);
  }
}

}  // namespace

JsonPosition json_position(std::string_view text, std::size_t i) {
  i = std::min(i, text.size());
  const std::size_t nl = text.substr(0, i).rfind('\n');
  const std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  const auto lines = static_cast<std::size_t>(
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
  return {1 + lines, i - line_start};
}

bool JsonReader::fail(std::string msg, bool placed, std::size_t pos) {
  if (!failed_) {
    failed_ = true;
    placed_ = placed;
    err_pos_ = pos;
    err_msg_ = std::move(msg);
  }
  return false;
}

bool JsonReader::fail_here(std::string msg) { return fail(std::move(msg), true, i_); }

bool JsonReader::fail_peek(std::string msg) {
  return fail(std::move(msg), true, std::min(s_.size(), i_ + 1));
}

bool JsonReader::fail_unplaced(std::string msg) { return fail(std::move(msg), false, 0); }

void JsonReader::place_failure() {
  if (failed_ && !placed_) {
    placed_ = true;
    err_pos_ = i_;
  }
}

JsonError JsonReader::error() const {
  const JsonPosition p = json_position(s_, placed_ ? err_pos_ : i_);
  JsonError e;
  e.message.reserve(err_msg_.size() + 32);
  e.message = err_msg_;
  e.message += " at line ";
  e.message += std::to_string(p.line);
  e.message += " column ";
  e.message += std::to_string(p.column);
  e.hint = hint_;
  for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
    if (!e.field.empty()) e.field += '.';
    e.field += *it;
  }
  return e;
}

// Reads a number (its '-' already consumed when `negative`) and describes it
// as "integer `n`" or "floating point `x`". Integers are those that fit in
// 64 bits (unsigned, or signed when negative); "-0" is floating point.
bool JsonReader::parse_number_description(bool negative, std::string& found) {
  const std::size_t n = s_.size();
  const std::size_t start = negative ? i_ - 1 : i_;
  if (i_ == n) return fail_here("EOF while parsing a value");
  const char first = s_[i_++];
  std::uint64_t mag = 0;
  bool overflow = false;
  if (first == '0') {
    if (i_ < n && json_bytes::is_digit(s_[i_])) return fail_peek("invalid number");
  } else if (first >= '1' && first <= '9') {
    mag = static_cast<std::uint64_t>(first - '0');
    while (i_ < n && json_bytes::is_digit(s_[i_])) {
      const auto d = static_cast<std::uint64_t>(s_[i_] - '0');
      if (mag > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
      mag = mag * 10 + d;
      ++i_;
    }
  } else {
    return fail_here("invalid number");
  }
  bool is_float = overflow;
  if (i_ < n && s_[i_] == '.') {
    ++i_;
    if (i_ == n) return fail_peek("EOF while parsing a value");
    if (!json_bytes::is_digit(s_[i_])) return fail_peek("invalid number");
    while (i_ < n && json_bytes::is_digit(s_[i_])) ++i_;
    is_float = true;
  }
  if (i_ < n && (s_[i_] == 'e' || s_[i_] == 'E')) {
    ++i_;
    if (i_ < n && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
    if (i_ == n) return fail_here("EOF while parsing a value");
    if (!json_bytes::is_digit(s_[i_++])) return fail_here("invalid number");
    while (i_ < n && json_bytes::is_digit(s_[i_])) ++i_;
    is_float = true;
  }
  constexpr std::uint64_t kMinI64Mag = std::uint64_t{1} << 63;
  char buf[32];
  if (!is_float && !negative) {
    auto r = std::to_chars(buf, buf + sizeof buf, mag);
    found = "integer `" + std::string(buf, r.ptr) + "`";
    return true;
  }
  if (!is_float && negative && mag != 0 && mag <= kMinI64Mag) {
    const std::int64_t v = mag == kMinI64Mag ? std::numeric_limits<std::int64_t>::min()
                                             : -static_cast<std::int64_t>(mag);
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    found = "integer `" + std::string(buf, r.ptr) + "`";
    return true;
  }
  const std::string_view tok = s_.substr(start, i_ - start);
  double v = 0;
  auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero. The decimal exponent of
    // the leading non-zero digit tells them apart.
    std::string_view body = tok.substr(negative ? 1 : 0);
    const std::size_t epos = body.find_first_of("eE");
    long long exp = 0;
    if (epos != std::string_view::npos) {
      std::string_view es = body.substr(epos + 1);
      const bool eneg = !es.empty() && es[0] == '-';
      if (!es.empty() && (es[0] == '-' || es[0] == '+')) es.remove_prefix(1);
      for (char c : es) exp = std::min<long long>(exp * 10 + (c - '0'), 1'000'000'000);
      if (eneg) exp = -exp;
      body = body.substr(0, epos);
    }
    const std::size_t dot = body.find('.');
    const std::string_view ip = body.substr(0, dot);
    long long mag_exp = std::numeric_limits<long long>::min();
    const std::size_t nz = ip.find_first_not_of('0');
    if (nz != std::string_view::npos) {
      mag_exp = static_cast<long long>(ip.size() - nz) - 1 + exp;
    } else if (dot != std::string_view::npos) {
      const std::string_view fp = body.substr(dot + 1);
      const std::size_t fz = fp.find_first_not_of('0');
      if (fz != std::string_view::npos) mag_exp = -static_cast<long long>(fz) - 1 + exp;
    }
    if (mag_exp > 0) return fail_here("number out of range");
    v = negative ? -0.0 : 0.0;
  }
  found = "floating point `";
  append_plain_double(found, v);
  found += '`';
  return true;
}

bool JsonReader::invalid_type(std::string_view expected) {
  std::string found;
  // A literal: the rest of its letters, then how it is shown.
  const auto literal = [&](std::string_view rest, std::string_view shown) {
    eat();
    found = shown;
    return parse_ident(rest);
  };
  const int c = peek_ws();
  switch (c) {
    case 'n':
      if (!literal("ull", "null")) return false;
      break;
    case 't':
      if (!literal("rue", "boolean `true`")) return false;
      break;
    case 'f':
      if (!literal("alse", "boolean `false`")) return false;
      break;
    case '-':
      eat();
      if (!parse_number_description(true, found)) return false;
      break;
    case '"': {
      eat();
      std::string buf;
      std::string_view v;
      if (!parse_str(v, buf)) return false;
      found = "string ";
      append_quoted_bounded(found, v);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      if (!json_bytes::is_digit(c)) return fail_peek("expected value");
      if (!parse_number_description(false, found)) return false;
  }
  std::string msg = "invalid type: ";
  msg += found;
  msg += ", expected ";
  msg += expected;
  return fail_here(std::move(msg));
}

std::string unknown_variant_message(std::string_view value,
                                    std::span<const std::string_view> names) {
  std::string msg = "unknown variant `";
  append_echoed(msg, value);
  msg += "`, ";
  if (names.empty()) {
    msg += "there are no variants";
    return msg;
  }
  msg += "expected ";
  if (names.size() > 2) msg += "one of ";
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k) msg += names.size() == 2 ? " or " : ", ";
    msg += '`';
    msg += names[k];
    msg += '`';
  }
  return msg;
}

}  // namespace ulo
