#pragma once

#include <cstddef>
#include <cstring>

// Splits text into lines for the OBJ and MTL readers. A line ends at a line
// feed; one carriage return right before it (or at the very end of the
// input) is dropped, while a carriage return elsewhere stays in the line. A
// NUL byte ends the content of its line. Lines may be of any length.
//
// The OBJ reader keeps this many readable bytes after the data it passes
// here, so a line's readers may look a few bytes past its end (a line's
// content is always followed by a line feed, carriage return or NUL).
constexpr size_t kLinePadding = 16;

// Calls onLine(begin, end) with each line's content, up to the last line
// feed of `data`, or to its end when `atEnd` says no more data follows.
// Returns the number of bytes consumed; the rest is an unfinished line.
template <class OnLine>
size_t forEachLine(const char* data, size_t size, bool atEnd, OnLine&& onLine) {
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
