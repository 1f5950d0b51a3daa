#include "quote.hpp"

#include <cstdint>

#include "hex.hpp"
#include "unicode_tables.hpp"
#include "utf8.hpp"

namespace ulo {
namespace {

// ASCII bytes copied as they are: printable and neither '"' nor '\'.
constexpr bool plain_ascii(unsigned char c) {
  return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

struct Decoded {
  char32_t cp;
  std::size_t len;  // bytes consumed; 1 with cp U+FFFD for an invalid byte
};

Decoded decode(std::string_view s, std::size_t i) {
  const std::size_t len = utf8::valid_length(s, i);
  if (len == 0) return {0xFFFD, 1};
  return {utf8::code_point(s, i, len), len};
}

void append_hex_escape(std::string& out, char32_t cp) {
  char buf[8];
  int n = 0;
  do {
    buf[n++] = hex::kDigits[cp & 0xFu];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += buf[--n];
  out += '}';
}

// One decoded character in the quoted-form style: the short escapes, \u{..}
// for the code points `escape` picks, U+FFFD for an invalid byte, anything
// else as it stands.
template <class Escape>
void append_char(std::string& out, std::string_view text, std::size_t i, const Decoded& d,
                 Escape escape) {
  switch (d.cp) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (escape(d.cp)) {
    append_hex_escape(out, d.cp);
  } else if (d.cp == 0xFFFD && d.len == 1) {
    out += "\xEF\xBF\xBD";
  } else {
    out.append(text.data() + i, d.len);
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out += '"';
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  while (i < n) {
    // Copy the longest run of plain ASCII in one go.
    std::size_t j = i;
    while (j < n && plain_ascii(static_cast<unsigned char>(utf8[j]))) ++j;
    out.append(utf8.data() + i, j - i);
    i = j;
    if (i == n) break;

    const Decoded d = decode(utf8, i);
    if (d.cp == '"') {
      out += "\\\"";
    } else if (d.cp == '\\') {
      out += "\\\\";
    } else {
      append_char(out, utf8, i, d, [](char32_t cp) { return !unicode::is_printable(cp); });
    }
    i += d.len;
  }
  out += '"';
}

namespace {

constexpr bool is_control(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029;
}

}  // namespace

void append_echoed(std::string& out, std::string_view text) {
  const std::size_t n = text.size();
  std::size_t i = 0, chars = 0;
  // The common case, short printable ASCII, is copied in one go.
  while (i < n && i < kEchoLimit) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f) break;
    ++i;
  }
  out.append(text.substr(0, i));
  chars = i;
  if (i == n) return;
  while (i < n && chars < kEchoLimit) {
    const Decoded d = decode(text, i);
    append_char(out, text, i, d, is_control);
    i += d.len;
    ++chars;
  }
  if (i == n) return;
  for (; i < n; i += decode(text, i).len) ++chars;
  out += "... [" + std::to_string(chars) + " characters in all]";
}

void append_quoted_bounded(std::string& out, std::string_view utf8) {
  std::size_t i = 0, chars = 0;
  while (i < utf8.size() && chars < kEchoLimit) {
    i += decode(utf8, i).len;
    ++chars;
  }
  if (i == utf8.size()) return append_quoted(out, utf8);
  append_quoted(out, utf8.substr(0, i));
  for (; i < utf8.size(); i += decode(utf8, i).len) ++chars;
  out += "... [" + std::to_string(chars) + " characters in all]";
}

}  // namespace ulo
