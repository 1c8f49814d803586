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
#include <tuple>
#include <vector>

#include "number_parsing.h"
#include "padded_text.h"

namespace {

using namespace obj2mesh;

template <class T>
auto bits(T value) {
  std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t> b;
  std::memcpy(&b, &value, sizeof b);
  return b;
}

// The first field of a line, as the reader gives it.
float parse(const std::string& text) {
  const PaddedText line(text + "\n");
  const char* p = line.data();
  return parseNumberField(p);
}

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
  std::string text;
  float value;  // compared bit for bit: zeros by sign; valid fields only
};

void PrintTo(const NumberCase& c, std::ostream* out) { *out << '"' << c.text.substr(0, 20) << '"'; }

const float kInf = std::numeric_limits<float>::infinity();
const std::string kNines(5000, '9');

const NumberCase kNumbers[] = {
    // Plain forms and signs.
    {"0", 0.0f}, {"-0", -0.0f}, {"+0", 0.0f}, {"-0.0", -0.0f}, {"7", 7.0f}, {"+3", 3.0f}, {"-2", -2.0f},
    {"1.5", 1.5f}, {"-0.25", -0.25f}, {"2.", 2.0f}, {"1.e5", 100000.0f}, {"007.50", 7.5f}, {"0.000001", 0.000001f},
    {"123456789012345678901234567890", 123456789012345678901234567890.0f},
    // Exponents in every spelling.
    {"1.5e2", 150.0f}, {"1e+2", 100.0f}, {"1E2", 100.0f}, {"25e-2", 0.25f}, {"-1.25E+1", -12.5f}, {"1e0", 1.0f},
    {"1e-0", 1.0f}, {"4.2e-05", 4.2e-05f}, {"1e39", kInf}, {"-1e400", -kInf}, {"1e-50", 0.0f}, {"-1e-400", -0.0f},
    // A zero mantissa keeps its sign whatever the exponent, and exponents of
    // thousands of digits saturate instead of overflowing.
    {"0e500", 0.0f}, {"-0e999", -0.0f}, {"0.000e-999", 0.0f}, {"-0E+400", -0.0f}, {"0e" + kNines, 0.0f},
    {"-0e-" + kNines, -0.0f}, {"1e" + kNines, kInf}, {"-2.5e+" + kNines, -kInf}, {"1e-" + kNines, 0.0f},
    {"9e-" + kNines, 0.0f}, {"1e2147483648", kInf}, {"1e-2147483649", 0.0f},
    {"1e4294967306", kInf},  // would wrap to 1e10 in 32 bits
    // Trailing text after the longest valid prefix is ignored.
    {"1.5abc", 1.5f}, {"3.1+e2", 3.1f}, {"3.1-e2", 3.1f}, {"2.5.5", 2.5f}, {"1e5x", 100000.0f},
    {"0.99:999", 0.99f}, {"4,5", 4.0f},
};

class NumberGrammar : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberGrammar, Value) {
  const NumberCase& c = GetParam();
  bool referenceValid;
  float value = parse(c.text);
  EXPECT_EQ(bits(value), bits(c.value)) << value << " vs " << c.value;
  EXPECT_EQ(bits(value), bits(float(referenceParse(c.text, referenceValid))));
  EXPECT_TRUE(referenceValid);
}

// Invalid fields give +0, even after a minus sign.
TEST(NumberParsing, InvalidFields) {
  for (const char* text : {"", ".5", "-.5", "+", "-", "-x", "+-1", "1e", "1.5e+", "1e-", "1ex", "1E+x", "nan",
                           "inf", "-inf", "e5", "x1"}) {
    bool referenceValid = true;
    EXPECT_EQ(bits(parse(text)), bits(0.0f)) << text;
    referenceParse(text, referenceValid);
    EXPECT_FALSE(referenceValid) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, NumberGrammar, testing::ValuesIn(kNumbers));

// Random digit strings across the integer-accumulator boundary (15 digits),
// long fractions (past the table of fraction scales), and exponents near the
// double range, bit for bit against the plain reading, alone and as a field
// of a line.
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
    bool referenceValid;
    const float reference = float(referenceParse(s, referenceValid));
    ASSERT_EQ(bits(parse(s)), bits(reference)) << s;
    // The same as a field of a line followed by digits that are not its
    // own: they must not be taken.
    const PaddedText line(s + " 7\n" + "9x999999");
    const char* p = line.data();
    ASSERT_EQ(bits(parseNumberField(p)), bits(reference)) << s;
    ASSERT_EQ(parseNumberField(p), 7.0f) << s;
  }
}

// Fields are separated by spaces and tabs and end at a carriage return; a
// field that is missing or starts at a carriage return reads as 0.
TEST(NumberParsing, FieldsOfALine) {
  const std::pair<std::string, std::vector<float>> cases[] = {
      {"1 2 3", {1, 2, 3}}, {" \t1.5\t\t-2   +3 ", {1.5f, -2, 3}}, {"1 2", {1, 2, 0}}, {"", {0, 0, 0}},
      {"   ", {0, 0, 0}},   {"1 2 3 4", {1, 2, 3}},                  {"1\r", {1, 0}},   {"1\r2 3", {1, 0, 0}},
      {"1.5abc 2x .5", {1.5f, 2, 0}}, {"1e 1ex 1e1", {0, 0, 10}},
  };
  for (const auto& [text, values] : cases) {
    for (const std::string& lineEnd : {std::string("\n"), std::string(1, '\0'), std::string("\r\n")}) {
      const PaddedText line(text + lineEnd + "9");
      const char *p = line.data(), *end = p + text.size();
      for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(bits(parseNumberField(p)), bits(values[i])) << '"' << text << "\" field " << i;
        EXPECT_TRUE(p >= line.data() && p <= end);
      }
    }
  }
}

// Face indices are read as atoi reads them, but saturate rather than
// overflow so that out-of-range values can be refused; the reading of the
// corner goes on at the next '/', blank or carriage return.
TEST(NumberParsing, CornerIntegers) {
  const std::tuple<const char*, int64_t, size_t> cases[] = {
      {"12", 12, 2},       {"+7", 7, 2},          {"-3", -3, 2},      {"  \t5", 5, 0},  {"\v\f\r9", 9, 2},
      {"x", 0, 1},         {"", 0, 0},            {"-", 0, 1},        {"/4", 0, 0},    {"3/4", 3, 1},
      {"007", 7, 3},       {"12345678 9", 12345678, 8},               {"123456789012/1", 123456789012, 12},
      {"2147483647", INT32_MAX, 10},              {"-2147483648", INT32_MIN, 11},
  };
  for (const auto& [text, value, next] : cases) {
    const PaddedText line(std::string(text) + "\n5");
    int64_t read = 0;
    const char* p = readCornerInteger(line.data(), read);
    EXPECT_EQ(read, value) << text;
    EXPECT_EQ(size_t(p - line.data()), next) << text;
  }
  for (const char* big : {"2147483648", "99999999999999999999999999999", "-2147483649", "-99999999999999999999999"}) {
    const PaddedText line(big);
    int64_t value = 0;
    readCornerInteger(line.data(), value);
    EXPECT_TRUE(value > INT32_MAX || value < INT32_MIN) << big;
    EXPECT_EQ(value < 0, big[0] == '-') << big;
  }
}

}  // namespace
