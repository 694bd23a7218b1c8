// Rasterization results: equality with the brute-force reference on random meshes, windows
// against crops of full renders, the traversal's rejection test and the edge cases of layering,
// culling and batching.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "render/pixel_rule.hpp"
#include "render/rasterize_kernel.hpp"
#include "tests/render/render_support.hpp"

namespace vrel::test {
namespace {

template <typename T>
class RasterizeTyped : public ::testing::Test {};
using Dtypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RasterizeTyped, Dtypes);

// The four outputs equal the reference bit for bit over random meshes (off-screen, huge, sliver
// and degenerate faces included), blur radii from 0 to several pixels, K from 1 to 8, every cull
// mode and several eps values.
TYPED_TEST(RasterizeTyped, RandomMeshesMatchTheBruteForceReference) {
  using T = TypeParam;
  std::mt19937 rng(1234);
  const int64_t sizes[][2] = {{1, 1}, {37, 53}, {70, 90}, {130, 40}, {16, 16}};
  const int64_t layers[] = {1, 2, 3, 8};
  const double blurs[] = {0.0, 0.5, 1.5, 4.0};
  const double epsilons[] = {0.0, 1e-3, 5.0};
  for (int trial = 0; trial < 48; ++trial) {
    const auto& size = sizes[trial % 5];
    RasterCall c;
    c.h = c.gh = size[0];
    c.w = c.gw = size[1];
    c.k = layers[(trial / 5) % 4];
    c.blur = blurs[(trial / 3) % 4];
    c.cull = static_cast<uint32_t>(1 + trial % 3);
    c.eps = epsilons[(trial / 7) % 3];
    Mesh<T> mesh = random_mesh<T>(rng, 1 + trial % 3, 12 + trial % 20, true);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << " H " << c.h << " W " << c.w << " K "
                                      << c.k << " blur " << c.blur << " cull " << c.cull);
    Fragments<T> got(mesh.b(), c.h, c.w, c.k);
    Diag diag;
    ASSERT_EQ(rasterize(mesh, c, got, diag, trial % 2 == 0), VREL_STATUS_OK) << diag.text();
    EXPECT_TRUE(same_fragments(got, reference_raster(mesh, c)));
  }
}

// Windows at the corners, along the borders and in the middle equal the crop of the full render.
TYPED_TEST(RasterizeTyped, WindowsEqualCropsOfTheFullRender) {
  using T = TypeParam;
  std::mt19937 rng(99);
  Mesh<T> mesh = random_mesh<T>(rng, 2, 40, true);
  RasterCall full;
  full.gh = full.h = 75;
  full.gw = full.w = 110;
  full.k = 3;
  full.blur = 1.25;
  Fragments<T> whole(mesh.b(), full.h, full.w, full.k);
  Diag diag;
  ASSERT_EQ(rasterize(mesh, full, whole, diag), VREL_STATUS_OK) << diag.text();

  const int64_t windows[][4] = {{0, 0, 75, 110}, {0, 0, 10, 17}, {65, 100, 10, 10},
                                {0, 77, 40, 33}, {30, 0, 45, 1}, {20, 31, 33, 47},
                                {74, 0, 1, 110}, {37, 55, 1, 1}, {5, 60, 70, 50}};
  for (const auto& wnd : windows) {
    RasterCall c = full;
    c.r0 = wnd[0];
    c.c0 = wnd[1];
    c.h = wnd[2];
    c.w = wnd[3];
    SCOPED_TRACE(::testing::Message()
                 << "window " << c.r0 << "," << c.c0 << " " << c.h << "x" << c.w);
    Fragments<T> part(mesh.b(), c.h, c.w, c.k);
    ASSERT_EQ(rasterize(mesh, c, part, diag), VREL_STATUS_OK) << diag.text();
    Fragments<T> crop(mesh.b(), c.h, c.w, c.k);
    for (int64_t b = 0; b < mesh.b(); ++b)
      for (int64_t i = 0; i < c.h; ++i)
        for (int64_t j = 0; j < c.w; ++j)
          for (int64_t l = 0; l < c.k; ++l) {
            const int64_t src = ((b * full.h + c.r0 + i) * full.w + c.c0 + j) * c.k + l;
            const int64_t dst = ((b * c.h + i) * c.w + j) * c.k + l;
            crop.face_index[dst] = whole.face_index[src];
            crop.depth[dst] = whole.depth[src];
            crop.signed_distance[dst] = whole.signed_distance[src];
            for (int q = 0; q < 3; ++q)
              crop.barycentric[3 * dst + q] = whole.barycentric[3 * src + q];
          }
    EXPECT_TRUE(same_fragments(part, crop));
  }
}

