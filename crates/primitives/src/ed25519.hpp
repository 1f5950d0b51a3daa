// Ed25519 verification with lenient key decoding and the cofactorless check.
// libsodium decides whenever its verdict is final; our own variable-time
// Edwards arithmetic decides the inputs it refuses up front (non-canonical or
// small-order keys, small-order R).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
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

// Multiples of one key, [j * 256^i]A for i < 32 and j = 1..8 in affine
// form (30 KB), so that verifying with it needs four doublings instead of
// about 250. For keys that verify again and again.
struct KeyTable;
struct KeyTableDeleter {
  void operator()(const KeyTable* t) const noexcept;
};
using KeyTablePtr = std::unique_ptr<const KeyTable, KeyTableDeleter>;
inline constexpr std::size_t kKeyTableBytes = 32 + 32 * 8 * 3 * 5 * 8;

// Null when the key is not a point (it could never verify).
KeyTablePtr make_key_table(Encoding key);
void delete_key_table(const KeyTable* table) noexcept;
// Whether the table was made for this key.
bool table_matches(const KeyTable& table, Encoding key);

// verify(key, payload, signature).verdict for the table's key.
Verdict verify_with(const KeyTable& table, Bytes payload, Bytes signature);

// Signatures verified together per vector by the eight-lane path.
inline constexpr std::size_t kWideLanes = 8;

// One of many verifications done together; key points at 32 bytes. A
// table of the key, when there is one, serves signatures that would
// otherwise go one at a time.
struct Triple {
  const std::uint8_t* key;
  Bytes payload;
  Bytes signature;
  const KeyTable* table = nullptr;
};

// ULO_VERIFY_PORTABLE set to anything but "" or "0": verification takes
// the portable one-signature path only (no eight-lane vectors, no key
// tables), for tests and benchmarks. Read once per process.
bool portable_only();

// True when the eight-lane path runs here: the CPU has AVX-512 IFMA, the OS
// saves its registers, and the portable path is not forced.
bool wide_enabled();

// Below this many signatures in a pass, one at a time is cheaper: a pass
// costs about as much as three to six single verifications.
inline constexpr std::size_t kMinWideLanes = 3;

// verdicts[i] = verify(items[i]).verdict, eight at a time where
// wide_enabled(), else one by one. The spans have the same size.
void verify_many(std::span<const Triple> items, std::span<Verdict> verdicts);

// The eight-lane path whatever the environment says, for tests and fuzzing;
// only where ifma::supported(). Groups of fewer than kMinWideLanes go one
// at a time.
void verify_wide(std::span<const Triple> items, std::span<Verdict> verdicts);

}  // namespace ulo::ed25519
