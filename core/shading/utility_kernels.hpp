// The shading utilities' kernels, in float64 over dense arrays. Each fixes its order of
// operations, so callers (and other backends) can reproduce the bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "math/pairwise.hpp"
#include "math/unit_vector.hpp"

namespace vrel::shading {

// out[i] = six Newton steps for sqrt(x[i]) from 1.5.
inline void unit_newton(const double* x, uint64_t n, double* out) noexcept {
  for (uint64_t i = 0; i < n; ++i) out[i] = math::newton_sqrt6(x[i]);
}

// Robust unit vector of every row [n, 3]; rows are finite and nonzero (checked before).
inline void unit_vectors(const double* rows, uint64_t n, double* out) noexcept {
  for (uint64_t i = 0; i < n; ++i) math::robust_unit(rows + 3 * i, out + 3 * i);
}

// out[c] = carry[c] + values[0][c] + values[1][c] + ... one addition at a time, in row order.
// Returns false when a channel is not finite (all four are written).
inline bool ordered_rgba(const double* carry, const double* values, uint64_t n,
                         double* out) noexcept {
  bool finite = true;
  for (int c = 0; c < 4; ++c) {
    double sum = carry[c];
    for (uint64_t row = 0; row < n; ++row) sum += values[4 * row + c];
    out[c] = sum;
    finite = finite && std::isfinite(sum);
  }
  return finite;
}

inline constexpr int64_t kDeltaMaxDirections = 8;

// Delta lights through a BRDF, per point b (normal n = robust unit of normal[b]) and direction d:
// cos = (n_x l_x + n_y l_y) + n_z l_z with the direction as given, w = max(cos, 0);
// contribution = (brdf * incoming) * w, incoming gradient = (cotangent[b] * w) * brdf, both 0
// when cos <= 0; radiance[b] = pairwise sum over d of the contributions. Returns false at the
// first non-finite value (the points before are written).
inline bool delta_brdf(const double* normal, const double* brdf, const double* direction,
                       const double* incoming, const double* cotangent, uint64_t points,
                       uint64_t directions, double* radiance, double* incoming_gradient) noexcept {
  double contribution[kDeltaMaxDirections][3];
  for (uint64_t b = 0; b < points; ++b) {
    double n[3] = {0.0, 0.0, 0.0};
    if (!math::robust_unit(normal + 3 * b, n)) return false;  // excluded by the domain checks
    for (uint64_t d = 0; d < directions; ++d) {
      const uint64_t row = 3 * (b * directions + d);
      const double* l = direction + row;
      const double cosine = (n[0] * l[0] + n[1] * l[1]) + n[2] * l[2];
      for (int c = 0; c < 3; ++c) {
        double value = 0.0, gradient = 0.0;
        if (cosine > 0.0) {
          value = (brdf[row + c] * incoming[row + c]) * cosine;
          gradient = (cotangent[3 * b + c] * cosine) * brdf[row + c];
        }
        if (!std::isfinite(value) || !std::isfinite(gradient)) return false;
        contribution[d][c] = value;
        incoming_gradient[row + c] = gradient;
      }
    }
    for (int c = 0; c < 3; ++c) {
      const double sum =
          math::pairwise_sum<double>(directions, [&](std::size_t d) { return contribution[d][c]; });
      if (!std::isfinite(sum)) return false;
      radiance[3 * b + c] = sum;
    }
  }
  return true;
}

}  // namespace vrel::shading
