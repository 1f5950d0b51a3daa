// The two faster paths against the one-signature path: the eight-lane one
// (every vector in every lane position among valid signatures, mutated
// inputs of every kind sharing vectors; skipped without AVX-512 IFMA) and
// verification with a key's table of multiples, which descriptors keep.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base64.hpp"
#include "ed25519.hpp"
#include "ed25519_ifma.hpp"
#include "identity.hpp"
#include "vector_files.hpp"

namespace ed = ulo::ed25519;

namespace {

using ulo_test::ByteVec;
using ulo_test::from_hex;

struct Case {
  std::string name;
  std::array<std::uint8_t, 32> key;
  ByteVec payload;
  ByteVec sig;
};

Case signed_case(std::uint32_t seed_word, std::size_t payload_len) {
  std::mt19937 rng(seed_word);
  ByteVec seed(32), payload(payload_len);
  for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
  for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
  const auto id = ulo::SoftwareIdentity::from_seed(seed);
  const auto s = id->sign(payload);
  return {"valid " + std::to_string(seed_word), id->public_key(), payload, ByteVec(s.begin(), s.end())};
}

// The vectors whose key decodes to 32 bytes; the others are refused before
// any curve work.
std::vector<Case> vector_cases() {
  std::vector<Case> out;
  for (const auto& v : ulo_test::read_jsonl("ed25519.jsonl")) {
    const auto key = ulo::base64::decode_unpadded(v["public_key_b64"].get<std::string>());
    if (!key || key->size() != 32) continue;
    Case c{v["name"], {}, from_hex(v["payload_hex"]), from_hex(v["signature_hex"])};
    std::memcpy(c.key.data(), key->data(), 32);
    out.push_back(std::move(c));
  }
  return out;
}

// Verdicts of both paths for a group; the scalar one is the reference.
void expect_same(const std::vector<const Case*>& group, const std::string& where) {
  std::vector<ed::Triple> triples;
  for (const Case* c : group) triples.push_back({c->key.data(), c->payload, c->sig});
  std::vector<ed::Verdict> wide(group.size());
  ed::verify_wide(triples, wide);
  for (std::size_t i = 0; i < group.size(); ++i) {
    const Case& c = *group[i];
    const ed::Verdict ref = ed::verify(ed::Encoding{c.key.data(), 32}, c.payload, c.sig).verdict;
    EXPECT_EQ(static_cast<int>(wide[i]), static_cast<int>(ref)) << c.name << " lane " << i << " " << where;
  }
}

class WidePath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ed::ifma::supported()) GTEST_SKIP() << "no AVX-512 IFMA here";
    ed::ensure_sodium();
  }
};

TEST_F(WidePath, EveryVectorInEveryLaneAmongValidSignatures) {
  const std::vector<Case> vectors = vector_cases();
  ASSERT_GT(vectors.size(), 100u);
  std::vector<Case> fillers;
  for (std::uint32_t i = 0; i < ed::kWideLanes; ++i) fillers.push_back(signed_case(i, i * 7));
  for (const Case& v : vectors) {
    for (std::size_t pos = 0; pos < ed::kWideLanes; ++pos) {
      std::vector<const Case*> group;
      for (std::size_t i = 0; i < ed::kWideLanes; ++i) group.push_back(i == pos ? &v : &fillers[i]);
      expect_same(group, "position " + std::to_string(pos));
    }
  }
  // All vectors back to back: every lane holds an edge case, and the tail
  // group is part-filled.
  std::vector<const Case*> all;
  for (const Case& v : vectors) all.push_back(&v);
  expect_same(all, "all together");
}

