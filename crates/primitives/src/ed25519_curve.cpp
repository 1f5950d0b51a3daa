#include "ed25519.hpp"

#include <sodium.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "ed25519_ifma.hpp"

namespace ulo::ed25519 {

void ensure_sodium() {
  // sodium_init() picks the fastest implementations for this CPU; it only
  // fails when the library cannot run at all.
  static const int ready = sodium_init();
  (void)ready;
}

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------------------
// Field arithmetic modulo p = 2^255 - 19: five 51-bit limbs. Every operation
// returns limbs below 2^52, so products of two elements fit in 128 bits.

constexpr u64 kMask = (u64{1} << 51) - 1;

struct Fe {
  u64 v[5];
};

constexpr Fe kZero{{0, 0, 0, 0, 0}};
constexpr Fe kOne{{1, 0, 0, 0, 0}};

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
using BaseTable = std::array<Niels, 64>;  // B, 3B, 5B, ..., 127B
const BaseTable& base_table();

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
bool decode(P3& out, const std::uint8_t* s) {
  const Constants& k = constants();
  const Fe y = from_bytes(s);
  const Fe y2 = sq(y);
  const Fe u = sub(y2, kOne);
  const Fe v = add(mul(y2, k.d), kOne);  // never 0: -1/d is not a square
  const Fe v3 = mul(sq(v), v);
  const Fe v7 = mul(sq(v3), v);
  Fe x = mul(mul(u, v3), pow_p58(mul(u, v7)));
  const Fe vx2 = mul(v, sq(x));
  if (!equal(vx2, u)) {
    if (!equal(vx2, neg(u))) return false;
    x = mul(x, k.sqrt_m1);
  }
  if (is_negative(x) != ((s[31] >> 7) != 0)) x = neg(x);
  out = {x, y, kOne, mul(x, y)};
  return true;
}

std::array<std::uint8_t, 32> encode(const P2& p) {
  const Fe zi = invert(p.Z);
  std::array<std::uint8_t, 32> s = to_bytes(mul(p.Y, zi));
  if (is_negative(mul(p.X, zi))) s[31] |= 0x80;
  return s;
}

Constants make_constants() {
  Constants k;
  k.d = mul(neg(Fe{{121665, 0, 0, 0, 0}}), invert(Fe{{121666, 0, 0, 0, 0}}));
  k.d2 = add(k.d, k.d);
  // 2 is not a square mod p, so 2^((p-1)/4) squares to -1.
  const Fe two{{2, 0, 0, 0, 0}};
  k.sqrt_m1 = mul(sq(pow_p58(two)), two);
  return k;
}

// y = 4/5, x even.
constexpr std::uint8_t kBasePoint[32] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                         0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                         0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                         0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

BaseTable make_base_table() {
  const Constants& k = constants();
  BaseTable table;
  P3 b;
  decode(b, kBasePoint);
  const Cached b2 = to_cached(to_p3(dbl(P2{b.X, b.Y, b.Z})));
  P3 cur = b;
  for (Niels& n : table) {
    const Fe zi = invert(cur.Z);
    const Fe x = mul(cur.X, zi);
    const Fe y = mul(cur.Y, zi);
    n = {add(y, x), sub(y, x), mul(mul(x, y), k.d2)};
    cur = to_p3(add(cur, b2));
  }
  return table;
}

const Constants& constants() {
  static const Constants k = make_constants();
  return k;
}

const BaseTable& base_table() {
  static const BaseTable table = make_base_table();
  return table;
}

// ---------------------------------------------------------------------------
// Scalars.

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                     0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                     0,    0,    0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0,    0,    0,    0x10};

bool below_order(const std::uint8_t* s) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kOrder[i]) return s[i] < kOrder[i];
  }
  return false;
}

