// The kernels of the perspective divide and its backward
// over typed, dense row-major arrays. They know nothing of descriptors and cannot fail: the
// exports have checked every shape and offset.
#pragma once

#include <cstdint>

namespace vrel::transforms {

// ndc = (X/W, Y/W, Z/W) and valid = 1 where |W| > eps (compared in double); zeros elsewhere.
template <typename T>
void perspective_divide(const T* homogeneous, int64_t count, double eps, T* ndc,
                        uint8_t* valid) noexcept;

// grad_homogeneous = (g/W, -((X/W) g0 + (Y/W) g1 + (Z/W) g2)/W) where |W| > eps; zeros elsewhere.
template <typename T>
void perspective_divide_backward(const T* homogeneous, int64_t count, double eps, const T* grad_ndc,
                                 T* grad_homogeneous) noexcept;

}  // namespace vrel::transforms
