// The instruction-set builds of the skinning weight gradients, the dense part of the backward.
#include "animation/skinning_kernel.hpp"

namespace vrel::animation {
namespace {

template <typename T>
[[VREL_ISA_AVX512]] void weights_avx512(const T* v, const T* t, const T* g, int64_t batch,
                                        int64_t rows, int64_t joints, T* out) noexcept {
  skin_weight_gradients(v, t, g, batch, rows, joints, out);
}

template <typename T>
[[VREL_ISA_AVX2]] void weights_avx2(const T* v, const T* t, const T* g, int64_t batch,
                                    int64_t rows, int64_t joints, T* out) noexcept {
  skin_weight_gradients(v, t, g, batch, rows, joints, out);
}

template <typename T>
void weights_isa(const T* v, const T* t, const T* g, int64_t batch, int64_t rows, int64_t joints,
                 T* out, math::Isa isa) noexcept {
  switch (isa) {
    case math::Isa::kAvx512: return weights_avx512(v, t, g, batch, rows, joints, out);
    case math::Isa::kAvx2: return weights_avx2(v, t, g, batch, rows, joints, out);
    case math::Isa::kBaseline: return skin_weight_gradients(v, t, g, batch, rows, joints, out);
  }
}

}  // namespace

void skin_weight_gradients_isa(const float* vertices, const float* transforms, const float* grad,
                               int64_t batch, int64_t rows, int64_t joints, float* grad_weights,
                               math::Isa isa) noexcept {
  weights_isa(vertices, transforms, grad, batch, rows, joints, grad_weights, isa);
}

void skin_weight_gradients_isa(const double* vertices, const double* transforms,
                               const double* grad, int64_t batch, int64_t rows, int64_t joints,
                               double* grad_weights, math::Isa isa) noexcept {
  weights_isa(vertices, transforms, grad, batch, rows, joints, grad_weights, isa);
}

}  // namespace vrel::animation
