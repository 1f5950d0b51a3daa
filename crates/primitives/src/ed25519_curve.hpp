// The portable Edwards arithmetic behind the one-signature path and the key
// tables: field elements modulo 2^255 - 19, points in the usual coordinate
// systems with complete formulas, and scalars modulo L. Variable time: every
// input of a verification is public.
#pragma once
#include <array>
#include <cstdint>

#include "ed25519.hpp"

namespace ulo::ed25519::curve {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------------------
// Field arithmetic modulo p = 2^255 - 19: five 51-bit limbs. Every operation
// returns limbs below 2^52, so products of two elements fit in 128 bits.

inline constexpr u64 kMask = (u64{1} << 51) - 1;

struct Fe {
  u64 v[5];
};

inline constexpr Fe kZero{{0, 0, 0, 0, 0}};
inline constexpr Fe kOne{{1, 0, 0, 0, 0}};

// Moves each limb's excess over 51 bits into the next; returns the excess
// of the top limb (a multiple of 2^255).
inline u64 propagate(Fe& a) {
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kMask;
  }
  const u64 top = a.v[4] >> 51;
  a.v[4] &= kMask;
  return top;
}

inline void carry(Fe& a) { a.v[0] += 19 * propagate(a); }

inline Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  carry(r);
  return r;
}

// Adds 4p first so no limb goes negative for inputs below 2^53.
inline Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  r.v[0] = a.v[0] + 0x1FFFFFFFFFFFB4 - b.v[0];
  for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + 0x1FFFFFFFFFFFFC - b.v[i];
  carry(r);
  return r;
}

inline Fe neg(const Fe& a) { return sub(kZero, a); }

inline Fe reduce_wide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
  Fe out;
  r1 += r0 >> 51;
  out.v[0] = static_cast<u64>(r0) & kMask;
  r2 += r1 >> 51;
  out.v[1] = static_cast<u64>(r1) & kMask;
  r3 += r2 >> 51;
  out.v[2] = static_cast<u64>(r2) & kMask;
  r4 += r3 >> 51;
  out.v[3] = static_cast<u64>(r3) & kMask;
  const u128 top = (r4 >> 51) * 19 + out.v[0];
  out.v[4] = static_cast<u64>(r4) & kMask;
  out.v[0] = static_cast<u64>(top) & kMask;
  out.v[1] += static_cast<u64>(top >> 51);
  return out;
}

inline u128 m(u64 a, u64 b) { return static_cast<u128>(a) * b; }

inline Fe mul(const Fe& a, const Fe& b) {
  const u64 a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const u64 b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
  const u64 b1_19 = 19 * b1, b2_19 = 19 * b2, b3_19 = 19 * b3, b4_19 = 19 * b4;
  return reduce_wide(
      m(a0, b0) + m(a1, b4_19) + m(a2, b3_19) + m(a3, b2_19) + m(a4, b1_19),
      m(a0, b1) + m(a1, b0) + m(a2, b4_19) + m(a3, b3_19) + m(a4, b2_19),
      m(a0, b2) + m(a1, b1) + m(a2, b0) + m(a3, b4_19) + m(a4, b3_19),
      m(a0, b3) + m(a1, b2) + m(a2, b1) + m(a3, b0) + m(a4, b4_19),
      m(a0, b4) + m(a1, b3) + m(a2, b2) + m(a3, b1) + m(a4, b0));
}

inline Fe sq(const Fe& a) {
  const u64 a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const u64 d0 = 2 * a0, d1 = 2 * a1, d2 = 2 * a2, d3 = 2 * a3;
  const u64 a3_19 = 19 * a3, a4_19 = 19 * a4;
  return reduce_wide(m(a0, a0) + m(d1, a4_19) + m(d2, a3_19),
                     m(d0, a1) + m(d2, a4_19) + m(a3, a3_19),
                     m(d0, a2) + m(a1, a1) + m(d3, a4_19),
                     m(d0, a3) + m(d1, a2) + m(a4, a4_19),
                     m(d0, a4) + m(d1, a3) + m(a2, a2));
}

