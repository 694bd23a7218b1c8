// The image family's exponential, independent of the C library: exp(x) = 2^k * exp(r) with
// k = x log2(e) rounded to nearest (ties to even), r = x - k ln 2 with ln 2 split in a short high
// part (k times it is exact) and a low part, exp(r) from its Taylor series to degree 20 by
// Horner's rule, and the power of two applied with one rounding (gradual underflow).
#pragma once

#include <array>
#include <cstdint>

#include "math/power_of_two.hpp"

namespace vrel::math {

namespace exp20_detail {

// 1/j! for j = 0..20, each correctly rounded (j! is exact in double up to 22!).
constexpr std::array<double, 21> taylor_coefficients() {
  std::array<double, 21> c{};
  double factorial = 1.0;
  for (int j = 0; j <= 20; ++j) {
    if (j > 0) factorial *= j;
    c[j] = 1.0 / factorial;
  }
  return c;
}
inline constexpr std::array<double, 21> kCoefficients = taylor_coefficients();

inline constexpr double kLog2e = 1.4426950408889634;
inline constexpr double kLn2High = 0.6931467056274414;  // 18 significant bits: k * it is exact
inline constexpr double kLn2Low = 4.7493250390316726e-7;
inline constexpr double kRoundShift = 0x1.8p52;  // adding and subtracting it rounds to an integer

}  // namespace exp20_detail

// exp(x): 0 below -800, +infinity above 710, NaN for NaN; within one unit in the last place of
// the exact value elsewhere, subnormal results included.
inline double exp20(double x) noexcept {
  using namespace exp20_detail;
  if (x != x) return x;
  if (x < -800.0) return 0.0;
  if (x > 710.0) return __builtin_inf();
  // |x log2 e| < 2^51, so the shift rounds to an integer with the current (nearest-even) mode.
  const double k = (x * kLog2e + kRoundShift) - kRoundShift;
  const double r = (x - k * kLn2High) - k * kLn2Low;
  double p = kCoefficients[20];
  for (int j = 19; j >= 0; --j) p = p * r + kCoefficients[j];
  return scale2(p, static_cast<int64_t>(k));
}

}  // namespace vrel::math
