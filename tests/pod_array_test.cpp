#include <gtest/gtest.h>

#include <cstdint>

#include "pod_array.h"

namespace {

template <class T>
void fill(PodArray<T>& array, size_t n, T base) {
  for (size_t i = 0; i < n; ++i) array.push_back(T(base + T(i)));
}

template <class T>
bool holds(const PodArray<T>& array, size_t n, T base) {
  if (array.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (array[i] != T(base + T(i))) return false;
  return true;
}

// Growth moves blocks from malloc to their own mappings and on to huge-page
// aligned ones; every step must keep the values.
TEST(PodArray, GrowthAcrossEveryKindOfBlockKeepsValues) {
  PodArray<uint32_t> array;
  fill<uint32_t>(array, 3000000, 7);
  EXPECT_TRUE(holds<uint32_t>(array, 3000000, 7));
  PodArray<uint32_t> copy = array;
  array.release();
  EXPECT_TRUE(holds<uint32_t>(copy, 3000000, 7));
}

TEST(PodArray, ArraysFollowEachOtherInAZoneAndLeaveItWhenFull) {
  ArrayZone zone;
  // Sanitizer builds keep every array in a block of its own, without zones.
  if (!reserveZone(zone, 1)) GTEST_SKIP() << "no zones in this build";
  const size_t zoneFloats = zone.reserved / sizeof(float);

  PodArray<float> first, second, third;
  openInZone(first, zone);
  fill<float>(first, 1000, 1.0f);
  closeInZone(first, zone);

  openInZone(second, zone);
  EXPECT_GE(reinterpret_cast<char*>(second.data()), reinterpret_cast<char*>(first.data() + 1000));
  fill<float>(second, zoneFloats, 5000.0f);  // outgrows the zone
  EXPECT_FALSE(second.borrowed);
  closeInZone(second, zone);  // no longer in the zone: changes nothing

  openInZone(third, zone);
  fill<float>(third, 10, -3.0f);
  EXPECT_TRUE(holds<float>(first, 1000, 1.0f));
  EXPECT_TRUE(holds<float>(second, zoneFloats, 5000.0f));
  EXPECT_TRUE(holds<float>(third, 10, -3.0f));

  // A closed array that grows again moves out rather than overwrite the next.
  first.push_back(42.0f);
  EXPECT_FALSE(first.borrowed);
  EXPECT_TRUE(holds<float>(third, 10, -3.0f));
  EXPECT_EQ(first[1000], 42.0f);

  PodArray<float> copy = third;
  EXPECT_FALSE(copy.borrowed);
  third.release();
  EXPECT_TRUE(holds<float>(copy, 10, -3.0f));
  first.release();
  second.release();
  releaseZone(zone);
}

}  // namespace
