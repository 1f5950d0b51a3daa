// Software identities, fingerprints, the strict key text and the order of the
// verification checks as seen through verify_signature.
#include "identity.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base64.hpp"
#include "crypto_test_support.hpp"

using ulo::test::ByteVec;
using ulo::test::from_hex;

namespace {

std::string outcome(const ulo::Result<void, ulo::VerifyError>& r) {
  return r ? "ok" : std::string(ulo::verify_error_name(r.error()));
}

TEST(SoftwareIdentityVectors, SeedsGiveKeyFingerprintAndSignature) {
  int n = 0;
  for (const auto& v : ulo::test::read_jsonl("seeds.jsonl")) {
    const auto id = ulo::SoftwareIdentity::from_seed(from_hex(v["seed_hex"]));
    ASSERT_TRUE(id);
    const ulo::PeerIdentityDescriptor d = id->descriptor();
    EXPECT_EQ(d.public_key_b64, v["public_key_b64"]);
    EXPECT_EQ(d.fingerprint, v["fingerprint"]);
    EXPECT_EQ(id->fingerprint(), v["fingerprint"]);
    const ByteVec payload = from_hex(v["payload_hex"]);
    const auto sig = id->sign(payload);
    EXPECT_EQ(ulo::test::to_hex(sig.data(), sig.size()), v["signature_hex"]);
    EXPECT_TRUE(ulo::verify_signature(d.public_key_b64, payload, sig));
    ++n;
  }
  EXPECT_EQ(n, 23);
}

TEST(IdentityFingerprintVectors, EveryLine) {
  int n = 0;
  for (const auto& v : ulo::test::read_jsonl("fingerprint.jsonl")) {
    const auto r = ulo::fingerprint_of(from_hex(v["pk_hex"]));
    std::string got;
    if (r) {
      got = *r;
    } else if (r.error() == ulo::FingerprintError::BadLength) {
      got = "public_key must be exactly 32 bytes";
    } else {
      got = "invalid Ed25519 public key bytes";
    }
    EXPECT_EQ(got, v["expected"]) << v["pk_hex"];
    ++n;
  }
  EXPECT_EQ(n, 62);
}

TEST(SoftwareIdentity, SeedLengthAndDescriptorFields) {
  EXPECT_FALSE(ulo::SoftwareIdentity::from_seed(ByteVec(31)));
  EXPECT_FALSE(ulo::SoftwareIdentity::from_seed(ByteVec(33)));
  const auto id = ulo::SoftwareIdentity::from_seed(ByteVec(32, 9));
  const ulo::PeerIdentityDescriptor d = id->descriptor();
  EXPECT_EQ(d.public_key_b64.size(), 43u);
  EXPECT_EQ(d.public_key_b64, ulo::base64::encode_unpadded(id->public_key()));
  EXPECT_EQ(d.surface, ulo::Surface::software);
  EXPECT_TRUE(d.attestation.is_empty());
  EXPECT_TRUE(d.attestation.vendor.empty());
  EXPECT_EQ(d.created_at, "2026-04-15T00:00:00Z");
  EXPECT_FALSE(d.superseded_by);
  EXPECT_EQ(ulo::fingerprint_of(id->public_key()).value(), d.fingerprint);
  EXPECT_EQ(d, ulo::SoftwareIdentity::from_seed(id->seed())->descriptor());
}

TEST(SoftwareIdentity, GeneratedKeysSignAndTamperingIsCaught) {
  auto a = ulo::SoftwareIdentity::generate();
  auto b = ulo::SoftwareIdentity::generate();
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_NE(a->fingerprint(), b->fingerprint());
  const std::string key = a->descriptor().public_key_b64;
  for (const ByteVec& payload : {ByteVec{}, ByteVec{0}, ByteVec(300, 0x5c)}) {
    auto sig = a->sign(payload);
    EXPECT_EQ(outcome(ulo::verify_signature(key, payload, sig)), "ok");
    EXPECT_EQ(outcome(ulo::verify_signature(b->descriptor().public_key_b64, payload, sig)),
              "BadSignature");
    ByteVec changed = payload;
    changed.push_back(1);
    EXPECT_EQ(outcome(ulo::verify_signature(key, changed, sig)), "BadSignature");
    sig[17] ^= 0x10;
    EXPECT_EQ(outcome(ulo::verify_signature(key, payload, sig)), "BadSignature");
  }
}

TEST(SoftwareIdentity, MovingWipesTheSource) {
  auto src = ulo::SoftwareIdentity::from_seed(ByteVec(32, 0xee));
  const ulo::SoftwareIdentity moved(std::move(*src));
  ulo::SoftwareIdentity::Seed expected;
  expected.fill(0xee);
  EXPECT_EQ(moved.seed(), expected);
  EXPECT_EQ(src->seed(), ulo::SoftwareIdentity::Seed{});
}

TEST(IdentityBase64, RoundTripAndStrictness) {
  for (std::size_t n = 0; n <= 34; ++n) {
    ByteVec bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(0xf7 * i + 3);
    const std::string text = ulo::base64::encode_unpadded(bytes);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(ulo::base64::decode_unpadded(text), bytes) << n;
  }
  const std::vector<std::string> refused = {
      "A", "AAAAA", "AB", "AAB", "AA==", "AA=A", "A-AA", "A_AA", "AA A", "AA\nA",
      "\xc3\xa9", "\x80\x80", std::string("AA\0A", 4)};
  for (const std::string& t : refused) EXPECT_FALSE(ulo::base64::decode_unpadded(t)) << t;
  EXPECT_EQ(ulo::base64::decode_unpadded("AQ"), ByteVec{1});
  EXPECT_EQ(ulo::base64::decode_unpadded("+/8"), (ByteVec{0xfb, 0xff}));
}

// Each rule of the key text and the signature on its own, over one valid
// signature, through the public entry point.
TEST(IdentityVerifySignature, EachRuleOnItsOwn) {
  const auto id = ulo::SoftwareIdentity::from_seed(ByteVec(32, 1));
  const ByteVec msg{'m', 's', 'g'};
  const auto s = id->sign(msg);
  const ByteVec sig(s.begin(), s.end());
  const std::string key = id->descriptor().public_key_b64;
  std::string trailing = key;
  trailing.back() = static_cast<char>(trailing.back() + 1);  // sets an unused low bit
  std::string slashes = "eAWDx78qFUoqo/eOah//CyymXoZWgygJGkGT0Kredig";
  std::string accented = slashes;
  accented.replace(accented.find("//"), 2, "\xc3\xa9");  // same byte length, not Base64
  ByteVec s_ge_l = sig;
  const ByteVec l = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  std::copy(l.begin(), l.end(), s_ge_l.begin() + 32);

  struct Case {
    const char* name;
    std::string key;
    ByteVec sig;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"valid", key, sig, "ok"},
      {"padded key text", key + "=", sig, "BadPublicKey"},
      {"unused bits set", trailing, sig, "BadPublicKey"},
      {"two-byte character for //", accented, sig, "BadPublicKey"},
      {"no point, bad length", "AgAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", ByteVec(65),
       "BadPublicKey"},
      {"65-byte signature", key, [&] { ByteVec v = sig; v.push_back(0); return v; }(),
       "BadSignature"},
      {"S = L", key, s_ge_l, "BadSignature"},
  };
  EXPECT_TRUE(ulo::base64::decode_unpadded(slashes));
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(ulo::verify_signature(c.key, msg, c.sig)), c.expected) << c.name;
  }
}

}  // namespace
