// Field arithmetic modulo 2^255 - 19 for the eight-lane kernel, one element
// per 64-bit lane of an AVX-512 register; x86-64 only. Every function carries
// its own target attribute: the library has no global instruction-set flag.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "ed25519_ifma.hpp"

// GCC 12 takes the deliberately undefined source operand inside its own
// shift and gather intrinsics for an uninitialised read. Left in force for
// the kernel, whose gathers need it too.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define ULO_WIDE __attribute__((target("avx512f,avx512vl,avx512ifma")))
#define ULO_WIDE_INLINE ULO_WIDE __attribute__((always_inline)) inline

namespace ulo::ed25519::ifma {

// The kernel is the one includer: internal linkage leaves the compiler free
// to inline and specialise these there (the squaring loop per count).
namespace {

using u64 = std::uint64_t;
using V = __m512i;

// Five limbs of radix 2^51 held in 64-bit lanes. IFMA reads only the low 52
// bits of each factor, so every operation returns limbs below 2^51 + 2^16:
// the spare bit absorbs what one round of carries leaves, and no factor loses
// a bit.

constexpr u64 kMask = (u64{1} << 51) - 1;

struct Fe {
  V v[5];
};

ULO_WIDE_INLINE V splat(u64 x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
ULO_WIDE_INLINE V add64(V a, V b) { return _mm512_add_epi64(a, b); }
ULO_WIDE_INLINE V shr(V a, unsigned n) { return _mm512_srli_epi64(a, n); }
ULO_WIDE_INLINE V shl(V a, unsigned n) { return _mm512_slli_epi64(a, n); }

ULO_WIDE_INLINE Fe fe_splat(u64 x) {
  return Fe{{splat(x), splat(0), splat(0), splat(0), splat(0)}};
}

// Limbs below 2^62 in, limbs below 2^51 + 2^16 out: one round in which
// every limb passes its excess on at once, so the round is a few
// instructions deep rather than a chain of five.
ULO_WIDE_INLINE void carry(Fe& a) {
  const V m = splat(kMask);
  V c[5];
  for (int i = 0; i < 5; ++i) {
    c[i] = shr(a.v[i], 51);  // below 2^11
    a.v[i] = _mm512_and_si512(a.v[i], m);
  }
  for (int i = 1; i < 5; ++i) a.v[i] = add64(a.v[i], c[i - 1]);
  a.v[0] = _mm512_madd52lo_epu64(a.v[0], c[4], splat(19));  // an exact 52-bit product
}

ULO_WIDE_INLINE Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = add64(a.v[i], b.v[i]);
  carry(r);
  return r;
}

// Adds 2p, whose limbs are at least 2^52 - 38, so no limb goes negative.
ULO_WIDE_INLINE Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  r.v[0] = _mm512_sub_epi64(add64(a.v[0], splat(2 * kMask - 36)), b.v[0]);
  for (int i = 1; i < 5; ++i) r.v[i] = _mm512_sub_epi64(add64(a.v[i], splat(2 * kMask)), b.v[i]);
  carry(r);
  return r;
}

ULO_WIDE_INLINE Fe neg(const Fe& a) { return sub(fe_splat(0), a); }

// Column sums of a product's low and high 52-bit halves to an element.
// A 104-bit product splits at bit 52, one bit above a limb boundary, so the
// high halves count twice in the next limb. Columns stay below 2^56, and
// folding the upper five with 19 (2^255 = 19) keeps them below 2^61.
ULO_WIDE_INLINE Fe reduce(const V (&lo)[9], const V (&hi)[9]) {
  V t[10];
  t[0] = lo[0];
  for (int k = 1; k < 9; ++k) t[k] = add64(lo[k], shl(hi[k - 1], 1));
  t[9] = shl(hi[8], 1);
  Fe r;
  for (int k = 0; k < 5; ++k) {
    const V x = t[k + 5];
    r.v[k] = add64(add64(t[k], x), add64(shl(x, 4), shl(x, 1)));
  }
  carry(r);
  return r;
}

// Factors' limbs below 2^51 + 2^16.
ULO_WIDE_INLINE Fe mul(const Fe& a, const Fe& b) {
  const V zero = _mm512_setzero_si512();
  V lo[9], hi[9];
  for (int k = 0; k < 9; ++k) lo[k] = hi[k] = zero;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      lo[i + j] = _mm512_madd52lo_epu64(lo[i + j], a.v[i], b.v[j]);
      hi[i + j] = _mm512_madd52hi_epu64(hi[i + j], a.v[i], b.v[j]);
    }
  }
  return reduce(lo, hi);
}

// The cross products once, doubled as column sums.
ULO_WIDE_INLINE Fe sq(const Fe& a) {
  const V zero = _mm512_setzero_si512();
  V lo[9], hi[9], dlo[9], dhi[9];
  for (int k = 0; k < 9; ++k) lo[k] = hi[k] = dlo[k] = dhi[k] = zero;
  for (int i = 0; i < 5; ++i) {
    const int d = i + i;
    lo[d] = _mm512_madd52lo_epu64(lo[d], a.v[i], a.v[i]);
    hi[d] = _mm512_madd52hi_epu64(hi[d], a.v[i], a.v[i]);
    for (int j = i + 1; j < 5; ++j) {
      dlo[i + j] = _mm512_madd52lo_epu64(dlo[i + j], a.v[i], a.v[j]);
      dhi[i + j] = _mm512_madd52hi_epu64(dhi[i + j], a.v[i], a.v[j]);
    }
  }
  for (int k = 0; k < 9; ++k) {
    lo[k] = add64(lo[k], shl(dlo[k], 1));
    hi[k] = add64(hi[k], shl(dhi[k], 1));
  }
  return reduce(lo, hi);
}