// Small-order encodings (with and without sign bit, y >= p aliases), points
// off the curve, torsion added to a real key or R, S >= L, wrong lengths.
TEST_F(WidePath, MutatedInputsMixedInOneVectorAgree) {
  static const char* const kSpecial[] = {
      "0100000000000000000000000000000000000000000000000000000000000000",
      "0100000000000000000000000000000000000000000000000000000000000080",
      "0000000000000000000000000000000000000000000000000000000000000080",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
      "0200000000000000000000000000000000000000000000000000000000000000",
  };
  const ByteVec torsion = from_hex(kSpecial[6]);
  std::mt19937 rng(2024);
  std::vector<Case> cases;
  for (std::uint32_t i = 0; i < 1200; ++i) {
    Case c = signed_case(1000 + i, rng() % 40);
    switch (rng() % 8) {
      case 0:
        break;
      case 1:
        c.sig[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 2:
        c.key[rng() % 32] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 3: {
        const ByteVec e = from_hex(kSpecial[rng() % std::size(kSpecial)]);
        std::memcpy((rng() % 2) != 0 ? c.key.data() : c.sig.data(), e.data(), 32);
        break;
      }
      case 4: {
        std::uint8_t* p = (rng() % 2) != 0 ? c.key.data() : c.sig.data();
        if (crypto_core_ed25519_add(p, p, torsion.data()) != 0) std::memset(p, 0, 32);
        break;
      }
      case 5:  // S + L, or S with top bits set
        if ((rng() % 2) != 0) {
          crypto_core_ed25519_scalar_add(c.sig.data() + 32, c.sig.data() + 32, c.sig.data() + 32);
          c.sig[63] |= 0x10;
        } else {
          c.sig[63] |= static_cast<std::uint8_t>(0x20 << (rng() % 3));
        }
        break;
      case 6:
        c.sig.resize((rng() % 2) != 0 ? 63 : 65, 0);
        break;
      default:  // y >= p for the key: reduced, or no point at all
        std::memset(c.key.data(), 0xff, 31);
        c.key[0] = static_cast<std::uint8_t>(0xed + rng() % 19);
        c.key[31] = static_cast<std::uint8_t>(0x7f | ((rng() % 2) << 7));
        break;
    }
    c.name = "mutated " + std::to_string(i);
    cases.push_back(std::move(c));
  }
  std::vector<const Case*> all;
  for (const Case& c : cases) all.push_back(&c);
  expect_same(all, "mixed");
}

TEST(Ed25519KeyTable, SameVerdictsAsTheKeyItself) {
  std::vector<Case> cases = vector_cases();
  // One key, many signatures: valid, tampered, S + L, cut short.
  const auto id = ulo::SoftwareIdentity::from_seed(ByteVec(32, 0));
  for (std::uint8_t i = 0; i < 24; ++i) {
    Case c{"one key " + std::to_string(i), id->public_key(), ByteVec(i, i), {}};
    const auto sig = id->sign(c.payload);
    c.sig.assign(sig.begin(), sig.end());
    if (i % 4 == 1) c.sig[i] ^= 0x10;
    if (i % 4 == 2) crypto_core_ed25519_scalar_add(c.sig.data() + 32, c.sig.data() + 32, c.sig.data() + 32);
    if (i % 4 == 3) c.sig.pop_back();
    cases.push_back(std::move(c));
  }
  for (const Case& c : cases) {
    const ed::Encoding key{c.key.data(), 32};
    const ed::Verdict ref = ed::verify(key, c.payload, c.sig).verdict;
    const ed::KeyTablePtr table = ed::make_key_table(key);
    if (!table) {
      EXPECT_EQ(ref, ed::Verdict::bad_key) << c.name;
      continue;
    }
    EXPECT_TRUE(ed::table_matches(*table, key));
    EXPECT_EQ(static_cast<int>(ed::verify_with(*table, c.payload, c.sig)), static_cast<int>(ref)) << c.name;
  }
}

// The cache hands out a table only past the threshold, for its own key,
// and never carries one over to a copy or an assigned value.
TEST(Ed25519KeyTable, CacheTurnsHotOnceAndIsNotPartOfTheValue) {
  if (ed::portable_only()) GTEST_SKIP() << "key tables are off on the portable path";
  const auto id = ulo::SoftwareIdentity::from_seed(ByteVec(32, 3));
  const auto other = ulo::SoftwareIdentity::from_seed(ByteVec(32, 4));
  const ed::Encoding key{id->public_key().data(), 32};
  const ed::Encoding other_key{other->public_key().data(), 32};
  ulo::PeerIdentityDescriptor d = id->descriptor();
  for (std::uint32_t i = 0; i < ulo::KeyCache::kHotAfter; ++i) EXPECT_EQ(d.key_cache.table_for(key), nullptr);
  const ed::KeyTable* table = d.key_cache.table_for(key);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(d.key_cache.table_for(key), table);
  EXPECT_EQ(d.key_cache.table_for(other_key), nullptr);

  const ulo::PeerIdentityDescriptor copy = d;
  EXPECT_EQ(copy, id->descriptor());
  EXPECT_EQ(copy.key_cache.table_for(key), nullptr);
  d = other->descriptor();
  EXPECT_EQ(d.key_cache.table_for(key), nullptr);
}

}  // namespace
