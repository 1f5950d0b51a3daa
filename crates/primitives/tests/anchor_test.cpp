// The root set behind MockAnchor: the all-zero root, growth, memory and
// real concurrency (the Python binding holds the GIL, so it cannot race).
#include "anchor.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "runtime.hpp"

namespace {

// A root whose first bytes spell n, the rest zero: structured, not random.
ulo::MerkleRoot numbered(std::uint64_t n) {
  ulo::MerkleRoot r{};
  for (int i = 0; i < 8; ++i) r[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return r;
}

TEST(RootSet, TheZeroRootIsKeptApartFromFreeSlots) {
  ulo::RootSet s;
  EXPECT_FALSE(s.contains(numbered(0)));
  ASSERT_TRUE(s.insert(numbered(1)));  // allocates slots, every free one zero
  EXPECT_FALSE(s.contains(numbered(0)));
  EXPECT_TRUE(s.insert(numbered(0)));
  EXPECT_FALSE(s.insert(numbered(0)));
  EXPECT_TRUE(s.contains(numbered(0)));
  EXPECT_EQ(s.size(), 2u);
}

TEST(RootSet, StructuredRootsAllFoundAndNoOthers) {
  ulo::RootSet s;
  for (std::uint64_t i = 0; i < 100'000; ++i) ASSERT_TRUE(s.insert(numbered(i * 3)));
  for (std::uint64_t i = 0; i < 300'000; ++i)
    ASSERT_EQ(s.contains(numbered(i)), i % 3 == 0) << i;
  EXPECT_FALSE(s.insert(numbered(3)));
  EXPECT_EQ(s.size(), 100'000u);
}

TEST(MockAnchor, ConcurrentSubmissionsSucceedOncePerRoot) {
  ulo::MockAnchor a("m");
  ulo::Runtime& rt = **ulo::Runtime::get();
  constexpr int kThreads = 8, kRoots = 5000;
  std::vector<std::atomic<int>> wins(kRoots);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread submits every root, each starting at another offset.
      for (int k = 0; k < kRoots; ++k) {
        const int i = (k + t * kRoots / kThreads) % kRoots;
        if (a.submit(rt, numbered(static_cast<std::uint64_t>(i)))) ++wins[i];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kRoots; ++i) ASSERT_EQ(wins[i].load(), 1) << i;
  EXPECT_EQ(a.submitted_count(), std::size_t{kRoots});
}

long rss_kib() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

TEST(MockAnchor, MillionRootsStayUnder150MB) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers change the memory use";
#endif
  const long before = rss_kib();
  ulo::MockAnchor a("m");
  ulo::Runtime& rt = **ulo::Runtime::get();
  ulo::MerkleRoot r{};
  for (std::uint32_t i = 0; i < 1'000'000; ++i) {
    std::uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull;  // spread the bytes
    for (int k = 0; k < 4; ++k) std::memcpy(r.data() + 8 * k, &x, 8), x ^= x >> 7;
    ASSERT_TRUE(a.submit(rt, r).has_value());
  }
  const double mb = static_cast<double>(rss_kib() - before) / 1024.0;
  std::printf("1,000,000 submitted roots: +%.1f MB resident\n", mb);
  EXPECT_LE(mb, 150.0);
}

}  // namespace
