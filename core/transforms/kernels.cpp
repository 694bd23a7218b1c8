#include "transforms/kernels.hpp"

#include <cmath>
#include <cstddef>

namespace vrel::transforms {
namespace {

// The divide test, in double precision whatever the data dtype (NaN fails it).
template <typename T>
bool divides(T w, double eps) {
  return std::fabs(static_cast<double>(w)) > eps;
}

}  // namespace

template <typename T>
void transform_points(const T* points, const T* matrices, const int32_t* offsets, int64_t batch,
                      T* homogeneous) noexcept {
  for (int64_t b = 0; b < batch; ++b) {
    const T* m = matrices + 16 * b;
    for (int64_t j = offsets[b]; j < offsets[b + 1]; ++j) {
      const T x = points[3 * j], y = points[3 * j + 1], z = points[3 * j + 2];
      T* out = homogeneous + 4 * j;
      for (int r = 0; r < 4; ++r) out[r] = m[4 * r] * x + m[4 * r + 1] * y + m[4 * r + 2] * z + m[4 * r + 3];
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
          grad_points[3 * j + c] = m[c] * g[0] + m[4 + c] * g[1] + m[8 + c] * g[2] + m[12 + c] * g[3];
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

template <typename T>
void perspective_divide(const T* homogeneous, int64_t count, double eps, T* ndc, uint8_t* valid) noexcept {
  for (int64_t i = 0; i < count; ++i) {
    const T* h = homogeneous + 4 * i;
    T* out = ndc + 3 * i;
    const T w = h[3];
    if (divides(w, eps)) {
      out[0] = h[0] / w;
      out[1] = h[1] / w;
      out[2] = h[2] / w;
      valid[i] = 1;
    } else {
      out[0] = out[1] = out[2] = T(0);
      valid[i] = 0;
    }
  }
}

template <typename T>
void perspective_divide_backward(const T* homogeneous, int64_t count, double eps, const T* grad_ndc,
                                 T* grad_homogeneous) noexcept {
  for (int64_t i = 0; i < count; ++i) {
    const T* h = homogeneous + 4 * i;
    const T* g = grad_ndc + 3 * i;
    T* out = grad_homogeneous + 4 * i;
    const T w = h[3];
    if (divides(w, eps)) {
      out[0] = g[0] / w;
      out[1] = g[1] / w;
      out[2] = g[2] / w;
      out[3] = -((h[0] / w) * g[0] + (h[1] / w) * g[1] + (h[2] / w) * g[2]) / w;
    } else {
      out[0] = out[1] = out[2] = out[3] = T(0);
    }
  }
}

template void transform_points<float>(const float*, const float*, const int32_t*, int64_t, float*) noexcept;
template void transform_points<double>(const double*, const double*, const int32_t*, int64_t, double*) noexcept;
template void transform_points_backward<float>(const float*, const float*, const int32_t*, int64_t,
                                               const float*, float*, float*) noexcept;
template void transform_points_backward<double>(const double*, const double*, const int32_t*, int64_t,
                                                const double*, double*, double*) noexcept;
template void perspective_divide<float>(const float*, int64_t, double, float*, uint8_t*) noexcept;
template void perspective_divide<double>(const double*, int64_t, double, double*, uint8_t*) noexcept;
template void perspective_divide_backward<float>(const float*, int64_t, double, const float*, float*) noexcept;
template void perspective_divide_backward<double>(const double*, int64_t, double, const double*,
                                                  double*) noexcept;

}  // namespace vrel::transforms
