// Base64 in the standard alphabet (RFC 4648) without '=' padding.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ulo::base64 {

std::string encode_unpadded(std::span<const std::uint8_t> bytes);

// Strict: refuses '=', any character outside A-Z a-z 0-9 + /, a length that
// leaves a single character in the last group, and unused low bits that are
// not zero (so each byte string has exactly one accepted text).
std::optional<std::vector<std::uint8_t>> decode_unpadded(std::string_view text);

}  // namespace ulo::base64
