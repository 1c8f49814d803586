#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace obj2mesh {

// Text followed by kTextPadding zero bytes. The statement readers load
// eight bytes at a time and may so look up to that many bytes past a
// line's end; the padding makes those loads safe anywhere in the text.
constexpr size_t kTextPadding = 16;

class PaddedText {
 public:
  PaddedText() = default;
  explicit PaddedText(std::string_view text) {
    reserve(text.size());
    if (!text.empty()) std::memcpy(data_.get(), text.data(), text.size());
    resize(text.size());
  }

  const char* data() const { return data_ ? data_.get() : kEmpty; }
  char* data() { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data(), size_}; }

  // Room for `capacity` bytes of text; the text so far is kept.
  void reserve(size_t capacity) {
    if (capacity <= capacity_ && data_) return;
    std::unique_ptr<char[]> larger(new char[capacity + kTextPadding]);
    if (size_) std::memcpy(larger.get(), data_.get(), size_);
    std::memset(larger.get() + size_, 0, kTextPadding);
    data_ = std::move(larger);
    capacity_ = capacity;
  }
  // The first n (at most capacity()) bytes become the text; the padding
  // follows them.
  void resize(size_t n) {
    if (!data_) reserve(n);
    size_ = n;
    std::memset(data_.get() + n, 0, kTextPadding);
  }

 private:
  static constexpr char kEmpty[kTextPadding] = {};
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Splits text into lines for the OBJ and MTL readers. A line ends at a line
// feed; one carriage return right before it (or at the very end of the
// input) is dropped, while a carriage return elsewhere stays in the line. A
// NUL byte ends the content of its line. Lines may be of any length.
//
// Calls onLine(begin, end) with each line's content from `text`'s start up
// to its last line feed, or to its end when `atEnd` says no more text
// follows; onLine returns false to stop. Returns the number of bytes
// consumed; the rest is an unfinished line. Every line's content is
// followed by a line feed, carriage return, NUL or the padding.
template <class OnLine>
size_t forEachLine(const PaddedText& text, bool atEnd, OnLine&& onLine) {
  const char* data = text.data();
  const size_t size = text.size();
  const char* p = data;
  const char* end = data + size;
  const char* nul = size ? static_cast<const char*>(std::memchr(data, 0, size)) : nullptr;
  if (!nul) nul = end;
  while (p < end) {
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    if (!newline && !atEnd) break;
    const char* lineEnd = newline ? newline : end;
    const char* contentEnd = lineEnd;
    if (nul < lineEnd) {
      contentEnd = nul;
      const char* next = lineEnd == end ? nullptr
                                        : static_cast<const char*>(std::memchr(lineEnd, 0, size_t(end - lineEnd)));
      nul = next ? next : end;
    } else if (contentEnd > p && contentEnd[-1] == '\r') {
      --contentEnd;
    }
    if (!onLine(p, contentEnd)) return size_t(lineEnd - data);
    p = newline ? newline + 1 : end;
  }
  return size_t(p - data);
}

// Of `n` bytes just read (at `fresh`, right after the text read before
// them), keeps those that a NUL does not hide and returns how many: a NUL
// hides the rest of its line, which no reader looks at, so an input that
// never ends a line after a NUL (/dev/zero) takes no memory. `hidden` says
// whether the text so far ends among hidden bytes; it carries over from one
// call to the next.
inline size_t keepVisible(char* fresh, size_t n, bool& hidden) {
  if (hidden) {
    const char* newline = static_cast<const char*>(std::memchr(fresh, '\n', n));
    if (!newline) return 0;
    n -= size_t(newline - fresh);
    std::memmove(fresh, newline, n);
    hidden = false;
  }
  // Only the unfinished line at the end can grow; a NUL in it ends what is
  // kept of it.
  const char* lastNewline = static_cast<const char*>(memrchr(fresh, '\n', n));
  const size_t lineStart = lastNewline ? size_t(lastNewline - fresh) + 1 : 0;
  if (const void* nul = std::memchr(fresh + lineStart, 0, n - lineStart)) {
    n = size_t(static_cast<const char*>(nul) - fresh) + 1;
    hidden = true;
  }
  return n;
}

}  // namespace obj2mesh
