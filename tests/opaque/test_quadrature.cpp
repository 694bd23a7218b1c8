// Quadrature: exactness against the colour integration, node placement, polynomial exactness of
// the units, the node budget, the backward against central differences, the worked cases and the
// argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <random>
#include <string>

#include "opaque/quadrature_kernel.hpp"
#include "opaque/rules.hpp"
#include "tests/opaque/opaque_support.hpp"
#include "tests/support/bad_input.hpp"

namespace vrel::test {
namespace {

constexpr int64_t kSlots = 800;

// Cut coefficients with the extents [F, e1, e2].
struct Cuts {
  int64_t e1 = 3, e2 = 0;
  std::vector<double> values;
};

struct Quadrature {
  VrelStatus status;
  std::vector<int32_t> owners;
  std::vector<double> nodes;
  std::string message;
  // Slot s of pixel p.
  int32_t owner(int64_t p, int64_t s) const { return owners[p * kSlots + s]; }
  const double* node(int64_t p, int64_t s) const { return &nodes[4 * (p * kSlots + s)]; }
};

Quadrature quadrature(const Scene& s, const Cuts& c, bool material = false) {
  Tensor<double> v({s.v(), 3}, s.vertices);
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<double> cuts({s.f(), c.e1, c.e2}, c.values);
  Tensor<int32_t> owners({s.h * s.w, kSlots});
  Tensor<double> nodes({s.h * s.w, kSlots, 4});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  auto fn = material ? vrel_render_opaque_material_quadrature : vrel_render_opaque_quadrature;
  const VrelStatus st = fn(v.in(), f.in(), cuts.in(), s.h, s.w, s.ox, s.oy, &ctx, owners.out(),
                           nodes.out(), ws.get(), diag);
  return {st, owners.values(), nodes.values(), diag.text()};
}

VrelStatus quadrature_backward(const Scene& s, const Cuts& c, const std::vector<double>& g,
                               std::vector<double>& gv, std::vector<double>& gc) {
  Tensor<double> v({s.v(), 3}, s.vertices);
  Tensor<int32_t> f({s.f(), 3}, s.faces);
  Tensor<double> cuts({s.f(), c.e1, c.e2}, c.values);
  Tensor<double> grad({s.h * s.w, kSlots, 4}, g);
  Tensor<double> tv({s.v(), 3}), tc({s.f(), c.e1, c.e2});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st =
      vrel_render_opaque_quadrature_backward(v.in(), f.in(), cuts.in(), s.h, s.w, s.ox, s.oy,
                                             grad.in(), &ctx, tv.out(), tc.out(), ws.get(), diag);
  EXPECT_EQ(st, 0) << diag.text();
  gv = tv.values();
  gc = tc.values();
  return st;
}

int used_slots(const Quadrature& q, int64_t p) {
  int n = 0;
  while (n < kSlots && q.owner(p, n) >= 0) ++n;
  for (int s = n; s < kSlots; ++s) EXPECT_EQ(q.owner(p, s), -1);
  return n;
}

// Random triangles in depth over a small image; z crosses so faces interpenetrate.
Scene random_scene(uint32_t seed, int faces, int64_t h, int64_t w) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> x(-0.5, double(w) + 0.5), y(-0.5, double(h) + 0.5),
      z(0, 4);
  Scene s;
  s.h = h;
  s.w = w;
  for (int f = 0; f < faces; ++f)
    s.triangle({x(rng), y(rng), z(rng), x(rng), y(rng), z(rng), x(rng), y(rng), z(rng)});
  return s;
}

// Random lines on face 0; the other faces' lines are all zero (no cut), so that the cut units of
// a pixel stay within the budget.
Cuts random_cuts(uint32_t seed, int64_t faces, bool packed, int lines) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> c(-1, 1);
  Cuts cuts{packed ? 1 : 3, packed ? 3 * lines + 6 : lines, {}};
  const int64_t row = cuts.e1 * cuts.e2;
  for (int64_t q = 0; q < faces * row; ++q) cuts.values.push_back(q < row ? c(rng) : 0);
  return cuts;
}

// The integral of the corner barycentrics of face `face` over each pixel: the colour
// integration with the identity as that face's corner colours.
std::vector<double> barycentric_integrals(Scene s, int64_t face) {
  s.colour.assign(9 * s.f(), 0);
  for (int t = 0; t < 3; ++t) s.colour[9 * face + 4 * t] = 1;
  std::vector<double> out;
  EXPECT_EQ(integrate(s, out), 0);
  return out;
}

TEST(OpaqueQuadrature, SumsEqualTheColourIntegralsPerFaceAndPixel) {
  // Seeds whose pixels fit the budget in all three layouts (some others do not: a pixel with more
  // units than 800 slots hold at the lowest orders fails, as it must).
  for (uint32_t seed : {1, 2, 3, 4, 7, 8, 10, 11, 12, 13}) {
    const Scene s = random_scene(seed, 3, 3, 3);
    for (int layout = 0; layout < 3; ++layout) {
      const Cuts cuts = layout == 0 ? Cuts{3, 0, {}} : random_cuts(seed, s.f(), layout == 2, 1);
      const Quadrature q = quadrature(s, cuts);
      ASSERT_EQ(q.status, 0) << q.message << " seed " << seed << " layout " << layout;
      for (int64_t face = 0; face < s.f(); ++face) {
        const std::vector<double> ref = barycentric_integrals(s, face);
        for (int64_t p = 0; p < s.h * s.w; ++p) {
          double sums[4] = {};
          for (int64_t slot = 0; slot < kSlots; ++slot) {
            if (q.owner(p, slot) != face) continue;
            const double* n = q.node(p, slot);
            for (int t = 0; t < 3; ++t) sums[t] += n[3] * n[t];
            sums[3] += n[3];
          }
          const double area = ref[4 * p] + ref[4 * p + 1] + ref[4 * p + 2];
          for (int t = 0; t < 3; ++t) EXPECT_NEAR(sums[t], ref[4 * p + t], 1e-11);
          EXPECT_NEAR(sums[3], area, 1e-11) << "seed " << seed << " face " << face;
        }
      }
    }
  }
}