// Small windows deep inside global images up to and just past the 2^20 guard limit equal the
// reference: the traversal's seed and tolerances work in global coordinates, where the
// rejection tolerance grows with the image, and past the limit no pixel may be skipped early.
TYPED_TEST(RasterizeTyped, WindowsOfLargeImagesMatchTheBruteForceReference) {
  using T = TypeParam;
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> unit(0, 1);
  const int64_t globals[][2] = {
      {1 << 20, 1 << 20}, {(1 << 20) + 1, 3000}, {3000, 1 << 20}, {777, 1234}, {1 << 20, 1 << 19}};
  for (int trial = 0; trial < 60; ++trial) {
    RasterCall c;
    c.gh = globals[trial % 5][0];
    c.gw = globals[trial % 5][1];
    c.h = 1 + static_cast<int64_t>(unit(rng) * 48);
    c.w = 1 + static_cast<int64_t>(unit(rng) * 48);
    c.r0 = static_cast<int64_t>(unit(rng) * static_cast<double>(c.gh - c.h));
    c.c0 = static_cast<int64_t>(unit(rng) * static_cast<double>(c.gw - c.w));
    c.k = 1 + trial % 4;
    c.blur = (trial % 5) * 0.9;
    c.cull = static_cast<uint32_t>(1 + trial % 3);
    c.eps = trial % 7 == 0 ? 20.0 : 0.0;
    // Faces of 3 to 2000 pixels around the window, slivers among them, given in screen space.
    Mesh<T> m;
    for (int f = 0; f < 24; ++f) {
      const double size = f % 4 == 0 ? 2000 : (f % 4 == 1 ? 3 : 40);
      const double mx = static_cast<double>(c.c0) + unit(rng) * static_cast<double>(c.w);
      const double my = static_cast<double>(c.r0) + unit(rng) * static_cast<double>(c.h);
      double sx[3], sy[3];
      for (int k = 0; k < 3; ++k) {
        sx[k] = mx + (unit(rng) - 0.5) * size;
        sy[k] = my + (unit(rng) - 0.5) * size;
      }
      if (f % 6 == 2) {
        const double t = unit(rng) * 1.4 - 0.2;
        sx[2] = sx[0] + t * (sx[1] - sx[0]) + 1e-6 * (unit(rng) - 0.5);
        sy[2] = sy[0] + t * (sy[1] - sy[0]) + 1e-6 * (unit(rng) - 0.5);
      }
      const double hw = static_cast<double>(c.gw) / 2, hh = static_cast<double>(c.gh) / 2;
      m.triangle(sx[0] / hw - 1, 1 - sy[0] / hh, unit(rng), sx[1] / hw - 1, 1 - sy[1] / hh,
                 unit(rng), sx[2] / hw - 1, 1 - sy[2] / hh, f % 3 == 0 ? 0.5 : unit(rng));
    }
    SCOPED_TRACE(::testing::Message()
                 << "trial " << trial << " global " << c.gh << "x" << c.gw << " window " << c.r0
                 << "," << c.c0 << " " << c.h << "x" << c.w);
    Fragments<T> got(m.b(), c.h, c.w, c.k);
    Diag diag;
    ASSERT_EQ(rasterize(m, c, got, diag), VREL_STATUS_OK) << diag.text();
    const Fragments<T> want = reference_raster(m, c);
    EXPECT_TRUE(same_fragments(got, want));
  }
}

