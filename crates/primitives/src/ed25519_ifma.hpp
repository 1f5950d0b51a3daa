// The eight-lane kernel behind ed25519::verify_wide: field arithmetic in
// 64-bit lanes of AVX-512 registers, multiplied with the 52-bit
// multiply-add instructions (IFMA). Built with per-function target
// attributes, so the library needs no global instruction-set flag; on other
// architectures supported() is false and the kernel is never entered.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

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

// A table made on first use and kept for the process, published with a
// compare-exchange instead of a static's guard: a child forked while another
// thread was making it makes its own rather than wait for that thread.
template <class T, class Make>
const T& made_once(std::atomic<const T*>& slot, Make make) {
  if (const T* t = slot.load(std::memory_order_acquire)) return *t;
  std::unique_ptr<const T> fresh = make();
  const T* expected = nullptr;
  if (slot.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
    return *fresh.release();
  }
  return *expected;
}

// Signed digits for fixed windows, shared by the eight-lane kernel and the
// key tables. Radix 16: 64 digits of n < 2^253 in [-8, 8], n = sum e[i] 16^i.
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

// Signed radix-256 digits of n < 2^253: 32 of them in [-128, 128].
inline void radix256(std::int16_t (&f)[32], const std::uint8_t* n) {
  int carry = 0;
  for (int i = 0; i < 32; ++i) {
    const int x = n[i] + carry;
    carry = (x + 128) >> 8;
    f[i] = static_cast<std::int16_t>(x - (carry << 8));
  }
}

// CPUID reports AVX-512 F, VL and IFMA and XGETBV shows the OS saving the
// opmask and ZMM registers.
bool supported();

// Decodes each lane's key (bad_key when no x exists), then compares the
// encoding of [S]B - [k]A with R. n <= kLanes; needs supported().
void verify_lanes(const Lane* lanes, std::size_t n, Verdict* out);

}  // namespace ulo::ed25519::ifma
