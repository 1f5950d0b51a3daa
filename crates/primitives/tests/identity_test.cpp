// Secret handling no Python caller can observe: a moved-from identity keeps
// no copy of the seed.
#include "identity.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SoftwareIdentity, MovingWipesTheSource) {
  auto src = ulo::SoftwareIdentity::from_seed(std::vector<std::uint8_t>(32, 0xee));
  ASSERT_TRUE(src);
  const ulo::SoftwareIdentity moved(std::move(*src));
  ulo::SoftwareIdentity::Seed expected;
  expected.fill(0xee);
  EXPECT_EQ(moved.seed(), expected);
  EXPECT_EQ(src->seed(), ulo::SoftwareIdentity::Seed{});
  EXPECT_EQ(moved.descriptor(), ulo::SoftwareIdentity::from_seed(moved.seed())->descriptor());
}

}  // namespace
