// Rasterization backward: central finite differences of the recomputed fragment geometry, the
// sign of the distance gradient, empty fragments and the range errors found during the pass.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/render/render_support.hpp"

namespace vrel::test {
namespace {

struct Cotangents {
  Tensor<double> bary, depth, sd;
};

// Calls the backward export over float64 data with the given cotangents (null when absent).
VrelStatus backward(std::vector<double>& vertices, std::vector<int32_t>& faces, int64_t h,
                    int64_t w, Tensor<int32_t>& face_index, Tensor<double>* gb, Tensor<double>* gd,
                    Tensor<double>* gs, Tensor<double>& grad, Diag& diag) {
  const int64_t v = static_cast<int64_t>(vertices.size() / 3);
  View vv(vertices.data(), {v, 3}, VREL_DTYPE_FLOAT64);
  View fv(faces.data(), {static_cast<int64_t>(faces.size() / 3), 3}, VREL_DTYPE_INT32);
  View fi = face_index.in();
  View gbv = gb ? gb->in() : View(nullptr, {0}, VREL_DTYPE_FLOAT64);
  View gdv = gd ? gd->in() : View(nullptr, {0}, VREL_DTYPE_FLOAT64);
  View gsv = gs ? gs->in() : View(nullptr, {0}, VREL_DTYPE_FLOAT64);
  View out = grad.out();
  VrelExecutionContext ctx = cpu_context();
  return vrel_render_rasterize_backward(vv, fv, h, w, fi, gb ? gbv.get() : nullptr,
                                        gd ? gdv.get() : nullptr, gs ? gsv.get() : nullptr, &ctx,
                                        out, nullptr, diag);
}

// L = sum over non-empty fragments of gb . b + gd z + gs sd, geometry recomputed for fixed faces.
double loss(const std::vector<double>& vertices, const std::vector<int32_t>& faces, int64_t h,
            int64_t w, const Tensor<int32_t>& fi, const Cotangents& c) {
  const int64_t k = fi.shape()[3];
  double sum = 0;
  for (std::size_t n = 0; n < fi.size(); ++n) {
    if (fi[n] < 0) continue;
    const int64_t row = (static_cast<int64_t>(n) / (w * k)) % h;
    const int64_t col = (static_cast<int64_t>(n) / k) % w;
    const Recomputed r = recompute(vertices, &faces[3 * fi[n]], h, w, row, col);
    for (int q = 0; q < 3; ++q) sum += c.bary[3 * n + q] * r.b[q];
    sum += c.depth[n] * r.z + c.sd[n] * r.sd;
  }
  return sum;
}

// Random meshes, rasterized with blur so that outside fragments occur, then gradients of every
// cotangent combination checked against central differences.
TEST(RasterizeBackward, GradientsMatchCentralDifferences) {
  std::mt19937 rng(5);
  std::normal_distribution<double> n01(0, 1);
  const int64_t h = 23, w = 31, k = 3;
  for (int trial = 0; trial < 6; ++trial) {
    Mesh<double> mesh = random_mesh<double>(rng, 1, 10, false);
    RasterCall c;
    c.gh = c.h = h;
    c.gw = c.w = w;
    c.k = k;
    c.blur = 1.5;
    Fragments<double> frags(1, h, w, k);
    Diag diag;
    ASSERT_EQ(rasterize(mesh, c, frags, diag), VREL_STATUS_OK);
    Cotangents cot{Tensor<double>({1, h, w, k, 3}), Tensor<double>({1, h, w, k}),
                   Tensor<double>({1, h, w, k})};
    for (auto* t : {&cot.bary, &cot.depth, &cot.sd})
      for (auto& x : t->values()) x = n01(rng);
    // Cotangents of each kind alone and all together.
    const int mask = trial % 4 == 3 ? 7 : 1 << (trial % 3);
    Cotangents used = cot;
    if (!(mask & 1)) std::fill(used.bary.values().begin(), used.bary.values().end(), 0.0);
    if (!(mask & 2)) std::fill(used.depth.values().begin(), used.depth.values().end(), 0.0);
    if (!(mask & 4)) std::fill(used.sd.values().begin(), used.sd.values().end(), 0.0);

    Tensor<double> grad({mesh.v(), 3});
    ASSERT_EQ(
        backward(mesh.vertices, mesh.faces, h, w, frags.face_index, mask & 1 ? &used.bary : nullptr,
                 mask & 2 ? &used.depth : nullptr, mask & 4 ? &used.sd : nullptr, grad, diag),
        VREL_STATUS_OK)
        << diag.text();
    const double step = 1e-6;
    for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
      std::vector<double> plus = mesh.vertices, minus = mesh.vertices;
      plus[i] += step;
      minus[i] -= step;
      const double fd = (loss(plus, mesh.faces, h, w, frags.face_index, used) -
                         loss(minus, mesh.faces, h, w, frags.face_index, used)) /
                        (2 * step);
      EXPECT_NEAR(grad[i], fd, 1e-5 * (1 + std::fabs(fd)))
          << "trial " << trial << " mask " << mask << " coordinate " << i;
    }
  }
}

// Recomputed barycentrics equal the forward's, so the backward differentiates what was output.
TEST(RasterizeBackward, RecomputedGeometryIsTheForwardOutput) {
  std::mt19937 rng(8);
  Mesh<double> mesh = random_mesh<double>(rng, 1, 12, false);
  RasterCall c;
  c.gh = c.h = 19;
  c.gw = c.w = 26;
  c.k = 2;
  c.blur = 1.0;
  Fragments<double> frags(1, c.h, c.w, c.k);
  Diag diag;
  ASSERT_EQ(rasterize(mesh, c, frags, diag), VREL_STATUS_OK);
  int checked = 0;
  for (std::size_t n = 0; n < frags.face_index.size(); ++n) {
    if (frags.face_index[n] < 0) continue;
    const int64_t row = (static_cast<int64_t>(n) / (c.w * c.k)) % c.h;
    const int64_t col = (static_cast<int64_t>(n) / c.k) % c.w;
    const Recomputed r =
        recompute(mesh.vertices, &mesh.faces[3 * frags.face_index[n]], c.h, c.w, row, col);
    for (int q = 0; q < 3; ++q) EXPECT_EQ(r.b[q], frags.barycentric[3 * n + q]);
    EXPECT_EQ(r.z, frags.depth[n]);
    EXPECT_EQ(r.sd, frags.signed_distance[n]);
    ++checked;
  }
  EXPECT_GT(checked, 20);
}

// One face and a fragment buffer naming it at chosen pixels of a 10 x 10 image.
struct Single {
  std::vector<double> vertices;
  std::vector<int32_t> faces{0, 1, 2};
  Tensor<int32_t> fi = Tensor<int32_t>::filled({1, 10, 10, 1}, -1);
  Tensor<double> gs{{1, 10, 10, 1}};
  Tensor<double> grad{{3, 3}};
};

// The pixel at (row 5, column 5) lies 0.5 pixel inside face A and 0.5 pixel outside its mirror
// image B across the shared edge: the distance gradients are opposite.
TEST(RasterizeBackward, InsideAndOutsideDistanceGradientsHaveOppositeSigns) {
  // Shared edge along screen column 6 (x = 0.2); A extends left over the pixel, B right.
  auto run = [](double third_x) {
    Single s;
    s.vertices = {0.2, 0.8, 0, 0.2, -0.8, 0, third_x, 0.0, 0};
    s.fi[5 * 10 + 5] = 0;
    s.gs[5 * 10 + 5] = 1.0;
    Diag diag;
    EXPECT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, nullptr, nullptr, &s.gs, s.grad, diag),
              VREL_STATUS_OK)
        << diag.text();
    return s.grad.values();
  };
  const std::vector<double> inside = run(-0.9), outside = run(1.3);
  for (int q = 0; q < 6; ++q) {
    EXPECT_EQ(inside[q], -outside[q]) << q;
  }
  EXPECT_NE(inside[0], 0.0);
  EXPECT_EQ(inside[6], 0.0);  // the third corner is not on the nearest edge
  EXPECT_EQ(outside[6], 0.0);
}

