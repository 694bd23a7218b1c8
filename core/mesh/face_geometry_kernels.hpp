// Face geometry kernels: unit normal, area and validity per face, and their vertex gradient.
#pragma once

#include <cstdint>
#include <cstring>

#include "math/geometry.hpp"

namespace vrel::mesh {

using namespace vrel::math;  // Vec3, Triangle and the generator

// normals [F,3] = n / L, areas [F] = L / 2, valid [F] = 1 for faces with eps < L; zeros otherwise.
template <typename T>
void face_geometry(const T* vertices, const int32_t* faces, int64_t face_count, double eps,
                   T* normals, T* areas, uint8_t* valid) noexcept {
  for (int64_t f = 0; f < face_count; ++f) {
    const Triangle<T> t = triangle(vertices, faces, f);
    if (t.valid(eps)) {
      store3(normals, f, t.n / t.length);
      areas[f] = t.length * T(0.5);
      valid[f] = 1;
    } else {
      store3(normals, f, Vec3<T>{0, 0, 0});
      areas[f] = 0;
      valid[f] = 0;
    }
  }
}

// Clears grad_vertices [V,3] and accumulates, face by face, the cotangents of the unit normal
// (grad_normals, may be null) and of the area (grad_areas, may be null) of every valid face.
template <typename T>
void face_geometry_backward(const T* vertices, const int32_t* faces, int64_t vertex_count,
                            int64_t face_count, double eps, const T* grad_normals,
                            const T* grad_areas, T* grad_vertices) noexcept {
  std::memset(grad_vertices, 0, sizeof(T) * 3 * static_cast<std::size_t>(vertex_count));
  for (int64_t f = 0; f < face_count; ++f) {
    const Triangle<T> t = triangle(vertices, faces, f);
    if (!t.valid(eps)) continue;
    const Vec3<T> u = t.n / t.length;
    const Vec3<T> g = grad_normals ? load3(grad_normals, f) : Vec3<T>{0, 0, 0};
    const T a = grad_areas ? grad_areas[f] : T(0);
    const T dot = (g.y * u.y + g.x * u.x) + g.z * u.z;
    const Vec3<T> G = (g - u * dot) / t.length + u * (a * T(0.5));
    scatter_normal_cotangent(t, G, grad_vertices);
  }
}

}  // namespace vrel::mesh
