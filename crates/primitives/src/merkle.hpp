// Merkle trees over a batch of records, for anchoring one root for all of
// them. Leaves hash as SHA-256(0x00 || data) and nodes as
// SHA-256(0x01 || left || right), and a tree of n leaves splits at the
// largest power of two below n. The distinct prefixes keep a leaf from
// passing for a node, and an odd node is carried up unpaired, never
// duplicated, so [a, b, c] and [a, b, c, c] have different roots.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"
#include "runtime.hpp"
#include "sha256.hpp"

namespace ulo {

Sha256Digest merkle_leaf_hash(std::span<const std::uint8_t> data);
// out[i] = merkle_leaf_hash(leaves[i]), two at a time where the CPU allows;
// out holds as many as leaves.
void merkle_leaf_hashes(std::span<const std::span<const std::uint8_t>> leaves,
                        std::span<Sha256Digest> out);
Sha256Digest merkle_node_hash(const Sha256Digest& left, const Sha256Digest& right);

// The root over the leaves' hashes; `level` is used as scratch and its
// contents are lost. It must not be empty.
Sha256Digest merkle_root_in_place(std::span<Sha256Digest> level);

// A large tree is built in aligned chunks of this many leaves (a power of
// two): each chunk is a complete subtree, hashed and reduced while it is
// in cache, and chunks are independent, so they spread over threads. The
// tree's root is merkle_root_in_place over the chunks' roots in order.
inline constexpr std::size_t kMerkleChunk = std::size_t{1} << 15;

// roots[c] = the root of leaves[c * kMerkleChunk ...] (the last chunk may be
// short); roots holds one per chunk. With `tasks` >= 2 the chunks are spread
// over that many of the runtime's pool threads while the caller waits (the
// caller drives the runtime); a stopped call fails. With fewer, `rt` may be
// null and the calling thread does the work.
Result<void, BlockingError> merkle_chunk_roots(Runtime* rt,
                                               std::span<const std::span<const std::uint8_t>> leaves,
                                               std::span<Sha256Digest> roots, std::size_t tasks);

// The inclusion proof of leaf `index`: the sibling hashes from the leaf up.
// `level` as above; index < level.size().
std::vector<Sha256Digest> merkle_path_in_place(std::span<Sha256Digest> level, std::size_t index);

// How many hashes the proof of leaf `index` in a tree of `size` leaves holds.
std::size_t merkle_path_length(std::uint64_t index, std::uint64_t size);

struct MerkleProofError {
  enum Kind { IndexOutOfRange, WrongLength, Mismatch };
  Kind kind;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::size_t length = 0;  // WrongLength: the hashes given
  std::string message() const;
};

// Checks that `path` leads from the leaf's hash at `index` of a tree of
// `size` leaves to `root`. Recomputes the root without building the tree.
Result<void, MerkleProofError> merkle_verify_inclusion(const Sha256Digest& leaf_hash,
                                                       std::uint64_t index, std::uint64_t size,
                                                       std::span<const Sha256Digest> path,
                                                       const Sha256Digest& root);

}  // namespace ulo
