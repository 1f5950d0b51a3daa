#include "merkle.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <string>
#include <vector>


namespace ulo {
namespace {

std::string hex(const Sha256Digest& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : d) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

Sha256Digest reference(std::uint8_t prefix, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> all{prefix};
  all.insert(all.end(), data.begin(), data.end());
  Sha256Digest out;
  crypto_hash_sha256(out.data(), all.data(), all.size());
  return out;
}

// Every length around the one- and two-block boundaries, and a few large
// ones, against libsodium, with and without the CPU's extensions.
TEST(Sha256, MatchesLibsodiumAtEveryLength) {
  ASSERT_GE(sodium_init(), 0);
  std::vector<std::uint8_t> data;
  for (std::size_t n = 0; n < 300; ++n) {
    const std::span<const std::uint8_t> whole(data);
    const auto want = reference(static_cast<std::uint8_t>(n), data);
    EXPECT_EQ(sha256_prefixed(static_cast<std::uint8_t>(n), whole), want) << n;
    EXPECT_EQ(sha256_prefixed_portable(static_cast<std::uint8_t>(n), whole), want) << n;
    // Split anywhere, the two parts hash as one.
    const std::size_t cut = n / 3;
    EXPECT_EQ(sha256_prefixed(static_cast<std::uint8_t>(n), whole.first(cut), whole.subspan(cut)),
              want)
        << n;
    data.push_back(static_cast<std::uint8_t>(n * 7 + 1));
  }
  data.assign(100000, 0x5a);
  EXPECT_EQ(sha256_prefixed(1, data), reference(1, data));
}

// Two at a time gives each hash as one at a time would: the same length
// (interleaved where the CPU allows), different lengths, and beyond two
// blocks (one after the other).
TEST(Sha256, TwoAtATimeMatchesOneAtATime) {
  std::vector<std::uint8_t> data(200);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const std::span<const std::uint8_t> all(data);
  for (std::size_t n = 0; n < 140; ++n) {
    for (const std::size_t m : {n, n / 2, std::size_t{64}}) {
      Sha256Digest x{}, y{};
      sha256_prefixed_x2(1, all.first(n), all.subspan(7, 3), all.subspan(20, m), all.subspan(9, 3),
                         x, y);
      EXPECT_EQ(x, sha256_prefixed(1, all.first(n), all.subspan(7, 3))) << n;
      EXPECT_EQ(y, sha256_prefixed(1, all.subspan(20, m), all.subspan(9, 3))) << n << " " << m;
    }
  }
}

std::vector<std::vector<std::uint8_t>> test_leaves() {
  // The leaves of the published test tree of the construction.
  return {{},
          {0x00},
          {0x10},
          {0x20, 0x21},
          {0x30, 0x31},
          {0x40, 0x41, 0x42, 0x43},
          {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57},
          {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x6b, 0x6c, 0x6d, 0x6e,
           0x6f}};
}

std::vector<Sha256Digest> hashes_of(const std::vector<std::vector<std::uint8_t>>& leaves,
                                    std::size_t n) {
  std::vector<Sha256Digest> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(merkle_leaf_hash(leaves[i]));
  return out;
}

TEST(Merkle, KnownRoots) {
  const char* const roots[] = {
      "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
      "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
      "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
      "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
      "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
      "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
      "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
      "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
  };
  const auto leaves = test_leaves();
  for (std::size_t n = 1; n <= 8; ++n) {
    auto level = hashes_of(leaves, n);
    EXPECT_EQ(hex(merkle_root_in_place(level)), roots[n - 1]) << n;
  }
}

// Every proof of every tree up to 70 leaves verifies, and no other index,
// leaf or sibling does.
TEST(Merkle, EveryProofVerifiesAndNothingElse) {
  std::vector<std::vector<std::uint8_t>> leaves;
  for (std::uint8_t i = 0; i < 70; ++i) leaves.push_back({i});
  for (std::size_t n = 1; n <= leaves.size(); ++n) {
    auto scratch = hashes_of(leaves, n);
    const Sha256Digest root = merkle_root_in_place(scratch);
    for (std::size_t i = 0; i < n; ++i) {
      scratch = hashes_of(leaves, n);
      const auto path = merkle_path_in_place(scratch, i);
      const auto leaf = merkle_leaf_hash(leaves[i]);
      ASSERT_EQ(path.size(), merkle_path_length(i, n));
      ASSERT_TRUE(merkle_verify_inclusion(leaf, i, n, path, root)) << n << " " << i;
      EXPECT_FALSE(merkle_verify_inclusion(leaf, i ^ 1, n, path, root));
      EXPECT_FALSE(merkle_verify_inclusion(leaf, n, n, path, root));
      EXPECT_FALSE(merkle_verify_inclusion(merkle_leaf_hash(leaves[(i + 1) % 70]), i, n, path,
                                           root));
      for (std::size_t k = 0; k < path.size(); ++k) {
        auto tampered = path;
        tampered[k][k % 32] ^= 1;
        EXPECT_FALSE(merkle_verify_inclusion(leaf, i, n, tampered, root));
      }
    }
  }
}

// Built chunk by chunk, a tree has the root it has built whole, whether the
// last chunk is full, short or a single leaf.
TEST(Merkle, ChunkRootsGiveTheSameRoot) {
  for (const std::size_t n : {std::size_t{1}, kMerkleChunk - 1, kMerkleChunk, kMerkleChunk + 1,
                              3 * kMerkleChunk + 7}) {
    std::vector<std::array<std::uint8_t, 4>> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = {std::uint8_t(i), std::uint8_t(i >> 8), 1, 2};
    const std::vector<std::span<const std::uint8_t>> leaves(data.begin(), data.end());
    std::vector<Sha256Digest> whole(n);
    merkle_leaf_hashes(leaves, whole);
    std::vector<Sha256Digest> roots((n + kMerkleChunk - 1) / kMerkleChunk);
    ASSERT_TRUE(merkle_chunk_roots(nullptr, leaves, roots, 0));
    EXPECT_EQ(merkle_root_in_place(roots), merkle_root_in_place(whole)) << n;
  }
}

}  // namespace
}  // namespace ulo