// The per-pixel rule of the core agrees with the reference transcription at random pixels,
// including those far from the face and those on its edges.
TEST(RasterizeRule, CoreRuleAgreesWithTheReference) {
  std::mt19937 rng(7);
  Mesh<double> mesh = random_mesh<double>(rng, 1, 400, true);
  std::uniform_real_distribution<double> pix(-20, 120);
  const double blurs[] = {0.0, 0.75, 3.0};
  int accepted = 0;
  for (int64_t f = 0; f < mesh.f(); ++f) {
    double x[3], y[3], z[3];
    for (int k = 0; k < 3; ++k) {
      const int32_t v = mesh.faces[3 * f + k];
      x[k] = mesh.vertices[3 * v];
      y[k] = mesh.vertices[3 * v + 1];
      z[k] = mesh.vertices[3 * v + 2];
    }
    const render::ScreenFace s = render::screen_face(x, y, z, 100, 100);
    const RefScreen r = ref_screen(x, y, z, 100, 100);
    for (int n = 0; n < 60; ++n) {
      const double px = std::floor(pix(rng)) + 0.5, py = std::floor(pix(rng)) + 0.5;
      const double blur = blurs[n % 3];
      const uint32_t cull = 1 + n % 3;
      const render::RuleParams rule{blur, blur * blur, n % 5 == 0 ? 1e-2 : 0.0, cull};
      render::Fragment got{};
      RefFragment want{};
      const bool g = render::pixel_fragment(s, rule, px, py, [](double) { return true; }, &got);
      const bool w = ref_rule(r, 100, 100, px, py, blur, cull, rule.eps, &want);
      ASSERT_EQ(g, w) << "face " << f << " pixel " << px << "," << py;
      if (!g) continue;
      ++accepted;
      for (int k = 0; k < 3; ++k) EXPECT_EQ(got.b[k], want.b[k]);
      EXPECT_EQ(got.z, want.z);
      EXPECT_EQ(got.d, want.d);
      EXPECT_EQ(got.inside, want.inside);
    }
  }
  EXPECT_GT(accepted, 100);
}

// A rectangle the traversal rejects or skips holds no pixel that the rule accepts; slivers and
// faces close to the guard limit are where a loose tolerance would show.
TEST(RasterizeRule, RejectedRectanglesHoldNoFragment) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.5, 1.5), unit(0, 1);
  const double gw = 512, gh = 384;
  int rejected = 0, skipped_count = 0;
  for (int n = 0; n < 3000; ++n) {
    double x[3], y[3], z[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      x[k] = u(rng);
      y[k] = u(rng);
    }
    if (n % 3 == 0) {  // sliver
      const double t = unit(rng) * 3 - 1;
      x[2] = x[0] + t * (x[1] - x[0]) + 1e-9 * u(rng);
      y[2] = y[0] + t * (y[1] - y[0]) + 1e-9 * u(rng);
    }
    const render::ScreenFace s = render::screen_face(x, y, z, gw, gh);
    const RefScreen r = ref_screen(x, y, z, gw, gh);
    const double tol = render::rejection_tolerance(s, gw, gh);
    const double blur = (n % 4) * 0.7;
    const int64_t j0 = static_cast<int64_t>(unit(rng) * gw),
                  i0 = static_cast<int64_t>(unit(rng) * gh);
    const int64_t j1 = std::min<int64_t>(gw - 1, j0 + static_cast<int64_t>(unit(rng) * 40));
    const int64_t i1 = std::min<int64_t>(gh - 1, i0 + static_cast<int64_t>(unit(rng) * 40));
    const render::CentreRect rect{j0 + 0.5, j1 + 0.5, i0 + 0.5, i1 + 0.5};
    const bool rejected_here = render::rectangle_rejected(s, rect, blur * blur, tol);
    const bool skipped = render::rectangle_skipped(s, rect, blur * blur, tol);
    ASSERT_TRUE(skipped || !rejected_here) << "the traversal must skip what the test rejects";
    if (!skipped) continue;
    rejected += rejected_here ? 1 : 0;
    ++skipped_count;
    for (int64_t i = i0; i <= i1; ++i)
      for (int64_t j = j0; j <= j1; ++j) {
        RefFragment frag;
        ASSERT_FALSE(ref_rule(r, gw, gh, j + 0.5, i + 0.5, blur, 1, 0.0, &frag))
            << "rectangle " << n << " rejected an accepted pixel " << i << "," << j;
      }
  }
  EXPECT_GT(rejected, 500);
  EXPECT_GT(skipped_count, rejected);
}

