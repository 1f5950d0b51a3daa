#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "utf8.hpp"

namespace {

// Well-formedness decided by decoding: the code point must be in range, not
// a surrogate, and need exactly as many bytes as it uses.
bool well_formed(const std::string& s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len;
  std::uint32_t cp;
  if (b0 < 0x80) return s.size() == 1;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1Fu;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0Fu;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07u;
  } else {
    return false;
  }
  if (s.size() != len) return false;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  const std::uint32_t shortest = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  return cp >= shortest && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// Every lead byte with every second byte, and for longer forms a spread of
// later bytes around the continuation range's edges.
TEST(Utf8, ValidLengthAgreesWithDecoding) {
  const unsigned char later[] = {0x00, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  std::size_t accepted = 0;
  for (int b0 = 0; b0 < 256; ++b0) {
    for (int b1 = 0; b1 < 256; ++b1) {
      for (unsigned char b2 : later) {
        for (unsigned char b3 : later) {
          const std::string full{static_cast<char>(b0), static_cast<char>(b1),
                                 static_cast<char>(b2), static_cast<char>(b3)};
          const std::size_t n = ulo::utf8::valid_length(full, 0);
          ASSERT_LE(n, 4u);
          // Accepted exactly when some prefix decodes, and then that one.
          bool any = false;
          for (std::size_t len = 1; len <= 4; ++len) any |= well_formed(full.substr(0, len));
          ASSERT_EQ(n != 0, any) << std::hex << b0 << ' ' << b1 << ' ' << int(b2) << ' ' << int(b3);
          ASSERT_TRUE(n == 0 || well_formed(full.substr(0, n)));
          accepted += n != 0;
          // The repairing reader takes the same sequences.
          std::size_t ill = 0;
          ASSERT_EQ(ulo::utf8::sequence_at(full, 0, ill), n);
        }
      }
    }
  }
  EXPECT_GT(accepted, 0u);
}

// A sequence cut short by the end of the text is refused, never read past.
TEST(Utf8, TruncatedSequencesAreRefused) {
  for (const std::string whole : {"\xC3\xA9", "\xE8\xAA\x9E", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      const std::string text = "ab" + whole.substr(0, cut);
      EXPECT_EQ(ulo::utf8::valid_length(text, 2), 0u) << cut;
    }
    EXPECT_EQ(ulo::utf8::valid_length("ab" + whole, 2), whole.size());
  }
}

}  // namespace
