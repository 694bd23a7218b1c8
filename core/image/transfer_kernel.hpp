// The sRGB transfer per element, in float64 whatever the tensor's dtype:
//   mode 0 (sRGB to linear): x <= t0: y = x / 12.92,                    dy/dx = 1/12.92
//                            x >  t0: y = c^(12/5), c = (x + 0.055) / 1.055, dy/dx = 2.4/1.055 c^(7/5)
//   mode 1 (linear to sRGB): x <= t1: y = 12.92 x,                      dy/dx = 12.92
//                            x >  t1: y = 1.055 x^(5/12) - 0.055,        dy/dx = 0.4395833333333333 x^(-7/12)
// with the thresholds t0 = 0.04045 and t1 = 0.0031308 (their float32 roundings for float32
// data). c and the affine step after the power are carried in double-double, so each value is
// rounded once from about 100 correct bits; huge inputs take the same path (no overflow before
// the final scaling).
#pragma once

#include <cmath>
#include <cstdint>

#include "math/double_double.hpp"
#include "math/power_of_two.hpp"
#include "math/rational_pow.hpp"

namespace vrel::image {

inline constexpr uint32_t kDecode = 0;  // sRGB to linear
inline constexpr uint32_t kEncode = 1;  // linear to sRGB

inline constexpr double kDecodeThreshold = 0.04045;
inline constexpr double kEncodeThreshold = 0.0031308;
inline constexpr double kDecodeLinearSlope = 0.07739938080495357;  // 1/12.92
inline constexpr double kDecodePowerSlope = 2.4 / 1.055;
inline constexpr double kEncodePowerSlope = 0.4395833333333333;  // 5/12 * 1.055

// The threshold a dtype compares with: the float32 rounding for float32 data.
template <typename T>
constexpr double threshold(uint32_t mode) {
  const double t = mode == kDecode ? kDecodeThreshold : kEncodeThreshold;
  return static_cast<double>(static_cast<T>(t));
}

// (x + 0.055) / 1.055 in double-double.
inline math::DoubleDouble decode_base(double x) noexcept {
  return math::two_sum(x, 0.055) / 1.055;
}

// A scaled double-double power rounded once.
inline double round_scaled(const math::ScaledPower& p) noexcept {
  return math::scale2(p.value.hi, p.exponent);
}

inline double transfer_value(double x, uint32_t mode, double t) noexcept {
  if (mode == kDecode) {
    if (x <= t) return x / 12.92;
    return round_scaled(math::rational_pow_scaled<12, 5>(decode_base(x)));
  }
  if (x <= t) return 12.92 * x;
  // x^(5/12) lies within [2^-9, 2^427] here, so scaling both parts is exact.
  const math::ScaledPower p = math::rational_pow_scaled<5, 12>({x, 0.0});
  const math::DoubleDouble power{math::scale2(p.value.hi, p.exponent),
                                 math::scale2(p.value.lo, p.exponent)};
  return (power * 1.055 + -0.055).hi;
}

inline double transfer_slope(double x, uint32_t mode, double t) noexcept {
  if (mode == kDecode) {
    if (x <= t) return kDecodeLinearSlope;
    math::ScaledPower p = math::rational_pow_scaled<7, 5>(decode_base(x));
    p.value = p.value * kDecodePowerSlope;
    return round_scaled(p);
  }
  if (x <= t) return 12.92;
  math::ScaledPower p = math::rational_pow_scaled<-7, 12>({x, 0.0});
  p.value = p.value * kEncodePowerSlope;
  return round_scaled(p);
}

// Forward over n elements: y rounded to T. Returns the index of the first element whose value is
// not representable in T (the elements before it are written), or n.
template <typename T>
uint64_t transfer_forward(const T* input, uint64_t n, uint32_t mode, T* output) noexcept {
  const double t = threshold<T>(mode);
  for (uint64_t i = 0; i < n; ++i) {
    const T y = static_cast<T>(transfer_value(static_cast<double>(input[i]), mode, t));
    if (!std::isfinite(y)) return i;
    output[i] = y;
  }
  return n;
}

// Backward over n elements: grad_input = grad_output * dy/dx, the slope rounded to T and the
// product formed in T. y, the slope and the product must all be representable; returns the first
// index where one is not, or n.
template <typename T>
uint64_t transfer_backward(const T* input, const T* grad_output, uint64_t n, uint32_t mode,
                           T* grad_input) noexcept {
  const double t = threshold<T>(mode);
  for (uint64_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(input[i]);
    const T y = static_cast<T>(transfer_value(x, mode, t));
    const T d = static_cast<T>(transfer_slope(x, mode, t));
    const T product = grad_output[i] * d;
    if (!std::isfinite(y) || !std::isfinite(d) || !std::isfinite(product)) return i;
    grad_input[i] = product;
  }
  return n;
}

}  // namespace vrel::image
