// Coverage kernel: the area of the union of all triangles inside every pixel, and its
// vector-Jacobian product with respect to the vertex x and y coordinates.
#pragma once

#include <cstdint>

#include "opaque/candidates.hpp"
#include "opaque/pixel_rule.hpp"

namespace vrel::opaque {

// How a kernel ended; every failure leaves the outputs invalid.
enum class Outcome {
  kOk,
  kCandidates,    // a pixel has more than 32 candidate faces
  kCapacity,      // an evaluation ran out of polygon, bank or step capacity, or was not finite
  kDerivative,    // the same, in a seeded (derivative) evaluation
  kAccumulation,  // an accumulated output is not finite
};

// The coverage workspace: two banks of 128 polygons, 32 triangles, 32 candidate face indices.
inline constexpr uint64_t kCoverageWorkspaceBytes = 596992;

struct CoverageWorkspace {
  ClipPolygon* bank_a;
  ClipPolygon* bank_b;
  CoverageTriangle* triangles;
  int64_t* candidates;
};

// The regions of an 8-byte aligned block of kCoverageWorkspaceBytes.
CoverageWorkspace coverage_workspace(void* data) noexcept;

// Fills `coverage` [H,W]. `binned` selects the binned candidate scan (same candidates).
template <typename T>
Outcome coverage(const T* vertices, const int32_t* faces, int64_t face_count, const Image& image,
                 T* out, const CoverageWorkspace& ws, bool binned = true) noexcept;

// Fills `vertex_grad` [V,3] (z column zero) from the cotangent `gradient` [H,W], one seeded
// re-evaluation per distinct vertex coordinate of each pixel's candidates.
template <typename T>
Outcome coverage_backward(const T* vertices, int64_t vertex_count, const int32_t* faces,
                          int64_t face_count, const Image& image, const T* gradient, T* vertex_grad,
                          const CoverageWorkspace& ws, bool binned = true) noexcept;

// The pixel-local corners of face `f` for the pixel with lower corner (u, o).
template <typename T>
inline LocalFace local_face(const T* vertices, const int32_t* faces, int64_t f, double u,
                            double o) noexcept {
  LocalFace face;
  for (int k = 0; k < 3; ++k) {
    const int64_t v = faces[3 * f + k];
    face.vertex[k] = v;
    face.x[k] = static_cast<double>(vertices[3 * v]) - u;
    face.y[k] = static_cast<double>(vertices[3 * v + 1]) - o;
    face.z[k] = static_cast<double>(vertices[3 * v + 2]);
  }
  return face;
}

// The distinct vertices of the candidates' corners in first-appearance order; their number.
inline int32_t distinct_vertices(const int32_t* faces, const int64_t* candidates, int32_t n,
                                 int64_t* out) noexcept {
  int32_t count = 0;
  for (int32_t k = 0; k < n; ++k)
    for (int c = 0; c < 3; ++c) {
      const int64_t v = faces[3 * candidates[k] + c];
      bool seen = false;
      for (int32_t q = 0; q < count && !seen; ++q) seen = out[q] == v;
      if (!seen) out[count++] = v;
    }
  return count;
}

}  // namespace vrel::opaque