TEST(OpaqueQuadrature, NodesLieInTheirFaceAndPixelAndAreVisible) {
  const Scene s = random_scene(2, 3, 3, 3);
  const Quadrature q = quadrature(s, random_cuts(2, s.f(), false, 1));
  ASSERT_EQ(q.status, 0) << q.message;
  const std::vector<RefFace> faces = ref_faces(s);
  int checked = 0;
  for (int64_t p = 0; p < s.h * s.w; ++p)
    for (int64_t slot = 0; slot < kSlots && q.owner(p, slot) >= 0; ++slot) {
      const RefFace& f = faces[q.owner(p, slot)];
      const double* n = q.node(p, slot);
      double x = 0, y = 0;
      for (int t = 0; t < 3; ++t) {
        EXPECT_GE(n[t], -1e-12);
        x += n[t] * f.x[t];
        y += n[t] * f.y[t];
      }
      EXPECT_NEAR(n[0] + n[1] + n[2], 1, 1e-12);
      EXPECT_GE(x, s.ox + double(p % s.w) - 1e-9);
      EXPECT_LE(x, s.ox + double(p % s.w) + 1 + 1e-9);
      EXPECT_GE(y, s.oy + double(p / s.w) - 1e-9);
      EXPECT_LE(y, s.oy + double(p / s.w) + 1 + 1e-9);
      const double depth = f.p * x + f.q * y + f.r;
      for (const RefFace& other : faces) {
        const auto l = other.bary(x, y);
        if (l[0] > 1e-9 && l[1] > 1e-9 && l[2] > 1e-9) {
          EXPECT_LE(depth, other.p * x + other.q * y + other.r + 1e-9);
        }
      }
      ++checked;
    }
  EXPECT_GT(checked, 100);
}

// One triangle far larger than the pixel [0,1]^2 with corners (-10,-10), (30,-10), (-10,30):
// l1 = (x + 10) / 40 and l2 = (y + 10) / 40, so the line x = a is (-(10+a), 30-a, -(10+a)).
Scene big_triangle() {
  Scene s;
  s.colour.reserve(9);
  s.triangle({-10, -10, 0, 30, -10, 0, -10, 30, 0});
  return s;
}
std::vector<double> vertical_line(double a) { return {-(10 + a), 30 - a, -(10 + a)}; }

// Plain layout [1,3,K] from lines given as (c0, c1, c2) each.
Cuts plain_cuts(const std::vector<std::vector<double>>& lines) {
  Cuts c{3, static_cast<int64_t>(lines.size()), {}};
  c.values.assign(3 * lines.size(), 0);
  for (std::size_t k = 0; k < lines.size(); ++k)
    for (int i = 0; i < 3; ++i) c.values[i * lines.size() + k] = lines[k][i];
  return c;
}

// The integral of x^a y^b over the unit pixel from the nodes, against 1/((a+1)(b+1)), for every
// a + b <= degree.
void expect_exact_monomials(const Quadrature& q, int degree) {
  for (int a = 0; a <= degree; ++a)
    for (int b = 0; a + b <= degree; ++b) {
      double sum = 0;
      for (int64_t slot = 0; slot < kSlots && q.owner(0, slot) >= 0; ++slot) {
        const double* n = q.node(0, slot);
        const double x = 40 * n[1] - 10, y = 40 * n[2] - 10;
        sum += n[3] * std::pow(x, a) * std::pow(y, b);
      }
      EXPECT_NEAR(sum, 1.0 / ((a + 1) * (b + 1)), 1e-12) << "x^" << a << " y^" << b;
    }
}

TEST(OpaqueQuadrature, UnitsIntegratePolynomialsExactlyWithTheBudgetsOrders) {
  const Scene s = big_triangle();
  // No cut: the pixel square in two plain units of 5 x 8 nodes.
  Quadrature q = quadrature(s, Cuts{3, 0, {}});
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 80);
  for (int slot = 0; slot < 80; ++slot) EXPECT_EQ(q.owner(0, slot), 0);
  expect_exact_monomials(q, opaque::plain_rule(8).degree);
  // The material variant without cuts: the 44-node rule, in both K = 0 layouts.
  q = quadrature(s, Cuts{3, 0, {}}, true);
  EXPECT_EQ(used_slots(q, 0), 88);
  expect_exact_monomials(q, opaque::material_rule().degree);
  q = quadrature(s, Cuts{1, 6, {0, 0, 1, 0, 0, 1}}, true);
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 88);
  // A cut along the diagonal x = y: two triangles, 2 cut units at order 12 (576 nodes).
  q = quadrature(s, plain_cuts({{0, 1, -1}}));
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 2 * 288);
  expect_exact_monomials(q, opaque::cut_rule(12).degree);
  // A cut at x = 0.5: two rectangles, each fanned into the triangle holding the cut side (a cut
  // unit) and the other (plain): 2 x 288 + 2 x 40 nodes.
  q = quadrature(s, plain_cuts({vertical_line(0.5)}));
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 656);
  expect_exact_monomials(q, std::min(opaque::cut_rule(12).degree, opaque::plain_rule(8).degree));
  // Nodes on either side of the cut: no unit straddles x = 0.5, so a function with a kink there
  // (|x - 0.5|) is integrated exactly too, and so is one with a jump (the side of x = 0.5).
  double kink = 0, jump = 0;
  for (int slot = 0; slot < 656; ++slot) {
    const double* n = q.node(0, slot);
    const double x = 40 * n[1] - 10;
    kink += n[3] * std::fabs(x - 0.5);
    jump += n[3] * (x < 0.5 ? 1 : 3) * x;
  }
  EXPECT_NEAR(kink, 0.25, 1e-13);
  EXPECT_NEAR(jump, 0.125 + 3 * 0.375, 1e-13);
  // The same cut in the packed layout, with (u, v) = (x, y) at the corners.
  q = quadrature(s, Cuts{1, 9, {-10, -10, 30, -10, -10, 30, 1, 0, -0.5}});
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 656);
}

