#include "ed25519_ifma.hpp"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>
#include <sodium.h>

#include <array>
#include <cstring>

#include "ed25519_ifma_field.hpp"

namespace ulo::ed25519::ifma {

bool supported() {
  static const bool yes = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    constexpr unsigned kF = 1u << 16, kIfma = 1u << 21, kVl = 1u << 31;
    if ((b & (kF | kIfma | kVl)) != (kF | kIfma | kVl)) return false;
    // XCR0: SSE, AVX, opmask, upper halves of ZMM0-15, ZMM16-31.
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0xe6u) == 0xe6u;
  }();
  return yes;
}

namespace {

// ---------------------------------------------------------------------------
// Points of -x^2 + y^2 = 1 + d x^2 y^2, the same coordinate systems and
// complete formulas as the one-signature code.

struct P3 {
  Fe X, Y, Z, T;
};
struct P2 {
  Fe X, Y, Z;
};
struct P1 {
  Fe X, Y, Z, T;
};
struct Cached {
  Fe YpX, YmX, Z, T2d;
};
struct Niels {
  Fe ypx, ymx, xy2d;
};

struct Constants {
  Fe d, d2, sqrt_m1;
};

ULO_WIDE std::unique_ptr<const Constants> make_constants() {
  auto made = std::make_unique<Constants>();
  Constants& k = *made;
  k.d = mul(neg(fe_splat(121665)), invert(fe_splat(121666)));
  k.d2 = add(k.d, k.d);
  // 2 is not a square mod p, so 2^((p-1)/4) squares to -1.
  const Fe two = fe_splat(2);
  k.sqrt_m1 = mul(sq(pow_p58(two)), two);
  return made;
}

ULO_WIDE const Constants& constants() {
  static std::atomic<const Constants*> made{nullptr};
  return made_once(made, make_constants);
}

ULO_WIDE_INLINE P2 to_p2(const P1& p) { return {mul(p.X, p.T), mul(p.Y, p.Z), mul(p.Z, p.T)}; }
ULO_WIDE_INLINE P3 to_p3(const P1& p) {
  return {mul(p.X, p.T), mul(p.Y, p.Z), mul(p.Z, p.T), mul(p.X, p.Y)};
}

ULO_WIDE_INLINE Cached to_cached(const P3& p, const Fe& d2) {
  return {add(p.Y, p.X), sub(p.Y, p.X), p.Z, mul(p.T, d2)};
}

ULO_WIDE_INLINE P1 dbl(const P2& p) {
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

ULO_WIDE_INLINE P1 add(const P3& p, const Cached& q) {
  const Fe a = mul(sub(p.Y, p.X), q.YmX);
  const Fe b = mul(add(p.Y, p.X), q.YpX);
  const Fe c = mul(p.T, q.T2d);
  const Fe zz = mul(p.Z, q.Z);
  const Fe d = add(zz, zz);
  return {sub(b, a), add(b, a), add(d, c), sub(d, c)};
}

ULO_WIDE_INLINE P1 add(const P3& p, const Niels& q) {
  const Fe a = mul(sub(p.Y, p.X), q.ymx);
  const Fe b = mul(add(p.Y, p.X), q.ypx);
  const Fe c = mul(p.T, q.xy2d);
  const Fe d = add(p.Z, p.Z);
  return {sub(b, a), add(b, a), add(d, c), sub(d, c)};
}

// The decoding of the one-signature code, lane-wise: y >= p is reduced and
// x = 0 keeps a set sign bit. `valid` has the lanes where x exists.
ULO_WIDE P3 decode(const Fe& y, __mmask8 sign, __mmask8& valid) {
  const Constants& k = constants();
  const Fe one = fe_splat(1);
  const Fe y2 = sq(y);
  const Fe u = sub(y2, one);
  const Fe v = add(mul(y2, k.d), one);
  const Fe v3 = mul(sq(v), v);
  const Fe v7 = mul(sq(v3), v);
  Fe x = mul(mul(u, v3), pow_p58(mul(u, v7)));
  const Fe vx2 = mul(v, sq(x));
  const __mmask8 root = equal(vx2, u);
  const __mmask8 root_of_minus = equal(vx2, neg(u));
  valid = root | root_of_minus;
  x = select(static_cast<__mmask8>(~root), x, mul(x, k.sqrt_m1));
  x = select(static_cast<__mmask8>(is_negative(x) ^ sign), x, neg(x));
  return {x, y, one, mul(x, y)};
}

// ---------------------------------------------------------------------------
// Tables of multiples, chosen lane by lane with gathers. Entry 0 is the
// neutral element, so a lane whose digit is 0 adds it and stays put while
// its neighbours add theirs. Each entry also holds the negated T term, so a
// negative digit is a choice of offsets (YpX and YmX swapped, -T) and needs
// no arithmetic.

constexpr std::size_t kCoords = 5;  // YpX, YmX, Z or spare, T2d, -T2d
constexpr std::size_t kEntryLimbs = kCoords * 5;

// [j]B for j = 0..128 in affine Niels form, shared by all lanes.
constexpr std::size_t kBaseEntries = 129;
using BaseTable = std::array<u64, kBaseEntries * kEntryLimbs>;

ULO_WIDE void put_entry(u64* entry, std::size_t lane, const Fe (&coords)[kCoords]) {
  alignas(64) u64 tmp[kLanes];
  for (std::size_t c = 0; c < kCoords; ++c) {
    for (std::size_t l = 0; l < 5; ++l) {
      _mm512_store_si512(tmp, coords[c].v[l]);
      entry[c * 5 + l] = tmp[lane];
    }
  }
}

ULO_WIDE std::unique_ptr<const BaseTable> make_base_table() {
  const Constants& k = constants();
  auto made = std::make_unique<BaseTable>();
  BaseTable& table = *made;
  const Fe coords0[kCoords] = {fe_splat(1), fe_splat(1), fe_splat(0), fe_splat(0), fe_splat(0)};
  put_entry(table.data(), 0, coords0);
  // The multiples' encodings come from libsodium, decoded here: the table
  // then rests on nothing but the decoding checked against the reference.
  for (std::size_t first = 1; first < kBaseEntries; first += kLanes) {
    LaneLimbs y{};
    __mmask8 sign = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      std::uint8_t scalar[32] = {};
      scalar[0] = static_cast<std::uint8_t>(first + lane);
      std::uint8_t enc[32];
      crypto_scalarmult_ed25519_base_noclamp(enc, scalar);
      const Limbs l = limbs_of(enc);
      for (int i = 0; i < 5; ++i) y[i][lane] = l[i];
      if ((enc[31] >> 7) != 0) sign = static_cast<__mmask8>(sign | (1u << lane));
    }
    __mmask8 valid = 0;
    const P3 p = decode(load(y), sign, valid);
    const Fe xy2d = mul(p.T, k.d2);
    const Fe coords[kCoords] = {add(p.Y, p.X), sub(p.Y, p.X), fe_splat(0), xy2d, neg(xy2d)};
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      const std::size_t j = first + lane;
      if (j < kBaseEntries) put_entry(table.data() + j * kEntryLimbs, lane, coords);
    }
  }
  return made;
}

