// Reader limits no Python caller can reach: the nesting limit on known
// fields (no record schema nests deep enough) and text that is not UTF-8
// (a Python str always is).
#include <gtest/gtest.h>

#include <string>

#include "envelope.hpp"
#include "record_table.hpp"

namespace {

// A self-nesting schema stands in for records deeper than any real one.
struct Node {
  int depth = 0;
};
bool read_node(ulo::JsonReader& r, const ulo::FieldDef&, void* p);
constexpr ulo::FieldDef kNodeFields[] = {
    {"child", read_node, ulo::FieldDef::Absent::defaulted},
};
constexpr ulo::RecordDef kNodeRecord{"Node", kNodeFields};
bool read_node(ulo::JsonReader& r, const ulo::FieldDef&, void* p) {
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
  EXPECT_TRUE(ulo::decode_record<Node>(R"({"x":)" + nodes(1000) + "}", kNodeRecord));
}

// Bytes that a Python str cannot hold are refused, never read past.
TEST(JsonDecode, RefusesBytesThatAreNotUtf8) {
  for (std::string bad : {"\xff", "\xc3", "\xc3(", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf"}) {
    for (const char* field : {R"({"exchange_id":")", R"({"unknown":")"}) {
      auto r = ulo::decode_record<ulo::SignedEnvelope>(field + bad + "\"}", ulo::kSignedEnvelopeRecord);
      ASSERT_FALSE(r) << bad;
      EXPECT_TRUE(r.error().message.starts_with("invalid unicode code point")) << r.error().message;
    }
  }
}

}  // namespace
