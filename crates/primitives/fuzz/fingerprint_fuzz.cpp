// Fuzzes the fingerprint of raw key bytes against libsodium alone: the
// digest is libsodium's SHA-256 written by libsodium's hex encoder, and the
// point rule is checked against libsodium's point addition, which decodes
// the same way for canonical encodings not of small order.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ed25519.hpp"
#include "identity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ulo::ed25519::ensure_sodium();
  const auto result = ulo::fingerprint_of({data, size});
  if (size != 32) {
    if (result || result.error() != ulo::FingerprintError::BadLength) std::abort();
    return 0;
  }
  const ulo::ed25519::Encoding key{data, 32};
  const bool point = ulo::ed25519::is_point(key);
  if (!point) {
    if (result || result.error() != ulo::FingerprintError::NotAPoint) std::abort();
  } else {
    std::uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, data, 32);
    char hex[2 * 16 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, 16);
    if (!result || *result != hex) std::abort();
  }
  if (ulo::ed25519::is_ordinary(key)) {
    // A fixed point of the main subgroup (the base point's encoding).
    std::uint8_t base[32];
    std::memset(base, 0x66, sizeof base);
    base[0] = 0x58;
    std::uint8_t sum[32];
    if ((crypto_core_ed25519_add(sum, data, base) == 0) != point) std::abort();
  }
  return 0;
}