ULO_WIDE const BaseTable& base_table() {
  static std::atomic<const BaseTable*> made{nullptr};
  return made_once(made, make_base_table);
}

// [j]A for j = 0..8 per lane, entry-major then coordinate, limb and lane.
constexpr int kPointEntries = 9;
struct PointTable {
  alignas(64) u64 v[kPointEntries][kCoords][5][kLanes];
};

ULO_WIDE void put_all(PointTable& t, int j, const Fe (&coords)[kCoords]) {
  for (std::size_t c = 0; c < kCoords; ++c) {
    for (int l = 0; l < 5; ++l) _mm512_store_si512(t.v[j][c][l], coords[c].v[l]);
  }
}

ULO_WIDE void make_point_table(PointTable& t, const P3& a) {
  const Constants& k = constants();
  const Fe zero = fe_splat(0), one = fe_splat(1);
  const Fe coords0[kCoords] = {one, one, one, zero, zero};
  put_all(t, 0, coords0);
  const Cached a1 = to_cached(a, k.d2);
  P3 cur = a;
  for (int j = 1; j < kPointEntries; ++j) {
    if (j == 2) cur = to_p3(dbl(P2{a.X, a.Y, a.Z}));
    if (j > 2) cur = to_p3(add(cur, a1));
    const Cached c = to_cached(cur, k.d2);
    const Fe coords[kCoords] = {c.YpX, c.YmX, c.Z, c.T2d, neg(c.T2d)};
    put_all(t, j, coords);
  }
}

// Offsets of the YpX, YmX and T2d slots for each lane's digit sign.
struct Slots {
  V ypx, ymx, t2d;
};

ULO_WIDE_INLINE Slots slots_for(__mmask8 negative, V stride) {
  // Coordinate c sits c * stride after the entry start.
  const V zero = _mm512_setzero_si512();
  const V three = add64(shl(stride, 1), stride), four = shl(stride, 2);
  return {_mm512_mask_blend_epi64(negative, zero, stride),
          _mm512_mask_blend_epi64(negative, stride, zero),
          _mm512_mask_blend_epi64(negative, three, four)};
}

}  // namespace

