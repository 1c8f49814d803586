#include "pod_array.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace obj2mesh {
namespace {

// AddressSanitizer checks bounds only around the blocks it allocates
// itself: in sanitizer builds every array is a malloc block of its own,
// never a mapping, so that an access past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#define OBJ2MESH_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OBJ2MESH_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef OBJ2MESH_ADDRESS_SANITIZER
constexpr size_t kMappedThreshold = SIZE_MAX;
#else
// Below this a block comes from malloc; above it gets its own mapping.
constexpr size_t kMappedThreshold = size_t(64) << 10;
#endif
// ThreadSanitizer does not see mremap: the pages it moves keep their access
// history at the addresses they left, for whatever is mapped there next,
// and arrive at addresses that still hold the history of earlier blocks,
// often another thread's. In its builds a mapping grows into a fresh
// mapping by a copy, and the old one is unmapped, all of which it sees.
#if defined(__SANITIZE_THREAD__)
#define OBJ2MESH_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OBJ2MESH_THREAD_SANITIZER 1
#endif
#endif
#ifdef OBJ2MESH_THREAD_SANITIZER
constexpr bool kMovesByRemap = false;
#else
constexpr bool kMovesByRemap = true;
#endif
constexpr size_t kHugePage = size_t(2) << 20;
// Mappings of a huge page or more start on a huge-page boundary and ask for
// huge pages. From kWholeHugePages on a mapping is whole huge pages; below,
// its end keeps 4 KiB pages, so that a mid-sized array costs only the pages
// it touches. A huge-page range that once held a 4 KiB page stays 4 KiB
// pages, even after it moves, so until a block is whole huge pages it grows
// by copying into a fresh mapping rather than by moving: the copy costs
// less than the 4 KiB pages' faults and TLB misses that moving would keep.
constexpr size_t kWholeHugePages = size_t(4) << 20;

size_t roundUp(size_t bytes, size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }

size_t mappedSize(size_t bytes) { return roundUp(bytes, bytes < kWholeHugePages ? 4096 : kHugePage); }

void* mapBlock(size_t bytes) {
  bytes = mappedSize(bytes);
  if (bytes < kHugePage) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
  }
  size_t span = bytes + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  uintptr_t start = roundUp(uintptr_t(raw), kHugePage);
  size_t head = start - uintptr_t(raw);
  if (head) munmap(raw, head);
  size_t tail = span - head - bytes;
  if (tail) munmap(reinterpret_cast<char*>(start) + bytes, tail);
  madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(start);
}

}  // namespace

void* podAllocate(size_t bytes) {
  if (bytes >= kMappedThreshold) return mapBlock(bytes);
  void* block = std::malloc(bytes ? bytes : 1);
  if (!block) throw std::bad_alloc();
  return block;
}

void* podReallocate(void* block, size_t oldBytes, size_t newBytes) {
  if (!block) return podAllocate(newBytes);
  if (oldBytes >= kMappedThreshold) {
    size_t oldSize = mappedSize(oldBytes), newSize = mappedSize(newBytes);
    if (newSize == oldSize) return block;
    void* moved;
    if (newSize < kHugePage && kMovesByRemap) {
      moved = mremap(block, oldSize, newSize, MREMAP_MAYMOVE);
    } else if (oldSize < kWholeHugePages || !kMovesByRemap) {
      moved = mapBlock(newSize);
      std::memcpy(moved, block, oldBytes < newBytes ? oldBytes : newBytes);
      munmap(block, oldSize);
      return moved;
    } else {
      // Huge pages move into a fresh aligned range without being copied.
      void* target = mapBlock(newSize);
      moved = mremap(block, oldSize, newSize, MREMAP_MAYMOVE | MREMAP_FIXED, target);
      if (moved == MAP_FAILED) munmap(target, newSize);
    }
    if (moved == MAP_FAILED) throw std::bad_alloc();
    if (newSize >= kHugePage) madvise(moved, newSize, MADV_HUGEPAGE);
    return moved;
  }
  if (newBytes >= kMappedThreshold) {
    void* mapped = mapBlock(newBytes);
    std::memcpy(mapped, block, oldBytes);
    std::free(block);
    return mapped;
  }
  void* grown = std::realloc(block, newBytes);
  if (!grown) throw std::bad_alloc();
  return grown;
}

void podFree(void* block, size_t bytes) {
  if (bytes >= kMappedThreshold)
    munmap(block, mappedSize(bytes));
  else
    std::free(block);
}

bool podIsMapped(size_t bytes) { return bytes >= kMappedThreshold; }

void podDiscard(void* block, size_t blockBytes, size_t bytes) {
  // A malloc block shares its pages with other blocks.
  if (blockBytes < kMappedThreshold) return;
  uintptr_t start = uintptr_t(block);  // mappings start on a page
  uintptr_t end = (start + bytes) & ~uintptr_t(4095);
  if (end > start) madvise(block, end - start, MADV_DONTNEED);
}

}  // namespace obj2mesh
