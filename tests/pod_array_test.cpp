#include <gtest/gtest.h>

#include <cstdint>

#include "pod_array.h"

namespace {

using obj2mesh::PodArray;

// Growth moves blocks from malloc to their own mappings and on to huge-page
// aligned ones; every step must keep the values, and so must a move.
TEST(PodArray, GrowthAcrossEveryKindOfBlockKeepsValues) {
  PodArray<uint32_t> array;
  for (uint32_t i = 0; i < 3000000; ++i) array.push_back(i + 7);
  PodArray<uint32_t> moved = std::move(array);
  EXPECT_TRUE(array.empty());
  ASSERT_EQ(moved.size(), 3000000u);
  for (uint32_t i = 0; i < 3000000; ++i) ASSERT_EQ(moved[i], i + 7) << i;
  moved.resize(3000010);
  EXPECT_EQ(moved[3000009], 0u);
}

}  // namespace
