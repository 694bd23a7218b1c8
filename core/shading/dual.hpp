// Forward-mode dual numbers: a value and N tangents, carried through the same arithmetic as the
// plain double evaluation. The value of every operation is computed exactly as the double
// operation would compute it, so an evaluation templated over double and Dual<N> gives the same
// value bits in both modes; the tangents are the derivatives of that computed value (divisions
// of tangents multiply by the divisor's reciprocal: one division instead of N).
#pragma once

#include "math/math.hpp"

namespace vrel::shading {

template <int N>
struct Dual {
  double v = 0.0;
  double d[N] = {};

  Dual() = default;
  Dual(double value) noexcept : v(value) {}  // a constant: zero tangents
  // The variable that seeds tangent `slot`.
  static Dual seed(double value, int slot) noexcept {
    Dual x(value);
    x.d[slot] = 1.0;
    return x;
  }
};

template <int N>
Dual<N> operator-(const Dual<N>& a) noexcept {
  Dual<N> r(-a.v);
  for (int i = 0; i < N; ++i) r.d[i] = -a.d[i];
  return r;
}
template <int N>
Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) noexcept {
  Dual<N> r(a.v + b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
  return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) noexcept {
  Dual<N> r(a.v - b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
  return r;
}
template <int N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) noexcept {
  Dual<N> r(a.v * b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
  return r;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) noexcept {
  Dual<N> r(a.v / b.v);
  const double inverse = 1.0 / b.v;
  for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - r.v * b.d[i]) * inverse;
  return r;
}
// Mixed forms with a constant, cheaper than promoting it.
template <int N>
Dual<N> operator+(const Dual<N>& a, double b) noexcept {
  Dual<N> r = a;
  r.v = a.v + b;
  return r;
}
template <int N>
Dual<N> operator+(double a, const Dual<N>& b) noexcept {
  Dual<N> r = b;
  r.v = a + b.v;
  return r;
}
template <int N>
Dual<N> operator-(double a, const Dual<N>& b) noexcept {
  Dual<N> r(a - b.v);
  for (int i = 0; i < N; ++i) r.d[i] = -b.d[i];
  return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, double b) noexcept {
  Dual<N> r = a;
  r.v = a.v - b;
  return r;
}
template <int N>
Dual<N> operator*(const Dual<N>& a, double b) noexcept {
  Dual<N> r(a.v * b);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
  return r;
}
template <int N>
Dual<N> operator*(double a, const Dual<N>& b) noexcept {
  Dual<N> r(a * b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a * b.d[i];
  return r;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, double b) noexcept {
  Dual<N> r(a.v / b);
  const double inverse = 1.0 / b;
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * inverse;
  return r;
}
template <int N>
Dual<N> operator/(double a, const Dual<N>& b) noexcept {
  Dual<N> r(a / b.v);
  const double scale = -r.v / b.v;
  for (int i = 0; i < N; ++i) r.d[i] = scale * b.d[i];
  return r;
}

// Correctly rounded square root of the value; tangents d / (2 sqrt).
template <int N>
Dual<N> sqrt(const Dual<N>& a) noexcept {
  Dual<N> r(math::sqrt(a.v));
  const double half_inverse = 0.5 / r.v;
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * half_inverse;
  return r;
}
inline double sqrt(double a) noexcept { return math::sqrt(a); }

// The value of a plain or dual number.
inline double value(double a) noexcept { return a; }
template <int N>
double value(const Dual<N>& a) noexcept {
  return a.v;
}

}  // namespace vrel::shading
