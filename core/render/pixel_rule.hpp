// The per-pixel rule of rasterization: whether one face produces a fragment at one pixel centre,
// and its barycentrics, depth and squared edge distance. Everything is in double precision for
// both dtypes. The tile traversal only decides which pixels to hand to this rule; the rule alone
// decides the result.
#pragma once

#include <cmath>
#include <cstdint>

namespace vrel::render {

// The box-gap test skips an outside pixel only beyond this margin (pixels).
inline constexpr double kBoxMargin = 0x1p-20;
// The box-gap test applies when every screen coordinate and GW, GH are at most this in magnitude.
inline constexpr double kGuardLimit = 0x1p20;

inline constexpr uint32_t kCullNone = 1;
inline constexpr uint32_t kCullBack = 2;
inline constexpr uint32_t kCullFront = 3;

// A face in global screen coordinates: column cx, row cy (row 0 at the top), depth z, in the
// order of its corners in the faces array.
struct ScreenFace {
  double cx[3];
  double cy[3];
  double z[3];
  double min_x, max_x, min_y, max_y;  // screen box
  bool guard;  // all six coordinates and GW, GH within kGuardLimit (false for a NaN)
};

// Maps NDC corners to screen space: cx = (x + 1) * GW/2, cy = (1 - y) * GH/2.
inline ScreenFace screen_face(const double x[3], const double y[3], const double z[3],
                              double global_width, double global_height) noexcept {
  ScreenFace s;
  const double half_w = global_width / 2;
  const double half_h = global_height / 2;
  bool guard = std::fabs(global_width) <= kGuardLimit && std::fabs(global_height) <= kGuardLimit;
  for (int k = 0; k < 3; ++k) {
    s.cx[k] = (x[k] + 1) * half_w;
    s.cy[k] = (1 - y[k]) * half_h;
    s.z[k] = z[k];
    guard = guard && std::fabs(s.cx[k]) <= kGuardLimit && std::fabs(s.cy[k]) <= kGuardLimit;
  }
  s.min_x = std::fmin(std::fmin(s.cx[0], s.cx[1]), s.cx[2]);
  s.max_x = std::fmax(std::fmax(s.cx[0], s.cx[1]), s.cx[2]);
  s.min_y = std::fmin(std::fmin(s.cy[0], s.cy[1]), s.cy[2]);
  s.max_y = std::fmax(std::fmax(s.cy[0], s.cy[1]), s.cy[2]);
  s.guard = guard;
  return s;
}

struct RuleParams {
  double blur;   // blur radius in pixels
  double blur2;  // blur * blur
  double eps;
  uint32_t cull;
};

// Nearest edge of a face to a point: squared distance, edge number (0: 0-1, 1: 1-2, 2: 2-0) and
// the clamped segment parameter t of the closest point A + t (B - A).
struct NearestEdge {
  double d;
  int edge;
  double t;
};

inline double segment_parameter(double px, double py, double ax, double ay, double bx,
                                double by) noexcept {
  const double ex = bx - ax;
  const double ey = by - ay;
  const double len2 = ex * ex + ey * ey;
  if (len2 == 0) return 0;
  const double t = ((px - ax) * ex + (py - ay) * ey) / len2;
  return t < 0 ? 0 : (t > 1 ? 1 : t);
}

// Segments 0-1, 1-2, 2-0 in turn; a later edge replaces the best only when strictly nearer.
inline NearestEdge nearest_edge(const double cx[3], const double cy[3], double px,
                                double py) noexcept {
  NearestEdge best{0, -1, 0};
  for (int e = 0; e < 3; ++e) {
    const int n = e == 2 ? 0 : e + 1;
    const double t = segment_parameter(px, py, cx[e], cy[e], cx[n], cy[n]);
    const double dx = px - (cx[e] + t * (cx[n] - cx[e]));
    const double dy = py - (cy[e] + t * (cy[n] - cy[e]));
    const double d = dx * dx + dy * dy;
    if (e == 0 || d < best.d) best = {d, e, t};
  }
  return best;
}

// Barycentric numerators at p: w0 = cross(a1, a2), w1 = cross(a2, a0), w2 = cross(a0, a1) with
// a_k = q_k - p; their sum is twice the signed area in pixels.
struct EdgeFunctions {
  double w[3];
  double area;
};

inline EdgeFunctions edge_functions(const double cx[3], const double cy[3], double px,
                                    double py) noexcept {
  const double ax0 = cx[0] - px, ay0 = cy[0] - py;
  const double ax1 = cx[1] - px, ay1 = cy[1] - py;
  const double ax2 = cx[2] - px, ay2 = cy[2] - py;
  EdgeFunctions e;
  e.w[0] = ax1 * ay2 - ay1 * ax2;
  e.w[1] = ax2 * ay0 - ay2 * ax0;
  e.w[2] = ax0 * ay1 - ay0 * ax1;
  e.area = e.w[0] + e.w[1] + e.w[2];
  return e;
}

struct Fragment {
  double b[3];
  double z;
  double d;  // squared distance to the nearest edge
  bool inside;
};

// The larger of two numbers that are not NaN (std::fmax without its NaN handling, which is a
// library call on the baseline instruction set).
inline double larger(double a, double b) noexcept { return b > a ? b : a; }

// Screen-box gap of a point along the worse axis: max(0, px - max cx, min cx - px, ...). Used
// within the guard only, where every term is finite; `larger` then agrees with std::fmax up to
// the sign of a zero gap, which only ever meets the positive margin.
inline double box_gap(const ScreenFace& s, double px, double py) noexcept {
  double g = 0;
  g = larger(g, px - s.max_x);
  g = larger(g, s.min_x - px);
  g = larger(g, py - s.max_y);
  g = larger(g, s.min_y - py);
  return g;
}

// True when a gap puts an outside point beyond the blur radius plus the margin.
inline bool gap_rejects(double g, double blur2) noexcept {
  return g > kBoxMargin && (g - kBoxMargin) * (g - kBoxMargin) > blur2;
}

// The rule. `admits(z)` tells whether a fragment of depth z would enter the pixel's layers; when
// it would not, the rule stops early (the outcome for the layers is the same, so a caller that
// admits everything sees the complete rule). Returns true with `out` filled for a fragment.
template <typename Admits>
inline bool pixel_fragment(const ScreenFace& s, const RuleParams& rule, double px, double py,
                           Admits&& admits, Fragment* out) noexcept {
  const EdgeFunctions e = edge_functions(s.cx, s.cy, px, py);
  const double area = e.area;
  if (!(std::fabs(area) > rule.eps)) return false;
  if (rule.cull == kCullBack && !(area < 0)) return false;
  if (rule.cull == kCullFront && !(area > 0)) return false;

  bool inside;
  if (s.guard) {
    // Within the guard every nonzero w_k is at least 2^-160 in magnitude and |area| < 2^46, so
    // w_k / area neither underflows nor overflows: b_k >= 0 exactly when w_k is zero or has the
    // sign of the area. This spares the divisions for the pixels that are rejected.
    const bool positive = area > 0;
    inside = true;
    for (int k = 0; k < 3; ++k) inside = inside && (e.w[k] == 0 || (e.w[k] > 0) == positive);
    if (!inside && gap_rejects(box_gap(s, px, py), rule.blur2)) return false;
  }
  const double b0 = e.w[0] / area;
  const double b1 = e.w[1] / area;
  const double b2 = e.w[2] / area;
  if (!s.guard) inside = b0 >= 0 && b1 >= 0 && b2 >= 0;
  const double z = b0 * s.z[0] + b1 * s.z[1] + b2 * s.z[2];
  if (!admits(z)) return false;
  const double d = nearest_edge(s.cx, s.cy, px, py).d;
  if (!inside && !(d <= rule.blur2)) return false;
  *out = {{b0, b1, b2}, z, d, inside};
  return true;
}

}  // namespace vrel::render
