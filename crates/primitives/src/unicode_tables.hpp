// Character properties needed by the quoted form of a text.
#pragma once

namespace ulo::unicode {

// Version of the character database the tables were generated from.
extern const char* const kUnicodeVersion;

// False for general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, for Zs other than
// U+0020, and for every Grapheme_Extend code point.
bool is_printable(char32_t cp);

}  // namespace ulo::unicode
