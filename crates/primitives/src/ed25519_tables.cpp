// Key tables for keys that verify again and again, and the dispatch of many
// signatures between the eight-lane kernel, the tables and one at a time.
#include "ed25519.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "ed25519_curve.hpp"
#include "ed25519_ifma.hpp"

namespace ulo::ed25519 {

using namespace curve;

namespace {

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
