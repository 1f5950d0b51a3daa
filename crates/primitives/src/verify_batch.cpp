#include "verify_batch.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "base64.hpp"
#include "ed25519.hpp"
#include "runtime.hpp"

namespace ulo {
namespace {

// Keys are decoded a chunk at a time so the curve work of a whole chunk can
// share vectors; a key text that is not 32 bytes of Base64 fails at once.
void verify_range(std::span<const VerifyItem> items, std::span<std::uint8_t> verdicts,
                  std::size_t begin, std::size_t end, Strictness how) {
  // Strict checks name a weakness per item, so they go one at a time.
  if (how == Strictness::strict) {
    for (std::size_t i = begin; i < end; ++i) {
      const VerifyItem& it = items[i];
      verdicts[i] =
          verify_signature_strict(it.public_key_b64, it.payload, it.signature).has_value() ? 1 : 0;
    }
    return;
  }
  constexpr std::size_t kChunk = 64;
  std::array<std::uint8_t, 32> keys[kChunk];
  ed25519::Triple triples[kChunk];
  ed25519::Verdict results[kChunk];
  std::size_t where[kChunk];
  while (begin < end) {
    const std::size_t stop = std::min(end, begin + kChunk);
    std::size_t n = 0;
    for (std::size_t i = begin; i < stop; ++i) {
      const VerifyItem& it = items[i];
      const auto key = base64::decode_unpadded(it.public_key_b64);
      if (!key || key->size() != 32) {
        verdicts[i] = 0;
        continue;
      }
      std::memcpy(keys[n].data(), key->data(), 32);
      const ed25519::KeyTable* table =
          it.key_cache != nullptr ? it.key_cache->ready_table(ed25519::Encoding{keys[n]}) : nullptr;
      triples[n] = {keys[n].data(), it.payload, it.signature, table};
      where[n++] = i;
    }
    ed25519::verify_many({triples, n}, {results, n});
    for (std::size_t j = 0; j < n; ++j) verdicts[where[j]] = results[j] == ed25519::Verdict::ok ? 1 : 0;
    begin = stop;
  }
}

}  // namespace

void verify_each(std::span<const VerifyItem> items, std::span<std::uint8_t> verdicts,
                 Strictness how) {
  verify_range(items, verdicts, 0, std::min(items.size(), verdicts.size()), how);
}

namespace {

// Verification is CPU-bound: a task per CPU, each worth a couple of items
// or a full vector's worth where eight share one. Blocks are whole vectors
// (two of them), as a block's tail that leaves lanes empty costs a full pass.
Split verify_split(std::size_t threads) {
  if (ed25519::wide_enabled()) {
    return {.per_task = ed25519::kWideLanes, .max_tasks = threads, .max_block = 64,
            .round_to = 2 * ed25519::kWideLanes, .blocking = false};
  }
  return {.per_task = 2, .max_tasks = threads, .max_block = 32, .round_to = 1, .blocking = false};
}

}  // namespace

std::size_t batch_tasks(std::size_t n, std::size_t threads) noexcept {
  if (n < kParallelThreshold) return 0;
  const std::size_t tasks = plan(n, verify_split(threads)).tasks;
  return tasks <= 1 ? 0 : tasks;
}

Result<void, BlockingError> verify_batch(Runtime& rt, std::span<const VerifyItem> items,
                                         std::span<std::uint8_t> verdicts, std::size_t tasks,
                                         Strictness how) {
  const std::size_t n = std::min(items.size(), verdicts.size());
  // A lone task runs here; a stopped call leaves the rest undone, a block
  // (about a millisecond) at most after the stop.
  return rt.parallel_for(n, verify_split(std::max<std::size_t>(tasks, 1)),
                         [&](std::size_t begin, std::size_t end) {
                           verify_range(items, verdicts, begin, end, how);
                         });
}

}  // namespace ulo
