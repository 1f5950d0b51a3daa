// The verification rule: what decodes as a key, which encodings libsodium
// refuses up front, S < L, and the one-signature verdict.
#include "ed25519.hpp"

#include <sodium.h>

#include <array>
#include <cstring>

#include "ed25519_curve.hpp"

namespace ulo::ed25519 {

using curve::base_minus_point;
using curve::below_order;
using curve::challenge;
using curve::decode;
using curve::encode;
using curve::P3;

void ensure_sodium() {
  // sodium_init() picks the fastest implementations for this CPU; it only
  // fails when the library cannot run at all.
  static const int ready = sodium_init();
  (void)ready;
}

namespace {

// Encodings with y in {0, 1, p-1, p, p+1} or one of the two order-8 y values,
// sign bit cleared: all small-order points plus the non-canonical aliases.
constexpr std::uint8_t kSmallOrder[7][32] = {
    {0},
    {1},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
};

bool y_canonical(Encoding e) {
  // y >= p only for 0x7fff...ffed and the 18 values above it.
  if ((e[31] & 0x7f) != 0x7f || e[0] < 0xed) return true;
  for (int i = 1; i < 31; ++i) {
    if (e[i] != 0xff) return true;
  }
  return false;
}

}  // namespace

bool is_point(Encoding encoding) {
  P3 a;
  return decode(a, encoding.data());
}

bool has_small_order(Encoding e) {
  for (const auto& bad : kSmallOrder) {
    if (std::memcmp(bad, e.data(), 31) == 0 && bad[31] == (e[31] & 0x7f)) return true;
  }
  return false;
}

bool is_ordinary(Encoding e) { return y_canonical(e) && !has_small_order(e); }

Verdict verify_own(Encoding key, Bytes payload, Bytes signature) {
  P3 a;
  if (!decode(a, key.data())) return Verdict::bad_key;
  if (signature.size() != 64) return Verdict::bad_signature;
  const std::uint8_t* r = signature.data();
  const std::uint8_t* s = signature.data() + 32;
  if (!below_order(s)) return Verdict::bad_signature;
  const std::array<std::uint8_t, 32> k = challenge(r, key, payload);
  const std::array<std::uint8_t, 32> check = encode(base_minus_point(s, k.data(), a));
  return std::memcmp(check.data(), r, 32) == 0 ? Verdict::ok : Verdict::bad_signature;
}

Outcome verify(Encoding key, Bytes payload, Bytes signature) {
  ensure_sodium();
  if (signature.size() != 64) {
    return {is_point(key) ? Verdict::bad_signature : Verdict::bad_key, Decider::checks};
  }
  // libsodium's check is cofactorless like ours and strictly narrower, so an
  // accept is final.
  if (crypto_sign_verify_detached(signature.data(), payload.data(), payload.size(),
                                  key.data()) == 0) {
    return {Verdict::ok, Decider::library};
  }
  if (!is_point(key)) return {Verdict::bad_key, Decider::checks};
  if (!below_order(signature.data() + 32)) return {Verdict::bad_signature, Decider::checks};
  // libsodium refuses non-canonical and small-order keys and small-order R
  // before computing anything; for all other inputs its refusal is final.
  const Encoding r{signature.data(), 32};
  if (is_ordinary(key) && is_ordinary(r)) return {Verdict::bad_signature, Decider::library};
  return {verify_own(key, payload, signature), Decider::own};
}

}  // namespace ulo::ed25519