TEST(OpaqueQuadrature, PixelsBeyondTheBudgetFail) {
  const Scene s = big_triangle();
  // Four strips: the outer two hold one cut side each (a cut and a plain unit), the inner two a
  // cut side in both triangles: 6 cut units at order 5 and 2 plain units of 5 x 8 fill 800 slots.
  Quadrature q = quadrature(
      s, plain_cuts({vertical_line(0.25), vertical_line(0.5), vertical_line(0.75)}));
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 800);
  // Five strips: 8 cut units need 960 nodes at the lowest order.
  q = quadrature(s, plain_cuts({vertical_line(0.2), vertical_line(0.4), vertical_line(0.6),
                                vertical_line(0.8)}));
  EXPECT_EQ(q.status, VREL_STATUS_OVERFLOW);
  EXPECT_EQ(q.message, "quadrature capacity/arithmetic overflow; partial outputs invalid");
}

// A face about the pixel's size whose edges cut off three corners of the pixel: its piece is a
// heptagon, and the cut x = 0.5 splits it into a hexagon and a pentagon. Only the two fan
// triangles holding the cut's sides are cut units (2 x 288 nodes at order 12), the other five
// plain (5 x 40), where seven cut units would need 840 slots.
TEST(OpaqueQuadrature, OneCutThroughAHeptagonalPieceFitsTheBudget) {
  Scene s;
  const double xs[3] = {8.4 / 13, 2.4, -0.45}, ys[3] = {-3.0 / 13, 2.4, 0.5};
  s.triangle({xs[0], ys[0], 0, xs[1], ys[1], 0, xs[2], ys[2], 0});
  const Quadrature q = quadrature(s, plain_cuts({{xs[0] - 0.5, xs[1] - 0.5, xs[2] - 0.5}}));
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 776);
  // The area 1 - 3 x 0.03, and a jump at the cut: 0.44 left of it, 0.47 right of it at 3.
  double area = 0, jump = 0;
  for (int slot = 0; slot < 776; ++slot) {
    const double* n = q.node(0, slot);
    const double x = n[0] * xs[0] + n[1] * xs[1] + n[2] * xs[2];
    area += n[3];
    jump += n[3] * (x < 0.5 ? 1 : 3);
  }
  EXPECT_NEAR(area, 0.91, 1e-14);
  EXPECT_NEAR(jump, 0.44 + 3 * 0.47, 1e-14);
  // A cut through a corner of the piece, x = 2y through (0, 0), exactly (dyadic planes): a seeded
  // evaluation may keep the corner twice where the plain one merges it, and must still find the
  // same units (else the backward fails).
  Scene dyadic;
  dyadic.triangle({-2, -2, 0, 6, -2, 0, -2, 6, 0});
  const Cuts corner = plain_cuts({{2, 10, -14}});
  const Quadrature c = quadrature(dyadic, corner);
  ASSERT_EQ(c.status, 0) << c.message;
  EXPECT_EQ(used_slots(c, 0), 2 * 288 + 40);  // a triangle and a quadrilateral: 2 cut, 1 plain
  std::vector<double> g(4 * kSlots, 0.25), gv, gc;
  EXPECT_EQ(quadrature_backward(dyadic, corner, g, gv, gc), 0);
}

// The budget rule at its boundaries: order 12 while base + 168c < 801, v from what is left
// (at most 8, at least 5), the 44-node rule below 797 slots.
TEST(OpaqueQuadrature, NodeBudgetBoundaries) {
  struct Expect {
    int32_t c, p;
    bool material;
    bool fits;
    int32_t order, v, material_rule, nodes;
  };
  const Expect cases[] = {
      {2, 8, false, true, 12, 5, 0, 776},   // 288*2 + 25*8 = 776 < 801
      {2, 9, false, true, 5, 8, 0, 600},    // 801: order 5, v = 560 / 45 -> 8
      {0, 2, false, true, 12, 8, 0, 80},    // v = 80 capped at 8
      {0, 32, false, true, 12, 5, 0, 800},  // v = 800 / 160 = 5
      {0, 33, false, false, 5, 0, 0, 0},    // v = 4
      {6, 0, false, true, 5, 0, 0, 720},    // 6 cut units at order 5
      {7, 0, false, false, 5, 0, 0, 840},   // 840 > 800
      {5, 8, false, true, 5, 5, 0, 800},    // (800 - 600) / 40 = 5
      {5, 9, false, false, 5, 0, 0, 0},     // v = 4
      {0, 18, true, true, 12, 0, 1, 792},   // 44*18 = 792 < 797
      {0, 19, true, true, 12, 8, 0, 760},   // 836: the Gauss product, v = 800 / 95 -> 8
      {0, 18, false, true, 12, 8, 0, 720},  // without the material variant
  };
  for (const Expect& e : cases) {
    opaque::PixelPlan plan{};
    const bool fits = opaque::node_budget(e.c, e.p, e.material, plan);
    EXPECT_EQ(fits, e.fits) << e.c << " cut, " << e.p << " plain";
    EXPECT_EQ(plan.cut_order, e.order) << e.c << " cut, " << e.p << " plain";
    if (!e.fits) continue;
    EXPECT_EQ(plan.plain_points, e.v) << e.c << " cut, " << e.p << " plain";
    EXPECT_EQ(plan.material_rule, e.material_rule);
    EXPECT_EQ(plan.nodes, e.nodes) << e.c << " cut, " << e.p << " plain";
  }
}

