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

// Pages moved into a placed block keep the moved values wherever the block
// starts, and whether or not their last page fits.
TEST(PodArray, MovedPagesKeepValuesInAPlacedBlock) {
  struct Case {
    size_t values, offset, room;  // the target is `offset` into the block, `room` bytes before its end
  } cases[] = {{70000, 4096, 1 << 20}, {70000, 8188, 280004}, {1 << 20, 12, 5 << 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    PodArray<uint32_t> list, spare;
    for (uint32_t i = 0; i < c.values; ++i) list.push_back(i * 3 + 1);
    spare.resize(c.values);
    const size_t bytes = c.offset + c.room, pages = (4 * c.values + 4095) & ~size_t(4095);
    char* block = static_cast<char*>(obj2mesh::podAllocatePlaced(bytes, c.offset));
    char* target = block + c.offset;
    size_t listBytes = 0, spareBytes = 0;
    void* listBlock = list.detach(listBytes);
    obj2mesh::podMovePages(listBlock, listBytes, 4 * c.values, target, c.room);
    void* spareBlock = spare.detach(spareBytes);
    if (c.room > pages) obj2mesh::podGivePages(spareBlock, spareBytes, target + pages, c.room - pages);
    else obj2mesh::podFree(spareBlock, spareBytes);
    const uint32_t* values = reinterpret_cast<const uint32_t*>(target);
    for (uint32_t i = 0; i < c.values; ++i) ASSERT_EQ(values[i], i * 3 + 1) << i;
    block[0] = block[bytes - 1] = 1;  // the whole block is still mapped
    obj2mesh::podFree(block, bytes);
  }
}

}  // namespace
