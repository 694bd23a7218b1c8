#include "io/numbers.hpp"

#include <cmath>
#include <cstring>

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

// 10^n by repeated squaring in extended precision; overflows to +infinity for large n.
long double power_of_ten(uint64_t n) {
  long double result = 1.0L;
  long double base = 10.0L;
  while (n != 0) {
    if (n & 1u) result *= base;
    n >>= 1;
    if (n != 0) base *= base;
  }
  return result;
}

// A fixed-capacity unsigned integer, enough for the exact comparisons below (values stay under
// 2^3000: a 64-bit mantissa, 5^363 and shifts of about 1400 bits).
class BigInt {
 public:
  explicit BigInt(uint64_t value) {
    limbs_[0] = static_cast<uint32_t>(value);
    limbs_[1] = static_cast<uint32_t>(value >> 32);
    size_ = limbs_[1] != 0 ? 2 : 1;
  }
  void multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (int i = 0; i < size_; ++i) {
      const uint64_t product = uint64_t{limbs_[i]} * factor + carry;
      limbs_[i] = static_cast<uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) limbs_[size_++] = static_cast<uint32_t>(carry);
  }
  void multiply_pow5(int n) {
    for (; n >= 13; n -= 13) multiply(1220703125u);  // 5^13
    uint32_t rest = 1;
    for (; n > 0; --n) rest *= 5;
    multiply(rest);
  }
  void shift_left(int bits) {
    const int words = bits / 32, shift = bits % 32;
    if (shift != 0) {
      uint32_t carry = 0;
      for (int i = 0; i < size_; ++i) {
        const uint32_t next = limbs_[i] >> (32 - shift);
        limbs_[i] = (limbs_[i] << shift) | carry;
        carry = next;
      }
      if (carry != 0) limbs_[size_++] = carry;
    }
    if (words != 0) {
      for (int i = size_ - 1; i >= 0; --i) limbs_[i + words] = limbs_[i];
      for (int i = 0; i < words; ++i) limbs_[i] = 0;
      size_ += words;
    }
  }
  friend int compare(const BigInt& a, const BigInt& b) {
    if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
    for (int i = a.size_ - 1; i >= 0; --i)
      if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    return 0;
  }

 private:
  uint32_t limbs_[100] = {};
  int size_ = 1;
};

// Sign of mantissa * 10^exponent - odd * 2^binary, exactly.
int compare_exact(uint64_t mantissa, int exponent, uint64_t odd, int binary) {
  BigInt a(mantissa), b(odd);
  if (exponent >= 0)
    a.multiply_pow5(exponent);
  else
    b.multiply_pow5(-exponent);
  const int low = exponent < binary ? exponent : binary;
  a.shift_left(exponent - low);
  b.shift_left(binary - low);
  return compare(a, b);
}

// x = significand * 2^power for a finite nonnegative double.
void decompose(double x, uint64_t* significand, int* power) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int field = static_cast<int>(bits >> 52);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  *significand = field == 0 ? fraction : fraction | (uint64_t{1} << 52);
  *power = field == 0 ? -1074 : field - 1075;
}

// Moves `x` to the double nearest mantissa * 10^exponent (ties to even) by exact comparisons with
// the midpoints to its neighbours. `x` is within a few units in the last place already.
double correct_rounding(uint64_t mantissa, int exponent, double x) {
  for (;;) {
    uint64_t m;
    int e;
    decompose(x, &m, &e);
    const int above = compare_exact(mantissa, exponent, 2 * m + 1, e - 1);
    if (above > 0 || (above == 0 && (m & 1u) != 0)) {
      x = std::nextafter(x, HUGE_VAL);
      if (std::isinf(x)) return x;
      continue;
    }
    if (x == 0.0) return x;
    const bool binade_bottom = m == (uint64_t{1} << 52) && e > -1074;
    const int below = binade_bottom ? compare_exact(mantissa, exponent, 4 * m - 1, e - 2)
                                    : compare_exact(mantissa, exponent, 2 * m - 1, e - 1);
    if (below < 0 || (below == 0 && (m & 1u) != 0)) {
      x = std::nextafter(x, 0.0);
      continue;
    }
    return x;
  }
}

// The double nearest mantissa * 10^exponent for a nonzero mantissa: an extended-precision
// estimate, checked against the midpoints and corrected exactly when it lies too close to one.
double scale_by_power_of_ten(uint64_t mantissa, int64_t exponent) {
  int digits = 0;
  for (uint64_t m = mantissa; m != 0; m /= 10) ++digits;
  if (exponent + digits > 310) return HUGE_VAL;  // at least 10^309
  if (exponent + digits < -323) return 0.0;      // below 10^-324, under half the least denormal
  const long double m = static_cast<long double>(mantissa);
  const uint64_t magnitude =
      exponent < 0 ? static_cast<uint64_t>(-exponent) : static_cast<uint64_t>(exponent);
  const long double estimate =
      exponent < 0 ? m / power_of_ten(magnitude) : m * power_of_ten(magnitude);
  const double x = static_cast<double>(estimate);
  if (std::isinf(x)) return x;
  // The estimate carries at most a few dozen roundings of 2^-64; far enough from both midpoints,
  // its rounding is the correct one.
  const long double margin = estimate * 0x1p-56L;
  const long double up =
      (static_cast<long double>(x) + static_cast<long double>(std::nextafter(x, HUGE_VAL))) / 2;
  const long double down =
      (static_cast<long double>(x) + static_cast<long double>(std::nextafter(x, 0.0))) / 2;
  if (std::fabs(estimate - up) > margin && (x == 0.0 || std::fabs(estimate - down) > margin))
    return x;
  return correct_rounding(mantissa, static_cast<int>(exponent), x);
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
    if (mantissa < kTwoTo53 && exponent >= -22 && exponent <= 22) {
      result = exponent < 0 ? m / kExactPowers[-exponent] : m * kExactPowers[exponent];
    } else {
      result = scale_by_power_of_ten(mantissa, exponent);
    }
    if (!(result <= kMaxMagnitude)) return NumberStatus::kOutOfRange;  // NaN fails too
  }
  *value = negative ? -result : result;
  return NumberStatus::kOk;
}

}  // namespace vrel::io