ULO_WIDE Fe sq_n(Fe a, int n) {
  for (int i = 0; i < n; ++i) a = sq(a);
  return a;
}

// Fully reduced limbs (value below p, each limb below 2^51).
ULO_WIDE_INLINE Fe freeze(Fe a) {
  carry(a);
  // a < 2^255 + 2^222 < 2p; q = 1 exactly when a >= p.
  V q = shr(add64(a.v[0], splat(19)), 51);
  for (int i = 1; i < 5; ++i) q = shr(add64(a.v[i], q), 51);
  a.v[0] = _mm512_madd52lo_epu64(a.v[0], q, splat(19));
  const V m = splat(kMask);
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] = add64(a.v[i + 1], shr(a.v[i], 51));
    a.v[i] = _mm512_and_si512(a.v[i], m);
  }
  a.v[4] = _mm512_and_si512(a.v[4], m);  // drops 2^255, completing the subtraction of p
  return a;
}

ULO_WIDE_INLINE __mmask8 equal(const Fe& a, const Fe& b) {
  const Fe x = freeze(a), y = freeze(b);
  __mmask8 m = 0xff;
  for (int i = 0; i < 5; ++i) m &= _mm512_cmpeq_epi64_mask(x.v[i], y.v[i]);
  return m;
}

ULO_WIDE_INLINE __mmask8 is_negative(const Fe& a) {
  return _mm512_test_epi64_mask(freeze(a).v[0], splat(1));
}

ULO_WIDE_INLINE Fe select(__mmask8 m, const Fe& if_clear, const Fe& if_set) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = _mm512_mask_blend_epi64(m, if_clear.v[i], if_set.v[i]);
  return r;
}

// z^(2^250 - 1) and z^11, shared by inversion and the square-root power.
ULO_WIDE Fe pow_2_250_1(const Fe& z, Fe& z11) {
  const Fe z2 = sq(z);
  const Fe z9 = mul(sq_n(z2, 2), z);
  z11 = mul(z9, z2);
  const Fe z_5_0 = mul(sq(z11), z9);
  const Fe z_10_0 = mul(sq_n(z_5_0, 5), z_5_0);
  const Fe z_20_0 = mul(sq_n(z_10_0, 10), z_10_0);
  const Fe z_40_0 = mul(sq_n(z_20_0, 20), z_20_0);
  const Fe z_50_0 = mul(sq_n(z_40_0, 10), z_10_0);
  const Fe z_100_0 = mul(sq_n(z_50_0, 50), z_50_0);
  const Fe z_200_0 = mul(sq_n(z_100_0, 100), z_100_0);
  return mul(sq_n(z_200_0, 50), z_50_0);
}

ULO_WIDE Fe invert(const Fe& z) {
  Fe z11;
  const Fe t = pow_2_250_1(z, z11);
  return mul(sq_n(t, 5), z11);
}

ULO_WIDE Fe pow_p58(const Fe& z) {
  Fe z11;
  const Fe t = pow_2_250_1(z, z11);
  return mul(sq_n(t, 2), z);
}

// ---------------------------------------------------------------------------
// Lanes in and out of registers. Limbs are written limb-major, eight lanes
// per limb, so one aligned load fills a register.

using Limbs = std::array<u64, 5>;
using LaneLimbs = std::array<std::array<u64, kLanes>, 5>;

inline u64 load64(const std::uint8_t* s) {
  u64 r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | s[i];
  return r;
}

// Bits 0..254, the value possibly p or more, as the arithmetic accepts.
inline Limbs limbs_of(const std::uint8_t* s) {
  return {load64(s) & kMask, (load64(s + 6) >> 3) & kMask, (load64(s + 12) >> 6) & kMask,
          (load64(s + 19) >> 1) & kMask, (load64(s + 24) >> 12) & kMask};
}

inline std::array<std::uint8_t, 32> bytes_of(const Limbs& a) {
  const u64 w[4] = {a[0] | (a[1] << 51), (a[1] >> 13) | (a[2] << 38), (a[2] >> 26) | (a[3] << 25),
                    (a[3] >> 39) | (a[4] << 12)};
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(w[i / 8] >> (8 * (i % 8)));
  return out;
}

ULO_WIDE_INLINE Fe load(const LaneLimbs& l) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = _mm512_loadu_si512(l[i].data());
  return r;
}

ULO_WIDE_INLINE void store(LaneLimbs& l, const Fe& a) {
  for (int i = 0; i < 5; ++i) _mm512_storeu_si512(l[i].data(), a.v[i]);
}

}  // namespace
}  // namespace ulo::ed25519::ifma

#endif