TEST(OpaqueQuadrature, WorkedCases) {
  // An empty pixel beside a triangle: owners -1 and zero nodes in all 800 slots.
  Scene s;
  s.w = 3;
  s.triangle({0.1, 0.1, 0, 0.9, 0.2, 0, 0.3, 0.8, 0});
  Quadrature q = quadrature(s, Cuts{3, 0, {}});
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_GT(used_slots(q, 0), 0);
  EXPECT_EQ(used_slots(q, 2), 0);
  for (int64_t v = 4 * 2 * kSlots; v < 4 * 3 * kSlots; ++v) EXPECT_EQ(q.nodes[v], 0);
  // Two faces sharing the diagonal of the pixel: one plain pair each, no sliver units.
  Scene quad;
  quad.vertex(0, 0);
  quad.vertex(1, 0);
  quad.vertex(1, 1);
  quad.vertex(0, 1);
  quad.face(0, 1, 2);
  quad.face(0, 2, 3);
  q = quadrature(quad, Cuts{3, 0, {}});
  ASSERT_EQ(q.status, 0) << q.message;
  EXPECT_EQ(used_slots(q, 0), 80);  // one unit per face: 2 x 5 x 8
  double total = 0;
  for (int slot = 0; slot < 80; ++slot) total += q.node(0, slot)[3];
  EXPECT_NEAR(total, 1, 1e-15);
  // Layouts: [F,1,7] and K = 17 are refused with the cuts message.
  const std::string cuts_message =
      "opaque quadrature cuts require[F,3,K] K<=16 or packed[F,1,3*K+6] K<=15";
  EXPECT_EQ(quadrature(s, Cuts{1, 7, {}}).message, cuts_message);
  EXPECT_EQ(quadrature(s, Cuts{3, 17, {}}).message, cuts_message);
  EXPECT_EQ(quadrature(s, Cuts{3, 16, {}}).status, 0);
  EXPECT_EQ(quadrature(s, Cuts{1, 51, {}}).status, 0);
  EXPECT_EQ(quadrature(s, Cuts{1, 54, {}}).message, cuts_message);
}

// sum(g * nodes) by central differences of one coordinate, against the backward.
TEST(OpaqueQuadrature, BackwardMatchesCentralDifferences) {
  Scene s;
  s.h = 1;
  s.w = 2;
  // A small face inside the first pixel crossing a larger one in depth, with one cut line; then
  // the larger face moved out of that pixel and two cut lines on the small one.
  s.triangle({0.1, 0.1, 1.0, 0.9, 0.2, 2.0, 0.3, 0.9, 0.5});
  s.triangle({0.2, 1.2, 0.2, 0.9, -0.4, 1.9, 1.8, 0.9, 1.2});
  Cuts cuts = plain_cuts({{0.3, -0.5, 0.1}});
  cuts.values.resize(6, 0);  // the second face has no cut
  Cuts two = cuts;
  two.values = {0.3, 0.6, -0.7, -0.4, -0.7, -0.4, 0, 0, 0, 0, 0, 0};  // l0 = 0.7, l0 = 0.4
  two.e2 = 2;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<double> g(s.h * s.w * kSlots * 4);
  for (double& x : g) x = u(rng);
  Scene apart = s;
  for (int q : {9, 12, 15}) apart.vertices[q] += 1;
  for (const auto& [scene, c] : {std::pair{s, cuts}, std::pair{apart, two}}) {
    std::vector<double> gv, gc;
    ASSERT_EQ(quadrature_backward(scene, c, g, gv, gc), 0);
    auto objective = [&](const Scene& t, const Cuts& k) {
      const Quadrature q = quadrature(t, k);
      EXPECT_EQ(q.status, 0) << q.message;
      double sum = 0;
      for (std::size_t v = 0; v < q.nodes.size(); ++v) sum += g[v] * q.nodes[v];
      return sum;
    };
    const double h = 1e-6;
    for (std::size_t q = 0; q < scene.vertices.size(); ++q) {
      Scene plus = scene, minus = scene;
      plus.vertices[q] += h;
      minus.vertices[q] -= h;
      const double fd = (objective(plus, c) - objective(minus, c)) / (2 * h);
      EXPECT_NEAR(gv[q], fd, 1e-6 * (1 + std::fabs(fd))) << "vertex coordinate " << q;
    }
    // The second face's lines are all zero (no cut): any change makes one, a change of the
    // decomposition; their gradient is zero.
    bool moved = false;
    const std::size_t row = c.values.size() / 2;
    for (std::size_t q = row; q < c.values.size(); ++q) EXPECT_EQ(gc[q], 0);
    for (std::size_t q = 0; q < row; ++q) {
      Cuts plus = c, minus = c;
      plus.values[q] += h;
      minus.values[q] -= h;
      const double fd = (objective(scene, plus) - objective(scene, minus)) / (2 * h);
      EXPECT_NEAR(gc[q], fd, 1e-6 * (1 + std::fabs(fd))) << "cut coefficient " << q;
      moved = moved || std::fabs(gc[q]) > 1e-3;
    }
    EXPECT_TRUE(moved);
  }
}

// The backward's tangent evaluations (eight coordinates at once) against one seeded evaluation
// per coordinate, bit for bit, on the random scenes with and without cuts.
TEST(OpaqueQuadrature, OnePassBackwardEqualsPerSeed) {
  for (uint32_t seed : {1, 2, 3, 4}) {
    const Scene s = random_scene(seed, 3, 3, 3);
    const Cuts cuts = random_cuts(seed, s.f(), seed % 2 == 0, 1);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> g(s.h * s.w * kSlots * 4);
    for (double& x : g) x = u(rng);
    const opaque::QuadratureInputs<double> in{
        s.vertices.data(),
        s.v(),
        s.faces.data(),
        s.f(),
        {cuts.values.data(), cuts.e1 * cuts.e2, cuts.e1 == 1 ? int32_t(cuts.e2 - 6) / 3 : 1,
         cuts.e1 == 1},
        {s.h, s.w, s.ox, s.oy},
        opaque::Variant::kQuadrature};
    Workspace ws(kIntegrateBytes, 8);
    std::vector<double> gv[2], gc[2];
    for (int pass = 0; pass < 2; ++pass) {
      gv[pass].assign(3 * s.v(), -1);
      gc[pass].assign(cuts.values.size(), -1);
      ASSERT_EQ(opaque::quadrature_backward(in, g.data(), opaque::quadrature_workspace(ws->data),
                                            gv[pass].data(), gc[pass].data(), true, pass == 0),
                opaque::Outcome::kOk);
    }
    EXPECT_EQ(gv[0], gv[1]) << "seed " << seed;
    EXPECT_EQ(gc[0], gc[1]) << "seed " << seed;
  }
}