// Pixels just beyond the blur radius from an edge line, in images up to the guard limit: a pixel
// the traversal's edge limits skip is one the rule rejects, and the skip starts within a small
// fraction of a pixel beyond the radius (so that the brute-force comparisons exercise it).
TEST(RasterizeRule, PixelsSkippedBeyondAnEdgeHoldNoFragment) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> unit(0, 1);
  const double globals[] = {64, 512, 0x1p19, 0x1p20};
  const double offsets[] = {-1e-3, -1e-9, 0.0, 1e-12, 1e-9, 1e-6, 1e-3, 0.3};
  const double blurs[] = {0.0, 0.7, 1.5, 4.0};
  int skipped = 0, near_skipped = 0;
  for (int n = 0; n < 4000; ++n) {
    const double g = globals[n % 4];
    const double blur = blurs[(n / 4) % 4];
    const double offset = offsets[(n / 16) % 8];
    // A pixel centre, the unit normal (nx, ny) of an edge at distance blur + offset from it, and
    // a face on the far side: long, short or sliver-thin, either orientation.
    const double px = std::floor(unit(rng) * 30) + 0.5, py = std::floor(unit(rng) * 30) + 0.5;
    // Every fifth edge is axis-aligned, so that pixel centres lie exactly at the distance.
    const double angle = unit(rng) * 6.283185307179586;
    const double axis[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    const double nx = n % 5 == 0 ? axis[n / 5 % 4][0] : std::cos(angle);
    const double ny = n % 5 == 0 ? axis[n / 5 % 4][1] : std::sin(angle);
    const double along = std::ldexp(1.0, static_cast<int>(unit(rng) * 12) - 2);
    const double depth = n % 3 == 0 ? 1e-7 : along * (0.2 + unit(rng));
    const double h = blur + offset;
    double sx[3] = {px + h * nx - along * ny, px + h * nx + along * (0.5 - unit(rng)) * ny,
                    px + (h + depth) * nx};
    double sy[3] = {py + h * ny + along * nx, py + h * ny - along * (0.5 - unit(rng)) * nx,
                    py + (h + depth) * ny};
    sx[2] += along * (unit(rng) - 0.5) * -ny;
    sy[2] += along * (unit(rng) - 0.5) * nx;
    if (n % 2) {
      std::swap(sx[0], sx[1]);
      std::swap(sy[0], sy[1]);
    }
    double x[3], y[3], z[3] = {0.25, 0.5, 0.75};
    for (int k = 0; k < 3; ++k) {
      x[k] = sx[k] / (g / 2) - 1;
      y[k] = 1 - sy[k] / (g / 2);
    }
    const render::ScreenFace s = render::screen_face(x, y, z, g, g);
    const double tol = render::rejection_tolerance(s, g, g);
    const render::EdgeLimits limits = render::edge_limits(s, blur, tol);
    if (!limits.enabled) continue;
    const bool skip = render::beyond_an_edge(limits, px, py);
    if (!skip) continue;
    ++skipped;
    near_skipped += offset <= 1e-6 ? 1 : 0;
    RefFragment frag;
    const RefScreen r = ref_screen(x, y, z, g, g);
    ASSERT_FALSE(ref_rule(r, g, g, px, py, blur, 1, 0.0, &frag))
        << "case " << n << ": the edge limits skip a pixel the rule accepts";
  }
  EXPECT_GT(skipped, 1000);
  EXPECT_GT(near_skipped, 100);
}

