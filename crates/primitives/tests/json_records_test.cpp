// JSON forms of descriptors and anchor records.
#include <gtest/gtest.h>

#include <string>

#include "anchor.hpp"
#include "identity.hpp"
#include "json.hpp"

namespace {

const std::string kFp = "0123456789abcdef0123456789abcdef";
const std::string kKey = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo";

ulo::PeerIdentityDescriptor software() {
  ulo::PeerIdentityDescriptor d;
  d.fingerprint = kFp;
  d.public_key_b64 = kKey;
  d.created_at = "2026-04-15T00:00:00Z";
  return d;
}

TEST(DescriptorJson, WritesOnlyPresentParts) {
  ulo::PeerIdentityDescriptor d = software();
  const std::string plain = R"({"fingerprint":")" + kFp + R"(","public_key_b64":")" + kKey +
                            R"(","surface":"software","created_at":"2026-04-15T00:00:00Z"})";
  EXPECT_EQ(ulo::descriptor_to_json(d), plain);
  // A vendor without certificates is dropped, so it does not come back.
  d.attestation.vendor = "acme";
  EXPECT_EQ(ulo::descriptor_to_json(d), plain);
  EXPECT_NE(*ulo::descriptor_from_json(plain), d);

  d.surface = ulo::Surface::threshold;
  d.attestation.certs_b64 = {"Y2VydA", "\"q\""};
  d.superseded_by = ulo::ProtocolAddress{ulo::AddressClass::body, "peer", "next"};
  const std::string text = ulo::descriptor_to_json(d);
  EXPECT_EQ(text, R"({"fingerprint":")" + kFp + R"(","public_key_b64":")" + kKey +
                      R"(","surface":"threshold","attestation":{"certs_b64":["Y2VydA","\"q\""],)"
                      R"("vendor":"acme"},"created_at":"2026-04-15T00:00:00Z",)"
                      R"("superseded_by":{"class":"body","type":"peer","ref":"next"}})");
  auto back = ulo::descriptor_from_json(text);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, d);
}

TEST(DescriptorJson, ReadingRules) {
  const std::string head = R"({"fingerprint":"f","public_key_b64":"k",)";
  struct Case {
    std::string text;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {head + R"("surface":{"os_keychain":null},"created_at":"c","tier":4,"hardware_attested":true})", ""},
      {head + R"("surface":"software","created_at":"c","superseded_by":null})", ""},
      {head + R"("surface":"software","created_at":"c","attestation":null})",
       "invalid type: null, expected struct AttestationChain at line 1 column 96"},
      {head + R"("surface":"software","created_at":"c","attestation":{"certs_b64":[]}})",
       "missing field `vendor` at line 1 column 108"},
      {head + R"("surface":"software","created_at":"c","attestation":{"certs_b64":"x","vendor":""}})",
       "invalid type: string \"x\", expected a sequence at line 1 column 108"},
      {head + R"("surface":"software","created_at":"c","attestation":[["a",1],""]})",
       "invalid type: integer `1`, expected a string at line 1 column 99"},
      {head + R"("surface":"Software","created_at":"c"})",
       "unknown variant `Software`, expected one of `software`, `os_keychain`, `secure_element`, "
       "`external_hardware`, `threshold` at line 1 column 60"},
      {head + R"("surface":"software","surface":"software"})", "duplicate field `surface` at line 1 column 70"},
      {R"({"fingerprint":"f","surface":"software"})", "missing field `public_key_b64` at line 1 column 40"},
      {head + R"("surface":"software","created_at":"c"} x)", "trailing characters at line 1 column 80"},
  };
  for (const Case& c : cases) {
    auto r = ulo::descriptor_from_json(c.text);
    if (c.error.empty()) {
      EXPECT_TRUE(r) << c.text << ": " << r.error().message;
    } else {
      ASSERT_FALSE(r) << c.text;
      EXPECT_EQ(r.error().message, c.error) << c.text;
    }
  }
  auto d = ulo::descriptor_from_json(cases[0].text);
  EXPECT_EQ(d->surface, ulo::Surface::os_keychain);
  EXPECT_TRUE(d->attestation.is_empty());
}

