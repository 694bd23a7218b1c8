// Vertex normal kernels: area- or uniformly-weighted sums of face normals, normalised, and the
// vertex gradient of that normalisation.
#pragma once

#include <cstdint>
#include <cstring>

#include "math/geometry.hpp"
#include "vrel/vrel.h"

namespace vrel::mesh {

using namespace vrel::math;  // Vec3, Triangle and the generator

// Accumulates into sums [V,3] (already cleared) the contribution of every valid face to its
// corners i0, i1, i2 in that order: n / 2 for area weighting, n / L for uniform weighting.
template <typename T>
void accumulate_face_normals(const T* vertices, const int32_t* faces, int64_t face_count,
                             double eps, uint32_t weighting, T* sums) noexcept {
  for (int64_t f = 0; f < face_count; ++f) {
    const Triangle<T> t = triangle(vertices, faces, f);
    if (!t.valid(eps)) continue;
    const Vec3<T> c = weighting == VREL_MESH_WEIGHTING_AREA ? t.n * T(0.5) : t.n / t.length;
    add3(sums, t.i0, c);
    add3(sums, t.i1, c);
    add3(sums, t.i2, c);
  }
}

// normals [V,3]: S / |S| for every vertex whose sum S has eps < |S|, else (0, 0, 0).
template <typename T>
void vertex_normals(const T* vertices, const int32_t* faces, int64_t vertex_count,
                    int64_t face_count, double eps, uint32_t weighting, T* normals) noexcept {
  std::memset(normals, 0, sizeof(T) * 3 * static_cast<std::size_t>(vertex_count));
  accumulate_face_normals(vertices, faces, face_count, eps, weighting, normals);
  for (int64_t v = 0; v < vertex_count; ++v) {
    const Vec3<T> s = load3(normals, v);
    const T m = length(s);
    store3(normals, v, eps < static_cast<double>(m) ? s / m : Vec3<T>{0, 0, 0});
  }
}

// grad_vertices [V,3] for the cotangent grad_normals [V,3]; sums is scratch of V*3 elements.
// Pass 1 recomputes the sums S; pass 2 turns each into the cotangent of S, (g - s (g.s)) / |S|;
// pass 3 carries, face by face, the sum of its corners' cotangents back through the face's
// contribution to the vertices.
template <typename T>
void vertex_normals_backward(const T* vertices, const int32_t* faces, int64_t vertex_count,
                             int64_t face_count, double eps, uint32_t weighting,
                             const T* grad_normals, T* grad_vertices, T* sums) noexcept {
  const std::size_t bytes = sizeof(T) * 3 * static_cast<std::size_t>(vertex_count);
  std::memset(sums, 0, bytes);
  std::memset(grad_vertices, 0, bytes);
  accumulate_face_normals(vertices, faces, face_count, eps, weighting, sums);
  for (int64_t v = 0; v < vertex_count; ++v) {
    const Vec3<T> s = load3(sums, v);
    const T m = length(s);
    if (!(eps < static_cast<double>(m))) {
      store3(sums, v, Vec3<T>{0, 0, 0});
      continue;
    }
    const Vec3<T> u = s / m;
    const Vec3<T> g = load3(grad_normals, v);
    const T dot = g.x * u.x + g.y * u.y + g.z * u.z;
    store3(sums, v, (g - u * dot) / m);
  }
  for (int64_t f = 0; f < face_count; ++f) {
    const Triangle<T> t = triangle(vertices, faces, f);
    if (!t.valid(eps)) continue;
    Vec3<T> g = load3(sums, t.i0) + load3(sums, t.i1) + load3(sums, t.i2);
    if (weighting == VREL_MESH_WEIGHTING_AREA) {
      g = g * T(0.5);
    } else {
      const Vec3<T> u = t.n / t.length;
      const T dot = u.x * g.x + u.y * g.y + u.z * g.z;
      g = (g - u * dot) / t.length;
    }
    scatter_normal_cotangent(t, g, grad_vertices);
  }
}

}  // namespace vrel::mesh
