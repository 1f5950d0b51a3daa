#include "sha256.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace ulo {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

using Compress = void (*)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t n);

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress_portable(std::uint32_t* state, const std::uint8_t* blocks, std::size_t n) {
  for (; n > 0; --n, blocks += 64) {
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i) {
      const std::uint8_t* p = blocks + 4 * i;
      w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
             (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__x86_64__)
// The SHA extensions keep the state as ABEF and CDGH; each sha256rnds2 does
// two rounds, and msg1/msg2 extend the message schedule four words at a time.
// L independent messages run side by side: one message's rounds form a chain
// of dependent instructions, and a second chain fills the gaps in it.
template <std::size_t L>
__attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline void sha_ni_lanes(
    std::uint32_t* const (&state)[L], const std::uint8_t* const (&data)[L], std::size_t n) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i s0[L], s1[L];
  for (std::size_t l = 0; l < L; ++l) {
    const __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state[l])), 0xB1);
    s1[l] = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state[l] + 4)), 0x1B);
    s0[l] = _mm_alignr_epi8(tmp, s1[l], 8);
    s1[l] = _mm_blend_epi16(s1[l], tmp, 0xF0);
  }
  for (std::size_t b = 0; b < n; ++b) {
    __m128i abef[L], cdgh[L], m[L][4];
    for (std::size_t l = 0; l < L; ++l) {
      abef[l] = s0[l];
      cdgh[l] = s1[l];
      for (std::size_t i = 0; i < 4; ++i) {
        m[l][i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[l] + 64 * b + 16 * i)), byte_swap);
      }
    }
    for (std::size_t g = 0; g < 16; ++g) {
      const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g));
      for (std::size_t l = 0; l < L; ++l) {
        __m128i msg = _mm_add_epi32(m[l][g % 4], k);
        s1[l] = _mm_sha256rnds2_epu32(s1[l], s0[l], msg);
        msg = _mm_shuffle_epi32(msg, 0x0E);
        s0[l] = _mm_sha256rnds2_epu32(s0[l], s1[l], msg);
        if (g < 12) {
          // W[t..t+3] from W[t-16..t-1]: m[g%4] is the oldest four words.
          const __m128i w =
              _mm_add_epi32(_mm_sha256msg1_epu32(m[l][g % 4], m[l][(g + 1) % 4]),
                            _mm_alignr_epi8(m[l][(g + 3) % 4], m[l][(g + 2) % 4], 4));
          m[l][g % 4] = _mm_sha256msg2_epu32(w, m[l][(g + 3) % 4]);
        }
      }
    }
    for (std::size_t l = 0; l < L; ++l) {
      s0[l] = _mm_add_epi32(s0[l], abef[l]);
      s1[l] = _mm_add_epi32(s1[l], cdgh[l]);
    }
  }
  for (std::size_t l = 0; l < L; ++l) {
    const __m128i tmp = _mm_shuffle_epi32(s0[l], 0x1B);
    s1[l] = _mm_shuffle_epi32(s1[l], 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[l]), _mm_blend_epi16(tmp, s1[l], 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[l] + 4), _mm_alignr_epi8(s1[l], tmp, 8));
  }
}

// (Chosen in pick(); cppcheck misses a use behind the target attribute.)
// cppcheck-suppress unusedFunction
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(std::uint32_t* state,
                                                                  const std::uint8_t* blocks,
                                                                  std::size_t n) {
  std::uint32_t* const states[1] = {state};
  const std::uint8_t* const data[1] = {blocks};
  sha_ni_lanes<1>(states, data, n);
}

// cppcheck-suppress unusedFunction
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni_x2(
    std::uint32_t* a, std::uint32_t* b, const std::uint8_t* blocks_a, const std::uint8_t* blocks_b,
    std::size_t n) {
  std::uint32_t* const states[2] = {a, b};
  const std::uint8_t* const data[2] = {blocks_a, blocks_b};
  sha_ni_lanes<2>(states, data, n);
}

bool cpu_has_sha_ni() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool sse = (c & bit_SSSE3) != 0 && (c & bit_SSE4_1) != 0;
  if (!sse || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & bit_SHA) != 0;
}
#endif

Compress pick() {
#if defined(__x86_64__)
  if (cpu_has_sha_ni()) return compress_sha_ni;
#endif
  return compress_portable;
}

