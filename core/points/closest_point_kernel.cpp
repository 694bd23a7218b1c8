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

#include "points/tree.hpp"
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
Candidate candidate(const double q[3], const double a[3], const double b[3],
                    const double c[3]) noexcept {
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

// The squared distance of q to faces of a block: closest_on_triangle and `candidate`
// written without branches (every region's condition is evaluated and the first true one
// selects the weights; the one division is that of the selected region), so that the loop runs
// on vectors of faces. Each distance is bit-identical to the scalar one.
// `Faces` is a FaceBlock or FaceColumns; faces [first, first + count) are measured.
template <typename Faces>
[[gnu::always_inline]] inline void face_distances(const Faces& f, int64_t first, int64_t count,
                                                  const double q[3], double* out) noexcept {
  const double qx = q[0], qy = q[1], qz = q[2];
  for (int64_t k = 0; k < count; ++k) {
    const int64_t i = first + k;
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
    out[k] = dy * dy + dx * dx + dz * dz;
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
          face_distances(block, 0, block.count, pts[t], dist);
          for (int64_t i = 0; i < block.count; ++i) {
            if (!(dist[i] < mine.d)) continue;
            // A new best: its weights and point come from the scalar test, which gives the same
            // distance.
            const double a[3] = {block.ax[i], block.ay[i], block.az[i]};
            const double b[3] = {block.bx[i], block.by[i], block.bz[i]};
            const double c[3] = {block.cx[i], block.cy[i], block.cz[i]};
            const Candidate k = candidate(pts[t], a, b, c);
            mine = Best{
                k.d, block.row[i], {k.hit.wa, k.hit.wb, k.hit.wc}, {k.at[0], k.at[1], k.at[2]}};
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
[[VREL_POINTS_AVX512]] void search_avx512(const ClosestProblem<T>& p) noexcept {
  search(p);
}
template <typename T>
[[VREL_POINTS_AVX2]] void search_avx2(const ClosestProblem<T>& p) noexcept {
  search(p);
}
template <typename T>
void search_baseline(const ClosestProblem<T>& p) noexcept {
  search(p);
}

// ---- Indexed search ----------------------------------------------------------------------

constexpr int kLeaf = 8;
constexpr double kUnit = 0x1p-53;  // unit roundoff of double

// Sections of the index memory, each 64-byte aligned: per usable face (numbered in row order)
// its widened box and global row; the tree's permutation; the faces in tree order as the
// coordinate columns of FaceColumns, and their rows; the nodes; the points' visiting order.
struct ClosestLayout {
  uint64_t box = 0, face_row = 0, order = 0, corners = 0, row = 0, nodes = 0, keys = 0, total = 0;
  bool overflow = false;

  ClosestLayout(int64_t points, int64_t n) noexcept {
    const uint64_t count = static_cast<uint64_t>(n);
    uint64_t at = 0;
    auto section = [&](uint64_t element, uint64_t elements) {
      uint64_t bytes = 0;
      overflow |= __builtin_mul_overflow(element, elements, &bytes) ||
                  __builtin_add_overflow(bytes, 63, &bytes);
      const uint64_t start = at;
      overflow |= __builtin_add_overflow(at, bytes / 64 * 64, &at);
      return start;
    };
    box = section(6 * sizeof(double), count);
    face_row = section(sizeof(int32_t), count);
    order = section(sizeof(int32_t), count);
    corners = section(15 * sizeof(double), count);
    row = section(sizeof(int32_t), count);
    nodes = section(sizeof(TreeNode<double>), static_cast<uint64_t>(tree_node_bound(n, kLeaf)));
    keys = section(sizeof(uint64_t), static_cast<uint64_t>(points));
    total = at;
  }
};

// Faces in coordinate columns (corners, then the edge vectors from A), as FaceBlock holds them.
struct FaceColumns {
  double *ax, *ay, *az, *bx, *by, *bz, *cx, *cy, *cz, *abx, *aby, *abz, *acx, *acy, *acz;

  FaceColumns(double* base, int64_t n) noexcept {
    double** columns[] = {&ax, &ay,  &az,  &bx,  &by,  &bz,  &cx, &cy,
                          &cz, &abx, &aby, &abz, &acx, &acy, &acz};
    for (int c = 0; c < 15; ++c) *columns[c] = base + c * n;
  }
  void store(int64_t j, const double a[3], const double b[3], const double c[3]) const noexcept {
    ax[j] = a[0], ay[j] = a[1], az[j] = a[2];
    bx[j] = b[0], by[j] = b[1], bz[j] = b[2];
    cx[j] = c[0], cy[j] = c[1], cz[j] = c[2];
    abx[j] = b[0] - a[0], aby[j] = b[1] - a[1], abz[j] = b[2] - a[2];
    acx[j] = c[0] - a[0], acy[j] = c[1] - a[1], acz[j] = c[2] - a[2];
  }
};

template <typename P>
P* section(void* workspace, uint64_t offset) noexcept {
  return reinterpret_cast<P*>(static_cast<unsigned char*>(workspace) + offset);
}

inline double norm(const double v[3]) noexcept { return std::sqrt(dot(v, v)); }

// How far the rounded closest point of face (a, b, c) can lie outside the face's box, for any
// point within the box [plo, phi]; +infinity when the bound is not small enough to be useful.
//
// The dot products d1..d6 are bounded by D = L (R + L), L the longest edge and R the farthest
// such point from A, and each carries a rounding error below 16 u D; the products va, vb, vc
// then carry errors below E = 128 u D^2 against their sum |n|^2 (n the doubled-area normal). In
// the corner and edge regions the weights are exact or in [0, 1]; inside, each weight is off
// its exact value (which may itself be slightly negative when the region was decided by
// rounded values) by at most 64 E / |n|^2 = tau while that stays below 1/8. The point is then
// within 3 tau L of the face, plus the rounding of the weighted sum, below 16 u M (1 + 2 tau)
// with M the largest coordinate magnitude. The margin takes four times that.
double face_margin(const double a[3], const double b[3], const double c[3], const double n[3],
                   const double plo[3], const double phi[3]) noexcept {
  const double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const double ac[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const double bc[3] = {c[0] - b[0], c[1] - b[1], c[2] - b[2]};
  const double edge = std::max({norm(ab), norm(ac), norm(bc)}) * (1 + 0x1p-40);
  double far[3], largest = 0;
  for (int k = 0; k < 3; ++k) {
    far[k] = std::max(std::fabs(phi[k] - a[k]), std::fabs(a[k] - plo[k]));
    largest = std::max({largest, std::fabs(a[k]), std::fabs(b[k]), std::fabs(c[k]),
                        std::fabs(plo[k]), std::fabs(phi[k])});
  }
  const double reach = norm(far) * (1 + 0x1p-40);
  const double bound = edge * (reach + edge);
  const double error = 128 * kUnit * bound * bound;
  const double tau = 64 * error / (dot(n, n) * (1 - 0x1p-40));
  if (!(tau <= 0.125)) return std::numeric_limits<double>::infinity();
  const double margin = 4 * (3 * tau * edge + 16 * kUnit * largest * (1 + 2 * tau));
  return std::isfinite(margin) ? margin : std::numeric_limits<double>::infinity();
}

// Squared distance of q to a box, per axis the rounded gap to the nearer face (0 inside), summed
// as the point distance is: never above the distance computed for any point in the box.
inline double box_distance(const double q[3], const TreeNode<double>& node) noexcept {
  double g[3];
  for (int k = 0; k < 3; ++k)
    g[k] = q[k] < node.lo[k] ? node.lo[k] - q[k] : q[k] > node.hi[k] ? q[k] - node.hi[k] : 0.0;
  return g[1] * g[1] + g[0] * g[0] + g[2] * g[2];
}

// The best face so far. A face replaces it when strictly nearer, or equally near with a lower
// row: the face the exhaustive scan in row order keeps. No face is ever taken at +inf.
struct Ranked {
  Candidate best;
  int32_t face = -1;

  // Faces [first, first + count) of the columns with their rows; distances as the exhaustive
  // search computes them, and the scalar test for a face that wins (the same distance).
  [[gnu::always_inline]] void offer(const double q[3], const FaceColumns& f, const int32_t* rows,
                                    int64_t first, int64_t count, double* dist) noexcept {
    face_distances(f, first, count, q, dist);
    for (int64_t k = 0; k < count; ++k) {
      const int64_t j = first + k;
      if (!(dist[k] < best.d || (dist[k] == best.d && face >= 0 && rows[j] < face))) continue;
      const double a[3] = {f.ax[j], f.ay[j], f.az[j]};
      const double b[3] = {f.bx[j], f.by[j], f.bz[j]};
      const double c[3] = {f.cx[j], f.cy[j], f.cz[j]};
      best = candidate(q, a, b, c);
      face = rows[j];
    }
  }
};

template <typename T>
bool finite_rows(const T* rows, int64_t begin, int64_t end) noexcept {
  bool finite = true;
  for (int64_t i = 3 * begin; i < 3 * end; ++i) finite &= std::isfinite(rows[i]);
  return finite;
}

// The exhaustive search over batch element e alone.
template <typename T>
void search_element(const ClosestProblem<T>& p, int64_t e) noexcept {
  ClosestProblem<T> part = p;
  part.point_offsets = p.point_offsets + e;
  part.face_offsets = p.face_offsets + e;
  part.batch = 1;
  closest_point_search(part);
}

template <typename T>
[[gnu::always_inline]] inline void indexed(const ClosestProblem<T>& p, int64_t point_count,
                                           int64_t face_count, void* workspace,
                                           int64_t min_indexed) noexcept {
  const ClosestLayout layout(point_count, face_count);
  uint64_t* keys = section<uint64_t>(workspace, layout.keys);
  double* boxes = section<double>(workspace, layout.box);
  int32_t* face_row = section<int32_t>(workspace, layout.face_row);
  int32_t* order = section<int32_t>(workspace, layout.order);
  const FaceColumns columns(section<double>(workspace, layout.corners), face_count);
  int32_t* rows = section<int32_t>(workspace, layout.row);
  TreeNode<double>* nodes = section<TreeNode<double>>(workspace, layout.nodes);
  for (int64_t e = 0; e < p.batch; ++e) {
    const int64_t p_begin = p.point_offsets[e], p_end = p.point_offsets[e + 1];
    const int64_t f_begin = p.face_offsets[e], f_end = p.face_offsets[e + 1];
    if (p_begin == p_end) continue;
    bool finite = f_end - f_begin >= std::max<int64_t>(min_indexed, 1) &&
                  finite_rows(p.points, p_begin, p_end);
    for (int64_t f = f_begin; finite && f < f_end; ++f)
      for (int k = 0; k < 3; ++k)
        finite &= finite_rows(p.vertices, p.faces[3 * f + k], p.faces[3 * f + k] + 1);
    if (!finite) {
      search_element(p, e);
      continue;
    }
    double plo[3], phi[3];
    load(p.points, p_begin, plo);
    load(p.points, p_begin, phi);
    for (int64_t i = p_begin + 1; i < p_end; ++i) {
      double q[3];
      load(p.points, i, q);
      for (int k = 0; k < 3; ++k) plo[k] = std::min(plo[k], q[k]), phi[k] = std::max(phi[k], q[k]);
    }
    // Usable faces (the exhaustive area test), tree faces from the front of `order`, faces kept
    // out of the tree from the back.
    int32_t usable = 0, front = 0, back = static_cast<int32_t>(f_end - f_begin);
    for (int64_t f = f_begin; f < f_end; ++f) {
      double a[3], b[3], c[3];
      load(p.vertices, p.faces[3 * f], a);
      load(p.vertices, p.faces[3 * f + 1], b);
      load(p.vertices, p.faces[3 * f + 2], c);
      const double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
      const double ac[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
      const double n[3] = {ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2],
                           ab[0] * ac[1] - ab[1] * ac[0]};
      if (!(std::sqrt(dot(n, n)) > p.eps)) continue;
      const int32_t id = usable++;
      face_row[id] = static_cast<int32_t>(f);
      const double margin = face_margin(a, b, c, n, plo, phi);
      double* box = boxes + 6 * id;
      for (int k = 0; k < 3; ++k) {
        box[k] = std::min({a[k], b[k], c[k]}) - margin;
        box[3 + k] = std::max({a[k], b[k], c[k]}) + margin;
      }
      if (std::isfinite(margin))
        order[front++] = id;
      else
        order[--back] = id;
    }
    // Close the gap so that the faces kept out follow the tree's range directly.
    const int32_t outside = static_cast<int32_t>(f_end - f_begin) - back;
    for (int32_t i = 0; i < outside; ++i) order[front + i] = order[back + i];
    if (front > 0)
      build_tree(
          nodes, order, front, kLeaf,
          [&](int32_t id, double lo[3], double hi[3]) {
            for (int k = 0; k < 3; ++k) lo[k] = boxes[6 * id + k], hi[k] = boxes[6 * id + 3 + k];
          },
          [&](int32_t id, int axis) { return boxes[6 * id + axis] + boxes[6 * id + 3 + axis]; });
    for (int32_t j = 0; j < usable; ++j) {
      const int32_t f = face_row[order[j]];
      double a[3], b[3], c[3];
      load(p.vertices, p.faces[3 * f], a);
      load(p.vertices, p.faces[3 * f + 1], b);
      load(p.vertices, p.faces[3 * f + 2], c);
      columns.store(j, a, b, c);
      rows[j] = f;
    }
    if (front > 0)
      morton_order(p.points + 3 * p_begin, p_end - p_begin, nodes[0].lo, nodes[0].hi, keys);
    for (int64_t visit = 0; visit < p_end - p_begin; ++visit) {
      const int64_t i =
          p_begin + (front > 0 ? static_cast<int64_t>(keys[visit] & 0x7FFFFFFFu) : visit);
      double q[3];
      load(p.points, i, q);
      Ranked mine;
      mine.best.d = std::numeric_limits<double>::infinity();
      alignas(64) double dist[kLeaf];
      for (int32_t j = front; j < usable; j += kLeaf)
        mine.offer(q, columns, rows, j, std::min(kLeaf, usable - j), dist);
      struct Entry {
        int32_t node;
        double bound;
      };
      Entry stack[kTreeStack];
      int top = 0;
      if (front > 0) stack[top++] = {0, box_distance(q, nodes[0])};
      while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.bound > mine.best.d) continue;
        const TreeNode<double>& node = nodes[entry.node];
        if (node.right < 0) {
          mine.offer(q, columns, rows, node.begin, node.end - node.begin, dist);
          continue;
        }
        const int32_t left = entry.node + 1, right = node.right;
        const double bl = box_distance(q, nodes[left]), br = box_distance(q, nodes[right]);
        if (bl <= br) {
          stack[top++] = {right, br};
          stack[top++] = {left, bl};
        } else {
          stack[top++] = {left, bl};
          stack[top++] = {right, br};
        }
      }
      p.distance_squared[i] = static_cast<T>(mine.best.d);
      p.face_index[i] = mine.face;
      p.valid[i] = mine.face >= 0 ? 1 : 0;
      const double w[3] = {mine.best.hit.wa, mine.best.hit.wb, mine.best.hit.wc};
      for (int k = 0; k < 3; ++k) {
        p.barycentric[3 * i + k] = static_cast<T>(mine.face >= 0 ? w[k] : 0.0);
        p.closest[3 * i + k] = static_cast<T>(mine.face >= 0 ? mine.best.at[k] : 0.0);
      }
    }
  }
}

template <typename T>
[[VREL_POINTS_AVX512]] void indexed_avx512(const ClosestProblem<T>& p, int64_t points,
                                           int64_t faces, void* w, int64_t from) noexcept {
  indexed(p, points, faces, w, from);
}
template <typename T>
[[VREL_POINTS_AVX2]] void indexed_avx2(const ClosestProblem<T>& p, int64_t points, int64_t faces,
                                       void* w, int64_t from) noexcept {
  indexed(p, points, faces, w, from);
}
template <typename T>
void indexed_baseline(const ClosestProblem<T>& p, int64_t points, int64_t faces, void* w,
                      int64_t from) noexcept {
  indexed(p, points, faces, w, from);
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

uint64_t closest_index_bytes(int64_t point_count, int64_t face_count,
                             int64_t min_indexed) noexcept {
  if (face_count < std::max<int64_t>(min_indexed, 1)) return 0;
  const ClosestLayout layout(point_count, face_count);
  return layout.overflow ? std::numeric_limits<uint64_t>::max() : layout.total;
}

template <typename T>
void closest_point_search_indexed(const ClosestProblem<T>& p, int64_t point_count,
                                  int64_t face_count, void* workspace, int64_t min_indexed,
                                  Isa isa) noexcept {
  switch (isa) {
    case Isa::kAvx512: return indexed_avx512(p, point_count, face_count, workspace, min_indexed);
    case Isa::kAvx2: return indexed_avx2(p, point_count, face_count, workspace, min_indexed);
    case Isa::kBaseline:
      return indexed_baseline(p, point_count, face_count, workspace, min_indexed);
  }
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
      if (p.faces[3 * j + k] < 0 || p.faces[3 * j + k] >= p.vertex_count)
        return ClosestGradientFault::kVertex;
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
template void closest_point_search_indexed<float>(const ClosestProblem<float>&, int64_t, int64_t,
                                                  void*, int64_t, Isa) noexcept;
template void closest_point_search_indexed<double>(const ClosestProblem<double>&, int64_t, int64_t,
                                                   void*, int64_t, Isa) noexcept;
template ClosestGradientFault closest_point_gradients<float>(
    const ClosestGradients<float>&) noexcept;
template ClosestGradientFault closest_point_gradients<double>(
    const ClosestGradients<double>&) noexcept;

}  // namespace vrel::points
