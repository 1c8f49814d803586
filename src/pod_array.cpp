#include "pod_array.h"

#include <sys/mman.h>

#include <cstdint>
#include <algorithm>
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
// pages, even after it moves: a grown block keeps at most one such range,
// which costs less than copying the block into a fresh mapping.
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
    } else if (!kMovesByRemap) {
      // A copy into a fresh mapping, which ThreadSanitizer sees.
      moved = mapBlock(newSize);
      std::memcpy(moved, block, oldBytes < newBytes ? oldBytes : newBytes);
      munmap(block, oldSize);
      return moved;
    } else {
      // Pages move into a fresh aligned range without being copied.
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
  if (bytes >= kMappedThreshold) {
    // A placed block starts `lead` bytes into its first page.
    const size_t lead = uintptr_t(block) & 4095;
    munmap(static_cast<char*>(block) - lead, mappedSize(bytes + lead));
  } else {
    std::free(block);
  }
}

bool podIsMapped(size_t bytes) { return bytes >= kMappedThreshold; }

bool podMovesPages(size_t bytes) { return bytes >= kMappedThreshold && kMovesByRemap; }

void* podAllocatePlaced(size_t bytes, size_t offset) {
  const size_t lead = (0 - offset) & 4095, size = mappedSize(bytes + lead), span = size + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  // base + lead + offset is a huge-page boundary, and base a page boundary.
  const uintptr_t base = roundUp(uintptr_t(raw) + lead + offset, kHugePage) - lead - offset;
  const size_t head = base - uintptr_t(raw), tail = span - head - size;
  if (head) munmap(raw, head);
  if (tail) munmap(reinterpret_cast<char*>(base) + size, tail);
  madvise(reinterpret_cast<void*>(base), size, MADV_HUGEPAGE);
  return reinterpret_cast<char*>(base) + lead;
}

namespace {

// Moves the first `bytes` (whole pages) of the mapped block to `target`.
bool movePrefix(void* block, size_t bytes, void* target) {
  return bytes == 0 || mremap(block, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target) != MAP_FAILED;
}

void unmapAfter(void* block, size_t blockBytes, size_t moved) {
  const size_t size = mappedSize(blockBytes);
  if (moved < size) munmap(static_cast<char*>(block) + moved, size - moved);
}

}  // namespace

void podMovePages(void* block, size_t blockBytes, size_t bytes, void* target, size_t room) {
  size_t moved = 0;
  if (podMovesPages(blockBytes)) {
    moved = std::min(roundUp(bytes, 4096), room & ~size_t(4095));
    if (!movePrefix(block, moved, target)) moved = 0;
  }
  if (moved < bytes) std::memcpy(static_cast<char*>(target) + moved, static_cast<char*>(block) + moved, bytes - moved);
  if (podMovesPages(blockBytes))
    unmapAfter(block, blockBytes, moved);
  else
    podFree(block, blockBytes);
}

size_t podGivePages(void* block, size_t blockBytes, void* target, size_t room) {
  if (!block) return 0;
  if (!podMovesPages(blockBytes)) {
    podFree(block, blockBytes);
    return 0;
  }
  size_t moved = std::min(mappedSize(blockBytes), room & ~size_t(4095));
  if (!movePrefix(block, moved, target)) moved = 0;
  unmapAfter(block, blockBytes, moved);
  return moved;
}

void podDiscard(void* block, size_t blockBytes, size_t bytes) {
  // A malloc block shares its pages with other blocks.
  if (blockBytes < kMappedThreshold) return;
  uintptr_t start = uintptr_t(block);  // mappings start on a page
  uintptr_t end = (start + bytes) & ~uintptr_t(4095);
  if (end > start) madvise(block, end - start, MADV_DONTNEED);
}

}  // namespace obj2mesh
