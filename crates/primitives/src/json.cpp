#include "json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "quote.hpp"
#include "record_table.hpp"
#include "utf8.hpp"

namespace ulo {

namespace {

// Bytes the canonical encoder must escape.
constexpr auto kNeedsEscape = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

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

// Length of the run from p[i] on that canonical output copies unchanged.
inline std::size_t escape_free_run(const char* p, std::size_t n, std::size_t i) {
  const std::size_t start = i;
  while (n - i >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (const std::uint64_t m = json_detail::escape_mask(w)) {
      return i - start + static_cast<std::size_t>(std::countr_zero(m) >> 3);
    }
    i += 8;
  }
  while (i < n && !kNeedsEscape[static_cast<unsigned char>(p[i])]) ++i;
  return i - start;
}

}  // namespace

// --- Writing ---

void append_json_string(std::string& out, std::string_view s) {
  JsonWriter w(out);
  w.string(s);
  w.finish();
}

JsonWriter::JsonWriter(std::string& out, bool indented) : out_(out), indented_(indented) {
  const std::size_t used = out_.size();
  out_.resize(std::max(out_.capacity(), used + 256));
  cur_ = out_.data() + used;
  end_ = out_.data() + out_.size();
}

void JsonWriter::finish() { out_.resize(static_cast<std::size_t>(cur_ - out_.data())); }

void JsonWriter::grow(std::size_t n) {
  const auto used = static_cast<std::size_t>(cur_ - out_.data());
  out_.resize(std::max(out_.size() * 2, used + n));
  cur_ = out_.data() + used;
  end_ = out_.data() + out_.size();
}

void JsonWriter::newline_indent() {
  const auto spaces = 2 * static_cast<std::size_t>(depth_);
  char* p = room(spaces + 1);
  *p = '\n';
  std::memset(p + 1, ' ', spaces);
  cur_ += spaces + 1;
}

void JsonWriter::open(char c) {
  put(c);
  ++depth_;
  has_member_ &= ~(std::uint64_t{1} << (depth_ & 63));
}

void JsonWriter::separate() {
  const std::uint64_t bit = std::uint64_t{1} << (depth_ & 63);
  if (has_member_ & bit) put(',');
  has_member_ |= bit;
  if (indented_) newline_indent();
}

void JsonWriter::close(char c) {
  const bool had = (has_member_ >> (depth_ & 63)) & 1;
  --depth_;
  if (indented_ && had) newline_indent();
  put(c);
}

void JsonWriter::key(std::string_view k) {
  separate();
  // Keys are the records' own field names: plain ASCII, nothing to escape.
  char* p = room(k.size() + 4);
  *p++ = '"';
  std::memcpy(p, k.data(), k.size());
  p += k.size();
  *p++ = '"';
  *p++ = ':';
  if (indented_) *p++ = ' ';
  cur_ = p;
}

void JsonWriter::string(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  put('"');
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t run = escape_free_run(p, n, i);
    put(std::string_view(p + i, run));
    i += run;
    if (i >= n) break;
    const auto c = static_cast<unsigned char>(p[i++]);
    switch (c) {
      case '"': put("\\\""); break;
      case '\\': put("\\\\"); break;
      case '\b': put("\\b"); break;
      case '\t': put("\\t"); break;
      case '\n': put("\\n"); break;
      case '\f': put("\\f"); break;
      case '\r': put("\\r"); break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        put(std::string_view(esc, 6));
      }
    }
  }
  put('"');
}

void JsonWriter::timestamp(Timestamp t) {
  char* p = room(kMaxTimestampChars + 2);
  *p++ = '"';
  p += write_timestamp(p, t);
  *p++ = '"';
  cur_ = p;
}

// --- Positions and failures ---

