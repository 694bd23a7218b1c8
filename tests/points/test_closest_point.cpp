// Closest point on meshes: the region test, face selection rules, batching, agreement with a
// fine sampling of each triangle, float32 rounding, gradients, the order of the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "points/closest_point_kernel.hpp"
#include "tests/points/cases.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;
using vrel::points::closest_on_triangle;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The right triangle A = (0,0,0), B = (2,0,0), C = (0,2,0).
const std::vector<double> kTriangle{0, 0, 0, 2, 0, 0, 0, 2, 0};

void expect_refused(Outcome got, VrelStatus status, const std::string& message) {
  EXPECT_EQ(got.status, status) << message;
  EXPECT_EQ(got.message, message);
}

}  // namespace

TEST(ClosestPointRegions, EachRegionGivesItsWeights) {
  const double a[3] = {0, 0, 0}, b[3] = {2, 0, 0}, c[3] = {0, 2, 0};
  struct Case {
    double p[3];
    uint32_t region;
    double wa, wb, wc;
  };
  const Case cases[] = {
      {{-1, -1, 3}, VREL_POINTS_REGION_CORNER_A, 1, 0, 0},
      {{3, -1, -2}, VREL_POINTS_REGION_CORNER_B, 0, 1, 0},
      {{-1, 3, 1}, VREL_POINTS_REGION_CORNER_C, 0, 0, 1},
      {{0.5, -1, 1}, VREL_POINTS_REGION_EDGE_AB, 0.75, 0.25, 0},
      {{-1, 1.5, 0}, VREL_POINTS_REGION_EDGE_AC, 0.25, 0, 0.75},
      {{2, 1, 5}, VREL_POINTS_REGION_EDGE_BC, 0, 0.75, 0.25},
      {{0.5, 0.5, -4}, VREL_POINTS_REGION_INSIDE, 0.5, 0.25, 0.25},
  };
  for (const Case& k : cases) {
    const auto hit = closest_on_triangle(k.p, a, b, c);
    EXPECT_EQ(hit.region, k.region) << k.p[0] << "," << k.p[1] << "," << k.p[2];
    EXPECT_DOUBLE_EQ(hit.wa, k.wa) << k.region;
    EXPECT_DOUBLE_EQ(hit.wb, k.wb) << k.region;
    EXPECT_DOUBLE_EQ(hit.wc, k.wc) << k.region;
  }
}

TEST(ClosestPointSearch, CornersEdgesAndInsideThroughTheExport) {
  // Beyond corner B, outside edge BC, and above the inside.
  ClosestCase<double> c({3, -1, 0, 2, 1, 0, 0.5, 0.5, 3}, kTriangle, {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.distance[0], 2.0);
  EXPECT_EQ(
      (std::vector<double>(c.barycentric.values().begin(), c.barycentric.values().begin() + 3)),
      (std::vector<double>{0, 1, 0}));
  EXPECT_EQ(c.closest[0], 2.0);
  EXPECT_DOUBLE_EQ(c.distance[1], 0.5);  // to (1.5, 0.5, 0)
  EXPECT_DOUBLE_EQ(c.closest[3], 1.5);
  EXPECT_DOUBLE_EQ(c.closest[4], 0.5);
  EXPECT_DOUBLE_EQ(c.distance[2], 9.0);
  EXPECT_DOUBLE_EQ(c.barycentric[6], 0.5);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c.face[i], 0);
    EXPECT_EQ(c.valid[i], 1);
  }
}

TEST(ClosestPointSearch, PointOnTheFaceHasDistanceZero) {
  ClosestCase<double> c({0.4, 0.7, 0}, kTriangle, {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_NEAR(c.distance[0], 0.0, 1e-30);
  EXPECT_EQ(c.valid[0], 1);
  EXPECT_DOUBLE_EQ(c.barycentric[0] + c.barycentric[1] + c.barycentric[2], 1.0);
}

TEST(ClosestPointSearch, DegenerateFacesAreNeverChosen) {
  // Face 0 is collinear and passes through the point; face 1 lies one unit away.
  std::vector<double> v{0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0, 1, 2, 0, 1, 0, 2, 1};
  ClosestCase<double> c({1, 0, 0}, v, {0, 1, 2, 3, 4, 5});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.face[0], 1);
  EXPECT_DOUBLE_EQ(c.distance[0], 1.0);

  // Face 1 has doubled area 4: eps = 4 skips it too (not greater), eps just below keeps it.
  c.eps = 4;
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.face[0], -1);
  EXPECT_EQ(c.valid[0], 0);
  c.eps = std::nextafter(4.0, 0.0);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.face[0], 1);
}

