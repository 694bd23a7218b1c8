// Closest-point kernels. All arithmetic is in double precision; float32 data is widened on load
// and the results are rounded on store.
//
// The faces of a batch element stream through a stack block that holds the usable ones
// (degenerate faces are dropped once per block, not once per point), and tiles of points keep
// their best candidate in double precision until every face has been seen.
#include "points/closest_point_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vrel/vrel.h"

namespace vrel::points {
namespace {

constexpr int64_t kFaceBlock = 256;
constexpr int64_t kPointTile = 32;

inline double dot(const double u[3], const double v[3]) noexcept {
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

struct FaceBlock {
  double a[kFaceBlock][3];
  double b[kFaceBlock][3];
  double c[kFaceBlock][3];
  int32_t row[kFaceBlock];
  int64_t count;
};

struct Best {
  double d;
  int32_t face;
  double w[3];
  double c[3];
};

template <typename T>
void load(const T* rows, int64_t row, double out[3]) noexcept {
  out[0] = static_cast<double>(rows[3 * row]);
  out[1] = static_cast<double>(rows[3 * row + 1]);
  out[2] = static_cast<double>(rows[3 * row + 2]);
}

// Fills `block` with the usable faces of [*next, end), advancing *next past those it read.
template <typename T>
void fill_block(const ClosestProblem<T>& p, int64_t* next, int64_t end, FaceBlock* block) noexcept {
  block->count = 0;
  for (; *next < end && block->count < kFaceBlock; ++*next) {
    const int32_t* corners = p.faces + 3 * *next;
    double* a = block->a[block->count];
    double* b = block->b[block->count];
    double* c = block->c[block->count];
    load(p.vertices, corners[0], a);
    load(p.vertices, corners[1], b);
    load(p.vertices, corners[2], c);
    const double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double ac[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double n[3] = {ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2],
                         ab[0] * ac[1] - ab[1] * ac[0]};
    if (!(std::sqrt(dot(n, n)) > p.eps)) continue;
    block->row[block->count++] = static_cast<int32_t>(*next);
  }
}

template <typename T>
void search(const ClosestProblem<T>& p) noexcept {
  FaceBlock block;
  Best best[kPointTile];
  double pts[kPointTile][3];
  for (int64_t e = 0; e < p.batch; ++e) {
    const int64_t f_begin = p.face_offsets[e], f_end = p.face_offsets[e + 1];
    for (int64_t t0 = p.point_offsets[e]; t0 < p.point_offsets[e + 1]; t0 += kPointTile) {
      const int64_t tile = std::min<int64_t>(kPointTile, p.point_offsets[e + 1] - t0);
      for (int64_t t = 0; t < tile; ++t) {
        best[t] = Best{std::numeric_limits<double>::infinity(), -1, {0, 0, 0}, {0, 0, 0}};
        load(p.points, t0 + t, pts[t]);
      }
      for (int64_t next = f_begin; next < f_end;) {
        fill_block(p, &next, f_end, &block);
        for (int64_t t = 0; t < tile; ++t) {
          const double* q = pts[t];
          Best& mine = best[t];
          for (int64_t i = 0; i < block.count; ++i) {
            const double* a = block.a[i];
            const double* b = block.b[i];
            const double* c = block.c[i];
            const TriangleHit hit = closest_on_triangle(q, a, b, c);
            double at[3];
            for (int k = 0; k < 3; ++k) at[k] = hit.wb * b[k] + hit.wa * a[k] + hit.wc * c[k];
            const double dx = q[0] - at[0], dy = q[1] - at[1], dz = q[2] - at[2];
            const double d = dy * dy + dx * dx + dz * dz;
            if (d < mine.d) {
              mine = Best{d, block.row[i], {hit.wa, hit.wb, hit.wc}, {at[0], at[1], at[2]}};
            }
          }
        }
      }
      for (int64_t t = 0; t < tile; ++t) {
        const int64_t i = t0 + t;
        const Best& mine = best[t];
        p.distance_squared[i] = static_cast<T>(mine.d);
        p.face_index[i] = mine.face;
        p.valid[i] = mine.face >= 0 ? 1 : 0;
        for (int k = 0; k < 3; ++k) {
          p.barycentric[3 * i + k] = static_cast<T>(mine.w[k]);
          p.closest[3 * i + k] = static_cast<T>(mine.c[k]);
        }
      }
    }
  }
}

}  // namespace

TriangleHit closest_on_triangle(const double p[3], const double a[3], const double b[3],
                                const double c[3]) noexcept {
  const double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const double ac[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const double ap[3] = {p[0] - a[0], p[1] - a[1], p[2] - a[2]};
  const double d1 = dot(ab, ap);
  const double d2 = dot(ac, ap);
  if (d1 <= 0 && d2 <= 0) return {1, 0, 0, VREL_POINTS_REGION_CORNER_A};
  const double bp[3] = {p[0] - b[0], p[1] - b[1], p[2] - b[2]};
  const double d3 = dot(ab, bp);
  const double d4 = dot(ac, bp);
  if (d3 >= 0 && d3 >= d4) return {0, 1, 0, VREL_POINTS_REGION_CORNER_B};
  const double vc = d4 * d1 - d3 * d2;
  if (vc <= 0 && d1 >= 0 && d3 <= 0) {
    const double t = d1 / (d1 - d3);
    return {1 - t, t, 0, VREL_POINTS_REGION_EDGE_AB};
  }
  const double cp[3] = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
  const double d5 = dot(ab, cp);
  const double d6 = dot(ac, cp);
  if (d6 >= 0 && d6 >= d5) return {0, 0, 1, VREL_POINTS_REGION_CORNER_C};
  const double vb = d5 * d2 - d6 * d1;
  if (vb <= 0 && d2 >= 0 && d6 <= 0) {
    const double t = d2 / (d2 - d6);
    return {1 - t, 0, t, VREL_POINTS_REGION_EDGE_AC};
  }
  const double va = d6 * d3 - d5 * d4;
  if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0) {
    const double t = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    return {0, 1 - t, t, VREL_POINTS_REGION_EDGE_BC};
  }
  const double s = 1 / (va + vb + vc);
  const double wb = vb * s;
  const double wc = vc * s;
  return {1 - wb - wc, wb, wc, VREL_POINTS_REGION_INSIDE};
}

template <typename T>
void closest_point_search(const ClosestProblem<T>& problem) noexcept {
  search(problem);
}

template <typename T>
ClosestGradientFault closest_point_gradients(const ClosestGradients<T>& p) noexcept {
  if (p.grad_points) std::fill(p.grad_points, p.grad_points + 3 * p.point_count, T(0));
  if (p.grad_vertices) std::fill(p.grad_vertices, p.grad_vertices + 3 * p.vertex_count, T(0));
  for (int64_t i = 0; i < p.point_count; ++i) {
    if (p.valid[i] == 0) continue;
    const int64_t j = p.face_index[i];
    if (j < 0 || j >= p.face_count) return ClosestGradientFault::kFace;
    const T g = p.grad_distance[i];
    T e[3];
    for (int a = 0; a < 3; ++a) e[a] = T(2) * g * (p.points[3 * i + a] - p.closest[3 * i + a]);
    if (p.grad_points)
      for (int a = 0; a < 3; ++a) p.grad_points[3 * i + a] += e[a];
    for (int k = 0; k < 3; ++k) {
      const int64_t v = p.faces[3 * j + k];
      if (v < 0 || v >= p.vertex_count) return ClosestGradientFault::kVertex;
      if (p.grad_vertices)
        for (int a = 0; a < 3; ++a) p.grad_vertices[3 * v + a] -= e[a] * p.barycentric[3 * i + k];
    }
  }
  return ClosestGradientFault::kNone;
}

template void closest_point_search<float>(const ClosestProblem<float>&) noexcept;
template void closest_point_search<double>(const ClosestProblem<double>&) noexcept;
template ClosestGradientFault closest_point_gradients<float>(const ClosestGradients<float>&) noexcept;
template ClosestGradientFault closest_point_gradients<double>(const ClosestGradients<double>&) noexcept;

}  // namespace vrel::points