// The positional form needs all six elements; the attestation may run off
// the end, so three elements report the created_at position, 4.
TEST(DescriptorJson, PositionalForm) {
  const char* elements[] = {R"("f")", R"("k")", R"("software")", R"([["c"],"v"])", R"("t")",
                            "null", R"("extra")"};
  const int reported[] = {0, 1, 2, 4, 4, 5};
  for (int n = 0; n <= 7; ++n) {
    std::string text = "[";
    for (int k = 0; k < n; ++k) {
      if (k) text += ',';
      text += elements[k];
    }
    text += "]";
    auto r = ulo::descriptor_from_json(text);
    if (n == 6) {
      ASSERT_TRUE(r) << r.error().message;
      EXPECT_EQ(r->attestation.certs_b64, std::vector<std::string>{"c"});
      EXPECT_FALSE(r->superseded_by);
    } else if (n == 7) {
      ASSERT_FALSE(r);
      EXPECT_TRUE(r.error().message.starts_with("trailing characters")) << r.error().message;
    } else {
      ASSERT_FALSE(r);
      EXPECT_TRUE(r.error().message.starts_with(
          "invalid length " + std::to_string(reported[n]) +
          ", expected struct PeerIdentityDescriptor with 6 elements"))
          << text << ": " << r.error().message;
    }
  }
}

TEST(AnchorJson, ReceiptAndProof) {
  const ulo::AnchorReceipt r{"m1", ulo::AnchorKind::nist_tsa, "AB", "ref", "s", "f", ""};
  const std::string text = ulo::receipt_to_json(r);
  EXPECT_EQ(text, R"({"anchor_id":"m1","anchor_kind":"nist_tsa","merkle_root_hex":"AB",)"
                  R"("submission_ref":"ref","submitted_at":"s","expected_finality_at":"f","proof_b64":""})");
  EXPECT_EQ(*ulo::receipt_from_json(text), r);

  const ulo::AnchorProof p{"m1", ulo::AnchorKind::local, "ab", true, "t", "d\n"};
  const std::string ptext = ulo::proof_to_json(p);
  EXPECT_EQ(ptext, R"({"anchor_id":"m1","anchor_kind":"local","merkle_root_hex":"ab",)"
                   R"("confirmed":true,"authoritative_time":"t","detail":"d\n"})");
  EXPECT_EQ(*ulo::proof_from_json(ptext), p);
  EXPECT_EQ(*ulo::proof_from_json(R"(["m1","local","ab",true,"t","d\n"])"), p);

  auto quoted = ulo::proof_from_json(R"({"anchor_id":"m1","anchor_kind":"local","confirmed":"true"})");
  ASSERT_FALSE(quoted);
  EXPECT_EQ(quoted.error().message,
            "invalid type: string \"true\", expected a boolean at line 1 column 58");
  auto short_proof = ulo::proof_from_json(R"(["m1","local","ab",false,"t"])");
  ASSERT_FALSE(short_proof);
  EXPECT_EQ(short_proof.error().message,
            "invalid length 5, expected struct AnchorProof with 6 elements at line 1 column 29");
  auto eof = ulo::proof_from_json("{");
  ASSERT_FALSE(eof);
  EXPECT_EQ(eof.error().message, "EOF while parsing an object at line 1 column 1");

  for (int k = 0; k < 6; ++k) {
    const auto kind = static_cast<ulo::AnchorKind>(k);
    EXPECT_EQ(ulo::anchor_kind_from_name(ulo::anchor_kind_name(kind)), kind);
  }
  EXPECT_FALSE(ulo::anchor_kind_from_name("Local"));
  EXPECT_EQ(ulo::surface_from_name("os_keychain"), ulo::Surface::os_keychain);
  EXPECT_FALSE(ulo::surface_from_name("Software"));
}

}  // namespace
