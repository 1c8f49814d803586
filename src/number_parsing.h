#pragma once

// The numbers of OBJ and MTL text, read from padded text in which every line
// ends at a line feed or a NUL byte. Digits are taken eight at a time from
// one word (SWAR); the padding after the text makes those loads safe.

#include <cstdint>
#include <cstring>

#include "pod_array.h"

namespace obj2mesh {

// Classes of text bytes, for scans that stop at any of several bytes.
enum CharClass : uint8_t {
  kBlank = 1,       // space, tab
  kReturn = 2,      // carriage return
  kLineEnd = 4,     // line feed, NUL: the end of a line's content
  kSlash = 8,       // '/'
  kWhiteSpace = 16  // C's isspace but the line feed: space, \t, \v, \f, \r
};

struct CharClasses {
  uint8_t of[256] = {};
  constexpr CharClasses() {
    set(" \t", kBlank | kWhiteSpace);
    set("\r", kReturn | kWhiteSpace);
    set("\v\f", kWhiteSpace);
    set("\n", kLineEnd);
    of[0] = kLineEnd;
    set("/", kSlash);
  }
  constexpr void set(const char* bytes, uint8_t classes) {
    for (; *bytes; ++bytes) of[uint8_t(*bytes)] = classes;
  }
};
inline constexpr CharClasses kCharClasses{};

inline bool is(char c, unsigned classes) { return kCharClasses.of[uint8_t(c)] & classes; }
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

// The word's bytes as digit values: bytes that were digits hold 0-9.
inline uint64_t digitBytes(uint64_t word) { return word - 0x3030303030303030ull; }

// The top bits of the bytes that are no digits, given digitBytes(word);
// exact up to the first of them. A byte outside 0-9 sets its top bit in
// `t` or in `t + 0x76`; borrows and carries only reach the bytes after it.
inline uint64_t nonDigitBits(uint64_t digits) {
  return (digits | (digits + 0x7676767676767676ull)) & 0x8080808080808080ull;
}

// How many of the bytes, from the first, are digits (0-8), given
// digitBytes(word).
inline unsigned leadingDigits(uint64_t digits) {
  const uint64_t nonDigits = nonDigitBits(digits);
  return nonDigits ? unsigned(__builtin_ctzll(nonDigits)) / 8 : 8;
}

// The value of eight digit values, the first byte the most significant.
inline uint32_t eightDigitsValue(uint64_t digits) {
  digits = (digits * 2561) >> 8;
  digits = ((digits & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
  return uint32_t(((digits & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32);
}

// The value of the first n (1-8) bytes of digitBytes(word), all digits.
inline uint32_t digitsValue(uint64_t digits, unsigned n) {
  // The digits move up; the bytes shifted in read as 0.
  return eightDigitsValue(digits << 8 * (8 - n));
}

// Numbers of "v", "vn", "vt" and material lines. A field is skipped to
// (spaces and tabs), read up to the next space, tab, carriage return or line
// end, and `p` is left at its end. The value is the longest prefix of
//   [+-] digits [. digits*] [(e|E) [+-] digits]
// accumulated in double precision digit by digit (the results, including
// their rare one-ulp departures from correct rounding, are part of the
// output); an invalid field gives +0.
float parseNumberField(const char*& p);
// The run of lines at p that start with `keyword` ("v", "vn" or "vt") and
// a blank: `Fields` (2 or 3) fields each, appended to `values`. A line that does not
// end right after its last field ends the run, so does the end of the
// text; returns where the reading of the run's last line stopped and adds
// the lines after the first to `lines`.
template <size_t Fields = 3, size_t N>
const char* parseVectorLines(const char* p, const char (&keyword)[N], PodArray<float>& values, uint64_t& lines);

// An integer as C's atoi reads it: leading white space, an optional sign,
// then digits; no digits gives 0. The value saturates far outside the
// 32-bit range instead of overflowing.
int64_t parseIndexInteger(const char* p);

// The common face index: one to seven digits, no sign. Returns the
// position after the digits and sets `value`, or returns nullptr for any
// other text (read that with parseIndexInteger).
inline const char* readPlainIndex(const char* p, uint32_t& value) {
  const uint64_t digits = digitBytes(loadWord(p));
  const uint64_t nonDigits = nonDigitBits(digits);
  if (nonDigits == 0) return nullptr;
  // The top bit of the first byte that is no digit: 8n + 7 after n digits,
  // so the shift of digitsValue, 64 - 8n, is 7 - top modulo 64.
  const unsigned top = unsigned(__builtin_ctzll(nonDigits));
  if (top < 8) return nullptr;
  value = eightDigitsValue(digits << ((7 - top) & 63));
  return p + top / 8;
}

}  // namespace obj2mesh
