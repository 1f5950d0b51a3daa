// Many signature verifications at once, spread over the worker runtime's
// threads. Each verdict is the one verify_signature gives for that triple.
// Contains nothing of Python.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "identity.hpp"
#include "result.hpp"
#include "runtime.hpp"

namespace ulo {

// One triple, as views: the caller keeps the storage alive for the call.
// A descriptor's key cache, when given, lends its table if it has one.
struct VerifyItem {
  std::string_view public_key_b64;
  Bytes payload;
  Bytes signature;
  const KeyCache* key_cache = nullptr;
};

// Below this many items a batch runs on the calling thread. One item takes
// about 35 us; waking a sleeping pool thread and waiting for it costs tens of
// microseconds, so splitting 3 items (2 + 1) gains next to nothing, while 4
// items on two threads measured about 120 us against 141 us inline.
inline constexpr std::size_t kParallelThreshold = 4;

// How many pool tasks a batch of n items is worth, with at most `threads`
// of them (0: one per available CPU). 0 means the batch is better run on
// the calling thread alone, without touching the runtime: it is below
// kParallelThreshold, or the cap leaves a single task.
std::size_t batch_tasks(std::size_t n, std::size_t threads = 0) noexcept;

// Which check decides: verify_signature, or verify_signature_strict.
enum class Strictness : std::uint8_t { protocol, strict };

// Writes 1 (verifies) or 0 (would fail) to verdicts[i] for items[i], on the
// calling thread; the two spans have the same size.
void verify_each(std::span<const VerifyItem> items, std::span<std::uint8_t> verdicts,
                 Strictness how = Strictness::protocol);

// The same spread over `tasks` of the runtime's pool threads (from
// batch_tasks); the calling thread waits. The caller drives the runtime.
// A call stopped by its interrupt fails, its verdicts part-written.
Result<void, BlockingError> verify_batch(Runtime& rt, std::span<const VerifyItem> items,
                                         std::span<std::uint8_t> verdicts, std::size_t tasks,
                                         Strictness how = Strictness::protocol);

}  // namespace ulo
