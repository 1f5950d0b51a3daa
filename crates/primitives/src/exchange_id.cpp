#include "exchange_id.hpp"

#include <sodium.h>

#include <array>
#include <atomic>
#include <chrono>

#include "ed25519.hpp"

namespace ulo {
namespace {

constexpr int kSequenceBits = 12;

// The last (milliseconds << 12 | counter) handed out. One word, changed by
// compare-and-swap: no lock that a fork could copy while held, and a child
// starts from its parent's last value, so it never goes below it. The
// random bits come from the kernel at each call (libsodium's system source,
// which keeps no buffer that a fork would copy into both processes).
std::atomic<std::uint64_t> g_last{0};

std::uint64_t now_ms() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

// Strictly above the last one: the clock's millisecond with counter 0, or,
// when the clock has not moved past it (or went back), the next counter;
// a full counter carries into the millisecond, running a little ahead.
std::uint64_t next_stamp() {
  const std::uint64_t now = now_ms() << kSequenceBits;
  std::uint64_t last = g_last.load(std::memory_order_relaxed);
  std::uint64_t next = 0;
  do {
    next = now > last ? now : last + 1;
  } while (!g_last.compare_exchange_weak(last, next, std::memory_order_relaxed));
  return next;
}

// The 16 bytes for time `unix_ms` and counter `sequence` (its low 12 bits)
// with random bits `random` (their low 62 bits).
std::array<std::uint8_t, 16> uuid7_bytes(std::uint64_t unix_ms, std::uint32_t sequence,
                                         std::uint64_t random) {
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 6; ++i) b[i] = static_cast<std::uint8_t>(unix_ms >> (40 - 8 * i));
  b[6] = static_cast<std::uint8_t>(0x70 | ((sequence >> 8) & 0x0f));
  b[7] = static_cast<std::uint8_t>(sequence);
  b[8] = static_cast<std::uint8_t>(0x80 | ((random >> 56) & 0x3f));
  for (int i = 9; i < 16; ++i) b[i] = static_cast<std::uint8_t>(random >> (8 * (15 - i)));
  return b;
}

}  // namespace

std::string new_exchange_id() {
  ed25519::ensure_sodium();
  std::uint64_t random = 0;
  randombytes_buf(&random, sizeof random);
  const std::uint64_t stamp = next_stamp();
  const auto b = uuid7_bytes(stamp >> kSequenceBits,
                             static_cast<std::uint32_t>(stamp & ((1U << kSequenceBits) - 1)),
                             random);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kDigits[b[i] >> 4];
    out += kDigits[b[i] & 15];
  }
  return out;
}

}  // namespace ulo
