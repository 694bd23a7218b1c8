#include "render/interpolate_kernel.hpp"

#include <algorithm>

namespace vrel::render {

template <typename T>
bool interpolate(const Interpolation<T>& p) noexcept {
  const int64_t c_count = p.channels;
  for (int64_t i = 0; i < p.fragments; ++i) {
    const int32_t f = p.face_index[i];
    T* out = p.attributes + i * c_count;
    if (f < 0) {
      std::fill(out, out + c_count, T(0));
      continue;
    }
    if (f >= p.face_count) return false;
    const T* b = p.barycentric + 3 * i;
    const T* a = p.face_attributes + 3 * c_count * static_cast<int64_t>(f);
    const double b0 = b[0], b1 = b[1], b2 = b[2];
    for (int64_t c = 0; c < c_count; ++c) {
      double sum = 0;
      sum += b0 * static_cast<double>(a[c]);
      sum += b1 * static_cast<double>(a[c_count + c]);
      sum += b2 * static_cast<double>(a[2 * c_count + c]);
      out[c] = static_cast<T>(sum);
    }
  }
  return true;
}

template <typename T>
bool interpolate_gradients(const InterpolationGradients<T>& p) noexcept {
  const int64_t c_count = p.channels;
  if (p.grad_barycentric) std::fill(p.grad_barycentric, p.grad_barycentric + 3 * p.fragments, T(0));
  if (p.grad_face_attributes)
    std::fill(p.grad_face_attributes, p.grad_face_attributes + 3 * c_count * p.face_count, T(0));
  for (int64_t i = 0; i < p.fragments; ++i) {
    const int32_t f = p.face_index[i];
    if (f < 0) continue;
    if (f >= p.face_count) return false;
    const T* g = p.grad_attributes + i * c_count;
    const T* b = p.barycentric + 3 * i;
    const int64_t row = 3 * c_count * static_cast<int64_t>(f);
    for (int j = 0; j < 3; ++j) {
      if (p.grad_face_attributes) {
        T* out = p.grad_face_attributes + row + j * c_count;
        // Each product is formed and rounded in the data dtype, then added in it.
        for (int64_t c = 0; c < c_count; ++c) out[c] += static_cast<T>(g[c] * b[j]);
      }
      if (p.grad_barycentric) {
        const T* a = p.face_attributes + row + j * c_count;
        double sum = 0;
        for (int64_t c = 0; c < c_count; ++c)
          sum += static_cast<double>(g[c]) * static_cast<double>(a[c]);
        p.grad_barycentric[3 * i + j] =
            static_cast<T>(static_cast<double>(p.grad_barycentric[3 * i + j]) + sum);
      }
    }
  }
  return true;
}

template bool interpolate<float>(const Interpolation<float>&) noexcept;
template bool interpolate<double>(const Interpolation<double>&) noexcept;
template bool interpolate_gradients<float>(const InterpolationGradients<float>&) noexcept;
template bool interpolate_gradients<double>(const InterpolationGradients<double>&) noexcept;

}  // namespace vrel::render
