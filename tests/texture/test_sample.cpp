// Texture sampling: wrap modes, texel and mip filters, level of detail, non-finite coordinates,
// gradients against finite differences and the adjoint identity, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "tests/texture/texture_support.hpp"
#include "vrel/vrel.h"

using namespace vrel::test;

namespace {

constexpr uint32_t kNearest = VREL_TEXTURE_FILTER_NEAREST, kLinear = VREL_TEXTURE_FILTER_LINEAR;
constexpr uint32_t kMipNearest = VREL_TEXTURE_MIP_NEAREST, kMipLinear = VREL_TEXTURE_MIP_LINEAR;
constexpr uint32_t kRepeat = VREL_TEXTURE_WRAP_REPEAT, kClamp = VREL_TEXTURE_WRAP_CLAMP,
                   kMirror = VREL_TEXTURE_WRAP_MIRROR, kBorder = VREL_TEXTURE_WRAP_BORDER;

// 2x4, one channel, one level: row 0 is 10 20 30 40, row 1 is 50 60 70 80.
Pyramid<double> strip() {
  Tensor<double> t({2, 4, 1}, {10, 20, 30, 40, 50, 60, 70, 80});
  return make_pyramid(t, 1);
}

double one(Pyramid<double>& p, double u, double v, Mode mode, std::vector<double> border = {99}) {
  Lookup<double> q{{u, v}, std::nullopt, std::nullopt, border, mode};
  return sample(p, q)[0];
}

// 4x4, value 4r + c: level 1 texel (0,0) is 2.5, level 2 is 7.5.
Pyramid<double> ramp() {
  Tensor<double> t({4, 4, 1});
  for (int e = 0; e < 16; ++e) t[e] = e;
  return make_pyramid(t);
}

double at_lod(Pyramid<double>& p, double lod, uint32_t mip) {
  Lookup<double> q{{0.1, 0.1},
                   std::nullopt,
                   std::vector<double>{lod},
                   std::nullopt,
                   {kNearest, mip, kClamp, kClamp}};
  return sample(p, q)[0];
}

}  // namespace

TEST(TextureSample, LinearFilterAtTheLeftEdge) {
  Pyramid<double> p = strip();
  // v = 0.25 is the centre of row 0; u = 0 lies half a texel left of column 0's centre.
  EXPECT_EQ(one(p, 0, 0.25, {kLinear, kMipNearest, kClamp, kClamp}), 10);
  EXPECT_EQ(one(p, 0, 0.25, {kLinear, kMipNearest, kRepeat, kClamp}), 25);
  EXPECT_EQ(one(p, 0, 0.25, {kLinear, kMipNearest, kMirror, kClamp}), 10);
  EXPECT_EQ(one(p, 0, 0.25, {kLinear, kMipNearest, kBorder, kClamp}), 54.5);
  // The v axis wraps on its own: half of row 1 (repeat) and half of row 0.
  EXPECT_EQ(one(p, 0.125, 0, {kLinear, kMipNearest, kClamp, kRepeat}), 30);
  EXPECT_EQ(one(p, 0.125, 0.75, {kLinear, kMipNearest, kClamp, kBorder}), 50);
  EXPECT_NEAR(one(p, 0.3, 0.5, {kLinear, kMipNearest, kClamp, kClamp}),
              0.5 * (0.3 * 10 + 0.7 * 20) + 0.5 * (0.3 * 50 + 0.7 * 60), 1e-12);
}

TEST(TextureSample, NearestFilterAtUEqualsOne) {
  Pyramid<double> p = strip();
  EXPECT_EQ(one(p, 1, 0.25, {kNearest, kMipNearest, kClamp, kClamp}), 40);
  EXPECT_EQ(one(p, 1, 0.25, {kNearest, kMipNearest, kBorder, kClamp}), 99);
  EXPECT_EQ(one(p, 1, 0.25, {kNearest, kMipNearest, kRepeat, kClamp}), 10);
  EXPECT_EQ(one(p, 1, 0.25, {kNearest, kMipNearest, kMirror, kClamp}), 40);     // s -> s - 1
  EXPECT_EQ(one(p, -0.1, 0.25, {kNearest, kMipNearest, kMirror, kClamp}), 10);  // -1 -> 0
  EXPECT_EQ(one(p, -0.1, 0.25, {kNearest, kMipNearest, kRepeat, kClamp}), 40);
  EXPECT_EQ(one(p, 1.3, 0.25, {kNearest, kMipNearest, kMirror, kClamp}), 30);  // 5 -> 2
  EXPECT_EQ(one(p, 0.6, 1.0, {kNearest, kMipNearest, kClamp, kBorder}), 99);
}

