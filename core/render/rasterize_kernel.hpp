// Multi-layer rasterization over typed, validated arrays, and the conservative rectangle test of
// its tile traversal.
#pragma once

#include <cstdint>

#include "render/pixel_rule.hpp"

namespace vrel::render {

template <typename T>
struct RasterProblem {
  const T* vertices;                                               // [V,3] NDC
  const int32_t* faces;                                            // [F,3] global vertex rows
  const int32_t* face_offsets;                                     // [B+1]
  int64_t batch;                                                   // B
  int64_t global_height, global_width, row_offset, column_offset;  // GH, GW, R0, C0
  int64_t height, width, layers;                                   // H, W, K
  RuleParams rule;
  int32_t* face_index;  // [B,H,W,K]
  T* barycentric;       // [B,H,W,K,3]
  T* depth;             // [B,H,W,K]
  T* signed_distance;   // [B,H,W,K]
};

// Clears each batch element's layers and rasterizes its faces in ascending order.
template <typename T>
void rasterize(const RasterProblem<T>& problem) noexcept;

// A rectangle of pixel centres in global coordinates: columns c0..c1, rows r0..r1 (inclusive).
struct CentreRect {
  double c0, c1, r0, r1;
};

// The traversal's whole-rectangle rejection: true only when the face's guard holds, the
// rectangle's gap to the screen box rejects as the per-pixel box test does, and one edge has the
// rectangle strictly on its positive side and another strictly on its negative side (beyond
// 2 * m^2 * 2^-44, m the largest of 1, GW, GH and the box bounds). Such a rectangle holds no
// pixel that the rule would accept.
bool rectangle_rejected(const ScreenFace& face, const CentreRect& rect, double blur2,
                        double tolerance) noexcept;

// What the traversal skips: a rectangle beyond the box (as above) that either the edge test
// rejects or whose gap exceeds the face's stray bound, the farthest beyond its screen box that a
// pixel which tests inside can lie. The bound follows from the rounding of the edge functions
// when the face's orientation is certain (|area| >= 4 tol); otherwise it is infinite.
bool rectangle_skipped(const ScreenFace& face, const CentreRect& rect, double blur2,
                       double tolerance) noexcept;
double inside_stray(const ScreenFace& face, double tolerance) noexcept;

// The two parts of that test: the gap between the rectangle and the face's screen box (the
// largest of 0, c0 - max cx, min cx - c1, r0 - max cy, min cy - r1; for a face within the
// guard, whose box is finite), and the edge test.
double rectangle_gap(const ScreenFace& face, const CentreRect& rect) noexcept;
bool edges_separate(const ScreenFace& face, const CentreRect& rect, double tolerance) noexcept;

// The traversal's per-pixel skip. It evaluates sign * w_k, sign the sign of the face's area and
// w_k = cross(q_a - p, q_b - p) the edge function of the edge q_a q_b opposite corner k, in the
// affine form c_k + py * y_k + px * x_k (the row part first), and skips a pixel where that value
// is at most -limit[k] for some k: such a pixel lies farther than the blur radius from the face,
// so the rule rejects it. The value is monotone in px, so within a row each edge keeps an interval
// of pixels. Enabled only within the guard and when the orientation is certain (|area| >= 4 tol,
// as for the stray bound).
struct EdgeLimits {
  bool enabled;
  double c[3], x[3],
      y[3];  // sign * cross(q_a, q_b), sign * (q_a.y - q_b.y), sign * (q_b.x - q_a.x)
  double limit[3];
};

EdgeLimits edge_limits(const ScreenFace& face, double blur, double tolerance) noexcept;

// The row part c_k + py * y_k of the value.
inline double edge_row_part(const EdgeLimits& l, int k, double py) noexcept {
  return l.c[k] + py * l.y[k];
}

// Whether the value of edge k keeps the pixel at column px of the row with that row part.
inline bool edge_keeps(const EdgeLimits& l, int k, double row_part, double px) noexcept {
  return row_part + px * l.x[k] > -l.limit[k];
}

inline bool beyond_an_edge(const EdgeLimits& l, double px, double py) noexcept {
  for (int k = 0; k < 3; ++k)
    if (!edge_keeps(l, k, edge_row_part(l, k, py), px)) return true;
  return false;
}

// The tolerance m^2 * 2^-44 of a face.
double rejection_tolerance(const ScreenFace& face, double global_width,
                           double global_height) noexcept;

}  // namespace vrel::render
