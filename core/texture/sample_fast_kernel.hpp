// The fast path of texture sampling for the common case: bilinear filtering of four float32
// channels with repeat or clamp wrapping, on one level or blended between two.
#pragma once

#include "math/isa.hpp"
#include "texture/sample_kernel.hpp"

namespace vrel::texture {

// Whether the fast path handles the problem.
bool fast_path_applies(const SampleProblem<float>& p) noexcept;

// The same samples and gradients as sample_texture and texture_backward, bit for bit: the taps
// of a block of samples are found first and their texels prefetched, then every sample is
// blended (or its gradient added, samples ascending) by the same operations in the same order.
// Compiled once per instruction set; `isa` picks one (for the tests), by default the widest.
void sample_texture_fast(const SampleProblem<float>& p, float* samples,
                         math::Isa isa = math::best_isa()) noexcept;
void texture_backward_fast(const SampleProblem<float>& p, const float* grad_samples,
                           float* grad_pyramid, float* grad_coordinates,
                           math::Isa isa = math::best_isa()) noexcept;

}  // namespace vrel::texture
