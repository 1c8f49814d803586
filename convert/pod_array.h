#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>

// Raw storage for PodArray. Small blocks come from malloc; large ones get
// their own mapping, so growing one moves page tables (mremap) instead of
// copying bytes, and they ask for transparent huge pages: on this kind of
// machine first touches of 4 KiB pages cost more than parsing does.
void* podAllocate(size_t bytes);
void* podReallocate(void* block, size_t oldBytes, size_t newBytes);
void podFree(void* block, size_t bytes);
// Returns the whole pages inside [block, block + bytes) to the system.
void podDiscard(void* block, size_t bytes);

// A large reservation of address space from which consecutive arrays are
// carved. Only the newest array grows, into the untouched space after it,
// so arrays that fill one after another share huge pages and never move.
struct ArrayZone {
  char* base = nullptr;
  size_t reserved = 0;
  size_t used = 0;
};
// False, leaving the zone empty, when the address space is not available;
// arrays then simply own their memory.
bool reserveZone(ArrayZone& zone, size_t bytes);
void releaseZone(ArrayZone& zone);

// A growable array of trivially copyable values: the flat attribute and
// index lists of the loader, the shapes and the welding cache.
template <class T>
struct PodArray {
  static_assert(std::is_trivially_copyable<T>::value, "PodArray holds plain values");

  T* ptr = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  bool borrowed = false;  // the storage belongs to an ArrayZone

  PodArray() = default;
  PodArray(std::initializer_list<T> values) { append(values.begin(), values.size()); }
  PodArray(const PodArray& other) { append(other.ptr, other.count); }
  PodArray(PodArray&& other) noexcept
      : ptr(other.ptr), count(other.count), capacity(other.capacity), borrowed(other.borrowed) {
    other.ptr = nullptr;
    other.count = other.capacity = 0;
    other.borrowed = false;
  }
  PodArray& operator=(const PodArray& other) {
    if (this != &other) {
      count = 0;
      append(other.ptr, other.count);
    }
    return *this;
  }
  PodArray& operator=(PodArray&& other) noexcept {
    if (this != &other) {
      release();
      ptr = other.ptr;
      count = other.count;
      capacity = other.capacity;
      borrowed = other.borrowed;
      other.ptr = nullptr;
      other.count = other.capacity = 0;
      other.borrowed = false;
    }
    return *this;
  }
  ~PodArray() { release(); }

  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  T* data() { return ptr; }
  const T* data() const { return ptr; }
  T* begin() { return ptr; }
  T* end() { return ptr + count; }
  const T* begin() const { return ptr; }
  const T* end() const { return ptr + count; }
  T& operator[](size_t i) { return ptr[i]; }
  const T& operator[](size_t i) const { return ptr[i]; }
  T& back() { return ptr[count - 1]; }

  void reserve(size_t wanted) {
    if (wanted <= capacity) return;
    if (borrowed) {
      // The zone is full: continue in memory of its own.
      T* own = static_cast<T*>(podAllocate(wanted * sizeof(T)));
      if (count) std::memcpy(static_cast<void*>(own), ptr, count * sizeof(T));
      ptr = own;
      borrowed = false;
    } else {
      ptr = static_cast<T*>(podReallocate(ptr, capacity * sizeof(T), wanted * sizeof(T)));
    }
    capacity = wanted;
  }
  // Room for `extra` more values, growing geometrically.
  void grow(size_t extra) {
    if (count + extra <= capacity) return;
    size_t wanted = capacity < 16 ? 16 : capacity * 2;
    if (wanted < count + extra) wanted = count + extra;
    reserve(wanted);
  }
  void push_back(const T& value) {
    if (count == capacity) grow(1);
    ptr[count++] = value;
  }
  void append(const T* values, size_t n) {
    if (n == 0) return;
    grow(n);
    std::memcpy(static_cast<void*>(ptr + count), values, n * sizeof(T));
    count += n;
  }
  // Appends n values and returns where they go; the caller fills them.
  T* extend(size_t n) {
    grow(n);
    T* at = ptr + count;
    count += n;
    return at;
  }
  void resize(size_t n) {
    reserve(n);
    if (n > count) std::memset(static_cast<void*>(ptr + count), 0, (n - count) * sizeof(T));
    count = n;
  }
  void clear() { count = 0; }
  void release() {
    if (borrowed)
      podDiscard(ptr, capacity * sizeof(T));
    else if (ptr)
      podFree(ptr, capacity * sizeof(T));
    ptr = nullptr;
    count = capacity = 0;
    borrowed = false;
  }
};

// Starts the empty `array` at the free end of `zone`.
template <class T>
void openInZone(PodArray<T>& array, ArrayZone& zone) {
  if (!zone.base || array.ptr) return;
  array.ptr = reinterpret_cast<T*>(zone.base + zone.used);
  array.capacity = (zone.reserved - zone.used) / sizeof(T);
  array.borrowed = true;
}

// Ends `array`'s growth: the zone's next array starts after it.
template <class T>
void closeInZone(PodArray<T>& array, ArrayZone& zone) {
  if (!array.borrowed || reinterpret_cast<char*>(array.ptr) != zone.base + zone.used) return;
  zone.used += (array.count * sizeof(T) + 63) & ~size_t(63);
  array.capacity = array.count;
}

template <class T>
bool operator==(const PodArray<T>& a, const PodArray<T>& b) {
  if (a.count != b.count) return false;
  for (size_t i = 0; i < a.count; ++i)
    if (!(a.ptr[i] == b.ptr[i])) return false;
  return true;
}
