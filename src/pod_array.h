#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace obj2mesh {

// Raw storage for PodArray. Small blocks come from malloc; large ones get
// their own mapping, so growing one moves page tables (mremap) instead of
// copying bytes, and they ask for transparent huge pages, whose first
// touches cost far less than those of 4 KiB pages.
void* podAllocate(size_t bytes);
void* podReallocate(void* block, size_t oldBytes, size_t newBytes);
void podFree(void* block, size_t bytes);
// Whether a block of `bytes` is a mapping of its own: one that grows with
// pages that read as zeros.
bool podIsMapped(size_t bytes);
// Returns the whole pages among the first `bytes` of a block of
// `blockBytes` to the system; they read as zeros afterwards.
void podDiscard(void* block, size_t blockBytes, size_t bytes);

// A growable array of trivially copyable values: the file-wide lists of a
// load and of its shapes. It exists for the growth by mremap, which
// std::vector cannot do; it is never copied.
template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable<T>::value, "PodArray holds plain values");

 public:
  PodArray() = default;
  PodArray(const PodArray&) = delete;
  PodArray& operator=(const PodArray&) = delete;
  PodArray(PodArray&& other) noexcept : ptr_(other.ptr_), count_(other.count_), capacity_(other.capacity_) {
    other.ptr_ = nullptr;
    other.count_ = other.capacity_ = 0;
  }
  PodArray& operator=(PodArray&& other) noexcept {
    if (this != &other) {
      release();
      ptr_ = other.ptr_;
      count_ = other.count_;
      capacity_ = other.capacity_;
      other.ptr_ = nullptr;
      other.count_ = other.capacity_ = 0;
    }
    return *this;
  }
  ~PodArray() { release(); }

  size_t size() const { return count_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return count_ == 0; }
  T* data() { return ptr_; }
  const T* data() const { return ptr_; }
  T* begin() { return ptr_; }
  T* end() { return ptr_ + count_; }
  const T* begin() const { return ptr_; }
  const T* end() const { return ptr_ + count_; }
  T& operator[](size_t i) { return ptr_[i]; }
  const T& operator[](size_t i) const { return ptr_[i]; }
  T& back() { return ptr_[count_ - 1]; }
  const T& back() const { return ptr_[count_ - 1]; }

  void reserve(size_t wanted) {
    if (wanted <= capacity_) return;
    ptr_ = static_cast<T*>(podReallocate(ptr_, capacity_ * sizeof(T), wanted * sizeof(T)));
    capacity_ = wanted;
  }
  void push_back(const T& value) {
    if (count_ == capacity_) grow(1);
    ptr_[count_++] = value;
  }
  // Appends n values and returns where they go; the caller fills them.
  T* extend(size_t n) {
    grow(n);
    T* at = ptr_ + count_;
    count_ += n;
    return at;
  }
  // Room for `extra` more values, which the caller writes from end() on
  // and then counts with setEnd.
  void reserveMore(size_t extra) { grow(extra); }
  void setEnd(T* end) { count_ = size_t(end - ptr_); }
  // Grows with zeros, or shrinks.
  void resize(size_t n) {
    if (n > count_) {
      // Values up to the capacity may have been written before; a mapping
      // grows with pages that read as zeros.
      const size_t written = n < capacity_ ? n : capacity_;
      reserve(n);
      std::memset(static_cast<void*>(ptr_ + count_), 0, (written - count_) * sizeof(T));
      if (n > written && !podIsMapped(capacity_ * sizeof(T)))
        std::memset(static_cast<void*>(ptr_ + written), 0, (n - written) * sizeof(T));
    }
    count_ = n;
  }
  void clear() { count_ = 0; }
  // Gives the memory of the first n values back to the system, for values
  // that will not be read again; they read as zeros afterwards.
  void discardFront(size_t n) {
    if (ptr_) podDiscard(ptr_, capacity_ * sizeof(T), n * sizeof(T));
  }
  void release() {
    if (ptr_) podFree(ptr_, capacity_ * sizeof(T));
    ptr_ = nullptr;
    count_ = capacity_ = 0;
  }
  // Hands the storage over to the caller, who frees it with podFree (or
  // grows it with podReallocate) given `bytes`; the array is left empty.
  void* detach(size_t& bytes) {
    void* block = ptr_;
    bytes = capacity_ * sizeof(T);
    ptr_ = nullptr;
    count_ = capacity_ = 0;
    return block;
  }

 private:
  // Room for `extra` more values, growing geometrically.
  void grow(size_t extra) {
    if (count_ + extra <= capacity_) return;
    size_t wanted = capacity_ < 16 ? 16 : capacity_ * 2;
    if (wanted < count_ + extra) wanted = count_ + extra;
    reserve(wanted);
  }

  T* ptr_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
};

}  // namespace obj2mesh
