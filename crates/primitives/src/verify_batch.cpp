#include "verify_batch.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

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

std::size_t available_cpus() noexcept {
  // The fixed-size set covers 1024 CPUs; larger machines need a bigger one.
  for (int ncpus = CPU_SETSIZE; ncpus <= (1 << 16); ncpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(ncpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    const bool too_small = rc != 0 && errno == EINVAL;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
    if (!too_small) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t batch_tasks(std::size_t n, std::size_t threads) noexcept {
  if (n < kParallelThreshold) return 0;
  if (threads == 0) threads = available_cpus();
  // Each task should get at least a couple of items, or a full vector's
  // worth where eight share one; more tasks than that only add hand-offs.
  threads = std::min(threads, n / (ed25519::wide_enabled() ? ed25519::kWideLanes : 2));
  return threads <= 1 ? 0 : threads;
}

Result<void, BlockingError> verify_batch(Runtime& rt, std::span<const VerifyItem> items,
                                         std::span<std::uint8_t> verdicts, std::size_t tasks,
                                         Strictness how) {
  const std::size_t n = std::min(items.size(), verdicts.size());
  if (tasks < 2) {
    verify_range(items, verdicts, 0, n, how);
    return {};
  }

  // Tasks take small blocks from a shared cursor rather than fixed shares,
  // so a core slowed by other work (or by items that need the slow path)
  // does not hold up the batch.
  std::size_t block = std::clamp<std::size_t>(n / (tasks * 16), 1, 32);
  // Whole vectors: a block's tail that leaves lanes empty costs a full pass.
  if (ed25519::wide_enabled()) {
    block = (block + ed25519::kWideLanes - 1) / ed25519::kWideLanes * ed25519::kWideLanes * 2;
  }
  std::atomic<std::size_t> cursor{0};
  // A stopped call leaves the rest undone, a block (about a millisecond) at
  // most after the stop.
  const std::atomic<bool>& stop = Runtime::stop_requested();
  auto task = [&](std::size_t) {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = cursor.fetch_add(block, std::memory_order_relaxed);
      if (begin >= n) return;
      verify_range(items, verdicts, begin, std::min(n, begin + block), how);
    }
  };
  auto ran = rt.run_blocking_n(tasks, task);
  if (ran && stop.load(std::memory_order_relaxed)) return unexpected(BlockingError{});
  return ran;
}

}  // namespace ulo