TEST(TextureSample, CoordinatesFarOutsideWrapExactly) {
  Tensor<double> t({1, 5, 1}, {0, 1, 2, 3, 4});
  Pyramid<double> p = make_pyramid(t, 1);
  const double far = std::ldexp(1.0, 45) + 0.3;  // u * 5 = 5 * 2^45 + 1.5
  EXPECT_EQ(one(p, far, 0.5, {kNearest, kMipNearest, kRepeat, kClamp}), 1);
  EXPECT_EQ(one(p, far, 0.5, {kNearest, kMipNearest, kMirror, kClamp}), 1);
  EXPECT_EQ(one(p, -far, 0.5, {kNearest, kMipNearest, kRepeat, kClamp}), 3);  // -5*2^45 - 2
  EXPECT_EQ(one(p, 1e300, 0.5, {kLinear, kMipNearest, kClamp, kClamp}), 4);
  EXPECT_EQ(one(p, -1e300, 0.5, {kLinear, kMipNearest, kClamp, kClamp}), 0);
  EXPECT_EQ(one(p, 1e300, 0.5, {kLinear, kMipNearest, kBorder, kClamp}), 99);
  // Scaling overflows the dtype: still a texel, never an out-of-range index.
  Tensor<float> t32({1, 5, 1}, {0, 1, 2, 3, 4});
  Pyramid<float> p32 = make_pyramid(t32, 1);
  const float big = std::numeric_limits<float>::max();
  for (uint32_t wrap : {kRepeat, kMirror, kClamp}) {
    Lookup<float> q{{big, 0.5f, -big, 0.5f},
                    std::nullopt,
                    std::nullopt,
                    std::nullopt,
                    {kLinear, kMipNearest, wrap, kClamp}};
    for (float x : sample(p32, q)) {
      EXPECT_GE(x, 0.f);
      EXPECT_LE(x, 4.f);
    }
  }
}

TEST(TextureSample, ExplicitLodRoundsHalfUpAndClamps) {
  Pyramid<double> p = ramp();
  EXPECT_EQ(at_lod(p, 0.5, kMipNearest), 2.5);
  EXPECT_EQ(at_lod(p, 0.49, kMipNearest), 0);
  EXPECT_EQ(at_lod(p, 0.5, kMipLinear), 1.25);
  EXPECT_EQ(at_lod(p, 1.25, kMipLinear), 0.25 * 7.5 + 0.75 * 2.5);
  EXPECT_EQ(at_lod(p, 7, kMipNearest), 7.5);
  EXPECT_EQ(at_lod(p, 7, kMipLinear), 7.5);
  EXPECT_EQ(at_lod(p, -3, kMipLinear), 0);
  EXPECT_EQ(at_lod(p, std::nan(""), kMipLinear), 0);
  EXPECT_EQ(at_lod(p, std::numeric_limits<double>::infinity(), kMipNearest), 7.5);
}

TEST(TextureSample, DerivativesSelectTheFootprintLevel) {
  Pyramid<double> p = ramp();
  auto at = [&](std::vector<double> d, uint32_t mip) {
    Lookup<double> q{{0.1, 0.1}, d, std::nullopt, std::nullopt, {kNearest, mip, kClamp, kClamp}};
    return sample(p, q)[0];
  };
  EXPECT_EQ(at({0.5, 0, 0, 0}, kMipNearest), 2.5);     // 2 texels across: level 1
  EXPECT_EQ(at({0, 0, 0, 1}, kMipNearest), 7.5);       // the longer axis decides: level 2
  EXPECT_EQ(at({0.25, 0, 0, 0.5}, kMipNearest), 2.5);  // max(1, 2) texels
  EXPECT_EQ(at({0, 0, 0, 0}, kMipNearest), 0);         // a vanishing footprint is level 0
  EXPECT_DOUBLE_EQ(at({0.375, 0, 0, 0}, kMipLinear), std::log2(1.5) * 2.5);
  EXPECT_EQ(at({std::nan(""), 0, 0, 0}, kMipLinear), 0);
  EXPECT_EQ(at({0, 0, -std::numeric_limits<double>::infinity(), 0}, kMipLinear), 7.5);
}

