// The ASCII number grammar and its conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "io/numbers.hpp"

namespace vrel::io {
namespace {

NumberStatus decimal(const std::string& text, double* value) {
  return parse_decimal(text.data(), text.data() + text.size(), value);
}
double decimal_value(const std::string& text) {
  double value = std::nan("");
  EXPECT_EQ(decimal(text, &value), NumberStatus::kOk) << text;
  return value;
}

TEST(PlyDecimal, GrammarAndLimits) {
  double v = 0;
  for (const char* bad :
       {"", "+", "-", ".", "e5", "1e", "1e+", "1.2.3", "1e5.0", "--1", "1 ", " 1", "1f", "0x1p3",
        "inf", "nan", "1e4097", "1e-4097", "1e0000000000000000000004097"})
    EXPECT_EQ(decimal(bad, &v), NumberStatus::kMalformed) << bad;
  for (const char* far : {"1e400", "-1e309", "1.71e308", "1e4096", "100000000000000000000e300"})
    EXPECT_EQ(decimal(far, &v), NumberStatus::kOutOfRange) << far;
  EXPECT_EQ(decimal_value("1.7e308"), 1.7e308);
  EXPECT_EQ(decimal_value("-1.7e308"), -1.7e308);
  EXPECT_EQ(decimal_value("1e-4096"), 0.0);
  EXPECT_EQ(decimal_value("0e4096"), 0.0) << "a zero mantissa is zero whatever the exponent";
  EXPECT_TRUE(std::signbit(decimal_value("-0.000e+4000")));
  EXPECT_EQ(decimal_value("5."), 5.0);
  EXPECT_EQ(decimal_value("+.25"), 0.25);
  EXPECT_EQ(decimal_value("1E+2"), 100.0);
  EXPECT_EQ(decimal_value("000000000000000000000000012.5e-1"), 1.25)
      << "leading zeros are not significant";
}

TEST(PlyDecimal, NineteenSignificantDigitsAreKept) {
  // Digits after the 19th only scale (integer part) or vanish (fraction).
  EXPECT_EQ(decimal_value("12345678901234567891999"), 1234567890123456789e4);
  EXPECT_EQ(decimal_value("1.2345678901234567891999"), 1.234567890123456789);
  EXPECT_EQ(decimal_value("0.00000000000000000000000012345678901234567899"),
            1.234567890123456789e-25);
  EXPECT_EQ(decimal_value("9223372036854775807"), 9223372036854775807.0);
  EXPECT_EQ(decimal_value("9999999999999999999"), 1e19);
}

TEST(PlyDecimal, ResultsAreCorrectlyRounded) {
  EXPECT_EQ(decimal_value("0.1"), 0.1);
  EXPECT_EQ(decimal_value("1e22"), 1e22);
  EXPECT_EQ(decimal_value("1e23"), 1e23);
  EXPECT_EQ(decimal_value("2.2250738585072014e-308"), 2.2250738585072014e-308);
  EXPECT_EQ(decimal_value("4.9406564584124654e-324"), 4.9406564584124654e-324);
  EXPECT_EQ(decimal_value("2.4703282292062328e-324"), 4.9406564584124654e-324)
      << "above half the least denormal";
  EXPECT_EQ(decimal_value("2.4703282292062327e-324"), 0.0) << "below half the least denormal";
  EXPECT_EQ(decimal_value("9007199254740993"), 9007199254740992.0) << "a tie rounds to even";
  EXPECT_EQ(decimal_value("9007199254740995"), 9007199254740996.0) << "a tie rounds to even";
  EXPECT_EQ(decimal_value("1.0000000000000002220446049250313080847263336181640625"),
            1.0000000000000002);
  // Random 1-19 digit mantissas over the whole exponent range agree with the C library.
  std::mt19937_64 rng(42);
  for (int i = 0; i < 100000; ++i) {
    char buffer[40];
    const int digits = 1 + static_cast<int>(rng() % 19);
    for (int k = 0; k < digits; ++k)
      buffer[k] = static_cast<char>('0' + (k == 0 ? 1 + rng() % 9 : rng() % 10));
    std::snprintf(buffer + digits, sizeof buffer - 20, "e%d", static_cast<int>(rng() % 660) - 345);
    const std::string text = buffer;
    const double expected = std::strtod(text.c_str(), nullptr);
    double got = 0;
    if (expected > 1.7e308) {
      EXPECT_EQ(decimal(text, &got), NumberStatus::kOutOfRange) << text;
    } else {
      ASSERT_EQ(decimal(text, &got), NumberStatus::kOk) << text;
      ASSERT_EQ(got, expected) << text;
    }
  }
}

TEST(PlyInteger, SignedSixtyFourBits) {
  int64_t v = 0;
  auto parse = [&](const std::string& t) { return parse_int64(t.data(), t.data() + t.size(), &v); };
  EXPECT_EQ(parse("9223372036854775807"), NumberStatus::kOk);
  EXPECT_EQ(v, INT64_MAX);
  EXPECT_EQ(parse("-9223372036854775808"), NumberStatus::kOk);
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_EQ(parse("+0042"), NumberStatus::kOk);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(parse("9223372036854775808"), NumberStatus::kOutOfRange);
  EXPECT_EQ(parse("-9223372036854775809"), NumberStatus::kOutOfRange);
  EXPECT_EQ(parse("99999999999999999999999"), NumberStatus::kOutOfRange);
  for (const char* bad : {"", "-", "+", "1.0", "1e3", "0x10", " 1", "1-"})
    EXPECT_EQ(parse(bad), NumberStatus::kMalformed) << bad;
}

}  // namespace
}  // namespace vrel::io