// Chosen once, at the first hash; the choice depends on the CPU alone.
Compress compress() {
  static const Compress chosen = pick();
  return chosen;
}

void digest_of(const std::uint32_t* state, Sha256Digest& out) {
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      out[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
    }
  }
}

// prefix || a || b padded into `buf` (128 bytes) when it fits in two blocks:
// the number of blocks, or 0 when it does not fit. Only the two-lane x86_64
// path pads ahead.
[[maybe_unused]] std::size_t pad_short(std::uint8_t* buf, std::uint8_t prefix, std::span<const std::uint8_t> a,
                      std::span<const std::uint8_t> b) {
  const std::size_t len = 1 + a.size() + b.size();
  if (len > 119) return 0;
  buf[0] = prefix;
  if (!a.empty()) std::memcpy(buf + 1, a.data(), a.size());
  if (!b.empty()) std::memcpy(buf + 1 + a.size(), b.data(), b.size());
  buf[len] = 0x80;
  const std::size_t padded = len < 56 ? 64 : 128;
  std::memset(buf + len + 1, 0, padded - len - 1);
  const std::uint64_t bits = std::uint64_t{len} * 8;
  for (std::size_t i = 0; i < 8; ++i) buf[padded - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return padded / 64;
}

Sha256Digest hash_with(Compress run, std::uint8_t prefix, std::span<const std::uint8_t> a,
                       std::span<const std::uint8_t> b) {
  std::uint32_t state[8];
  std::memcpy(state, kInitial, sizeof state);
  std::uint8_t buf[128];
  std::size_t fill = 0;
  buf[fill++] = prefix;
  const auto feed = [&](std::span<const std::uint8_t> s) {
    while (!s.empty()) {
      if (fill == 0 && s.size() >= 64) {
        const std::size_t whole = s.size() / 64;
        run(state, s.data(), whole);
        s = s.subspan(whole * 64);
        continue;
      }
      const std::size_t take = std::min(64 - fill, s.size());
      std::memcpy(buf + fill, s.data(), take);
      fill += take;
      s = s.subspan(take);
      if (fill == 64) {
        run(state, buf, 1);
        fill = 0;
      }
    }
  };
  feed(a);
  feed(b);
  const std::uint64_t bits = (1 + std::uint64_t{a.size()} + b.size()) * 8;
  buf[fill++] = 0x80;
  const std::size_t padded = fill <= 56 ? 64 : 128;
  std::memset(buf + fill, 0, padded - fill);
  for (int i = 0; i < 8; ++i) buf[padded - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  run(state, buf, padded / 64);
  Sha256Digest out;
  digest_of(state, out);
  return out;
}

}  // namespace

bool sha256_accelerated() { return compress() != compress_portable; }

Sha256Digest sha256_prefixed(std::uint8_t prefix, std::span<const std::uint8_t> a,
                             std::span<const std::uint8_t> b) {
  return hash_with(compress(), prefix, a, b);
}

void sha256_prefixed_x2(std::uint8_t prefix, std::span<const std::uint8_t> a0,
                        std::span<const std::uint8_t> b0, std::span<const std::uint8_t> a1,
                        std::span<const std::uint8_t> b1, Sha256Digest& out0, Sha256Digest& out1) {
#if defined(__x86_64__)
  if (compress() == compress_sha_ni) {
    std::uint8_t buf0[128], buf1[128];
    const std::size_t n = pad_short(buf0, prefix, a0, b0);
    if (n != 0 && n == pad_short(buf1, prefix, a1, b1)) {
      std::uint32_t s0[8], s1[8];
      std::memcpy(s0, kInitial, sizeof s0);
      std::memcpy(s1, kInitial, sizeof s1);
      compress_sha_ni_x2(s0, s1, buf0, buf1, n);
      digest_of(s0, out0);
      digest_of(s1, out1);
      return;
    }
  }
#endif
  out0 = sha256_prefixed(prefix, a0, b0);
  out1 = sha256_prefixed(prefix, a1, b1);
}

Sha256Digest sha256_prefixed_portable(std::uint8_t prefix, std::span<const std::uint8_t> a,
                                      std::span<const std::uint8_t> b) {
  return hash_with(compress_portable, prefix, a, b);
}

}  // namespace ulo
