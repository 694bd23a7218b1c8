// The lookup of a loss-curve row at a cosine, shared by the loss query and the principled BRDF.
//
// Row layout (10N - 6 entries): entries 2j, 2j+1 hold channels 0 and 1 at cosine node j; entries
// 2N, 2N+1 the two channels at cosine 0; then, for each interval c between nodes c and c+1, four
// cubic Bezier control points P0..P3 as channel pairs at 2N + 2 + 8c + 2k + channel. Below the
// first node (and everywhere when N = 1) the row is linear in the cosine from its value at 0;
// from the first node on it is the interval's Bezier in t = (ln mu - logs[c]) / (logs[c+1] -
// logs[c]).
#pragma once

#include <cstdint>

#include "math/log.hpp"

namespace vrel::shading {

// Row length for N cosine nodes.
inline constexpr int64_t curve_row_length(int64_t nodes) noexcept { return 10 * nodes - 6; }
// Entry of Bezier control point k (0..3), channel `channel`, of interval c.
inline constexpr int64_t control_entry(int64_t nodes, int64_t c, int k, int channel) noexcept {
  return 2 * nodes + 2 + 8 * c + 2 * k + channel;
}

// The cosine nodes and their logarithms.
struct CosineAxis {
  const double* cn;
  const double* logs;
  int64_t nodes;
};

// Both channels of a curve row and of its partial row at one cosine, and the curve's slope in
// the cosine.
struct CurveSample {
  double value[2];
  double partial[2];
  double slope[2];
};

// With kValuesOnly the partials and slopes are left unset (the value path of the BRDF).
template <bool kValuesOnly = false>
CurveSample sample_curve(const CosineAxis& axis, const double* curve, const double* partial,
                         double mu) noexcept {
  CurveSample out{};
  const int64_t n = axis.nodes;
  if (n == 1 || mu < axis.cn[0]) {
    const double x = mu / axis.cn[0];
    for (int k = 0; k < 2; ++k) {
      const double rise = curve[k] - curve[2 * n + k];
      out.value[k] = rise * x + curve[2 * n + k];
      if constexpr (kValuesOnly) continue;
      out.partial[k] = (partial[k] - partial[2 * n + k]) * x + partial[2 * n + k];
      out.slope[k] = rise / axis.cn[0];
    }
    return out;
  }
  // Largest node with cn[c] <= mu, capped at N - 2 (cn[0] <= mu holds here).
  int64_t lo = 0, hi = n - 1;
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (axis.cn[mid] <= mu)
      lo = mid;
    else
      hi = mid;
  }
  const int64_t c = lo;
  const double width = axis.logs[c + 1] - axis.logs[c];
  const double t = (math::log(mu) - axis.logs[c]) / width;
  const double s = 1.0 - t;
  auto bezier = [&](const double* row, int k) {
    const double p0 = row[control_entry(n, c, 0, k)], p1 = row[control_entry(n, c, 1, k)];
    const double p2 = row[control_entry(n, c, 2, k)], p3 = row[control_entry(n, c, 3, k)];
    const double m = p1 * s + p2 * t;
    return (m * s + (p2 * s + p3 * t) * t) * t + ((p0 * s + p1 * t) * s + m * t) * s;
  };
  for (int k = 0; k < 2; ++k) {
    out.value[k] = bezier(curve, k);
    if constexpr (kValuesOnly) continue;
    out.partial[k] = bezier(partial, k);
    const double p0 = curve[control_entry(n, c, 0, k)], p1 = curve[control_entry(n, c, 1, k)];
    const double p2 = curve[control_entry(n, c, 2, k)], p3 = curve[control_entry(n, c, 3, k)];
    out.slope[k] = 3.0 *
                   (((p1 - p0) * s + (p2 - p1) * t) * s + ((p2 - p1) * s + (p3 - p2) * t) * t) /
                   width / mu;
  }
  return out;
}

}  // namespace vrel::shading