TEST(RasterizeBackward, NearestVertexTakesTheWholeDistanceGradient) {
  Single s;
  // The pixel centre (5.5, 5.5) lies beyond corner 0 at screen (3, 3) of the face.
  s.vertices = {-0.4, 0.4, 0, -0.8, 0.4, 0, -0.4, 0.8, 0};
  s.fi[5 * 10 + 5] = 0;
  s.gs[5 * 10 + 5] = 2.0;
  Diag diag;
  ASSERT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, nullptr, nullptr, &s.gs, s.grad, diag),
            VREL_STATUS_OK);
  // d = |p - q0|^2 with p - q0 = (2.5, 2.5) in screen space: d d/d q0 = -2 (p - q0).
  EXPECT_DOUBLE_EQ(s.grad[0], 2.0 * -2 * 2.5 * 5);   // times W/2
  EXPECT_DOUBLE_EQ(s.grad[1], 2.0 * -2 * 2.5 * -5);  // times -H/2
  for (int q = 2; q < 9; ++q) EXPECT_EQ(s.grad[q], 0.0) << q;
}

TEST(RasterizeBackward, DepthCotangentAloneMovesXYAndZ) {
  Single s;
  s.vertices = {-0.8, -0.8, 0.1, 0.8, -0.8, 0.7, 0.0, 0.8, 1.3};
  s.fi[4 * 10 + 4] = 0;
  Tensor<double> gb({1, 10, 10, 1, 3});
  Tensor<double> gd({1, 10, 10, 1});
  gd[4 * 10 + 4] = 1.0;
  Diag diag;
  ASSERT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, &gb, &gd, nullptr, s.grad, diag),
            VREL_STATUS_OK);
  const Recomputed r = recompute(s.vertices, s.faces.data(), 10, 10, 4, 4);
  for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(s.grad[3 * k + 2], r.b[k]);
  EXPECT_NE(s.grad[0], 0.0);
  EXPECT_NE(s.grad[1], 0.0);
}

