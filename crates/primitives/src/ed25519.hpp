// Ed25519 verification with lenient key decoding and the cofactorless check.
// libsodium decides whenever its verdict is final; our own variable-time
// Edwards arithmetic decides the inputs it refuses up front (non-canonical or
// small-order keys, small-order R).
#pragma once
#include <cstdint>
#include <span>

namespace ulo::ed25519 {

using Bytes = std::span<const std::uint8_t>;
using Encoding = std::span<const std::uint8_t, 32>;

// Runs sodium_init() once per process; safe from any thread.
void ensure_sodium();

// Decoding of a compressed point with two leniencies: y >= p is taken mod p,
// and a set sign bit with x = 0 is accepted. False only when no x exists.
bool is_point(Encoding encoding);

// True when the encoding is canonical (y < p) and not one of the small-order
// encodings (sign bit ignored), i.e. libsodium's up-front checks pass.
bool is_ordinary(Encoding encoding);

// True when the encoding (sign bit ignored, y taken mod p) is one of the
// eight points of small order: anyone can sign for such a key.
bool has_small_order(Encoding encoding);

enum class Verdict : std::uint8_t { ok, bad_key, bad_signature };
// Who settled the verdict: the length / point / range checks, libsodium, or
// our own arithmetic.
enum class Decider : std::uint8_t { checks, library, own };

struct Outcome {
  Verdict verdict;
  Decider decider;
};

// Checks in order: key is a point, signature is 64 bytes, S < L, then
// [S]B - [k]A encoded equals R, with k = SHA-512(R || key || payload) mod L.
Outcome verify(Encoding key, Bytes payload, Bytes signature);

// The same rules computed with our arithmetic only; for tests and benchmarks.
Verdict verify_own(Encoding key, Bytes payload, Bytes signature);

}  // namespace ulo::ed25519