// Needles near the guard limit whose three corners lie on rays from pixel centres: there the edge
// functions are rounding noise, so pixels far outside the screen box can test inside, and the
// computed area's
// sign varies from pixel to pixel. Every such fragment must survive the traversal and the
// face-level culling exactly as the reference finds it.
TEST(RasterizeRule, NeedlesAtTheGuardLimitMatchTheReference) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> unit(0, 1);
  const int64_t size = 40;
  int outside_box = 0;
  for (int n = 0; n < 1500; ++n) {
    // A pixel centre of the window, a direction, and the needle's tip just short of the pixel.
    const double px = std::floor(unit(rng) * size) + 0.5, py = std::floor(unit(rng) * size) + 0.5;
    const double angle = unit(rng) * 6.283185307179586;
    const double dx = std::cos(angle), dy = std::sin(angle);
    const double gap = std::ldexp(1.0, -static_cast<int>(unit(rng) * 21)) * (n % 2 ? 1 : 3);
    const double length = std::ldexp(1.0, 17 + static_cast<int>(unit(rng) * 2.9));
    const double spread =
        n % 3 == 0 ? 0.0 : std::ldexp(unit(rng), -static_cast<int>(20 + unit(rng) * 30));
    // Three corners spread along the ray, each off it by at most `spread`.
    const double t[3] = {n % 2 ? gap : length * (0.1 + 0.2 * unit(rng)),
                         length * (0.4 + 0.2 * unit(rng)), length};
    double sx[3], sy[3];
    for (int k = 0; k < 3; ++k) {
      const double off = spread * (2 * unit(rng) - 1);
      sx[k] = px + t[k] * dx - off * dy;
      sy[k] = py + t[k] * dy + off * dx;
    }
    Mesh<double> m;
    m.triangle(sx[0] / (size / 2.0) - 1, 1 - sy[0] / (size / 2.0), 0.1, sx[1] / (size / 2.0) - 1,
               1 - sy[1] / (size / 2.0), 0.2, sx[2] / (size / 2.0) - 1, 1 - sy[2] / (size / 2.0),
               0.3);
    RasterCall c = {size, size, 0, 0, size, size, 1 + n % 3, (n % 4) * 0.3, 1 + n % 3 + 0u, 0.0};
    c.cull = static_cast<uint32_t>(1 + (n / 3) % 3);
    Fragments<double> got(1, size, size, c.k);
    Diag diag;
    ASSERT_EQ(rasterize(m, c, got, diag), VREL_STATUS_OK) << diag.text();
    const Fragments<double> want = reference_raster(m, c);
    ASSERT_TRUE(same_fragments(got, want)) << "needle " << n;
    // Count fragments the reference accepts beyond the box margin: the cases that matter.
    double x[3], y[3], z[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      x[k] = m.vertices[3 * k];
      y[k] = m.vertices[3 * k + 1];
    }
    const render::ScreenFace s = render::screen_face(x, y, z, size, size);
    for (int64_t p = 0; p < size * size; ++p)
      if (want.face_index[p * c.k] >= 0 &&
          render::box_gap(s, p % size + 0.5, p / size + 0.5) > 2 * render::kBoxMargin + c.blur)
        ++outside_box;
  }
  EXPECT_GT(outside_box, 0);
}

// ---- Edge cases ---------------------------------------------------------------------------

// Two triangles forming the square [-0.5, 0.5]^2 of an 8 x 8 image at depth z.
template <typename T>
void square(Mesh<T>& m, double z) {
  const int32_t a = m.vertex(-0.5, -0.5, z), b = m.vertex(0.5, -0.5, z), c = m.vertex(0.5, 0.5, z),
                d = m.vertex(-0.5, 0.5, z);
  m.face(a, b, c);
  m.face(a, c, d);
}

RasterCall image(int64_t h, int64_t w, int64_t k = 1, double blur = 0) {
  RasterCall c;
  c.gh = c.h = h;
  c.gw = c.w = w;
  c.k = k;
  c.blur = blur;
  return c;
}

