#pragma once

#include <cstring>
#include <string>

#include "number_parsing.h"

namespace obj2mesh {

// If the text at p starts with `keyword` followed by a space or tab,
// returns the position just after that blank; otherwise nullptr.
template <size_t N>
inline const char* afterKeyword(const char* p, const char* end, const char (&keyword)[N]) {
  constexpr size_t n = N - 1;
  if (size_t(end - p) <= n || std::memcmp(p, keyword, n) != 0 || !isBlank(p[n])) return nullptr;
  return p + n + 1;
}

// The first word at p: leading white space is skipped and the word ends at
// the next white space (any of C's isspace).
inline std::string firstWord(const char* p, const char* end) {
  while (p != end && isSpace(*p)) ++p;
  const char* start = p;
  while (p != end && !isSpace(*p)) ++p;
  return std::string(start, p);
}

}  // namespace obj2mesh
