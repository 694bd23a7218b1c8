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

// b^N in double-double by squaring (N >= 1 and fixed).
template <int N>
inline DoubleDouble power(DoubleDouble b) noexcept {
  static_assert(N >= 1);
  if constexpr (N == 1) {
    return b;
  } else if constexpr (N % 2 == 0) {
    const DoubleDouble half = power<N / 2>(b);
    return half * half;
  } else {
    return power<N - 1>(b) * b;
  }
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

}  // namespace rational_pow_detail

// A positive double-double split for the power: x = (m + tail) 2^e, m in [1, 2), |tail| tiny.
struct PowerInput {
  double m = 1.0;
  double tail = 0.0;
  int64_t e = 0;
};

inline PowerInput power_input(DoubleDouble x) noexcept {
  const rational_pow_detail::Mantissa s = rational_pow_detail::split_exponent(x.hi);
  return {s.m, x.lo / x.hi * s.m, s.e};
}

// Newton's t <- ((B-1) t + m / t^(B-1)) / B, 24 steps from 2, for N mantissas in [1, 2) at once:
// the chains are independent, so their divisions overlap in the pipeline. Each t ends within an
// ulp of m^(1/B).
template <int B, int N>
inline void mantissa_roots(const double* m, double* t) noexcept {
  for (int j = 0; j < N; ++j) t[j] = 2.0;
  for (int step = 0; step < 24; ++step) {
    for (int j = 0; j < N; ++j)
      t[j] = ((B - 1) * t[j] + m[j] / rational_pow_detail::power<B - 1>(t[j])) * (1.0 / B);
  }
}

// x^(A/B) = value * 2^exponent, value a double-double in [2^-12, 2^12].
struct ScaledPower {
  DoubleDouble value;
  int64_t exponent;
};

// x^(A/B) from the split input and t, the Newton root of its mantissa: the residual
// m + tail - t^B, formed nearly exactly, corrects t to about 100 bits; the root is raised to |A|
// by repeated multiplication (squarings; inverted for A < 0) and multiplied by 2^(g/B), where
// e A = q B + g.
template <int A, int B>
inline ScaledPower finish_power(const PowerInput& in, double t) noexcept {
  static_assert((B == 5 || B == 12) && A != 0 && A >= -12 && A <= 12);
  using namespace rational_pow_detail;
  const DoubleDouble tb = power<B>(DoubleDouble{t, 0.0});
  const double residual = ((in.m - tb.hi) - tb.lo) + in.tail;
  const DoubleDouble root = fast_two_sum(t, residual / (B * (tb.hi / t)));
  DoubleDouble p = power<(A < 0 ? -A : A)>(root);
  if constexpr (A < 0) p = reciprocal(p);
  const int64_t ea = in.e * A;
  int64_t q = ea / B;
  int64_t g = ea % B;
  if (g < 0) {
    g += B;
    q -= 1;
  }
  return {p * (B == 5 ? kFifths[g] : kTwelfths[g]), q};
}

// x^(A/B) for a finite positive double-double x (|x.lo| at most half an ulp of x.hi).
template <int A, int B>
inline ScaledPower rational_pow_scaled(DoubleDouble x) noexcept {
  const PowerInput in = power_input(x);
  double t;
  mantissa_roots<B, 1>(&in.m, &t);
  return finish_power<A, B>(in, t);
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
