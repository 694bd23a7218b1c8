#include "shading/loss_curve_kernel.hpp"

#include <cmath>

#include "math/exp_curve.hpp"
#include "math/pairwise.hpp"
#include "shading/curve_lookup.hpp"
#include "shading/dual.hpp"

namespace vrel::shading {
namespace {

// A node value or tangent with its derivative in u.
using InU = Dual<1>;

InU magnitude(const InU& x) noexcept { return x.v < 0 ? -x : x; }
bool same_strict_sign(double a, double b) noexcept { return (a > 0 && b > 0) || (a < 0 && b < 0); }

// Tangent of one channel at node i with respect to the log axis. At the ends: the slope toward
// the single neighbour. Inside: the three-point estimate (the slope at node i of the parabola
// through nodes i-1, i, i+1), passed through Hyman's monotonicity filter (J. M. Hyman, "Accurate
// monotonicity preserving cubic interpolation", SIAM J. Sci. Stat. Comput. 4(4), 1983): zero at
// a local extremum or beside a flat interval, otherwise blended toward zero by the factor
// min(1, 3 min(|d_left|, |d_right|) / |estimate|). Tangents within 3 times the adjacent secants
// keep each Hermite segment monotone (Fritsch and Carlson's sufficient square); when the filter
// acts, the tangent is also scaled by 0.9999999999999982 so that rounding of the control points
// cannot leave that square.
template <typename Node>
InU node_tangent(const Node& y, const double* axis, int64_t nodes, int64_t i) noexcept {
  auto secant = [&](int64_t j) { return (y(j + 1) - y(j)) / (axis[j + 1] - axis[j]); };
  if (i == 0) return secant(0);
  if (i == nodes - 1) return secant(nodes - 2);
  const InU left = secant(i - 1), right = secant(i);
  if (!same_strict_sign(left.v, right.v)) return InU(0.0);
  const double h_left = axis[i] - axis[i - 1], h_right = axis[i + 1] - axis[i];
  const InU estimate = (h_right * left + h_left * right) / (h_left + h_right);
  const InU small = magnitude(left).v <= magnitude(right).v ? magnitude(left) : magnitude(right);
  const InU bound = 3.0 * small;
  const InU size = magnitude(estimate);
  if (!(size.v > bound.v)) return estimate;
  return estimate * (bound / size) * 0.9999999999999982;
}

}  // namespace

bool loss_curve_rows(const double* axis, int64_t nodes, const double* controls, const double* u,
                     int64_t batch, double* curve, double* partial, double* scratch) noexcept {
  const int64_t length = curve_row_length(nodes);
  InU* tangent = reinterpret_cast<InU*>(scratch);  // one channel's N tangents at a time
  static_assert(sizeof(InU) == 2 * sizeof(double));
  for (int64_t b = 0; b < batch; ++b) {
    double* row = curve + b * length;
    double* drow = partial + b * length;
    const double x = u[b], s = 1.0 - x;
    // Node values (and the channel-0 value at cosine 0): exp of the Bezier in u.
    for (int64_t q = 0; q <= 2 * nodes; ++q) {
      const double* c = controls + (b * (2 * nodes + 1) + q) * 4;
      const double q0 = c[0], q1 = c[1], q2 = c[2], q3 = c[3];
      const double m = q1 * s + q2 * x;
      const double log_value =
          (m * s + (q2 * s + q3 * x) * x) * x + ((q0 * s + q1 * x) * s + m * x) * s;
      const double e = math::exp_curve(log_value);
      row[q] = e;
      drow[q] =
          3.0 * (((q1 - q0) * s + (q2 - q1) * x) * s + ((q3 - q2) * x + (q2 - q1) * s) * x) * e;
    }
    row[2 * nodes + 1] = 0.0;
    drow[2 * nodes + 1] = 0.0;
    for (int channel = 0; channel < 2; ++channel) {
      auto node = [&](int64_t i) {
        InU y(row[2 * i + channel]);
        y.d[0] = drow[2 * i + channel];
        return y;
      };
      for (int64_t i = 0; i < nodes; ++i)
        tangent[i] = nodes > 1 ? node_tangent(node, axis, nodes, i) : InU(0.0);
      for (int64_t c = 0; c + 1 < nodes; ++c) {
        const double d = axis[c + 1] - axis[c];
        const InU p[4] = {node(c), node(c) + d * tangent[c] / 3.0,
                          node(c + 1) - d * tangent[c + 1] / 3.0, node(c + 1)};
        for (int k = 0; k < 4; ++k) {
          row[control_entry(nodes, c, k, channel)] = p[k].v;
          drow[control_entry(nodes, c, k, channel)] = p[k].d[0];
        }
      }
    }
    for (int64_t k = 0; k < length; ++k)
      if (!std::isfinite(row[k]) || !std::isfinite(drow[k])) return false;
  }
  return true;
}

VjpFault loss_curve_vjp(const double* partial, const double* gradient, int64_t batch,
                        int64_t length, double* scratch, double* u_gradient) noexcept {
  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t k = 0; k < length; ++k) {
      scratch[k] = partial[b * length + k] * gradient[b * length + k];
      if (!std::isfinite(scratch[k])) return VjpFault::kProduct;
    }
    const double sum = math::pairwise_sum_inplace(scratch, static_cast<std::size_t>(length));
    if (!std::isfinite(sum)) return VjpFault::kSum;
    u_gradient[b] = sum;
  }
  return VjpFault::kNone;
}

}  // namespace vrel::shading
