// Texture sampling throughput: one million bilinear, mip-linear lookups with derivatives from a
// 1024 x 1024 RGBA float32 pyramid, forward and backward; and the pyramid build and its adjoint.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/views.hpp"
#include "vrel/vrel.h"

using namespace vrel::test;

namespace {

constexpr int64_t kSize = 1024, kChannels = 4, kSamples = 1 << 20;

struct Scene {
  Tensor<float> texture{{kSize, kSize, kChannels}};
  Tensor<float> pyramid{{kSize * kSize * kChannels * 2}};
  Tensor<int32_t> offsets{{12}};  // 11 levels
  Tensor<float> uv{{kSamples, 2}};
  Tensor<float> derivatives{{kSamples, 4}};
  Tensor<float> raster_uv{{kSamples, 2}};  // a 1024 x 1024 screen in raster order
  Tensor<float> samples{{kSamples, kChannels}};
  Tensor<float> grad_samples{{kSamples, kChannels}};
  Tensor<float> grad_pyramid{{kSize * kSize * kChannels * 2}};
  Tensor<float> grad_uv{{kSamples, 2}};
  VrelExecutionContext ctx = cpu_context();

  Scene() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(0.f, 1.f), scale(0.5f, 16.f);
    for (auto& x : texture.values()) x = unit(rng);
    for (auto& x : uv.values()) x = unit(rng);
    for (int64_t i = 0; i < kSamples; ++i) {
      raster_uv[2 * i] = (static_cast<float>(i % kSize) + 0.5f) / kSize;
      raster_uv[2 * i + 1] = (static_cast<float>(i / kSize) + 0.5f) / kSize;
    }
    for (auto& x : grad_samples.values()) x = unit(rng) - 0.5f;
    // Footprints of 0.5 to 16 texels: lambda spreads over levels 0 to 4.
    for (int64_t i = 0; i < kSamples; ++i) {
      derivatives[4 * i] = scale(rng) / kSize;
      derivatives[4 * i + 3] = scale(rng) / kSize;
    }
    View t = texture.in(), p = pyramid.out(), o = offsets.out();
    if (vrel_render_texture_pyramid(t, 0, &ctx, p, o, nullptr, nullptr) != 0) std::abort();
  }
};

Scene& scene() {
  static Scene s;
  return s;
}

// range(0): 0 for uniformly random coordinates (cache-hostile), 1 for raster order.
void BM_TextureForward(benchmark::State& state) {
  Scene& s = scene();
  View p = s.pyramid.in(), o = s.offsets.in(), c = state.range(0) ? s.raster_uv.in() : s.uv.in(),
       d = s.derivatives.in(), out = s.samples.out();
  for (auto _ : state) {
    const VrelStatus st = vrel_render_texture(
        p, o, kSize, kSize, c, d, nullptr, VREL_TEXTURE_FILTER_LINEAR, VREL_TEXTURE_MIP_LINEAR,
        VREL_TEXTURE_WRAP_REPEAT, VREL_TEXTURE_WRAP_REPEAT, nullptr, &s.ctx, out, nullptr, nullptr);
    if (st != 0) state.SkipWithError("vrel_render_texture failed");
    benchmark::DoNotOptimize(s.samples.ptr());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_TextureBackward(benchmark::State& state) {
  Scene& s = scene();
  View p = s.pyramid.in(), o = s.offsets.in(), c = state.range(0) ? s.raster_uv.in() : s.uv.in(),
       d = s.derivatives.in(), g = s.grad_samples.in();
  View gp = s.grad_pyramid.out(), gc = s.grad_uv.out();
  for (auto _ : state) {
    const VrelStatus st = vrel_render_texture_backward(
        p, o, kSize, kSize, c, d, nullptr, VREL_TEXTURE_FILTER_LINEAR, VREL_TEXTURE_MIP_LINEAR,
        VREL_TEXTURE_WRAP_REPEAT, VREL_TEXTURE_WRAP_REPEAT, nullptr, g, &s.ctx, gp, gc, nullptr,
        nullptr);
    if (st != 0) state.SkipWithError("vrel_render_texture_backward failed");
    benchmark::DoNotOptimize(s.grad_pyramid.ptr());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_PyramidForward(benchmark::State& state) {
  Scene& s = scene();
  View t = s.texture.in(), p = s.pyramid.out(), o = s.offsets.out();
  for (auto _ : state) {
    if (vrel_render_texture_pyramid(t, 0, &s.ctx, p, o, nullptr, nullptr) != 0)
      state.SkipWithError("vrel_render_texture_pyramid failed");
    benchmark::DoNotOptimize(s.pyramid.ptr());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}

void BM_PyramidBackward(benchmark::State& state) {
  Scene& s = scene();
  View o = s.offsets.in(), g = s.grad_pyramid.in(), gt = s.texture.out();
  for (auto _ : state) {
    if (vrel_render_texture_pyramid_backward(o, kSize, kSize, kChannels, g, &s.ctx, gt, nullptr,
                                             nullptr) != 0)
      state.SkipWithError("vrel_render_texture_pyramid_backward failed");
    benchmark::DoNotOptimize(s.texture.ptr());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}

}  // namespace

BENCHMARK(BM_TextureForward)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextureBackward)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PyramidForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PyramidBackward)->Unit(benchmark::kMillisecond);
