// The kernel of Rodrigues rotations and their gradient, over typed pointers and counts. It knows
// nothing of descriptors; the exports have checked every shape, index and alias rule before
// calling it. Float32 data are computed in float32 and float64 data in float64.
#pragma once

#include <cmath>
#include <cstdint>

#include "math/math.hpp"

namespace vrel::animation {

// Below this squared angle the coefficients come from their Taylor series.
inline constexpr double kSeriesLimit = 0.00390625;  // 2^-8

// A = sin(theta)/theta, B = (1 - cos(theta))/theta^2 and their derivatives with respect to
// t = theta^2.
template <typename T>
struct RodriguesCoefficients {
  T a, b, da, db;
};

template <typename T>
RodriguesCoefficients<T> rodrigues_coefficients(T t) noexcept {
  RodriguesCoefficients<T> c;
  if (t <= T(kSeriesLimit)) {
    c.a =
        T(1) + t * (T(-1.0 / 6) + t * (T(1.0 / 120) + t * (T(-1.0 / 5040) + t * T(1.0 / 362880))));
    c.b = T(0.5) +
          t * (T(-1.0 / 24) + t * (T(1.0 / 720) + t * (T(-1.0 / 40320) + t * T(1.0 / 3628800))));
    c.da = T(-1.0 / 6) + t * (T(1.0 / 60) + t * (T(-1.0 / 1680) + t * T(1.0 / 90720)));
    c.db = T(-1.0 / 24) + t * (T(1.0 / 360) + t * (T(-1.0 / 13440) + t * T(1.0 / 907200)));
  } else {
    const T theta = math::sqrt(t);
    const T half_sine = std::sin(theta * T(0.5));
    c.a = std::sin(theta) / theta;
    c.b = T(2) * half_sine * half_sine / t;  // the half-angle form avoids 1 - cos cancellation
    c.da = (std::cos(theta) - c.a) / (T(2) * t);
    c.db = (c.a - T(2) * c.b) / (T(2) * t);
  }
  return c;
}

template <typename T>
T squared_norm(const T* v) noexcept {
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

// False when some vector's squared angle is not finite (nothing is written then).
template <typename T>
bool rodrigues_angles_finite(const T* axis_angle, uint64_t n) noexcept {
  for (uint64_t i = 0; i < n; ++i)
    if (!std::isfinite(squared_norm(axis_angle + 3 * i))) return false;
  return true;
}

// R = I + A K + B (v v^T - t I), row-major, for each of n vectors.
template <typename T>
void rodrigues_forward(const T* axis_angle, uint64_t n, T* out) noexcept {
  for (uint64_t i = 0; i < n; ++i) {
    const T* v = axis_angle + 3 * i;
    const T x = v[0], y = v[1], z = v[2];
    const T t = squared_norm(v);
    const RodriguesCoefficients<T> c = rodrigues_coefficients(t);
    T* r = out + 9 * i;
    r[0] = T(1) + c.b * (x * x - t);
    r[1] = -c.a * z + c.b * x * y;
    r[2] = c.a * y + c.b * x * z;
    r[3] = c.a * z + c.b * x * y;
    r[4] = T(1) + c.b * (y * y - t);
    r[5] = -c.a * x + c.b * y * z;
    r[6] = -c.a * y + c.b * x * z;
    r[7] = c.a * x + c.b * y * z;
    r[8] = T(1) + c.b * (z * z - t);
  }
}

// grad[k] = sum_ij G_ij dR_ij/dv_k with
// dR/dv_k = A dK/dv_k + 2 v_k A' K + B (e_k v^T + v e_k^T - 2 v_k I) + 2 v_k B' (v v^T - t I).
// Contracted with G: A s_k + 2 v_k A' <G,K> + B ((G v)_k + (G^T v)_k - 2 v_k tr G)
// + 2 v_k B' (v^T G v - t tr G), where s = (G21 - G12, G02 - G20, G10 - G01).
template <typename T>
void rodrigues_backward(const T* axis_angle, const T* grad_out, uint64_t n, T* grad) noexcept {
  for (uint64_t i = 0; i < n; ++i) {
    const T* v = axis_angle + 3 * i;
    const T* g = grad_out + 9 * i;
    const T t = squared_norm(v);
    const RodriguesCoefficients<T> c = rodrigues_coefficients(t);
    const T s[3] = {g[7] - g[5], g[2] - g[6], g[3] - g[1]};
    const T gk = v[0] * s[0] + v[1] * s[1] + v[2] * s[2];
    const T trace = g[0] + g[4] + g[8];
    T gv[3], gtv[3];
    for (int r = 0; r < 3; ++r) {
      gv[r] = g[3 * r] * v[0] + g[3 * r + 1] * v[1] + g[3 * r + 2] * v[2];
      gtv[r] = g[r] * v[0] + g[3 + r] * v[1] + g[6 + r] * v[2];
    }
    const T vgv = v[0] * gv[0] + v[1] * gv[1] + v[2] * gv[2];
    const T gs = vgv - t * trace;
    for (int k = 0; k < 3; ++k) {
      const T two_vk = T(2) * v[k];
      grad[3 * i + k] = c.a * s[k] + two_vk * c.da * gk + c.b * (gv[k] + gtv[k] - two_vk * trace) +
                        two_vk * c.db * gs;
    }
  }
}

}  // namespace vrel::animation
