// The per-pixel rules of the opaque renderer: from the candidate triangles of one pixel, the
// exact area of their union within the pixel square (coverage) and the exact integrals of the
// visible, depth-resolved colour (colour integration), each with its derivative with respect to
// one seeded vertex coordinate. Coordinates are pixel-local: the pixel is the unit square. The
// image traversal only decides which faces are candidates of which pixel; these rules alone
// decide the values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "opaque/geometry.hpp"

namespace vrel::opaque {

// No seeded coordinate: a plain evaluation, every derivative 0.
inline constexpr int64_t kNoSeed = -1;

// The seeded coordinates of N tangent lanes (flat indices 3*vertex + axis; kNoSeed for an unused
// lane).
template <int N>
struct Seeds {
  int64_t lane[N];
};

// The corners of one face in pixel-local coordinates (widened to double) and their vertex rows.
struct LocalFace {
  double x[3], y[3], z[3];
  int64_t vertex[3];
};

// The three edge half-planes of a triangle (interior inside all three); inactive covers nothing.
template <typename D>
struct CoverageTriangleOf {
  int32_t active;
  int32_t reserved;
  HalfPlaneOf<D> edges[3];
};
using CoverageTriangle = CoverageTriangleOf<DualValue>;
static_assert(sizeof(CoverageTriangle) == 152, "CoverageTriangle is a fixed 152-byte record");

// A triangle with its depth plane, barycentric planes, corners and doubled signed area.
template <typename D>
struct ShadedTriangleOf {
  int32_t active;
  int32_t reserved;
  HalfPlaneOf<D> edges[3];
  D depth[3];    // p, q, r: depth(x, y) = p*x + q*y + r
  D bary[3][3];  // per corner: alpha, beta, gamma: lambda(x, y) = alpha*x + beta*y + gamma
  PointOf<D> corners[3];
  D doubled_area;
};
using ShadedTriangle = ShadedTriangleOf<DualValue>;
static_assert(sizeof(ShadedTriangle) == 456, "ShadedTriangle is a fixed 456-byte record");

// Seeded corner coordinate: derivative 1 where the seed is the flat index 3*vertex + axis.
inline DualValue seeded(double value, int64_t vertex, int axis, int64_t seed) noexcept {
  return {value, seed == 3 * vertex + axis ? 1.0 : 0.0};
}
template <int N>
inline Tangents<N> seeded(double value, int64_t vertex, int axis, const Seeds<N>& seeds) noexcept {
  Tangents<N> t;
  t.v = value;
  for (int l = 0; l < N; ++l) t.d[l] = seeds.lane[l] == 3 * vertex + axis ? 1.0 : 0.0;
  return t;
}

// The constant 1.
template <typename D>
inline D one() noexcept {
  D r{};
  r.v = 1;
  return r;
}

// Edge e runs from corner e to corner e+1: a = y_e - y_e+1, b = x_e+1 - x_e,
// c = (y_e+1 - y_e) x_e - (x_e+1 - x_e) y_e; negated for a clockwise triangle (negative_area).
template <typename D>
inline void edge_planes(const D x[3], const D y[3], bool negative_area,
                        HalfPlaneOf<D> edges[3]) noexcept {
  for (int e = 0; e < 3; ++e) {
    const int n = e == 2 ? 0 : e + 1;
    HalfPlaneOf<D> h{y[e] - y[n], x[n] - x[e], (y[n] - y[e]) * x[e] - (x[n] - x[e]) * y[e]};
    edges[e] = negative_area ? negated(h) : h;
  }
}

// `Seed` is an int64_t for a DualValue and Seeds<N> for Tangents<N>.
template <typename D, typename Seed>
inline CoverageTriangleOf<D> coverage_triangle(const LocalFace& face, const Seed& seed) noexcept {
  CoverageTriangleOf<D> t{};
  D x[3], y[3];
  for (int k = 0; k < 3; ++k) {
    x[k] = seeded(face.x[k], face.vertex[k], 0, seed);
    y[k] = seeded(face.y[k], face.vertex[k], 1, seed);
  }
  const double doubled =
      (x[1].v - x[0].v) * (y[2].v - y[0].v) - (y[1].v - y[0].v) * (x[2].v - x[0].v);
  if (doubled == 0) return t;
  edge_planes(x, y, doubled < 0, t.edges);
  t.active = 1;
  return t;
}

template <typename D, typename Seed>
inline ShadedTriangleOf<D> shaded_triangle(const LocalFace& face, const Seed& seed) noexcept {
  ShadedTriangleOf<D> t{};
  D x[3], y[3], z[3];
  for (int k = 0; k < 3; ++k) {
    x[k] = seeded(face.x[k], face.vertex[k], 0, seed);
    y[k] = seeded(face.y[k], face.vertex[k], 1, seed);
    z[k] = seeded(face.z[k], face.vertex[k], 2, seed);
  }
  const D e = (y[2] - y[0]) * (x[1] - x[0]) - (x[2] - x[0]) * (y[1] - y[0]);
  if (e.v == 0) return t;
  D(&b)[3][3] = t.bary;
  b[1][0] = (y[2] - y[0]) / e;
  b[1][1] = -(x[2] - x[0]) / e;
  b[2][0] = -(y[1] - y[0]) / e;
  b[2][1] = (x[1] - x[0]) / e;
  b[1][2] = -(x[0] * b[1][0] + y[0] * b[1][1]);
  b[2][2] = -(x[0] * b[2][0] + y[0] * b[2][1]);
  b[0][0] = -(b[1][0] + b[2][0]);
  b[0][1] = -(b[1][1] + b[2][1]);
  b[0][2] = one<D>() - (b[1][2] + b[2][2]);
  const D dz1 = z[1] - z[0], dz2 = z[2] - z[0];
  t.depth[0] = b[1][0] * dz1 + b[2][0] * dz2;
  t.depth[1] = b[1][1] * dz1 + b[2][1] * dz2;
  t.depth[2] = z[0] + b[1][2] * dz1 + b[2][2] * dz2;
  edge_planes(x, y, e.v < 0, t.edges);
  for (int k = 0; k < 3; ++k) t.corners[k] = {x[k], y[k]};
  t.doubled_area = e;
  t.active = 1;
  return t;
}

// Pairs of candidates that certainly cannot overlap: bit b of row a is set when an edge (p, q)
// of one of them has every vertex of the other that is neither p nor q (and at least one)
// certainly on its outer side (an orientation sign beyond its rounding error bound). Such pairs are
// never tested against each other: their interiors are disjoint, so skipping them is exact, and
// faces that share an edge then leave no sliver pieces along it, whose crossing points
// (interpolated between values of the order of rounding) would carry meaningless derivatives.
struct Separation {
  uint32_t rows[32];
  bool apart(int32_t a, int32_t b) const noexcept { return (rows[a] >> b) & 1u; }
};

namespace detail {

// Whether an edge of `f` certainly separates `g` from it.
inline bool edge_separates(const LocalFace& f, const LocalFace& g) noexcept {
  for (int e = 0; e < 3; ++e) {
    const int n = e == 2 ? 0 : e + 1, third = 3 - e - n;
    // The side of f's own third corner, which must be certain.
    const int own = certain_orientation(f.x[e], f.y[e], f.x[n], f.y[n], f.x[third], f.y[third]);
    if (own == 0) continue;
    int tested = 0;
    bool outside = true;
    for (int k = 0; k < 3 && outside; ++k) {
      if (g.vertex[k] == f.vertex[e] || g.vertex[k] == f.vertex[n]) continue;
      ++tested;
      outside = certain_orientation(f.x[e], f.y[e], f.x[n], f.y[n], g.x[k], g.y[k]) == -own;
    }
    if (outside && tested > 0) return true;
  }
  return false;
}

}  // namespace detail

inline Separation separation(const LocalFace* faces, int32_t n) noexcept {
  Separation s{};
  for (int32_t a = 0; a < n; ++a)
    for (int32_t b = a + 1; b < n; ++b)
      if (detail::edge_separates(faces[a], faces[b]) ||
          detail::edge_separates(faces[b], faces[a])) {
        s.rows[a] |= 1u << b;
        s.rows[b] |= 1u << a;
      }
  return s;
}

// Two banks of pieces and three spare polygons for the running remainder.
template <typename D>
struct PixelScratchOf {
  PolygonOf<D>* bank_a;
  PolygonOf<D>* bank_b;
  int32_t bank_capacity;  // kBankCapacity for the workspace's DualValue banks
  PolygonOf<D>* spare;    // 3 polygons
};
using PixelScratch = PixelScratchOf<DualValue>;

namespace detail {

// Appends the part of `piece` outside `plane` to `bank` when it has positive area, and returns
// the part inside (in one of the two first spare records, never `piece` itself), or null when
// that part is empty or of zero area. A piece beyond the bank's capacity sets the overflow flag.
template <typename D>
inline const PolygonOf<D>* split_off(const PolygonOf<D>& piece, const HalfPlaneOf<D>& plane,
                                     BankOf<D>& bank, PolygonOf<D>* spare,
                                     ClipBudget& budget) noexcept {
  PolygonOf<D>& outside = bank.count < bank.capacity ? bank.pieces[bank.count] : spare[2];
  clip(piece, negated(plane), budget, outside);
  if (!is_empty(outside) && area(outside).v > 0) {
    if (bank.count == bank.capacity)
      budget.overflow = 1;
    else
      ++bank.count;
  }
  PolygonOf<D>& inside = &piece == &spare[0] ? spare[1] : spare[0];
  clip(piece, plane, budget, inside);
  if (is_empty(inside) || area(inside).v == 0 || budget.overflow) return nullptr;
  return &inside;
}

// Appends a whole piece of positive area to a bank.
template <typename D>
inline void keep_whole(const PolygonOf<D>& piece, BankOf<D>& bank, ClipBudget& budget) noexcept {
  if (!(area(piece).v > 0)) return;
  if (bank.count == bank.capacity) {
    budget.overflow = 1;
    return;
  }
  copy_polygon(bank.pieces[bank.count++], piece);
}

// The unit square clipped by a triangle's three edges, into `out`; false when empty or of zero
// area.
template <typename D>
inline bool clip_to_triangle(const HalfPlaneOf<D> edges[3], const PixelScratchOf<D>& s,
                             ClipBudget& budget, PolygonOf<D>& out) noexcept {
  unit_square(s.spare[0]);
  clip(s.spare[0], edges[0], budget, s.spare[1]);
  clip(s.spare[1], edges[1], budget, s.spare[0]);
  clip(s.spare[0], edges[2], budget, out);
  return !is_empty(out) && area(out).v != 0;
}

}  // namespace detail

// Area of the union of the active triangles within the unit square: each triangle contributes
// what no earlier triangle covers (its pieces are cut by the edges of every earlier triangle it
// may overlap). Sets
// the budget's overflow flag on exhaustion or a non-finite result.
template <typename D>
inline D union_coverage(const CoverageTriangleOf<D>* tris, int32_t n, const Separation& apart,
                        const PixelScratchOf<D>& s, ClipBudget& budget) noexcept {
  D total{};
  for (int32_t k = 0; k < n && !budget.overflow; ++k) {
    if (!tris[k].active) continue;
    BankOf<D> pieces{s.bank_a, 0, s.bank_capacity};
    BankOf<D> next{s.bank_b, 0, s.bank_capacity};
    if (!detail::clip_to_triangle(tris[k].edges, s, budget, pieces.pieces[0])) continue;
    pieces.count = 1;
    for (int32_t j = 0; j < k && pieces.count > 0 && !budget.overflow; ++j) {
      if (!tris[j].active || apart.apart(k, j)) continue;
      next.count = 0;
      for (int32_t r = 0; r < pieces.count && !budget.overflow; ++r) {
        const PolygonOf<D>* rest = &pieces.pieces[r];
        for (int e = 0; e < 3 && rest != nullptr; ++e)
          rest = detail::split_off(*rest, tris[j].edges[e], next, s.spare, budget);
      }
      std::swap(pieces, next);
    }
    for (int32_t r = 0; r < pieces.count; ++r) total += area(pieces.pieces[r]);
  }
  if (!is_finite(total)) budget.overflow = 1;
  return total;
}

// A piece is negligible when its area is at most 16 u * scale * extent (u the unit roundoff,
// extent the larger side of its bounding box, scale the largest magnitude of the pixel's candidate
// corner coordinates, at least 1): a piece of zero true area can take that much from rounding.
// Its sides lie on lines computed from those corners, each off by a few u * scale, so a sliver
// between two of them that coincide in exact arithmetic (along an edge shared by two nearer
// faces) is about that wide, and at most about its extent long. Dropping such a piece, or
// keeping whole a piece whose hidden part is such a piece, changes the integral of a function
// bounded by 1 over the pixel by at most the bound: no more than the lines' own rounding does,
// and far below 1e-11 for pixel-sized scales. The test reads values only, so every evaluation of
// a pixel, seeded or not, keeps the same pieces.
inline constexpr double kNegligibleArea = 8 * std::numeric_limits<double>::epsilon();

template <typename D>
inline double negligible_scale(const ShadedTriangleOf<D>* tris, int32_t n) noexcept {
  double scale = 1;
  for (int32_t k = 0; k < n; ++k)
    if (tris[k].active)
      for (const PointOf<D>& c : tris[k].corners)
        scale = std::max({scale, std::abs(c.x.v), std::abs(c.y.v)});
  return scale;
}

template <typename D>
inline bool negligible(const PolygonOf<D>& p, double scale) noexcept {
  if (is_empty(p)) return true;
  double x0 = p.points[0].x.v, x1 = x0, y0 = p.points[0].y.v, y1 = y0;
  for (int32_t i = 1; i < p.count; ++i) {
    x0 = std::min(x0, p.points[i].x.v);
    x1 = std::max(x1, p.points[i].x.v);
    y0 = std::min(y0, p.points[i].y.v);
    y1 = std::max(y1, p.points[i].y.v);
  }
  return !(area(p).v > kNegligibleArea * scale * std::max(x1 - x0, y1 - y0));
}

// Result of the visible integration of one pixel: r[0..2] the colour integrals, r[3] the
// visible area.
template <typename D>
struct VisibleIntegralOf {
  D r[4];
};
using VisibleIntegral = VisibleIntegralOf<DualValue>;

// Replaces `piece` by the parts of it that candidate `m` does not hide, appended to `bank`.
// `depth` (k's depth plane minus m's, inside where m is at least as near) is null when m hides
// all of k within m's triangle.
//
// With `whole_unless_hidden`, the piece clipped by m's three edges (R, in a spare record) is
// tested too: when R is empty, of zero area, or certainly nearer for k over all of R, m hides
// nothing of the piece, which stays whole. Without it, a piece is split along m's edges whenever
// the depth planes may cross anywhere in it, also where m's triangle is entirely behind k, as the
// hidden back faces of a closed mesh are: the pieces kept cover the same region either way, but
// each fragment becomes units of the quadrature. The test costs three clips per pair.
// `drop_scale` > 0 (with `whole_unless_hidden`) also counts an R that is negligible at that
// scale (see negligible()) as hiding nothing.
template <typename D>
inline void remove_hidden(const PolygonOf<D>& piece, const ShadedTriangleOf<D>& m,
                          const HalfPlaneOf<D>* depth, BankOf<D>& bank, const PixelScratchOf<D>& s,
                          ClipBudget& budget, bool whole_unless_hidden = false,
                          double drop_scale = 0) noexcept {
  bool whole = depth != nullptr && certainly_excludes(*depth, piece, budget);
  for (int e = 0; e < 3 && !whole; ++e) whole = certainly_excludes(m.edges[e], piece, budget);
  if (!whole && whole_unless_hidden) {
    clip(piece, m.edges[0], budget, s.spare[0]);
    clip(s.spare[0], m.edges[1], budget, s.spare[1]);
    clip(s.spare[1], m.edges[2], budget, s.spare[0]);
    const PolygonOf<D>& within = s.spare[0];
    whole = is_empty(within) || area(within).v == 0 ||
            (drop_scale > 0 && negligible(within, drop_scale)) ||
            (depth != nullptr && certainly_excludes(*depth, within, budget));
    if (budget.overflow) return;
  }
  if (whole) {
    detail::keep_whole(piece, bank, budget);
    return;
  }
  const PolygonOf<D>* rest = &piece;
  for (int e = 0; e < 3 && rest != nullptr; ++e)
    rest = detail::split_off(*rest, m.edges[e], bank, s.spare, budget);
  if (rest != nullptr && depth != nullptr) detail::split_off(*rest, *depth, bank, s.spare, budget);
}

// The pieces of candidate k's triangle within the pixel that no other candidate hides, in the
// bank returned (one of the scratch's two banks; empty when k is inactive or outside the pixel):
// the unit square clipped by k's edges, then, for every other active candidate m in order that
// may overlap k, each piece replaced by what m does not hide. Ties in depth go to the earlier
// candidate. The colour integration and the quadrature both take their pieces from here; the
// quadrature passes `whole_unless_hidden` (see remove_hidden) to keep its pieces few, and
// `drop_negligible`, which drops the pieces of negligible area (see negligible()): the slivers
// that a hidden face leaves along the shared edge of two faces in front of it, which the
// separation of pairs cannot exclude since three faces are involved. Both change the region kept
// by at most rounding-sized areas. The colour integration passes `drop_negligible` too: a sliver's
// corners are interpolated between values of the order of rounding, so its derivatives are
// meaningless and would spoil the vertex gradient (its area is below what the test resolves).
template <typename D>
inline BankOf<D> visible_pieces(const ShadedTriangleOf<D>* tris, int32_t n, int32_t k,
                                const Separation& apart, const PixelScratchOf<D>& s,
                                ClipBudget& budget, bool whole_unless_hidden = false,
                                bool drop_negligible = false) noexcept {
  BankOf<D> pieces{s.bank_a, 0, s.bank_capacity};
  BankOf<D> next{s.bank_b, 0, s.bank_capacity};
  const ShadedTriangleOf<D>& tk = tris[k];
  if (!tk.active || !detail::clip_to_triangle(tk.edges, s, budget, pieces.pieces[0])) return pieces;
  pieces.count = 1;
  const double scale = drop_negligible ? negligible_scale(tris, n) : 0;
  for (int32_t m = 0; m < n && pieces.count > 0 && !budget.overflow; ++m) {
    const ShadedTriangleOf<D>& tm = tris[m];
    if (m == k || !tm.active || apart.apart(k, m)) continue;
    const HalfPlaneOf<D> d{tk.depth[0] - tm.depth[0], tk.depth[1] - tm.depth[1],
                           tk.depth[2] - tm.depth[2]};
    const bool coplanar = d.a.v == 0 && d.b.v == 0 && d.c.v == 0;
    if (coplanar && m > k) continue;
    next.count = 0;
    for (int32_t r = 0; r < pieces.count && !budget.overflow; ++r)
      remove_hidden(pieces.pieces[r], tm, coplanar ? nullptr : &d, next, s, budget,
                    whole_unless_hidden, scale);
    std::swap(pieces, next);
  }
  if (drop_negligible) {
    int32_t kept = 0;
    for (int32_t r = 0; r < pieces.count; ++r)
      if (!negligible(pieces.pieces[r], scale) && kept++ != r)
        copy_polygon(pieces.pieces[kept - 1], pieces.pieces[r]);
    pieces.count = kept;
  }
  return pieces;
}

// Integrates, for every candidate k in order, the corner barycentrics over the part of the pixel
// where k is the nearest surface (weights[k][t]) and the colour interpolated from `colour[k]`
// (corner-major, three channels per corner) over it; ties in depth go to the earlier candidate.
template <typename D>
inline VisibleIntegralOf<D> visible_integral(const ShadedTriangleOf<D>* tris,
                                             const double (*colour)[9], int32_t n,
                                             const Separation& apart, const PixelScratchOf<D>& s,
                                             ClipBudget& budget, D (*weights)[3]) noexcept {
  VisibleIntegralOf<D> out{};
  for (int32_t k = 0; k < n; ++k) weights[k][0] = weights[k][1] = weights[k][2] = D{};
  for (int32_t k = 0; k < n && !budget.overflow; ++k) {
    const ShadedTriangleOf<D>& tk = tris[k];
    if (!tk.active) continue;
    const BankOf<D> pieces = visible_pieces(tris, n, k, apart, s, budget, false, true);
    D(&w)[3] = weights[k];
    for (int32_t r = 0; r < pieces.count; ++r) {
      const MomentsOf<D> mo = moments(pieces.pieces[r]);
      out.r[3] += mo.area;
      for (int t = 0; t < 3; ++t)
        w[t] += tk.bary[t][0] * mo.mx + tk.bary[t][1] * mo.my + tk.bary[t][2] * mo.area;
    }
    for (int t = 0; t < 3; ++t)
      for (int c = 0; c < 3; ++c) out.r[c] += scaled(w[t], colour[k][3 * t + c]);
  }
  for (const D& r : out.r)
    if (!is_finite(r)) budget.overflow = 1;
  return out;
}

}  // namespace vrel::opaque