ULO_WIDE void verify_lanes(const Lane* lanes, std::size_t n, Verdict* out) {
  const BaseTable& base = base_table();

  // Unused lanes repeat lane 0; their results are dropped.
  LaneLimbs ay{};
  __mmask8 sign = 0;
  alignas(64) long long dk[64][kLanes];  // digits of -k: the key is subtracted
  alignas(64) long long ds[32][kLanes];
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    const Lane& in = lanes[lane < n ? lane : 0];
    const Limbs l = limbs_of(in.key);
    for (int i = 0; i < 5; ++i) ay[i][lane] = l[i];
    if ((in.key[31] >> 7) != 0) sign = static_cast<__mmask8>(sign | (1u << lane));
    std::int8_t e[64];
    radix16(e, in.k);
    for (int i = 0; i < 64; ++i) dk[i][lane] = -e[i];
    std::int16_t f[32];
    radix256(f, in.s);
    for (int i = 0; i < 32; ++i) ds[i][lane] = f[i];
  }

  __mmask8 valid = 0;
  const P3 a = decode(load(ay), sign, valid);
  PointTable table;
  make_point_table(table, a);

  const V zero = _mm512_setzero_si512();
  const V lane_index = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
  const V point_stride = splat(5 * kLanes);     // one coordinate of a point entry
  const V point_entry = splat(kEntryLimbs * kLanes);
  const V base_stride = splat(5);
  const V base_entry = splat(kEntryLimbs);

  P2 r{fe_splat(0), fe_splat(1), fe_splat(1)};
  for (int i = 63; i >= 0; --i) {
    P1 t = dbl(r);
    for (int d = 0; d < 3; ++d) t = dbl(to_p2(t));

    const V digit = _mm512_load_si512(dk[i]);
    const __mmask8 negative = _mm512_cmplt_epi64_mask(digit, zero);
    const V entry = add64(_mm512_madd52lo_epu64(zero, _mm512_abs_epi64(digit), point_entry), lane_index);
    const Slots s = slots_for(negative, point_stride);
    const u64* pt = &table.v[0][0][0][0];
    Cached q;
    for (int l = 0; l < 5; ++l) {
      const V limb = splat(static_cast<u64>(l) * kLanes);
      const V at = add64(entry, limb);
      q.YpX.v[l] = _mm512_i64gather_epi64(add64(at, s.ypx), pt, 8);
      q.YmX.v[l] = _mm512_i64gather_epi64(add64(at, s.ymx), pt, 8);
      q.Z.v[l] = _mm512_i64gather_epi64(add64(at, shl(point_stride, 1)), pt, 8);
      q.T2d.v[l] = _mm512_i64gather_epi64(add64(at, s.t2d), pt, 8);
    }
    t = add(to_p3(t), q);

    if (i % 2 == 0) {
      const V bdigit = _mm512_load_si512(ds[i / 2]);
      const __mmask8 bneg = _mm512_cmplt_epi64_mask(bdigit, zero);
      const V bentry = _mm512_madd52lo_epu64(zero, _mm512_abs_epi64(bdigit), base_entry);
      const Slots bs = slots_for(bneg, base_stride);
      Niels nq;
      for (int l = 0; l < 5; ++l) {
        const V at = add64(bentry, splat(static_cast<u64>(l)));
        nq.ypx.v[l] = _mm512_i64gather_epi64(add64(at, bs.ypx), base.data(), 8);
        nq.ymx.v[l] = _mm512_i64gather_epi64(add64(at, bs.ymx), base.data(), 8);
        nq.xy2d.v[l] = _mm512_i64gather_epi64(add64(at, bs.t2d), base.data(), 8);
      }
      t = add(to_p3(t), nq);
    }
    r = to_p2(t);
  }

  const Fe zi = invert(r.Z);
  LaneLimbs ys{}, xs{};
  store(ys, freeze(mul(r.Y, zi)));
  store(xs, freeze(mul(r.X, zi)));
  for (std::size_t lane = 0; lane < n; ++lane) {
    if (((valid >> lane) & 1) == 0) {
      out[lane] = Verdict::bad_key;
      continue;
    }
    Limbs y{};
    for (int i = 0; i < 5; ++i) y[i] = ys[i][lane];
    std::array<std::uint8_t, 32> enc = bytes_of(y);
    if ((xs[0][lane] & 1) != 0) enc[31] |= 0x80;
    out[lane] = std::memcmp(enc.data(), lanes[lane].r, 32) == 0 ? Verdict::ok : Verdict::bad_signature;
  }
}

}  // namespace ulo::ed25519::ifma

#else  // not x86-64: the portable path alone

namespace ulo::ed25519::ifma {
bool supported() { return false; }
void verify_lanes(const Lane*, std::size_t, Verdict*) {}
}  // namespace ulo::ed25519::ifma

#endif
