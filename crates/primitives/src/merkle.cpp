#include "merkle.hpp"

#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "runtime.hpp"

namespace ulo {
namespace {

// One level up, in place: pairs hash into their parent, an odd last node
// moves up unchanged. Pairing bottom-up this way gives the same tree as
// splitting at the largest power of two from the top.
std::size_t reduce_level(std::span<Sha256Digest> level, std::size_t size) {
  const std::size_t pairs = size / 2;
  std::size_t i = 0;
  // Two parents at a time; each reads its children before it is written.
  for (; i + 1 < pairs; i += 2) {
    sha256_prefixed_x2(0x01, level[2 * i], level[2 * i + 1], level[2 * i + 2], level[2 * i + 3],
                       level[i], level[i + 1]);
  }
  if (i < pairs) level[i] = merkle_node_hash(level[2 * i], level[2 * i + 1]);
  if (size % 2 != 0) level[pairs] = level[size - 1];
  return pairs + size % 2;
}

}  // namespace

Sha256Digest merkle_leaf_hash(std::span<const std::uint8_t> data) {
  return sha256_prefixed(0x00, data);
}

void merkle_leaf_hashes(std::span<const std::span<const std::uint8_t>> leaves,
                        std::span<Sha256Digest> out) {
  std::size_t i = 0;
  for (; i + 1 < leaves.size(); i += 2) {
    sha256_prefixed_x2(0x00, leaves[i], {}, leaves[i + 1], {}, out[i], out[i + 1]);
  }
  if (i < leaves.size()) out[i] = merkle_leaf_hash(leaves[i]);
}

Sha256Digest merkle_node_hash(const Sha256Digest& left, const Sha256Digest& right) {
  return sha256_prefixed(0x01, left, right);
}

Sha256Digest merkle_root_in_place(std::span<Sha256Digest> level) {
  std::size_t size = level.size();
  while (size > 1) size = reduce_level(level, size);
  return level[0];
}

Result<void, BlockingError> merkle_chunk_roots(Runtime* rt,
                                               std::span<const std::span<const std::uint8_t>> leaves,
                                               std::span<Sha256Digest> roots, std::size_t tasks) {
  const std::size_t chunks = roots.size();
  const std::atomic<bool>* stop = tasks >= 2 ? &Runtime::stop_requested() : nullptr;
  std::atomic<std::size_t> cursor{0};
  const auto task = [&](std::size_t) {
    std::vector<Sha256Digest> scratch(std::min(kMerkleChunk, leaves.size()));
    for (std::size_t c = cursor.fetch_add(1, std::memory_order_relaxed); c < chunks;
         c = cursor.fetch_add(1, std::memory_order_relaxed)) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
      const auto part = leaves.subspan(c * kMerkleChunk,
                                       std::min(kMerkleChunk, leaves.size() - c * kMerkleChunk));
      const std::span<Sha256Digest> level(scratch.data(), part.size());
      merkle_leaf_hashes(part, level);
      roots[c] = merkle_root_in_place(level);
    }
  };
  if (stop == nullptr) {
    task(0);
    return {};
  }
  auto ran = rt->run_blocking_n(tasks, task);
  if (ran && stop->load(std::memory_order_relaxed)) return unexpected(BlockingError{});
  return ran;
}

std::vector<Sha256Digest> merkle_path_in_place(std::span<Sha256Digest> level, std::size_t index) {
  std::vector<Sha256Digest> path;
  std::size_t size = level.size();
  while (size > 1) {
    if ((index ^ 1) < size) path.push_back(level[index ^ 1]);
    size = reduce_level(level, size);
    index /= 2;
  }
  return path;
}

std::size_t merkle_path_length(std::uint64_t index, std::uint64_t size) {
  std::size_t n = 0;
  for (; size > 1; size = (size + 1) / 2, index /= 2) {
    if ((index ^ 1) < size) ++n;
  }
  return n;
}

std::string MerkleProofError::message() const {
  switch (kind) {
    case IndexOutOfRange:
      return "leaf index " + std::to_string(index) + " is out of range for a tree of " +
             std::to_string(size) + " leaves";
    case WrongLength:
      return "inclusion proof holds " + std::to_string(length) + " hashes; leaf " +
             std::to_string(index) + " of a tree of " + std::to_string(size) + " leaves needs " +
             std::to_string(merkle_path_length(index, size));
    case Mismatch:
      return "inclusion proof does not lead to the root";
  }
  return {};
}

Result<void, MerkleProofError> merkle_verify_inclusion(const Sha256Digest& leaf_hash,
                                                       std::uint64_t index, std::uint64_t size,
                                                       std::span<const Sha256Digest> path,
                                                       const Sha256Digest& root) {
  if (index >= size) return unexpected(MerkleProofError{MerkleProofError::IndexOutOfRange, index, size});
  if (path.size() != merkle_path_length(index, size)) {
    return unexpected(MerkleProofError{MerkleProofError::WrongLength, index, size, path.size()});
  }
  // Walks up by position: a right child, or the last node of a level with
  // no right sibling, hashes with the sibling on its left; the latter first
  // climbs the levels where it is carried up unpaired.
  std::uint64_t fn = index;
  std::uint64_t sn = size - 1;
  Sha256Digest r = leaf_hash;
  for (const Sha256Digest& p : path) {
    if ((fn & 1) != 0 || fn == sn) {
      r = merkle_node_hash(p, r);
      while ((fn & 1) == 0 && fn != 0) {
        fn >>= 1;
        sn >>= 1;
      }
    } else {
      r = merkle_node_hash(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  // Constant time: a near miss says nothing about the root.
  if (sn != 0 || sodium_memcmp(r.data(), root.data(), r.size()) != 0) {
    return unexpected(MerkleProofError{MerkleProofError::Mismatch, index, size, path.size()});
  }
  return {};
}

}  // namespace ulo