inline Fe sq_n(Fe a, int n) {
  for (int i = 0; i < n; ++i) a = sq(a);
  return a;
}

inline u64 load64(const std::uint8_t* s) {
  u64 r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | s[i];
  return r;
}

// Reads bits 0..254; the value may be p or more, which the arithmetic accepts.
inline Fe from_bytes(const std::uint8_t* s) {
  return Fe{{load64(s) & kMask, (load64(s + 6) >> 3) & kMask, (load64(s + 12) >> 6) & kMask,
             (load64(s + 19) >> 1) & kMask, (load64(s + 24) >> 12) & kMask}};
}

// Canonical (fully reduced) little-endian encoding.
inline std::array<std::uint8_t, 32> to_bytes(Fe a) {
  carry(a);
  carry(a);
  // a < 2p now; q = 1 exactly when a >= p.
  u64 q = (a.v[0] + 19) >> 51;
  q = (a.v[1] + q) >> 51;
  q = (a.v[2] + q) >> 51;
  q = (a.v[3] + q) >> 51;
  q = (a.v[4] + q) >> 51;
  a.v[0] += 19 * q;
  propagate(a);  // the dropped top excess is 2^255, completing the subtraction of p
  const u64 w[4] = {a.v[0] | (a.v[1] << 51), (a.v[1] >> 13) | (a.v[2] << 38),
                    (a.v[2] >> 26) | (a.v[3] << 25), (a.v[3] >> 39) | (a.v[4] << 12)};
  std::array<std::uint8_t, 32> out{};
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(w[i / 8] >> (8 * (i % 8)));
  return out;
}

inline bool equal(const Fe& a, const Fe& b) { return to_bytes(a) == to_bytes(b); }
inline bool is_negative(const Fe& a) { return (to_bytes(a)[0] & 1) != 0; }

// Returns z^(2^250 - 1) and z^11, the shared prefix of inversion and the
// square-root exponent.
inline Fe pow_2_250_1(const Fe& z, Fe& z11) {
  const Fe z2 = sq(z);
  const Fe z9 = mul(sq_n(z2, 2), z);
  z11 = mul(z9, z2);
  const Fe z_5_0 = mul(sq(z11), z9);                  // 2^5 - 1
  const Fe z_10_0 = mul(sq_n(z_5_0, 5), z_5_0);       // 2^10 - 1
  const Fe z_20_0 = mul(sq_n(z_10_0, 10), z_10_0);    // 2^20 - 1
  const Fe z_40_0 = mul(sq_n(z_20_0, 20), z_20_0);    // 2^40 - 1
  const Fe z_50_0 = mul(sq_n(z_40_0, 10), z_10_0);    // 2^50 - 1
  const Fe z_100_0 = mul(sq_n(z_50_0, 50), z_50_0);   // 2^100 - 1
  const Fe z_200_0 = mul(sq_n(z_100_0, 100), z_100_0);  // 2^200 - 1
  return mul(sq_n(z_200_0, 50), z_50_0);                // 2^250 - 1
}

inline Fe invert(const Fe& z) {  // z^(p-2)
  Fe z11;
  const Fe t = pow_2_250_1(z, z11);
  return mul(sq_n(t, 5), z11);
}

inline Fe pow_p58(const Fe& z) {  // z^((p-5)/8) = z^(2^252 - 3)
  Fe z11;
  const Fe t = pow_2_250_1(z, z11);
  return mul(sq_n(t, 2), z);
}

// ---------------------------------------------------------------------------
// Points of -x^2 + y^2 = 1 + d x^2 y^2.