JsonPosition json_position(std::string_view text, std::size_t i) {
  i = std::min(i, text.size());
  const std::size_t nl = text.substr(0, i).rfind('\n');
  const std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  const auto lines = static_cast<std::size_t>(
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
  return {1 + lines, i - line_start};
}

bool JsonReader::fail_here(std::string msg) {
  if (!failed_) {
    failed_ = true;
    placed_ = true;
    err_pos_ = i_;
    err_msg_ = std::move(msg);
  }
  return false;
}

bool JsonReader::fail_peek(std::string msg) {
  if (!failed_) {
    failed_ = true;
    placed_ = true;
    err_pos_ = std::min(s_.size(), i_ + 1);
    err_msg_ = std::move(msg);
  }
  return false;
}

bool JsonReader::fail_unplaced(std::string msg) {
  if (!failed_) {
    failed_ = true;
    placed_ = false;
    err_msg_ = std::move(msg);
  }
  return false;
}

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
  return e;
}

// --- Lexing ---

bool JsonReader::enter() {
  if (--remaining_depth_ == 0) return fail_peek("recursion limit exceeded");
  return true;
}

bool JsonReader::end() {
  if (peek_ws() >= 0) return fail_peek("trailing characters");
  return true;
}

bool JsonReader::parse_ident(std::string_view rest) {
  for (char expected : rest) {
    if (i_ == s_.size()) return fail_here("EOF while parsing a value");
    if (s_[i_++] != expected) return fail_here("expected ident");
  }
  return true;
}

bool JsonReader::validate_utf8_at() {
  const std::size_t len = utf8::valid_length(s_, i_);
  if (len == 0) {
    ++i_;
    return fail_here("invalid unicode code point");
  }
  i_ += len;
  return true;
}

bool JsonReader::decode_hex(std::uint32_t& out) {
  if (s_.size() - i_ < 4) {
    i_ = s_.size();
    return fail_here("EOF while parsing a string");
  }
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(s_[i_++]);
    if (h < 0) return fail_here("invalid escape");
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  out = v;
  return true;
}

