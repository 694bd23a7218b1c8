// Shared pieces of the opaque renderer tests: scenes, calls of the exports, and an independent
// reference that shares no code with the kernel.
//
// The reference integrates over vertical slabs: every x where two lines of the arrangement meet
// (triangle edges, the pixel's sides, lines of equal depth) is a slab boundary, so within a slab
// the visible structure of each vertical cross-section is fixed and its integral is a polynomial
// of degree at most 2 in x; the two-point Gauss rule then integrates each slab exactly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

inline constexpr uint64_t kCoverageBytes = 596992;
inline constexpr uint64_t kIntegrateBytes = 1047584;

struct Scene {
  std::vector<double> vertices;  // [V,3]
  std::vector<int32_t> faces;    // [F,3]
  std::vector<double> colour;    // [F,3,3]
  int64_t h = 1, w = 1;
  double ox = 0, oy = 0;

  int64_t v() const { return static_cast<int64_t>(vertices.size() / 3); }
  int64_t f() const { return static_cast<int64_t>(faces.size() / 3); }
  int32_t vertex(double x, double y, double z = 0) {
    vertices.insert(vertices.end(), {x, y, z});
    return static_cast<int32_t>(v() - 1);
  }
  void face(int32_t a, int32_t b, int32_t c, std::array<double, 9> rgb = {}) {
    faces.insert(faces.end(), {a, b, c});
    colour.insert(colour.end(), rgb.begin(), rgb.end());
  }
  void triangle(std::array<double, 9> xyz, std::array<double, 9> rgb = {}) {
    const int32_t a = vertex(xyz[0], xyz[1], xyz[2]), b = vertex(xyz[3], xyz[4], xyz[5]),
                  c = vertex(xyz[6], xyz[7], xyz[8]);
    face(a, b, c, rgb);
  }
};

template <typename T>
std::vector<T> cast(const std::vector<double>& values) {
  return std::vector<T>(values.begin(), values.end());
}

// ---- Calls of the exports (status and outputs in double) --------------------------------------

