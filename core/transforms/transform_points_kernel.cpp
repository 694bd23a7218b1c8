#include "transforms/transform_points_kernel.hpp"

namespace vrel::transforms {

template <typename T>
void transform_points(const T* points, const T* matrices, const int32_t* offsets, int64_t batch,
                      T* homogeneous) noexcept {
  for (int64_t b = 0; b < batch; ++b) {
    const T* m = matrices + 16 * b;
    for (int64_t j = offsets[b]; j < offsets[b + 1]; ++j) {
      const T x = points[3 * j], y = points[3 * j + 1], z = points[3 * j + 2];
      T* out = homogeneous + 4 * j;
      for (int r = 0; r < 4; ++r)
        out[r] = m[4 * r] * x + m[4 * r + 1] * y + m[4 * r + 2] * z + m[4 * r + 3];
    }
  }
}

template <typename T>
void transform_points_backward(const T* points, const T* matrices, const int32_t* offsets,
                               int64_t batch, const T* grad_homogeneous, T* grad_points,
                               T* grad_matrices) noexcept {
  const int64_t count = offsets[batch];
  if (grad_points != nullptr)
    for (int64_t i = 0; i < 3 * count; ++i) grad_points[i] = T(0);
  if (grad_matrices != nullptr)
    for (int64_t i = 0; i < 16 * batch; ++i) grad_matrices[i] = T(0);
  for (int64_t b = 0; b < batch; ++b) {
    const T* m = matrices + 16 * b;
    if (grad_points != nullptr) {
      for (int64_t j = offsets[b]; j < offsets[b + 1]; ++j) {
        const T* g = grad_homogeneous + 4 * j;
        for (int c = 0; c < 3; ++c)
          grad_points[3 * j + c] =
              m[c] * g[0] + m[4 + c] * g[1] + m[8 + c] * g[2] + m[12 + c] * g[3];
      }
    }
    if (grad_matrices != nullptr) {
      // Accumulated in registers, in ascending point order per entry, then stored once.
      T sum[16] = {};
      for (int64_t j = offsets[b]; j < offsets[b + 1]; ++j) {
        const T* g = grad_homogeneous + 4 * j;
        const T q[4] = {points[3 * j], points[3 * j + 1], points[3 * j + 2], T(1)};
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) sum[4 * r + c] += g[r] * q[c];
      }
      for (int i = 0; i < 16; ++i) grad_matrices[16 * b + i] = sum[i];
    }
  }
}

template void transform_points<float>(const float*, const float*, const int32_t*, int64_t,
                                      float*) noexcept;
template void transform_points<double>(const double*, const double*, const int32_t*, int64_t,
                                       double*) noexcept;
template void transform_points_backward<float>(const float*, const float*, const int32_t*, int64_t,
                                               const float*, float*, float*) noexcept;
template void transform_points_backward<double>(const double*, const double*, const int32_t*,
                                                int64_t, const double*, double*, double*) noexcept;

}  // namespace vrel::transforms
