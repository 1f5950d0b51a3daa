// The quoted form of a text used by every representation.
#pragma once
#include <string>
#include <string_view>

namespace ulo {

// Appends '"' + escaped text + '"'. `"` and `\` are backslash-escaped; LF,
// CR, TAB and NUL become \n, \r, \t, \0; any other non-printable character
// becomes \u{h} (lower-case hex, no leading zeros). Everything else is copied
// unchanged. Each byte that is not part of valid UTF-8 is written as U+FFFD.
void append_quoted(std::string& out, std::string_view utf8);

inline std::string quoted(std::string_view utf8) {
  std::string out;
  append_quoted(out, utf8);
  return out;
}

// Longest echoed value, in characters, before it is cut.
inline constexpr std::size_t kEchoLimit = 200;

// Appends caller or file input to a message so that it stays one bounded
// line: control characters (C0, DEL, C1, U+2028, U+2029) are written as in
// the quoted form (\n, \u{1b}), invalid UTF-8 as U+FFFD, and a value longer
// than kEchoLimit characters is cut after that many, followed by
// "... [<n> characters in all]". Anything else is copied unchanged.
void append_echoed(std::string& out, std::string_view text);

// append_quoted for input of any length: past kEchoLimit characters the
// quoted text is cut and followed by "... [<n> characters in all]".
void append_quoted_bounded(std::string& out, std::string_view utf8);

inline std::string echoed(std::string_view text) {
  std::string out;
  append_echoed(out, text);
  return out;
}

}  // namespace ulo
