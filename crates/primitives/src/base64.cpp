#include "base64.hpp"

#include <sodium.h>

#include <array>

namespace ulo::base64 {

std::string encode_unpadded(std::span<const std::uint8_t> bytes) {
  constexpr int variant = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;
  std::string out(sodium_base64_encoded_len(bytes.size(), variant), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
  out.pop_back();  // the terminating NUL written by libsodium
  return out;
}

namespace {

constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> t{};
  t.fill(kInvalid);
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return t;
}

constexpr std::array<std::uint8_t, 256> kTable = make_table();

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_unpadded(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char ch : text) {
    const std::uint8_t v = kTable[static_cast<unsigned char>(ch)];
    if (v == kInvalid) return std::nullopt;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  // Leftover bits (2 or 4) carry no data and must be zero.
  if (acc != 0) return std::nullopt;
  return out;
}

}  // namespace ulo::base64
