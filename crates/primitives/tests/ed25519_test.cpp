// Ed25519 verification below the Python surface: which side decides each
// vector, agreement of our own arithmetic with libsodium, the inputs only our
// arithmetic may decide, and point decoding.
#include "ed25519.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base64.hpp"
#include "identity.hpp"
#include "vector_files.hpp"

namespace ed = ulo::ed25519;

namespace {

using ulo_test::ByteVec;
using ulo_test::from_hex;
using ulo_test::read_jsonl;

using Enc = std::array<std::uint8_t, 32>;

ed::Encoding enc(const Enc& e) { return ed::Encoding{e.data(), 32}; }

Enc enc_from_hex(const std::string& hex) {
  const ByteVec b = from_hex(hex);
  Enc e{};
  std::memcpy(e.data(), b.data(), 32);
  return e;
}

// A signer built from libsodium's scalar and point operations, so crafted
// signatures do not depend on the code under test.
struct Signer {
  Enc pk{};
  Enc a{};  // secret scalar, reduced

  explicit Signer(std::uint8_t seed_byte) {
    ed::ensure_sodium();
    std::uint8_t seed[32];
    std::memset(seed, seed_byte, sizeof seed);
    std::uint8_t h[64];
    crypto_hash_sha512(h, seed, 32);
    h[0] &= 248;
    h[31] &= 127;
    h[31] |= 64;
    std::memset(h + 32, 0, 32);
    crypto_core_ed25519_scalar_reduce(a.data(), h);
    crypto_scalarmult_ed25519_base_noclamp(pk.data(), a.data());
  }
};

Enc challenge(const Enc& r, const Enc& key, const ByteVec& payload) {
  crypto_hash_sha512_state st;
  crypto_hash_sha512_init(&st);
  crypto_hash_sha512_update(&st, r.data(), 32);
  crypto_hash_sha512_update(&st, key.data(), 32);
  crypto_hash_sha512_update(&st, payload.data(), payload.size());
  std::uint8_t h[64];
  crypto_hash_sha512_final(&st, h);
  Enc k{};
  crypto_core_ed25519_scalar_reduce(k.data(), h);
  return k;
}

Enc scalar(std::uint8_t low) {
  Enc s{};
  s[0] = low;
  s[5] = 0x5a;  // keeps the point [s]B away from anything special
  return s;
}

Enc base_times(const Enc& s) {
  Enc p{};
  crypto_scalarmult_ed25519_base_noclamp(p.data(), s.data());
  return p;
}

ByteVec sig_of(const Enc& r, const Enc& s) {
  ByteVec sig(r.begin(), r.end());
  sig.insert(sig.end(), s.begin(), s.end());
  return sig;
}

ByteVec payload_of(int i) { return ByteVec{static_cast<std::uint8_t>(i), 0x42, 0x17}; }

bool libsodium_accepts(const Enc& key, const ByteVec& payload, const ByteVec& sig) {
  return crypto_sign_verify_detached(sig.data(), payload.data(), payload.size(), key.data()) == 0;
}

const char* verdict_name(ed::Verdict v) {
  switch (v) {
    case ed::Verdict::ok:
      return "ok";
    case ed::Verdict::bad_key:
      return "BadPublicKey";
    case ed::Verdict::bad_signature:
      return "BadSignature";
  }
  return "?";
}

// Order-8 point (one of the two y values of that order, x even).
const Enc kTorsion8 =
    enc_from_hex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a");
// y = p + 1, i.e. the neutral element written with a y that is not reduced.
const Enc kIdentityYpPlus1 =
    enc_from_hex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
// y = p, i.e. y = 0: a point of order 4 written non-canonically.
const Enc kOrder4Yp =
    enc_from_hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
const Enc kIdentity = enc_from_hex("0100000000000000000000000000000000000000000000000000000000000000");
const Enc kIdentitySignBit =
    enc_from_hex("0100000000000000000000000000000000000000000000000000000000000080");

TEST(Ed25519Vectors, OwnArithmeticGivesEveryVerdictAndDecidesOnlyWhereNeeded) {
  std::vector<std::string> slow;
  int checked = 0;
  for (const auto& v : read_jsonl("ed25519.jsonl")) {
    const std::string name = v["name"];
    const ByteVec payload = from_hex(v["payload_hex"]);
    const ByteVec sig = from_hex(v["signature_hex"]);
    const std::string expected = v["expected"];
    const std::string key_text = v["public_key_b64"];

    ++checked;

    const auto key = ulo::base64::decode_unpadded(key_text);
    if (!key || key->size() != 32) {
      EXPECT_TRUE(v["libsodium_accepts"].is_null()) << name;
      continue;
    }
    Enc k{};
    std::memcpy(k.data(), key->data(), 32);
    const ed::Outcome outcome = ed::verify(enc(k), payload, sig);
    EXPECT_STREQ(verdict_name(ed::verify_own(enc(k), payload, sig)), expected.c_str()) << name;

    if (sig.size() == 64) {
      // Confirms the library behaves as the fast path assumes.
      EXPECT_EQ(libsodium_accepts(k, payload, sig), v["libsodium_accepts"].get<bool>()) << name;
    }
    if (expected == "ok" && !v["libsodium_accepts"].get<bool>()) {
      EXPECT_EQ(outcome.decider, ed::Decider::own) << name;
    }
    if (outcome.decider == ed::Decider::own) slow.push_back(name);
  }
  EXPECT_EQ(checked, 161);
  std::printf("[ vectors  ] %zu of %d decided by our own arithmetic:\n", slow.size(), checked);
  for (const auto& n : slow) std::printf("    %s\n", n.c_str());
}

TEST(Ed25519Agreement, OwnArithmeticMatchesLibsodiumOnOrdinaryKeys) {
  std::mt19937 rng(7);
  for (int i = 0; i < 150; ++i) {
    ByteVec seed(32), payload(static_cast<std::size_t>(rng() % 80));
    for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
    for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
    const auto id = ulo::SoftwareIdentity::from_seed(seed);
    ASSERT_TRUE(id);
    const auto s = id->sign(payload);
    ByteVec sig(s.begin(), s.end());
    const Enc& pk = id->public_key();
    EXPECT_EQ(ed::verify_own(enc(pk), payload, sig), ed::Verdict::ok);
    EXPECT_EQ(ed::verify(enc(pk), payload, sig).decider, ed::Decider::library);

    // One flipped bit anywhere in the signature; libsodium's verdict is the
    // reference for ordinary keys.
    sig[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    const bool lib = libsodium_accepts(pk, payload, sig);
    EXPECT_EQ(ed::verify_own(enc(pk), payload, sig) == ed::Verdict::ok, lib) << i;
    EXPECT_EQ(ed::verify(enc(pk), payload, sig).verdict == ed::Verdict::ok, lib) << i;
  }
}

// A key or R with a torsion component is not refused by libsodium up front;
// its cofactorless verdict must equal ours for the fast path to be final.
TEST(Ed25519Agreement, MixedOrderKeysAndRAreLeftToLibsodiumAndItAgrees) {
  const Signer signer(0x33);
  Enc key{};
  ASSERT_EQ(crypto_core_ed25519_add(key.data(), signer.pk.data(), kTorsion8.data()), 0);
  ASSERT_TRUE(ed::is_ordinary(enc(key)));
  const Enc r = scalar(9);
  const Enc big_r = base_times(r);
  Enc mixed_r{};
  ASSERT_EQ(crypto_core_ed25519_add(mixed_r.data(), big_r.data(), kTorsion8.data()), 0);

  std::map<std::string, int> accepted;
  for (int i = 0; i < 64; ++i) {
    const ByteVec payload = payload_of(i);
    for (const auto& [label, rr] : {std::pair{"prime-order R", big_r}, std::pair{"mixed R", mixed_r}}) {
      Enc s{}, ka{};
      crypto_core_ed25519_scalar_mul(ka.data(), challenge(rr, key, payload).data(), signer.a.data());
      crypto_core_ed25519_scalar_add(s.data(), r.data(), ka.data());
      const ByteVec sig = sig_of(rr, s);
      const bool lib = libsodium_accepts(key, payload, sig);
      const ed::Verdict own = ed::verify_own(enc(key), payload, sig);
      EXPECT_EQ(own == ed::Verdict::ok, lib) << label << " payload " << i;
      const ed::Outcome o = ed::verify(enc(key), payload, sig);
      EXPECT_EQ(o.decider, ed::Decider::library);
      accepted[label] += lib ? 1 : 0;
    }
  }
  // k = 0 mod 8 (resp. 7 mod 8) happens for about one payload in eight.
  EXPECT_GT(accepted["prime-order R"], 0);
  EXPECT_GT(accepted["mixed R"], 0);
}

struct Crafted {
  const char* name;
  Enc key;
  Enc r;
  Enc s;
  ByteVec payload;
  ed::Verdict verdict;
};

// Finds a payload for which [k]A of the small-order key vanishes (or not),
// so that R = [s]B verifies (or not).
ByteVec payload_where(const Enc& key, const Enc& r, unsigned order, bool vanishes) {
  for (int i = 0;; ++i) {
    ByteVec p = payload_of(i);
    if (((challenge(r, key, p)[0] % order) == 0) == vanishes) return p;
  }
}

TEST(Ed25519OwnPath, InputsLibsodiumRefusesUpFrontAreDecidedByTheEquation) {
  const Signer signer(0x21);
  const ByteVec msg{'h', 'i'};
  const Enc r = scalar(3);
  const Enc big_r = base_times(r);

  // R = identity: [S]B - [k]A = 0 when S = k·a.
  Enc s_id{};
  crypto_core_ed25519_scalar_mul(s_id.data(), challenge(kIdentity, signer.pk, msg).data(),
                                 signer.a.data());
  // The same point as R with the sign bit set is not its canonical encoding.
  Enc s_id_sign{};
  crypto_core_ed25519_scalar_mul(s_id_sign.data(),
                                 challenge(kIdentitySignBit, signer.pk, msg).data(),
                                 signer.a.data());

  const std::vector<Crafted> cases = {
      {"identity R, ordinary key", signer.pk, kIdentity, s_id, msg, ed::Verdict::ok},
      {"identity R with sign bit never verifies", signer.pk, kIdentitySignBit, s_id_sign, msg,
       ed::Verdict::bad_signature},
      {"key y = p + 1 (identity)", kIdentityYpPlus1, big_r, r, msg, ed::Verdict::ok},
      {"key y = p + 1, wrong S", kIdentityYpPlus1, big_r, scalar(4), msg,
       ed::Verdict::bad_signature},
      {"key x = 0 with sign bit", kIdentitySignBit, big_r, r, msg, ed::Verdict::ok},
      {"key y = p (order 4), [k]A = 0", kOrder4Yp, big_r, r,
       payload_where(kOrder4Yp, big_r, 4, true), ed::Verdict::ok},
      {"key y = p (order 4), [k]A != 0", kOrder4Yp, big_r, r,
       payload_where(kOrder4Yp, big_r, 4, false), ed::Verdict::bad_signature},
  };
  for (const Crafted& c : cases) {
    const ByteVec sig = sig_of(c.r, c.s);
    EXPECT_FALSE(libsodium_accepts(c.key, c.payload, sig)) << c.name;
    const ed::Outcome o = ed::verify(enc(c.key), c.payload, sig);
    EXPECT_EQ(o.verdict, c.verdict) << c.name;
    EXPECT_EQ(o.decider, ed::Decider::own) << c.name;
  }
}

TEST(Ed25519Encoding, PointAndOrdinaryClassification) {
  struct Case {
    const char* hex;
    bool point;
    bool ordinary;
  };
  const Case cases[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", true, false},
      {"0000000000000000000000000000000000000000000000000000000000000080", true, false},
      {"0100000000000000000000000000000000000000000000000000000000000080", true, false},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", true, false},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", true, false},
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true, false},
      {"f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true, false},
      {"efffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false, false},
      {"0200000000000000000000000000000000000000000000000000000000000000", false, true},
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", true, true},
      {"5866666666666666666666666666666666666666666666666666666666666666", true, true},
  };
  for (const Case& c : cases) {
    const Enc e = enc_from_hex(c.hex);
    EXPECT_EQ(ed::is_point(enc(e)), c.point) << c.hex;
    EXPECT_EQ(ed::is_ordinary(enc(e)), c.ordinary) << c.hex;
  }
}

}  // namespace