TEST(RasterizeEdges, ZeroBlurKeepsExactlyTheCentresInsideTheBoundary) {
  // Corners on the centres of pixels (1, 1), (1, 6) and (6, 1) of an 8 x 8 image (row, column):
  // column j has its centre at x = (j + 0.5) / 4 - 1.
  Mesh<double> m;
  m.triangle(-0.625, 0.625, 1.0, 0.625, 0.625, 1.0, -0.625, -0.625, 1.0);
  RasterCall c = image(8, 8);
  Fragments<double> out(1, 8, 8, 1);
  Diag diag;
  ASSERT_EQ(rasterize(m, c, out, diag), VREL_STATUS_OK) << diag.text();
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) {
      // Inside or on the boundary, the hypotenuse included.
      const bool covered = i >= 1 && j >= 1 && i + j <= 7;
      EXPECT_EQ(out.face_index[i * 8 + j], covered ? 0 : -1) << i << "," << j;
      if (covered) {
        EXPECT_LE(out.signed_distance[i * 8 + j], 0.0);
      }
    }
  // Pixel centres on the boundary have distance 0 and lie inside.
  for (int p : {1 * 8 + 4, 3 * 8 + 4, 5 * 8 + 1}) {
    EXPECT_EQ(out.signed_distance[p], 0.0) << p;
    EXPECT_TRUE(std::signbit(out.signed_distance[p])) << p;
  }
}

TYPED_TEST(RasterizeTyped, MoreFacesThanLayersKeepTheNearestAndTiesKeepTheEarlierFace) {
  using T = TypeParam;
  Mesh<T> m;
  const double depths[] = {0.7, 0.2, 0.5, 0.2, 0.9};
  for (double z : depths) m.triangle(-1, -1, z, 3, -1, z, -1, 3, z);
  RasterCall c = image(4, 4, 3);
  Fragments<T> out(1, 4, 4, 3);
  Diag diag;
  ASSERT_EQ(rasterize(m, c, out, diag), VREL_STATUS_OK) << diag.text();
  for (int p = 0; p < 16; ++p) {
    EXPECT_EQ(out.face_index[3 * p], 1);
    EXPECT_EQ(out.face_index[3 * p + 1], 3);
    EXPECT_EQ(out.face_index[3 * p + 2], 2);
    EXPECT_EQ(out.depth[3 * p + 2], static_cast<T>(0.5));
  }
}

// In float32 a depth below another in double precision but equal to it once stored ties with
// it, so the earlier face stays first: face 1 interpolates towards the float just below 0.5, and
// with its corner-2 weight under 1/2 every pixel's depth rounds back to 0.5f.
TEST(RasterizeEdges, DepthsTieAsStoredInFloat32) {
  Mesh<float> m;
  const double below = std::nextafter(0.5f, 0.0f);
  m.triangle(-1, -1, 0.5, 3, -1, 0.5, -1, 3, 0.5);
  m.triangle(-1, -1, 0.5, 3, -1, 0.5, -1, 3, below);
  RasterCall c = image(5, 5, 2);
  Fragments<float> out(1, 5, 5, 2);
  Diag diag;
  ASSERT_EQ(rasterize(m, c, out, diag), VREL_STATUS_OK) << diag.text();
  for (int p = 0; p < 25; ++p) {
    EXPECT_EQ(out.depth[2 * p], 0.5f);
    EXPECT_EQ(out.depth[2 * p + 1], 0.5f);
    EXPECT_EQ(out.face_index[2 * p], 0);
    EXPECT_EQ(out.face_index[2 * p + 1], 1);
  }
}

