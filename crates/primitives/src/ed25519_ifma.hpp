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

// Signed radix-16 digits of n < 2^253: 64 of them in [-8, 8], n = sum
// e[i] 16^i. Shared by both paths' fixed windows.
inline void radix16(std::int8_t (&e)[64], const std::uint8_t* n) {
  for (int i = 0; i < 32; ++i) {
    const int d = i + i;
    e[d] = static_cast<std::int8_t>(n[i] & 15);
    e[d + 1] = static_cast<std::int8_t>(n[i] >> 4);
  }
  int carry = 0;
  for (int i = 0; i < 63; ++i) {
    const int x = e[i] + carry;
    carry = (x + 8) >> 4;
    e[i] = static_cast<std::int8_t>(x - (carry << 4));
  }
  e[63] = static_cast<std::int8_t>(e[63] + carry);
}

// CPUID reports AVX-512 F, VL and IFMA and XGETBV shows the OS saving the
// opmask and ZMM registers.
bool supported();

// Decodes each lane's key (bad_key when no x exists), then compares the
// encoding of [S]B - [k]A with R. n <= kLanes; needs supported().
void verify_lanes(const Lane* lanes, std::size_t n, Verdict* out);

}  // namespace ulo::ed25519::ifma
