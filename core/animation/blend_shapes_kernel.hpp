// The kernel of blend shapes and their gradients, over typed pointers and counts. It knows
// nothing of descriptors; the exports have checked every shape, index and alias rule before
// calling it. Float32 data are computed in float32 and float64 data in float64.
#pragma once

#include <cstdint>

namespace vrel::animation {

// out[b] = template + sum over s (ascending) of weights[b][s] deltas[s].
template <typename T>
void blend_forward(const T* tmpl, const T* deltas, const T* weights, int64_t batch, int64_t rows,
                   int64_t shapes, T* out) noexcept {
  const int64_t n = rows * 3;
  for (int64_t b = 0; b < batch; ++b) {
    T* o = out + b * n;
    for (int64_t e = 0; e < n; ++e) o[e] = tmpl[e];
    for (int64_t s = 0; s < shapes; ++s) {
      const T w = weights[b * shapes + s];
      const T* d = deltas + s * n;
      for (int64_t e = 0; e < n; ++e) o[e] += w * d[e];
    }
  }
}

template <typename T>
void blend_backward(const T* deltas, const T* weights, const T* grad, int64_t batch, int64_t rows,
                    int64_t shapes, T* grad_template, T* grad_deltas, T* grad_weights) noexcept {
  const int64_t n = rows * 3;
  if (grad_template != nullptr) {
    for (int64_t e = 0; e < n; ++e) grad_template[e] = T(0);
    for (int64_t b = 0; b < batch; ++b)
      for (int64_t e = 0; e < n; ++e) grad_template[e] += grad[b * n + e];
  }
  if (grad_deltas != nullptr) {
    for (int64_t s = 0; s < shapes; ++s) {
      T* gd = grad_deltas + s * n;
      for (int64_t e = 0; e < n; ++e) gd[e] = T(0);
      for (int64_t b = 0; b < batch; ++b) {
        const T w = weights[b * shapes + s];
        const T* g = grad + b * n;
        for (int64_t e = 0; e < n; ++e) gd[e] += w * g[e];
      }
    }
  }
  if (grad_weights != nullptr) {
    for (int64_t b = 0; b < batch; ++b)
      for (int64_t s = 0; s < shapes; ++s) {
        const T* d = deltas + s * n;
        const T* g = grad + b * n;
        T sum = T(0);
        for (int64_t e = 0; e < n; ++e) sum += d[e] * g[e];
        grad_weights[b * shapes + s] = sum;
      }
  }
}

}  // namespace vrel::animation
