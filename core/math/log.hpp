// The natural logarithm of the shading family, built from plain arithmetic so that every platform
// gives the same bits: x = 2^e * m with m in (sqrt(2)/2, sqrt(2)], z = (m - 1)/(m + 1), and
// ln x = e*ln2_hi + 2*z*S(z^2) + e*ln2_lo, where S is the series of atanh(z)/z cut after twenty
// terms (|z| <= 0.1716, so the first omitted term is below 2^-100 of the sum).
#pragma once

#include <bit>
#include <cstdint>

namespace vrel::math {

// ln 2 split into a head with trailing zero bits (e*head is exact for |e| < 2^10) and a tail.
inline constexpr double kLn2Head = 0.6931467056274414;
inline constexpr double kLn2Tail = 4.7493250390316726e-7;

// Natural logarithm of a positive finite x, subnormals included. Other arguments are outside its
// domain: 0 gives a large negative finite value, negative and non-finite x are not meaningful.
inline double log(double x) noexcept {
  int e = 0;
  if (x < 2.2250738585072014e-308) {  // subnormal: scale into the normal range first
    x *= 4503599627370496.0;          // 2^52
    e = -52;
  }
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  e += static_cast<int>((bits >> 52) & 0x7FF) - 1023;
  // Mantissa in [1, 2); the smallest double above sqrt(2) moves it to (sqrt(2)/2, 1).
  double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  if (m >= 1.4142135623730951) {
    m *= 0.5;
    ++e;
  }
  const double z = (m - 1.0) / (m + 1.0);
  const double w = z * z;
  // S = sum_{k=0}^{19} w^k / (2k + 1), Horner from the highest term.
  double s = 1.0 / 39.0;
  for (int k = 18; k >= 0; --k) s = s * w + 1.0 / (2 * k + 1);
  const double de = static_cast<double>(e);
  return de * kLn2Head + 2.0 * z * s + de * kLn2Tail;
}

}  // namespace vrel::math
