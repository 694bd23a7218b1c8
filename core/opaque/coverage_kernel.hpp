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

// Fills `vertex_grad` [V,3] (z column zero) from the cotangent `gradient` [H,W]: the derivative
// of each pixel's coverage with respect to every distinct vertex coordinate of its candidates.
// `one_pass` evaluates kLanes coordinates per evaluation (Tangents); otherwise, and for a pixel
// whose pieces do not fit the tangent banks, one seeded evaluation per coordinate. Both give the
// same bits unless two points of a pixel coincide in value.
template <typename T>
Outcome coverage_backward(const T* vertices, int64_t vertex_count, const int32_t* faces,
                          int64_t face_count, const Image& image, const T* gradient, T* vertex_grad,
                          const CoverageWorkspace& ws, bool binned = true,
                          bool one_pass = true) noexcept;

// Coordinates evaluated together by the one-pass backward.
inline constexpr int kLanes = 8;
using Bundle = Tangents<kLanes>;

// Carves, from `bytes` bytes at `base` (8-byte aligned), `triangles` records of type Triangle,
// optional weights, three spare polygons and two banks of Tangents polygons as large as fit.
template <typename Triangle>
struct TangentScratch {
  Triangle* triangles;
  Bundle (*weights)[3];
  PixelScratchOf<Bundle> pixel;
};

template <typename Triangle>
inline TangentScratch<Triangle> tangent_scratch(void* base, uint64_t bytes) noexcept {
  auto* p = static_cast<unsigned char*>(base);
  TangentScratch<Triangle> t;
  t.triangles = reinterpret_cast<Triangle*>(p);
  p += kCandidateCapacity * sizeof(Triangle);
  t.weights = reinterpret_cast<Bundle(*)[3]>(p);
  p += kCandidateCapacity * 3 * sizeof(Bundle);
  auto* polygons = reinterpret_cast<PolygonOf<Bundle>*>(p);
  const uint64_t used = static_cast<uint64_t>(p - static_cast<unsigned char*>(base));
  const uint64_t room = (bytes - used) / sizeof(PolygonOf<Bundle>);
  const int32_t capacity = static_cast<int32_t>((room - 3) / 2);
  t.pixel = {polygons + 3, polygons + 3 + capacity, capacity, polygons};
  return t;
}

// The seeds of one pixel's derivatives in order: each distinct vertex, then its axes.
inline int32_t pixel_seeds(const int64_t* distinct, int32_t count, int axes,
                           int64_t* seeds) noexcept {
  int32_t n = 0;
  for (int32_t q = 0; q < count; ++q)
    for (int axis = 0; axis < axes; ++axis) seeds[n++] = 3 * distinct[q] + axis;
  return n;
}

// The lanes of seeds [first, first + kLanes), kNoSeed past `count`.
inline Seeds<kLanes> lanes_of(const int64_t* seeds, int32_t first, int32_t count) noexcept {
  Seeds<kLanes> lanes;
  for (int l = 0; l < kLanes; ++l) lanes.lane[l] = first + l < count ? seeds[first + l] : kNoSeed;
  return lanes;
}

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

// The candidates of one pixel in pixel-local coordinates, and which pairs cannot overlap.
struct PixelFaces {
  LocalFace faces[kCandidateCapacity];
  int32_t count;
  Separation apart;
};

template <typename T>
inline PixelFaces pixel_faces(const T* vertices, const int32_t* faces, const int64_t* candidates,
                              int32_t n, double u, double o) noexcept {
  PixelFaces p;
  p.count = n;
  for (int32_t k = 0; k < n; ++k) p.faces[k] = local_face(vertices, faces, candidates[k], u, o);
  p.apart = separation(p.faces, n);
  return p;
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
