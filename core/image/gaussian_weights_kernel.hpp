// Normalised Gaussian filter taps and their derivative in sigma, in float64 per sigma value s:
// u_i = exp(-(i/s)^2 / 2) and q_i = (i/s)^2 / s for i = 1..r (u_0 = 1, q_0 = 0); tap k of the
// n = 2r + 1 taps takes offset i = |k - r|. S = pairwise sum of the taps' u; w_k = u / S;
// M = pairwise sum of w_k q_k; dw_k/ds = w_k (q_k - M). Both pairwise sums run over the taps in
// order, so the weights are symmetric bit for bit.
#pragma once

#include <cmath>
#include <cstdint>

#include "math/exp20.hpp"
#include "math/pairwise.hpp"

namespace vrel::image {

inline constexpr int64_t kMaxRadius = 32;
inline constexpr int kMaxTaps = 2 * kMaxRadius + 1;

// Weights w[0..n) and derivatives dw[0..n) of one sigma (dw may be null).
inline void gaussian_taps(double s, int r, double* w, double* dw) noexcept {
  const int n = 2 * r + 1;
  double u[kMaxRadius + 1];
  double q[kMaxRadius + 1];
  u[0] = 1.0;
  q[0] = 0.0;
  for (int i = 1; i <= r; ++i) {
    const double t = i / s;
    const double t2 = t * t;
    u[i] = math::exp20(-t2 / 2);
    q[i] = t2 / s;
  }
  auto offset = [r](std::size_t k) { return k > static_cast<std::size_t>(r) ? k - r : r - k; };
  const double total = math::pairwise_sum<double>(n, [&](std::size_t k) { return u[offset(k)]; });
  for (int k = 0; k < n; ++k) w[k] = u[offset(k)] / total;
  if (dw == nullptr) return;
  const double mean =
      math::pairwise_sum<double>(n, [&](std::size_t k) { return w[k] * q[offset(k)]; });
  for (int k = 0; k < n; ++k) {
    const double centred = q[offset(k)] - mean;
    dw[k] = centred == 0.0 ? 0.0 : w[k] * centred;
  }
}

// Forward: weights [count, n] (row per sigma), rounded to T.
template <typename T>
void gaussian_weights(const T* sigma, uint64_t count, int r, T* weights) noexcept {
  const int n = 2 * r + 1;
  double w[kMaxTaps];
  for (uint64_t j = 0; j < count; ++j) {
    gaussian_taps(static_cast<double>(sigma[j]), r, w, nullptr);
    for (int k = 0; k < n; ++k) weights[j * n + k] = static_cast<T>(w[k]);
  }
}

enum class GaussianFault { kNone, kProduct, kSum };

// Backward: grad_sigma[j] = pairwise sum over k of grad_weights[j, k] * dw_k/ds, the derivative
// rounded to T and the products and sums formed in T. A non-finite product or sum stops the
// pass (earlier sigma values are written).
template <typename T>
GaussianFault gaussian_weights_backward(const T* sigma, const T* grad_weights, uint64_t count,
                                        int r, T* grad_sigma) noexcept {
  const int n = 2 * r + 1;
  double w[kMaxTaps];
  double dw[kMaxTaps];
  T products[kMaxTaps];
  for (uint64_t j = 0; j < count; ++j) {
    gaussian_taps(static_cast<double>(sigma[j]), r, w, dw);
    for (int k = 0; k < n; ++k) {
      products[k] = grad_weights[j * n + k] * static_cast<T>(dw[k]);
      if (!std::isfinite(products[k])) return GaussianFault::kProduct;
    }
    // Once a partial sum overflows no later sum is finite, so the total tells.
    const T sum = math::pairwise_sum_inplace(products, static_cast<std::size_t>(n));
    if (!std::isfinite(sum)) return GaussianFault::kSum;
    grad_sigma[j] = sum;
  }
  return GaussianFault::kNone;
}

}  // namespace vrel::image
