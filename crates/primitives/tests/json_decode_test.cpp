// Decoding of envelopes and receipts against the shared vectors, plus the
// reader's limits (deep nesting, huge strings, bytes that are not UTF-8).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "anchor.hpp"
#include "envelope.hpp"
#include "json.hpp"
#include "quote.hpp"

namespace {

using nlohmann::json;

std::vector<json> load(const char* name) {
  std::ifstream f(std::string(ULO_TEST_DATA) + "/" + name);
  std::vector<json> rows;
  for (std::string line; std::getline(f, line);) {
    if (!line.empty()) rows.push_back(json::parse(line));
  }
  return rows;
}

// to_json of the decoded record, or the decoder's message.
struct Outcome {
  bool ok;
  std::string text;
};

Outcome decode(const std::string& schema, std::string_view input) {
  if (schema == "SignedEnvelope") {
    auto r = ulo::envelope_from_json(input);
    if (!r) return {false, r.error().message};
    // Decoding what we wrote must give the same record back.
    auto again = ulo::envelope_from_json(ulo::envelope_to_json(*r));
    EXPECT_TRUE(again && *again == *r) << input;
    return {true, ulo::envelope_to_json(*r)};
  }
  auto r = ulo::receipt_from_json(input);
  if (!r) return {false, r.error().message};
  auto again = ulo::receipt_from_json(ulo::receipt_to_json(*r));
  EXPECT_TRUE(again && *again == *r) << input;
  return {true, ulo::receipt_to_json(*r)};
}

TEST(JsonDecodeVectors, EveryLine) {
  const auto rows = load("json_decode.jsonl");
  ASSERT_GT(rows.size(), 400u);
  int exact = 0;
  for (const json& row : rows) {
    const std::string input = row["input"];
    const std::string fixed = row["fixed"];
    if (fixed == "none") continue;
    const Outcome got = decode(row["schema"], input);
    const std::string where = row["category"].get<std::string>() + ": " + input.substr(0, 200);
    ASSERT_EQ(got.ok, row["ok"].get<bool>()) << where << "\n  got: " << got.text;
    if (fixed != "exact") continue;
    ++exact;
    const std::string want = got.ok ? row["canonical"] : row["error"];
    EXPECT_EQ(got.text, want) << where;
  }
  EXPECT_GT(exact, 350);
}

// A decoded envelope re-encodes canonically whatever the input layout.
TEST(JsonDecode, LayoutDoesNotReachTheOutput) {
  const std::string canonical =
      R"({"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},)"
      R"("direction":"outbound","request_hash":"aa11","our_signature":"sig-a",)"
      R"("opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"peer-7"})";
  const std::string messy =
      " \r\n{\t\"counterparty_identifier\" : \"peer-7\" , \"protocol_hint\":\"quic\",\n"
      "\"opened_at\":\"2026-04-15T11:00:00+02:00\",\"our_signature\":\"sig-a\",\"x\":[{}],"
      "\"request_hash\":\"aa\\u0031\\u0031\",\"direction\":{\"outbound\":null},"
      "\"peer_self\":[\"body\",\"agent\",\"alice\"],\"exchange_id\":\"ex-1\"}\n ";
  auto e = ulo::envelope_from_json(messy);
  ASSERT_TRUE(e) << e.error().message;
  EXPECT_EQ(ulo::envelope_to_json(*e), canonical);
}

std::string envelope_with_extra(std::string_view extra) {
  std::string s =
      R"({"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},)"
      R"("direction":"outbound","request_hash":"aa11","our_signature":"sig-a",)"
      R"("opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"p",)"
      R"("extra":)";
  s += extra;
  s += '}';
  return s;
}

