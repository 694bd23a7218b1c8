// The kernels of the point transforms (transform_points and its backward)
// over typed, dense row-major arrays. They know nothing of descriptors and cannot fail: the
// exports have checked every shape and offset.
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

}  // namespace vrel::transforms