// Width-w non-adjacent form: odd digits below 2^(w-1) in magnitude, each
// followed by at least w-1 zeros. Needs a scalar below 2^253 so that the
// final carry stays inside 256 digits.
void wnaf(std::int8_t (&naf)[256], const std::uint8_t* s, unsigned w) {
  const u64 x[5] = {load64(s), load64(s + 8), load64(s + 16), load64(s + 24), 0};
  std::memset(naf, 0, sizeof naf);
  const u64 width = u64{1} << w;
  const u64 window_mask = width - 1;
  u64 carry_bit = 0;
  unsigned pos = 0;
  while (pos < 256) {
    const unsigned idx = pos / 64;
    const unsigned bit = pos % 64;
    const u64 bits =
        bit < 64 - w ? x[idx] >> bit : (x[idx] >> bit) | (x[idx + 1] << (64 - bit));
    const u64 window = carry_bit + (bits & window_mask);
    if ((window & 1) == 0) {
      ++pos;
      continue;
    }
    if (window < width / 2) {
      carry_bit = 0;
      naf[pos] = static_cast<std::int8_t>(window);
    } else {
      carry_bit = 1;
      naf[pos] = static_cast<std::int8_t>(static_cast<int>(window) - static_cast<int>(width));
    }
    pos += w;
  }
}

// [s]B - [k]A, variable time (all inputs are public).
P2 base_minus_point(const std::uint8_t* s, const std::uint8_t* k, const P3& a) {
  const BaseTable& base = base_table();
  std::int8_t ns[256];
  std::int8_t nk[256];
  wnaf(ns, s, 8);
  wnaf(nk, k, 5);

  Cached a_odd[8];  // A, 3A, ..., 15A
  a_odd[0] = to_cached(a);
  const P3 a2 = to_p3(dbl(P2{a.X, a.Y, a.Z}));
  for (int i = 1; i < 8; ++i) a_odd[i] = to_cached(to_p3(add(a2, a_odd[i - 1])));

  P2 r{kZero, kOne, kOne};
  int i = 255;
  while (i >= 0 && ns[i] == 0 && nk[i] == 0) --i;
  for (; i >= 0; --i) {
    P1 t = dbl(r);
    if (nk[i] > 0) {
      t = sub(to_p3(t), a_odd[nk[i] / 2]);
    } else if (nk[i] < 0) {
      t = add(to_p3(t), a_odd[-nk[i] / 2]);
    }
    if (ns[i] > 0) {
      t = add(to_p3(t), base[ns[i] / 2]);
    } else if (ns[i] < 0) {
      t = sub(to_p3(t), base[-ns[i] / 2]);
    }
    r = to_p2(t);
  }
  return r;
}

std::array<std::uint8_t, 32> challenge(const std::uint8_t* r, Encoding key, Bytes payload) {
  crypto_hash_sha512_state st;
  crypto_hash_sha512_init(&st);
  crypto_hash_sha512_update(&st, r, 32);
  crypto_hash_sha512_update(&st, key.data(), 32);
  crypto_hash_sha512_update(&st, payload.data(), payload.size());
  std::uint8_t h[64];
  crypto_hash_sha512_final(&st, h);
  std::array<std::uint8_t, 32> k{};
  crypto_core_ed25519_scalar_reduce(k.data(), h);
  return k;
}

// Encodings with y in {0, 1, p-1, p, p+1} or one of the two order-8 y values,
// sign bit cleared: all small-order points plus the non-canonical aliases.
constexpr std::uint8_t kSmallOrder[7][32] = {
    {0},
    {1},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
};

