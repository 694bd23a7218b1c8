// The four-channel float32 fast path of texture sampling against the generic kernels, bit for
// bit, in every instruction-set build: forward samples, pyramid and coordinate gradients, on one
// level and across mip levels, with repeat and clamp, coordinates on texel centres and edges,
// far outside, and non-finite.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/texture/texture_support.hpp"
#include "texture/sample_fast_kernel.hpp"

using namespace vrel::test;
using namespace vrel::texture;
using vrel::math::Isa;

namespace {

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Coordinates that stress the taps: random, on texel centres and edges of level 0, exactly 0
// and 1, far outside (beyond the index limit) and non-finite.
std::vector<float> coordinates(std::mt19937& rng, int64_t n, int64_t size) {
  std::uniform_real_distribution<float> u(-1.5f, 2.5f);
  std::uniform_int_distribution<int64_t> texel(-2 * size, 4 * size);
  std::vector<float> out(2 * n);
  for (int64_t i = 0; i < 2 * n; ++i) {
    switch (i % 5) {
      case 0: out[i] = u(rng); break;
      case 1: out[i] = static_cast<float>(texel(rng)) / (2.0f * size); break;  // centre or edge
      case 2: out[i] = (i / 5) % 2 ? 0.0f : 1.0f; break;
      default: out[i] = u(rng);
    }
  }
  out[6] = 3e12f;
  out[13] = -7e13f;
  out[20] = std::numeric_limits<float>::quiet_NaN();
  out[31] = std::numeric_limits<float>::infinity();
  return out;
}

}  // namespace

TEST(TextureFastPath, EqualsTheGenericKernelsBitForBit) {
  std::mt19937 rng(61);
  Tensor<float> texture = random_tensor<float>({24, 40, 4}, rng, -2, 2);
  Pyramid<float> pyramid = make_pyramid(texture);
  const int64_t n = 700;
  std::vector<float> uv = coordinates(rng, n, 40);
  std::vector<float> derivatives(4 * n), lod(n), cotangent(4 * n);
  std::uniform_real_distribution<float> scale(0.0f, 0.3f), level(-1.0f, 7.0f), g(-1.0f, 1.0f);
  for (auto& x : derivatives) x = scale(rng);
  for (int64_t i = 0; i < n; ++i) lod[i] = i % 7 == 0 ? std::round(level(rng) * 2) / 2 : level(rng);
  for (auto& x : cotangent) x = g(rng);

  int cases = 0;
  for (int64_t levels : {int64_t{1}, pyramid.levels()}) {
    for (int source = 0; source < 3; ++source) {  // level 0, explicit lod, derivatives
      for (uint32_t mip : {kMipNearest, kMipLinear}) {
        for (uint32_t wrap_u : {kWrapRepeat, kWrapClamp}) {
          for (uint32_t wrap_v : {kWrapRepeat, kWrapClamp}) {
            const SampleProblem<float> p{pyramid.data.ptr(),
                                         pyramid.offsets.ptr(),
                                         levels,
                                         pyramid.height,
                                         pyramid.width,
                                         4,
                                         n,
                                         uv.data(),
                                         source == 2 ? derivatives.data() : nullptr,
                                         source == 1 ? lod.data() : nullptr,
                                         nullptr,
                                         kFilterLinear,
                                         mip,
                                         wrap_u,
                                         wrap_v};
            ASSERT_TRUE(fast_path_applies(p));
            std::vector<float> expected(4 * n, -1), grad_pyramid(pyramid.total(), -1),
                grad_uv(2 * n, -1);
            sample_texture(p, expected.data());
            texture_backward(p, cotangent.data(), grad_pyramid.data(), grad_uv.data());
            for (Isa isa : {Isa::kBaseline, Isa::kAvx2, Isa::kAvx512}) {
              if (!vrel::math::isa_supported(isa)) continue;
              std::vector<float> out(4 * n, -1), gp(pyramid.total(), -1), gc(2 * n, -1);
              sample_texture_fast(p, out.data(), isa);
              texture_backward_fast(p, cotangent.data(), gp.data(), gc.data(), isa);
              EXPECT_TRUE(same_bits(out, expected)) << levels << " " << source << " " << mip;
              EXPECT_TRUE(same_bits(gp, grad_pyramid)) << levels << " " << source << " " << mip;
              EXPECT_TRUE(same_bits(gc, grad_uv)) << levels << " " << source << " " << mip;
              ++cases;
            }
          }
        }
      }
    }
  }
  EXPECT_GE(cases, 48);
}
