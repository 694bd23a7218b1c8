// The kernel of forward kinematics and its reverse pass, over typed pointers and counts. It knows
// nothing of descriptors; the exports have checked every shape, index and alias rule before
// calling it. Float32 data are computed in float32 and float64 data in float64.
#pragma once

#include <cmath>
#include <cstdint>

namespace vrel::animation {

enum class OrderFault { kNone, kParent, kCycle };

// Parent rule, then the evaluation order: at every step the lowest-index joint not yet visited
// whose parent is a root marker or visited. O(J^2), deterministic.
inline OrderFault evaluation_order(const int32_t* parents, int64_t joints, int32_t* order,
                                   int32_t* visited) noexcept {
  for (int64_t j = 0; j < joints; ++j)
    if (parents[j] < -1 || parents[j] >= joints || parents[j] == j) return OrderFault::kParent;
  for (int64_t j = 0; j < joints; ++j) visited[j] = 0;
  for (int64_t step = 0; step < joints; ++step) {
    int64_t pick = -1;
    for (int64_t j = 0; j < joints && pick < 0; ++j)
      if (!visited[j] && (parents[j] == -1 || visited[parents[j]])) pick = j;
    if (pick < 0) return OrderFault::kCycle;
    order[step] = static_cast<int32_t>(pick);
    visited[pick] = 1;
  }
  return OrderFault::kNone;
}

// c = a x b for row-major 4x4 matrices; false when a product element is not finite.
template <typename T>
bool product4(const T* a, const T* b, T* c) noexcept {
  bool ok = true;
  for (int r = 0; r < 4; ++r)
    for (int col = 0; col < 4; ++col) {
      const T value = a[4 * r] * b[col] + a[4 * r + 1] * b[4 + col] + a[4 * r + 2] * b[8 + col] +
                      a[4 * r + 3] * b[12 + col];
      c[4 * r + col] = value;
      ok = ok && std::isfinite(value);
    }
  return ok;
}

// World transforms of every batch element into `world`, joints in `order`. False on a product
// that is not finite.
template <typename T>
bool fk_world(const T* local, const int32_t* parents, const int32_t* order, int64_t batch,
              int64_t joints, T* world) noexcept {
  for (int64_t b = 0; b < batch; ++b) {
    const T* l = local + b * joints * 16;
    T* w = world + b * joints * 16;
    for (int64_t i = 0; i < joints; ++i) {
      const int32_t j = order[i];
      const int32_t p = parents[j];
      if (p < 0) {
        for (int e = 0; e < 16; ++e) {
          w[16 * j + e] = l[16 * j + e];
          if (!std::isfinite(w[16 * j + e])) return false;
        }
      } else if (!product4(w + 16 * p, l + 16 * j, w + 16 * j)) {
        return false;
      }
    }
  }
  return true;
}

// Reverse pass: Gw[j] = G[j] + sum over children c of Gw[c] L[c]^T (in `world_grad`), and
// grad_local[j] = Gw[j] for a root, W[p]^T Gw[j] otherwise.
template <typename T>
void fk_backward(const T* local, const int32_t* parents, const int32_t* order, const T* world,
                 const T* grad_world, int64_t batch, int64_t joints, T* world_grad,
                 T* grad_local) noexcept {
  const int64_t n = batch * joints * 16;
  for (int64_t e = 0; e < n; ++e) world_grad[e] = grad_world[e];
  for (int64_t b = 0; b < batch; ++b) {
    const T* l = local + b * joints * 16;
    const T* w = world + b * joints * 16;
    T* gw = world_grad + b * joints * 16;
    T* gl = grad_local + b * joints * 16;
    for (int64_t i = joints; i-- > 0;) {
      const int32_t j = order[i];
      const int32_t p = parents[j];
      const T* g = gw + 16 * j;
      if (p < 0) {
        for (int e = 0; e < 16; ++e) gl[16 * j + e] = g[e];
        continue;
      }
      const T* wp = w + 16 * p;
      const T* lj = l + 16 * j;
      T* gp = gw + 16 * p;
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
          gl[16 * j + 4 * r + c] =
              wp[r] * g[c] + wp[4 + r] * g[4 + c] + wp[8 + r] * g[8 + c] + wp[12 + r] * g[12 + c];
          gp[4 * r + c] += g[4 * r] * lj[4 * c] + g[4 * r + 1] * lj[4 * c + 1] +
                           g[4 * r + 2] * lj[4 * c + 2] + g[4 * r + 3] * lj[4 * c + 3];
        }
    }
  }
}

}  // namespace vrel::animation