TEST(ClosestPointSearch, EqualDistancesKeepTheEarlierFace) {
  // 600 faces: copies of one far triangle, with the same near triangle at rows 1 and 450, so the
  // tie crosses any internal blocking of the faces.
  std::vector<double> v = kTriangle;
  for (double x : {10.0, 10.0, 10.0, 11.0, 10.0, 10.0, 10.0, 11.0, 10.0}) v.push_back(x);
  std::vector<int32_t> f;
  for (int i = 0; i < 600; ++i) {
    const bool near = i == 1 || i == 450;
    for (int k = 0; k < 3; ++k) f.push_back(near ? k : 3 + k);
  }
  ClosestCase<double> c({0.5, 0.5, 1}, v, f);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.face[0], 1);
  EXPECT_DOUBLE_EQ(c.distance[0], 1.0);
}

TEST(ClosestPointSearch, BatchElementWithoutFacesIsEmpty) {
  // Element 0: one triangle; element 1: vertices but no faces.
  std::vector<double> v = kTriangle;
  for (double x : {5.0, 5.0, 5.0}) v.push_back(x);
  ClosestCase<float> c({0.5f, 0.5f, 1, 5, 5, 5}, {v.begin(), v.end()}, {0, 1, 2}, {0, 1, 2},
                       {0, 3, 4}, {0, 1, 1});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.valid[0], 1);
  EXPECT_EQ(c.distance[1], std::numeric_limits<float>::infinity());
  EXPECT_EQ(c.face[1], -1);
  EXPECT_EQ(c.valid[1], 0);
  for (int k = 3; k < 6; ++k) {
    EXPECT_EQ(c.barycentric[k], 0.0f);
    EXPECT_EQ(c.closest[k], 0.0f);
  }
}

TEST(ClosestPointSearch, PointsOnlySeeTheFacesOfTheirBatchElement) {
  // Element 1's triangle is far from its point; element 0's triangle contains it.
  std::vector<double> v = kTriangle;
  for (double x : {0.0, 0.0, 9.0, 2.0, 0.0, 9.0, 0.0, 2.0, 9.0}) v.push_back(x);
  ClosestCase<double> c({0.5, 0.5, 0, 0.5, 0.5, 0}, v, {0, 1, 2, 3, 4, 5}, {0, 1, 2}, {0, 3, 6},
                        {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.face[0], 0);
  EXPECT_EQ(c.face[1], 1);
  EXPECT_DOUBLE_EQ(c.distance[1], 81.0);
}

TEST(ClosestPointSearch, AgreesWithAFineSamplingOfEachTriangle) {
  std::mt19937 rng(11);
  const std::vector<int32_t> point_sizes{25, 0, 20}, vertex_sizes{12, 4, 9}, face_sizes{15, 3, 0};
  const auto p_off = offsets_of(point_sizes), v_off = offsets_of(vertex_sizes),
             f_off = offsets_of(face_sizes);
  std::vector<int32_t> faces;
  for (std::size_t b = 0; b < face_sizes.size(); ++b) {
    // Three distinct corners per face, so that no face is degenerate.
    std::vector<int32_t> rows(static_cast<std::size_t>(vertex_sizes[b]));
    for (int32_t r = 0; r < vertex_sizes[b]; ++r) rows[r] = v_off[b] + r;
    for (int i = 0; i < face_sizes[b]; ++i) {
      std::shuffle(rows.begin(), rows.end(), rng);
      faces.insert(faces.end(), rows.begin(), rows.begin() + 3);
    }
  }
  ClosestCase<double> c(random_coordinates<double>(rng, p_off.back(), -1.5, 1.5),
                        random_coordinates<double>(rng, v_off.back(), -1, 1), faces, p_off, v_off,
                        f_off);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);

  const int n = 120;  // samples per edge
  for (std::size_t b = 0; b + 1 < p_off.size(); ++b) {
    for (int32_t i = p_off[b]; i < p_off[b + 1]; ++i) {
      const double* p = &c.points[3 * i];
      double best = kInf, spacing = 0;
      for (int32_t f = f_off[b]; f < f_off[b + 1]; ++f) {
        const double* A = &c.vertices[3 * faces[3 * f]];
        const double* B = &c.vertices[3 * faces[3 * f + 1]];
        const double* C = &c.vertices[3 * faces[3 * f + 2]];
        double edge = 0;
        for (const double* e : {B, C})
          edge = std::max(edge, std::hypot(e[0] - A[0], e[1] - A[1], e[2] - A[2]));
        edge = std::max(edge, std::hypot(C[0] - B[0], C[1] - B[1], C[2] - B[2]));
        for (int u = 0; u <= n; ++u) {
          for (int w = 0; u + w <= n; ++w) {
            const double wb = double(u) / n, wc = double(w) / n, wa = 1 - wb - wc;
            double d = 0;
            for (int k = 0; k < 3; ++k) {
              const double x = p[k] - (wa * A[k] + wb * B[k] + wc * C[k]);
              d += x * x;
            }
            if (d < best) best = d, spacing = edge / n;
          }
        }
      }
      if (best == kInf) {
        EXPECT_EQ(c.valid[i], 0);
        continue;
      }
      ASSERT_EQ(c.valid[i], 1);
      const double got = std::sqrt(c.distance[i]);
      // The sampled minimum lies within one sample spacing above the exact one, never below.
      EXPECT_LE(got, std::sqrt(best) + 1e-12) << "point " << i;
      EXPECT_GE(got, std::sqrt(best) - spacing) << "point " << i;
      // The reported point is the face's combination of the weights, at the reported distance.
      const int32_t f = c.face[i];
      ASSERT_GE(f, f_off[b]);
      ASSERT_LT(f, f_off[b + 1]);
      double d = 0, sum = 0;
      for (int k = 0; k < 3; ++k) {
        double at = 0;
        for (int corner = 0; corner < 3; ++corner) {
          const double w = c.barycentric[3 * i + corner];
          EXPECT_GE(w, -1e-12);
          at += w * c.vertices[3 * faces[3 * f + corner] + k];
        }
        EXPECT_NEAR(at, c.closest[3 * i + k], 1e-12);
        d += (p[k] - at) * (p[k] - at);
        sum += c.barycentric[3 * i + k];
      }
      EXPECT_NEAR(sum, 1.0, 1e-12);
      EXPECT_NEAR(d, c.distance[i], 1e-12);
    }
  }
}