TEST(TextureSample, NonFiniteCoordinatesGiveNaNAndNoGradient) {
  std::mt19937 rng(5);
  Tensor<double> t = random_tensor<double>({4, 4, 3}, rng);
  Pyramid<double> p = make_pyramid(t);
  const double inf = std::numeric_limits<double>::infinity();
  Lookup<double> q{{0.3, 0.4, std::nan(""), 0.5, 0.5, inf},
                   std::nullopt,
                   std::vector<double>{0.5, 0.5, 0.5},
                   std::nullopt,
                   {kLinear, kMipLinear, kClamp, kClamp}};
  const std::vector<double> s = sample(p, q);
  for (int c = 0; c < 3; ++c) {
    EXPECT_FALSE(std::isnan(s[c]));
    EXPECT_TRUE(std::isnan(s[3 + c]));
    EXPECT_TRUE(std::isnan(s[6 + c]));
  }
  // Only the finite sample contributes: the same gradient as a batch of that sample alone.
  const Gradients<double> all = sample_backward(p, q, std::vector<double>(9, 1.0));
  Lookup<double> alone{{0.3, 0.4}, std::nullopt, std::vector<double>{0.5}, std::nullopt, q.mode};
  const Gradients<double> first = sample_backward(p, alone, std::vector<double>(3, 1.0));
  for (int64_t e = 0; e < p.total(); ++e) EXPECT_EQ(all.pyramid[e], first.pyramid[e]);
  EXPECT_EQ(all.coordinates[0], first.coordinates[0]);
  EXPECT_EQ(all.coordinates[1], first.coordinates[1]);
  for (int e = 2; e < 6; ++e) EXPECT_EQ(all.coordinates[e], 0.0);
  // Elements past the table's total are not touched.
  EXPECT_EQ(all.pyramid[p.total()], 7.0);
}

TEST(TextureSample, Float32AgreesWithFloat64) {
  std::mt19937 rng(9);
  Tensor<double> t64 = random_tensor<double>({12, 7, 4}, rng);
  Tensor<float> t32({12, 7, 4});
  for (std::size_t i = 0; i < t32.size(); ++i) t32[i] = static_cast<float>(t64[i]);
  Pyramid<double> p64 = make_pyramid(t64);
  Pyramid<float> p32 = make_pyramid(t32);
  std::uniform_real_distribution<double> uv(-0.5, 1.5), d(-0.4, 0.4);
  Lookup<double> q64;
  Lookup<float> q32;
  q64.derivatives.emplace();
  q32.derivatives.emplace();
  for (int i = 0; i < 64; ++i) {
    for (int k = 0; k < 2; ++k) q64.uv.push_back(uv(rng));
    for (int k = 0; k < 4; ++k) q64.derivatives->push_back(d(rng));
  }
  for (double x : q64.uv) q32.uv.push_back(static_cast<float>(x));
  for (double x : *q64.derivatives) q32.derivatives->push_back(static_cast<float>(x));
  q64.mode = q32.mode = {kLinear, kMipLinear, kRepeat, kMirror};
  const std::vector<double> s64 = sample(p64, q64);
  const std::vector<float> s32 = sample(p32, q32);
  for (std::size_t i = 0; i < s64.size(); ++i) EXPECT_NEAR(s32[i], s64[i], 2e-4) << i;
}

// Lookups are reproducible bit for bit: per level ((w00 T00 + w01 T01) + w10 T10) + w11 T11 with
// w00 = (1-fx)(1-fy), then f s(m) + (1-f) s(n) between levels. The random float32 data makes
// other associations round differently somewhere, which is checked first.
TEST(TextureSample, BilinearAndMipBlendSumInTheDocumentedOrder) {
  std::mt19937 rng(41);
  Tensor<float> t = random_tensor<float>({8, 8, 4}, rng, 0.0, 1000.0);
  Pyramid<float> p = make_pyramid(t);
  std::uniform_real_distribution<float> coord(0.f, 1.f), frac(0.05f, 0.95f);
  Lookup<float> q;
  q.lod.emplace();
  for (int i = 0; i < 64; ++i) {
    q.uv.insert(q.uv.end(), {coord(rng), coord(rng)});
    q.lod->push_back(frac(rng));  // blends levels 0 (8x8) and 1 (4x4)
  }
  q.mode = {kLinear, kMipLinear, kClamp, kClamp};
  const std::vector<float> got = sample(p, q);
  bool order_matters = false;
  auto level = [&](int64_t k, int64_t size, float u, float v, int64_t c, float* alternative) {
    const float x = u * float(size) - 0.5f, y = v * float(size) - 0.5f;
    const float j0 = std::floor(x), r0 = std::floor(y), fx = x - j0, fy = y - r0;
    auto at = [&](float r, float j) {
      const auto clamp = [&](float i) {
        return std::min<int64_t>(std::max<int64_t>(int64_t(i), 0), size - 1);
      };
      return p.at(k, size, clamp(r), clamp(j), c);
    };
    const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
    const float t00 = at(r0, j0), t01 = at(r0, j0 + 1), t10 = at(r0 + 1, j0),
                t11 = at(r0 + 1, j0 + 1);
    *alternative = (w00 * t00 + w10 * t10) + (w01 * t01 + w11 * t11);
    return ((w00 * t00 + w01 * t01) + w10 * t10) + w11 * t11;
  };
  for (int i = 0; i < 64; ++i) {
    const float u = q.uv[2 * i], v = q.uv[2 * i + 1], f = (*q.lod)[i];
    for (int64_t c = 0; c < 4; ++c) {
      float alt0 = 0, alt1 = 0;
      const float s0 = level(0, 8, u, v, c, &alt0), s1 = level(1, 4, u, v, c, &alt1);
      const float expected = f * s1 + (1 - f) * s0;
      order_matters |= alt0 != s0 || alt1 != s1 || s0 + f * (s1 - s0) != expected;
      EXPECT_EQ(got[static_cast<std::size_t>(4 * i + c)], expected)
          << "sample " << i << " channel " << c;
    }
  }
  EXPECT_TRUE(order_matters) << "the data does not distinguish summation orders";
}

