// The long differential run of the faster verification paths: lanes from a
// seeded generator through the fuzz target's check, far more than a fuzzing
// session reaches. Most lanes are real signatures of the eight identities,
// taken from a pool signed once (signing each lane would cost as much as
// checking it) and then turned into edge cases; the rest are arbitrary keys
// and bytes. Groups of 3 to 16 lanes fill whole and partial vectors.
// Usage: verify_wide_diff LANES [SEED]. Aborts on the first disagreement.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "verify_lanes.hpp"

using namespace ulo::verify_lanes;

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(next()); }
  void fill(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = byte();
  }
};

struct Signed {
  std::vector<std::uint8_t> payload, sig;
};

constexpr std::size_t kPoolPerIdentity = 256;

std::vector<std::vector<Signed>> signed_pool(Rng& rng) {
  std::vector<std::vector<Signed>> pool(identities().size());
  for (std::size_t who = 0; who < pool.size(); ++who) {
    for (std::size_t i = 0; i < kPoolPerIdentity; ++i) {
      Signed s;
      s.payload.resize(rng.next() % 160);
      rng.fill(s.payload.data(), s.payload.size());
      const auto sig = identities()[who].sign(s.payload);
      s.sig.assign(sig.begin(), sig.end());
      pool[who].push_back(std::move(s));
    }
  }
  return pool;
}

Lane arbitrary(Rng& rng) {
  Lane lane;
  if (rng.next() % 4 == 0) {
    std::memcpy(lane.key.data(), kSpecial[rng.next() % kSpecialCount], 32);
  } else {
    rng.fill(lane.key.data(), 32);
  }
  lane.sig.resize(rng.next() % 8 == 0 ? rng.next() % 72 : 64);
  rng.fill(lane.sig.data(), lane.sig.size());
  // Mostly S < L, so that the curve work runs rather than an early refusal.
  if (lane.sig.size() == 64 && rng.next() % 4 != 0) lane.sig[63] &= 0x0f;
  lane.payload.resize(rng.next() % 64);
  rng.fill(lane.payload.data(), lane.payload.size());
  return lane;
}

Lane from_identity(Rng& rng, const std::vector<std::vector<Signed>>& pool) {
  const std::size_t who = rng.next() % pool.size();
  const Signed& s = pool[who][rng.next() % kPoolPerIdentity];
  Lane lane;
  lane.key = identities()[who].public_key();
  lane.payload = s.payload;
  lane.sig = s.sig;
  // About three in ten stay valid; the rest become one edge case each.
  const std::uint64_t r = rng.next();
  const auto how = static_cast<std::uint8_t>(r % 10 < 3 ? 0 : 1 + (r >> 8) % 6);
  mutate(lane, how, rng.byte(), rng.byte());
  if (lane.key == identities()[who].public_key()) lane.table = tables()[who].get();
  return lane;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LANES [SEED]\n", argv[0]);
    return 2;
  }
  const std::uint64_t want = std::strtoull(argv[1], nullptr, 10);
  Rng rng{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1};
  ed::ensure_sodium();
  const auto pool = signed_pool(rng);
  const bool wide_here = ed::ifma::supported();
  Checked total;
  std::vector<Lane> lanes;
  while ((wide_here && total.wide < want) || total.table < want) {
    lanes.clear();
    const std::size_t n = rng.next() % 4 != 0 ? 16 : 3 + rng.next() % 13;
    for (std::size_t i = 0; i < n; ++i) {
      lanes.push_back(rng.next() % 16 == 0 ? arbitrary(rng) : from_identity(rng, pool));
    }
    const Checked done = check(lanes);
    // A line every ten million lanes, so that a long run stopped early still
    // says how far it got.
    if ((total.wide + done.wide) / 10'000'000 != total.wide / 10'000'000 ||
        (total.table + done.table) / 10'000'000 != total.table / 10'000'000) {
      std::printf("so far: eight-lane %zu, key tables %zu\n", total.wide + done.wide,
                  total.table + done.table);
      std::fflush(stdout);
    }
    total.wide += done.wide;
    total.table += done.table;
  }
  std::printf("lanes compared with the one-signature path: eight-lane %zu%s, key tables %zu\n",
              total.wide, wide_here ? "" : " (no AVX-512 IFMA here)", total.table);
  return 0;
}
