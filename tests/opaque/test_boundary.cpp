// Boundary quadrature along the pixel sides: exact integrals of polynomials over the visible parts
// of the faces, against a reference that finds the visible face of each piece of a side by point
// tests and integrates in closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "opaque/boundary_kernel.hpp"
// GCC 12 reports a false stringop-overflow in vector::insert once random_scene is inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#include "tests/opaque/opaque_support.hpp"
#pragma GCC diagnostic pop

namespace vrel::test {
namespace {

using opaque::Outcome;

// The 8-point Gauss-Legendre rule on [0, 1], by Newton's method on the Legendre polynomial.
struct Gauss8 {
  double x[8], w[8];
  Gauss8() {
    const int n = 8;
    for (int i = 0; i < n; ++i) {
      long double z = std::cos(3.14159265358979323846L * (i + 0.75L) / (n + 0.5L)), dp = 0;
      for (int it = 0; it < 100; ++it) {
        long double p0 = 1, p1 = z;
        for (int k = 2; k <= n; ++k) {
          const long double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
          p0 = p1, p1 = p2;
        }
        dp = n * (z * p1 - p0) / (z * z - 1);
        z -= p1 / dp;
      }
      x[n - 1 - i] = static_cast<double>((1 - z) / 2);
      w[n - 1 - i] = static_cast<double>(1 / ((1 - z * z) * dp * dp));
    }
  }
};

struct Rows {
  std::vector<int32_t> owners;
  std::vector<double> nodes;
};

Outcome run_boundary(const Scene& s, int32_t side, Rows& r, int32_t repeat = 1,
                     const opaque::CutsOf<double>& cuts = {}) {
  static const Gauss8 g;
  // `repeat` copies of the rule make a rule of 8 * repeat nodes (only its node count matters).
  std::vector<double> x, w;
  for (int32_t k = 0; k < repeat; ++k) {
    x.insert(x.end(), g.x, g.x + 8);
    w.insert(w.end(), g.w, g.w + 8);
  }
  std::vector<double> workspace(kIntegrateBytes / 8);
  const int64_t pixels = s.h * s.w;
  r.owners.assign(800 * pixels, 7);
  r.nodes.assign(3200 * pixels, 7.0);
  return opaque::boundary_quadrature(s.vertices.data(), s.faces.data(), s.f(),
                                     {s.h, s.w, s.ox, s.oy}, side, {8 * repeat, x.data(), w.data()},
                                     r.owners.data(), r.nodes.data(),
                                     opaque::integrate_workspace(workspace.data()), cuts);
}

// Face f's test integrand, (f + 1) (0.7 x - 0.4 y + 0.2 z_f + 0.3)^degree in image coordinates,
// where z_f is the depth of face f at the point (its plane varies the integrand per face).
struct Integrand {
  int degree;
  double operator()(const Scene& s, int32_t f, double x, double y, double z) const {
    (void)s;
    return (f + 1) * std::pow(0.7 * x - 0.4 * y + 0.2 * z + 0.3, degree);
  }
};

// Barycentrics of (x, y) in face f (image coordinates).
std::array<double, 3> bary(const Scene& s, int32_t f, double x, double y) {
  const double* v = s.vertices.data();
  const int32_t* c = &s.faces[3 * f];
  const double x0 = v[3 * c[0]], y0 = v[3 * c[0] + 1], x1 = v[3 * c[1]], y1 = v[3 * c[1] + 1],
               x2 = v[3 * c[2]], y2 = v[3 * c[2] + 1];
  const double e = (x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0);
  const double l1 = ((x - x0) * (y2 - y0) - (x2 - x0) * (y - y0)) / e;
  const double l2 = ((x1 - x0) * (y - y0) - (x - x0) * (y1 - y0)) / e;
  return {1 - l1 - l2, l1, l2};
}

double depth_of(const Scene& s, int32_t f, const std::array<double, 3>& l) {
  double z = 0;
  for (int c = 0; c < 3; ++c) z += l[c] * s.vertices[3 * s.faces[3 * f + c] + 2];
  return z;
}

// The side's start and direction in image coordinates.
void side_line(const Scene& s, int64_t j, int64_t i, int32_t side, double& x0, double& y0,
               double& dx, double& dy) {
  const double sx[4] = {0, 1, 1, 0}, sy[4] = {0, 0, 1, 1};
  x0 = s.ox + i + sx[side], y0 = s.oy + j + sy[side];
  dx = sx[(side + 1) % 4] - sx[side], dy = sy[(side + 1) % 4] - sy[side];
}

// Reference: cut the side where any edge line or any line of equal depth crosses it; the visible
// face of each piece is the nearest face strictly containing a point just inside the pixel from
// its midpoint (a face only touching the side from outside the pixel does not count); integrate the
// integrand exactly on the piece (it is a polynomial in t: composite Gauss with 8 points on 8
// sub-pieces, far above its degree in t).
double reference(const Scene& s, int64_t j, int64_t i, int32_t side, const Integrand& fn) {
  static const Gauss8 g;
  double x0, y0, dx, dy;
  side_line(s, j, i, side, x0, y0, dx, dy);
  std::vector<double> cuts = {0, 1};
  auto add_root = [&](double a0, double a1) {
    if (a1 != 0 && -a0 / a1 > 0 && -a0 / a1 < 1) cuts.push_back(-a0 / a1);
  };
  for (int32_t f = 0; f < s.f(); ++f) {
    for (int e = 0; e < 3; ++e) {
      const int32_t p = s.faces[3 * f + e], q = s.faces[3 * f + (e + 1) % 3];
      const double px = s.vertices[3 * p], py = s.vertices[3 * p + 1];
      const double qx = s.vertices[3 * q], qy = s.vertices[3 * q + 1];
      auto side_of = [&](double x, double y) {
        return (qx - px) * (y - py) - (qy - py) * (x - px);
      };
      add_root(side_of(x0, y0), side_of(x0 + dx, y0 + dy) - side_of(x0, y0));
    }
    for (int32_t m = f + 1; m < s.f(); ++m) {
      auto diff = [&](double x, double y) {
        return depth_of(s, f, bary(s, f, x, y)) - depth_of(s, m, bary(s, m, x, y));
      };
      add_root(diff(x0, y0), diff(x0 + dx, y0 + dy) - diff(x0, y0));
    }
  }
  std::sort(cuts.begin(), cuts.end());
  double total = 0;
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    const double t0 = cuts[k], t1 = cuts[k + 1];
    if (!(t1 > t0)) continue;
    const double tm = (t0 + t1) / 2;
    int32_t best = -1;
    double best_z = 0;
    for (int32_t f = 0; f < s.f(); ++f) {
      const auto l = bary(s, f, x0 + tm * dx - 1e-10 * dy, y0 + tm * dy + 1e-10 * dx);
      if (!(l[0] > 0 && l[1] > 0 && l[2] > 0)) continue;
      const double z = depth_of(s, f, bary(s, f, x0 + tm * dx, y0 + tm * dy));
      if (best < 0 || z < best_z) best = f, best_z = z;
    }
    if (best < 0) continue;
    for (int sub = 0; sub < 8; ++sub)
      for (int q = 0; q < 8; ++q) {
        const double h = (t1 - t0) / 8, t = t0 + h * (sub + g.x[q]);
        const double x = x0 + t * dx, y = y0 + t * dy;
        total += h * g.w[q] * fn(s, best, x, y, depth_of(s, best, bary(s, best, x, y)));
      }
  }
  return total;
}

// The quadrature's sum over the nodes of a pixel's row.
double quadrature_sum(const Scene& s, const int32_t* owners, const double* nodes,
                      const Integrand& fn) {
  double total = 0;
  for (int slot = 0; slot < 800; ++slot) {
    const int32_t f = owners[slot];
    if (f < 0) continue;
    const double* n = nodes + 4 * slot;
    double x = 0, y = 0, z = 0;
    for (int c = 0; c < 3; ++c) {
      const int32_t v = s.faces[3 * f + c];
      x += n[c] * s.vertices[3 * v], y += n[c] * s.vertices[3 * v + 1];
      z += n[c] * s.vertices[3 * v + 2];
    }
    total += n[3] * fn(s, f, x, y, z);
  }
  return total;
}

TEST(OpaqueBoundary, IntegratesPolynomialsExactlyOverTheVisiblePartsOfEachSide) {
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    const Scene s = random_scene(seed, 3, 3, true, 1e-3);
    for (int32_t side = 0; side < 4; ++side) {
      Rows r;
      ASSERT_EQ(run_boundary(s, side, r), Outcome::kOk);
      for (int64_t p = 0; p < s.h * s.w; ++p) {
        const int64_t j = p / s.w, i = p % s.w;
        for (int degree : {0, 15}) {
          const Integrand fn{degree};
          const double ref = reference(s, j, i, side, fn);
          EXPECT_NEAR(quadrature_sum(s, &r.owners[800 * p], &r.nodes[3200 * p], fn), ref,
                      1e-11 * (1 + std::fabs(ref)))
              << "seed " << seed << " side " << side << " pixel " << p << " degree " << degree;
        }
        // Used slots come first; empty ones hold -1 and zeros.
        bool empty = false;
        for (int slot = 0; slot < 800; ++slot) {
          if (r.owners[800 * p + slot] < 0) empty = true;
          if (empty) {
            ASSERT_EQ(r.owners[800 * p + slot], -1);
            ASSERT_EQ(r.nodes[3200 * p + 4 * slot + 3], 0.0);
          }
        }
      }
    }
  }
}

