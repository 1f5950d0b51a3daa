#include "entry_names.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Names whose stems are prefixes of one another, with bytes on both sides
// of '.', so that the order of the full names differs from that of the
// stems ("a-b.json" before "a.json", "a.json" before "a\xff.json").
std::vector<std::string> tricky_names(std::mt19937& rng, std::size_t n) {
  static constexpr char kBytes[] = {'a', '-', '.', '_', 'j', '\xff'};
  std::vector<std::string> out;
  while (out.size() < n) {
    std::string s;
    for (std::size_t k = 1 + rng() % 5; k > 0; --k) s.push_back(kBytes[rng() % 6]);
    s.append(".json");
    out.push_back(std::move(s));
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

TEST(EntryNames, SortsByFullNameAStretchAtATime) {
  std::mt19937 rng(2026);
  const std::atomic<bool> go{false};
  for (int round = 0; round < 100; ++round) {
    const auto sorted = tricky_names(rng, rng() % 400);
    auto shuffled = sorted;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    ulo::EntryNames names;
    for (const auto& s : shuffled) ASSERT_TRUE(names.add(s));
    std::string buf;
    for (std::size_t at = 0; at < names.size();) {
      const std::size_t end = std::min(names.size(), at + 1 + rng() % 40);
      ASSERT_TRUE(names.sort_until(end, go));
      ASSERT_GE(names.sorted(), end);
      for (; at < end; ++at) ASSERT_EQ(names.name(at, buf), sorted[at]) << "round " << round;
    }
  }
}

TEST(EntryNames, StopsWhenAskedAndKeepsEveryName) {
  ulo::EntryNames names;
  for (int i = 5000; i > 0; --i) {
    std::string name = std::to_string(i);
    names.add(name.append(".json"));
  }
  const std::atomic<bool> stop{true};
  EXPECT_FALSE(names.sort_until(1, stop));
  const std::atomic<bool> go{false};
  ASSERT_TRUE(names.sort_until(names.size(), go));
  std::string buf, prev;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_LT(prev, names.name(i, buf));
    prev = buf;
  }
  EXPECT_EQ(names.size(), 5000u);
}

}  // namespace
