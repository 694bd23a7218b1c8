// The sRGB transfer per element, in float64 whatever the tensor's dtype:
//   mode 0 (sRGB to linear): x <= t0: y = x / 12.92,                    dy/dx = 1/12.92
//                            x >  t0: y = c^(12/5), c = (x + 0.055) / 1.055, dy/dx = 2.4/1.055
//                            c^(7/5)
//   mode 1 (linear to sRGB): x <= t1: y = 12.92 x,                      dy/dx = 12.92
//                            x >  t1: y = 1.055 x^(5/12) - 0.055,        dy/dx = 0.4395833333333333
//                            x^(-7/12)
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
constexpr double threshold(uint32_t mode) noexcept {
  const double t = mode == kDecode ? kDecodeThreshold : kEncodeThreshold;
  return static_cast<double>(static_cast<T>(t));
}

// The power segment of a mode: the root index B shared by the value (exponent A_value / B) and the
// slope (A_slope / B), and the base of the power.
template <uint32_t Mode>
struct PowerSegment {
  static constexpr int kRoot = Mode == kDecode ? 5 : 12;
  static constexpr int kValue = Mode == kDecode ? 12 : 5;
  static constexpr int kSlope = Mode == kDecode ? 7 : -7;

  // c = (x + 0.055) / 1.055 in double-double (mode 0), x itself (mode 1).
  static math::PowerInput input(double x) noexcept {
    if constexpr (Mode == kDecode) return math::power_input(math::two_sum(x, 0.055) / 1.055);
    return math::power_input({x, 0.0});
  }

  // y from the split base and the Newton root of its mantissa.
  static double value(const math::PowerInput& in, double root) noexcept {
    const math::ScaledPower p = math::finish_power<kValue, kRoot>(in, root);
    if constexpr (Mode == kDecode) return math::scale2(p.value.hi, p.exponent);
    // 1.055 x^(5/12) - 0.055 rounded once; x^(5/12) lies within [2^-9, 2^427] here, so scaling
    // both parts is exact.
    const math::DoubleDouble power{math::scale2(p.value.hi, p.exponent),
                                   math::scale2(p.value.lo, p.exponent)};
    return (power * 1.055 + -0.055).hi;
  }

  static double slope(const math::PowerInput& in, double root) noexcept {
    math::ScaledPower p = math::finish_power<kSlope, kRoot>(in, root);
    p.value = p.value * (Mode == kDecode ? kDecodePowerSlope : kEncodePowerSlope);
    return math::scale2(p.value.hi, p.exponent);
  }

  static double linear_value(double x) noexcept { return Mode == kDecode ? x / 12.92 : 12.92 * x; }
  static double linear_slope() noexcept { return Mode == kDecode ? kDecodeLinearSlope : 12.92; }
};

// Elements go through the power in blocks, so that the Newton iterations of a block overlap.
inline constexpr uint64_t kBlock = 8;

// Runs `element(i, on_power, input, root)` over n elements in order, with the Newton roots of the
// block's power-segment elements computed together. Stops at the first element that returns
// false and returns its index (n when none does).
template <typename T, uint32_t Mode, typename Element>
uint64_t over_blocks(const T* x, uint64_t n, Element&& element) noexcept {
  using Segment = PowerSegment<Mode>;
  const double t = threshold<T>(Mode);
  for (uint64_t begin = 0; begin < n; begin += kBlock) {
    const uint64_t count = n - begin < kBlock ? n - begin : kBlock;
    math::PowerInput inputs[kBlock];
    double mantissas[kBlock];
    double roots[kBlock];
    bool on_power[kBlock];
    for (uint64_t j = 0; j < kBlock; ++j) {
      const double v = j < count ? static_cast<double>(x[begin + j]) : 0.0;
      on_power[j] = v > t;
      if (on_power[j]) inputs[j] = Segment::input(v);
      mantissas[j] = inputs[j].m;
    }
    math::mantissa_roots<Segment::kRoot, kBlock>(mantissas, roots);
    for (uint64_t j = 0; j < count; ++j)
      if (!element(begin + j, on_power[j], inputs[j], roots[j])) return begin + j;
  }
  return n;
}

// Forward over n elements: y rounded to T. Returns the index of the first element whose value is
// not representable in T (the elements before it are written), or n.
template <typename T, uint32_t Mode>
uint64_t transfer_forward(const T* input, uint64_t n, T* output) noexcept {
  using Segment = PowerSegment<Mode>;
  return over_blocks<T, Mode>(
      input, n, [&](uint64_t i, bool on_power, const math::PowerInput& in, double root) {
        const T y = static_cast<T>(on_power ? Segment::value(in, root)
                                            : Segment::linear_value(static_cast<double>(input[i])));
        if (!std::isfinite(y)) return false;
        output[i] = y;
        return true;
      });
}

// Backward over n elements: grad_input = grad_output * dy/dx, the slope rounded to T and the
// product formed in T. y, the slope and the product must all be representable; returns the first
// index where one is not, or n.
template <typename T, uint32_t Mode>
uint64_t transfer_backward(const T* input, const T* grad_output, uint64_t n,
                           T* grad_input) noexcept {
  using Segment = PowerSegment<Mode>;
  return over_blocks<T, Mode>(
      input, n, [&](uint64_t i, bool on_power, const math::PowerInput& in, double root) {
        const T y = static_cast<T>(on_power ? Segment::value(in, root)
                                            : Segment::linear_value(static_cast<double>(input[i])));
        const T d = static_cast<T>(on_power ? Segment::slope(in, root) : Segment::linear_slope());
        const T product = grad_output[i] * d;
        if (!std::isfinite(y) || !std::isfinite(d) || !std::isfinite(product)) return false;
        grad_input[i] = product;
        return true;
      });
}

}  // namespace vrel::image
