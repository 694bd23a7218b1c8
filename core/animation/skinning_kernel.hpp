// The kernel of linear blend skinning and its gradients, over typed pointers and counts. It knows
// nothing of descriptors; the exports have checked every shape, index and alias rule before
// calling it. Float32 data are computed in float32 and float64 data in float64.
#pragma once

#include <cstdint>

#include "math/isa.hpp"

namespace vrel::animation {

// Row r (< 3) of the 4x4 transform m applied to (p, 1).
template <typename T>
inline T affine_row(const T* m, int r, const T* p) noexcept {
  return m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3];
}

// One vertex's nonzero skinning weights, joints ascending. A zero weight adds nothing (its
// products are signed zeros), so it is skipped; rigs have a few nonzero weights per vertex. The
// weights are shared by the batch, so the list is built once per vertex. A vertex with more than
// kCapacity nonzero weights keeps the full row instead (same terms, same order).
template <typename T>
struct VertexWeights {
  static constexpr int kCapacity = 32;
  int32_t joint[kCapacity];
  T weight[kCapacity];
  int count = 0;
  bool listed = true;
  const T* row;
  int64_t joints;

  VertexWeights(const T* weights_row, int64_t joint_count) noexcept
      : row(weights_row), joints(joint_count) {
    for (int64_t j = 0; j < joints; ++j) {
      if (row[j] == T(0)) continue;
      if (count == kCapacity) {
        listed = false;
        return;
      }
      joint[count] = static_cast<int32_t>(j);
      weight[count++] = row[j];
    }
  }

  // Calls f(j, w) for every nonzero weight, joints ascending.
  template <typename F>
  void each(F&& f) const noexcept {
    if (listed) {
      for (int i = 0; i < count; ++i) f(joint[i], weight[i]);
    } else {
      for (int64_t j = 0; j < joints; ++j)
        if (row[j] != T(0)) f(j, row[j]);
    }
  }

  // The weighted sum of the first three rows of the joints' transforms.
  void blend(const T* transforms, T* m) const noexcept {
    for (int e = 0; e < 12; ++e) m[e] = T(0);
    each([&](int64_t j, T w) {
      const T* t = transforms + 16 * j;
      for (int e = 0; e < 12; ++e) m[e] += w * t[e];
    });
  }
};

// out[b][v] = sum over joints of weights[v][j] T[b][j] (p, 1), formed as the blended transform
// applied to (p, 1).
template <typename T>
[[gnu::always_inline]] inline void skin_forward(const T* vertices, const T* transforms,
                                                const T* weights, int64_t batch, int64_t rows,
                                                int64_t joints, T* out) noexcept {
  for (int64_t v = 0; v < rows; ++v) {
    const VertexWeights<T> w(weights + v * joints, joints);
    for (int64_t b = 0; b < batch; ++b) {
      const T* p = vertices + (b * rows + v) * 3;
      T m[12];
      w.blend(transforms + b * joints * 16, m);
      T* o = out + (b * rows + v) * 3;
      for (int r = 0; r < 3; ++r) o[r] = affine_row(m, r, p);
    }
  }
}

// Weight gradients g . (T (p, 1)) for every joint, summed over the batch ascending. Blocked for
// the vector units: the first three rows of a block of joints' transforms are transposed onto the
// stack (one array per matrix element), so that a vertex's gradients for the whole block are one
// straight loop over joints. For each (v, j) the batch still runs ascending and every term is
// formed by the same operations in the same order as g0 (T0 . (p, 1)) + g1 (...) + g2 (...).
template <typename T>
[[gnu::always_inline]] inline void skin_weight_gradients(const T* vertices, const T* transforms,
                                                         const T* grad, int64_t batch, int64_t rows,
                                                         int64_t joints, T* grad_weights) noexcept {
  constexpr int64_t kJoints = 64, kRows = 128;
  alignas(64) T m[12][kJoints];
  for (int64_t e = 0; e < rows * joints; ++e) grad_weights[e] = T(0);
  for (int64_t v0 = 0; v0 < rows; v0 += kRows) {
    const int64_t v1 = v0 + kRows < rows ? v0 + kRows : rows;
    for (int64_t b = 0; b < batch; ++b) {
      for (int64_t j0 = 0; j0 < joints; j0 += kJoints) {
        const int64_t n = j0 + kJoints < joints ? kJoints : joints - j0;
        const T* tb = transforms + (b * joints + j0) * 16;
        for (int64_t j = 0; j < n; ++j)
          for (int e = 0; e < 12; ++e) m[e][j] = tb[16 * j + e];
        for (int64_t v = v0; v < v1; ++v) {
          const T* p = vertices + (b * rows + v) * 3;
          const T* g = grad + (b * rows + v) * 3;
          const T p0 = p[0], p1 = p[1], p2 = p[2], g0 = g[0], g1 = g[1], g2 = g[2];
          T* gw = grad_weights + v * joints + j0;
          for (int64_t j = 0; j < n; ++j) {
            const T r0 = m[0][j] * p0 + m[1][j] * p1 + m[2][j] * p2 + m[3][j];
            const T r1 = m[4][j] * p0 + m[5][j] * p1 + m[6][j] * p2 + m[7][j];
            const T r2 = m[8][j] * p0 + m[9][j] * p1 + m[10][j] * p2 + m[11][j];
            gw[j] += g0 * r0 + g1 * r1 + g2 * r2;
          }
        }
      }
    }
  }
}

