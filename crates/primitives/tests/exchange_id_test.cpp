#include "exchange_id.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ulo {
namespace {

// Threads racing for ids, many within one millisecond: each thread sees its
// ids strictly increase, and no id is made twice.
TEST(ExchangeId, IncreasingPerThreadAndUniqueAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(new_exchange_id());
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& ids : made) {
    for (std::size_t i = 1; i < ids.size(); ++i) ASSERT_LT(ids[i - 1], ids[i]);
    all.insert(ids.begin(), ids.end());
  }
  EXPECT_EQ(all.size(), std::size_t{kThreads} * kEach);
  const std::string later = new_exchange_id();
  EXPECT_LT(*all.rbegin(), later);
}

}  // namespace
}  // namespace ulo