TEST(ClosestPointSearch, Float32IsTheDoubleResultRounded) {
  std::mt19937 rng(5);
  const auto pf = random_coordinates<float>(rng, 40, -1.5, 1.5);
  const auto vf = random_coordinates<float>(rng, 10, -1, 1);
  std::vector<int32_t> faces;
  std::uniform_int_distribution<int32_t> corner(0, 9);
  for (int i = 0; i < 36; ++i) faces.push_back(corner(rng));
  ClosestCase<float> single(pf, vf, faces);
  ClosestCase<double> dbl({pf.begin(), pf.end()}, {vf.begin(), vf.end()}, faces);
  ASSERT_EQ(single.run().status, VREL_STATUS_OK);
  ASSERT_EQ(dbl.run().status, VREL_STATUS_OK);
  EXPECT_EQ(single.face.values(), dbl.face.values());
  for (std::size_t i = 0; i < single.distance.size(); ++i)
    EXPECT_EQ(single.distance[i], static_cast<float>(dbl.distance[i]));
  for (std::size_t i = 0; i < single.closest.size(); ++i) {
    EXPECT_EQ(single.closest[i], static_cast<float>(dbl.closest[i]));
    EXPECT_EQ(single.barycentric[i], static_cast<float>(dbl.barycentric[i]));
  }
}

