// Face gathering kernels: corner positions per face and the scatter of their cotangents.
#pragma once

#include <cstdint>
#include <cstring>

#include "math/geometry.hpp"

namespace vrel::mesh {

using namespace vrel::math;  // Vec3, Triangle and the generator

// face_vertices[f][k] = vertices[faces[f][k]].
template <typename T>
void gather_faces(const T* vertices, const int32_t* faces, int64_t face_count,
                  T* face_vertices) noexcept {
  for (int64_t c = 0; c < face_count * 3; ++c) store3(face_vertices, c, load3(vertices, faces[c]));
}

// Clears grad_vertices [V,3], then adds grad_face_vertices[f][k] to row faces[f][k], corner by
// corner in face order.
template <typename T>
void gather_faces_backward(const int32_t* faces, int64_t vertex_count, int64_t face_count,
                           const T* grad_face_vertices, T* grad_vertices) noexcept {
  std::memset(grad_vertices, 0, sizeof(T) * 3 * static_cast<std::size_t>(vertex_count));
  for (int64_t c = 0; c < face_count * 3; ++c)
    add3(grad_vertices, faces[c], load3(grad_face_vertices, c));
}

}  // namespace vrel::mesh
