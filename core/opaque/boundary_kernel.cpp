#include "opaque/boundary_kernel.hpp"

#include <algorithm>
#include <cmath>

namespace vrel::opaque {

Side pixel_side(int32_t side) noexcept {
  switch (side) {
    case 0: return {0, 0, 1, 0};
    case 1: return {1, 0, 0, 1};
    case 2: return {1, 1, -1, 0};
    default: return {0, 1, 0, -1};
  }
}

namespace {

// A half-plane restricted to a side: a0 + a1 * t (the side's start and direction are 0 or +-1,
// so on the four sides these are the plane's own sums, without rounding of the products).
struct Linear {
  double a0, a1;
};

Linear along(const HalfPlane& h, const Side& s) noexcept {
  return {h.a.v * s.x0 + h.b.v * s.y0 + h.c.v, h.a.v * s.dx + h.b.v * s.dy};
}

// Narrows [lo, hi] to where f >= 0 (closed, as the half-planes are); empty leaves lo > hi.
void narrow(const Linear& f, double& lo, double& hi) noexcept {
  if (f.a1 == 0) {
    if (f.a0 < 0) lo = 1, hi = 0;
    return;
  }
  const double root = -f.a0 / f.a1;
  if (f.a1 > 0)
    lo = std::max(lo, root);
  else
    hi = std::min(hi, root);
}

// The part of the side inside a triangle's three edges (and the plane `depth` when given).
void inside(const ShadedTriangle& t, const HalfPlane* depth, const Side& s, double& lo,
            double& hi) noexcept {
  lo = 0, hi = 1;
  for (const HalfPlane& e : t.edges) narrow(along(e, s), lo, hi);
  if (depth != nullptr) narrow(along(*depth, s), lo, hi);
}

}  // namespace

int32_t visible_side_intervals(const PixelFaces& pixel, const ShadedTriangle* triangles,
                               int32_t side, SideInterval* out, int32_t capacity) noexcept {
  const Side s = pixel_side(side);
  ClipPolygon spare[4];
  const PixelScratch scratch{nullptr, nullptr, 0, spare};
  // As in the area integration, a face whose triangle covers none of the pixel's area neither
  // shows nor hides anything, not even along the pixel's sides (it may lie on the far side of
  // one).
  bool covers[kCandidateCapacity];
  for (int32_t k = 0; k < pixel.count; ++k) {
    ClipBudget budget;
    covers[k] = triangles[k].active &&
                detail::clip_to_triangle(triangles[k].edges, scratch, budget, spare[3]);
  }
  int32_t count = 0;
  double lo[kIntervalCapacity], hi[kIntervalCapacity];
  for (int32_t k = 0; k < pixel.count; ++k) {
    const ShadedTriangle& tk = triangles[k];
    if (!covers[k]) continue;
    int32_t pieces = 1;
    inside(tk, nullptr, s, lo[0], hi[0]);
    if (!(hi[0] > lo[0])) continue;
    for (int32_t m = 0; m < pixel.count && pieces > 0; ++m) {
      const ShadedTriangle& tm = triangles[m];
      if (m == k || !covers[m] || pixel.apart.apart(k, m)) continue;
      const HalfPlane d{tk.depth[0] - tm.depth[0], tk.depth[1] - tm.depth[1],
                        tk.depth[2] - tm.depth[2]};
      const bool coplanar = d.a.v == 0 && d.b.v == 0 && d.c.v == 0;
      if (coplanar && m > k) continue;
      double h0, h1;
      inside(tm, coplanar ? nullptr : &d, s, h0, h1);
      if (!(h1 > h0)) continue;
      // Remove [h0, h1] from every piece; the pieces stay in increasing order.
      double keep_lo[kIntervalCapacity], keep_hi[kIntervalCapacity];
      int32_t kept = 0;
      for (int32_t p = 0; p < pieces; ++p) {
        const double left = std::min(hi[p], h0), right = std::max(lo[p], h1);
        if (left > lo[p] || hi[p] > right) {
          if (kept + 2 > kIntervalCapacity) return -1;
          if (left > lo[p]) keep_lo[kept] = lo[p], keep_hi[kept++] = left;
          if (hi[p] > right) keep_lo[kept] = right, keep_hi[kept++] = hi[p];
        }
      }
      std::copy(keep_lo, keep_lo + kept, lo);
      std::copy(keep_hi, keep_hi + kept, hi);
      pieces = kept;
    }
    for (int32_t p = 0; p < pieces; ++p) {
      if (count == capacity) return -1;
      out[count++] = {k, lo[p], hi[p]};
    }
  }
  return count;
}

template <typename T>
int32_t split_at_cuts(const CutsOf<T>& cuts, const int64_t* faces, const ShadedTriangle* triangles,
                      int32_t side, SideInterval* intervals, int32_t count,
                      int32_t capacity) noexcept {
  if (cuts.lines == 0) return count;
  const Side s = pixel_side(side);
  SideInterval parts[kIntervalCapacity];
  CutLinesOf<DualValue> lines;
  int32_t made = 0, owner = -1;
  for (int32_t q = 0; q < count; ++q) {
    const SideInterval iv = intervals[q];
    // The intervals come in candidate order: each face's lines are built once.
    if (iv.candidate != owner) {
      owner = iv.candidate;
      cut_lines(cuts, faces[owner], triangles[owner], kNoSeed, lines);
    }
    double at[kMaxCuts];
    int32_t roots = 0;
    for (int32_t l = 0; l < lines.count; ++l) {
      const Linear f = along(lines.plane[l], s);
      if (f.a1 == 0) continue;
      const double root = -f.a0 / f.a1;
      if (root > iv.t0 && root < iv.t1) at[roots++] = root;
    }
    std::sort(at, at + roots);
    double t0 = iv.t0;
    for (int32_t r = 0; r <= roots; ++r) {
      const double t1 = r < roots ? at[r] : iv.t1;
      if (!(t1 > t0)) continue;
      if (made == std::min(capacity, kIntervalCapacity)) return -1;
      parts[made++] = {owner, t0, t1};
      t0 = t1;
    }
  }
  std::copy(parts, parts + made, intervals);
  return made;
}

template <typename T>
bool emit_side_nodes(const SideInterval* intervals, int32_t first, int32_t last,
                     const ShadedTriangle* triangles, const int64_t* faces, int32_t side,
                     const LineRule& rule, int32_t* owners, T* nodes) noexcept {
  const Side s = pixel_side(side);
  int32_t slot = 0;
  for (int32_t q = first; q < last; ++q) {
    const SideInterval& iv = intervals[q];
    const ShadedTriangle& t = triangles[iv.candidate];
    const double length = iv.t1 - iv.t0;
    for (int32_t r = 0; r < rule.count; ++r, ++slot) {
      const double at = iv.t0 + length * rule.x[r];
      const double x = s.x0 + at * s.dx, y = s.y0 + at * s.dy;
      double values[4];
      for (int c = 0; c < 3; ++c)
        values[c] = t.bary[c][0].v * x + t.bary[c][1].v * y + t.bary[c][2].v;
      values[3] = length * rule.w[r];
      owners[slot] = static_cast<int32_t>(faces[iv.candidate]);
      for (int c = 0; c < 4; ++c) {
        if (!std::isfinite(values[c])) return false;
        nodes[4 * slot + c] = static_cast<T>(values[c]);
      }
    }
  }
  return true;
}

template <typename T>
Outcome boundary_quadrature(const T* vertices, const int32_t* faces, int64_t face_count,
                            const Image& image, int32_t side, const LineRule& rule, int32_t* owners,
                            T* nodes, const IntegrateWorkspace& ws,
                            const CutsOf<T>& cuts) noexcept {
  const int64_t pixels = image.height * image.width;
  std::fill(owners, owners + kRowSlots * pixels, -1);
  std::fill(nodes, nodes + 4 * kRowSlots * pixels, T(0));
  CandidateScan<T> scan({vertices, faces, face_count}, image, true);
  SideInterval intervals[kIntervalCapacity];
  for (int64_t j = 0; j < image.height; ++j) {
    const double o = image.oy + static_cast<double>(j);
    for (int64_t i = 0; i < image.width; ++i) {
      const int32_t n = scan.collect(j, i, ws.candidates);
      if (n < 0) return Outcome::kCandidates;
      if (n == 0) continue;
      const double u = image.ox + static_cast<double>(i);
      const PixelFaces pixel = pixel_faces(vertices, faces, ws.candidates, n, u, o);
      for (int32_t k = 0; k < n; ++k)
        ws.triangles[k] = shaded_triangle<DualValue>(pixel.faces[k], kNoSeed);
      int32_t count =
          visible_side_intervals(pixel, ws.triangles, side, intervals, kIntervalCapacity);
      if (count > 0)
        count = split_at_cuts(cuts, ws.candidates, ws.triangles, side, intervals, count,
                              kIntervalCapacity);
      if (count < 0 || count * rule.count > kRowSlots) return Outcome::kCapacity;
      const int64_t row = j * image.width + i;
      if (!emit_side_nodes(intervals, 0, count, ws.triangles, ws.candidates, side, rule,
                           owners + kRowSlots * row, nodes + 4 * kRowSlots * row))
        return Outcome::kCapacity;
    }
  }
  return Outcome::kOk;
}

template int32_t split_at_cuts<float>(const CutsOf<float>&, const int64_t*, const ShadedTriangle*,
                                      int32_t, SideInterval*, int32_t, int32_t) noexcept;
template int32_t split_at_cuts<double>(const CutsOf<double>&, const int64_t*, const ShadedTriangle*,
                                       int32_t, SideInterval*, int32_t, int32_t) noexcept;
template bool emit_side_nodes<float>(const SideInterval*, int32_t, int32_t, const ShadedTriangle*,
                                     const int64_t*, int32_t, const LineRule&, int32_t*,
                                     float*) noexcept;
template bool emit_side_nodes<double>(const SideInterval*, int32_t, int32_t, const ShadedTriangle*,
                                      const int64_t*, int32_t, const LineRule&, int32_t*,
                                      double*) noexcept;
template Outcome boundary_quadrature<float>(const float*, const int32_t*, int64_t, const Image&,
                                            int32_t, const LineRule&, int32_t*, float*,
                                            const IntegrateWorkspace&,
                                            const CutsOf<float>&) noexcept;
template Outcome boundary_quadrature<double>(const double*, const int32_t*, int64_t, const Image&,
                                             int32_t, const LineRule&, int32_t*, double*,
                                             const IntegrateWorkspace&,
                                             const CutsOf<double>&) noexcept;

}  // namespace vrel::opaque