struct P3 {  // extended: x = X/Z, y = Y/Z, xy = T/Z
  Fe X, Y, Z, T;
};
struct P2 {  // projective
  Fe X, Y, Z;
};
struct P1 {  // completed: x = X/Z, y = Y/T
  Fe X, Y, Z, T;
};
struct Cached {  // ready to be added to an extended point
  Fe YpX, YmX, Z, T2d;
};
struct Niels {  // affine form of Cached, for the base table
  Fe ypx, ymx, xy2d;
};

inline P2 to_p2(const P1& p) { return {mul(p.X, p.T), mul(p.Y, p.Z), mul(p.Z, p.T)}; }
inline P3 to_p3(const P1& p) {
  return {mul(p.X, p.T), mul(p.Y, p.Z), mul(p.Z, p.T), mul(p.X, p.Y)};
}

struct Constants {
  Fe d, d2, sqrt_m1;
};
const Constants& constants();

inline Cached to_cached(const P3& p) {
  return {add(p.Y, p.X), sub(p.Y, p.X), p.Z, mul(p.T, constants().d2)};
}

inline P1 dbl(const P2& p) {
  const Fe a = sq(p.X);
  const Fe b = sq(p.Y);
  const Fe zz = sq(p.Z);
  const Fe c = add(zz, zz);
  P1 r;
  r.Y = add(a, b);
  r.Z = sub(b, a);
  r.X = sub(sq(add(p.X, p.Y)), r.Y);
  r.T = sub(c, r.Z);
  return r;
}

inline P1 add(const P3& p, const Cached& q) {
  const Fe a = mul(sub(p.Y, p.X), q.YmX);
  const Fe b = mul(add(p.Y, p.X), q.YpX);
  const Fe c = mul(p.T, q.T2d);
  const Fe zz = mul(p.Z, q.Z);
  const Fe d = add(zz, zz);
  return {sub(b, a), add(b, a), add(d, c), sub(d, c)};
}

inline P1 sub(const P3& p, const Cached& q) {
  const Fe a = mul(sub(p.Y, p.X), q.YpX);
  const Fe b = mul(add(p.Y, p.X), q.YmX);
  const Fe c = mul(p.T, q.T2d);
  const Fe zz = mul(p.Z, q.Z);
  const Fe d = add(zz, zz);
  return {sub(b, a), add(b, a), sub(d, c), add(d, c)};
}

inline P1 add(const P3& p, const Niels& q) {
  const Fe a = mul(sub(p.Y, p.X), q.ymx);
  const Fe b = mul(add(p.Y, p.X), q.ypx);
  const Fe c = mul(p.T, q.xy2d);
  const Fe d = add(p.Z, p.Z);
  return {sub(b, a), add(b, a), add(d, c), sub(d, c)};
}

inline P1 sub(const P3& p, const Niels& q) {
  const Fe a = mul(sub(p.Y, p.X), q.ypx);
  const Fe b = mul(add(p.Y, p.X), q.ymx);
  const Fe c = mul(p.T, q.xy2d);
  const Fe d = add(p.Z, p.Z);
  return {sub(b, a), add(b, a), sub(d, c), add(d, c)};
}

// RFC 8032 decoding, except that y >= p is reduced and x = 0 with the sign
// bit set is kept as x = 0.
bool decode(P3& out, const std::uint8_t* s);
std::array<std::uint8_t, 32> encode(const P2& p);

// y = 4/5, x even.
inline constexpr std::uint8_t kBasePoint[32] = {
    0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
    0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

// ---------------------------------------------------------------------------
// Scalars.

// s < L.
bool below_order(const std::uint8_t* s);

// [s]B - [k]A, variable time (all inputs are public).
P2 base_minus_point(const std::uint8_t* s, const std::uint8_t* k, const P3& a);

// k = SHA-512(R || key || payload) mod L.
std::array<std::uint8_t, 32> challenge(const std::uint8_t* r, Encoding key, Bytes payload);

}  // namespace ulo::ed25519::curve
