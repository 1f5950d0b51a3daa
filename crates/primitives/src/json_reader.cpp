#include "json_reader.hpp"

#include "hex.hpp"
#include "utf8.hpp"

namespace ulo {
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
    const int h = hex::digit_value(static_cast<unsigned char>(s_[i_++]));
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
  utf8::append(buf, cp);
  return true;
}

bool JsonReader::parse_str_slow(std::string_view& out, std::string& buf) {
  std::size_t start = i_;
  bool copied = false;
  for (;;) {
    i_ = json_bytes::find_stop(s_, i_);
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
    i_ = json_bytes::find_stop(s_, i_);
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
    if (i_ < n && json_bytes::is_digit(s_[i_])) return fail_peek("invalid number");
  } else if (first >= '1' && first <= '9') {
    while (i_ < n && json_bytes::is_digit(s_[i_])) ++i_;
  } else {
    return fail_here("invalid number");
  }
  if (i_ < n && s_[i_] == '.') {
    ++i_;
    if (i_ == n || !json_bytes::is_digit(s_[i_])) return fail_peek("invalid number");
    while (i_ < n && json_bytes::is_digit(s_[i_])) ++i_;
  }
  if (i_ < n && (s_[i_] == 'e' || s_[i_] == 'E')) {
    ++i_;
    if (i_ < n && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
    const char d = i_ < n ? s_[i_++] : '\0';
    if (!json_bytes::is_digit(d)) return fail_here("invalid number");
    while (i_ < n && json_bytes::is_digit(s_[i_])) ++i_;
  }
  return true;
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
        if (!json_bytes::is_digit(c)) return fail_peek("expected value");
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
  std::string_view v;
  std::string buf;
  if (!string_value("a string", v, buf)) return false;
  if (v.data() == buf.data()) {
    out = std::move(buf);
  } else {
    // Constructing is cheaper than the general assign path.
    out = std::string(v);
  }
  return true;
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
  std::string_view v;
  std::string buf;
  if (!string_value("an RFC 3339 formatted date and time string", v, buf)) return false;
  auto t = parse_timestamp(v);
  if (!t) {
    fail_here(std::string(t.error()));
    explain(timestamp_hint(v));
    return false;
  }
  out = *t;
  return true;
}

bool JsonReader::read_variant(std::span<const std::string_view> names, std::size_t& out) {
  std::string_view v;
  std::string buf;
  if (!string_value("variant identifier", v, buf)) return false;
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
  if (!read_variant(names, out) || !object_colon()) return false;
  const int d = peek_ws();
  if (d < 0) return fail_peek("EOF while parsing a value");
  if (d != 'n') return invalid_type("unit");
  eat();
  if (!parse_ident("ull")) return false;
  leave();
  if (take('}')) return true;
  return fail_here(peek_ws() < 0 ? "EOF while parsing an object" : "expected value");
}

bool JsonReader::end_array() {
  if (take(']')) return true;
  if (take(',')) return fail_peek(peek_ws() == ']' ? "trailing comma" : "trailing characters");
  return fail_peek(peek_ws() < 0 ? "EOF while parsing a list" : "trailing characters");
}

bool JsonReader::end_object() {
  if (take('}')) return true;
  const int c = peek_ws();
  return fail_peek(c == ','  ? "trailing comma"
                   : c < 0   ? "EOF while parsing an object"
                             : "trailing characters");
}

void JsonReader::array_failed() {
  if (!take(']') && take(',')) peek_ws();
  place_failure();
}

void JsonReader::object_failed() {
  take('}');
  place_failure();
}

bool JsonReader::read_string_list(std::vector<std::string>& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek("EOF while parsing a value");
  if (c != '[') return invalid_type("a sequence");
  out.clear();
  return in_array([&] {
    for (bool first = true;;) {
      bool has = false;
      if (!next_element(first, has) || (has && !read_string(out.emplace_back()))) return false;
      if (!has) return true;
    }
  });
}

}  // namespace ulo
