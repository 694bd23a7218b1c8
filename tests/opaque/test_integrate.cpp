// Colour integration: against the independent visible-integral reference, the worked cases and
// finite differences of the vertex and colour gradients.
#include <gtest/gtest.h>

#include "tests/opaque/opaque_support.hpp"

namespace vrel::test {
namespace {

// The barycentric planes of a sliver of height h scale with 1/h, so its colour integrals carry
// an absolute rounding error of about 1e-16/h; the areas do not.
void expect_reference(const Scene& s, double colour_tolerance, uint32_t seed) {
  std::vector<double> out, cover;
  std::string message;
  ASSERT_EQ(integrate(s, out, &message), VREL_STATUS_OK) << message;
  ASSERT_EQ(coverage(s, cover), VREL_STATUS_OK);
  for (int64_t j = 0; j < s.h; ++j)
    for (int64_t i = 0; i < s.w; ++i) {
      const auto ref = reference_pixel(s, j, i, true);
      const int64_t p = j * s.w + i;
      for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(out[4 * p + c], ref[c], c == 3 ? 1e-12 : colour_tolerance)
            << "seed " << seed << " pixel " << p << " channel " << c;
      EXPECT_NEAR(out[4 * p + 3], cover[p], 1e-13);
    }
}

TEST(OpaqueIntegrate, EqualsTheExactVisibleIntegralsOnRandomScenes) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    expect_reference(random_scene(seed, 3, 3, true, 1e-3), 1e-12, seed);
    expect_reference(random_scene(seed), 1e-9, seed);
  }
}

TEST(OpaqueIntegrate, ConstantColourCoveringThePixel) {
  Scene s;
  s.triangle({-5, -5, 1, 9, -5, 2, -5, 9, 3}, {0.25, 0.5, 0.75, 0.25, 0.5, 0.75, 0.25, 0.5, 0.75});
  std::vector<double> out;
  ASSERT_EQ(integrate(s, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], 0.25, 1e-15);
  EXPECT_NEAR(out[1], 0.5, 1e-15);
  EXPECT_NEAR(out[2], 0.75, 1e-15);
  EXPECT_NEAR(out[3], 1.0, 1e-15);
}

TEST(OpaqueIntegrate, CoplanarOverlapGoesToTheLowerFaceIndex) {
  const std::array<double, 9> red{1, 0, 0, 1, 0, 0, 1, 0, 0}, blue{0, 0, 1, 0, 0, 1, 0, 0, 1};
  Scene s;
  // The same plane z = x/8 + y/4 + 1 under both, with dyadic corners so that both faces compute
  // it exactly; the later face is larger.
  auto z = [](double x, double y) { return 0.125 * x + 0.25 * y + 1; };
  s.triangle({0, 0, z(0, 0), 0.5, 0, z(0.5, 0), 0, 0.5, z(0, 0.5)}, red);
  s.triangle({-1, -1, z(-1, -1), 3, -1, z(3, -1), -1, 3, z(-1, 3)}, blue);
  std::vector<double> out;
  ASSERT_EQ(integrate(s, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], 0.125, 1e-14);
  EXPECT_NEAR(out[2], 0.875, 1e-14);
  // The faces swapped: the large face now wins everywhere.
  Scene r;
  r.vertices = s.vertices;
  r.faces = {3, 4, 5, 0, 1, 2};
  r.colour.assign(s.colour.begin() + 9, s.colour.end());
  r.colour.insert(r.colour.end(), s.colour.begin(), s.colour.begin() + 9);
  ASSERT_EQ(integrate(r, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], 0.0, 1e-14);
  EXPECT_NEAR(out[2], 1.0, 1e-14);
}

TEST(OpaqueIntegrate, InterpenetratingTrianglesSplitAlongEqualDepth) {
  const std::array<double, 9> red{1, 0, 0, 1, 0, 0, 1, 0, 0}, blue{0, 0, 1, 0, 0, 1, 0, 0, 1};
  Scene s;
  // Face 0 at z = x, face 1 at z = 1 - x: they cross at x = 0.5 across the whole pixel.
  s.triangle({-4, -4, -4, 6, -4, 6, -4, 6, -4}, red);
  s.triangle({-4, -4, 5, 6, -4, -5, -4, 6, 5}, blue);
  std::vector<double> out, gv, gc;
  ASSERT_EQ(integrate(s, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], 0.5, 1e-14);
  EXPECT_NEAR(out[2], 0.5, 1e-14);
  ASSERT_EQ(integrate_backward(s, {1, 0, 0, 0}, gv, gc), VREL_STATUS_OK);
  double z_gradient = 0;
  for (int64_t v = 0; v < s.v(); ++v) z_gradient += std::fabs(gv[3 * v + 2]);
  EXPECT_GT(z_gradient, 0.01);
}