bool JsonReader::parse_escape(std::string& buf) {
  if (i_ == s_.size()) return fail_here("EOF while parsing a string");
  switch (s_[i_++]) {
    case '"': buf += '"'; return true;
    case '\\': buf += '\\'; return true;
    case '/': buf += '/'; return true;
    case 'b': buf += '\b'; return true;
    case 'f': buf += '\f'; return true;
    case 'n': buf += '\n'; return true;
    case 'r': buf += '\r'; return true;
    case 't': buf += '\t'; return true;
    case 'u': break;
    default: return fail_here("invalid escape");
  }
  std::uint32_t cp;
  if (!decode_hex(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A leading surrogate must be followed by an escaped trailing one.
    if (i_ == s_.size()) return fail_here("EOF while parsing a string");
    if (s_[i_++] != '\\') return fail_here("unexpected end of hex escape");
    if (i_ == s_.size()) return fail_here("EOF while parsing a string");
    if (s_[i_++] != 'u') return fail_here("unexpected end of hex escape");
    std::uint32_t lo;
    if (!decode_hex(lo)) return false;
    if (lo < 0xDC00 || lo > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
  }
  append_utf8(buf, cp);
  return true;
}

bool JsonReader::parse_str_slow(std::string_view& out, std::string& buf) {
  std::size_t start = i_;
  bool copied = false;
  for (;;) {
    i_ = json_detail::scan_plain(s_, i_);
    if (i_ == s_.size()) return fail_here("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(s_[i_]);
    if (c == '"') {
      if (copied) {
        buf.append(s_.data() + start, i_ - start);
        out = buf;
      } else {
        out = s_.substr(start, i_ - start);
      }
      ++i_;
      return true;
    }
    if (c == '\\') {
      if (!copied) {
        buf.clear();
        copied = true;
      }
      buf.append(s_.data() + start, i_ - start);
      ++i_;
      if (!parse_escape(buf)) return false;
      start = i_;
    } else if (c < 0x20) {
      ++i_;
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    } else if (!validate_utf8_at()) {
      return false;
    }
  }
}

// Like parse_str without keeping the text; surrogate pairing is not checked
// in values that are thrown away.
bool JsonReader::skip_str() {
  for (;;) {
    i_ = json_detail::scan_plain(s_, i_);
    if (i_ == s_.size()) return fail_here("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(s_[i_]);
    if (c == '"') {
      ++i_;
      return true;
    }
    if (c == '\\') {
      ++i_;
      if (i_ == s_.size()) return fail_here("EOF while parsing a string");
      switch (s_[i_++]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          break;
        case 'u': {
          std::uint32_t ignored;
          if (!decode_hex(ignored)) return false;
          break;
        }
        default:
          return fail_here("invalid escape");
      }
    } else if (c < 0x20) {
      // Unlike parse_str, the position stays on the control character.
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    } else if (!validate_utf8_at()) {
      return false;
    }
  }
}

bool JsonReader::skip_number() {
  const std::size_t n = s_.size();
  const char first = i_ < n ? s_[i_++] : '\0';
  if (first == '0') {
    if (i_ < n && is_digit(s_[i_])) return fail_peek("invalid number");
  } else if (first >= '1' && first <= '9') {
    while (i_ < n && is_digit(s_[i_])) ++i_;
  } else {
    return fail_here("invalid number");
  }
  if (i_ < n && s_[i_] == '.') {
    ++i_;
    if (i_ == n || !is_digit(s_[i_])) return fail_peek("invalid number");
    while (i_ < n && is_digit(s_[i_])) ++i_;
  }
  if (i_ < n && (s_[i_] == 'e' || s_[i_] == 'E')) {
    ++i_;
    if (i_ < n && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
    const char d = i_ < n ? s_[i_++] : '\0';
    if (!is_digit(d)) return fail_here("invalid number");
    while (i_ < n && is_digit(s_[i_])) ++i_;
  }
  return true;
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
    if (i_ < n && is_digit(s_[i_])) return fail_peek("invalid number");
  } else if (first >= '1' && first <= '9') {
    mag = static_cast<std::uint64_t>(first - '0');
    while (i_ < n && is_digit(s_[i_])) {
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
    if (!is_digit(s_[i_])) return fail_peek("invalid number");
    while (i_ < n && is_digit(s_[i_])) ++i_;
    is_float = true;
  }
  if (i_ < n && (s_[i_] == 'e' || s_[i_] == 'E')) {
    ++i_;
    if (i_ < n && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
    if (i_ == n) return fail_here("EOF while parsing a value");
    if (!is_digit(s_[i_++])) return fail_here("invalid number");
    while (i_ < n && is_digit(s_[i_])) ++i_;
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
  const int c = peek_ws();
  switch (c) {
    case 'n':
      eat();
      if (!parse_ident("ull")) return false;
      found = "null";
      break;
    case 't':
      eat();
      if (!parse_ident("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      eat();
      if (!parse_ident("alse")) return false;
      found = "boolean `false`";
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
      if (!is_digit(c)) return fail_peek("expected value");
      if (!parse_number_description(false, found)) return false;
  }
  std::string msg = "invalid type: ";
  msg += found;
  msg += ", expected ";
  msg += expected;
  return fail_here(std::move(msg));
}

bool JsonReader::skip_value() {
  // Open containers below the innermost one; no recursion, no depth limit.
  std::string stack;
  int enclosing = 0;
  for (;;) {
    int c = peek_ws();
    if (c < 0) return fail_peek("EOF while parsing a value");
    int frame = 0;
    switch (c) {
      case 'n': eat(); if (!parse_ident("ull")) return false; break;
      case 't': eat(); if (!parse_ident("rue")) return false; break;
      case 'f': eat(); if (!parse_ident("alse")) return false; break;
      case '-': eat(); if (!skip_number()) return false; break;
      case '"': eat(); if (!skip_str()) return false; break;
      case '[':
      case '{':
        if (enclosing) stack += static_cast<char>(enclosing);
        enclosing = 0;
        eat();
        frame = c;
        break;
      default:
        if (!is_digit(c)) return fail_peek("expected value");
        if (!skip_number()) return false;
    }
    bool accept_comma = false;
    if (frame == 0) {
      if (enclosing) {
        frame = enclosing;
        enclosing = 0;
      } else if (!stack.empty()) {
        frame = static_cast<unsigned char>(stack.back());
        stack.pop_back();
      } else {
        return true;
      }
      accept_comma = true;
    }
    for (;;) {
      c = peek_ws();
      if (c == ',' && accept_comma) {
        eat();
        break;
      }
      if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
        eat();
        if (stack.empty()) return true;
        frame = static_cast<unsigned char>(stack.back());
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (c < 0)
        return fail_peek(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
      if (accept_comma)
        return fail_peek(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
      break;
    }
    if (frame == '{') {
      c = peek_ws();
      if (c < 0) return fail_peek("EOF while parsing an object");
      if (c != '"') return fail_peek("key must be a string");
      eat();
      if (!skip_str()) return false;
      c = peek_ws();
      if (c < 0) return fail_peek("EOF while parsing an object");
      if (c != ':') return fail_peek("expected `:`");
      eat();
    }
    enclosing = frame;
  }
}

// --- Values ---

bool JsonReader::read_string(std::string& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '"') return invalid_type("a string");
  eat();
  std::string_view v;
  std::string buf;
  if (!parse_str(v, buf)) return false;
  if (v.data() == buf.data()) {
    out = std::move(buf);
  } else {
    // Constructing is cheaper than the general assign path.
    out = std::string(v);
  }
  return true;
}

bool JsonReader::read_optional_string(std::optional<std::string>& out) {
  if (peek_ws() == 'n') {
    eat();
    out.reset();
    return parse_ident("ull");
  }
  return read_string(out.emplace());
}

bool JsonReader::read_bool(bool& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c == 't') {
    eat();
    out = true;
    return parse_ident("rue");
  }
  if (c == 'f') {
    eat();
    out = false;
    return parse_ident("alse");
  }
  return invalid_type("a boolean");
}

bool JsonReader::read_timestamp(Timestamp& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '"') return invalid_type("an RFC 3339 formatted date and time string");
  eat();
  std::string_view v;
  std::string buf;
  if (!parse_str(v, buf)) return false;
  auto t = parse_timestamp(v);
  if (!t) return fail_here(std::string(t.error()));
  out = *t;
  return true;
}

bool JsonReader::read_optional_timestamp(std::optional<Timestamp>& out) {
  if (peek_ws() == 'n') {
    eat();
    out.reset();
    return parse_ident("ull");
  }
  return read_timestamp(out.emplace());
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
  if (names.size() == 2) {
    msg += "`" + std::string(names[0]) + "` or `" + std::string(names[1]) + "`";
    return msg;
  }
  if (names.size() > 2) msg += "one of ";
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k) msg += ", ";
    msg += '`';
    msg += names[k];
    msg += '`';
  }
  return msg;
}

bool JsonReader::read_variant(std::span<const std::string_view> names, std::size_t& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '"') return invalid_type("variant identifier");
  eat();
  std::string_view v;
  std::string buf;
  if (!parse_str(v, buf)) return false;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (names[k] == v) {
      out = k;
      return true;
    }
  }
  return fail_here(unknown_variant_message(v, names));
}

bool JsonReader::read_enum(std::span<const std::string_view> names, std::size_t& out) {
  const int c = peek_ws();
  if (c == '"') return read_variant(names, out);
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '{') return fail_peek("expected value");
  // {"<member>": null}: exactly one key, whose value is null.
  if (!enter()) return false;
  eat();
  if (!read_variant(names, out)) return false;
  int d = peek_ws();
  if (d < 0) return fail_peek("EOF while parsing an object");
  if (d != ':') return fail_peek("expected `:`");
  eat();
  d = peek_ws();
  if (d < 0) return fail_peek("EOF while parsing a value");
  if (d != 'n') return invalid_type("unit");
  eat();
  if (!parse_ident("ull")) return false;
  leave();
  d = peek_ws();
  if (d == '}') {
    eat();
    return true;
  }
  if (d < 0) return fail_here("EOF while parsing an object");
  return fail_here("expected value");
}

namespace {

// The separator protocol shared by arrays and objects: `has` is false at the
// closing bracket (left unread); otherwise `c` is the first byte of the next
// member, its separator consumed.
bool next_member(JsonReader& r, bool& first, char close, const char* eof, const char* expected,
                 bool& has, int& c) {
  c = r.peek_ws();
  has = c != close;
  if (!has) return true;
  if (c == ',' && !first) {
    r.eat();
    c = r.peek_ws();
  } else if (c < 0) {
    return r.fail_peek(eof);
  } else if (first) {
    first = false;
  } else {
    return r.fail_peek(expected);
  }
  return true;
}

// The element protocol of arrays: `has` is false at the closing bracket,
// which is left unread.
bool next_element(JsonReader& r, bool& first, bool& has) {
  int c = 0;
  if (!next_member(r, first, ']', "EOF while parsing a list", "expected `,` or `]`", has, c) ||
      !has) {
    return !r.failed();
  }
  if (c == ']') return r.fail_peek("trailing comma");
  if (c < 0) return r.fail_peek("EOF while parsing a value");
  has = true;
  return true;
}

bool end_seq(JsonReader& r) {
  const int c = r.peek_ws();
  if (c == ']') {
    r.eat();
    return true;
  }
  if (c == ',') {
    r.eat();
    if (r.peek_ws() == ']') return r.fail_peek("trailing comma");
    return r.fail_peek("trailing characters");
  }
  if (c < 0) return r.fail_peek("EOF while parsing a list");
  return r.fail_peek("trailing characters");
}

// After a failure inside an array or object the closing bracket (and, for
// arrays, a comma with the blanks after it) is still consumed before an
// unplaced failure takes its position.
void seq_failed(JsonReader& r) {
  const int c = r.peek_ws();
  if (c == ']') {
    r.eat();
  } else if (c == ',') {
    r.eat();
    r.peek_ws();
  }
  r.place_failure();
}

void map_failed(JsonReader& r) {
  if (r.peek_ws() == '}') r.eat();
  r.place_failure();
}

bool end_map(JsonReader& r) {
  const int c = r.peek_ws();
  if (c == '}') {
    r.eat();
    return true;
  }
  if (c == ',') return r.fail_peek("trailing comma");
  if (c < 0) return r.fail_peek("EOF while parsing an object");
  return r.fail_peek("trailing characters");
}

bool next_key(JsonReader& r, bool& first, std::string_view& key, std::string& buf, bool& has) {
  int c = 0;
  if (!next_member(r, first, '}', "EOF while parsing an object", "expected `,` or `}`", has, c) ||
      !has) {
    return !r.failed();
  }
  if (c == '"') {
    r.eat();
    has = true;
    return r.parse_str(key, buf);
  }
  if (c == '}') return r.fail_peek("trailing comma");
  if (c < 0) return r.fail_peek("EOF while parsing a value");
  return r.fail_peek("key must be a string");
}

bool object_colon(JsonReader& r) {
  const int c = r.peek_ws();
  if (c == ':') {
    r.eat();
    return true;
  }
  if (c < 0) return r.fail_peek("EOF while parsing an object");
  return r.fail_peek("expected `:`");
}

bool visit_map(JsonReader& r, const RecordDef& schema, void* record) {
  std::uint32_t seen = 0;
  std::size_t next = 0;
  bool first = true;
  std::string buf;
  for (;;) {
    std::size_t k = next;
    // Canonical input lists the fields in order, compactly: try the next
    // field's key as a literal before reading a key in general. A repeated
    // key takes the general path, whose error stands before the colon.
    if (k < schema.fields.size() && !(seen & (std::uint32_t{1} << k)) &&
        r.take_key(schema.fields[k].name, !first)) {
      first = false;
    } else {
      std::string_view key;
      bool has = false;
      if (!next_key(r, first, key, buf, has)) return false;
      if (!has) break;
      if (k >= schema.fields.size() || schema.fields[k].name != key) {
        k = 0;
        while (k < schema.fields.size() && schema.fields[k].name != key) ++k;
      }
      if (k == schema.fields.size()) {
        if (!object_colon(r) || !r.skip_value()) return false;
        next = k + 1;
        continue;
      }
      if (!(seen & (std::uint32_t{1} << k)) && !object_colon(r)) return false;
    }
    next = k + 1;
    const std::uint32_t bit = std::uint32_t{1} << k;
    if (seen & bit) {
      return r.fail_unplaced("duplicate field `" + std::string(schema.fields[k].name) + "`");
    }
    if (!schema.fields[k].read(r, schema.fields[k], record)) return false;
    seen |= bit;
  }
  for (std::size_t k = 0; k < schema.fields.size(); ++k) {
    const FieldDef& f = schema.fields[k];
    if (!(seen & (std::uint32_t{1} << k)) && f.absent == FieldDef::Absent::required) {
      return r.fail_unplaced("missing field `" + std::string(f.name) + "`");
    }
  }
  return true;
}

bool visit_seq(JsonReader& r, const RecordDef& schema, void* record) {
  bool first = true;
  for (std::size_t k = 0; k < schema.fields.size(); ++k) {
    bool has = false;
    if (!next_element(r, first, has)) return false;
    if (!has) {
      // Defaulted fields may run off the end; the reported length is the
      // position of the first field that needed an element.
      if (schema.fields[k].absent == FieldDef::Absent::defaulted) continue;
      return r.fail_unplaced("invalid length " + std::to_string(k) + ", expected struct " +
                             std::string(schema.name) + " with " +
                             std::to_string(schema.fields.size()) + " elements");
    }
    if (!schema.fields[k].read(r, schema.fields[k], record)) return false;
  }
  return true;
}

}  // namespace

bool JsonReader::read_string_list(std::vector<std::string>& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '[') return invalid_type("a sequence");
  if (!enter()) return false;
  eat();
  out.clear();
  bool first = true;
  for (;;) {
    bool has = false;
    if (!next_element(*this, first, has) || (has && !read_string(out.emplace_back()))) {
      seq_failed(*this);
      return false;
    }
    if (!has) break;
  }
  leave();
  return end_seq(*this);
}

bool read_record(JsonReader& r, const RecordDef& schema, void* record) {
  const int c = r.peek_ws();
  if (c < 0) return r.fail_peek("EOF while parsing a value");
  if (c == '{') {
    if (!r.enter()) return false;
    r.eat();
    if (!visit_map(r, schema, record)) {
      map_failed(r);
      return false;
    }
    r.leave();
    return end_map(r);
  }
  if (c == '[') {
    if (!r.enter()) return false;
    r.eat();
    if (!visit_seq(r, schema, record)) {
      seq_failed(r);
      return false;
    }
    r.leave();
    return end_seq(r);
  }
  return r.invalid_type("struct " + std::string(schema.name));
}

void write_record(JsonWriter& w, const RecordDef& def, const void* record) {
  w.begin_object();
  if (def.write_members != nullptr) {
    def.write_members(w, record);
  } else {
    for (const FieldDef& f : def.fields) f.write(w, f, record);
  }
  w.end_object();
}

// --- Protocol address ---

namespace {
constexpr FieldDef kAddressFields[] = {
    field<&ProtocolAddress::cls>("class", kAddressClassNames),
    field<&ProtocolAddress::type>("type"),
    field<&ProtocolAddress::ref>("ref"),
};
}  // namespace

constexpr RecordDef kAddressRecord = record_def<kAddressFields>("ProtocolAddress");

void write_address(JsonWriter& w, const ProtocolAddress& a) {
  w.begin_object();
  fields::write_members<kAddressFields>(w, &a);
  w.end_object();
}

bool read_address(JsonReader& r, ProtocolAddress& out) {
  return read_record(r, kAddressRecord, &out);
}

bool read_optional_address(JsonReader& r, std::optional<ProtocolAddress>& out) {
  if (r.peek_ws() == 'n') {
    r.eat();
    out.reset();
    return r.parse_ident("ull");
  }
  return read_address(r, out.emplace());
}

}  // namespace ulo
