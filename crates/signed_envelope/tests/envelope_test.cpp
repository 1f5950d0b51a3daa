#include "envelope.hpp"

#include <gtest/gtest.h>

#include <string>

#include "json.hpp"

namespace {

ulo::SignedEnvelope example() {
  ulo::SignedEnvelope e;
  e.exchange_id = "ex-1";
  e.peer_self = {ulo::AddressClass::body, "agent", "alice"};
  e.direction = ulo::Direction::outbound;
  e.request_hash = "aa11";
  e.our_signature = "sig-a";
  e.opened_at = *ulo::parse_timestamp("2026-04-15T09:00:00Z");
  e.protocol_hint = "quic";
  e.counterparty_identifier = "peer-7";
  return e;
}

ulo::SignedEnvelope full() {
  ulo::SignedEnvelope e = example();
  e.peer_counterparty = ulo::ProtocolAddress{ulo::AddressClass::mediation, "p/q", "\"r\""};
  e.direction = ulo::Direction::inbound;
  e.response_hash = "";
  e.counterparty_signature = "sig-b";
  e.closed_at = *ulo::parse_timestamp("2016-12-31T23:59:60.5Z");  // before opened_at: allowed
  return e;
}

TEST(Envelope, RoundTripsWithEveryField) {
  for (const ulo::SignedEnvelope& e : {example(), full()}) {
    auto back = ulo::envelope_from_json(ulo::envelope_to_json(e));
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, e);
  }
  EXPECT_NE(ulo::envelope_to_json(full()).find(R"("closed_at":"2016-12-31T23:59:60.500Z")"),
            std::string::npos);
}

// The queue file of the storage example, byte for byte.
TEST(QueuedItem, IndentedExampleFile) {
  const ulo::QueuedItem item{"ex-1", "routing", example()};
  const std::string file =
      "{\n"
      "  \"queue_id\": \"ex-1\",\n"
      "  \"pair_class\": \"routing\",\n"
      "  \"envelope\": {\n"
      "    \"exchange_id\": \"ex-1\",\n"
      "    \"peer_self\": {\n"
      "      \"class\": \"body\",\n"
      "      \"type\": \"agent\",\n"
      "      \"ref\": \"alice\"\n"
      "    },\n"
      "    \"direction\": \"outbound\",\n"
      "    \"request_hash\": \"aa11\",\n"
      "    \"our_signature\": \"sig-a\",\n"
      "    \"opened_at\": \"2026-04-15T09:00:00Z\",\n"
      "    \"protocol_hint\": \"quic\",\n"
      "    \"counterparty_identifier\": \"peer-7\"\n"
      "  }\n"
      "}";
  EXPECT_EQ(ulo::queued_item_to_indented_json(item), file);
  auto back = ulo::queued_item_from_json(file);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, item);
}

TEST(QueuedItem, RoundTripAndErrors) {
  const ulo::QueuedItem item{"x/y..z", "", full()};
  auto back = ulo::queued_item_from_json(ulo::queued_item_to_indented_json(item));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, item);

  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {R"({"queue_id":"q","envelope":{}})", "missing field `exchange_id` at line 1 column 29"},
      {R"({"queue_id":"q","pair_class":"p"})", "missing field `envelope` at line 1 column 33"},
      {R"({"queue_id":"q","queue_id":"q"})", "duplicate field `queue_id` at line 1 column 26"},
      {R"(["q","p"])", "invalid length 2, expected struct QueuedItem with 3 elements at line 1 column 9"},
      {R"({"queue_id":"q","pair_class":"p","envelope":"e"})",
       "invalid type: string \"e\", expected struct SignedEnvelope at line 1 column 47"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const Case& c : cases) {
    auto r = ulo::queued_item_from_json(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().message, c.error);
  }
}

TEST(Envelope, ShortPositionalFormReportsNextRequiredField) {
  // Optional fields default when the array ends; the reported length is
  // the position of the next field that needed a value.
  const std::pair<const char*, int> cases[] = {
      {R"(["e",{"class":"body","type":"t","ref":"r"}])", 3},
      {R"(["e",["body","t","r"],null,"inbound","h"])", 7},
      {R"(["e",["body","t","r"],null,"inbound","h",null,null,"s","2026-04-15T09:00:00Z"])", 10},
  };
  for (const auto& [text, n] : cases) {
    auto r = ulo::envelope_from_json(text);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message.starts_with("invalid length " + std::to_string(n) +
                                              ", expected struct SignedEnvelope with 12 elements"))
        << r.error().message;
  }
}

}  // namespace
