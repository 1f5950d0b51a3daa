// Canonical encoding against the shared vectors: string escaping, signing
// bytes and the counterparty form.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "envelope.hpp"
#include "json.hpp"

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

std::optional<std::string> opt(const json& v) {
  if (v.is_null()) return std::nullopt;
  return v.get<std::string>();
}

std::string hex(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

TEST(CanonicalEncodeVectors, EveryLine) {
  const auto rows = load("canonical_encode.jsonl");
  ASSERT_GT(rows.size(), 70u);
  for (const json& row : rows) {
    const std::string kind = row["kind"];
    if (kind == "string") {
      std::string out;
      ulo::append_json_string(out, row["text"].get<std::string>());
      EXPECT_EQ(out, row["json"].get<std::string>());
      EXPECT_EQ(hex(out), row["hex"].get<std::string>());
    } else if (kind == "signing") {
      ulo::SignedEnvelope e;
      e.exchange_id = row["exchange_id"];
      e.request_hash = row["request_hash"];
      e.response_hash = opt(row["response_hash"]);
      const std::string bytes = ulo::canonical_signing_bytes(e);
      EXPECT_EQ(bytes, row["text"].get<std::string>());
      EXPECT_EQ(hex(bytes), row["hex"].get<std::string>());
      EXPECT_EQ(bytes.size(), row["length"].get<std::size_t>());
    } else {
      ASSERT_EQ(kind, "counterparty_info");
      const ulo::CounterpartyInfo c{row["identifier"], row["protocol_hint"],
                                    opt(row["peer_address"]), opt(row["counterparty_signature"])};
      EXPECT_EQ(ulo::counterparty_to_json(c), row["json"].get<std::string>());
    }
  }
}

// Only the signing fields enter the signed bytes.
TEST(CanonicalEncode, SigningBytesIgnoreOtherFields) {
  ulo::SignedEnvelope a;
  a.exchange_id = "ex-1";
  a.request_hash = "aa11";
  ulo::SignedEnvelope b = a;
  b.our_signature = "other";
  b.protocol_hint = "tcp";
  b.opened_at = {12345, 6};
  EXPECT_EQ(ulo::canonical_signing_bytes(a), ulo::canonical_signing_bytes(b));
  b.response_hash = "";
  EXPECT_EQ(ulo::canonical_signing_bytes(b), R"(["ex-1","aa11",""])");
}

TEST(JsonWriter, Layouts) {
  auto write = [](bool indented) {
    std::string out;
    ulo::JsonWriter w(out, indented);
    w.begin_object();
    w.key("a");
    w.begin_array();
    w.element();
    w.string("x");
    w.element();
    w.null();
    w.end_array();
    w.key("e");
    w.begin_object();
    w.end_object();
    w.key("n");
    w.begin_array();
    w.end_array();
    w.key("t");
    w.timestamp({0, 1500});
    w.key("b");
    w.boolean(false);
    w.end_object();
    w.finish();
    return out;
  };
  EXPECT_EQ(write(false), R"({"a":["x",null],"e":{},"n":[],"t":"1970-01-01T00:00:00.000001500Z","b":false})");
  EXPECT_EQ(write(true),
            "{\n  \"a\": [\n    \"x\",\n    null\n  ],\n  \"e\": {},\n  \"n\": [],\n"
            "  \"t\": \"1970-01-01T00:00:00.000001500Z\",\n  \"b\": false\n}");
}

}  // namespace