// The per-pixel steps in runs of units, as the batch operators use them: two runs fill the same
// slots as one, and their products add up to the whole pixel's.
TEST(OpaqueQuadrature, RunsOfUnitsMatchTheWholePixel) {
  const Scene s = random_scene(3, 3, 3, 3);
  const Cuts cuts = random_cuts(3, s.f(), false, 1);
  const opaque::QuadratureInputs<double> in{s.vertices.data(),
                                            s.v(),
                                            s.faces.data(),
                                            s.f(),
                                            {cuts.values.data(), 3, 1, false},
                                            {s.h, s.w, s.ox, s.oy},
                                            opaque::Variant::kQuadrature};
  Workspace ws(kIntegrateBytes, 8);
  const opaque::QuadratureWorkspace qw = opaque::quadrature_workspace(ws->data);
  opaque::CandidateScan<double> scan({s.vertices.data(), s.faces.data(), s.f()}, in.image, true);
  std::vector<double> g(kSlots * 4);
  for (std::size_t q = 0; q < g.size(); ++q) g[q] = std::sin(0.37 * double(q));
  int split_pixels = 0;
  for (int64_t j = 0; j < s.h; ++j)
    for (int64_t i = 0; i < s.w; ++i) {
      opaque::PixelPlan plan;
      ASSERT_EQ(opaque::plan_pixel(in, j, i, scan.collect(j, i, qw.candidates), qw, plan),
                opaque::Outcome::kOk);
      if (plan.units < 2) continue;
      ++split_pixels;
      const int32_t mid = plan.units / 2;
      int32_t offset = 0;
      for (int32_t u = 0; u < mid; ++u) offset += opaque::unit_nodes(plan, plan.kinds[u]);
      std::vector<int32_t> whole_owners(kSlots, -1), run_owners(kSlots, -1);
      std::vector<double> whole(4 * kSlots), runs(4 * kSlots);
      ASSERT_EQ(opaque::emit_units(in, plan, 0, plan.units, qw, whole_owners.data(), whole.data()),
                opaque::Outcome::kOk);
      ASSERT_EQ(opaque::emit_units(in, plan, 0, mid, qw, run_owners.data(), runs.data()),
                opaque::Outcome::kOk);
      ASSERT_EQ(opaque::emit_units(in, plan, mid, plan.units, qw, run_owners.data() + offset,
                                   runs.data() + 4 * offset),
                opaque::Outcome::kOk);
      EXPECT_EQ(whole_owners, run_owners);
      EXPECT_EQ(whole, runs);
      std::vector<double> gv_whole(3 * s.v()), gc_whole(3 * s.f()), gv_runs(3 * s.v()),
          gc_runs(3 * s.f());
      ASSERT_EQ(opaque::unit_products(in, plan, 0, plan.units, g.data(), qw, gv_whole.data(),
                                      gc_whole.data()),
                opaque::Outcome::kOk);
      ASSERT_EQ(
          opaque::unit_products(in, plan, 0, mid, g.data(), qw, gv_runs.data(), gc_runs.data()),
          opaque::Outcome::kOk);
      ASSERT_EQ(opaque::unit_products(in, plan, mid, plan.units, g.data() + 4 * offset, qw,
                                      gv_runs.data(), gc_runs.data()),
                opaque::Outcome::kOk);
      for (std::size_t q = 0; q < gv_whole.size(); ++q)
        EXPECT_NEAR(gv_runs[q], gv_whole[q], 1e-12 * (1 + std::fabs(gv_whole[q])));
      for (std::size_t q = 0; q < gc_whole.size(); ++q)
        EXPECT_NEAR(gc_runs[q], gc_whole[q], 1e-12 * (1 + std::fabs(gc_whole[q])));
    }
  EXPECT_GT(split_pixels, 0);
}

// float32 data: the nodes of the same (widened) coordinates in float64, rounded.
TEST(OpaqueQuadrature, Float32MatchesFloat64) {
  const Scene s = random_scene(4, 3, 2, 2);
  Scene rounded = s;
  for (double& x : rounded.vertices) x = static_cast<float>(x);
  const Quadrature q64 = quadrature(rounded, Cuts{3, 0, {}});
  ASSERT_EQ(q64.status, 0) << q64.message;
  Tensor<float> v({s.v(), 3}, cast<float>(rounded.vertices)), cuts({s.f(), 3, 0});
  Tensor<int32_t> f({s.f(), 3}, s.faces), owners({s.h * s.w, kSlots});
  Tensor<float> nodes({s.h * s.w, kSlots, 4});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  ASSERT_EQ(vrel_render_opaque_quadrature(v.in(), f.in(), cuts.in(), s.h, s.w, s.ox, s.oy, &ctx,
                                          owners.out(), nodes.out(), ws.get(), diag),
            0)
      << diag.text();
  EXPECT_EQ(owners.values(), q64.owners);
  for (std::size_t q = 0; q < q64.nodes.size(); ++q)
    EXPECT_EQ(nodes[q], static_cast<float>(q64.nodes[q]));
}