// The float32 backward runs its own kernels: it must agree with float64 for every channel.
TEST(TextureSampleBackward, Float32AgreesWithFloat64) {
  std::mt19937 rng(13);
  Tensor<double> t64 = random_tensor<double>({10, 12, 4}, rng);
  Tensor<float> t32({10, 12, 4});
  for (std::size_t i = 0; i < t32.size(); ++i) t32[i] = static_cast<float>(t64[i]);
  Pyramid<double> p64 = make_pyramid(t64);
  Pyramid<float> p32 = make_pyramid(t32);
  std::uniform_real_distribution<double> uv(-0.5, 1.5), d(-0.3, 0.3), unit(-1, 1);
  Lookup<double> q64{{},
                     std::vector<double>{},
                     std::nullopt,
                     std::vector<double>{0.5, -1, 2, 0.25},
                     {kLinear, kMipLinear, kRepeat, kBorder}};
  std::vector<double> g64(4 * 48);
  for (int i = 0; i < 48; ++i) {
    q64.uv.insert(q64.uv.end(), {uv(rng), uv(rng)});
    for (int k = 0; k < 4; ++k) q64.derivatives->push_back(d(rng));
  }
  for (double& x : g64) x = unit(rng);
  // Both dtypes see the same (float-representable) inputs.
  Lookup<float> q32{
      {}, std::vector<float>{}, std::nullopt, std::vector<float>{0.5f, -1, 2, 0.25f}, q64.mode};
  for (double& x : q64.uv) q32.uv.push_back(static_cast<float>(x)), x = q32.uv.back();
  for (double& x : *q64.derivatives)
    q32.derivatives->push_back(static_cast<float>(x)), x = q32.derivatives->back();
  std::vector<float> g32;
  for (double& x : g64) g32.push_back(static_cast<float>(x)), x = g32.back();
  const Gradients<double> r64 = sample_backward(p64, q64, g64);
  const Gradients<float> r32 = sample_backward(p32, q32, g32);
  for (int64_t e = 0; e < p64.total(); ++e) EXPECT_NEAR(r32.pyramid[e], r64.pyramid[e], 1e-5) << e;
  for (std::size_t e = 0; e < r64.coordinates.size(); ++e)
    EXPECT_NEAR(r32.coordinates[e], r64.coordinates[e], 1e-3 * (1 + std::abs(r64.coordinates[e])))
        << e;
}

