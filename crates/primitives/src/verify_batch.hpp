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

namespace ulo {

// One triple, as views: the caller keeps the storage alive for the call.
struct VerifyItem {
  std::string_view public_key_b64;
  Bytes payload;
  Bytes signature;
};

// Below this many items a batch runs on the calling thread. One item takes
// about 35 us; waking a sleeping pool thread and waiting for it costs tens of
// microseconds, so splitting 3 items (2 + 1) gains next to nothing, while 4
// items on two threads measured about 120 us against 141 us inline.
inline constexpr std::size_t kParallelThreshold = 4;

// CPUs in the calling process's affinity mask; at least 1.
std::size_t available_cpus() noexcept;

// Writes 1 (verifies) or 0 (would fail) to verdicts[i] for items[i]; the two
// spans have the same size. `threads` caps the parallelism (0: one per
// available CPU). Batches below kParallelThreshold, or with a cap of 1, run
// on the calling thread and never touch the runtime. The error is the
// runtime's fault text (it could not start, or a step failed).
Result<void, std::string> verify_batch(std::span<const VerifyItem> items,
                                       std::span<std::uint8_t> verdicts,
                                       std::size_t threads = 0);

}  // namespace ulo
