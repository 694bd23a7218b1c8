#include "transforms/perspective_divide_kernel.hpp"

#include <cmath>

namespace vrel::transforms {
namespace {

// The divide test, in double precision whatever the data dtype (NaN fails it).
template <typename T>
bool divides(T w, double eps) {
  return std::fabs(static_cast<double>(w)) > eps;
}

}  // namespace

template <typename T>
void perspective_divide(const T* homogeneous, int64_t count, double eps, T* ndc,
                        uint8_t* valid) noexcept {
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

template void perspective_divide<float>(const float*, int64_t, double, float*, uint8_t*) noexcept;
template void perspective_divide<double>(const double*, int64_t, double, double*,
                                         uint8_t*) noexcept;
template void perspective_divide_backward<float>(const float*, int64_t, double, const float*,
                                                 float*) noexcept;
template void perspective_divide_backward<double>(const double*, int64_t, double, const double*,
                                                  double*) noexcept;

}  // namespace vrel::transforms
