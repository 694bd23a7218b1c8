// Vector-Jacobian product of rasterization over typed, validated arrays.
#pragma once

#include <cstdint>

namespace vrel::render {

template <typename T>
struct RasterGradients {
  const T* vertices;     // [V,3] NDC
  const int32_t* faces;  // [F,3]
  int64_t vertex_count;  // V
  int64_t face_count;    // F
  int64_t fragments;     // B*H*W*K
  int64_t height, width, layers;
  const int32_t* face_index;      // [B,H,W,K]
  const T* grad_barycentric;      // [B,H,W,K,3] or null
  const T* grad_depth;            // [B,H,W,K] or null
  const T* grad_signed_distance;  // [B,H,W,K] or null
  T* grad_vertices;               // [V,3]
};

enum class GradientFault { kNone, kFaceRange, kVertexRange };

// Clears grad_vertices and adds each fragment's contribution in C order. Stops at the first
// fragment whose face or face corner is out of range, leaving grad_vertices partly accumulated.
template <typename T>
GradientFault rasterize_gradients(const RasterGradients<T>& problem) noexcept;

}  // namespace vrel::render
