// Closest-point kernels. All arithmetic is in double precision; float32 data is widened on load
// and the results are rounded on store.
//
// The faces of a batch element stream through a stack block that holds the usable ones in
// coordinate arrays (degenerate faces are dropped once per block, not once per point); the
// distances of a point to a block are computed on vectors of faces, and tiles of points keep
// their best candidate in double precision until every face has been seen.
#include "points/closest_point_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vrel/vrel.h"

namespace vrel::points {
namespace {

constexpr int64_t kFaceBlock = 128;
constexpr int64_t kPointTile = 32;

inline double dot(const double u[3], const double v[3]) noexcept {
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

// Usable faces of a block in coordinate arrays: corners and the two edge vectors from A.
struct FaceBlock {
  alignas(64) double ax[kFaceBlock], ay[kFaceBlock], az[kFaceBlock];
  alignas(64) double bx[kFaceBlock], by[kFaceBlock], bz[kFaceBlock];
  alignas(64) double cx[kFaceBlock], cy[kFaceBlock], cz[kFaceBlock];
  alignas(64) double abx[kFaceBlock], aby[kFaceBlock], abz[kFaceBlock];
  alignas(64) double acx[kFaceBlock], acy[kFaceBlock], acz[kFaceBlock];
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

// The candidate of one face: the region test, c = wB*B + wA*A + wC*C and its squared distance.
struct Candidate {
  TriangleHit hit;
  double at[3];
  double d;
};
Candidate candidate(const double q[3], const double a[3], const double b[3], const double c[3]) noexcept {
  Candidate out;
  out.hit = closest_on_triangle(q, a, b, c);
  for (int k = 0; k < 3; ++k) out.at[k] = out.hit.wb * b[k] + out.hit.wa * a[k] + out.hit.wc * c[k];
  const double dx = q[0] - out.at[0], dy = q[1] - out.at[1], dz = q[2] - out.at[2];
  out.d = dy * dy + dx * dx + dz * dz;
  return out;
}

// Fills `block` with the usable faces of [*next, end), advancing *next past those it read.
template <typename T>
void fill_block(const ClosestProblem<T>& p, int64_t* next, int64_t end, FaceBlock* f) noexcept {
  f->count = 0;
  for (; *next < end && f->count < kFaceBlock; ++*next) {
    const int32_t* corners = p.faces + 3 * *next;
    double a[3], b[3], c[3];
    load(p.vertices, corners[0], a);
    load(p.vertices, corners[1], b);
    load(p.vertices, corners[2], c);
    const double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double ac[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double n[3] = {ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2],
                         ab[0] * ac[1] - ab[1] * ac[0]};
    if (!(std::sqrt(dot(n, n)) > p.eps)) continue;
    const int64_t i = f->count++;
    f->ax[i] = a[0], f->ay[i] = a[1], f->az[i] = a[2];
    f->bx[i] = b[0], f->by[i] = b[1], f->bz[i] = b[2];
    f->cx[i] = c[0], f->cy[i] = c[1], f->cz[i] = c[2];
    f->abx[i] = ab[0], f->aby[i] = ab[1], f->abz[i] = ab[2];
    f->acx[i] = ac[0], f->acy[i] = ac[1], f->acz[i] = ac[2];
    f->row[i] = static_cast<int32_t>(*next);
  }
}

// The squared distance of q to every face of the block: closest_on_triangle and `candidate`
// written without branches (every region's condition is evaluated and the first true one
// selects the weights; the one division is that of the selected region), so that the loop runs
// on vectors of faces. Each distance is bit-identical to the scalar one.
[[gnu::always_inline]] inline void block_distances(const FaceBlock& f, const double q[3],
                                                   double* out) noexcept {
  const double qx = q[0], qy = q[1], qz = q[2];
  for (int64_t i = 0; i < f.count; ++i) {
    const double abx = f.abx[i], aby = f.aby[i], abz = f.abz[i];
    const double acx = f.acx[i], acy = f.acy[i], acz = f.acz[i];
    const double apx = qx - f.ax[i], apy = qy - f.ay[i], apz = qz - f.az[i];
    const double bpx = qx - f.bx[i], bpy = qy - f.by[i], bpz = qz - f.bz[i];
    const double cpx = qx - f.cx[i], cpy = qy - f.cy[i], cpz = qz - f.cz[i];
    const double d1 = abx * apx + aby * apy + abz * apz;
    const double d2 = acx * apx + acy * apy + acz * apz;
    const double d3 = abx * bpx + aby * bpy + abz * bpz;
    const double d4 = acx * bpx + acy * bpy + acz * bpz;
    const double d5 = abx * cpx + aby * cpy + abz * cpz;
    const double d6 = acx * cpx + acy * cpy + acz * cpz;
    const double vc = d4 * d1 - d3 * d2;
    const double vb = d5 * d2 - d6 * d1;
    const double va = d6 * d3 - d5 * d4;
    const bool corner_a = (d1 <= 0) & (d2 <= 0);
    const bool corner_b = (d3 >= 0) & (d3 >= d4);
    const bool edge_ab = (vc <= 0) & (d1 >= 0) & (d3 <= 0);
    const bool corner_c = (d6 >= 0) & (d6 >= d5);
    const bool edge_ac = (vb <= 0) & (d2 >= 0) & (d6 <= 0);
    const bool edge_bc = (va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0);
    // Numerator and denominator of the region's division, lowest priority first.
    double num = 1, den = va + vb + vc;
    num = edge_bc ? d4 - d3 : num;
    den = edge_bc ? (d4 - d3) + (d5 - d6) : den;
    num = edge_ac ? d2 : num;
    den = edge_ac ? d2 - d6 : den;
    num = edge_ab ? d1 : num;
    den = edge_ab ? d1 - d3 : den;
    const double t = num / den;
    const double wb_in = vb * t, wc_in = vc * t;
    double wa = 1 - wb_in - wc_in, wb = wb_in, wc = wc_in;
    wa = edge_bc ? 0 : wa, wb = edge_bc ? 1 - t : wb, wc = edge_bc ? t : wc;
    wa = edge_ac ? 1 - t : wa, wb = edge_ac ? 0 : wb, wc = edge_ac ? t : wc;
    wa = corner_c ? 0 : wa, wb = corner_c ? 0 : wb, wc = corner_c ? 1 : wc;
    wa = edge_ab ? 1 - t : wa, wb = edge_ab ? t : wb, wc = edge_ab ? 0 : wc;
    wa = corner_b ? 0 : wa, wb = corner_b ? 1 : wb, wc = corner_b ? 0 : wc;
    wa = corner_a ? 1 : wa, wb = corner_a ? 0 : wb, wc = corner_a ? 0 : wc;
    const double atx = wb * f.bx[i] + wa * f.ax[i] + wc * f.cx[i];
    const double aty = wb * f.by[i] + wa * f.ay[i] + wc * f.cy[i];
    const double atz = wb * f.bz[i] + wa * f.az[i] + wc * f.cz[i];
    const double dx = qx - atx, dy = qy - aty, dz = qz - atz;
    out[i] = dy * dy + dx * dx + dz * dz;
  }
}

template <typename T>
[[gnu::always_inline]] inline void search(const ClosestProblem<T>& p) noexcept {
  FaceBlock block;
  Best best[kPointTile];
  double pts[kPointTile][3];
  alignas(64) double dist[kFaceBlock];
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
          Best& mine = best[t];
          block_distances(block, pts[t], dist);
          for (int64_t i = 0; i < block.count; ++i) {
            if (!(dist[i] < mine.d)) continue;
            // A new best: its weights and point come from the scalar test, which gives the same
            // distance.
            const double a[3] = {block.ax[i], block.ay[i], block.az[i]};
            const double b[3] = {block.bx[i], block.by[i], block.bz[i]};
            const double c[3] = {block.cx[i], block.cy[i], block.cz[i]};
            const Candidate k = candidate(pts[t], a, b, c);
            mine = Best{k.d, block.row[i], {k.hit.wa, k.hit.wb, k.hit.wc}, {k.at[0], k.at[1], k.at[2]}};
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

template <typename T>
[[VREL_POINTS_AVX512]] void search_avx512(const ClosestProblem<T>& p) noexcept { search(p); }
template <typename T>
[[VREL_POINTS_AVX2]] void search_avx2(const ClosestProblem<T>& p) noexcept { search(p); }
template <typename T>
void search_baseline(const ClosestProblem<T>& p) noexcept { search(p); }

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
void closest_point_search(const ClosestProblem<T>& problem, Isa isa) noexcept {
  switch (isa) {
    case Isa::kAvx512: return search_avx512(problem);
    case Isa::kAvx2: return search_avx2(problem);
    case Isa::kBaseline: return search_baseline(problem);
  }
}

template <typename T>
void closest_point_search(const ClosestProblem<T>& problem) noexcept {
  closest_point_search(problem, best_isa());
}

template <typename T>
ClosestGradientFault closest_point_gradients(const ClosestGradients<T>& p) noexcept {
  // The face and corner indices of every valid point are checked, in point order, before the
  // outputs are cleared: a refusal writes nothing.
  for (int64_t i = 0; i < p.point_count; ++i) {
    if (p.valid[i] == 0) continue;
    const int64_t j = p.face_index[i];
    if (j < 0 || j >= p.face_count) return ClosestGradientFault::kFace;
    for (int k = 0; k < 3; ++k)
      if (p.faces[3 * j + k] < 0 || p.faces[3 * j + k] >= p.vertex_count) return ClosestGradientFault::kVertex;
  }
  if (p.grad_points) std::fill(p.grad_points, p.grad_points + 3 * p.point_count, T(0));
  if (p.grad_vertices) std::fill(p.grad_vertices, p.grad_vertices + 3 * p.vertex_count, T(0));
  for (int64_t i = 0; i < p.point_count; ++i) {
    if (p.valid[i] == 0) continue;
    const int64_t j = p.face_index[i];
    const T g = p.grad_distance[i];
    T e[3];
    for (int a = 0; a < 3; ++a) e[a] = T(2) * g * (p.points[3 * i + a] - p.closest[3 * i + a]);
    if (p.grad_points)
      for (int a = 0; a < 3; ++a) p.grad_points[3 * i + a] += e[a];
    for (int k = 0; k < 3; ++k) {
      const int64_t v = p.faces[3 * j + k];
      if (p.grad_vertices)
        for (int a = 0; a < 3; ++a) p.grad_vertices[3 * v + a] -= e[a] * p.barycentric[3 * i + k];
    }
  }
  return ClosestGradientFault::kNone;
}

template void closest_point_search<float>(const ClosestProblem<float>&) noexcept;
template void closest_point_search<double>(const ClosestProblem<double>&) noexcept;
template void closest_point_search<float>(const ClosestProblem<float>&, Isa) noexcept;
template void closest_point_search<double>(const ClosestProblem<double>&, Isa) noexcept;
template ClosestGradientFault closest_point_gradients<float>(const ClosestGradients<float>&) noexcept;
template ClosestGradientFault closest_point_gradients<double>(const ClosestGradients<double>&) noexcept;

}  // namespace vrel::points
