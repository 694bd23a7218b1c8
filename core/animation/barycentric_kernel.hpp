// The kernel of barycentric landmark evaluation and its gradients, over typed pointers and counts.
// It knows nothing of descriptors; the exports have checked every shape, index and alias rule
// before calling it. Float32 data are computed in float32 and float64 data in float64.
#pragma once

#include <cstdint>

namespace vrel::animation {

// out[b][l] = w0 p[i0] + w1 p[i1] + w2 p[i2].
template <typename T>
void barycentric_forward(const T* vertices, const int32_t* faces, const int32_t* face_index,
                         const T* bary, int64_t batch, int64_t rows, int64_t landmarks,
                         T* out) noexcept {
  for (int64_t b = 0; b < batch; ++b) {
    const T* vb = vertices + b * rows * 3;
    for (int64_t l = 0; l < landmarks; ++l) {
      const int32_t* f = faces + 3 * static_cast<int64_t>(face_index[l]);
      const T* w = bary + 3 * l;
      const T* p0 = vb + 3 * static_cast<int64_t>(f[0]);
      const T* p1 = vb + 3 * static_cast<int64_t>(f[1]);
      const T* p2 = vb + 3 * static_cast<int64_t>(f[2]);
      T* o = out + (b * landmarks + l) * 3;
      for (int c = 0; c < 3; ++c) o[c] = w[0] * p0[c] + w[1] * p1[c] + w[2] * p2[c];
    }
  }
}

// The vertex gradient is the per-vertex sum over landmarks (ascending) and corners (ascending)
// of w_k G[b][l]. Scattering over the landmarks in that same order after clearing adds the same
// terms to every vertex in the same order, so it equals the per-vertex gather bit for bit at a
// cost of B x L instead of B x V x L.
template <typename T>
void barycentric_backward(const T* vertices, const int32_t* faces, const int32_t* face_index,
                          const T* bary, const T* grad, int64_t batch, int64_t rows,
                          int64_t landmarks, T* grad_vertices, T* grad_bary) noexcept {
  if (grad_vertices != nullptr) {
    for (int64_t e = 0; e < batch * rows * 3; ++e) grad_vertices[e] = T(0);
    for (int64_t b = 0; b < batch; ++b) {
      T* gb = grad_vertices + b * rows * 3;
      for (int64_t l = 0; l < landmarks; ++l) {
        const int32_t* f = faces + 3 * static_cast<int64_t>(face_index[l]);
        const T* g = grad + (b * landmarks + l) * 3;
        for (int k = 0; k < 3; ++k) {
          const T w = bary[3 * l + k];
          T* gv = gb + 3 * static_cast<int64_t>(f[k]);
          for (int c = 0; c < 3; ++c) gv[c] += w * g[c];
        }
      }
    }
  }
  if (grad_bary != nullptr) {
    for (int64_t e = 0; e < landmarks * 3; ++e) grad_bary[e] = T(0);
    for (int64_t b = 0; b < batch; ++b) {
      const T* vb = vertices + b * rows * 3;
      for (int64_t l = 0; l < landmarks; ++l) {
        const int32_t* f = faces + 3 * static_cast<int64_t>(face_index[l]);
        const T* g = grad + (b * landmarks + l) * 3;
        for (int k = 0; k < 3; ++k) {
          const T* p = vb + 3 * static_cast<int64_t>(f[k]);
          grad_bary[3 * l + k] += g[0] * p[0] + g[1] * p[1] + g[2] * p[2];
        }
      }
    }
  }
}

}  // namespace vrel::animation
