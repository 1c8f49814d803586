#pragma once

#include <cstdint>
#include <cstring>

namespace obj2mesh {

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }
// The white space of C's isspace in the "C" locale.
inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) { return unsigned(c - '0') < 10; }

// Eight bytes of text at p as one little-endian word.
inline uint64_t loadWord(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// How many of the word's bytes, from its first, are decimal digits (0-8).
// A byte's carry from the +6 can only reach bytes after a non-digit.
inline unsigned leadingDigits(uint64_t word) {
  uint64_t highNibble = (word & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
  uint64_t lowNibble = ((word + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
  uint64_t nonDigits = highNibble | lowNibble;
  return nonDigits ? unsigned(__builtin_ctzll(nonDigits)) / 8 : 8;
}

// The value of the word's first n (1-8) bytes, all digits.
inline uint32_t digitsValue(uint64_t word, unsigned n) {
  word <<= 8 * (8 - n);  // the digits move up; the bytes shifted in read as 0
  word = ((word & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;
  word = ((word & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
  return uint32_t(((word & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32);
}

// Numbers of "v", "vn", "vt" and material lines. A field is skipped to
// (spaces and tabs), read up to the next space, tab or carriage return, and
// `p` is left at its end. The value is the longest prefix of
//   [+-] digits [. digits*] [(e|E) [+-] digits]
// accumulated in double precision digit by digit (the results, including
// their rare one-ulp departures from correct rounding, are part of the
// output); an invalid field gives +0. The text must be a PaddedText's.
float parseNumberField(const char*& p, const char* end);

// An integer as C's atoi reads it: leading white space, an optional sign,
// then digits; no digits gives 0. The value saturates far outside the
// 32-bit range instead of overflowing. `p` is not moved.
int64_t parseIndexInteger(const char* p, const char* end);

// One index of a face corner: its atoi value, and the position of the next
// '/', space, tab or carriage return at or after p (where the corner's
// reading goes on). The text must be a PaddedText's.
inline const char* readCornerInteger(const char* p, const char* end, int64_t& value) {
  const char* q = p;
  bool negative = false;
  if (q != end && (*q == '-' || *q == '+')) {
    negative = *q == '-';
    ++q;
  }
  if (q != end && isDigit(*q)) {
    // Up to 18 digits cannot overflow; longer runs are read again with
    // saturation (they are out of range either way).
    uint64_t word = loadWord(q);
    unsigned n = leadingDigits(word);
    if (n < 8 && q + n <= end) {
      int64_t v = digitsValue(word, n);
      value = negative ? -v : v;
      q += n;
    } else {
      const char* digits = q;
      uint64_t v = 0;
      for (; q != end && isDigit(*q); ++q) v = v * 10 + unsigned(*q - '0');
      value = q - digits <= 18 ? (negative ? -int64_t(v) : int64_t(v)) : parseIndexInteger(p, end);
    }
  } else {
    // Leading white space, which atoi skips but the corner scan stops at.
    value = parseIndexInteger(p, end);
    q = p;
  }
  while (q != end && *q != '/' && *q != ' ' && *q != '\t' && *q != '\r') ++q;
  return q;
}

}  // namespace obj2mesh