template <typename T = double>
VrelStatus coverage(const Scene& s, std::vector<double>& out, std::string* message = nullptr) {
  Tensor<T> v({s.v(), 3}, cast<T>(s.vertices));
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<T> c({s.h, s.w});
  Workspace ws(kCoverageBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_render_opaque_coverage(v.in(), f.in(), s.h, s.w, s.ox, s.oy, &ctx,
                                                    c.out(), ws.get(), diag);
  out.assign(c.values().begin(), c.values().end());
  if (message) *message = diag.text();
  return st;
}

template <typename T = double>
VrelStatus coverage_backward(const Scene& s, const std::vector<double>& g, std::vector<double>& out,
                             std::string* message = nullptr) {
  Tensor<T> v({s.v(), 3}, cast<T>(s.vertices));
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<T> gt({s.h, s.w}, cast<T>(g));
  Tensor<T> gv({s.v(), 3});
  Workspace ws(kCoverageBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_render_opaque_coverage_backward(
      v.in(), f.in(), s.h, s.w, s.ox, s.oy, gt.in(), &ctx, gv.out(), ws.get(), diag);
  out.assign(gv.values().begin(), gv.values().end());
  if (message) *message = diag.text();
  return st;
}

template <typename T = double>
VrelStatus integrate(const Scene& s, std::vector<double>& out, std::string* message = nullptr) {
  Tensor<T> v({s.v(), 3}, cast<T>(s.vertices));
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<T> col({s.f(), 3, 3}, cast<T>(s.colour));
  Tensor<T> o({s.h, s.w, 4});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_render_opaque_integrate(v.in(), f.in(), col.in(), s.h, s.w, s.ox, s.oy,
                                                     &ctx, o.out(), ws.get(), diag);
  out.assign(o.values().begin(), o.values().end());
  if (message) *message = diag.text();
  return st;
}

template <typename T = double>
VrelStatus integrate_backward(const Scene& s, const std::vector<double>& g,
                              std::vector<double>& grad_vertices, std::vector<double>& grad_colour,
                              std::string* message = nullptr) {
  Tensor<T> v({s.v(), 3}, cast<T>(s.vertices));
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<T> col({s.f(), 3, 3}, cast<T>(s.colour));
  Tensor<T> gt({s.h, s.w, 4}, cast<T>(g));
  Tensor<T> gv({s.v(), 3}), gc({s.f(), 3, 3});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st =
      vrel_render_opaque_integrate_backward(v.in(), f.in(), col.in(), s.h, s.w, s.ox, s.oy, gt.in(),
                                            &ctx, gv.out(), gc.out(), ws.get(), diag);
  grad_vertices.assign(gv.values().begin(), gv.values().end());
  grad_colour.assign(gc.values().begin(), gc.values().end());
  if (message) *message = diag.text();
  return st;
}

// ---- Independent reference --------------------------------------------------------------------

// A line a*x + b*y + c = 0.
struct Line {
  double a, b, c;
};

inline Line line_through(double x0, double y0, double x1, double y1) {
  return {y0 - y1, x1 - x0, x0 * y1 - x1 * y0};
}

// The reference's view of one face: corners, depth plane z = p x + q y + r and colours.
struct RefFace {
  double x[3], y[3], z[3];
  double rgb[9];
  double p = 0, q = 0, r = 0;
  bool degenerate = false;

  // Barycentric coordinates of (px, py) by signed sub-areas.
  std::array<double, 3> bary(double px, double py) const {
    const double d = (x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]);
    const double l1 = ((px - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (py - y[0])) / d;
    const double l2 = ((x[1] - x[0]) * (py - y[0]) - (px - x[0]) * (y[1] - y[0])) / d;
    return {1 - l1 - l2, l1, l2};
  }
  // The y-interval of the vertical cross-section at px (empty when lo > hi).
  std::pair<double, double> section(double px) const {
    double lo = INFINITY, hi = -INFINITY;
    for (int e = 0; e < 3; ++e) {
      const int n = (e + 1) % 3;
      const double xa = std::min(x[e], x[n]), xb = std::max(x[e], x[n]);
      if (xa == xb || px < xa || px > xb) continue;
      const double y0 = y[e] + (y[n] - y[e]) * (px - x[e]) / (x[n] - x[e]);
      lo = std::min(lo, y0);
      hi = std::max(hi, y0);
    }
    return {lo, hi};
  }
};

inline std::vector<RefFace> ref_faces(const Scene& s) {
  std::vector<RefFace> out;
  for (int64_t f = 0; f < s.f(); ++f) {
    RefFace r{};
    for (int k = 0; k < 3; ++k) {
      const int32_t v = s.faces[3 * f + k];
      r.x[k] = s.vertices[3 * v];
      r.y[k] = s.vertices[3 * v + 1];
      r.z[k] = s.vertices[3 * v + 2];
    }
    for (int q = 0; q < 9; ++q) r.rgb[q] = s.colour.empty() ? 0 : s.colour[9 * f + q];
    const double d = (r.x[1] - r.x[0]) * (r.y[2] - r.y[0]) - (r.x[2] - r.x[0]) * (r.y[1] - r.y[0]);
    r.degenerate = d == 0;
    if (!r.degenerate) {
      // Plane through the three corners by Cramer's rule.
      const double dz1 = r.z[1] - r.z[0], dz2 = r.z[2] - r.z[0];
      r.p = (dz1 * (r.y[2] - r.y[0]) - dz2 * (r.y[1] - r.y[0])) / d;
      r.q = ((r.x[1] - r.x[0]) * dz2 - (r.x[2] - r.x[0]) * dz1) / d;
      r.r = r.z[0] - r.p * r.x[0] - r.q * r.y[0];
    }
    out.push_back(r);
  }
  return out;
}

// Integrals over pixel (j, i) of the visible colour (0-2) and the covered area (3); with
// `depth` false every face is equally near and the first in index order is visible.
inline std::array<double, 4> reference_pixel(const Scene& s, int64_t j, int64_t i, bool depth) {
  const double u = s.ox + i, o = s.oy + j;
  std::vector<RefFace> faces;
  for (const RefFace& r : ref_faces(s))
    if (!r.degenerate) faces.push_back(r);
  std::vector<Line> lines{{0, 1, -o}, {0, 1, -(o + 1)}};
  for (const RefFace& r : faces)
    for (int e = 0; e < 3; ++e)
      lines.push_back(line_through(r.x[e], r.y[e], r.x[(e + 1) % 3], r.y[(e + 1) % 3]));
  if (depth)
    for (std::size_t a = 0; a < faces.size(); ++a)
      for (std::size_t b = a + 1; b < faces.size(); ++b)
        lines.push_back(
            {faces[a].p - faces[b].p, faces[a].q - faces[b].q, faces[a].r - faces[b].r});
  std::vector<double> xs{u, u + 1};
  for (const RefFace& r : faces)
    for (int k = 0; k < 3; ++k) xs.push_back(r.x[k]);
  for (std::size_t a = 0; a < lines.size(); ++a)
    for (std::size_t b = a + 1; b < lines.size(); ++b) {
      const Line& l = lines[a];
      const Line& m = lines[b];
      const double det = l.a * m.b - m.a * l.b;
      if (det != 0) xs.push_back((l.b * m.c - m.b * l.c) / det);
    }
  std::sort(xs.begin(), xs.end());
  std::array<double, 4> total{};
  const double g = 0.5 / std::sqrt(3.0);
  for (std::size_t k = 0; k + 1 < xs.size(); ++k) {
    const double xa = std::max(xs[k], u), xb = std::min(xs[k + 1], u + 1);
    if (!(xb > xa)) continue;
    for (const double t : {0.5 - g, 0.5 + g}) {
      const double x = xa + (xb - xa) * t;
      // Breakpoints of the cross-section: section ends and equal-depth crossings.
      std::vector<double> ys{o, o + 1};
      for (const RefFace& r : faces) {
        const auto [lo, hi] = r.section(x);
        if (lo <= hi) ys.insert(ys.end(), {lo, hi});
      }
      for (const Line& l : lines)
        if (l.b != 0) ys.push_back(-(l.a * x + l.c) / l.b);
      std::sort(ys.begin(), ys.end());
      for (std::size_t q = 0; q + 1 < ys.size(); ++q) {
        const double ya = std::max(ys[q], o), yb = std::min(ys[q + 1], o + 1);
        if (!(yb > ya)) continue;
        const double ym = (ya + yb) / 2;
        const RefFace* best = nullptr;
        double best_z = 0;
        for (const RefFace& r : faces) {
          const auto [lo, hi] = r.section(x);
          if (!(lo <= ym && ym <= hi)) continue;
          const double z = depth ? r.p * x + r.q * ym + r.r : 0;
          if (best == nullptr || z < best_z - 1e-12 * (1 + std::fabs(z))) {
            best = &r;
            best_z = z;
          }
        }
        if (best == nullptr) continue;
        const double weight = (xb - xa) * 0.5 * (yb - ya);
        const auto l = best->bary(x, ym);
        for (int c = 0; c < 3; ++c)
          total[c] +=
              weight * (l[0] * best->rgb[c] + l[1] * best->rgb[3 + c] + l[2] * best->rgb[6 + c]);
        total[3] += weight;
      }
    }
  }
  return total;
}

// ---- Random scenes ----------------------------------------------------------------------------

// A random scene over a small image: a shared-edge strip, slivers, corners on pixel boundaries
// and a triangle larger than the image, with random depths and colours.
inline Scene random_scene(uint32_t seed, int64_t h = 3, int64_t w = 3, bool on_grid = true,
                          double sliver = 1e-7) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> pos(-0.5, 3.5), depth(0, 1), col(0, 1);
  auto rgb = [&] {
    std::array<double, 9> c;
    for (double& x : c) x = col(rng);
    return c;
  };
  Scene s;
  s.h = h;
  s.w = w;
  // A strip of four triangles sharing edges.
  int32_t a = s.vertex(pos(rng), pos(rng), depth(rng)),
          b = s.vertex(pos(rng), pos(rng), depth(rng));
  for (int k = 0; k < 4; ++k) {
    const int32_t c = s.vertex(pos(rng), pos(rng), depth(rng));
    s.face(a, b, c, rgb());
    a = b;
    b = c;
  }
  // A sliver of height about `sliver`.
  const double sx = pos(rng), sy = pos(rng);
  s.triangle({sx, sy, depth(rng), sx + 2.5, sy + 1.0, depth(rng), sx + 1.25, sy + 0.5 + sliver,
              depth(rng)},
             rgb());
  // Corners on pixel boundaries.
  if (on_grid) {
    std::uniform_int_distribution<int> grid(0, 3);
    s.triangle(
        {double(grid(rng)), double(grid(rng)), depth(rng), double(grid(rng)), double(grid(rng)),
         depth(rng), double(grid(rng)) + 0.5, double(grid(rng)), depth(rng)},
        rgb());
  }
  // Larger than the image.
  s.triangle({-7, -5, depth(rng) + 0.5, 11, -4, depth(rng) + 0.5, 1, 12, depth(rng) + 0.5}, rgb());
  return s;
}

}  // namespace vrel::test
