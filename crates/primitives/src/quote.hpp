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

}  // namespace ulo
