#include "pod_array.h"

#include <sys/mman.h>

#include <cstdlib>

namespace {

constexpr size_t kMappedThreshold = size_t(1) << 20;

void* mapBlock(size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
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
    void* moved = mremap(block, oldBytes, newBytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    madvise(moved, newBytes, MADV_HUGEPAGE);
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
    munmap(block, bytes);
  else
    std::free(block);
}
