// Number fields and face indices, digits taken eight at a time, and the
// runs of vector lines built on them (see number_parsing.h).

#include "number_parsing.h"

#include <cmath>
#include <cstring>

namespace obj2mesh {
namespace {

constexpr int kPowerTable = 64;
// Fraction digits read from one word, whose terms come from a table.
constexpr int kWordDigits = 8;
// Saturating the exponent keeps it well inside int while giving the same
// infinity or zero as the exact value would.
constexpr int kExponentLimit = 100000;

// Filled from pow itself, so the tables hold exactly what pow returns.
struct PowerTables {
  double tenths[kPowerTable];         // pow(10, -k)
  double fives[2 * kPowerTable + 1];  // pow(5, e) for e in [-64, 64]
  // terms[k - 1]['0' + d] = d * pow(10, -k): the rounded product that the
  // k-th fraction digit d adds, for the first eight fraction digits; rows
  // are indexed by the digit's byte.
  double terms[kWordDigits]['9' + 1];
  PowerTables() {
    for (int k = 0; k < kPowerTable; ++k) tenths[k] = std::pow(10.0, -k);
    for (int e = -kPowerTable; e <= kPowerTable; ++e) fives[e + kPowerTable] = std::pow(5.0, e);
    for (int k = 1; k <= kWordDigits; ++k)
      for (int d = 0; d < 10; ++d) terms[k - 1]['0' + d] = double(d) * tenths[k];
  }
};

// Built before main; nothing parses numbers during static initialisation.
const PowerTables powers;

inline double powerOfFive(int e) {
  if (e >= -kPowerTable && e <= kPowerTable) return powers.fives[e + kPowerTable];
  return std::pow(5.0, e);
}

// mantissa += d_k * 10^-k for the first N fraction digits, in order.
template <int N>
inline double addFraction(double mantissa, const char* digits) {
  for (int k = 0; k < N; ++k) mantissa += powers.terms[k][uint8_t(digits[k])];
  return mantissa;
}

// Integer parts of eight digits or more. Up to 15 digits the double
// accumulation is exact, so an integer accumulator gives the same value.
double longInteger(const char*& s) {
  const char* digitsStart = s;
  uint64_t whole = 0;
  while (isDigit(*s) && s - digitsStart < 15) whole = whole * 10 + uint64_t(*s++ - '0');
  double mantissa = double(whole);
  while (isDigit(*s)) mantissa = mantissa * 10 + double(*s++ - '0');
  return mantissa;
}

// Fraction digits from the ninth on.
double longFraction(const char*& s, double mantissa) {
  int k = kWordDigits + 1;
  for (; k < kPowerTable && isDigit(*s); ++s, ++k) mantissa += double(*s - '0') * powers.tenths[k];
  for (; isDigit(*s); ++s, ++k) mantissa += double(*s - '0') * std::pow(10.0, -k);
  return mantissa;
}

// The grammar's prefix at s; `s` is left after what was read.
__attribute__((always_inline)) inline double readNumber(const char*& s) {
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  const uint64_t digits = digitBytes(loadWord(s));
  unsigned n = leadingDigits(digits);
  if (n == 0) return 0.0;
  double mantissa;
  if (n < 8) {
    // Short integer parts, the most common, cost less digit by digit.
    mantissa = double(n == 1 ? uint32_t(s[0] - '0')
                      : n == 2 ? uint32_t(s[0] - '0') * 10 + uint32_t(s[1] - '0')
                               : digitsValue(digits, n));
    s += n;
  } else {
    mantissa = longInteger(s);
  }

  if (*s == '.') {
    ++s;
    const char* fraction = s;
    n = leadingDigits(digitBytes(loadWord(s)));
    s += n;
    switch (n) {
      case 1: mantissa = addFraction<1>(mantissa, fraction); break;
      case 2: mantissa = addFraction<2>(mantissa, fraction); break;
      case 3: mantissa = addFraction<3>(mantissa, fraction); break;
      case 4: mantissa = addFraction<4>(mantissa, fraction); break;
      case 5: mantissa = addFraction<5>(mantissa, fraction); break;
      case 6: mantissa = addFraction<6>(mantissa, fraction); break;
      case 7: mantissa = addFraction<7>(mantissa, fraction); break;
      case 8: mantissa = longFraction(s, addFraction<8>(mantissa, fraction)); break;
      default: break;
    }
  }

  int exponent = 0;
  if (*s == 'e' || *s == 'E') {
    ++s;
    bool negativeExponent = false;
    if (*s == '+' || *s == '-') {
      negativeExponent = *s == '-';
      ++s;
    }
    if (!isDigit(*s)) return 0.0;
    for (; isDigit(*s); ++s)
      if (exponent < kExponentLimit) exponent = exponent * 10 + (*s - '0');
    if (negativeExponent) exponent = -exponent;
  }

  // The sign multiplies: "-0" gives -0. A zero mantissa stays a (signed)
  // zero even where 5^e overflows.
  if (exponent == 0 || mantissa == 0.0) return negative ? -mantissa : mantissa;
  const double value = std::ldexp(mantissa * powerOfFive(exponent), exponent);
  // An infinite mantissa times a zero power is a NaN, which keeps its sign
  // in a product. Written out, as compilers turn a product by -1 into a
  // negation.
  return negative && !std::isnan(value) ? -value : value;
}

__attribute__((always_inline)) inline float numberField(const char*& p) {
  while (is(*p, kBlank)) ++p;
  // No character of a number is a field delimiter, so the prefix can be
  // read before the field's end is known; the end is then found from there.
  double value = readNumber(p);
  while (!is(*p, kBlank | kReturn | kLineEnd)) ++p;
  return float(value);
}

}  // namespace

float parseNumberField(const char*& p) { return numberField(p); }

template <size_t Fields, size_t N>
const char* parseVectorLines(const char* p, const char (&keyword)[N], PodArray<float>& values, uint64_t& lines) {
  constexpr size_t kSize = N - 1;
  for (;;) {
    p += kSize + 1;
    float* out = values.extend(Fields);
    out[0] = numberField(p);
    out[1] = numberField(p);
    if constexpr (Fields == 3) out[2] = numberField(p);
    // A NUL follows `end`, so no line starts there.
    if (*p != '\n' || std::memcmp(p + 1, keyword, kSize) != 0 || !isBlank(p[1 + kSize])) return p;
    ++p;
    ++lines;
  }
}

template const char* parseVectorLines<3>(const char*, const char (&)[2], PodArray<float>&, uint64_t&);
template const char* parseVectorLines<3>(const char*, const char (&)[3], PodArray<float>&, uint64_t&);
template const char* parseVectorLines<2>(const char*, const char (&)[3], PodArray<float>&, uint64_t&);

int64_t parseIndexInteger(const char* p) {
  constexpr int64_t kLimit = int64_t(1) << 40;
  while (is(*p, kWhiteSpace)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int64_t value = 0;
  for (; isDigit(*p); ++p)
    if (value < kLimit) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

}  // namespace obj2mesh
