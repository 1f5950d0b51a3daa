// Batch verification: same verdicts as one-at-a-time verification for every
// vector, whatever the split and thread cap; CPU counting under an affinity
// mask. Concurrent batches are driven through the binding's tests.
#include "verify_batch.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "identity.hpp"
#include "vector_files.hpp"

namespace {

using ulo_test::ByteVec;
using ulo_test::from_hex;

struct Triple {
  std::string key;
  ByteVec payload;
  ByteVec sig;
};

// The vectors (every verdict and every path of verification) repeated, so
// that batches are long enough to be split many ways.
const std::vector<Triple>& corpus() {
  static const std::vector<Triple> all = [] {
    const auto once = ulo_test::read_jsonl("ed25519.jsonl");
    std::vector<Triple> out;
    for (int i = 0; i < 20; ++i) {
      for (const auto& v : once) {
        out.push_back({v["public_key_b64"], from_hex(v["payload_hex"]), from_hex(v["signature_hex"])});
      }
    }
    return out;
  }();
  return all;
}

std::vector<ulo::VerifyItem> items_of(const std::vector<Triple>& ts) {
  std::vector<ulo::VerifyItem> items;
  for (const auto& t : ts) items.push_back({t.key, t.payload, t.sig});
  return items;
}

std::vector<std::uint8_t> one_at_a_time(std::span<const ulo::VerifyItem> items) {
  std::vector<std::uint8_t> out;
  for (const auto& it : items) {
    out.push_back(ulo::verify_signature(it.public_key_b64, it.payload, it.signature) ? 1 : 0);
  }
  return out;
}

// A batch as the binding runs it: on the caller when it is small, else on
// the pool through the runtime.
bool run_batch(std::span<const ulo::VerifyItem> items, std::span<std::uint8_t> verdicts,
               std::size_t threads) {
  const std::size_t tasks = ulo::batch_tasks(items.size(), threads);
  if (tasks == 0) {
    ulo::verify_each(items, verdicts);
    return true;
  }
  auto ran = ulo::Runtime::run(
      [&](ulo::Runtime& rt) { return ulo::verify_batch(rt, items, verdicts, tasks); });
  return ran && ran->has_value();
}

// (thread cap, batch size); a size of -1 is the whole corpus.
class BatchSplits : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(BatchSplits, VerdictsEqualOneAtATime) {
  const auto [threads, size] = GetParam();
  const std::vector<ulo::VerifyItem> all = items_of(corpus());
  const std::size_t n = size < 0 ? all.size() : static_cast<std::size_t>(size);
  // Several windows, so that small batches see different kinds of items.
  for (std::size_t start = 0; start + n <= all.size(); start += std::max<std::size_t>(n, 1) * 97 + 13) {
    const std::span<const ulo::VerifyItem> items(all.data() + start, n);
    std::vector<std::uint8_t> verdicts(n, 7);
    ASSERT_TRUE(run_batch(items, verdicts, threads));
    ASSERT_EQ(verdicts, one_at_a_time(items)) << "start " << start;
    if (size < 0) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Splits, BatchSplits,
    ::testing::Combine(::testing::Values<std::size_t>(0, 1, 2, 3, 16),
                       ::testing::Values(0, 1, static_cast<int>(ulo::kParallelThreshold) - 1,
                                         static_cast<int>(ulo::kParallelThreshold), 33, -1)));

TEST(AvailableCpus, FollowsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(ulo::available_cpus(), static_cast<std::size_t>(CPU_COUNT(&saved)));
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const std::size_t limited = ulo::available_cpus();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(limited, 1u);
}

}  // namespace