// Skipping an unknown value walks any depth without recursion.
TEST(JsonDecode, MillionNestedBracketsInUnknownKey) {
  const std::size_t depth = 1'000'000;
  const auto start = std::chrono::steady_clock::now();
  // Unclosed: must fail at the end of the text.
  std::string open_text = envelope_with_extra(std::string(depth, '['));
  open_text.pop_back();
  auto open_only = ulo::envelope_from_json(open_text);
  ASSERT_FALSE(open_only);
  EXPECT_TRUE(open_only.error().message.starts_with("EOF while parsing a list"))
      << open_only.error().message;
  // Closed: accepted, whatever the mix of brackets.
  std::string nested;
  for (std::size_t k = 0; k < depth; ++k) nested += k % 2 ? "{\"k\":" : "[";
  nested += "0";
  for (std::size_t k = depth; k-- > 0;) nested += k % 2 ? "}" : "]";
  EXPECT_TRUE(ulo::envelope_from_json(envelope_with_extra(nested)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Known fields stop at 128 levels of nesting (the record schemas here never
// nest that deep, so a self-nesting schema stands in for them).
struct Node {
  int depth = 0;
};
bool read_node(ulo::JsonReader& r, void* p);
constexpr ulo::JsonField kNodeFields[] = {
    {"child", read_node, ulo::JsonField::Absent::defaulted},
};
constexpr ulo::JsonRecord kNodeRecord{"Node", kNodeFields};
bool read_node(ulo::JsonReader& r, void* p) {
  Node child;
  if (!ulo::read_record(r, kNodeRecord, &child)) return false;
  static_cast<Node*>(p)->depth = child.depth + 1;
  return true;
}

std::string nodes(int levels) {
  std::string s;
  for (int k = 1; k < levels; ++k) s += R"({"child":)";
  s += "{}";
  s.append(static_cast<std::size_t>(levels - 1), '}');
  return s;
}

TEST(JsonDecode, RecursionLimitOnKnownFields) {
  auto ok = ulo::decode_record<Node>(nodes(127), kNodeRecord);
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_EQ(ok->depth, 126);
  auto deep = ulo::decode_record<Node>(nodes(128), kNodeRecord);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().message, "recursion limit exceeded at line 1 column 1144");
  // Unknown keys do not count.
  auto skipped = ulo::decode_record<Node>(R"({"x":)" + nodes(1000) + "}", kNodeRecord);
  EXPECT_TRUE(skipped);
}

TEST(JsonDecode, HundredMegabyteString) {
  std::string big(100u << 20, 'a');
  big[12345] = '\xc3';  // é
  big[12346] = '\xa9';
  auto e = ulo::envelope_from_json(envelope_with_extra('"' + big + '"'));
  EXPECT_TRUE(e);
  std::string text = envelope_with_extra("0");
  text.replace(text.find("\"ex-1\""), 6, '"' + big + '"');
  auto r = ulo::envelope_from_json(text);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exchange_id, big);
}

// Bytes that a Python str cannot hold are refused, never read past.
TEST(JsonDecode, RefusesBytesThatAreNotUtf8) {
  for (std::string bad : {"\xff", "\xc3", "\xc3(", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf"}) {
    auto r = ulo::envelope_from_json(envelope_with_extra('"' + bad + '"'));
    ASSERT_FALSE(r) << bad;
    EXPECT_TRUE(r.error().message.starts_with("invalid unicode code point")) << r.error().message;
  }
}

TEST(JsonDecode, NulBytes) {
  // A raw NUL inside a string is a control character; escaped it is text.
  std::string raw = envelope_with_extra("0");
  raw.replace(raw.find("ex-1"), 4, std::string("a\0b", 3));
  auto r = ulo::envelope_from_json(raw);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message,
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18");
  std::string escaped = envelope_with_extra("0");
  escaped.replace(escaped.find("ex-1"), 4, "a\\u0000b");
  auto e = ulo::envelope_from_json(escaped);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->exchange_id, std::string("a\0b", 3));
  EXPECT_NE(ulo::envelope_to_json(*e).find(R"("a\u0000b")"), std::string::npos);
  // After the record, a NUL is a trailing character.
  auto t = ulo::envelope_from_json(envelope_with_extra("0") + std::string(1, '\0'));
  ASSERT_FALSE(t);
  EXPECT_TRUE(t.error().message.starts_with("trailing characters")) << t.error().message;
}

// Found strings are shown in the representation quoting.
TEST(JsonDecode, FoundStringUsesRepresentationQuoting) {
  for (std::string text : {"a\"b\xcc\x81\n", "tab\there", "\xe2\x80\xae", "plain"}) {
    std::string input = R"({"exchange_id":"x","peer_self":)";
    ulo::append_json_string(input, text);
    input += '}';
    auto r = ulo::envelope_from_json(input);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message.starts_with("invalid type: string " + ulo::quoted(text) +
                                              ", expected struct ProtocolAddress"))
        << r.error().message;
  }
}

TEST(JsonDecode, FoundNumbers) {
  struct Case {
    const char* number;
    const char* found;
  };
  const Case cases[] = {
      {"0", "integer `0`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"-0", "floating point `-0`"},
      {"1.0", "floating point `1`"},
      {"1e20", "floating point `100000000000000000000`"},
      {"1E-7", "floating point `0.0000001`"},
      {"123.456e1", "floating point `1234.56`"},
      {"1e-400", "floating point `0`"},
      {"-1e-400", "floating point `-0`"},
      {"18446744073709551616", "floating point `18446744073709552000`"},
  };
  for (const Case& c : cases) {
    auto r = ulo::envelope_from_json(std::string(R"({"exchange_id":)") + c.number + "}");
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message.starts_with(std::string("invalid type: ") + c.found +
                                              ", expected a string"))
        << c.number << " -> " << r.error().message;
  }
  auto big = ulo::envelope_from_json(R"({"exchange_id":-2e308})");
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().message, "number out of range at line 1 column 21");
}

TEST(JsonDecode, DecodesTheExampleQuicklyEnough) {
  const std::string text =
      R"({"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},)"
      R"("direction":"outbound","request_hash":"aa11","our_signature":"sig-a",)"
      R"("opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"peer-7"})";
  ASSERT_EQ(text.size(), 242u);
  const int rounds = 200'000;
  std::size_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < rounds; ++k) sink += ulo::envelope_from_json(text)->exchange_id.size();
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(sink, 4u * rounds);
  RecordProperty("ns_per_decode", std::to_string(took.count() / rounds));
  // Generous bound: sanitizer and debug builds are much slower.
  EXPECT_LT(took.count() / rounds, 20'000.0);
}

}  // namespace
