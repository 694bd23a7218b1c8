// Coverage: against the independent slab reference and supersampling, the worked cases, finite
// differences of every vertex gradient, and the binned candidate scan against the linear one.
#include <gtest/gtest.h>

#include <cstring>

#include "opaque/coverage_kernel.hpp"
#include "opaque/integrate_kernel.hpp"
#include "tests/opaque/opaque_support.hpp"

namespace vrel::test {
namespace {

TEST(OpaqueCoverage, EqualsTheExactUnionAreaOnRandomScenes) {
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    const Scene s = random_scene(seed);
    std::vector<double> out;
    std::string message;
    ASSERT_EQ(coverage(s, out, &message), VREL_STATUS_OK) << message;
    for (int64_t j = 0; j < s.h; ++j)
      for (int64_t i = 0; i < s.w; ++i)
        EXPECT_NEAR(out[j * s.w + i], reference_pixel(s, j, i, false)[3], 1e-12)
            << "seed " << seed << " pixel " << j << "," << i;
  }
}

TEST(OpaqueCoverage, AgreesWithSupersampling) {
  const Scene s = random_scene(7, 3, 3, false);
  std::vector<double> out;
  ASSERT_EQ(coverage(s, out), VREL_STATUS_OK);
  const auto faces = ref_faces(s);
  for (int64_t j = 0; j < s.h; ++j)
    for (int64_t i = 0; i < s.w; ++i) {
      int hits = 0;
      for (int a = 0; a < 32; ++a)
        for (int b = 0; b < 32; ++b) {
          const double x = s.ox + i + (b + 0.5) / 32, y = s.oy + j + (a + 0.5) / 32;
          bool inside = false;
          for (const RefFace& f : faces) {
            const auto [lo, hi] = f.section(x);
            inside = inside || (!f.degenerate && lo <= y && y <= hi);
          }
          hits += inside;
        }
      // Each boundary crossing the pixel misplaces at most about one sample row or column.
      EXPECT_NEAR(out[j * s.w + i], hits / 1024.0, 0.1) << j << "," << i;
    }
}

TEST(OpaqueCoverage, WorkedCases) {
  std::vector<double> out;
  Scene big;
  big.h = 2;
  big.w = 3;
  big.triangle({-10, -10, 0, 40, -10, 0, -10, 40, 0});  // covers the whole image
  ASSERT_EQ(coverage(big, out), VREL_STATUS_OK);
  for (double x : out) EXPECT_EQ(x, 1.0);

  // Two identical triangles count once; a third touching along an edge and one touching at a
  // corner add nothing; a zero-area face covers nothing.
  Scene s;
  s.triangle({0.2, 0.1, 0, 0.9, 0.3, 0, 0.4, 0.8, 0});
  std::vector<double> one;
  ASSERT_EQ(coverage(s, one), VREL_STATUS_OK);
  s.triangle({0.2, 0.1, 0, 0.9, 0.3, 0, 0.4, 0.8, 0});
  s.triangle({1, 0, 0, 2, 0, 0, 1, 1, 0});      // shares the pixel's right side
  s.triangle({1, 1, 0, 2, 1, 0, 2, 2, 0});      // touches the corner (1,1)
  s.triangle({0, 0, 0, 0.5, 0.5, 0, 1, 1, 0});  // zero doubled area
  ASSERT_EQ(coverage(s, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], one[0], 1e-15);
  EXPECT_NEAR(one[0], 0.5 * std::fabs(0.7 * 0.7 - 0.2 * 0.2), 1e-15);

  // Outside every bounding box.
  Scene far = s;
  far.ox = 10;
  ASSERT_EQ(coverage(far, out), VREL_STATUS_OK);
  EXPECT_EQ(out[0], 0.0);
}

TEST(OpaqueCoverage, ThirtyTwoCandidatesPassAndThirtyThreeFail) {
  Scene s;
  for (int k = 0; k < 32; ++k) s.triangle({0.01 * k, 0, 0, 1, 0.02 * k, 0, 0.5, 1, 0});
  std::vector<double> out;
  std::string message;
  EXPECT_EQ(coverage(s, out, &message), VREL_STATUS_OK) << message;
  s.triangle({0, 0, 0, 0.5, 0.5, 0, 1, 1, 0});  // zero area, yet a candidate all the same
  EXPECT_EQ(coverage(s, out, &message), VREL_STATUS_OVERFLOW);
  EXPECT_EQ(message, "opaque candidate capacity 32 exceeded; no partial output is valid");
  std::vector<double> g;
  EXPECT_EQ(coverage_backward(s, {1.0}, g, &message), VREL_STATUS_OVERFLOW);
  EXPECT_EQ(message, "opaque candidate capacity 32 exceeded; no partial output is valid");
}

TEST(OpaqueCoverage, ImageRangeLimits) {
  Scene s;
  s.triangle({0, 0, 0, 1, 0, 0, 0, 1, 0});
  s.h = 1048576;
  std::vector<double> out;
  std::string message;
  EXPECT_EQ(coverage(s, out, &message), VREL_STATUS_OK) << message;
  EXPECT_EQ(out[0], 0.5);
  s.h = 1048577;
  EXPECT_EQ(coverage(s, out, &message), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(message, "opaque image/origin dimensions exceed the supported finite range");
  s.h = 1;
  s.ox = 1048576.5;
  EXPECT_EQ(coverage(s, out, &message), VREL_STATUS_INVALID_ARGUMENT);
}

// Central differences of the forward, vertex coordinate by coordinate, against the backward.
void expect_gradients_match(const Scene& s, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> cot(-1, 1);
  std::vector<double> g(s.h * s.w);
  for (double& x : g) x = cot(rng);
  std::vector<double> grad;
  std::string message;
  ASSERT_EQ(coverage_backward(s, g, grad, &message), VREL_STATUS_OK) << message;
  const double step = 1e-6;
  for (int64_t q = 0; q < 3 * s.v(); ++q) {
    Scene plus = s, minus = s;
    plus.vertices[q] += step;
    minus.vertices[q] -= step;
    std::vector<double> a, b;
    ASSERT_EQ(coverage(plus, a), VREL_STATUS_OK);
    ASSERT_EQ(coverage(minus, b), VREL_STATUS_OK);
    double fd = 0;
    for (std::size_t p = 0; p < g.size(); ++p) fd += g[p] * (a[p] - b[p]) / (2 * step);
    if (q % 3 == 2)
      EXPECT_EQ(grad[q], 0.0) << "z gradient of vertex " << q / 3;
    else
      EXPECT_NEAR(grad[q], fd, 1e-6) << "seed " << seed << " coordinate " << q;
  }
}

TEST(OpaqueCoverage, VertexGradientsMatchFiniteDifferences) {
  for (uint32_t seed = 1; seed <= 6; ++seed)
    expect_gradients_match(random_scene(seed, 3, 3, false), seed);
}

TEST(OpaqueCoverage, AFanSharingEdgesHasNoGradientWhereItCoversThePixel) {
  // Twelve faces around a vertex inside the pixel, sharing their edges: the pixel stays covered
  // whatever a vertex does, so every gradient vanishes (no sliver along a shared edge counts).
  Scene s;
  s.h = 1;
  s.w = 1;
  const int32_t centre = s.vertex(0.43, 0.57);
  std::vector<int32_t> ring;
  for (int k = 0; k < 12; ++k)
    ring.push_back(
        s.vertex(0.43 + 3 * std::cos(0.1 + k * M_PI / 6), 0.57 + 3 * std::sin(0.1 + k * M_PI / 6)));
  for (int k = 0; k < 12; ++k) s.face(centre, ring[k], ring[(k + 1) % 12]);
  std::vector<double> out, grad;
  ASSERT_EQ(coverage(s, out), VREL_STATUS_OK);
  EXPECT_NEAR(out[0], 1.0, 1e-15);
  ASSERT_EQ(coverage_backward(s, {1.0}, grad), VREL_STATUS_OK);
  for (double g : grad) EXPECT_NEAR(g, 0.0, 1e-12);
}

TEST(OpaqueCoverage, ReversedWindingGivesTheSameCoverageAndGradients) {
  Scene s = random_scene(3, 3, 3, false), r = s;
  for (int64_t f = 0; f < r.f(); ++f) std::swap(r.faces[3 * f + 1], r.faces[3 * f + 2]);
  std::vector<double> a, b, ga, gb, g(s.h * s.w, 1.0);
  ASSERT_EQ(coverage(s, a), VREL_STATUS_OK);
  ASSERT_EQ(coverage(r, b), VREL_STATUS_OK);
  ASSERT_EQ(coverage_backward(s, g, ga), VREL_STATUS_OK);
  ASSERT_EQ(coverage_backward(r, g, gb), VREL_STATUS_OK);
  for (std::size_t p = 0; p < a.size(); ++p) EXPECT_NEAR(a[p], b[p], 1e-14);
  for (std::size_t q = 0; q < ga.size(); ++q) EXPECT_NEAR(ga[q], gb[q], 1e-12);
}

TEST(OpaqueCoverage, FloatThirtyTwoAgreesWithDouble) {
  const Scene s = random_scene(11);
  std::vector<double> a, b;
  ASSERT_EQ(coverage<double>(s, a), VREL_STATUS_OK);
  ASSERT_EQ(coverage<float>(s, b), VREL_STATUS_OK);
  for (std::size_t p = 0; p < a.size(); ++p) EXPECT_NEAR(a[p], b[p], 1e-5);
}

TEST(OpaqueCoverage, HugeCotangentOverflowIsReportedNotReturned) {
  // d(area)/d(x of corner 1) is 2 over the column, so the float32 sum passes 3.4e38.
  Scene s;
  s.h = 4;
  s.triangle({0.5, 0, 0, 0.9, 4, 0, 0.1, 4, 0});
  std::vector<double> grad;
  std::string message;
  EXPECT_EQ(coverage_backward<double>(s, std::vector<double>(4, 3e38), grad, &message),
            VREL_STATUS_OK);
  EXPECT_EQ(coverage_backward<float>(s, std::vector<double>(4, 3e38), grad, &message),
            VREL_STATUS_OVERFLOW);
  EXPECT_EQ(message, "opaque coverage gradient accumulation overflow; no partial output is valid");
}

// A denser mesh than the tiles' lists can hold in places, so that every fallback runs.
Scene dense_scene() {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> pos(-2, 42), size(-1.5, 1.5);
  Scene s;
  s.h = 37;
  s.w = 41;
  s.ox = -0.25;
  s.oy = 0.5;
  for (int k = 0; k < 5000; ++k) {
    const double x = pos(rng), y = pos(rng);
    s.triangle({x, y, 0, x + size(rng), y + size(rng), 0, x + size(rng), y + size(rng), 0});
  }
  for (int k = 0; k < 3; ++k) s.triangle({-5, -5, 0, 50, 3.0 * k, 0, 3.0 * k, 60, 0});
  for (int k = 0; k < 40; ++k) s.triangle({10, 10, 0, 11 + 0.01 * k, 10.5, 0, 10.5, 11, 0});
  return s;
}

TEST(OpaqueCoverage, BinnedCandidatesEqualTheLinearScan) {
  using namespace vrel::opaque;
  Scene s = dense_scene();
  const opaque::Image image{s.h, s.w, s.ox, s.oy};
  std::vector<unsigned char> block(kCoverageBytes + 8);
  void* aligned = block.data() + (8 - reinterpret_cast<uintptr_t>(block.data()) % 8) % 8;
  const auto ws = coverage_workspace(aligned);
  // Candidate lists, pixel by pixel, with list capacities small enough for every fallback.
  CandidateScan<double, 600, 120, 24> binned({s.vertices.data(), s.faces.data(), s.f()}, image,
                                             true);
  CandidateScan<double> linear({s.vertices.data(), s.faces.data(), s.f()}, image, false);
  int64_t a[32], b[32];
  int overflowing = 0;
  for (int64_t j = 0; j < s.h; ++j)
    for (int64_t i = 0; i < s.w; ++i) {
      const int32_t na = binned.collect(j, i, a), nb = linear.collect(j, i, b);
      ASSERT_EQ(na, nb) << j << "," << i;
      overflowing += na < 0;
      for (int32_t k = 0; k < na; ++k) ASSERT_EQ(a[k], b[k]);
    }
  EXPECT_GT(overflowing, 0);
  // Whole outputs, bit for bit, on a sparser mesh that passes.
  s.faces.resize(3 * 1500);
  std::vector<double> fa(s.h * s.w), fb(s.h * s.w), g(s.h * s.w, 0.75), ga(3 * s.v()),
      gb(3 * s.v());
  ASSERT_EQ(opaque::coverage(s.vertices.data(), s.faces.data(), s.f(), image, fa.data(), ws, true),
            Outcome::kOk);
  ASSERT_EQ(opaque::coverage(s.vertices.data(), s.faces.data(), s.f(), image, fb.data(), ws, false),
            Outcome::kOk);
  EXPECT_EQ(std::memcmp(fa.data(), fb.data(), fa.size() * 8), 0);
  ASSERT_EQ(coverage_backward(s.vertices.data(), s.v(), s.faces.data(), s.f(), image, g.data(),
                              ga.data(), ws, true),
            Outcome::kOk);
  ASSERT_EQ(coverage_backward(s.vertices.data(), s.v(), s.faces.data(), s.f(), image, g.data(),
                              gb.data(), ws, false),
            Outcome::kOk);
  EXPECT_EQ(std::memcmp(ga.data(), gb.data(), ga.size() * 8), 0);
}

// Independent random triangles (no shared or coincident points) over a small image.
Scene scattered_scene(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> pos(-1, 7), size(-1.5, 1.5), depth(0, 1), col(0, 1);
  Scene s;
  s.h = 5;
  s.w = 6;
  for (int k = 0; k < count; ++k) {
    const double x = pos(rng), y = pos(rng);
    s.triangle(
        {x, y, depth(rng), x + size(rng), y + size(rng), depth(rng), x + size(rng), y + size(rng),
         depth(rng)},
        {col(rng), col(rng), col(rng), col(rng), col(rng), col(rng), col(rng), col(rng), col(rng)});
  }
  return s;
}

TEST(OpaqueBackward, OnePassEqualsPerSeedBitForBit) {
  using namespace vrel::opaque;
  std::vector<unsigned char> block(kIntegrateWorkspaceBytes + 8);
  void* aligned = block.data() + (8 - reinterpret_cast<uintptr_t>(block.data()) % 8) % 8;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    const Scene s = scattered_scene(seed, 60);
    const opaque::Image image{s.h, s.w, s.ox, s.oy};
    std::vector<double> g(4 * s.h * s.w);
    std::mt19937 rng(seed);
    for (double& x : g) x = std::uniform_real_distribution<double>(-1, 1)(rng);
    std::vector<double> a(3 * s.v()), b(3 * s.v()), ca(9 * s.f()), cb(9 * s.f());
    const auto cws = coverage_workspace(aligned);
    ASSERT_EQ(coverage_backward(s.vertices.data(), s.v(), s.faces.data(), s.f(), image, g.data(),
                                a.data(), cws, true, true),
              Outcome::kOk);
    ASSERT_EQ(coverage_backward(s.vertices.data(), s.v(), s.faces.data(), s.f(), image, g.data(),
                                b.data(), cws, true, false),
              Outcome::kOk);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 8), 0) << "coverage, seed " << seed;
    const auto iws = integrate_workspace(aligned);
    ASSERT_EQ(integrate_backward(s.vertices.data(), s.v(), s.faces.data(), s.colour.data(), s.f(),
                                 image, g.data(), a.data(), ca.data(), iws, true, true),
              Outcome::kOk);
    ASSERT_EQ(integrate_backward(s.vertices.data(), s.v(), s.faces.data(), s.colour.data(), s.f(),
                                 image, g.data(), b.data(), cb.data(), iws, true, false),
              Outcome::kOk);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 8), 0) << "colour, seed " << seed;
    EXPECT_EQ(std::memcmp(ca.data(), cb.data(), ca.size() * 8), 0)
        << "colour gradient, seed " << seed;
  }
}

}  // namespace
}  // namespace vrel::test
