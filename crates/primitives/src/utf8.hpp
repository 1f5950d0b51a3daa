// UTF-8 well-formedness, as one table of lead-byte bounds shared by every
// reader of untrusted bytes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace ulo::utf8 {

// For a lead byte: how many continuation bytes follow, and the range allowed
// for the first of them (which excludes overlong forms, surrogates and code
// points past U+10FFFF). `tail` is 0 for ASCII and -1 for a byte that cannot
// start a sequence.
struct Lead {
  int tail;
  unsigned char lo, hi;
};

constexpr Lead lead(unsigned char b) {
  if (b < 0x80) return {0, 0x80, 0xBF};
  if (b < 0xC2) return {-1, 0, 0};  // a continuation byte, or an overlong lead
  if (b <= 0xDF) return {1, 0x80, 0xBF};
  if (b <= 0xEF) {
    return {2, static_cast<unsigned char>(b == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(b == 0xED ? 0x9F : 0xBF)};
  }
  if (b <= 0xF4) {
    return {3, static_cast<unsigned char>(b == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(b == 0xF4 ? 0x8F : 0xBF)};
  }
  return {-1, 0, 0};
}

// Length of the well-formed sequence at s[i], or 0 when the bytes there are
// not one. For readers that reject rather than repair.
inline std::size_t valid_length(std::string_view s, std::size_t i) {
  const Lead l = lead(static_cast<unsigned char>(s[i]));
  if (l.tail <= 0) return l.tail == 0 ? 1 : 0;
  const auto len = static_cast<std::size_t>(l.tail) + 1;
  if (s.size() - i < len) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  if (b1 < l.lo || b1 > l.hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return len;
}

// The code point of the well-formed sequence of `len` bytes at s[i] (a
// length valid_length gave).
inline char32_t code_point(std::string_view s, std::size_t i, std::size_t len) {
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = static_cast<unsigned char>(s[i]) & kLeadBits[len];
  for (std::size_t k = 1; k < len; ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
  }
  return cp;
}

// Appends the UTF-8 form of a scalar value.
inline void append(std::string& out, char32_t cp) {
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

// Length of the well-formed sequence at s[i], or 0 when the bytes there are
// not one; `ill` then receives the length of the maximal ill-formed prefix
// (at least 1), which is what one U+FFFD replaces.
inline std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& ill) {
  const Lead l = lead(static_cast<unsigned char>(s[i]));
  if (l.tail == 0) return 1;
  std::size_t len = 1;
  if (l.tail > 0) {
    while (len <= static_cast<std::size_t>(l.tail) && i + len < s.size()) {
      const auto b = static_cast<unsigned char>(s[i + len]);
      const unsigned char lo = len == 1 ? l.lo : 0x80, hi = len == 1 ? l.hi : 0xBF;
      if (b < lo || b > hi) break;
      ++len;
    }
    if (len == static_cast<std::size_t>(l.tail) + 1) return len;
  }
  ill = len;
  return 0;
}

// Invalid UTF-8 becomes U+FFFD, one per maximal ill-formed subsequence.
inline std::string lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t ill = 0;
    if (const std::size_t n = sequence_at(s, i, ill); n != 0) {
      out.append(s.data() + i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += ill;
    }
  }
  return out;
}

}  // namespace ulo::utf8
