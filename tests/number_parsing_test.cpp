// Numbers of "v", "vn", "vt" and material lines. The values are part of the
// output, bit for bit, including the digit-by-digit double accumulation's
// occasional one-ulp departures from correct rounding.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "number_parsing.h"

namespace {

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}
uint64_t bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

double parse(const std::string& text, bool& valid) { return parseNumber(text.data(), text.data() + text.size(), valid); }

// The grammar written out plainly, with pow for every scale factor:
//   [+-] digits [. digits*] [(e|E) [+-] digits]
// mantissa = mantissa * 10 + digit over the integer digits, the k-th
// fraction digit adds digit * 10^-k, an exponent multiplies by 5^e and then
// by 2^e, and the sign multiplies the result. A zero mantissa stays a signed
// zero whatever the exponent; exponent digits past a large bound change
// nothing (the result is already inf or 0).
double referenceParse(const std::string& s, bool& valid) {
  valid = false;
  size_t i = 0;
  double sign = 1;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
  if (i == s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return 0;
  double mantissa = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) mantissa = mantissa * 10 + (s[i++] - '0');
  if (i < s.size() && s[i] == '.') {
    ++i;
    for (int k = 1; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++k)
      mantissa += (s[i++] - '0') * std::pow(10.0, -k);
  }
  long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    long exponentSign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) exponentSign = s[i++] == '-' ? -1 : 1;
    if (i == s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
      exponent = std::min(exponent * 10 + (s[i++] - '0'), 1000000L);
    exponent *= exponentSign;
  }
  valid = true;
  if (exponent == 0 || mantissa == 0) return sign * mantissa;
  return sign * (mantissa * std::pow(5.0, double(exponent)) * std::pow(2.0, double(exponent)));
}

struct NumberCase {
  const char* text;
  float value;
  bool valid;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const NumberCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

const float kInf = std::numeric_limits<float>::infinity();

const NumberCase kNumbers[] = {
    // Plain forms and signs.
    {"0", 0.0f, true},
    {"7", 7.0f, true},
    {"+3", 3.0f, true},
    {"-2", -2.0f, true},
    {"1.5", 1.5f, true},
    {"-0.25", -0.25f, true},
    {"2.", 2.0f, true},
    {"1.e5", 100000.0f, true},
    {"007.50", 7.5f, true},
    {"123456789012345678901234567890", 123456789012345678901234567890.0f, true},
    {"0.000001", 0.000001f, true},
    // Exponents in every spelling.
    {"1.5e2", 150.0f, true},
    {"1e+2", 100.0f, true},
    {"1E2", 100.0f, true},
    {"25e-2", 0.25f, true},
    {"-1.25E+1", -12.5f, true},
    {"1e0", 1.0f, true},
    {"1e-0", 1.0f, true},
    {"4.2e-05", 4.2e-05f, true},
    {"1e39", kInf, true},
    {"-1e400", -kInf, true},
    {"1e-50", 0.0f, true},
    // Trailing text after the longest valid prefix is ignored.
    {"1.5abc", 1.5f, true},
    {"3.1+e2", 3.1f, true},
    {"3.1-e2", 3.1f, true},
    {"2.5.5", 2.5f, true},
    {"1e5x", 100000.0f, true},
    {"0.99:999", 0.99f, true},
    {"4,5", 4.0f, true},
    // Invalid fields give +0.
    {"", 0.0f, false},
    {".5", 0.0f, false},
    {"-.5", 0.0f, false},
    {"+", 0.0f, false},
    {"-", 0.0f, false},
    {"-x", 0.0f, false},
    {"+-1", 0.0f, false},
    {"1e", 0.0f, false},
    {"1.5e+", 0.0f, false},
    {"1e-", 0.0f, false},
    {"1ex", 0.0f, false},
    {"1E+x", 0.0f, false},
    {"nan", 0.0f, false},
    {"inf", 0.0f, false},
    {"-inf", 0.0f, false},
    {"e5", 0.0f, false},
    {"x1", 0.0f, false},
};

class NumberGrammar : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberGrammar, Value) {
  const NumberCase& c = GetParam();
  bool valid = !c.valid;
  double value = parse(c.text, valid);
  EXPECT_EQ(valid, c.valid);
  EXPECT_EQ(bits(float(value)), bits(c.value)) << float(value) << " vs " << c.value;
  bool referenceValid;
  EXPECT_EQ(bits(value), bits(referenceParse(c.text, referenceValid)));
}

INSTANTIATE_TEST_SUITE_P(Table, NumberGrammar, testing::ValuesIn(kNumbers));

// A zero mantissa keeps its sign whatever the exponent; an invalid field is
// a positive zero even after a minus sign.
TEST(NumberParsing, SignedZeros) {
  struct ZeroCase {
    std::string text;
    bool negative;
  };
  const ZeroCase cases[] = {
      {"0", false},       {"-0", true},          {"+0", false},         {"-0.0", true},
      {"0e500", false},   {"-0e999", true},      {"0.000e-999", false}, {"-0E+400", true},
      {"-1e-400", true},  {"-.5", false},        {"-", false},          {"-x", false},
      {"0e" + std::string(5000, '9'), false},    {"-0e-" + std::string(5000, '9'), true},
  };
  for (const ZeroCase& c : cases) {
    bool valid;
    double value = parse(c.text, valid);
    EXPECT_EQ(value, 0.0) << c.text.substr(0, 20);
    EXPECT_EQ(std::signbit(value), c.negative) << c.text.substr(0, 20);
  }
}