TEST(OpaqueBoundary, SharedSidesAndTies) {
  // Two faces splitting the pixel along its diagonal, a coplanar duplicate of the first (hidden
  // by the lower index) and a face behind both.
  Scene s;
  s.triangle({0, 0, 1, 1, 0, 1, 1, 1, 1});
  s.triangle({0, 0, 2, 1, 1, 2, 0, 1, 2});
  s.triangle({0, 0, 1, 1, 0, 1, 1, 1, 1});
  s.triangle({-1, -1, 5, 3, -1, 5, -1, 3, 5});
  const Integrand length{0};
  for (int32_t side = 0; side < 4; ++side) {
    Rows r;
    ASSERT_EQ(run_boundary(s, side, r), Outcome::kOk);
    // Bottom and right sides belong to face 0, top and left to face 1, each whole.
    const int32_t owner = side < 2 ? 0 : 1;
    EXPECT_NEAR(quadrature_sum(s, r.owners.data(), r.nodes.data(), length), owner + 1.0, 1e-15);
    for (int slot = 0; slot < 8; ++slot) EXPECT_EQ(r.owners[slot], owner);
    EXPECT_EQ(r.owners[8], -1);
  }
}

TEST(OpaqueBoundary, CutLinesSplitTheSideIntervalsSoAJumpIntegratesExactly) {
  // One face covering the pixel; a cut line a*x + b*y + c = 0 through (1/3, 0) and (0.8, 1)
  // crosses the bottom and top sides. A function that is 1 on one side of the cut and 0 on the
  // other integrates to the length of the side where it is 1 only when no rule straddles the cut.
  Scene s;
  s.triangle({-1, -1, 1, 3, -0.5, 1, -0.5, 3, 1});
  const double a = 1, b = -(0.8 - 1.0 / 3), c = -1.0 / 3;
  const double cx[3] = {-1, 3, -0.5}, cy[3] = {-1, -0.5, 3};
  double ci[3];
  for (int i = 0; i < 3; ++i) ci[i] = a * cx[i] + b * cy[i] + c;
  // Three lines each: the cut, a constant (no cut) and a line x = 5 that misses the pixel.
  // Plain [1,3,3]: row i holds c_i of each line; packed [1,1,15]: corners, then (a, b, c).
  std::vector<double> plain(9), packed = {-1, -1, 3, -0.5, -0.5, 3, a, b, c, 0, 0, 1, 1, 0, -5};
  for (int i = 0; i < 3; ++i)
    plain[3 * i] = ci[i], plain[3 * i + 1] = 1, plain[3 * i + 2] = cx[i] - 5;
  for (const bool is_packed : {false, true}) {
    const opaque::CutsOf<double> cuts{is_packed ? packed.data() : plain.data(), is_packed ? 15 : 9,
                                      3, is_packed};
    for (int32_t side = 0; side < 4; ++side) {
      double x0, y0, dx, dy;
      side_line(s, 0, 0, side, x0, y0, dx, dy);
      const double g0 = a * x0 + b * y0 + c, g1 = a * (x0 + dx) + b * (y0 + dy) + c;
      const bool crossed = (g0 > 0) != (g1 > 0);
      const double root = g0 / (g0 - g1);
      const double expected = crossed ? (g0 > 0 ? root : 1 - root) : (g0 > 0 ? 1 : 0);
      Rows r;
      ASSERT_EQ(run_boundary(s, side, r, 1, cuts), Outcome::kOk);
      double total = 0;
      for (int slot = 0; slot < 800 && r.owners[slot] >= 0; ++slot) {
        const double* l = &r.nodes[4 * slot];
        total += l[3] * (ci[0] * l[0] + ci[1] * l[1] + ci[2] * l[2] > 0 ? 1 : 0);
      }
      EXPECT_NEAR(total, expected, 1e-14) << "packed " << is_packed << " side " << side;
      // Only a crossed side is split (two intervals of 8 nodes).
      EXPECT_EQ(r.owners[crossed ? 15 : 7], 0);
      EXPECT_EQ(r.owners[crossed ? 16 : 8], -1);
    }
  }
}

TEST(OpaqueBoundary, PixelsBeyondTheirRowOrCandidatesFail) {
  // 31 thin teeth in front of a back face: 63 intervals along the bottom side fit the row with
  // 8 nodes each (504 slots) but not with 16 (1,008).
  Scene s;
  s.triangle({-1, -1, 5, 3, -1, 5, -1, 3, 5});
  for (int k = 0; k < 31; ++k)
    s.triangle({k / 32.0 + 0.01, 0, 1, k / 32.0 + 0.02, 0, 1, k / 32.0 + 0.015, 1, 1});
  Rows r;
  ASSERT_EQ(run_boundary(s, 0, r), Outcome::kOk);
  EXPECT_EQ(r.owners[8 * 63 - 1], 31);
  EXPECT_EQ(r.owners[8 * 63], -1);
  EXPECT_EQ(run_boundary(s, 0, r, 2), Outcome::kCapacity);
  s.triangle({0, 0, 1, 1, 0, 1, 0, 1, 1});
  s.triangle({0, 0, 1, 1, 0, 1, 0, 1, 1});
  EXPECT_EQ(run_boundary(s, 0, r), Outcome::kCandidates);
}

}  // namespace
}  // namespace vrel::test
