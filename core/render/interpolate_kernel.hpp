// Barycentric interpolation of per-corner face attributes and its backward pass over typed,
// validated arrays.
#pragma once

#include <cstdint>

namespace vrel::render {

template <typename T>
struct Interpolation {
  const int32_t* face_index;  // [N]
  const T* barycentric;       // [N,3]
  const T* face_attributes;   // [F,3,C]
  int64_t fragments;          // N
  int64_t face_count;         // F
  int64_t channels;           // C
  T* attributes;              // [N,C]
};

// Writes fragments in order; returns false at the first face index >= F (earlier fragments
// written, later ones untouched).
template <typename T>
bool interpolate(const Interpolation<T>& problem) noexcept;

template <typename T>
struct InterpolationGradients {
  const int32_t* face_index;  // [N]
  const T* barycentric;       // [N,3]
  const T* face_attributes;   // [F,3,C]
  const T* grad_attributes;   // [N,C]
  int64_t fragments, face_count, channels;
  T* grad_barycentric;      // [N,3] or null
  T* grad_face_attributes;  // [F,3,C] or null
};

// Clears the given outputs and accumulates fragment by fragment; false at the first face index
// >= F, leaving the outputs partly accumulated.
template <typename T>
bool interpolate_gradients(const InterpolationGradients<T>& problem) noexcept;

}  // namespace vrel::render