TEST(RasterizeBackward, EmptyFragmentsContributeNothing) {
  Single s;
  s.vertices = {-0.8, -0.8, 0.1, 0.8, -0.8, 0.7, 0.0, 0.8, 1.3};
  Tensor<double> gb = Tensor<double>::filled({1, 10, 10, 1, 3}, 1.5);
  Tensor<double> gd = Tensor<double>::filled({1, 10, 10, 1}, -2.0);
  Tensor<double> gs = Tensor<double>::filled({1, 10, 10, 1}, 3.0);
  s.grad = Tensor<double>::filled({3, 3}, 9.0);
  Diag diag;
  ASSERT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, &gb, &gd, &gs, s.grad, diag),
            VREL_STATUS_OK);
  for (double g : s.grad.values()) EXPECT_EQ(g, 0.0);
}

TEST(RasterizeBackward, RangeErrorsFoundDuringThePass) {
  Single s;
  s.vertices = {-0.8, -0.8, 0.1, 0.8, -0.8, 0.7, 0.0, 0.8, 1.3};
  s.fi[3] = 1;  // F = 1
  Diag diag;
  EXPECT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, nullptr, nullptr, &s.gs, s.grad, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "a fragment names a face outside the face range");
  s.fi[3] = 0;
  s.faces[2] = 3;  // V = 3
  EXPECT_EQ(backward(s.vertices, s.faces, 10, 10, s.fi, nullptr, nullptr, &s.gs, s.grad, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "a face references a vertex outside the vertex range");
}

// Float32 data: the gradient is the float64 one rounded fragment by fragment, close to it.
TEST(RasterizeBackward, Float32FollowsFloat64) {
  std::mt19937 rng(21);
  Mesh<double> md = random_mesh<double>(rng, 1, 8, false);
  Mesh<float> mf;
  mf.faces = md.faces;
  mf.vertex_offsets = md.vertex_offsets;
  mf.face_offsets = md.face_offsets;
  for (double& x : md.vertices) x = static_cast<float>(x);
  for (double x : md.vertices) mf.vertices.push_back(static_cast<float>(x));
  RasterCall c;
  c.gh = c.h = 17;
  c.gw = c.w = 21;
  c.k = 2;
  c.blur = 1.0;
  Fragments<double> frags(1, c.h, c.w, c.k);
  Diag diag;
  ASSERT_EQ(rasterize(md, c, frags, diag), VREL_STATUS_OK);
  Tensor<double> gd = Tensor<double>::filled({1, c.h, c.w, c.k}, 0.25);
  Tensor<double> grad({md.v(), 3});
  ASSERT_EQ(
      backward(md.vertices, md.faces, c.h, c.w, frags.face_index, nullptr, &gd, &gd, grad, diag),
      VREL_STATUS_OK);
  Tensor<float> gdf = Tensor<float>::filled({1, c.h, c.w, c.k}, 0.25f);
  Tensor<float> gradf({mf.v(), 3});
  View vv(mf.vertices.data(), {mf.v(), 3}, VREL_DTYPE_FLOAT32);
  View fv(mf.faces.data(), {mf.f(), 3}, VREL_DTYPE_INT32);
  View fi = frags.face_index.in(), g = gdf.in(), out = gradf.out();
  VrelExecutionContext ctx = cpu_context();
  ASSERT_EQ(
      vrel_render_rasterize_backward(vv, fv, c.h, c.w, fi, nullptr, g, g, &ctx, out, nullptr, diag),
      VREL_STATUS_OK)
      << diag.text();
  for (std::size_t i = 0; i < grad.size(); ++i)
    EXPECT_NEAR(gradf[i], grad[i], 1e-4 * (1 + std::fabs(grad[i]))) << i;
}

}  // namespace
}  // namespace vrel::test
