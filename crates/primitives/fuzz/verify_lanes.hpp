// Lanes for checking the faster verification paths against the
// one-signature path, their reference; shared by the fuzz target and the
// long differential run. Every lane's verdict from the eight-lane path must
// be the one verify() gives, whatever its neighbours hold (not checked on a
// CPU without AVX-512 IFMA), and so must every verdict with a key table.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ed25519.hpp"
#include "ed25519_ifma.hpp"
#include "identity.hpp"

namespace ulo::verify_lanes {

namespace ed = ulo::ed25519;
using Bytes32 = std::array<std::uint8_t, 32>;

// Small-order encodings, y >= p aliases, an x = 0 sign-bit key, a point
// that is off the curve, and the order-8 point used as torsion.
inline constexpr std::uint8_t kSpecial[][32] = {
    {1},
    {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80},
    {0},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
    {2},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
};
inline constexpr std::size_t kSpecialCount = sizeof kSpecial / sizeof kSpecial[0];
inline const std::uint8_t* const kTorsion = kSpecial[kSpecialCount - 1];

// L, for S + L.
inline constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                     0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// T, 2T, ... 8T for the order-8 point T, made once: point additions from
// encodings cost more than the checks they feed.
inline const std::array<Bytes32, 8>& torsion_multiples() {
  static const std::array<Bytes32, 8> all = [] {
    std::array<Bytes32, 8> out{};
    std::memcpy(out[0].data(), kTorsion, 32);
    for (std::size_t i = 1; i < out.size(); ++i) {
      crypto_core_ed25519_add(out[i].data(), out[i - 1].data(), kTorsion);
    }
    return out;
  }();
  return all;
}

inline const std::vector<ulo::SoftwareIdentity>& identities() {
  static const std::vector<ulo::SoftwareIdentity> ids = [] {
    std::vector<ulo::SoftwareIdentity> out;
    for (std::uint8_t i = 0; i < 8; ++i) {
      std::uint8_t seed[32];
      std::memset(seed, i * 37 + 1, sizeof seed);
      out.push_back(*ulo::SoftwareIdentity::from_seed({seed, 32}));
    }
    return out;
  }();
  return ids;
}

// Tables of the identities' keys, made once: making one per input would
// leave little time for anything else.
inline const std::vector<ed::KeyTablePtr>& tables() {
  static const std::vector<ed::KeyTablePtr> all = [] {
    std::vector<ed::KeyTablePtr> out;
    for (const auto& id : identities()) out.push_back(ed::make_key_table(ed::Encoding{id.public_key()}));
    return out;
  }();
  return all;
}

struct Lane {
  Bytes32 key{};
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> sig;
  const ed::KeyTable* table = nullptr;  // where the key is an identity's
};

inline void add_le(std::uint8_t* s, const std::uint8_t* t) {
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    carry += static_cast<unsigned>(s[i]) + t[i];
    s[i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
}

inline void mutate(Lane& lane, std::uint8_t how, std::uint8_t a, std::uint8_t b) {
  std::uint8_t* r = lane.sig.data();
  switch (how % 7) {
    case 0:
      break;
    case 1:
      lane.sig[a % 64] ^= static_cast<std::uint8_t>(1u << (b % 8));
      break;
    case 2:
      std::memcpy(lane.key.data(), kSpecial[a % kSpecialCount], 32);
      lane.key[31] ^= static_cast<std::uint8_t>(b & 0x80);
      break;
    case 3:
      std::memcpy(r, kSpecial[a % kSpecialCount], 32);
      r[31] ^= static_cast<std::uint8_t>(b & 0x80);
      break;
    case 4: {  // mixed order: a torsion multiple added to the key or R
      std::uint8_t* p = (b & 1) != 0 ? lane.key.data() : r;
      if (crypto_core_ed25519_add(p, p, torsion_multiples()[a % 8].data()) != 0) p[0] ^= 1;
      break;
    }
    case 5:
      add_le(r + 32, kOrder);
      break;
    default:
      lane.sig.resize(a % 72);
      break;
  }
}


// Lanes compared on each path.
struct Checked {
  std::size_t wide = 0;
  std::size_t table = 0;
};

// Aborts on the first lane whose verdicts differ.
inline Checked check(const std::vector<Lane>& lanes) {
  const bool wide_here = ed::ifma::supported();
  std::vector<ed::Triple> triples;
  triples.reserve(lanes.size());
  for (const Lane& l : lanes) triples.push_back({l.key.data(), l.payload, l.sig});
  std::vector<ed::Verdict> wide(lanes.size());
  if (wide_here) ed::verify_wide(triples, wide);
  Checked done;
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    const Lane& l = lanes[i];
    const ed::Verdict ref = ed::verify(ed::Encoding{l.key.data(), 32}, l.payload, l.sig).verdict;
    if (wide_here) {
      if (wide[i] != ref) std::abort();
      ++done.wide;
    }
    if (l.table != nullptr) {
      if (ed::verify_with(*l.table, l.payload, l.sig) != ref) std::abort();
      ++done.table;
    }
  }
  return done;
}

}  // namespace ulo::verify_lanes
