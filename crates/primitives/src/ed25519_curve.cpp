#include "ed25519_curve.hpp"

#include <sodium.h>

#include <cstring>

namespace ulo::ed25519::curve {

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

namespace {

Constants make_constants() {
  Constants k;
  k.d = mul(neg(Fe{{121665, 0, 0, 0, 0}}), invert(Fe{{121666, 0, 0, 0, 0}}));
  k.d2 = add(k.d, k.d);
  // 2 is not a square mod p, so 2^((p-1)/4) squares to -1.
  const Fe two{{2, 0, 0, 0, 0}};
  k.sqrt_m1 = mul(sq(pow_p58(two)), two);
  return k;
}

using BaseTable = std::array<Niels, 64>;  // B, 3B, 5B, ..., 127B

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

const BaseTable& base_table() {
  static const BaseTable table = make_base_table();
  return table;
}

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                     0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                     0,    0,    0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0,    0,    0,    0x10};

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

}  // namespace

const Constants& constants() {
  static const Constants k = make_constants();
  return k;
}

bool below_order(const std::uint8_t* s) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kOrder[i]) return s[i] < kOrder[i];
  }
  return false;
}

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

}  // namespace ulo::ed25519::curve
