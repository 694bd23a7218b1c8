// Animation kernels over typed pointers and counts. They know nothing of descriptors; the
// exports have checked every shape, index and alias rule before calling them. Float32 data are
// computed in float32 and float64 data in float64.
#pragma once

#include <cmath>
#include <cstdint>

#include "math/math.hpp"

namespace vrel::animation {

// ---- Rodrigues --------------------------------------------------------------------------------

// Below this squared angle the coefficients come from their Taylor series.
inline constexpr double kSeriesLimit = 0.00390625;  // 2^-8

// A = sin(theta)/theta, B = (1 - cos(theta))/theta^2 and their derivatives with respect to
// t = theta^2.
template <typename T>
struct RodriguesCoefficients {
  T a, b, da, db;
};

template <typename T>
RodriguesCoefficients<T> rodrigues_coefficients(T t) noexcept {
  RodriguesCoefficients<T> c;
  if (t <= T(kSeriesLimit)) {
    c.a = T(1) + t * (T(-1.0 / 6) + t * (T(1.0 / 120) + t * (T(-1.0 / 5040) + t * T(1.0 / 362880))));
    c.b = T(0.5) + t * (T(-1.0 / 24) + t * (T(1.0 / 720) + t * (T(-1.0 / 40320) + t * T(1.0 / 3628800))));
    c.da = T(-1.0 / 6) + t * (T(1.0 / 60) + t * (T(-1.0 / 1680) + t * T(1.0 / 90720)));
    c.db = T(-1.0 / 24) + t * (T(1.0 / 360) + t * (T(-1.0 / 13440) + t * T(1.0 / 907200)));
  } else {
    const T theta = math::sqrt(t);
    const T half_sine = std::sin(theta * T(0.5));
    c.a = std::sin(theta) / theta;
    c.b = T(2) * half_sine * half_sine / t;  // the half-angle form avoids 1 - cos cancellation
    c.da = (std::cos(theta) - c.a) / (T(2) * t);
    c.db = (c.a - T(2) * c.b) / (T(2) * t);
  }
  return c;
}

template <typename T>
T squared_norm(const T* v) noexcept {
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

// False when some vector's squared angle is not finite (nothing is written then).
template <typename T>
bool rodrigues_angles_finite(const T* axis_angle, uint64_t n) noexcept {
  for (uint64_t i = 0; i < n; ++i)
    if (!std::isfinite(squared_norm(axis_angle + 3 * i))) return false;
  return true;
}

// R = I + A K + B (v v^T - t I), row-major, for each of n vectors.
template <typename T>
void rodrigues_forward(const T* axis_angle, uint64_t n, T* out) noexcept {
  for (uint64_t i = 0; i < n; ++i) {
    const T* v = axis_angle + 3 * i;
    const T x = v[0], y = v[1], z = v[2];
    const T t = squared_norm(v);
    const RodriguesCoefficients<T> c = rodrigues_coefficients(t);
    T* r = out + 9 * i;
    r[0] = T(1) + c.b * (x * x - t);
    r[1] = -c.a * z + c.b * x * y;
    r[2] = c.a * y + c.b * x * z;
    r[3] = c.a * z + c.b * x * y;
    r[4] = T(1) + c.b * (y * y - t);
    r[5] = -c.a * x + c.b * y * z;
    r[6] = -c.a * y + c.b * x * z;
    r[7] = c.a * x + c.b * y * z;
    r[8] = T(1) + c.b * (z * z - t);
  }
}

// grad[k] = sum_ij G_ij dR_ij/dv_k with
// dR/dv_k = A dK/dv_k + 2 v_k A' K + B (e_k v^T + v e_k^T - 2 v_k I) + 2 v_k B' (v v^T - t I).
// Contracted with G: A s_k + 2 v_k A' <G,K> + B ((G v)_k + (G^T v)_k - 2 v_k tr G)
// + 2 v_k B' (v^T G v - t tr G), where s = (G21 - G12, G02 - G20, G10 - G01).
template <typename T>
void rodrigues_backward(const T* axis_angle, const T* grad_out, uint64_t n, T* grad) noexcept {
  for (uint64_t i = 0; i < n; ++i) {
    const T* v = axis_angle + 3 * i;
    const T* g = grad_out + 9 * i;
    const T t = squared_norm(v);
    const RodriguesCoefficients<T> c = rodrigues_coefficients(t);
    const T s[3] = {g[7] - g[5], g[2] - g[6], g[3] - g[1]};
    const T gk = v[0] * s[0] + v[1] * s[1] + v[2] * s[2];
    const T trace = g[0] + g[4] + g[8];
    T gv[3], gtv[3];
    for (int r = 0; r < 3; ++r) {
      gv[r] = g[3 * r] * v[0] + g[3 * r + 1] * v[1] + g[3 * r + 2] * v[2];
      gtv[r] = g[r] * v[0] + g[3 + r] * v[1] + g[6 + r] * v[2];
    }
    const T vgv = v[0] * gv[0] + v[1] * gv[1] + v[2] * gv[2];
    const T gs = vgv - t * trace;
    for (int k = 0; k < 3; ++k) {
      const T two_vk = T(2) * v[k];
      grad[3 * i + k] = c.a * s[k] + two_vk * c.da * gk +
                        c.b * (gv[k] + gtv[k] - two_vk * trace) + two_vk * c.db * gs;
    }
  }
}

// ---- Forward kinematics -----------------------------------------------------------------------

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
          gl[16 * j + 4 * r + c] = wp[r] * g[c] + wp[4 + r] * g[4 + c] + wp[8 + r] * g[8 + c] +
                                   wp[12 + r] * g[12 + c];
          gp[4 * r + c] += g[4 * r] * lj[4 * c] + g[4 * r + 1] * lj[4 * c + 1] +
                           g[4 * r + 2] * lj[4 * c + 2] + g[4 * r + 3] * lj[4 * c + 3];
        }
    }
  }
}

// ---- Blend shapes -----------------------------------------------------------------------------

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

// ---- Linear blend skinning --------------------------------------------------------------------

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
void skin_forward(const T* vertices, const T* transforms, const T* weights, int64_t batch,
                  int64_t rows, int64_t joints, T* out) noexcept {
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
void skin_weight_gradients(const T* vertices, const T* transforms, const T* grad, int64_t batch,
                           int64_t rows, int64_t joints, T* grad_weights) noexcept {
  constexpr int64_t kJoints = 64, kRows = 32;
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
// products (row 3 stays zero); weight gradients by skin_weight_gradients. Vertices are the outer
// loop, so every sum still runs over v and b ascending.
template <typename T>
void skin_backward(const T* vertices, const T* transforms, const T* weights, const T* grad,
                   int64_t batch, int64_t rows, int64_t joints, T* grad_vertices,
                   T* grad_transforms, T* grad_weights) noexcept {
  if (grad_transforms != nullptr)
    for (int64_t e = 0; e < batch * joints * 16; ++e) grad_transforms[e] = T(0);
  if (grad_weights != nullptr)
    skin_weight_gradients(vertices, transforms, grad, batch, rows, joints, grad_weights);
  if (grad_vertices == nullptr && grad_transforms == nullptr) return;
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

// ---- Barycentric evaluation -------------------------------------------------------------------

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