TEST(OpaqueIntegrate, HiddenTriangleHasNoColourGradient) {
  Scene s;
  s.triangle({-4, -4, 0, 6, -4, 0, -4, 6, 0}, {1, 1, 1, 1, 1, 1, 1, 1, 1});
  s.triangle({0.2, 0.2, 5, 0.8, 0.2, 5, 0.5, 0.9, 5}, {1, 1, 1, 1, 1, 1, 1, 1, 1});  // behind
  std::vector<double> gv, gc;
  ASSERT_EQ(integrate_backward(s, {1, 1, 1, 1}, gv, gc), VREL_STATUS_OK);
  for (int q = 9; q < 18; ++q) EXPECT_EQ(gc[q], 0.0);
  for (int64_t q = 9; q < 18; ++q) EXPECT_EQ(gv[q], 0.0);  // its vertices move nothing visible
  double front = 0;
  for (int q = 0; q < 9; ++q) front += gc[q];
  EXPECT_NEAR(front, 3.0, 1e-14);  // three channels of a unit-area pixel
}

TEST(OpaqueIntegrate, ThirtyThreeCandidatesFail) {
  Scene s;
  for (int k = 0; k < 33; ++k) s.triangle({0.01 * k, 0, 0.1 * k, 1, 0.02 * k, 0, 0.5, 1, 0});
  std::vector<double> out;
  std::string message;
  EXPECT_EQ(integrate(s, out, &message), VREL_STATUS_OVERFLOW);
  EXPECT_EQ(message, "opaque colour candidate capacity32 exceeded; partial outputs invalid");
}

TEST(OpaqueIntegrate, GradientsMatchFiniteDifferences) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    const Scene s = random_scene(seed, 2, 3, false, 0.05);  // no sliver finer than the step
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> cot(-1, 1);
    std::vector<double> g(4 * s.h * s.w);
    for (double& x : g) x = cot(rng);
    std::vector<double> gv, gc;
    std::string message;
    ASSERT_EQ(integrate_backward(s, g, gv, gc, &message), VREL_STATUS_OK) << message;
    auto directional = [&](std::vector<double> Scene::* field, int64_t q) {
      const double step = 1e-6;
      Scene plus = s, minus = s;
      (plus.*field)[q] += step;
      (minus.*field)[q] -= step;
      std::vector<double> a, b;
      EXPECT_EQ(integrate(plus, a), VREL_STATUS_OK);
      EXPECT_EQ(integrate(minus, b), VREL_STATUS_OK);
      double fd = 0;
      for (std::size_t p = 0; p < g.size(); ++p) fd += g[p] * (a[p] - b[p]) / (2 * step);
      return fd;
    };
    for (int64_t q = 0; q < 3 * s.v(); ++q)
      EXPECT_NEAR(gv[q], directional(&Scene::vertices, q), 2e-6)
          << "seed " << seed << " vertex coordinate " << q;
    for (int64_t q = 0; q < 9 * s.f(); ++q)
      EXPECT_NEAR(gc[q], directional(&Scene::colour, q), 1e-8)
          << "seed " << seed << " colour " << q;
  }
}

TEST(OpaqueIntegrate, FloatThirtyTwoAgreesWithDouble) {
  const Scene s = random_scene(4);
  std::vector<double> a, b, ga, gb, ca, cb, g(4 * s.h * s.w, 0.5);
  ASSERT_EQ(integrate<double>(s, a), VREL_STATUS_OK);
  ASSERT_EQ(integrate<float>(s, b), VREL_STATUS_OK);
  for (std::size_t p = 0; p < a.size(); ++p) EXPECT_NEAR(a[p], b[p], 1e-5);
  ASSERT_EQ(integrate_backward<double>(s, g, ga, ca), VREL_STATUS_OK);
  ASSERT_EQ(integrate_backward<float>(s, g, gb, cb), VREL_STATUS_OK);
  for (std::size_t q = 0; q < ga.size(); ++q)
    EXPECT_NEAR(ga[q], gb[q], 1e-3 * (1 + std::fabs(ga[q])));
}

TEST(OpaqueIntegrate, OverflowingAccumulationIsReported) {
  // Four unit pixels inside one triangle: each adds about a third of 3e38 per corner to the float32
  // colour gradient, which overflows although every pixel's evaluation is finite.
  Scene s;
  s.h = s.w = 2;
  s.triangle({-9, -9, 0, 9, -9, 0, 0, 9, 0}, {1, 1, 1, 1, 1, 1, 1, 1, 1});
  std::vector<double> gv, gc, g(16, 3e38);
  std::string message;
  EXPECT_EQ(integrate_backward<double>(s, g, gv, gc, &message), VREL_STATUS_OK) << message;
  EXPECT_EQ(integrate_backward<float>(s, g, gv, gc, &message), VREL_STATUS_OVERFLOW);
  EXPECT_EQ(message, "opaque colour output accumulation overflow");
}

}  // namespace
}  // namespace vrel::test
