// Numbers of "v", "vn", "vt" and material lines. The values are part of the
// output, bit for bit, including the digit-by-digit double accumulation's
// occasional one-ulp departures from correct rounding.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
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

// pow(10, -k) for the fraction digits, filled from pow itself: the same
// values, without a pow call for every digit.
const std::vector<double> kTenths = [] {
  std::vector<double> tenths(400);
  for (size_t k = 0; k < tenths.size(); ++k) tenths[k] = std::pow(10.0, -double(k));
  return tenths;
}();

bool isDecimal(char c) { return c >= '0' && c <= '9'; }

// The grammar written out plainly:
//   [+-] digits [. digits*] [(e|E) [+-] digits]
// mantissa = mantissa * 10 + digit over the integer digits, the k-th
// fraction digit adds digit * 10^-k, an exponent multiplies by 5^e and then
// by 2^e, and the sign multiplies the result. A zero mantissa stays a signed
// zero whatever the exponent; exponent digits past a large bound change
// nothing (the result is already inf or 0).
double referenceParse(std::string_view s, bool& valid) {
  valid = false;
  size_t i = 0;
  double sign = 1;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
  if (i == s.size() || !isDecimal(s[i])) return 0;
  double mantissa = 0;
  while (i < s.size() && isDecimal(s[i])) mantissa = mantissa * 10 + (s[i++] - '0');
  if (i < s.size() && s[i] == '.') {
    ++i;
    for (size_t k = 1; i < s.size() && isDecimal(s[i]); ++k)
      mantissa += (s[i++] - '0') * (k < kTenths.size() ? kTenths[k] : std::pow(10.0, -double(k)));
  }
  long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    long exponentSign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) exponentSign = s[i++] == '-' ? -1 : 1;
    if (i == s.size() || !isDecimal(s[i])) return 0;
    while (i < s.size() && isDecimal(s[i])) exponent = std::min(exponent * 10 + (s[i++] - '0'), 1000000L);
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

// A case's name: its text in letters and digits ("-1.5e+2" is
// Minus1Point5ePlus2), cut at 16 characters with the length of a longer one.
std::string numberName(const testing::TestParamInfo<NumberCase>& info) {
  std::string name;
  for (char c : info.param.text.substr(0, 16))
    name += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c)
            : c == '-' ? "Minus" : c == '+' ? "Plus" : c == '.' ? "Point" : "_";
  return info.param.text.size() > 16 ? name + "_" + std::to_string(info.param.text.size()) + "Chars" : name;
}

INSTANTIATE_TEST_SUITE_P(Table, NumberGrammar, testing::ValuesIn(kNumbers), numberName);

// Ten million random fields, bit for bit against the plain reading: every
// integer digit count from 1 to 20 and some of hundreds (past the 15 digits
// an integer accumulator holds exactly), fraction digit counts from 0 to 20
// and some past the 64 of the scale table, digits drawn from all ten or
// mostly zeros (zero mantissas, leading zeros), exponents of every spelling
// from 1 to 12 digits, and text after the number that is not its own. Each
// field either ends the text, so that word loads reach into the padding,
// or is followed by a field delimiter and digits; it starts anywhere in the
// buffer, at every alignment.
TEST(NumberParsing, MatchesPlainAccumulation) {
  std::minstd_rand random(2024);  // a cheap engine: each field takes a dozen draws
  // Digits of each part are copied from one of these pools: all ten
  // digits, mostly zeros, nines and zeros, zeros only.
  std::vector<std::string> pools;
  for (std::string_view digits : {"0123456789", "0123456789", "0123456789", "0000000009", "09", "0"}) {
    std::string& pool = pools.emplace_back(1 << 16, '0');
    for (char& c : pool) c = digits[random() % digits.size()];
  }
  // ':' and '/' are the bytes next to the digits.
  const std::string_view suffixes[] = {"x9", ".5", "e", "E+", "e-x", "+1", "-", ".", "/2", ":5", ",5", "\v1", "\xb0"};
  const std::string_view ends[] = {"", "", "\n", "\r", " ", "\t", std::string_view("\0", 1)};
  constexpr size_t kRoom = 1024;  // the text of the buffer; the longest field is under 600 bytes
  PaddedText buffer;
  buffer.reserve(kRoom);
  buffer.resize(kRoom);
  char* const text = buffer.data();
  std::string field;  // blanks, then the number and what follows it
  auto pick = [&](uint64_t n) { return random() * n >> 31; };  // [0, n)
  auto append = [&](size_t n) {
    const std::string& pool = pools[pick(pools.size())];
    field.append(pool, pick(pool.size() - n), n);
  };
  for (int i = 0; i < 10'000'000; ++i) {
    field.assign(pick(8) ? "" : " \t");
    const size_t numberBegin = field.size();
    if (pick(2)) field += pick(2) ? '-' : '+';
    append(pick(16) ? 1 + pick(20) : 21 + pick(400));
    if (pick(4)) {
      field += '.';
      append(pick(8) ? pick(21) : 21 + pick(100));
    }
    if (pick(2)) {
      field += pick(2) ? 'e' : 'E';
      if (pick(4)) field += pick(2) ? '+' : '-';
      append(pick(8) ? 1 + pick(3) : 1 + pick(12));
    }
    if (pick(8) == 0) field += suffixes[pick(std::size(suffixes))];
    bool valid;
    const float reference = float(referenceParse(std::string_view(field).substr(numberBegin), valid));

    const std::string_view end = ends[pick(std::size(ends))];
    const size_t begin = end.empty() ? kRoom - field.size() : pick(16);
    std::memcpy(text + begin, field.data(), field.size());
    if (!end.empty()) {
      std::memcpy(text + begin + field.size(), "_99999999", 9);
      text[begin + field.size()] = end[0];
    }
    const char* p = text + begin;
    const float value = parseNumberField(p);
    ASSERT_EQ(bits(value), bits(reference)) << testing::PrintToString(field) << " then "
                                            << testing::PrintToString(std::string(end));
    ASSERT_EQ(p, text + begin + field.size()) << testing::PrintToString(field);
  }
}

