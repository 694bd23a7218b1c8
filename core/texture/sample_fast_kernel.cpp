// Texture sampling fast path. The generic kernels interleave finding a sample's taps with
// reading them, so each sample waits for its texels to arrive from memory. Here a block of
// samples is planned first (level choice and taps, the same pure functions) with the texel rows
// prefetched, and then read; the arithmetic on the texels is the generic code itself.
#include "texture/sample_fast_kernel.hpp"

#include <algorithm>

namespace vrel::texture {
namespace {

constexpr int kC = 4;
constexpr int64_t kBlock = 32;

struct Plan {
  MipChoice<float> mip;
  Taps<float> near, far;  // taps on levels mip.n and mip.m
  bool finite;
};

template <int kWrite>
[[gnu::always_inline]] inline void prefetch(const float* level, const LevelGeometry& g,
                                            const Taps<float>& q) noexcept {
  __builtin_prefetch(level + (q.r0 * g.width + q.j0) * kC, kWrite);
  __builtin_prefetch(level + (q.r0 * g.width + q.j1) * kC, kWrite);
  __builtin_prefetch(level + (q.r1 * g.width + q.j0) * kC, kWrite);
  __builtin_prefetch(level + (q.r1 * g.width + q.j1) * kC, kWrite);
}

// Plans samples [i0, i0 + n), prefetching the pyramid and, for the backward, the gradient.
template <bool kBackward>
[[gnu::always_inline]] inline void plan_block(const SampleProblem<float>& p,
                                              const std::array<LevelGeometry, kMaxLevels>& levels,
                                              int64_t i0, int64_t n, float* grad_pyramid,
                                              Plan* plan) noexcept {
  for (int64_t s = 0; s < n; ++s) {
    const int64_t i = i0 + s;
    const float u = p.coordinates[2 * i], v = p.coordinates[2 * i + 1];
    Plan& d = plan[s];
    d.finite = std::isfinite(u) && std::isfinite(v);
    if (!d.finite) continue;
    d.mip = choose_levels(level_of_detail(p, i), p.levels, p.mip_filter);
    const LevelGeometry& gn = levels[d.mip.n];
    d.near = bilinear_taps(u, v, gn, p.wrap_u, p.wrap_v);
    prefetch<0>(p.pyramid + gn.offset, gn, d.near);
    if constexpr (kBackward) prefetch<1>(grad_pyramid + gn.offset, gn, d.near);
    if (!d.mip.blend) continue;
    const LevelGeometry& gm = levels[d.mip.m];
    d.far = bilinear_taps(u, v, gm, p.wrap_u, p.wrap_v);
    prefetch<0>(p.pyramid + gm.offset, gm, d.far);
    if constexpr (kBackward) prefetch<1>(grad_pyramid + gm.offset, gm, d.far);
  }
}

[[gnu::always_inline]] inline void forward(const SampleProblem<float>& p, float* samples) noexcept {
  const auto levels = level_geometry(p);
  Plan plan[kBlock];
  for (int64_t i0 = 0; i0 < p.count; i0 += kBlock) {
    const int64_t n = std::min(kBlock, p.count - i0);
    plan_block<false>(p, levels, i0, n, nullptr, plan);
    for (int64_t s = 0; s < n; ++s) {
      float* out = samples + (i0 + s) * kC;
      const Plan& d = plan[s];
      if (!d.finite) {
        for (int c = 0; c < kC; ++c) out[c] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      const LevelGeometry& gn = levels[d.mip.n];
      blend_taps<float, kC>(p.pyramid + gn.offset, gn, d.near, p.border, out);
      if (d.mip.blend) {
        const LevelGeometry& gm = levels[d.mip.m];
        float coarse[kC];
        blend_taps<float, kC>(p.pyramid + gm.offset, gm, d.far, p.border, coarse);
        for (int c = 0; c < kC; ++c) out[c] = d.mip.f * coarse[c] + (1.0f - d.mip.f) * out[c];
      }
    }
  }
}

[[gnu::always_inline]] inline void backward(const SampleProblem<float>& p,
                                            const float* grad_samples, float* grad_pyramid,
                                            float* grad_coordinates) noexcept {
  const auto levels = level_geometry(p);
  std::fill(grad_pyramid, grad_pyramid + p.offsets[p.levels], 0.0f);
  std::fill(grad_coordinates, grad_coordinates + 2 * p.count, 0.0f);
  Plan plan[kBlock];
  for (int64_t i0 = 0; i0 < p.count; i0 += kBlock) {
    const int64_t n = std::min(kBlock, p.count - i0);
    plan_block<true>(p, levels, i0, n, grad_pyramid, plan);
    for (int64_t s = 0; s < n; ++s) {
      const Plan& d = plan[s];
      if (!d.finite) continue;
      const float* g = grad_samples + (i0 + s) * kC;
      float* grad_uv = grad_coordinates + 2 * (i0 + s);
      const LevelGeometry& gn = levels[d.mip.n];
      taps_backward<float, kC>(p.pyramid + gn.offset, grad_pyramid + gn.offset, gn, d.near,
                               p.border, d.mip.blend ? 1.0f - d.mip.f : 1.0f, g, grad_uv);
      if (d.mip.blend) {
        const LevelGeometry& gm = levels[d.mip.m];
        taps_backward<float, kC>(p.pyramid + gm.offset, grad_pyramid + gm.offset, gm, d.far,
                                 p.border, d.mip.f, g, grad_uv);
      }
    }
  }
}

[[VREL_ISA_AVX512]] void forward_avx512(const SampleProblem<float>& p, float* s) noexcept {
  forward(p, s);
}
[[VREL_ISA_AVX2]] void forward_avx2(const SampleProblem<float>& p, float* s) noexcept {
  forward(p, s);
}
void forward_baseline(const SampleProblem<float>& p, float* s) noexcept { forward(p, s); }

[[VREL_ISA_AVX512]] void backward_avx512(const SampleProblem<float>& p, const float* g, float* gp,
                                         float* gc) noexcept {
  backward(p, g, gp, gc);
}
[[VREL_ISA_AVX2]] void backward_avx2(const SampleProblem<float>& p, const float* g, float* gp,
                                     float* gc) noexcept {
  backward(p, g, gp, gc);
}
void backward_baseline(const SampleProblem<float>& p, const float* g, float* gp,
                       float* gc) noexcept {
  backward(p, g, gp, gc);
}

bool wraps_fast(uint32_t mode) noexcept { return mode == kWrapRepeat || mode == kWrapClamp; }

}  // namespace

bool fast_path_applies(const SampleProblem<float>& p) noexcept {
  return p.channels == kC && p.filter == kFilterLinear && wraps_fast(p.wrap_u) &&
         wraps_fast(p.wrap_v);
}

void sample_texture_fast(const SampleProblem<float>& p, float* samples, math::Isa isa) noexcept {
  switch (isa) {
    case math::Isa::kAvx512: return forward_avx512(p, samples);
    case math::Isa::kAvx2: return forward_avx2(p, samples);
    case math::Isa::kBaseline: return forward_baseline(p, samples);
  }
}

void texture_backward_fast(const SampleProblem<float>& p, const float* grad_samples,
                           float* grad_pyramid, float* grad_coordinates, math::Isa isa) noexcept {
  switch (isa) {
    case math::Isa::kAvx512:
      return backward_avx512(p, grad_samples, grad_pyramid, grad_coordinates);
    case math::Isa::kAvx2: return backward_avx2(p, grad_samples, grad_pyramid, grad_coordinates);
    case math::Isa::kBaseline:
      return backward_baseline(p, grad_samples, grad_pyramid, grad_coordinates);
  }
}

}  // namespace vrel::texture