bool y_canonical(Encoding e) {
  // y >= p only for 0x7fff...ffed and the 18 values above it.
  if ((e[31] & 0x7f) != 0x7f || e[0] < 0xed) return true;
  for (int i = 1; i < 31; ++i) {
    if (e[i] != 0xff) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Fixed-base tables: [j * 256^i]P for i < 32 and j = 1..W in affine form.
// A key's has W = 8: with signed radix-16 digits, [n]A is the sum of the
// odd-position entries, four doublings, then the even-position ones. The
// base point's has W = 128 for signed radix-256 digits, all in the second
// half: half as many additions for [S]B.

template <std::size_t W>
using Comb = std::array<std::array<Niels, W>, 32>;

template <std::size_t W>
void make_comb(Comb<W>& comb, const P3& p) {
  const Constants& k = constants();
  constexpr std::size_t kEntries = 32 * W;
  std::vector<P3> pts(kEntries);
  P3 row = p;
  for (std::size_t i = 0; i < kEntries; i += W) {
    const Cached step = to_cached(row);
    pts[i] = row;
    for (std::size_t j = 1; j < W; ++j) pts[i + j] = to_p3(add(pts[i + j - 1], step));
    P1 t = dbl(P2{row.X, row.Y, row.Z});
    for (int d = 1; d < 8; ++d) t = dbl(to_p2(t));
    row = to_p3(t);
  }
  // One inversion for all entries: prefix products, then back down.
  std::vector<Fe> prefix(kEntries);
  Fe acc = kOne;
  for (std::size_t i = 0; i < kEntries; ++i) {
    prefix[i] = acc;
    acc = mul(acc, pts[i].Z);
  }
  Fe inv = invert(acc);
  for (std::size_t i = kEntries; i-- > 0;) {
    const Fe zi = mul(inv, prefix[i]);
    inv = mul(inv, pts[i].Z);
    const Fe x = mul(pts[i].X, zi);
    const Fe y = mul(pts[i].Y, zi);
    comb[i / W][i % W] = {add(y, x), sub(y, x), mul(mul(x, y), k.d2)};
  }
}

using KeyComb = Comb<8>;
using BaseComb = Comb<128>;

// 480 KB, made on the first verification with a key table.
const BaseComb& base_comb() {
  static std::atomic<const BaseComb*> made{nullptr};
  return ifma::made_once(made, [] {
    auto c = std::make_unique<BaseComb>();
    P3 b;
    decode(b, kBasePoint);
    make_comb(*c, b);
    return std::unique_ptr<const BaseComb>(std::move(c));
  });
}

// Adds [digit]P from one row of a comb, negated when `negate` is set.
template <std::size_t W>
void add_digit(P3& acc, const std::array<Niels, W>& row, int digit, bool negate) {
  if (digit == 0) return;
  const bool subtract = (digit < 0) != negate;
  const Niels& n = row[static_cast<std::size_t>(digit < 0 ? -digit : digit) - 1];
  acc = to_p3(subtract ? sub(acc, n) : add(acc, n));
}

P2 base_minus_comb(const std::uint8_t* s, const std::uint8_t* k, const KeyComb& a) {
  const BaseComb& b = base_comb();
  std::int16_t ds[32];
  std::int8_t dk[64];
  ifma::radix256(ds, s);
  ifma::radix16(dk, k);
  P3 acc{kZero, kOne, kOne, kZero};
  for (int i = 1; i < 64; i += 2) add_digit(acc, a[i / 2], dk[i], true);
  P1 t = dbl(P2{acc.X, acc.Y, acc.Z});
  for (int d = 1; d < 4; ++d) t = dbl(to_p2(t));
  acc = to_p3(t);
  for (int i = 0; i < 64; i += 2) {
    add_digit(acc, b[i / 2], ds[i / 2], false);
    add_digit(acc, a[i / 2], dk[i], true);
  }
  return {acc.X, acc.Y, acc.Z};
}

}  // namespace

bool is_point(Encoding encoding) {
  P3 a;
  return decode(a, encoding.data());
}

bool has_small_order(Encoding e) {
  for (const auto& bad : kSmallOrder) {
    if (std::memcmp(bad, e.data(), 31) == 0 && bad[31] == (e[31] & 0x7f)) return true;
  }
  return false;
}

bool is_ordinary(Encoding e) { return y_canonical(e) && !has_small_order(e); }

Verdict verify_own(Encoding key, Bytes payload, Bytes signature) {
  P3 a;
  if (!decode(a, key.data())) return Verdict::bad_key;
  if (signature.size() != 64) return Verdict::bad_signature;
  const std::uint8_t* r = signature.data();
  const std::uint8_t* s = signature.data() + 32;
  if (!below_order(s)) return Verdict::bad_signature;
  const std::array<std::uint8_t, 32> k = challenge(r, key, payload);
  const std::array<std::uint8_t, 32> check = encode(base_minus_point(s, k.data(), a));
  return std::memcmp(check.data(), r, 32) == 0 ? Verdict::ok : Verdict::bad_signature;
}

Outcome verify(Encoding key, Bytes payload, Bytes signature) {
  ensure_sodium();
  if (signature.size() != 64) {
    return {is_point(key) ? Verdict::bad_signature : Verdict::bad_key, Decider::checks};
  }
  // libsodium's check is cofactorless like ours and strictly narrower, so an
  // accept is final.
  if (crypto_sign_verify_detached(signature.data(), payload.data(), payload.size(),
                                  key.data()) == 0) {
    return {Verdict::ok, Decider::library};
  }
  if (!is_point(key)) return {Verdict::bad_key, Decider::checks};
  if (!below_order(signature.data() + 32)) return {Verdict::bad_signature, Decider::checks};
  // libsodium refuses non-canonical and small-order keys and small-order R
  // before computing anything; for all other inputs its refusal is final.
  const Encoding r{signature.data(), 32};
  if (is_ordinary(key) && is_ordinary(r)) return {Verdict::bad_signature, Decider::library};
  return {verify_own(key, payload, signature), Decider::own};
}

struct KeyTable {
  std::array<std::uint8_t, 32> key;
  KeyComb comb;
};

void delete_key_table(const KeyTable* table) noexcept { delete table; }
void KeyTableDeleter::operator()(const KeyTable* t) const noexcept { delete_key_table(t); }

bool table_matches(const KeyTable& table, Encoding key) {
  return std::memcmp(table.key.data(), key.data(), 32) == 0;
}

static_assert(sizeof(KeyTable) == kKeyTableBytes);

KeyTablePtr make_key_table(Encoding key) {
  P3 a;
  if (!decode(a, key.data())) return nullptr;
  auto t = std::make_unique<KeyTable>();
  std::memcpy(t->key.data(), key.data(), 32);
  make_comb(t->comb, a);
  return KeyTablePtr(t.release());
}

Verdict verify_with(const KeyTable& table, Bytes payload, Bytes signature) {
  ensure_sodium();
  // The key decoded when the table was made, so only the signature's own
  // checks remain before the equation.
  if (signature.size() != 64) return Verdict::bad_signature;
  const std::uint8_t* r = signature.data();
  const std::uint8_t* s = signature.data() + 32;
  if (!below_order(s)) return Verdict::bad_signature;
  const std::array<std::uint8_t, 32> k = challenge(r, Encoding{table.key}, payload);
  const std::array<std::uint8_t, 32> check = encode(base_minus_comb(s, k.data(), table.comb));
  return std::memcmp(check.data(), r, 32) == 0 ? Verdict::ok : Verdict::bad_signature;
}

bool portable_only() {
  static const bool portable = [] {
    const char* v = std::getenv("ULO_VERIFY_PORTABLE");
    return v != nullptr && std::string_view(v) != "" && std::string_view(v) != "0";
  }();
  return portable;
}

bool wide_enabled() {
  static const bool enabled = !portable_only() && ifma::supported();
  return enabled;
}

namespace {

Verdict verify_one(const Triple& t) {
  if (t.table != nullptr) return verify_with(*t.table, t.payload, t.signature);
  return verify(Encoding{t.key, 32}, t.payload, t.signature).verdict;
}

}  // namespace

void verify_wide(std::span<const Triple> items, std::span<Verdict> verdicts) {
  ensure_sodium();
  ifma::Lane lanes[ifma::kLanes] = {};
  std::size_t where[ifma::kLanes] = {};
  std::size_t n = 0;
  auto flush = [&] {
    Verdict out[ifma::kLanes];
    ifma::verify_lanes(lanes, n, out);
    for (std::size_t j = 0; j < n; ++j) verdicts[where[j]] = out[j];
    n = 0;
  };
  // A pass costs the same however few lanes it fills: a tail of one or two
  // signatures is cheaper one at a time.
  auto finish = [&] {
    if (n >= kMinWideLanes) {
      flush();
      return;
    }
    for (std::size_t j = 0; j < n; ++j) verdicts[where[j]] = verify_one(items[where[j]]);
    n = 0;
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Triple& t = items[i];
    const Encoding key{t.key, 32};
    // Wrong lengths and S >= L are settled by the checks alone; they stay
    // with the one-signature path so their verdicts are its own.
    if (t.signature.size() != 64 || !below_order(t.signature.data() + 32)) {
      verdicts[i] = verify_one(t);
      continue;
    }
    ifma::Lane& lane = lanes[n];
    lane.key = t.key;
    lane.r = t.signature.data();
    lane.s = t.signature.data() + 32;
    const std::array<std::uint8_t, 32> k = challenge(lane.r, key, t.payload);
    std::memcpy(lane.k, k.data(), 32);
    where[n++] = i;
    if (n == ifma::kLanes) flush();
  }
  finish();
}

void verify_many(std::span<const Triple> items, std::span<Verdict> verdicts) {
  if (wide_enabled()) {
    verify_wide(items, verdicts);
    return;
  }
  for (std::size_t i = 0; i < items.size(); ++i) verdicts[i] = verify_one(items[i]);
}

}  // namespace ulo::ed25519