// Central differences of <samples, g> in u and v against grad_coordinates, for every pair of
// wrap modes, both mip filters, with derivatives that put lambda between levels. Samples near a
// texel boundary of any level are skipped (the bilinear blend has a kink there).
TEST(TextureSampleBackward, CoordinateGradientMatchesFiniteDifferences) {
  std::mt19937 rng(21);
  Tensor<double> t = random_tensor<double>({6, 10, 3}, rng);
  Pyramid<double> p = make_pyramid(t);
  const std::vector<int64_t> widths{10, 5, 2, 1}, heights{6, 3, 1, 1};
  auto near_boundary = [&](double u, double v) {
    for (std::size_t k = 0; k < widths.size(); ++k) {
      const double x = u * widths[k] - 0.5, y = v * heights[k] - 0.5;
      if (std::abs(x - std::round(x)) < 1e-3 || std::abs(y - std::round(y)) < 1e-3) return true;
    }
    return false;
  };
  std::uniform_real_distribution<double> coord(-0.6, 1.6), deriv(-0.6, 0.6), unit(-1, 1);
  const double h = 1e-6;
  for (uint32_t mip : {kMipNearest, kMipLinear}) {
    for (uint32_t wu : {kRepeat, kClamp, kMirror, kBorder}) {
      for (uint32_t wv : {kRepeat, kClamp, kMirror, kBorder}) {
        Lookup<double> q{{},
                         std::vector<double>{},
                         std::nullopt,
                         std::vector<double>{0.25, -0.5, 2.0},
                         {kLinear, mip, wu, wv}};
        while (q.uv.size() < 24) {
          const double u = coord(rng), v = coord(rng);
          if (near_boundary(u, v)) continue;
          q.uv.insert(q.uv.end(), {u, v});
          for (int k = 0; k < 4; ++k) q.derivatives->push_back(deriv(rng));
        }
        std::vector<double> g(q.uv.size() / 2 * 3);
        for (double& x : g) x = unit(rng);
        const Gradients<double> grad = sample_backward(p, q, g);
        for (int axis = 0; axis < 2; ++axis) {
          Lookup<double> plus = q, minus = q;
          for (std::size_t i = axis; i < q.uv.size(); i += 2) {
            plus.uv[i] += h;
            minus.uv[i] -= h;
          }
          const std::vector<double> sp = sample(p, plus), sm = sample(p, minus);
          for (std::size_t i = 0; i < q.uv.size() / 2; ++i) {
            double fd = 0;
            for (int c = 0; c < 3; ++c)
              fd += g[i * 3 + c] * (sp[i * 3 + c] - sm[i * 3 + c]) / (2 * h);
            EXPECT_NEAR(grad.coordinates[i * 2 + axis], fd, 1e-6 * (1 + std::abs(fd)))
                << "mip " << mip << " wrap " << wu << "/" << wv << " sample " << i << " axis "
                << axis;
          }
        }
      }
    }
  }
}

// Sampling is affine in the pyramid (the border adds a constant), so the pyramid gradient must
// satisfy <S(p) - S(0), g> = <p, S^T g> exactly up to rounding.
TEST(TextureSampleBackward, PyramidGradientIsTheAdjoint) {
  std::mt19937 rng(33);
  Tensor<double> t({7, 9, 2});
  Pyramid<double> p = make_pyramid(t);
  Pyramid<double> zero = make_pyramid(t);
  for (int64_t e = 0; e < p.total(); ++e)
    p.data[e] = std::uniform_real_distribution<double>(-1, 1)(rng);
  std::uniform_real_distribution<double> coord(-0.7, 1.7), lod(-0.5, 4.5), unit(-1, 1);
  for (uint32_t filter : {kNearest, kLinear}) {
    for (uint32_t mip : {kMipNearest, kMipLinear}) {
      for (uint32_t wrap : {kRepeat, kClamp, kMirror, kBorder}) {
        Lookup<double> q{{},
                         std::nullopt,
                         std::vector<double>{},
                         std::vector<double>{0.5, -2.0},
                         {filter, mip, wrap, wrap == kBorder ? kRepeat : kBorder}};
        for (int i = 0; i < 50; ++i) {
          q.uv.insert(q.uv.end(), {coord(rng), coord(rng)});
          q.lod->push_back(lod(rng));
        }
        std::vector<double> g(100);
        for (double& x : g) x = unit(rng);
        const std::vector<double> s = sample(p, q), s0 = sample(zero, q);
        const Gradients<double> grad = sample_backward(p, q, g);
        double lhs = 0, rhs = 0;
        for (std::size_t i = 0; i < g.size(); ++i) lhs += (s[i] - s0[i]) * g[i];
        for (int64_t e = 0; e < p.total(); ++e) rhs += p.data[e] * grad.pyramid[e];
        EXPECT_NEAR(lhs, rhs, 1e-12 * (1 + std::abs(lhs))) << filter << " " << mip << " " << wrap;
        if (filter == kNearest) {
          for (double x : grad.coordinates) EXPECT_EQ(x, 0.0);
        }
      }
    }
  }
}

namespace {

// One forward call over owned operands, with every argument replaceable.
struct ForwardCall {
  Pyramid<double> p = strip();
  Tensor<double> uv{{2, 2}, {0.2, 0.3, 0.6, 0.7}};
  Tensor<double> out{{2, 1}};
  View pv = p.data.in(), ov = p.offsets.in(), uvv = uv.in(), sv = out.out();
  const VrelTensorView* pyramid = pv;
  const VrelTensorView* offsets = ov;
  int64_t h = 2, w = 4;
  const VrelTensorView* coords = uvv;
  const VrelTensorView* derivatives = nullptr;
  const VrelTensorView* lod = nullptr;
  uint32_t filter = kLinear, mip = kMipNearest, wrap_u = kClamp, wrap_v = kClamp;
  const VrelTensorView* border = nullptr;
  const VrelTensorView* samples = sv;
  std::string message;

