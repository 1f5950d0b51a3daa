// Fuzzes the fingerprint of raw key bytes: the length rule, the point rule
// (checked against libsodium's point addition, which decodes the same way
// for canonical encodings not of small order) and the digest.
//
// clang before 16 cannot destroy a std::expected holding a std::string (no
// conditionally trivial destructors), so with it the harness checks the
// parts fingerprint_of is made of instead of calling it.
#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ed25519.hpp"
#include "identity.hpp"

#if !defined(__clang__) || __clang_major__ >= 16
#define ULO_FUZZ_WHOLE_CALL 1
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#ifdef ULO_FUZZ_WHOLE_CALL
  const auto result = ulo::fingerprint_of({data, size});
  if (size != 32) {
    if (result || result.error() != ulo::FingerprintError::BadLength) std::abort();
    return 0;
  }
#else
  if (size != 32) return 0;
#endif
  std::array<std::uint8_t, 32> key;
  std::memcpy(key.data(), data, 32);
  const ulo::ed25519::Encoding encoding{data, 32};
  const bool point = ulo::ed25519::is_point(encoding);
#ifdef ULO_FUZZ_WHOLE_CALL
  if (point != result.has_value()) std::abort();
  if (!point && result.error() != ulo::FingerprintError::NotAPoint) std::abort();
  if (point && *result != ulo::fingerprint_hex(key)) std::abort();
#endif
  const std::string hex = ulo::fingerprint_hex(key);
  std::uint8_t digest[32];
  crypto_hash_sha256(digest, data, 32);
  static constexpr char kHex[] = "0123456789abcdef";
  if (hex.size() != 32) std::abort();
  for (std::size_t i = 0; i < 16; ++i) {
    if (hex[2 * i] != kHex[digest[i] >> 4] || hex[2 * i + 1] != kHex[digest[i] & 15]) std::abort();
  }

  if (ulo::ed25519::is_ordinary(encoding)) {
    std::uint8_t base[32];
    std::memset(base, 0x66, sizeof base);
    base[0] = 0x58;
    std::uint8_t sum[32];
    if ((crypto_core_ed25519_add(sum, key.data(), base) == 0) != point) std::abort();
  }
  return 0;
}
