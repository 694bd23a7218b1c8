// Unevaluated sums hi + lo of two doubles (about 106 significant bits), from error-free
// transformations written in plain arithmetic (no fused multiply-add), so the same bits come out
// on every IEEE 754 machine. Used where a result must be rounded once from an exact-enough value.
#pragma once

namespace vrel::math {

struct DoubleDouble {
  double hi = 0.0;
  double lo = 0.0;
};

// a + b exactly, for any a and b.
inline DoubleDouble two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a + b exactly, for |a| >= |b| (or a = 0).
inline DoubleDouble fast_two_sum(double a, double b) noexcept {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a * b exactly (Dekker's product with Veltkamp's split), for |a|, |b| below 2^995.
inline DoubleDouble two_product(double a, double b) noexcept {
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  const double ta = kSplit * a, tb = kSplit * b;
  const double ah = ta - (ta - a), al = a - ah;
  const double bh = tb - (tb - b), bl = b - bh;
  const double p = a * b;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline DoubleDouble operator*(const DoubleDouble& a, const DoubleDouble& b) noexcept {
  DoubleDouble p = two_product(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return fast_two_sum(p.hi, p.lo);
}

inline DoubleDouble operator*(const DoubleDouble& a, double b) noexcept {
  DoubleDouble p = two_product(a.hi, b);
  p.lo += a.lo * b;
  return fast_two_sum(p.hi, p.lo);
}

inline DoubleDouble operator+(const DoubleDouble& a, double b) noexcept {
  DoubleDouble s = two_sum(a.hi, b);
  s.lo += a.lo;
  return fast_two_sum(s.hi, s.lo);
}

// 1 / a: one Newton correction of the double quotient.
inline DoubleDouble reciprocal(const DoubleDouble& a) noexcept {
  const double q = 1.0 / a.hi;
  const DoubleDouble p = two_product(a.hi, q);
  const double e = ((1.0 - p.hi) - p.lo) - a.lo * q;
  return fast_two_sum(q, q * e);
}

// a / b for a double b: one Newton correction of the double quotient.
inline DoubleDouble operator/(const DoubleDouble& a, double b) noexcept {
  const double q = a.hi / b;
  const DoubleDouble p = two_product(q, b);
  const double e = ((a.hi - p.hi) - p.lo + a.lo) / b;
  return fast_two_sum(q, e);
}

}  // namespace vrel::math
