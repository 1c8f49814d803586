#pragma once

#include <cstdint>

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }
// The white space of C's isspace in the "C" locale.
inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) { return unsigned(c - '0') < 10; }

// Numbers of "v", "vn", "vt" and material lines. A field is skipped to
// (spaces and tabs), read up to the next space, tab or carriage return, and
// `p` is left at its end. The value is the longest prefix of
//   [+-] digits [. digits*] [(e|E) [+-] digits]
// accumulated in double precision digit by digit (the results, including
// their rare one-ulp departures from correct rounding, are part of the
// output); an invalid field gives +0.
float parseNumberField(const char*& p, const char* end);
double parseNumber(const char* begin, const char* end, bool& valid);
// The same, leaving `p` after the characters the grammar read.
double parseNumberPrefix(const char*& p, const char* end, bool& valid);

// 10^-k as pow(10.0, -k) gives it, for the k-th fraction digit.
double negativePowerOfTen(int k);

// An integer as C's atoi reads it: leading white space, an optional sign,
// then digits; no digits gives 0. The value saturates far outside the
// 32-bit range instead of overflowing. `p` is not moved.
int64_t parseIndexInteger(const char* p, const char* end);

// One index of a face corner: its atoi value, and the position of the next
// '/', space, tab or carriage return at or after p (where the corner's
// reading goes on).
inline const char* readCornerInteger(const char* p, const char* end, int64_t& value) {
  constexpr int64_t kLimit = int64_t(1) << 40;
  const char* q = p;
  bool negative = false;
  if (q != end && (*q == '-' || *q == '+')) {
    negative = *q == '-';
    ++q;
  }
  if (q != end && isDigit(*q)) {
    int64_t v = 0;
    for (; q != end && isDigit(*q); ++q)
      if (v < kLimit) v = v * 10 + (*q - '0');
    value = negative ? -v : v;
  } else {
    // Leading white space, which atoi skips but the corner scan stops at.
    value = parseIndexInteger(p, end);
    q = p;
  }
  while (q != end && *q != '/' && *q != ' ' && *q != '\t' && *q != '\r') ++q;
  return q;
}
