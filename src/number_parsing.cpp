#include "number_parsing.h"

#include <cmath>

namespace obj2mesh {
namespace {

constexpr int kPowerTable = 64;
// Saturating the exponent keeps it well inside int while giving the same
// infinity or zero as the exact value would.
constexpr int kExponentLimit = 100000;

// Filled from pow itself, so the tables hold exactly what pow returns.
struct PowerTables {
  double tenths[kPowerTable];   // pow(10, -k)
  double fives[2 * kPowerTable + 1];  // pow(5, e) for e in [-64, 64]
  PowerTables() {
    for (int k = 0; k < kPowerTable; ++k) tenths[k] = std::pow(10.0, -k);
    for (int e = -kPowerTable; e <= kPowerTable; ++e) fives[e + kPowerTable] = std::pow(5.0, e);
  }
};

// Built before main; nothing parses numbers during static initialisation.
const PowerTables powers;

inline double powerOfFive(int e) {
  if (e >= -kPowerTable && e <= kPowerTable) return powers.fives[e + kPowerTable];
  return std::pow(5.0, e);
}

// The grammar's prefix at s; `s` is left after what was read. The text is
// padded, so digits can be taken eight at a time.
double readNumber(const char*& s, const char* end) {
  if (s >= end) return 0.0;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  if (s == end || !isDigit(*s)) return 0.0;

  // Up to 15 digits the double accumulation is exact, so an integer
  // accumulator gives the same value.
  const char* digitsStart = s;
  uint64_t whole = 0;
  uint64_t word = loadWord(s);
  unsigned n = leadingDigits(word);
  if (n < 8 && s + n <= end) {
    whole = digitsValue(word, n);
    s += n;
  }
  while (s != end && isDigit(*s) && s - digitsStart < 15) whole = whole * 10 + uint64_t(*s++ - '0');
  double mantissa = double(whole);
  while (s != end && isDigit(*s)) mantissa = mantissa * 10 + double(*s++ - '0');

  if (s != end && *s == '.') {
    ++s;
    int k = 1;
    for (; k < kPowerTable && s != end && isDigit(*s); ++s, ++k) mantissa += double(*s - '0') * powers.tenths[k];
    for (; s != end && isDigit(*s); ++s, ++k) mantissa += double(*s - '0') * std::pow(10.0, -k);
  }

  int exponent = 0;
  if (s != end && (*s == 'e' || *s == 'E')) {
    ++s;
    bool negativeExponent = false;
    if (s != end && (*s == '+' || *s == '-')) {
      negativeExponent = *s == '-';
      ++s;
    }
    if (s == end || !isDigit(*s)) return 0.0;
    for (; s != end && isDigit(*s); ++s)
      if (exponent < kExponentLimit) exponent = exponent * 10 + (*s - '0');
    if (negativeExponent) exponent = -exponent;
  }

  // A zero mantissa stays a (signed) zero even where 5^e overflows.
  double value = (exponent == 0 || mantissa == 0.0)
                     ? mantissa
                     : std::ldexp(mantissa * powerOfFive(exponent), exponent);
  // A multiplication, not a negation: it keeps the sign of a NaN as it is.
  return (negative ? -1.0 : 1.0) * value;
}

}  // namespace

float parseNumberField(const char*& p, const char* end) {
  while (p != end && isBlank(*p)) ++p;
  // No character of a number is a field delimiter, so the prefix can be
  // read before the field's end is known; the end is then found from there.
  double value = readNumber(p, end);
  while (p != end && !isBlank(*p) && *p != '\r') ++p;
  return float(value);
}

int64_t parseIndexInteger(const char* p, const char* end) {
  constexpr int64_t kLimit = int64_t(1) << 40;
  while (p != end && isSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int64_t value = 0;
  for (; p != end && isDigit(*p); ++p)
    if (value < kLimit) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

}  // namespace obj2mesh
