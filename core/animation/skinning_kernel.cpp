// The instruction-set builds of the skinning kernels: each kernel is inlined into one function
// per build, compiled for that build's instructions.
#include "animation/skinning_kernel.hpp"

namespace vrel::animation {
namespace {

// One function per build around each always-inline kernel: NAME_avx512, NAME_avx2 and
// NAME_baseline, taking and passing on the kernel's own arguments.
#define VREL_SKINNING_BUILD(NAME, ATTRIBUTES, KERNEL) \
  template <typename T, typename... Args>             \
  ATTRIBUTES void NAME(Args... args) noexcept {       \
    KERNEL<T>(args...);                               \
  }
#define VREL_SKINNING_BUILDS(KERNEL)                                \
  VREL_SKINNING_BUILD(KERNEL##_avx512, [[VREL_ISA_AVX512]], KERNEL) \
  VREL_SKINNING_BUILD(KERNEL##_avx2, [[VREL_ISA_AVX2]], KERNEL)     \
  VREL_SKINNING_BUILD(KERNEL##_baseline, , KERNEL)

VREL_SKINNING_BUILDS(skin_forward)
VREL_SKINNING_BUILDS(skin_weight_gradients)
VREL_SKINNING_BUILDS(skin_vertex_transform_gradients)
#undef VREL_SKINNING_BUILDS
#undef VREL_SKINNING_BUILD

}  // namespace

#define VREL_SKINNING_DISPATCH(KERNEL, ...)                              \
  switch (isa) {                                                         \
    case math::Isa::kAvx512: return KERNEL##_avx512<T>(__VA_ARGS__);     \
    case math::Isa::kAvx2: return KERNEL##_avx2<T>(__VA_ARGS__);         \
    case math::Isa::kBaseline: return KERNEL##_baseline<T>(__VA_ARGS__); \
  }

template <typename T>
void skin_forward_isa(const T* vertices, const T* transforms, const T* weights, int64_t batch,
                      int64_t rows, int64_t joints, T* out, math::Isa isa) noexcept {
  VREL_SKINNING_DISPATCH(skin_forward, vertices, transforms, weights, batch, rows, joints, out)
}

template <typename T>
void skin_weight_gradients_isa(const T* vertices, const T* transforms, const T* grad, int64_t batch,
                               int64_t rows, int64_t joints, T* grad_weights,
                               math::Isa isa) noexcept {
  VREL_SKINNING_DISPATCH(skin_weight_gradients, vertices, transforms, grad, batch, rows, joints,
                         grad_weights)
}

template <typename T>
void skin_vertex_transform_gradients_isa(const T* vertices, const T* transforms, const T* weights,
                                         const T* grad, int64_t batch, int64_t rows, int64_t joints,
                                         T* grad_vertices, T* grad_transforms,
                                         math::Isa isa) noexcept {
    VREL_SKINNING_DISPATCH(skin_vertex_transform_gradients, vertices, transforms, weights, grad,
                           batch, rows, joints, grad_vertices, grad_transforms)}
#undef VREL_SKINNING_DISPATCH

#define VREL_SKINNING_TYPES(T)                                                                     \
  template void skin_forward_isa(const T*, const T*, const T*, int64_t, int64_t, int64_t, T*,      \
                                 math::Isa) noexcept;                                              \
  template void skin_weight_gradients_isa(const T*, const T*, const T*, int64_t, int64_t, int64_t, \
                                          T*, math::Isa) noexcept;                                 \
  template void skin_vertex_transform_gradients_isa(const T*, const T*, const T*, const T*,        \
                                                    int64_t, int64_t, int64_t, T*, T*,             \
                                                    math::Isa) noexcept;
VREL_SKINNING_TYPES(float) VREL_SKINNING_TYPES(double)
#undef VREL_SKINNING_TYPES

}  // namespace vrel::animation