TEST(ClosestPointSearch, EveryInstructionSetBuildMatchesTheScalarRegionTest) {
  // The plain rule: for each point, every usable face in row order through the scalar region
  // test, c = wB*B + wA*A + wC*C, a strictly smaller distance replaces the best.
  using vrel::points::Isa;
  std::mt19937 rng(17);
  // Coordinates on a coarse grid put many points exactly on region boundaries and give ties.
  const auto p = random_coordinates<double>(rng, 150, -1.5, 1.5, 4);
  const auto v = random_coordinates<double>(rng, 40, -1, 1, 4);
  std::vector<int32_t> faces;
  std::uniform_int_distribution<int32_t> corner(0, 39);
  for (int i = 0; i < 3 * 300; ++i) faces.push_back(corner(rng));  // degenerate faces included
  int builds = 0;
  for (Isa isa : {Isa::kBaseline, Isa::kAvx2, Isa::kAvx512}) {
    if (!vrel::points::isa_supported(isa)) continue;
    ++builds;
    ClosestCase<double> c(p, v, faces);
    vrel::points::closest_point_search<double>(
        {c.points.ptr(), c.vertices.ptr(), c.faces.ptr(), c.point_offsets.ptr(),
         c.face_offsets.ptr(), 1, 0.0, c.distance.ptr(), c.face.ptr(), c.barycentric.ptr(),
         c.closest.ptr(), c.valid.ptr()},
        isa);
    for (int64_t i = 0; i < c.rows(); ++i) {
      const double* q = &p[3 * i];
      double best = kInf, w[3] = {0, 0, 0};
      int32_t chosen = -1;
      for (int32_t f = 0; f < 300; ++f) {
        const double* A = &v[3 * faces[3 * f]];
        const double* B = &v[3 * faces[3 * f + 1]];
        const double* C = &v[3 * faces[3 * f + 2]];
        const double ab[3] = {B[0] - A[0], B[1] - A[1], B[2] - A[2]};
        const double ac[3] = {C[0] - A[0], C[1] - A[1], C[2] - A[2]};
        const double n[3] = {ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2],
                             ab[0] * ac[1] - ab[1] * ac[0]};
        if (!(std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) > 0)) continue;
        const auto hit = closest_on_triangle(q, A, B, C);
        double d = 0, at[3];
        for (int k = 0; k < 3; ++k) at[k] = hit.wb * B[k] + hit.wa * A[k] + hit.wc * C[k];
        d = (q[1] - at[1]) * (q[1] - at[1]) + (q[0] - at[0]) * (q[0] - at[0]) +
            (q[2] - at[2]) * (q[2] - at[2]);
        if (d < best) best = d, chosen = f, w[0] = hit.wa, w[1] = hit.wb, w[2] = hit.wc;
      }
      ASSERT_EQ(c.face[i], chosen) << "point " << i;
      ASSERT_EQ(c.distance[i], best) << "point " << i;
      for (int k = 0; k < 3; ++k) ASSERT_EQ(c.barycentric[3 * i + k], w[k]) << "point " << i;
    }
  }
  EXPECT_GE(builds, 1);
}

// ---- backward ------------------------------------------------------------------------------

namespace {

struct ClosestGrad {
  Outcome outcome;
  std::vector<double> grad_points, grad_vertices;
};

ClosestGrad closest_backward(ClosestCase<double>& c, Tensor<double>& cotangent,
                             bool want_points = true, bool want_vertices = true) {
  Tensor<double> gp({c.rows(), 3}), gv({c.vertices.shape()[0], 3});
  View gpv = gp.out(), gvv = gv.out();
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_points_closest_point_on_mesh_backward(
      c.points.in(), c.vertices.in(), c.faces.in(), c.face.in(), c.barycentric.in(), c.closest.in(),
      c.valid.in(), cotangent.in(), &ctx, want_points ? gpv.get() : nullptr,
      want_vertices ? gvv.get() : nullptr, nullptr, diag);
  return {{st, diag.text()}, gp.values(), gv.values()};
}

}  // namespace

