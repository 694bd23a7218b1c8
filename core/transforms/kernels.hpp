// Kernels of the transforms family over typed, dense row-major arrays. They know nothing of
// descriptors and cannot fail: the exports have checked every shape and offset.
#pragma once

#include <cstdint>

namespace vrel::transforms {

// homogeneous[j] = M_b (x, y, z, 1) for the points j in [offsets[b], offsets[b+1]).
template <typename T>
void transform_points(const T* points, const T* matrices, const int32_t* offsets, int64_t batch,
                      T* homogeneous) noexcept;

// Clears the given outputs, then grad_points[j] = (M_b^T g)[0..2] and
// grad_matrices[b] += g (x, y, z, 1)^T in ascending point order. Either output may be null.
template <typename T>
void transform_points_backward(const T* points, const T* matrices, const int32_t* offsets,
                               int64_t batch, const T* grad_homogeneous, T* grad_points,
                               T* grad_matrices) noexcept;

// ndc = (X/W, Y/W, Z/W) and valid = 1 where |W| > eps (compared in double); zeros elsewhere.
template <typename T>
void perspective_divide(const T* homogeneous, int64_t count, double eps, T* ndc,
                        uint8_t* valid) noexcept;

// grad_homogeneous = (g/W, -((X/W) g0 + (Y/W) g1 + (Z/W) g2)/W) where |W| > eps; zeros elsewhere.
template <typename T>
void perspective_divide_backward(const T* homogeneous, int64_t count, double eps, const T* grad_ndc,
                                 T* grad_homogeneous) noexcept;

}  // namespace vrel::transforms