// Vertex gradients from the blended transform, M^T g; transform gradients as weighted outer
// products, added to grad_transforms (rows 0..2). Vertices are the outer loop, so every sum
// still runs over v and b ascending. Either output may be null.
template <typename T>
[[gnu::always_inline]] inline void skin_vertex_transform_gradients(
    const T* vertices, const T* transforms, const T* weights, const T* grad, int64_t batch,
    int64_t rows, int64_t joints, T* grad_vertices, T* grad_transforms) noexcept {
  for (int64_t v = 0; v < rows; ++v) {
    const VertexWeights<T> w(weights + v * joints, joints);
    for (int64_t b = 0; b < batch; ++b) {
      const T* tb = transforms + b * joints * 16;
      const T* p = vertices + (b * rows + v) * 3;
      const T* g = grad + (b * rows + v) * 3;
      if (grad_vertices != nullptr) {
        T m[12];
        w.blend(tb, m);
        T* o = grad_vertices + (b * rows + v) * 3;
        for (int c = 0; c < 3; ++c) o[c] = m[c] * g[0] + m[4 + c] * g[1] + m[8 + c] * g[2];
      }
      if (grad_transforms != nullptr) {
        w.each([&](int64_t j, T weight) {
          T* gm = grad_transforms + (b * joints + j) * 16;
          for (int r = 0; r < 3; ++r) {
            const T wg = weight * g[r];
            gm[4 * r] += wg * p[0];
            gm[4 * r + 1] += wg * p[1];
            gm[4 * r + 2] += wg * p[2];
            gm[4 * r + 3] += wg;
          }
        });
      }
    }
  }
}

// The kernels above in the given instruction-set build, which the processor must support. Every
// build gives the same results: each runs the same operations in the same order (the vector
// lanes are independent elements) and none fuses a multiply and an add.
template <typename T>
void skin_forward_isa(const T* vertices, const T* transforms, const T* weights, int64_t batch,
                      int64_t rows, int64_t joints, T* out, math::Isa isa) noexcept;
template <typename T>
void skin_weight_gradients_isa(const T* vertices, const T* transforms, const T* grad, int64_t batch,
                               int64_t rows, int64_t joints, T* grad_weights,
                               math::Isa isa) noexcept;
template <typename T>
void skin_vertex_transform_gradients_isa(const T* vertices, const T* transforms, const T* weights,
                                         const T* grad, int64_t batch, int64_t rows, int64_t joints,
                                         T* grad_vertices, T* grad_transforms,
                                         math::Isa isa) noexcept;

// The skinning backward in the widest build: grad_transforms cleared (row 3 stays zero), then
// each requested gradient.
template <typename T>
void skin_backward(const T* vertices, const T* transforms, const T* weights, const T* grad,
                   int64_t batch, int64_t rows, int64_t joints, T* grad_vertices,
                   T* grad_transforms, T* grad_weights) noexcept {
  const math::Isa isa = math::best_isa();
  if (grad_transforms != nullptr)
    for (int64_t e = 0; e < batch * joints * 16; ++e) grad_transforms[e] = T(0);
  if (grad_weights != nullptr)
    skin_weight_gradients_isa(vertices, transforms, grad, batch, rows, joints, grad_weights, isa);
  if (grad_vertices != nullptr || grad_transforms != nullptr)
    skin_vertex_transform_gradients_isa(vertices, transforms, weights, grad, batch, rows, joints,
                                        grad_vertices, grad_transforms, isa);
}

}  // namespace vrel::animation