// Exponents of thousands of digits saturate instead of overflowing.
TEST(NumberParsing, HugeExponents) {
  const std::string nines(5000, '9');
  struct HugeCase {
    std::string text;
    double value;
  };
  const HugeCase cases[] = {
      {"1e" + nines, HUGE_VAL},   {"-2.5e+" + nines, -HUGE_VAL}, {"1e-" + nines, 0.0},
      {"9e-" + nines, 0.0},       {"1e2147483648", HUGE_VAL},    {"1e-2147483649", 0.0},
      {"1e4294967306", HUGE_VAL},  // would wrap to 1e10 in 32 bits
  };
  for (const HugeCase& c : cases) {
    bool valid;
    EXPECT_EQ(parse(c.text, valid), c.value) << c.text.substr(0, 20);
    EXPECT_TRUE(valid);
  }
}

// The fraction scales come from a table; it must equal pow exactly, and so
// must the decimal literals a hand-written table would use.
TEST(NumberParsing, PowersOfTenMatchPow) {
  for (int k = 0; k <= 400; ++k) EXPECT_EQ(bits(negativePowerOfTen(k)), bits(std::pow(10.0, -k))) << k;
  const double literals[] = {1.0, 0.1, 0.01, 0.001, 0.0001, 0.00001, 0.000001, 0.0000001};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(bits(literals[k]), bits(std::pow(10.0, -k))) << k;
}

// Random digit strings across the integer-accumulator boundary (15 digits),
// long fractions, and exponents near the double range, bit for bit against
// the plain reading.
TEST(NumberParsing, MatchesPlainAccumulation) {
  std::mt19937_64 random(2024);
  auto digits = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('0' + random() % 10);
    return s;
  };
  const char* signs[] = {"", "+", "-"};
  const char* exponentMarks[] = {"e", "E"};
  for (int i = 0; i < 200000; ++i) {
    std::string s = signs[random() % 3];
    s += digits(1 + random() % (random() % 4 == 0 ? 40 : 18));
    if (random() % 3) s += "." + digits(random() % (random() % 4 == 0 ? 30 : 10));
    if (random() % 3 == 0) {
      s += exponentMarks[random() % 2];
      s += signs[random() % 3];
      s += std::to_string(random() % (random() % 3 == 0 ? 500 : 40));
    }
    if (random() % 10 == 0) s += "x9";
    bool valid, referenceValid;
    double value = parse(s, valid);
    double reference = referenceParse(s, referenceValid);
    ASSERT_EQ(bits(value), bits(reference)) << s;
    ASSERT_EQ(valid, referenceValid) << s;
  }
}

// Fields are separated by spaces and tabs and end at a carriage return; a
// field that is missing or starts at a carriage return reads as 0.
TEST(NumberParsing, FieldsOfALine) {
  struct FieldCase {
    std::string line;
    std::vector<float> values;
  };
  const FieldCase cases[] = {
      {"1 2 3", {1, 2, 3}},
      {" \t1.5\t\t-2   +3 ", {1.5f, -2, 3}},
      {"1 2", {1, 2, 0}},
      {"", {0, 0, 0}},
      {"   ", {0, 0, 0}},
      {"1 2 3 4", {1, 2, 3}},
      {"1\r", {1, 0}},
      {"1\r2 3", {1, 0, 0}},
      {"1.5abc 2x .5", {1.5f, 2, 0}},
      {"1e 1ex 1e1", {0, 0, 10}},
  };
  for (const FieldCase& c : cases) {
    const char* p = c.line.data();
    const char* end = p + c.line.size();
    for (size_t i = 0; i < c.values.size(); ++i) {
      float value = parseNumberField(p, end);
      EXPECT_EQ(bits(value), bits(c.values[i])) << '"' << c.line << "\" field " << i;
      EXPECT_TRUE(p >= c.line.data() && p <= end);
    }
  }
}

// Face indices are read as atoi reads them, but saturate rather than
// overflow so that out-of-range values can be refused.
TEST(NumberParsing, IndexIntegers) {
  struct IndexCase {
    const char* text;
    int64_t value;
  };
  const IndexCase cases[] = {
      {"12", 12},       {"+7", 7},          {"-3", -3},     {"  \t5", 5},        {"\n\v\f\r9", 9},
      {"x", 0},         {"", 0},            {"-", 0},       {"/4", 0},           {"3/4", 3},
      {"2147483647", INT32_MAX},            {"-2147483648", INT32_MIN},          {"007", 7},
  };
  for (const IndexCase& c : cases)
    EXPECT_EQ(parseIndexInteger(c.text, c.text + std::strlen(c.text)), c.value) << c.text;
  for (const char* big : {"2147483648", "99999999999999999999999999999", "-2147483649", "-99999999999999999999999"}) {
    int64_t value = parseIndexInteger(big, big + std::strlen(big));
    EXPECT_TRUE(value > INT32_MAX || value < INT32_MIN) << big;
    EXPECT_EQ(value < 0, big[0] == '-') << big;
  }
}

}  // namespace
