// Costs below the Python layer: the runtime hand-off, the JSON reader and
// writer on the example envelope, and the two verification paths.
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ed25519.hpp"
#include "envelope.hpp"
#include "identity.hpp"
#include "merkle.hpp"
#include "record_table.hpp"
#include "runtime.hpp"

namespace {

template <class F>
double best_ns(F&& f, int per_batch, int batches = 7) {
  double best = 1e18;
  for (int b = 0; b < batches; ++b) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < per_batch; ++i) f();
    const std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count() / per_batch);
  }
  return best;
}

constexpr const char* kExample =
    R"({"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},)"
    R"("direction":"outbound","request_hash":"aa11","our_signature":"sig-a",)"
    R"("opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",)"
    R"("counterparty_identifier":"peer-7"})";

}  // namespace

int main() {
  volatile std::size_t sink = 0;

  auto rt = ulo::Runtime::get();
  if (!rt) return 1;
  const double handoff = best_ns([&] { sink = sink + (*rt)->run_blocking([] { return 1; }).value(); }, 20000);
  const double drive = best_ns(
      [&] { sink = sink + (*rt)->block_on([] { return 1; }).value(); }, 200000);
  std::printf("runtime: no-op hand-off to the blocking pool and back %.2f us | "
              "driving a no-op operation on the caller %.3f us\n",
              handoff / 1000, drive / 1000);

  using ulo::kSignedEnvelopeRecord;
  const auto env = ulo::decode_record<ulo::SignedEnvelope>(kExample, kSignedEnvelopeRecord);
  if (!env) return 1;
  const double decode = best_ns([&] {
    sink = sink + ulo::decode_record<ulo::SignedEnvelope>(kExample, kSignedEnvelopeRecord)->exchange_id.size();
  }, 200000);
  const double encode = best_ns([&] { sink = sink + ulo::encode_record(kSignedEnvelopeRecord, &*env).size(); }, 200000);
  const double signing = best_ns([&] { sink = sink + ulo::canonical_signing_bytes(*env).size(); }, 200000);
  std::printf("envelope (242 B): decode %.0f ns | encode %.0f ns | signing bytes %.0f ns\n", decode,
              encode, signing);

  std::vector<unsigned char> seed(32, 7);
  auto id = ulo::SoftwareIdentity::from_seed(seed);
  const std::string msg = R"(["ex-1","aa11",null])";
  const ulo::Bytes payload(reinterpret_cast<const std::uint8_t*>(msg.data()), msg.size());
  const auto sig = id->sign(payload);
  const auto desc = id->descriptor();
  const double fast = best_ns([&] { sink = sink + ulo::verify_signature(desc.public_key_b64, payload, sig).has_value(); }, 2000);
  const double own = best_ns([&] { sink = sink + static_cast<int>(ulo::ed25519::verify_own(id->public_key(), payload, sig)); }, 2000);
  const double sign = best_ns([&] { sink = sink + id->sign(payload)[0]; }, 2000);
  std::printf("ed25519: verify (fast path) %.1f us | own arithmetic on the same signature %.1f us "
              "(x%.2f) | sign %.1f us\n",
              fast / 1000, own / 1000, own / fast, sign / 1000);

  // A Merkle root over a million 32-byte leaves beside the bare hashing it
  // needs: N leaf hashes of 33 bytes and N-1 node hashes of 65, one after
  // another in a loop. (The tree hashes two at a time where it can.)
  constexpr std::size_t kLeaves = 1'000'000;
  std::vector<std::array<std::uint8_t, 32>> leaves(kLeaves);
  for (std::size_t i = 0; i < kLeaves; ++i) leaves[i][i % 32] = static_cast<std::uint8_t>(i);
  const auto bare_run = [&] {
    ulo::Sha256Digest h{};
    for (const auto& leaf : leaves) h = ulo::sha256_prefixed(0, leaf);
    for (std::size_t i = 1; i < kLeaves; ++i) h = ulo::sha256_prefixed(1, h, leaves[i]);
    sink = sink + h[0];
  };
  const std::vector<std::span<const std::uint8_t>> views(leaves.begin(), leaves.end());
  // One thread, chunk by chunk, as merkle_root builds it (which also
  // spreads the chunks over the pool's threads).
  std::vector<ulo::Sha256Digest> roots((kLeaves + ulo::kMerkleChunk - 1) / ulo::kMerkleChunk);
  const auto tree_run = [&] {
    if (!ulo::merkle_chunk_roots(nullptr, views, roots, 0)) return;
    sink = sink + ulo::merkle_root_in_place(roots)[0];
  };
  // Taken in turns, so that a spell of load on a shared machine slows both.
  double bare = 1e18;
  double tree = 1e18;
  for (int round = 0; round < 7; ++round) {
    bare = std::min(bare, best_ns(bare_run, 1, 1));
    tree = std::min(tree, best_ns(tree_run, 1, 1));
  }
  std::printf("merkle: root over 1,000,000 leaves of 32 B %.1f ms | bare 2N-1 SHA-256 %.1f ms "
              "(x%.2f, target <= 1.2) | SHA extensions %s\n",
              tree / 1e6, bare / 1e6, tree / bare, ulo::sha256_accelerated() ? "used" : "absent");
  return sink == 0 ? 1 : 0;
}
