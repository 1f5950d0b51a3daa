#include "quote.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "unicode_tables.hpp"

namespace {

struct CpRange {
  char32_t first, last;
};
// Code points our character database leaves unassigned.
constexpr CpRange kUnassigned[] = {
#include "unassigned_ranges.inc"
};

bool unassigned_here(char32_t cp) {
  auto it = std::lower_bound(
      std::begin(kUnassigned), std::end(kUnassigned), cp,
      [](const CpRange& r, char32_t c) { return r.last < c; });
  return it != std::end(kUnassigned) && it->first <= cp;
}

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// How one character was written: "plain", "named" or "unicode"; "bad" when
// the output has none of the three exact shapes.
std::string classify(char32_t cp) {
  const std::string in = utf8(cp);
  const std::string out = ulo::quoted(in);
  if (out == "\"" + in + "\"") return "plain";
  if (out.size() == 4 && out[1] == '\\') return "named";
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(cp));
  if (out == std::string("\"\\u{") + hex + "}\"") return "unicode";
  return "bad";
}

nlohmann::json load_vector() {
  std::ifstream f(ULO_TEST_DATA "/debug_quote.json");
  return nlohmann::json::parse(f);
}

TEST(Quote, EveryScalarValueMatchesVector) {
  const auto v = load_vector();
  const bool same_database = v["unicode_version"] == ulo::unicode::kUnicodeVersion;
  std::size_t checked = 0, newer = 0;
  for (const auto& r : v["ranges"]) {
    const auto first = r[0].get<char32_t>(), last = r[1].get<char32_t>();
    const auto want = r[2].get<std::string>();
    for (char32_t cp = first; cp <= last; ++cp, ++checked) {
      const std::string got = classify(cp);
      if (got == want) continue;
      // Only a database newer than the vector's may differ, and only by
      // printing characters it knows and the vector's does not.
      EXPECT_TRUE(!same_database && want == "unicode" && got == "plain")
          << std::hex << std::uint32_t{cp} << " want " << want << " got " << got;
      ++newer;
    }
  }
  EXPECT_EQ(checked, 0x110000u - 0x800u);  // all scalar values
  if (same_database) {
    EXPECT_EQ(newer, 0u);
  }
}

TEST(Quote, UnassignedCodePointsAreEscaped) {
  std::size_t count = 0;
  for (const CpRange& r : kUnassigned) {
    for (char32_t cp = r.first; cp <= r.last; ++cp, ++count)
      ASSERT_EQ(classify(cp), "unicode") << std::hex << std::uint32_t{cp};
  }
  EXPECT_GT(count, 0u);
  // The lookup helper agrees with the table it searches.
  EXPECT_TRUE(unassigned_here(0x0378));
  EXPECT_FALSE(unassigned_here(0x0041));
}

TEST(Quote, SamplesMatchVector) {
  const auto v = load_vector();
  for (const auto& s : v["samples"]) {
    EXPECT_EQ(ulo::quoted(s["text"].get<std::string>()),
              s["quoted"].get<std::string>());
  }
}

TEST(Quote, EdgeCases) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", R"("")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x7f", R"("\u{7f}")"},
      {"\xe2\x80\xa8", R"("\u{2028}")"},         // line separator
      {"\xe3\x80\x80", R"("\u{3000}")"},         // ideographic space
      {"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},   // noncharacter, unassigned
      {"\xf3\xb0\x80\x80", R"("\u{f0000}")"},    // private use
      {"'\xc3\xa9'", "\"'\xc3\xa9'\""},
      // Invalid UTF-8: every offending byte stands for U+FFFD.
      {"\xff", "\"\xef\xbf\xbd\""},
      {"\xc3", "\"\xef\xbf\xbd\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},       // overlong '/'
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // surrogate
      {"a\xe2\x82", "\"a\xef\xbf\xbd\xef\xbf\xbd\""},     // truncated
  };
  for (const auto& c : cases) EXPECT_EQ(ulo::quoted(c.in), c.want) << c.in;
}

TEST(Quote, AppendsToExistingText) {
  std::string out = "X(id=";
  ulo::append_quoted(out, "m\"1");
  EXPECT_EQ(out, R"(X(id="m\"1")");
}

}  // namespace
