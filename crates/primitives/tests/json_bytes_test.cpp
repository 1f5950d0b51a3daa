// The word-at-a-time scans against their byte tables: every byte value at
// every position of a word, then random runs dense in the bytes near the
// boundaries (quote, backslash, controls, DEL, the high bit).
#include "json_bytes.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace ulo::json_bytes;

template <class Table>
std::size_t first_in(const Table& table, const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && !table[static_cast<unsigned char>(s[i])]) ++i;
  return i;
}

TEST(JsonBytes, EveryByteAtEveryPosition) {
  for (int b = 0; b < 256; ++b) {
    for (std::size_t pos = 0; pos < 16; ++pos) {
      std::string s(19, 'a');
      s[pos] = static_cast<char>(b);
      ASSERT_EQ(find_stop(s, 0), first_in(kStop, s)) << b << " at " << pos;
      ASSERT_EQ(find_escaped(s, 0), first_in(kEscaped, s)) << b << " at " << pos;
    }
  }
}

TEST(JsonBytes, RandomRunsMatchTheTables) {
  const unsigned char near[] = {0x00, 0x1f, 0x20, 0x21, 0x22, 0x23, 0x5b, 0x5c,
                                0x5d, 0x7e, 0x7f, 0x80, 0xa2, 0xdc, 0xff, 'a'};
  std::mt19937 rng(7);
  for (int n = 0; n < 200'000; ++n) {
    std::string s(rng() % 40, 'a');
    for (char& c : s) c = static_cast<char>(rng() % 4 == 0 ? near[rng() % sizeof near] : 'a');
    const std::size_t from = s.empty() ? 0 : rng() % s.size();
    ASSERT_EQ(find_stop(s, from), from + first_in(kStop, s.substr(from))) << s;
    ASSERT_EQ(find_escaped(s, from), from + first_in(kEscaped, s.substr(from))) << s;
  }
}

}  // namespace
