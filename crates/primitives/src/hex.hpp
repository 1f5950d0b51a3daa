// Hexadecimal: written in lower case, read in either case.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ulo::hex {

inline constexpr char kDigits[] = "0123456789abcdef";

// The value of one hexadecimal digit, or -1.
constexpr int digit_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether every byte is a hexadecimal digit. No branch per byte, so the
// loop's speed does not hang on where its jumps happen to be laid out.
inline bool all_digits(std::string_view s) {
  bool ok = true;
  for (const char c : s) ok &= digit_value(static_cast<unsigned char>(c)) >= 0;
  return ok;
}

// Two digits per byte.
inline std::string encode(std::span<const std::uint8_t> bytes) {
  std::string out(2 * bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return out;
}

}  // namespace ulo::hex