TEST(OpaqueQuadrature, BoundaryEntryForwardsBothQuadraturesAndRefusesEdges) {
  Scene s;
  s.triangle({0.1, 0.1, 0, 0.9, 0.2, 0, 0.3, 0.8, 0});
  Tensor<double> v({3, 3}, s.vertices), cuts({1, 3, 0});
  Tensor<int32_t> f({1, 3}, s.faces), owners({1, kSlots});
  Tensor<double> nodes({1, kSlots, 4});
  Workspace ws(kIntegrateBytes, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  auto call = [&](int32_t edge) {
    return vrel_render_opaque_boundary_quadrature(v.in(), f.in(), cuts.in(), 1, 1, 0, 0, edge, &ctx,
                                                  owners.out(), nodes.out(), ws.get(), diag);
  };
  for (int32_t edge : {4, -3}) {
    EXPECT_EQ(call(edge), VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(diag.text(), "opaque edge must be0..3");
  }
  // The triangle lies inside the pixel: no side of it has a visible face.
  for (int32_t edge = 0; edge < 4; ++edge) {
    ASSERT_EQ(call(edge), 0) << diag.text();
    EXPECT_EQ(owners.values(), std::vector<int32_t>(kSlots, -1));
  }
  for (int32_t edge : {-1, -2}) {
    ASSERT_EQ(call(edge), 0) << diag.text();
    const Quadrature q = quadrature(s, Cuts{3, 0, {}}, edge == -2);
    EXPECT_EQ(owners.values(), q.owners);
    EXPECT_EQ(nodes.values(), q.nodes);
  }
}

// One valid call of each direction over a 1 x 2 image, every operand its own buffer.
struct Args {
  Tensor<double> vertices{{3, 3}, {0, 0, 0, 2, 0, 1, 0, 2, 2}}, cuts{{1, 3, 1}, {1, -1, 0}};
  Tensor<int32_t> faces{{1, 3}, {0, 1, 2}}, owners{{2, kSlots}};
  Tensor<double> nodes{{2, kSlots, 4}}, grad = Tensor<double>::filled({2, kSlots, 4}, 1);
  Tensor<double> gv{{3, 3}}, gc{{1, 3, 1}};
  View v = vertices.in(), f = faces.in(), c = cuts.in(), o = owners.out(), n = nodes.out(),
       g = grad.in(), tv = gv.out(), tc = gc.out();
  int64_t h = 1, w = 2;
  double ox = 0, oy = 0;
  VrelExecutionContext ctx = cpu_context();
  Workspace ws{kIntegrateBytes, 8};
};

void replace(View& slot, const View& with) {
  slot.~View();
  new (&slot) View(with);
}

struct Case {
  const char* name;
  void (*breaks)(Args&);
  bool backward;
  VrelStatus status;
  const char* message;
};

// Each rule of the front end in order; a case that breaks two rules expects the earlier one.
TEST(OpaqueQuadrature, RulesInOrder) {
  constexpr const char* kCuts =
      "opaque quadrature cuts require[F,3,K] K<=16 or packed[F,1,3*K+6] K<=15";
  const Case cases[] = {
      {"height zero",
       [](Args& a) {
         a.h = 0;
         a.cuts[0] = std::nan("");
       },
       false, 1, "opaque quadrature image/origin range"},
      {"cuts rank 2", [](Args& a) { replace(a.c, View(a.cuts.ptr(), {1, 3}, 2)); }, false, 1,
       "quadrature cuts shape"},
      {"cuts of two faces", [](Args& a) { replace(a.c, View(a.cuts.ptr(), {2, 3, 0}, 2)); }, false,
       1, "quadrature cuts shape"},
      {"cuts flagged", [](Args& a) { a.c->flags = VREL_TENSOR_OUTPUT; }, false, 1,
       "operation inputs may not carry the output flag"},
      {"cuts float32", [](Args& a) { a.c->dtype = VREL_DTYPE_FLOAT32; }, false, 1, kCuts},
      {"owners [2,799]",
       [](Args& a) { replace(a.o, View(a.owners.ptr(), {2, 799}, 3, VREL_TENSOR_OUTPUT)); }, false,
       1, "quadrature owners"},
      {"owners float", [](Args& a) { a.o->dtype = VREL_DTYPE_FLOAT32; }, false, 1,
       "quadrature owners require int32"},
      {"nodes float32", [](Args& a) { a.n->dtype = VREL_DTYPE_FLOAT32; }, false, 1,
       "opaque colour tensor shape/dtype mismatch"},
      {"cut NaN", [](Args& a) { a.cuts[2] = std::nan(""); }, false, 1,
       "quadrature inputs must be finite and coordinates bounded"},
      {"workspace short", [](Args& a) { a.ws->capacity = kIntegrateBytes - 1; }, false, 3,
       "quadrature workspace capacity insufficient"},
      {"workspace misaligned",
       [](Args& a) {
         a.ws->data = static_cast<char*>(a.ws->data) + 4;
         a.ws->alignment = 4;
       },
       false, 1, "quadrature workspace alignment"},
      {"cuts in the workspace", [](Args& a) { a.c->data = a.ws->data; }, false, 1,
       "quadrature input/workspace overlap"},
      {"cuts in the nodes", [](Args& a) { a.c->data = a.nodes.ptr(); }, false, 1,
       "quadrature input/output overlap"},
      {"nodes in the workspace", [](Args& a) { a.n->data = a.ws->data; }, false, 1,
       "quadrature output/workspace overlap"},
      {"owners in the nodes", [](Args& a) { a.o->data = a.nodes.ptr(); }, false, 1,
       "quadrature outputs overlap"},
      {"gradient [2,800,3]", [](Args& a) { replace(a.g, View(a.grad.ptr(), {2, kSlots, 3}, 2)); },
       true, 1, "opaque colour tensor shape/dtype mismatch"},
      {"vertex gradient [3,2]",
       [](Args& a) { replace(a.tv, View(a.gv.ptr(), {3, 2}, 2, VREL_TENSOR_OUTPUT)); }, true, 1,
       "quadrature vertex gradient"},
      {"vertex gradient float32", [](Args& a) { a.tv->dtype = VREL_DTYPE_FLOAT32; }, true, 1,
       "quadrature vertex gradient dtype"},
      {"cut gradient [1,3,2]",
       [](Args& a) { replace(a.tc, View(a.gc.ptr(), {1, 3, 2}, 2, VREL_TENSOR_OUTPUT)); }, true, 1,
       "opaque colour tensor shape/dtype mismatch"},
      {"gradient infinite", [](Args& a) { a.grad[7] = INFINITY; }, true, 1,
       "quadrature inputs must be finite and coordinates bounded"},
      {"gradient outputs overlap", [](Args& a) { a.tc->data = a.gv.ptr(); }, true, 1,
       "quadrature outputs overlap"},
  };
  for (const Case& c : cases) {
    Args a;
    c.breaks(a);
    Diag diag;
    const VrelStatus st =
        c.backward
            ? vrel_render_opaque_quadrature_backward(a.v, a.f, a.c, a.h, a.w, a.ox, a.oy, a.g,
                                                     &a.ctx, a.tv, a.tc, a.ws.get(), diag)
            : vrel_render_opaque_quadrature(a.v, a.f, a.c, a.h, a.w, a.ox, a.oy, &a.ctx, a.o, a.n,
                                            a.ws.get(), diag);
    EXPECT_EQ(st, c.status) << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
}

TEST(OpaqueQuadrature, BadInputsOfEveryExport) {
  Tensor<double> vertices{{3, 3}, {0, 0, 0, 2, 0, 1, 0, 2, 2}}, cuts({1, 3, 1}, {1, -1, 0});
  Tensor<int32_t> faces{{1, 3}, {0, 1, 2}}, owners({2, kSlots});
  Tensor<double> nodes({2, kSlots, 4}), grad = Tensor<double>::filled({2, kSlots, 4}, 1);
  Tensor<double> gv({3, 3}), gc({1, 3, 1});
  View v = vertices.in(), f = faces.in(), c = cuts.in(), o = owners.out(), n = nodes.out(),
       g = grad.in(), tv = gv.out(), tc = gc.out();
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(kIntegrateBytes, 8);
  auto plan = [](std::initializer_list<std::pair<void*, std::size_t>> list) {
    BadInputPlan p;
    for (auto [ptr, size] : list) p.outputs.push_back({ptr, size});
    return p;
  };
  const BadInputPlan forward = plan({{owners.ptr(), owners.bytes()}, {nodes.ptr(), nodes.bytes()}});
  const BadInputPlan backward = plan({{gv.ptr(), gv.bytes()}, {gc.ptr(), gc.bytes()}});
  for (auto fn : {vrel_render_opaque_quadrature, vrel_render_opaque_material_quadrature})
    check_bad_inputs("quadrature", fn,
                     std::make_tuple(v.get(), f.get(), c.get(), int64_t{1}, int64_t{2}, 0.0, 0.0,
                                     &ctx, o.get(), n.get(), ws.get(), (VrelDiagnostic*)nullptr),
                     forward);
  for (auto fn :
       {vrel_render_opaque_quadrature_backward, vrel_render_opaque_material_quadrature_backward})
    check_bad_inputs(
        "quadrature_backward", fn,
        std::make_tuple(v.get(), f.get(), c.get(), int64_t{1}, int64_t{2}, 0.0, 0.0, g.get(), &ctx,
                        tv.get(), tc.get(), ws.get(), (VrelDiagnostic*)nullptr),
        backward);
  check_bad_inputs(
      "boundary_quadrature", vrel_render_opaque_boundary_quadrature,
      std::make_tuple(v.get(), f.get(), c.get(), int64_t{1}, int64_t{2}, 0.0, 0.0, int32_t{-1},
                      &ctx, o.get(), n.get(), ws.get(), (VrelDiagnostic*)nullptr),
      forward);
  uint64_t bytes = 0, alignment = 0;
  for (auto fn : {vrel_render_opaque_quadrature_workspace,
                  vrel_render_opaque_material_quadrature_workspace}) {
    Diag diag;
    EXPECT_EQ(fn(VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, diag), 0);
    EXPECT_EQ(bytes, kIntegrateBytes);
    EXPECT_EQ(alignment, 8u);
    EXPECT_EQ(fn(VREL_DTYPE_FLOAT32, &ctx, nullptr, &alignment, diag), 1);
    EXPECT_EQ(diag.text(), "quadrature workspace results required");
    EXPECT_EQ(fn(VREL_DTYPE_INT32, &ctx, &bytes, &alignment, diag), 2);
  }
}

}  // namespace
}  // namespace vrel::test

namespace vrel::test {
namespace {

// A closed cube of n x n squares per side (12 n^2 faces) of half-width `half` pixels, turned
// about two axes, in the middle of a size x size image.
Scene closed_box(int n, double half, int64_t size) {
  Scene s;
  s.h = s.w = size;
  const double c = double(size) / 2, a = 0.5, b = 0.4;
  auto point = [&](double x, double y, double z) {
    const double y1 = y * std::cos(a) - z * std::sin(a), z1 = y * std::sin(a) + z * std::cos(a);
    const double x2 = x * std::cos(b) + z1 * std::sin(b), z2 = -x * std::sin(b) + z1 * std::cos(b);
    return s.vertex(c + half * x2, c + half * y1, 10 + half * z2);
  };
  for (int axis = 0; axis < 3; ++axis)
    for (int side = -1; side <= 1; side += 2) {
      std::vector<int32_t> grid;
      for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
          double p[3];
          p[axis] = side;
          p[(axis + 1) % 3] = -1 + 2.0 * i / n;
          p[(axis + 2) % 3] = -1 + 2.0 * j / n;
          grid.push_back(point(p[0], p[1], p[2]));
        }
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          const int32_t q = grid[i * (n + 1) + j], r = grid[(i + 1) * (n + 1) + j],
                        t = grid[(i + 1) * (n + 1) + j + 1], u = grid[i * (n + 1) + j + 1];
          if (side > 0) {
            s.face(q, r, t);
            s.face(q, t, u);
          } else {
            s.face(q, t, r);
            s.face(q, u, t);
          }
        }
    }
  return s;
}

// A closed mesh: its hidden back faces must not fragment the front faces' pieces, so every pixel
// fits the slots (several did not when a back face split every piece its depth plane crossed,
// and on the finer box when a back face left rounding-sized slivers along the edge shared by two
// front faces), and the weights of each pixel still give the visible area of each face.
TEST(OpaqueQuadrature, ClosedMeshFitsTheBudgetAndKeepsTheVisibleAreas) {
  for (int n : {6, 13}) {
    SCOPED_TRACE("box of " + std::to_string(n) + " squares per side");
    Scene s = closed_box(n, 10, 32);
    // Colour channels (1, f, f^2) on face f: the area, and face-weighted sums that a weight given
    // to the wrong face would change.
    s.colour.clear();
    for (int64_t f = 0; f < s.f(); ++f)
      for (int t = 0; t < 3; ++t) s.colour.insert(s.colour.end(), {1, double(f), double(f * f)});
    std::vector<double> ref;
    ASSERT_EQ(integrate(s, ref), 0);
    const Quadrature q = quadrature(s, Cuts{3, 0, {}});
    ASSERT_EQ(q.status, 0) << q.message;
    int covered = 0;
    for (int64_t p = 0; p < s.h * s.w; ++p) {
      double sums[3] = {};
      for (int64_t slot = 0; slot < kSlots && q.owner(p, slot) >= 0; ++slot) {
        const double w = q.node(p, slot)[3], f = q.owner(p, slot);
        sums[0] += w;
        sums[1] += w * f;
        sums[2] += w * f * f;
      }
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(sums[c], ref[4 * p + c], 1e-11 * (1 + ref[4 * p + c])) << "pixel " << p;
      covered += ref[4 * p + 3] > 0;
    }
    EXPECT_GT(covered, 300);
  }
}

// Pixel (row, column) of `box` alone: its candidates (the faces whose bounding box meets the
// closed pixel square), in order, so the pixel decomposes as it does in the whole image.
Scene pixel_of(const Scene& box, int64_t row, int64_t column) {
  Scene s = box;
  s.faces.clear();
  s.colour.clear();
  s.h = s.w = 1;
  s.ox = double(column);
  s.oy = double(row);
  for (int64_t f = 0; f < box.f(); ++f) {
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (int c = 0; c < 3; ++c) {
      const double* v = &box.vertices[3 * box.faces[3 * f + c]];
      x0 = std::min(x0, v[0]), x1 = std::max(x1, v[0]), y0 = std::min(y0, v[1]),
      y1 = std::max(y1, v[1]);
    }
    if (x1 >= s.ox && x0 <= s.ox + 1 && y1 >= s.oy && y0 <= s.oy + 1)
      s.face(box.faces[3 * f], box.faces[3 * f + 1], box.faces[3 * f + 2]);
  }
  return s;
}

// A pixel inside the finer box where back faces left slivers along shared front edges (over the
// slots before they were dropped): the backward against central differences of a weighted sum of
// the faces' visible areas, which the slivers' interpolated derivatives would spoil. (Moving a
// vertex of this mesh by 1e-6 may regroup the rounding-level pieces, so a sum over single slots is
// not a differentiable function of the vertices; the per-face sums of the weights are.)
TEST(OpaqueQuadrature, ClosedMeshPixelBackwardMatchesCentralDifferences) {
  const Scene s = pixel_of(closed_box(13, 10, 32), 11, 13);
  const Cuts none{3, 0, {}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<double> per_face(s.f());
  for (double& x : per_face) x = u(rng);
  auto objective = [&](const Scene& t) {
    const Quadrature q = quadrature(t, none);
    EXPECT_EQ(q.status, 0) << q.message;
    double sum = 0;
    for (int64_t slot = 0; slot < kSlots && q.owner(0, slot) >= 0; ++slot)
      sum += per_face[q.owner(0, slot)] * q.node(0, slot)[3];
    return sum;
  };
  const Quadrature at = quadrature(s, none);
  ASSERT_EQ(at.status, 0) << at.message;
  std::vector<double> g(kSlots * 4);
  for (int64_t slot = 0; slot < kSlots && at.owner(0, slot) >= 0; ++slot)
    g[4 * slot + 3] = per_face[at.owner(0, slot)];
  std::vector<double> gv, gc;
  ASSERT_EQ(quadrature_backward(s, none, g, gv, gc), 0);
  const double h = 1e-6;
  std::vector<bool> used(s.vertices.size() / 3);
  for (int32_t v : s.faces) used[v] = true;
  int moved = 0;
  for (std::size_t q = 0; q < s.vertices.size(); ++q) {
    if (!used[q / 3]) continue;
    Scene plus = s, minus = s;
    plus.vertices[q] += h;
    minus.vertices[q] -= h;
    const double fd = (objective(plus) - objective(minus)) / (2 * h);
    EXPECT_NEAR(gv[q], fd, 1e-6 * (1 + std::fabs(fd))) << "vertex coordinate " << q;
    moved += std::fabs(gv[q]) > 1e-3;
  }
  EXPECT_GT(moved, 3);
}

// The colour integration at the same pixel: the slivers' interpolated derivatives once gave vertex
// gradients off by up to a factor of two (0.029 against 0.015 by central differences).
TEST(OpaqueIntegrate, ClosedMeshPixelBackwardMatchesCentralDifferences) {
  Scene s = pixel_of(closed_box(13, 10, 32), 11, 13);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  s.colour.clear();
  for (int64_t f = 0; f < s.f(); ++f) {
    const double c = u(rng);
    for (int t = 0; t < 3; ++t) s.colour.insert(s.colour.end(), {c, 0, 0});
  }
  auto objective = [](const Scene& t) {
    std::vector<double> out;
    EXPECT_EQ(integrate(t, out), 0);
    return out[0];
  };
  std::vector<double> gv, gc;
  ASSERT_EQ(integrate_backward(s, {1, 0, 0, 0}, gv, gc), 0);
  const double h = 1e-6;
  std::vector<bool> used(s.vertices.size() / 3);
  for (int32_t v : s.faces) used[v] = true;
  int moved = 0;
  for (std::size_t q = 0; q < s.vertices.size(); ++q) {
    if (!used[q / 3]) continue;
    Scene plus = s, minus = s;
    plus.vertices[q] += h;
    minus.vertices[q] -= h;
    const double fd = (objective(plus) - objective(minus)) / (2 * h);
    EXPECT_NEAR(gv[q], fd, 1e-6 * (1 + std::fabs(fd))) << "vertex coordinate " << q;
    moved += std::fabs(gv[q]) > 1e-3;
  }
  EXPECT_GT(moved, 3);
}

}  // namespace
}  // namespace vrel::test
