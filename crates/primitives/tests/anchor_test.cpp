#include "anchor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "json.hpp"
#include "runtime.hpp"

namespace {

ulo::MerkleRoot filled(std::uint8_t b) {
  ulo::MerkleRoot r;
  r.fill(b);
  return r;
}

// A root whose first bytes spell n, the rest zero: structured, not random.
ulo::MerkleRoot numbered(std::uint64_t n) {
  ulo::MerkleRoot r{};
  for (int i = 0; i < 8; ++i) r[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return r;
}

const std::string k64ones(64, '1');

TEST(MockAnchor, SubmitWritesTheFixedReceiptOnce) {
  ulo::MockAnchor a("m1");
  auto r = a.submit(filled(0x11));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(ulo::receipt_to_json(*r),
            R"({"anchor_id":"m1","anchor_kind":"local","merkle_root_hex":")" +
                k64ones + R"(","submission_ref":"mock://)" + k64ones +
                R"(","submitted_at":"2026-04-15T09:00:00Z",)"
                R"("expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""})");

  auto again = a.submit(filled(0x11));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind, ulo::AnchorError::AlreadySubmitted);
  EXPECT_EQ(again.error().message(), "anchor already submitted: " + k64ones);
  EXPECT_EQ(a.submitted_count(), 1u);

  auto p = a.verify(*r);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(*p, (ulo::AnchorProof{"m1", ulo::AnchorKind::local, k64ones, true,
                                  "2026-04-15T09:00:00Z", "mock"}));
  EXPECT_EQ(a.kind(), ulo::AnchorKind::local);
  EXPECT_EQ(a.cost_usd_per_submission(), 0.0);
  EXPECT_EQ(a.finality_seconds(), 0u);
}

TEST(MockAnchor, HexIsLowerCaseAndTheZeroRootIsARoot) {
  ulo::MockAnchor a("");
  ulo::MerkleRoot r{};
  r[0] = 0xAB;
  r[31] = 0x0F;
  EXPECT_EQ(a.submit(r)->merkle_root_hex,
            "ab" + std::string(60, '0') + "0f");
  auto zero = a.submit(filled(0));
  ASSERT_TRUE(zero.has_value());
  EXPECT_FALSE(a.submit(filled(0)).has_value());
  EXPECT_TRUE(a.verify(*zero).has_value());
  EXPECT_EQ(zero->anchor_id, "");
}

TEST(MockAnchor, VerifyDecidesByRootAlone) {
  ulo::MockAnchor a("m1"), other("m1");
  const auto receipt = *a.submit(filled(0x11));
  auto with = [&](auto change) {
    auto r = receipt;
    change(r);
    return r;
  };
  const struct {
    const char* name;
    ulo::AnchorReceipt receipt;
    ulo::MockAnchor* anchor;
    std::string want;  // proof's root and time, or the error message
  } cases[] = {
      {"unknown root", with([](auto& r) { r.merkle_root_hex = std::string(64, 'A'); }),
       &a, "anchor not found: " + std::string(64, 'A')},
      {"other time and id", with([](auto& r) {
         r.submitted_at = "whenever";
         r.anchor_id = "zz";
         r.anchor_kind = ulo::AnchorKind::ethereum;
       }),
       &a, k64ones + " whenever"},
      {"other anchor", receipt, &other, "anchor not found: " + k64ones},
      {"63 digits", with([](auto& r) { r.merkle_root_hex.pop_back(); }), &a,
       "anchor bad response: Odd number of digits"},
      {"62 digits", with([](auto& r) { r.merkle_root_hex.resize(62); }), &a,
       "anchor bad response: root len"},
      {"empty", with([](auto& r) { r.merkle_root_hex.clear(); }), &a,
       "anchor bad response: root len"},
      {"zz", with([](auto& r) { r.merkle_root_hex.replace(0, 2, "zz"); }), &a,
       "anchor bad response: Invalid character 'z' at position 0"},
      {"later bad digit, odd length wins",
       with([](auto& r) { r.merkle_root_hex = "12g"; }), &a,
       "anchor bad response: Odd number of digits"},
      {"bad digit before length check",
       with([](auto& r) { r.merkle_root_hex = "123g"; }), &a,
       "anchor bad response: Invalid character 'g' at position 3"},
      {"non-ASCII byte", with([](auto& r) { r.merkle_root_hex = "1\xc3\xa9" "1"; }),
       &a, "anchor bad response: Invalid character '\xc3\x83' at position 1"},
  };
  for (const auto& c : cases) {
    auto p = c.anchor->verify(c.receipt);
    if (p) {
      EXPECT_EQ(p->merkle_root_hex + " " + p->authoritative_time, c.want) << c.name;
      EXPECT_EQ(p->anchor_id, "m1") << c.name;
      EXPECT_EQ(p->anchor_kind, ulo::AnchorKind::local) << c.name;
    } else {
      EXPECT_EQ(p.error().message(), c.want) << c.name;
    }
  }
  // A root written partly in upper case verifies and keeps its case.
  ulo::MerkleRoot ab;
  ab.fill(0xAB);
  ASSERT_TRUE(a.submit(ab).has_value());
  auto mixed = receipt;
  mixed.merkle_root_hex.clear();
  for (int i = 0; i < 32; ++i) mixed.merkle_root_hex += "aB";
  auto p = a.verify(mixed);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->merkle_root_hex, mixed.merkle_root_hex);
}

