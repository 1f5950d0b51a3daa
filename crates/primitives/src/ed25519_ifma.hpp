// The eight-lane kernel behind ed25519::verify_wide: field arithmetic in
// 64-bit lanes of AVX-512 registers, multiplied with the 52-bit
// multiply-add instructions (IFMA). Built with per-function target
// attributes, so the library needs no global instruction-set flag; on other
// architectures supported() is false and the kernel is never entered.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ed25519.hpp"

namespace ulo::ed25519::ifma {

inline constexpr std::size_t kLanes = kWideLanes;

// One signature whose length and S < L were checked by the caller; k is
// the reduced challenge SHA-512(R || key || payload) mod L.
struct Lane {
  const std::uint8_t* key;
  const std::uint8_t* r;
  const std::uint8_t* s;
  std::uint8_t k[32];
};

// CPUID reports AVX-512 F, VL and IFMA and XGETBV shows the OS saving the
// opmask and ZMM registers.
bool supported();

// Decodes each lane's key (bad_key when no x exists), then compares the
// encoding of [S]B - [k]A with R. n <= kLanes; needs supported().
void verify_lanes(const Lane* lanes, std::size_t n, Verdict* out);

}  // namespace ulo::ed25519::ifma
