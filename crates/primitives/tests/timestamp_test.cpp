// Properties beyond the shared vectors: round trips over the whole range,
// years that need a sign, and which error each malformed text reports.
#include "timestamp.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Canonical text reads back to the same instant, across the whole range of
// four-digit years and every fraction width.
TEST(Timestamp, FormatThenParseRoundTrips) {
  std::mt19937_64 rng(7);
  const std::int64_t lo = -62167219200;  // 0000-01-01T00:00:00Z
  const std::int64_t hi = 253402300799;  // 9999-12-31T23:59:59Z
  const std::uint32_t fractions[] = {0, 500'000'000, 1'500'000, 999'999'999, 120'000};
  for (int k = 0; k < 20000; ++k) {
    ulo::Timestamp t{lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1)),
                     fractions[k % 5]};
    const std::string text = ulo::format_timestamp(t);
    auto back = ulo::parse_timestamp(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, t) << text;
  }
}

TEST(Timestamp, FormatsYearsOutsideFourDigitsWithSign) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-62167219201, "-0001-12-31T23:59:59Z"},
      {253402300800, "+10000-01-01T00:00:00Z"},
      {-62198755200, "-0001-01-01T00:00:00Z"},
      {(2932897 + 225 * 146097) * 86400LL, "+100000-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ulo::format_timestamp({c.seconds, 0}), c.text);
    // The signed form reads back, so every written envelope decodes again.
    auto back = ulo::parse_timestamp(c.text);
    ASSERT_TRUE(back) << c.text;
    EXPECT_EQ(back->seconds, c.seconds) << c.text;
  }
  EXPECT_FALSE(ulo::parse_timestamp("02026-04-15T09:00:00Z"));
  EXPECT_FALSE(ulo::parse_timestamp("+026-04-15T09:00:00Z"));
  EXPECT_FALSE(ulo::parse_timestamp("+123456789012-01-01T00:00:00Z"));
  // Extreme values must not overflow.
  EXPECT_FALSE(ulo::format_timestamp({INT64_MIN, 0}).empty());
  EXPECT_FALSE(ulo::format_timestamp({INT64_MAX, 999'999'999}).empty());
}

TEST(Timestamp, ErrorKinds) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"2026-04-15T09:00:00\xe2\x88\x92" "05:00", "input contains invalid characters"},
      {"2026-02-30T00:00:00Zx", "trailing input"},  // trailing text is seen before the date
      {"2026-13-01Tjunk", "input is out of range"},  // fields are checked as they are read
      {"2026-04-15T09:00:00+", "premature end of input"},
      {"2026-04-15T09:00:00+02:6", "premature end of input"},
      {"2026-04-15T09:00:00+02:7x", "input contains invalid characters"},
      {"2026-04-15T09:00:00+02:70", "input is out of range"},
  };
  for (const Case& c : cases) {
    auto t = ulo::parse_timestamp(c.text);
    ASSERT_FALSE(t) << c.text;
    EXPECT_EQ(t.error(), c.error) << c.text;
  }
}

// A sign on the year is read only where the encoder writes one: years above
// 9999 and below 0. RFC 3339 has no sign, so a signed year the plain form
// can hold stays refused.
struct SignedYear {
  const char* text;
  bool accepted;
};

class SignedYearForms : public ::testing::TestWithParam<SignedYear> {};

TEST_P(SignedYearForms, AcceptedOnlyOutsideFourDigits) {
  const SignedYear& c = GetParam();
  const auto t = ulo::parse_timestamp(c.text);
  ASSERT_EQ(t.has_value(), c.accepted) << c.text;
  if (t) {
    EXPECT_EQ(ulo::format_timestamp(*t), c.text);
  } else {
    EXPECT_EQ(t.error(), "input contains invalid characters") << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timestamp, SignedYearForms,
    ::testing::Values(SignedYear{"+10000-01-01T00:00:00Z", true},
                      SignedYear{"+99999999999-12-31T23:59:59Z", true},
                      SignedYear{"-0001-12-31T23:59:59Z", true},
                      SignedYear{"-10000-06-30T12:00:00.500Z", true},
                      SignedYear{"+2026-06-29T09:30:59Z", false},
                      SignedYear{"+9999-12-31T23:59:59Z", false},
                      SignedYear{"+0000-01-01T00:00:00Z", false},
                      SignedYear{"-0000-01-01T00:00:00Z", false},
                      SignedYear{"+02026-06-29T09:30:59Z", false},
                      SignedYear{"+00009999-01-01T00:00:00Z", false}),
    [](const ::testing::TestParamInfo<SignedYear>& param_info) {
      // The text itself, with every character a test name cannot hold as '_'.
      std::string name = param_info.param.accepted ? "accepted_" : "refused_";
      for (const char* p = param_info.param.text; *p != '\0'; ++p) {
        const char c = *p;
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        name += alnum ? c : (c == '+' ? 'P' : (c == '-' && p == param_info.param.text ? 'M' : '_'));
      }
      return name;
    });

}  // namespace
