// Rational powers x^(a/b) with b = 5 or 12, independent of the C library's pow: x = m 2^e with
// the mantissa m in [1, 2); the b-th root of m by 24 Newton steps from 2, corrected once in
// double-double arithmetic; raised to |a| by repeated multiplication (inverted for a < 0); times
// 2^(g/b) from a table, where e a = q b + g with 0 <= g < b; and 2^q applied with one rounding.
// Every step before the last carries about 100 bits, so the result is within one unit in the
// last place of the exact power, across the whole double range (huge inputs included).
#pragma once

#include <bit>
#include <cstdint>

#include "math/double_double.hpp"
#include "math/power_of_two.hpp"

namespace vrel::math {

namespace rational_pow_detail {

// 2^(g/5) and 2^(g/12) as double-doubles; the high parts are the nearest doubles.
inline constexpr DoubleDouble kFifths[5] = {
    {1.0, 0.0},
    {1.148698354997035, -9.13808539363403e-17},
    {1.3195079107728942, 6.020448823088567e-17},
    {1.515716566510398, 9.332678429475674e-17},
    {1.7411011265922482, 2.8891894459957655e-17},
};
inline constexpr DoubleDouble kTwelfths[12] = {
    {1.0, 0.0},
    {1.0594630943592953, -4.5281280019993405e-17},
    {1.122462048309373, -3.578507116853557e-17},
    {1.189207115002721, 3.982015231465646e-17},
    {1.2599210498948732, -2.589933375300507e-17},
    {1.3348398541700344, -2.966538696861504e-18},
    {1.4142135623730951, -9.667293313452913e-17},
    {1.4983070768766815, -2.1817049357949077e-17},
    {1.5874010519681996, -1.0869008194197823e-16},
    {1.681792830507429, 8.199010020581497e-17},
    {1.7817974362806785, 6.126550165960957e-17},
    {1.887748625363387, -6.281368200748265e-17},
};

// t^N by squaring (N small and fixed).
template <int N>
inline double power(double t) noexcept {
  double result = 1.0;
  for (int n = N; n > 0; n >>= 1) {
    if (n & 1) result *= t;
    t *= t;
  }
  return result;
}

// x = m 2^e with m in [1, 2), for finite x > 0 (subnormals are scaled by 2^52 first).
struct Mantissa {
  double m;
  int64_t e;
};
inline Mantissa split_exponent(double x) noexcept {
  int64_t bias = 0;
  if (x < 0x1p-1022) {
    x *= 0x1p52;
    bias = 52;
  }
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  return {m, static_cast<int64_t>((bits >> 52) & 0x7FF) - 1023 - bias};
}

// (m + tail)^(1/B) for m in [1, 2) and |tail| tiny: Newton's t <- ((B-1) t + m / t^(B-1)) / B
// 24 times from 2 (within an ulp of the root), then the residual m + tail - t^B, formed nearly
// exactly, gives the correction term.
template <int B>
inline DoubleDouble mantissa_root(double m, double tail) noexcept {
  double t = 2.0;
  for (int step = 0; step < 24; ++step) t = ((B - 1) * t + m / power<B - 1>(t)) / B;
  DoubleDouble tb{t, 0.0};
  for (int i = 1; i < B; ++i) tb = tb * t;
  const double residual = ((m - tb.hi) - tb.lo) + tail;
  return fast_two_sum(t, residual / (B * (tb.hi / t)));
}

}  // namespace rational_pow_detail

// x^(A/B) = value * 2^exponent, value a double-double in [2^-12, 2^12].
struct ScaledPower {
  DoubleDouble value;
  int64_t exponent;
};

// x^(A/B) for a finite positive double-double x (|x.lo| at most half an ulp of x.hi).
template <int A, int B>
inline ScaledPower rational_pow_scaled(DoubleDouble x) noexcept {
  static_assert((B == 5 || B == 12) && A != 0 && A >= -12 && A <= 12);
  using namespace rational_pow_detail;
  const Mantissa s = split_exponent(x.hi);
  const DoubleDouble root = mantissa_root<B>(s.m, x.lo / x.hi * s.m);
  DoubleDouble p = root;
  for (int i = 1; i < (A < 0 ? -A : A); ++i) p = p * root;
  if constexpr (A < 0) p = reciprocal(p);
  const int64_t ea = s.e * A;
  int64_t q = ea / B;
  int64_t g = ea % B;
  if (g < 0) {
    g += B;
    q -= 1;
  }
  return {p * (B == 5 ? kFifths[g] : kTwelfths[g]), q};
}

// x^(A/B) for x >= 0 finite, rounded once: 0 maps to 0 (A > 0) or +infinity (A < 0); results
// beyond the double range are +infinity, tiny ones round gradually into the subnormals.
template <int A, int B>
inline double rational_pow(double x) noexcept {
  if (x == 0.0) return A > 0 ? 0.0 : __builtin_inf();
  const ScaledPower p = rational_pow_scaled<A, B>({x, 0.0});
  return scale2(p.value.hi, p.exponent);
}

}  // namespace vrel::math