TEST(AnchorError, MessagesByKind) {
  const std::pair<ulo::AnchorError::Kind, const char*> cases[] = {
      {ulo::AnchorError::Network, "anchor network: x"},
      {ulo::AnchorError::BadResponse, "anchor bad response: x"},
      {ulo::AnchorError::AlreadySubmitted, "anchor already submitted: x"},
      {ulo::AnchorError::NotFound, "anchor not found: x"},
      {ulo::AnchorError::Unsupported, "anchor unsupported: x"},
  };
  for (const auto& [kind, want] : cases)
    EXPECT_EQ((ulo::AnchorError{kind, "x"}.message()), want);
}

TEST(MockAnchor, RunsOnTheRuntimeThroughTheInterface) {
  ulo::MockAnchor mock("m2");
  ulo::Anchor& a = mock;
  auto r = ulo::submit_blocking(a, filled(7));
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->has_value());
  EXPECT_TRUE(ulo::Runtime::exists());
  auto p = ulo::verify_blocking(a, **r);
  ASSERT_TRUE(p.has_value() && p->has_value());
  EXPECT_TRUE((*p)->confirmed);
  auto dup = ulo::submit_blocking(a, filled(7));
  ASSERT_TRUE(dup.has_value());
  EXPECT_EQ(dup->error().kind, ulo::AnchorError::AlreadySubmitted);
}

TEST(MockAnchor, ConcurrentSubmissionsSucceedOncePerRoot) {
  ulo::MockAnchor a("m");
  constexpr int kThreads = 8, kRoots = 5000;
  std::vector<std::atomic<int>> wins(kRoots);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread submits every root, each starting at another offset.
      for (int k = 0; k < kRoots; ++k) {
        const int i = (k + t * kRoots / kThreads) % kRoots;
        if (a.submit(numbered(static_cast<std::uint64_t>(i)))) ++wins[i];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kRoots; ++i) ASSERT_EQ(wins[i].load(), 1) << i;
  EXPECT_EQ(a.submitted_count(), std::size_t{kRoots});
}

TEST(RootSet, StructuredRootsAllFoundAndNoOthers) {
  ulo::RootSet s;
  for (std::uint64_t i = 0; i < 100'000; ++i) ASSERT_TRUE(s.insert(numbered(i * 3)));
  for (std::uint64_t i = 0; i < 300'000; ++i)
    ASSERT_EQ(s.contains(numbered(i)), i % 3 == 0) << i;
  EXPECT_FALSE(s.insert(numbered(3)));
  EXPECT_EQ(s.size(), 100'000u);
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
  ulo::MerkleRoot r{};
  for (std::uint32_t i = 0; i < 1'000'000; ++i) {
    std::uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull;  // spread the bytes
    for (int k = 0; k < 4; ++k) std::memcpy(r.data() + 8 * k, &x, 8), x ^= x >> 7;
    ASSERT_TRUE(a.submit(r).has_value());
  }
  const double mb = static_cast<double>(rss_kib() - before) / 1024.0;
  std::printf("1,000,000 submitted roots: +%.1f MB resident\n", mb);
  EXPECT_LE(mb, 150.0);
}

}  // namespace
