// SHA-256 for hashing many small inputs: the Merkle tree's leaves and nodes.
// The compression function uses the CPU's SHA extensions where there are
// any; libsodium has no such path, and a tree of a million leaves is three
// million compressions.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ulo {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of the byte `prefix` followed by `a` and then `b`.
Sha256Digest sha256_prefixed(std::uint8_t prefix, std::span<const std::uint8_t> a,
                             std::span<const std::uint8_t> b = {});

// Two hashes at once, out0 of prefix || a0 || b0 and out1 of prefix || a1 ||
// b1. Where the SHA extensions are used and both fit in the same number of
// blocks (up to two), their rounds interleave: nearly twice the throughput.
void sha256_prefixed_x2(std::uint8_t prefix, std::span<const std::uint8_t> a0,
                        std::span<const std::uint8_t> b0, std::span<const std::uint8_t> a1,
                        std::span<const std::uint8_t> b1, Sha256Digest& out0, Sha256Digest& out1);

// The same with the portable compression function alone, so that tests
// check it on any CPU.
Sha256Digest sha256_prefixed_portable(std::uint8_t prefix, std::span<const std::uint8_t> a,
                                      std::span<const std::uint8_t> b = {});

// Whether the CPU's SHA extensions are in use (for the benchmark's report).
bool sha256_accelerated();

}  // namespace ulo