TEST(ClosestPointBackward, MatchesCentralDifferencesOfTheForward) {
  std::mt19937 rng(21);
  // Three separate triangles (no shared corners, so no ties between faces) and points around
  // them that land in corner, edge and inside regions.
  std::vector<int32_t> faces{0, 1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<double> points = random_coordinates<double>(rng, 16, -2, 2);
  for (double x : {0.4, 0.4, 0.3, 0.5, 0.3, -0.4}) points.push_back(x);  // above and below face 0
  ClosestCase<double> c(points,
                        {0,   0,   0,   1.1, 0.1, -0.2, 0.2, 1.3,  0.1,  2,   2,    2,   2.5, 1.2,
                         2.2, 1.8, 2.9, 1.6, -2,  0.5,  1,   -1.2, -0.4, 1.5, -1.9, 1.1, -0.7},
                        faces);
  std::vector<int> regions(7, 0);
  for (int64_t i = 0; i < c.rows(); ++i) {
    const double* f0 = &c.vertices[3 * faces[3 * c.face[i]]];
    const double p[3] = {c.points[3 * i], c.points[3 * i + 1], c.points[3 * i + 2]};
    ++regions[closest_on_triangle(p, f0, f0 + 3, f0 + 6).region];
  }
  EXPECT_GT(regions[VREL_POINTS_REGION_INSIDE], 0);
  EXPECT_LT(regions[VREL_POINTS_REGION_INSIDE], c.rows()) << "no point reaches an edge or corner";
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<double> g({c.rows()});
  std::uniform_real_distribution<double> u(-1, 1);
  for (double& x : g.values()) x = u(rng);
  const ClosestGrad analytic = closest_backward(c, g);
  ASSERT_EQ(analytic.outcome.status, VREL_STATUS_OK) << analytic.outcome.message;

  const std::vector<int32_t> chosen = c.face.values();
  auto loss = [&](ClosestCase<double>& trial) {
    EXPECT_EQ(trial.run().status, VREL_STATUS_OK);
    EXPECT_EQ(trial.face.values(), chosen) << "the perturbation changed a face";
    double sum = 0;
    for (std::size_t i = 0; i < trial.distance.size(); ++i) sum += g[i] * trial.distance[i];
    return sum;
  };
  const double h = 1e-6;
  for (int which = 0; which < 2; ++which) {
    const std::size_t n = which == 0 ? c.points.size() : c.vertices.size();
    for (std::size_t i = 0; i < n; ++i) {
      ClosestCase<double> plus = c, minus = c;
      (which == 0 ? plus.points : plus.vertices)[i] += h;
      (which == 0 ? minus.points : minus.vertices)[i] -= h;
      const double numeric = (loss(plus) - loss(minus)) / (2 * h);
      const double got = which == 0 ? analytic.grad_points[i] : analytic.grad_vertices[i];
      EXPECT_NEAR(got, numeric, 1e-6) << (which == 0 ? "point " : "vertex ") << i;
    }
  }
}

TEST(ClosestPointBackward, InvalidPointsContributeNothing) {
  ClosestCase<double> c({0.5, 0.5, 1, 0.5, 0.5, 2}, kTriangle, {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  c.valid[1] = 0;
  c.face[1] = 77;  // ignored because the point is not valid
  Tensor<double> g({2}, {1, 1});
  const ClosestGrad r = closest_backward(c, g);
  ASSERT_EQ(r.outcome.status, VREL_STATUS_OK) << r.outcome.message;
  EXPECT_EQ(r.grad_points, (std::vector<double>{0, 0, 2, 0, 0, 0}));
  EXPECT_DOUBLE_EQ(r.grad_vertices[2], -1.0);  // corner A's weight is 0.5
  EXPECT_DOUBLE_EQ(r.grad_vertices[5], -0.5);
  EXPECT_DOUBLE_EQ(r.grad_vertices[8], -0.5);
}

TEST(ClosestPointBackward, OutOfRangeRowsStopThePass) {
  ClosestCase<double> c({0.5, 0.5, 1}, kTriangle, {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<double> g({1}, {1});
  for (int32_t bad : {1, -1}) {
    c.face[0] = bad;
    expect_refused(closest_backward(c, g).outcome, 1,
                   "a valid face index lies outside the face range");
  }
  c.face[0] = 0;
  c.faces[2] = 3;
  const ClosestGrad corner = closest_backward(c, g, true, false);
  expect_refused(corner.outcome, 1, "a face references a vertex outside the vertex range");
  // Found before the point's own gradient is accumulated: nothing is written.
  EXPECT_EQ(corner.grad_points, (std::vector<double>{0, 0, 0}));
}

// ---- the order of the checks ----------------------------------------------------------------

namespace {

struct ClosestCall {
  ClosestCase<float> c{{0.5f, 0.5f, 1, 3, 3, 3}, {0, 0, 0, 2, 0, 0, 0, 2, 0}, {0, 1, 2}};
  VrelExecutionContext ctx = cpu_context();
  View views[11] = {c.points.in(),        c.vertices.in(),       c.faces.in(),
                    c.point_offsets.in(), c.vertex_offsets.in(), c.face_offsets.in(),
                    c.distance.out(),     c.face.out(),          c.barycentric.out(),
                    c.closest.out(),      c.valid.out()};
  VrelTensorView* v[11] = {views[0].get(), views[1].get(), views[2].get(), views[3].get(),
                           views[4].get(), views[5].get(), views[6].get(), views[7].get(),
                           views[8].get(), views[9].get(), views[10].get()};
  double eps = 0;

  Outcome run() {
    Diag diag;
    const VrelStatus st =
        vrel_points_closest_point_on_mesh(v[0], v[1], v[2], v[3], v[4], v[5], eps, &ctx, v[6], v[7],
                                          v[8], v[9], v[10], nullptr, diag);
    return {st, diag.text()};
  }
};

}  // namespace

TEST(ClosestPointChecks, ForwardRefusesInTheDocumentedOrder) {
  for (double eps : {-1.0, kInf, std::nan("")}) {
    ClosestCall call;
    call.eps = eps;
    call.ctx.reserved_word = 1;  // eps comes first
    expect_refused(call.run(), 1, "eps must be finite and nonnegative");
  }
  {
    ClosestCall call;
    call.ctx.device_type = VREL_DEVICE_CUDA;
    call.ctx.struct_size = 63;  // too small to be forwarded
    expect_refused(call.run(), 6, "structure is smaller than the ABI v1 minimum");
  }
  struct Mutation {
    int view;
    void (*apply)(VrelTensorView*);
    VrelStatus status;
    const char* message;
  };
  const Mutation mutations[] = {
      {0, [](VrelTensorView* x) { x->rank = 1; }, 1, "points must be a [P,3] tensor view"},
      {0, [](VrelTensorView* x) { x->device_type = VREL_DEVICE_CUDA; }, 2,
       "mesh operations implement only the CPU backend in this phase"},
      {0, [](VrelTensorView* x) { x->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {0, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_INT32; }, 2,
       "points must use the float32 or float64 dtype"},
      {1, [](VrelTensorView* x) { x->rank = 3; }, 1, "vertices must be a [V,3] tensor view"},
      {1, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_INT32; }, 1,
       "vertices must match the points dtype"},
      {2, [](VrelTensorView* x) { x->rank = 1; }, 1, "faces must be a [F,3] tensor view"},
      {2, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_UINT32; }, 2,
       "faces must use the int32 dtype"},
      {3, [](VrelTensorView* x) { x->rank = 2; }, 1, "point offsets must be a [B+1] tensor view"},
      {3, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; }, 2,
       "offsets must use the int32 dtype"},
      {4, [](VrelTensorView* x) { x->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {6, [](VrelTensorView* x) { x->rank = 2; }, 1, "distances must be a [P] output view"},
      {6, [](VrelTensorView* x) { x->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {6, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_INT32; }, 1,
       "distances must match the points dtype"},
      {7, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "face indices must use the int32 dtype"},
      {7,
       [](VrelTensorView* x) {
         x->rank = 0;
         x->shape = nullptr;
         x->strides = nullptr;
       },
       1, "face indices must be a [P] output view"},
      {8, [](VrelTensorView* x) { x->rank = 1; }, 1, "barycentrics must be a [P,3] output view"},
      {8, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_UINT32; }, 1,
       "barycentrics must match the points dtype"},
      {9, [](VrelTensorView* x) { x->rank = 1; }, 1, "closest points must be a [P,3] output view"},
      {9, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_INT32; }, 1,
       "closest points must match the points dtype"},
      {10, [](VrelTensorView* x) { x->rank = 2; }, 1, "valid must be a [P] output view"},
      {10, [](VrelTensorView* x) { x->device_type = VREL_DEVICE_CUDA; }, 2,
       "mesh operations implement only the CPU backend in this phase"},
  };
  for (const Mutation& m : mutations) {
    ClosestCall call;
    m.apply(call.v[m.view]);
    expect_refused(call.run(), m.status, m.message);
  }
  struct OffsetCase {
    int view;
    std::vector<int32_t> values;
    const char* message;
  };
  const OffsetCase offsets[] = {
      {3, {0, 1}, "point offsets must satisfy the packed-offset rules"},  // last must be 2
      {3, {1, 2}, "point offsets must satisfy the packed-offset rules"},
      {4, {0, 2}, "vertex offsets must satisfy the packed-offset rules"},
      {5, {0, 0}, "face offsets must satisfy the packed-offset rules"},
  };
  for (const OffsetCase& o : offsets) {
    ClosestCall call;
    Tensor<int32_t> t({2}, o.values);
    View tv = t.in();
    call.v[o.view] = tv.get();
    expect_refused(call.run(), 1, o.message);
  }
  {
    ClosestCall call;  // extents must agree with the B + 1 of the point offsets
    Tensor<int32_t> t({3}, {0, 1, 3});
    View tv = t.in();
    call.v[4] = tv.get();
    expect_refused(call.run(), 1, "vertex offsets must satisfy the packed-offset rules");
  }
  {
    ClosestCall call;
    call.v[9]->data = call.c.barycentric.ptr();
    expect_refused(call.run(), 1, "outputs may not alias an input or another output");
  }
  {
    ClosestCall call;  // an output over the face offsets
    Tensor<int32_t> shared({2}, {0, 1});
    View face_offsets(shared.ptr(), {2}, VREL_DTYPE_INT32);
    View face(shared.ptr(), {2}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
    call.v[5] = face_offsets.get();
    call.v[7] = face.get();
    expect_refused(call.run(), 1, "outputs may not alias an input or another output");
  }
  {
    // Two batch elements; face 0 of element 0 uses vertex 3 of element 1. Nothing is written.
    ClosestCase<double> c({0, 0, 0, 1, 1, 1}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 5, 5, 5}, {0, 1, 3},
                          {0, 1, 2}, {0, 3, 4}, {0, 1, 1});
    c.face.values().assign(2, 42);
    expect_refused(c.run(), 1, "each face must reference vertices of its own batch element");
    EXPECT_EQ(c.face.values(), (std::vector<int32_t>{42, 42}));
    c.faces[2] = -1;
    expect_refused(c.run(), 1, "each face must reference vertices of its own batch element");
  }
  ClosestCall good;
  EXPECT_EQ(good.run().status, VREL_STATUS_OK);
}

TEST(ClosestPointChecks, BackwardRefusesInTheDocumentedOrder) {
  ClosestCase<double> c({0.5, 0.5, 1, 3, 3, 3}, kTriangle, {0, 1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<double> g({2}, {1, 1}), gp({2, 3}), gv({3, 3});
  VrelExecutionContext ctx = cpu_context();
  View views[10] = {c.points.in(),  c.vertices.in(), c.faces.in(), c.face.in(), c.barycentric.in(),
                    c.closest.in(), c.valid.in(),    g.in(),       gp.out(),    gv.out()};
  auto run = [&](VrelTensorView* const* v) {
    Diag diag;
    const VrelStatus st = vrel_points_closest_point_on_mesh_backward(
        v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], &ctx, v[8], v[9], nullptr, diag);
    return Outcome{st, diag.text()};
  };
  struct Mutation {
    int view;
    void (*apply)(VrelTensorView*);
    const char* message;
  };
  const Mutation mutations[] = {
      {0, [](VrelTensorView* x) { x->rank = 1; }, "points must be a [P,3] tensor view"},
      {3, [](VrelTensorView* x) { x->rank = 2; }, "face indices must be a [P] tensor view"},
      {3, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_UINT32; },
       "face indices must use the int32 dtype"},
      {3, [](VrelTensorView* x) { x->flags = VREL_TENSOR_OUTPUT; },
       "operation inputs may not carry the output flag"},
      {4, [](VrelTensorView* x) { x->rank = 1; }, "barycentrics must be a [P,3] tensor view"},
      {4,
       [](VrelTensorView* x) {
         x->dtype = VREL_DTYPE_INT32;
         x->byte_offset = 0;
       },
       "barycentrics must match the points dtype"},
      {5, [](VrelTensorView* x) { x->rank = 1; }, "closest points must be a [P,3] tensor view"},
      {5, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; },
       "closest points must match the points dtype"},
      {6, [](VrelTensorView* x) { x->rank = 2; }, "valid must be a [P] tensor view"},
      {7, [](VrelTensorView* x) { x->rank = 2; }, "distance cotangents must be a [P] tensor view"},
      {7, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; },
       "cotangents must match the points dtype"},
      {8, [](VrelTensorView* x) { x->rank = 1; }, "point gradients must be a [P,3] output view"},
      {8, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; },
       "point gradients must match the points dtype"},
      {9, [](VrelTensorView* x) { x->flags = 0; }, "operation outputs must carry the output flag"},
      {9, [](VrelTensorView* x) { x->dtype = VREL_DTYPE_FLOAT32; },
       "vertex gradients must match the points dtype"},
  };
  for (const Mutation& m : mutations) {
    View copies[10] = {views[0], views[1], views[2], views[3], views[4],
                       views[5], views[6], views[7], views[8], views[9]};
    VrelTensorView* v[10];
    for (int i = 0; i < 10; ++i) v[i] = copies[i].get();
    m.apply(v[m.view]);
    expect_refused(run(v), 1, m.message);
  }
  VrelTensorView* v[10];
  for (int i = 0; i < 10; ++i) v[i] = views[i].get();
  {
    Tensor<float> float_faces({1, 3});
    View ff = float_faces.in();
    VrelTensorView* saved = v[2];
    v[2] = ff.get();
    expect_refused(run(v), 2, "faces must use the int32 dtype");
    v[2] = saved;
  }
  {
    VrelTensorView* saved = v[6];
    Tensor<int32_t> ints({2});
    View iv = ints.in();
    v[6] = iv.get();
    expect_refused(run(v), 1, "valid must use the bool dtype");
    v[6] = saved;
  }
  {
    Tensor<double> wrong({3, 3});
    View w = wrong.out();
    VrelTensorView* saved = v[8];
    v[8] = w.get();
    expect_refused(run(v), 1, "point gradients must be a [P,3] output view");
    v[8] = saved;
  }
  {
    VrelTensorView* saved[2] = {v[8], v[9]};
    v[8] = v[9] = nullptr;
    expect_refused(run(v), 1, "at least one gradient output is required");
    v[8] = saved[0];
    v[9] = saved[1];
  }
  {
    // Point gradients over the stored closest points would be cleared before they are read.
    View over(c.closest.ptr(), {2, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
    VrelTensorView* saved = v[8];
    v[8] = over.get();
    expect_refused(run(v), 1, "outputs may not alias an input or another output");
    v[8] = saved;
  }
  EXPECT_EQ(run(v).status, VREL_STATUS_OK);
}

TEST(ClosestPointChecks, WorkspaceQuery) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 99, align = 99;
  auto query = [&](int64_t p, int64_t v, int64_t f, uint32_t dtype, VrelExecutionContext* c,
                   uint64_t* b) {
    Diag diag;
    const VrelStatus st =
        vrel_points_closest_point_on_mesh_workspace(p, v, f, dtype, c, b, &align, diag);
    return Outcome{st, diag.text()};
  };
  expect_refused(query(0, 0, -1, 0, nullptr, nullptr), 1, "counts must be nonnegative");
  expect_refused(query(0, 0, 0, 0, nullptr, nullptr), 1,
                 "workspace query result pointers must not be null");
  expect_refused(query(0, 0, 0, VREL_DTYPE_BOOL, nullptr, &bytes), 2,
                 "proximity operations support the float32 and float64 dtypes");
  VrelExecutionContext other = cpu_context();
  other.device_type = 3;
  expect_refused(query(0, 0, 0, VREL_DTYPE_FLOAT64, &other, &bytes), 2,
                 "device type is not supported by ABI v1");
  ASSERT_EQ(query(10, 20, 20, VREL_DTYPE_FLOAT32, &ctx, &bytes).status, VREL_STATUS_OK);
  EXPECT_EQ(bytes, 0u);  // too few faces for an index
  EXPECT_EQ(align, 1u);
  ASSERT_EQ(query(10, 20, 3000, VREL_DTYPE_FLOAT32, &ctx, &bytes).status, VREL_STATUS_OK);
  EXPECT_GT(bytes, 3000u * 9 * 8);  // the hierarchy holds at least the faces' corners
  EXPECT_EQ(align, 8u);
}

TEST(ClosestPointChecks, CudaWithoutProviderIsRefused) {
  ClosestCall call;
  call.ctx = cuda_context();
  call.eps = -1;  // not looked at: the request goes to the provider first
  expect_refused(call.run(), 2,
                 "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU");
}

TEST(ClosestPointChecks, BadInputsOfEveryExport) {
  ClosestCase<float> c({0.5f, 0.5f, 1, 3, 3, 3}, {0, 0, 0, 2, 0, 0, 0, 2, 0}, {0, 1, 2});
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  View p = c.points.in(), v = c.vertices.in(), f = c.faces.in(), po = c.point_offsets.in(),
       vo = c.vertex_offsets.in(), fo = c.face_offsets.in();
  View d = c.distance.out(), fi = c.face.out(), b = c.barycentric.out(), cl = c.closest.out(),
       va = c.valid.out();
  BadInputPlan forward{{{c.distance.ptr(), c.distance.bytes()},
                        {c.face.ptr(), c.face.bytes()},
                        {c.barycentric.ptr(), c.barycentric.bytes()},
                        {c.closest.ptr(), c.closest.bytes()},
                        {c.valid.ptr(), c.valid.bytes()}},
                       {{13, VREL_STATUS_OK}},
                       {}};
  check_bad_inputs(
      "points_closest_point_on_mesh", vrel_points_closest_point_on_mesh,
      std::make_tuple(p.get(), v.get(), f.get(), po.get(), vo.get(), fo.get(), 0.0, &ctx, d.get(),
                      fi.get(), b.get(), cl.get(), va.get(), ws.get(), diag.get()),
      forward);

  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<float> g({2}, {1, 1}), gp({2, 3}), gv({3, 3});
  View fii = c.face.in(), bi = c.barycentric.in(), ci = c.closest.in(), vi = c.valid.in(),
       gi = g.in();
  View gpo = gp.out(), gvo = gv.out();
  BadInputPlan backward{{{gp.ptr(), gp.bytes()}, {gv.ptr(), gv.bytes()}},
                        {{9, VREL_STATUS_OK}, {10, VREL_STATUS_OK}, {11, VREL_STATUS_OK}},
                        {}};
  check_bad_inputs(
      "points_closest_point_on_mesh_backward", vrel_points_closest_point_on_mesh_backward,
      std::make_tuple(p.get(), v.get(), f.get(), fii.get(), bi.get(), ci.get(), vi.get(), gi.get(),
                      &ctx, gpo.get(), gvo.get(), ws.get(), diag.get()),
      backward);

  uint64_t bytes = 7, align = 7;
  BadInputPlan query{{{&bytes, sizeof bytes}, {&align, sizeof align}}, {}, {}};
  check_bad_inputs("points_closest_point_on_mesh_workspace",
                   vrel_points_closest_point_on_mesh_workspace,
                   std::make_tuple(int64_t{2}, int64_t{3}, int64_t{1}, VREL_DTYPE_FLOAT32, &ctx,
                                   &bytes, &align, diag.get()),
                   query);
}