// Integer digits past the double range (an infinite mantissa) and an
// exponent that takes 5^e to 0: inf * 0 is a NaN, which the sign then
// multiplies like any other value.
TEST(NumberParsing, NaNFromDigitsPastTheRange) {
  for (const char* sign : {"", "+", "-"}) {
    const std::string text = sign + ("1" + std::string(400, '0')) + "e-500";
    bool valid;
    EXPECT_EQ(bits(parse(text)), bits(float(referenceParse(text, valid)))) << sign;
  }
}

// Decimal strings at the turns of float rounding: the midpoint between two
// adjacent floats and the doubles either side of it, with 9 to 17
// significant digits, with an exponent and without, for every float
// exponent, subnormals and the midpoint past FLT_MAX included. The plain
// reading may miss correct rounding by one ulp, but never lands outside
// the two floats.
TEST(NumberParsing, RoundingBoundaries) {
  std::mt19937 random(7);
  char text[256];
  for (uint32_t exponentField = 0; exponentField < 255; ++exponentField) {
    for (int m = 0; m < 16; ++m) {
      const uint32_t mantissa = m == 0 ? 0 : m == 1 ? 1 : m == 2 ? 0x7FFFFF : random() & 0x7FFFFF;
      const uint32_t low = exponentField << 23 | mantissa;
      float below;
      std::memcpy(&below, &low, 4);
      const float above = std::nextafter(below, kInf);
      const double midpoint = double(below) + std::ldexp(1.0, int(std::max(exponentField, 1u)) - 151);
      for (double x : {std::nextafter(midpoint, 0.0), midpoint, std::nextafter(midpoint, double(kInf))}) {
        for (int digits = 9; digits <= 17; ++digits) {
          const int fractionDigits = std::max(0, digits - 1 - int(std::floor(std::log10(x))));
          for (int plain = 0; plain < 2; ++plain) {
            text[0] = '-';
            std::snprintf(text + 1, sizeof text - 1, plain ? "%.*f" : "%.*e", plain ? fractionDigits : digits - 1, x);
            for (const char* s : {text + 1, text}) {
              bool valid;
              const float value = parse(s);
              ASSERT_EQ(bits(value), bits(float(referenceParse(s, valid)))) << s;
              ASSERT_TRUE(std::fabs(value) == below || std::fabs(value) == above) << s << " read as " << value;
            }
          }
        }
      }
    }
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
// overflow so that out-of-range values can be refused. The common index, one
// to seven digits without a sign, takes a shorter path that must agree and
// stop right after its digits (0: not taken).
TEST(NumberParsing, CornerIntegers) {
  const std::tuple<const char*, int64_t, size_t> cases[] = {
      {"12", 12, 2},  {"+7", 7, 0},     {"-3", -3, 0},      {"  \t5", 5, 0},
      {"\v\f\r9", 9, 0}, {"x", 0, 0},    {"", 0, 0},         {"-", 0, 0},
      {"/4", 0, 0},   {"3/4", 3, 1},    {"007", 7, 3},      {"1234567 9", 1234567, 7},
      {"12345678 9", 12345678, 0},      {"123456789012/1", 123456789012, 0},
      {"2147483647", INT32_MAX, 0},     {"-2147483648", INT32_MIN, 0},
  };
  for (const auto& [text, value, plainEnd] : cases) {
    const PaddedText line(std::string(text) + "\n5");
    EXPECT_EQ(parseIndexInteger(line.data()), value) << text;
    uint32_t plain = 0;
    const char* end = readPlainIndex(line.data(), plain);
    EXPECT_EQ(end ? size_t(end - line.data()) : 0, plainEnd) << text;
    if (end) {
      EXPECT_EQ(int64_t(plain), value) << text;
    }
  }
  for (const char* big : {"2147483648", "99999999999999999999999999999", "-2147483649", "-99999999999999999999999"}) {
    const int64_t value = parseIndexInteger(PaddedText(big).data());
    EXPECT_TRUE(value > INT32_MAX || value < INT32_MIN) << big;
    EXPECT_EQ(value < 0, big[0] == '-') << big;
  }
}

}  // namespace
