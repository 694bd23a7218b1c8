// The exponential of the loss curves, built from plain arithmetic so that every platform gives the
// same bits: x = n*ln2 + r with n the nearest integer to x/ln2 (ties to even) and |r| <= ln2/2,
// exp(r) - 1 by its Taylor polynomial of degree 18 (the first omitted term is below 2^-70), and
// the result scaled by 2^n as two powers of two, so that n below -1022 still rounds once into the
// subnormal range (gradual underflow) instead of flushing to zero.
#pragma once

#include <bit>
#include <cstdint>

#include "math/log.hpp"

namespace vrel::math {

namespace detail {

// 2^k for k in [-1022, 1023], built from its exponent field.
inline double power_of_two(int k) noexcept {
  return std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52);
}

// 1/k! for k = 1 .. 18, each the double nearest the exact fraction.
inline constexpr double kInverseFactorial[18] = {
    1.0,
    0.5,
    0.16666666666666666,
    0.041666666666666664,
    0.008333333333333333,
    0.001388888888888889,
    0.0001984126984126984,
    2.48015873015873e-05,
    2.7557319223985893e-06,
    2.755731922398589e-07,
    2.505210838544172e-08,
    2.08767569878681e-09,
    1.6059043836821613e-10,
    1.1470745597729725e-11,
    7.647163731819816e-13,
    4.779477332387385e-14,
    2.8114572543455206e-15,
    1.5619206968586225e-16,
};

}  // namespace detail

// e^x for every double: NaN stays NaN, x below about -745.13 gives 0, above about 709.78 infinity.
inline double exp_curve(double x) noexcept {
  if (x != x) return x;
  // Beyond these bounds the result is 0 or infinity whatever n is; the clamp keeps n small.
  if (x < -800.0) x = -800.0;
  if (x > 800.0) x = 800.0;
  // Round to nearest, ties to even, by the 1.5 * 2^52 shift (exact for |y| < 2^51).
  constexpr double kShift = 6755399441055744.0;
  const double n = (x * 1.4426950408889634 + kShift) - kShift;
  const double r = x - n * kLn2Head - n * kLn2Tail;
  double p = detail::kInverseFactorial[17];
  for (int k = 16; k >= 0; --k) p = p * r + detail::kInverseFactorial[k];
  const double expm1 = p * r;  // exp(r) - 1
  const int ni = static_cast<int>(n);
  const int half = ni / 2;
  return (1.0 + expm1) * detail::power_of_two(half) * detail::power_of_two(ni - half);
}

}  // namespace vrel::math
