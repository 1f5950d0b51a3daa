// Fuzzes the faster verification paths against the one-signature path, their
// reference: every lane's verdict from the eight-lane path must be the one
// verify() gives, whatever its neighbours hold (not checked on a CPU without
// AVX-512 IFMA), and so must every verdict with a key table.
// Input: lanes, one after another, until the data or 16 lanes run out:
//   kind even: key (32 bytes), signature length byte (mod 72), signature,
//              payload length byte, payload: arbitrary inputs;
//   kind odd:  identity byte (one of 8), payload length byte, payload,
//              mutation byte, two parameter bytes: a real signature turned
//              into an edge case (flipped bit, small-order or non-canonical
//              key or R, torsion added to key or R, S + L, wrong length).
#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "ed25519.hpp"
#include "ed25519_ifma.hpp"
#include "identity.hpp"

namespace {

namespace ed = ulo::ed25519;
using Bytes32 = std::array<std::uint8_t, 32>;

// Small-order encodings, y >= p aliases, an x = 0 sign-bit key, a point
// that is off the curve, and the order-8 point used as torsion.
constexpr std::uint8_t kSpecial[][32] = {
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
constexpr std::size_t kSpecialCount = sizeof kSpecial / sizeof kSpecial[0];
const std::uint8_t* const kTorsion = kSpecial[kSpecialCount - 1];

// L, for S + L.
constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                     0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

const std::vector<ulo::SoftwareIdentity>& identities() {
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
const std::vector<ed::KeyTablePtr>& tables() {
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

struct Reader {
  const std::uint8_t* p;
  std::size_t left;
  std::optional<std::uint8_t> byte() {
    if (left == 0) return std::nullopt;
    --left;
    return *p++;
  }
  bool take(std::vector<std::uint8_t>& out, std::size_t n) {
    if (n > left) return false;
    out.assign(p, p + n);
    p += n;
    left -= n;
    return true;
  }
};

void add_le(std::uint8_t* s, const std::uint8_t* t) {
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    carry += static_cast<unsigned>(s[i]) + t[i];
    s[i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
}

void mutate(Lane& lane, std::uint8_t how, std::uint8_t a, std::uint8_t b) {
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
      std::uint8_t t[32];
      std::memcpy(t, kTorsion, 32);
      for (unsigned i = 0; i < a % 8u; ++i) crypto_core_ed25519_add(t, t, kTorsion);
      std::uint8_t* p = (b & 1) != 0 ? lane.key.data() : r;
      if (crypto_core_ed25519_add(p, p, t) != 0) p[0] ^= 1;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ed::ensure_sodium();
  Reader in{data, size};
  std::vector<Lane> lanes;
  while (lanes.size() < 16) {
    const auto kind = in.byte();
    if (!kind) break;
    Lane lane;
    if ((*kind & 1) == 0) {
      std::vector<std::uint8_t> key;
      if (!in.take(key, 32)) break;
      std::memcpy(lane.key.data(), key.data(), 32);
      const auto sig_len = in.byte();
      if (!sig_len || !in.take(lane.sig, *sig_len % 72)) break;
      const auto payload_len = in.byte();
      if (!payload_len || !in.take(lane.payload, *payload_len)) break;
    } else {
      const auto who = in.byte(), payload_len = in.byte();
      if (!who || !payload_len || !in.take(lane.payload, *payload_len)) break;
      const ulo::SoftwareIdentity& id = identities()[*who % 8];
      lane.key = id.public_key();
      const auto sig = id.sign(lane.payload);
      lane.sig.assign(sig.begin(), sig.end());
      const auto how = in.byte(), a = in.byte(), b = in.byte();
      if (!how || !a || !b) break;
      mutate(lane, *how, *a, *b);
      if (lane.key == id.public_key()) lane.table = tables()[*who % 8].get();
    }
    lanes.push_back(std::move(lane));
  }
  const bool wide_here = ed::ifma::supported();
  std::vector<ed::Triple> triples;
  for (const Lane& l : lanes) triples.push_back({l.key.data(), l.payload, l.sig});
  std::vector<ed::Verdict> wide(lanes.size());
  if (wide_here) ed::verify_wide(triples, wide);
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    const Lane& l = lanes[i];
    const ed::Verdict ref = ed::verify(ed::Encoding{l.key.data(), 32}, l.payload, l.sig).verdict;
    if (wide_here && wide[i] != ref) std::abort();
    if (l.table != nullptr && ed::verify_with(*l.table, l.payload, l.sig) != ref) std::abort();
  }
  return 0;
}
