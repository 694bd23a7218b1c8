// The shading family's normalisation, built from plain arithmetic so that every platform gives
// the same bits: a square root by six Newton steps from 1.5, and robust unit vectors that scale by
// the largest component before normalising (no overflow or underflow in the squares).
#pragma once

namespace vrel::math {

// r after six steps r = (r + x/r) * 0.5 from r = 1.5. Close to sqrt(x) only where six steps
// converge (x roughly in [0.2, 4]); the robust unit vector feeds it s in [1, 3].
inline double newton_sqrt6(double x) noexcept {
  double r = 1.5;
  for (int step = 0; step < 6; ++step) r = (r + x / r) * 0.5;
  return r;
}

// Writes v / |v| to out and returns true, or returns false (out untouched) when the largest
// absolute component is 0 or any component is not finite. m = max |v_i|; (a, b, c) = v / m;
// s = (a^2 + b^2) + c^2; out = (a, b, c) / newton_sqrt6(s).
inline bool robust_unit(const double v[3], double out[3]) noexcept {
  constexpr double kMax = 1.7976931348623157e308;
  for (int i = 0; i < 3; ++i) {
    if (!(v[i] >= -kMax && v[i] <= kMax)) return false;  // NaN or infinite component
  }
  const double ax = v[0] < 0 ? -v[0] : v[0];
  const double ay = v[1] < 0 ? -v[1] : v[1];
  const double az = v[2] < 0 ? -v[2] : v[2];
  double m = ax;
  if (ay > m) m = ay;
  if (az > m) m = az;
  if (!(m > 0.0)) return false;
  const double a = v[0] / m, b = v[1] / m, c = v[2] / m;
  const double r = newton_sqrt6(a * a + b * b + c * c);
  out[0] = a / r;
  out[1] = b / r;
  out[2] = c / r;
  return true;
}

}  // namespace vrel::math
