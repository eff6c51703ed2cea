// Tests of the find-first-set-bit helper.
#include "core/bit_ops.h"

#include <gtest/gtest.h>

namespace {

TEST(BitOpsTest, FfsGivesOneBasedLowestSetBit) {
  struct Case {
    uint32_t value;
    int expected;
  } const cases[] = {
      {0, 0}, {1, 1}, {2, 2}, {3, 1}, {0x80000000u, 32}, {0x80000001u, 1},
      {0xFFFFFFFFu, 1}, {0x00010000u, 17}, {0xFFFF0000u, 17}, {0x00000C00u, 11},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tav::ffs(c.value), c.expected) << std::hex << c.value;
  }
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t single = 1u << bit;
    EXPECT_EQ(tav::ffs(single), bit + 1) << "bit " << bit;
    EXPECT_EQ(tav::ffs(~(single - 1)), bit + 1) << "bit " << bit << " and all above";
  }
}

}  // namespace