TEST(RasterizeEdges, BackCullingKeepsExactlyOneOrientation) {
  for (uint32_t cull : {VREL_RENDER_CULL_BACK, VREL_RENDER_CULL_FRONT}) {
    Mesh<double> ccw, cw;
    ccw.triangle(-0.8, -0.8, 0, 0.8, -0.8, 0, 0, 0.8, 0);  // counter-clockwise in NDC
    cw.triangle(0.8, -0.8, 0, -0.8, -0.8, 0, 0, 0.8, 0);   // two corners swapped
    RasterCall c = image(6, 6);
    c.cull = cull;
    Fragments<double> a(1, 6, 6, 1), b(1, 6, 6, 1);
    Diag diag;
    ASSERT_EQ(rasterize(ccw, c, a, diag), VREL_STATUS_OK);
    ASSERT_EQ(rasterize(cw, c, b, diag), VREL_STATUS_OK);
    int covered_a = 0, covered_b = 0;
    for (int p = 0; p < 36; ++p) {
      covered_a += a.face_index[p] >= 0;
      covered_b += b.face_index[p] >= 0;
    }
    if (cull == VREL_RENDER_CULL_BACK) {
      EXPECT_GT(covered_a, 4);
      EXPECT_EQ(covered_b, 0);
    } else {
      EXPECT_EQ(covered_a, 0);
      EXPECT_GT(covered_b, 4);
    }
  }
}

TYPED_TEST(RasterizeTyped, EmptyBatchElementsGetOnlyEmptyLayers) {
  using T = TypeParam;
  Mesh<T> m;
  square(m, 0.3);
  m.element();  // no vertices, no faces
  m.element();
  square(m, 0.6);
  RasterCall c = image(8, 8, 2);
  Fragments<T> out(3, 8, 8, 2);
  Diag diag;
  ASSERT_EQ(rasterize(m, c, out, diag), VREL_STATUS_OK) << diag.text();
  const T inf = std::numeric_limits<T>::infinity();
  for (int p = 0; p < 128; ++p) {
    const int q = 128 + p;  // element 1
    EXPECT_EQ(out.face_index[q], -1);
    EXPECT_EQ(out.depth[q], inf);
    EXPECT_EQ(out.signed_distance[q], inf);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(out.barycentric[3 * q + k], T(0));
  }
  EXPECT_EQ(out.face_index[2 * (4 * 8 + 4)], 0);  // below the diagonal: the first face
  EXPECT_EQ(out.face_index[256 + 2 * (4 * 8 + 4)], 2);
  EXPECT_TRUE(same_fragments(out, reference_raster(m, c)));
}

TEST(RasterizeEdges, FaceReachingIntoAnotherElementFailsTheWholeCall) {
  Mesh<double> m;
  square(m, 0.3);
  m.element();
  square(m, 0.6);
  m.faces[3 * 3 + 1] = 0;  // element 1's second face uses a vertex of element 0
  RasterCall c = image(8, 8);
  Fragments<double> out(2, 8, 8, 1);
  for (auto& x : out.face_index.values()) x = 7;
  Diag diag;
  EXPECT_EQ(rasterize(m, c, out, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "each face must reference vertices of its own batch element");
  for (int32_t x : out.face_index.values()) EXPECT_EQ(x, 7);
}

// A blurred fragment outside its face carries a positive squared distance and barycentrics
// that are not clipped, with its depth interpolated from them.
TEST(RasterizeEdges, BlurredFragmentsOutsideTheFace) {
  Mesh<double> m;
  m.triangle(-0.5, -0.5, 0.0, 0.5, -0.5, 1.0, -0.5, 0.5, 2.0);
  RasterCall c = image(8, 8, 1, 1.0);
  Fragments<double> out(1, 8, 8, 1);
  Diag diag;
  ASSERT_EQ(rasterize(m, c, out, diag), VREL_STATUS_OK);
  // Pixel (row 4, column 1): centre (1.5, 4.5); the face's left edge is column 2.
  const int p = 4 * 8 + 1;
  ASSERT_EQ(out.face_index[p], 0);
  EXPECT_DOUBLE_EQ(out.signed_distance[p], 0.25);
  const double* b = &out.barycentric[3 * p];
  EXPECT_LT(std::min({b[0], b[1], b[2]}), 0.0);
  EXPECT_DOUBLE_EQ(b[0] + b[1] + b[2], 1.0);
  EXPECT_DOUBLE_EQ(out.depth[p], b[1] * 1.0 + b[2] * 2.0);
  // Two pixels away the distance exceeds the radius.
  EXPECT_EQ(out.face_index[4 * 8 + 0], -1);
}

}  // namespace
}  // namespace vrel::test
