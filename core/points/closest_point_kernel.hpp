// Closest point on triangle meshes and its backward pass over typed, validated arrays.
#pragma once

#include <cstdint>

#include "points/isa.hpp"

namespace vrel::points {

// The closest point of a triangle to p: its corner weights (faces order) and the region code
// (VREL_POINTS_REGION_*) of the test that found it. Double precision throughout.
struct TriangleHit {
  double wa, wb, wc;
  uint32_t region;
};
TriangleHit closest_on_triangle(const double p[3], const double a[3], const double b[3],
                                const double c[3]) noexcept;

template <typename T>
struct ClosestProblem {
  const T* points;               // [P,3]
  const T* vertices;             // [V,3]
  const int32_t* faces;          // [F,3], rows of the point's own batch element
  const int32_t* point_offsets;  // [B+1]
  const int32_t* face_offsets;   // [B+1]
  int64_t batch;
  double eps;           // faces with doubled area <= eps are skipped
  T* distance_squared;  // [P]
  int32_t* face_index;  // [P]
  T* barycentric;       // [P,3]
  T* closest;           // [P,3]
  uint8_t* valid;       // [P]
};

// Exhaustive search over the faces of each point's batch element in ascending row order; a
// strictly smaller squared distance replaces the best.
template <typename T>
void closest_point_search(const ClosestProblem<T>& problem) noexcept;
// One instruction-set build of the search, for the tests: each must give the same result.
template <typename T>
void closest_point_search(const ClosestProblem<T>& problem, Isa isa) noexcept;

// The indexed search: a bounding-volume hierarchy over the usable faces of each batch element,
// built in caller memory, visited nearest box first. A face's box is widened by a margin that
// bounds how far the rounded closest point (whose weights carry rounding error, most of all in
// the interior of thin faces seen from afar) can stray from the face, for every point of the
// element; faces whose margin would not be small are kept out of the tree and tried for every
// point. Box distances are computed as the point distance is, so (rounding being monotone) a
// pruned subtree holds no face that the exhaustive rule could choose; equal distances go to the
// lower face row. Results equal closest_point_search bit for bit. Batch elements with fewer than
// `min_indexed` faces or with a non-finite coordinate among their points and the vertices of
// their faces take the exhaustive search.
inline constexpr int64_t kClosestIndexFrom = 32;

// Bytes of index memory (8-byte aligned) for up to `point_count` points and batch elements of up
// to `face_count` faces: 0 when none can reach `min_indexed`; UINT64_MAX when the size overflows.
uint64_t closest_index_bytes(int64_t point_count, int64_t face_count,
                             int64_t min_indexed = kClosestIndexFrom) noexcept;

// `workspace` holds closest_index_bytes(P, F) bytes, P and F the problem's counts. Points are
// visited in the Morton order of their positions, which changes no result. One instruction-set
// build can be chosen (for the tests); each gives the same result.
template <typename T>
void closest_point_search_indexed(const ClosestProblem<T>& problem, int64_t point_count,
                                  int64_t face_count, void* workspace,
                                  int64_t min_indexed = kClosestIndexFrom,
                                  Isa isa = best_isa()) noexcept;

enum class ClosestGradientFault { kNone, kFace, kVertex };

template <typename T>
struct ClosestGradients {
  const T* points;            // [P,3]
  const int32_t* faces;       // [F,3]
  const int32_t* face_index;  // [P]
  const T* barycentric;       // [P,3]
  const T* closest;           // [P,3]
  const uint8_t* valid;       // [P]
  const T* grad_distance;     // [P]
  int64_t point_count, vertex_count, face_count;
  T* grad_points;    // [P,3] or null
  T* grad_vertices;  // [V,3] or null
};

// Clears the given outputs and accumulates e = 2 g (p - closest) into the point and -e w_k into
// each corner k. Stops at the first valid point whose face or corner row is out of range.
template <typename T>
ClosestGradientFault closest_point_gradients(const ClosestGradients<T>& problem) noexcept;

}  // namespace vrel::points
