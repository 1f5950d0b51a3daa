// The bytes at which a JSON string's plain run ends, tested eight at a time:
// shared by the writer (what it escapes) and the reader (where it stops).
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ulo::json_bytes {

// Bytes canonical output escapes: '"', '\\' and controls.
inline constexpr auto kEscaped = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

// The same plus the first byte of every non-ASCII sequence, which the reader
// checks for valid UTF-8.
inline constexpr auto kStop = [] {
  std::array<bool, 256> t = kEscaped;
  for (int c = 0x80; c < 0x100; ++c) t[c] = true;
  return t;
}();

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit set in each byte of `w` that is in kEscaped. Bits above the first
// true hit may be spurious (borrows), so only the lowest set bit counts.
inline std::uint64_t escape_mask(std::uint64_t w) {
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t bslash = w ^ (kOnes * '\\');
  const std::uint64_t zero_q = (quote - kOnes) & ~quote;
  const std::uint64_t zero_b = (bslash - kOnes) & ~bslash;
  const std::uint64_t ctrl = (w - kOnes * 0x20) & ~w;
  return (zero_q | zero_b | ctrl) & kHighs;
}

// The same for kStop, in fewer operations for the reader's innermost loop.
// A byte with its high bit set is a stop itself, so the zero tests need no
// masking against it; and it sets its high bit in at least one of them, as
// it cannot differ from both '"' and '\\' by exactly 0x80.
inline std::uint64_t stop_mask(std::uint64_t w) {
  const std::uint64_t quote = (w ^ (kOnes * '"')) - kOnes;
  const std::uint64_t bslash = (w ^ (kOnes * '\\')) - kOnes;
  const std::uint64_t ctrl = w - kOnes * 0x20;
  return (quote | bslash | ctrl) & kHighs;
}

// Index of the first byte at or after `i` that is in the table the mask
// function tests (kEscaped for escape_mask, kStop for stop_mask). Always
// inlined: it is the inner loop of reading and writing every string.
template <std::uint64_t (*Mask)(std::uint64_t), const std::array<bool, 256>& Table>
[[gnu::always_inline]] inline std::size_t find_first(std::string_view s, std::size_t i) {
  const char* p = s.data();
  const std::size_t n = s.size();
  while (n - i >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (const std::uint64_t m = Mask(w)) {
      return i + static_cast<std::size_t>(std::countr_zero(m) >> 3);
    }
    i += 8;
  }
  while (i < n && !Table[static_cast<unsigned char>(p[i])]) ++i;
  return i;
}

inline std::size_t find_escaped(std::string_view s, std::size_t i) {
  return find_first<escape_mask, kEscaped>(s, i);
}
inline std::size_t find_stop(std::string_view s, std::size_t i) {
  return find_first<stop_mask, kStop>(s, i);
}

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Equality of two short byte runs of length n, inline: record keys and
// member names are too short for a library call to pay off.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++a, ++b, --n) {
    if (*a != *b) return false;
  }
  return true;
}

}  // namespace ulo::json_bytes