  VrelStatus run() {
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    const VrelStatus st =
        vrel_render_texture(pyramid, offsets, h, w, coords, derivatives, lod, filter, mip, wrap_u,
                            wrap_v, border, &ctx, samples, nullptr, diag);
    message = diag.text();
    return st;
  }
  std::string fails() {
    EXPECT_NE(run(), 0);
    return message;
  }
};

}  // namespace

TEST(TextureSample, RefusesBadArgumentsInOrder) {
  Tensor<double> d4({2, 4}), d3({2, 3}), l2({2}), l3({3}), b1({1}), b2({2}), b22({2, 2});
  Tensor<float> f2({2, 2}), fs({2, 1});
  Tensor<int32_t> ip({12}), i1({1});
  View d4v = d4.in(), d3v = d3.in(), l2v = l2.in(), l3v = l3.in(), b1v = b1.in(), b2v = b2.in(),
       b22v = b22.in(), f2v = f2.in(), fsv = fs.out(), ipv = ip.in(), i1v = i1.in();
  {
    ForwardCall c;
    c.pyramid = c.uvv;
    EXPECT_EQ(c.fails(), "pyramid must be a rank-1 view");
    c.pyramid = ipv;
    EXPECT_EQ(c.run(), VREL_STATUS_UNSUPPORTED);
    EXPECT_EQ(c.message, "render.texture supports the float32 and float64 dtypes");
  }
  {
    ForwardCall c;
    c.offsets = i1v;
    EXPECT_EQ(c.fails(), "level offsets must be an [L+1] view");
    View l2off = l2.in();
    c.offsets = l2off;
    EXPECT_EQ(c.fails(), "level offsets must be an int32 view");
  }
  {
    ForwardCall c;
    c.coords = d3v;
    EXPECT_EQ(c.fails(), "coordinates must be an [N,2] view");
    c.coords = f2v;
    EXPECT_EQ(c.fails(), "coordinates must match the pyramid dtype");
  }
  {
    ForwardCall c;
    c.derivatives = d4v;
    c.lod = l2v;
    EXPECT_EQ(c.fails(), "derivatives and lod are mutually exclusive");
    c.lod = nullptr;
    c.derivatives = d3v;
    EXPECT_EQ(c.fails(), "derivatives must be an [N,4] view");
    c.derivatives = nullptr;
    c.lod = l3v;
    EXPECT_EQ(c.fails(), "lod must be an [N] view");
  }
  for (auto [filter, mip, wu, wv] : {std::array<uint32_t, 4>{0, 1, 1, 1},
                                     {3, 1, 1, 1},
                                     {1, 0, 1, 1},
                                     {1, 3, 1, 1},
                                     {1, 1, 5, 1},
                                     {1, 1, 1, 0}}) {
    ForwardCall c;
    c.filter = filter;
    c.mip = mip;
    c.wrap_u = wu;
    c.wrap_v = wv;
    EXPECT_EQ(c.fails(), "filter, mip_filter and wrap modes must be declared enum values");
  }
  {
    ForwardCall c;
    c.border = b22v;
    EXPECT_EQ(c.fails(), "border must be a [C] view");
    c.border = nullptr;
    c.wrap_v = kBorder;
    EXPECT_EQ(c.fails(), "the border wrap mode requires a border value");
    c.border = b2v;
    EXPECT_EQ(c.fails(), "border must carry one value per channel");
    c.border = b1v;
    EXPECT_EQ(c.run(), 0);
  }
  {
    // Every view the kernel reads must be a CPU input, not only the pyramid and coordinates.
    ForwardCall c;
    View cuda_lod = l2.in();
    cuda_lod->device_type = VREL_DEVICE_CUDA;
    c.lod = cuda_lod;
    EXPECT_EQ(c.run(), VREL_STATUS_UNSUPPORTED);
    EXPECT_EQ(c.message, "render.texture implements only the CPU backend in this phase");
    View out_lod = l2.out();
    c.lod = out_lod;
    EXPECT_EQ(c.fails(), "operation inputs may not carry the output flag");
  }
  {
    ForwardCall c;
    Tensor<double> s3({3, 1}), s5({2, 5}), s0({2, 0});
    View s3v = s3.out(), s5v = s5.out(), s0v = s0.out(), sin = c.out.in();
    c.samples = s3v;
    EXPECT_EQ(c.fails(), "samples must be an [N,C] output view");
    c.samples = s5v;
    EXPECT_EQ(c.fails(), "channel count must be positive and within the supported bound");
    c.samples = s0v;
    EXPECT_EQ(c.fails(), "channel count must be positive and within the supported bound");
    c.samples = fsv;
    EXPECT_EQ(c.fails(), "samples must match the pyramid dtype");
    c.samples = sin;
    EXPECT_EQ(c.fails(), "operation outputs must carry the output flag");
    View onto_lod(l2.ptr(), {2, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
    c.samples = onto_lod;
    c.lod = l2v;
    EXPECT_EQ(c.fails(), "outputs may not alias an input or another output");
  }
  {
    ForwardCall c;
    c.h = 0;
    EXPECT_EQ(c.fails(), "texture extents must be positive");
    c.h = 4;
    c.w = 2;
    EXPECT_EQ(c.run(), 0);  // 4x2 has the same single-level table as 2x4
    c.w = 3;
    EXPECT_EQ(c.fails(), "level offsets disagree with the texture extents and channel count");
    View small(c.p.data.ptr(), {7}, VREL_DTYPE_FLOAT64);
    c.w = 4;
    c.h = 2;
    c.pyramid = small;
    EXPECT_EQ(c.fails(), "pyramid is smaller than the level offsets describe");
  }
  {
    // Later entries off the chain would address storage the table does not describe.
    ForwardCall c;
    Tensor<int32_t> bad({3}, {0, 8, 100});
    View bv = bad.in();
    c.offsets = bv;
    EXPECT_EQ(c.fails(), "level offsets do not follow the level chain of the texture extents");
    Tensor<int32_t> shifted({2}, {4, 12});
    View sv2 = shifted.in();
    c.offsets = sv2;
    EXPECT_EQ(c.fails(), "level offsets do not follow the level chain of the texture extents");
    Tensor<int32_t> longer({6}, {0, 8, 10, 11, 12, 13});
    View lv = longer.in();
    c.offsets = lv;
    EXPECT_EQ(c.fails(), "level count exceeds the full chain for this texture");
  }
  {
    ForwardCall c;
    Tensor<double> none({0, 2}), none_out({0, 1});
    View nv = none.in(), nov = none_out.out();
    c.coords = nv;
    c.samples = nov;
    EXPECT_EQ(c.run(), 0);
  }
}

TEST(TextureSampleBackward, RefusesBadArgumentsAndClearsTheGradient) {
  Pyramid<double> p = strip();
  Tensor<double> uv({2, 2}, {0.2, 0.3, 0.6, 0.7}), gs({2, 1}, {1, 1}), b2({2});
  Tensor<double> gp = Tensor<double>::filled({12}, 5.0), gc = Tensor<double>::filled({2, 2}, 5.0);
  View pv = p.data.in(), ov = p.offsets.in(), uvv = uv.in(), gsv = gs.in(), b2v = b2.in();
  View gpv = gp.out(), gcv = gc.out();
  auto call = [&](const VrelTensorView* border, const VrelTensorView* grad_samples,
                  const VrelTensorView* grad_pyramid, const VrelTensorView* grad_coords,
                  const VrelTensorView* pyramid, std::string* message) {
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    const VrelStatus st = vrel_render_texture_backward(
        pyramid, ov, 2, 4, uvv, nullptr, nullptr, kLinear, kMipNearest, kClamp, kClamp, border,
        grad_samples, &ctx, grad_pyramid, grad_coords, nullptr, diag);
    *message = diag.text();
    return st;
  };
  std::string m;
  Tensor<double> gs3({3, 1}), gs5({2, 5});
  View gs3v = gs3.in(), gs5v = gs5.in();
  EXPECT_EQ(call(nullptr, gs3v, gpv, gcv, pv, &m), 1);
  EXPECT_EQ(m, "sample gradient must be an [N,C] view");
  EXPECT_EQ(call(nullptr, gs5v, gpv, gcv, pv, &m), 1);
  EXPECT_EQ(m, "channel count must be positive and within the supported bound");
  Tensor<double> gc3({2, 3});
  View gc3v = gc3.out();
  EXPECT_EQ(call(nullptr, gsv, gpv, gc3v, pv, &m), 1);
  EXPECT_EQ(m, "gradients must be a rank-1 pyramid view and an [N,2] coordinate view");
  Tensor<float> gcf({2, 2});
  View gcfv = gcf.out();
  EXPECT_EQ(call(nullptr, gsv, gpv, gcfv, pv, &m), 1);
  EXPECT_EQ(m, "gradients must match the pyramid dtype");
  View overlap(gp.ptr() + 8, {2, 2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(call(nullptr, gsv, gpv, overlap, pv, &m), 1);
  EXPECT_EQ(m, "outputs may not alias an input or another output");
  // Clearing grad_pyramid must not destroy the cotangent it would be read from.
  View onto_gs(gs.ptr(), {2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(call(nullptr, gsv, onto_gs, gcv, pv, &m), 1);
  EXPECT_EQ(m, "outputs may not alias an input or another output");
  EXPECT_EQ(call(b2v, gsv, gpv, gcv, pv, &m), 1);
  EXPECT_EQ(m, "border must carry one value per channel");
  View small(p.data.ptr(), {7}, VREL_DTYPE_FLOAT64);
  EXPECT_EQ(call(nullptr, gsv, gpv, gcv, small, &m), 1);
  EXPECT_EQ(m, "pyramid is smaller than the level offsets describe");
  View small_grad(gp.ptr(), {7}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(call(nullptr, gsv, small_grad, gcv, pv, &m), 1);
  EXPECT_EQ(m, "pyramid gradient is smaller than the level offsets describe");
  for (double x : gp.values()) EXPECT_EQ(x, 5.0);
  for (double x : gc.values()) EXPECT_EQ(x, 5.0);

  // Without samples the pyramid gradient is zero, not left as it was.
  Tensor<double> none({0, 2}), gs0({0, 1}), gc0({0, 2});
  View nv = none.in(), gs0v = gs0.in(), gc0v = gc0.out();
  VrelExecutionContext ctx = cpu_context();
  EXPECT_EQ(
      vrel_render_texture_backward(pv, ov, 2, 4, nv, nullptr, nullptr, kLinear, kMipNearest, kClamp,
                                   kClamp, nullptr, gs0v, &ctx, gpv, gc0v, nullptr, nullptr),
      0);
  for (int e = 0; e < 8; ++e) EXPECT_EQ(gp[e], 0.0);
  for (int e = 8; e < 12; ++e) EXPECT_EQ(gp[e], 5.0);
}

TEST(TextureSampleBackward, BorderTapsEnterTheCoordinateGradient) {
  // One texel of value 1 and a border of 3: at u = 0 the bilinear blend runs from the border to
  // the texel, so d/du = (1 - 3) * w = -2; the pyramid gradient gets only the in-range tap.
  Tensor<double> t({1, 1, 1}, {1});
  Pyramid<double> p = make_pyramid(t);
  Lookup<double> q{{0.25, 0.5},
                   std::nullopt,
                   std::nullopt,
                   std::vector<double>{3},
                   {kLinear, kMipNearest, kBorder, kClamp}};
  EXPECT_EQ(sample(p, q)[0], 0.25 * 3 + 0.75 * 1);
  const Gradients<double> g = sample_backward(p, q, {1.0});
  EXPECT_EQ(g.coordinates[0], -2.0);
  EXPECT_EQ(g.coordinates[1], 0.0);
  EXPECT_EQ(g.pyramid[0], 0.75);
}

TEST(TextureWorkspace, AnswersZeroForTheCpu) {
  VrelExecutionContext cpu = cpu_context(), cuda = cuda_context();
  uint64_t bytes = 5, alignment = 5;
  Diag diag;
  EXPECT_EQ(
      vrel_render_texture_workspace(100, 4, VREL_DTYPE_FLOAT64, &cpu, &bytes, &alignment, diag), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_EQ(vrel_render_texture_workspace(100, 4, VREL_DTYPE_FLOAT64, &cpu, &bytes, nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "workspace query result pointers must not be null");
  EXPECT_EQ(
      vrel_render_texture_workspace(-1, 4, VREL_DTYPE_FLOAT64, &cpu, &bytes, &alignment, diag), 1);
  EXPECT_EQ(diag.text(), "sample and channel counts must be nonnegative");
  EXPECT_EQ(vrel_render_texture_workspace(1, 4, VREL_DTYPE_BOOL, &cpu, &bytes, &alignment, diag),
            2);
  EXPECT_EQ(diag.text(), "render.texture supports the float32 and float64 dtypes");
  EXPECT_EQ(
      vrel_render_texture_workspace(1, 4, VREL_DTYPE_FLOAT32, &cuda, &bytes, &alignment, diag), 2);
  EXPECT_EQ(diag.text(), "render.texture implements only the CPU backend in this phase");
}
