#include "io/numbers.hpp"

namespace vrel::io {
namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxSignificant = 19;
constexpr int64_t kMaxExponent = 4096;
constexpr double kMaxMagnitude = 1.7e308;
constexpr uint64_t kTwoTo53 = uint64_t{1} << 53;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 10^n by repeated squaring; overflows to +infinity for large n.
double power_of_ten(uint64_t n) {
  double result = 1.0;
  double base = 10.0;
  while (n != 0) {
    if (n & 1u) result *= base;
    n >>= 1;
    if (n != 0) base *= base;
  }
  return result;
}

}  // namespace

NumberStatus parse_int64(const char* p, const char* end, int64_t* value) noexcept {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end) return NumberStatus::kMalformed;
  // Accumulate the magnitude as unsigned; the negative range is one larger.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; p != end; ++p) {
    if (!is_digit(*p)) return NumberStatus::kMalformed;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (magnitude > (limit - digit) / 10) return NumberStatus::kOutOfRange;
    magnitude = magnitude * 10 + digit;
  }
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return NumberStatus::kOk;
}

NumberStatus parse_decimal(const char* p, const char* end, double* value) noexcept {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';

  uint64_t mantissa = 0;
  int significant = 0;
  int64_t exponent = 0;  // decimal exponent of the last accumulated digit
  bool any_digit = false;
  bool fraction = false;
  for (; p != end; ++p) {
    const char c = *p;
    if (is_digit(c)) {
      any_digit = true;
      if (significant == 0 && c == '0') {
        // A leading zero is not significant; in the fraction it shifts the value down.
        if (fraction) --exponent;
      } else if (significant < kMaxSignificant) {
        mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
        ++significant;
        if (fraction) --exponent;
      } else if (!fraction) {
        ++exponent;  // an integer digit beyond the kept ones scales the value by ten
      }
    } else if (c == '.' && !fraction) {
      fraction = true;
    } else {
      break;
    }
  }
  if (!any_digit) return NumberStatus::kMalformed;

  if (p != end) {
    if (*p != 'e' && *p != 'E') return NumberStatus::kMalformed;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end) return NumberStatus::kMalformed;
    int64_t written = 0;
    for (; p != end; ++p) {
      if (!is_digit(*p)) return NumberStatus::kMalformed;
      written = written * 10 + (*p - '0');
      if (written > kMaxExponent) return NumberStatus::kMalformed;
    }
    exponent += exponent_negative ? -written : written;
  }

  double result = 0.0;
  if (mantissa != 0) {
    const double m = static_cast<double>(mantissa);
    const uint64_t magnitude = exponent < 0 ? 0 - static_cast<uint64_t>(exponent)
                                            : static_cast<uint64_t>(exponent);
    if (mantissa < kTwoTo53 && magnitude <= 22) {
      result = exponent < 0 ? m / kExactPowers[magnitude] : m * kExactPowers[magnitude];
    } else {
      const double power = power_of_ten(magnitude);
      result = exponent < 0 ? m / power : m * power;
    }
    if (!(result <= kMaxMagnitude)) return NumberStatus::kOutOfRange;  // NaN fails too
  }
  *value = negative ? -result : result;
  return NumberStatus::kOk;
}

}  // namespace vrel::io
