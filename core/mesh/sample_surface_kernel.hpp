// Surface sampling kernels: area-uniform points per batch element from the Philox generator,
// and the scatter of point cotangents to the face corners.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "math/geometry.hpp"
#include "math/philox.hpp"

namespace vrel::mesh {

using namespace vrel::math;  // Vec3, Triangle and the generator

// The value rng_counter + 1 as a 64-bit number, word 0 low.
constexpr std::array<uint32_t, 2> next_counter_of(std::array<uint32_t, 2> c) noexcept {
  return {c[0] + 1u, c[0] == 0xFFFFFFFFu ? c[1] + 1u : c[1]};
}

struct SampleProblem {
  int64_t batch_count;
  int64_t sample_count;
  const int32_t* faces;
  const int32_t* face_offsets;
  double eps;
  PhiloxKey key;
  std::array<uint32_t, 2> counter;
};

// Samples drawn per lock-step group.
inline constexpr int kSampleLanes = 32;

// Steps a chosen face back off faces without area (running sums equal to their predecessor's).
inline int64_t step_off_empty_faces(const double* sums, int64_t first, int64_t face) noexcept {
  while (face > first && sums[face - 1] >= sums[face]) --face;
  return face;
}

// Face choice for t in [0, total) over the running sums of [first, last]: the binary search
// lo = first, hi = last; while lo < hi: mid = lo + (hi - lo) / 2, t < sums[mid] ? hi = mid :
// lo = mid + 1; then stepped off faces without area. `count` searches run in lock step so that
// their memory loads overlap (the sums of a large mesh do not fit in cache); each lane takes
// exactly the steps of the plain loop, so the result is the same.
inline void choose_faces(const double* sums, int64_t first, int64_t last, const double* t,
                         int count, int64_t* face) noexcept {
  int64_t lo[kSampleLanes], hi[kSampleLanes];
  for (int i = 0; i < count; ++i) {
    lo[i] = first;
    hi[i] = last;
  }
  for (bool active = first < last; active;) {
    active = false;
    for (int i = 0; i < count; ++i) {
      if (lo[i] >= hi[i]) continue;
      const int64_t mid = lo[i] + (hi[i] - lo[i]) / 2;
      const bool left = t[i] < sums[mid];  // unpredictable: selects, not branches
      hi[i] = left ? mid : hi[i];
      lo[i] = left ? lo[i] : mid + 1;
      if (lo[i] < hi[i]) {
        __builtin_prefetch(sums + lo[i] + (hi[i] - lo[i]) / 2);
        active = true;
      }
    }
  }
  for (int i = 0; i < count; ++i) face[i] = step_off_empty_faces(sums, first, lo[i]);
}

// The first batch element without a face of doubled area above eps (the sampling's own area rule,
// with nothing stored), or -1. Stops at each element's first face with area.
template <typename T>
int64_t element_without_area(const T* vertices, const SampleProblem& p) noexcept {
  for (int64_t b = 0; b < p.batch_count; ++b) {
    bool any = false;
    for (int64_t k = p.face_offsets[b]; k < p.face_offsets[b + 1] && !any; ++k) {
      const Vec3<double> p0 = widen(load3(vertices, p.faces[3 * k]));
      const Vec3<double> p1 = widen(load3(vertices, p.faces[3 * k + 1]));
      const Vec3<double> p2 = widen(load3(vertices, p.faces[3 * k + 2]));
      any = length(cross(p1 - p0, p2 - p0)) > p.eps;
    }
    if (!any) return b;
  }
  return -1;
}

// points and barycentric [B,S,3], face_index [B,S]; sums holds one double per face. Returns the
// first batch element without a face of doubled area above eps (its samples and those after it
// are not written), or -1 when every element was sampled.
template <typename T>
int64_t sample_surface(const T* vertices, const SampleProblem& p, double* sums, T* points,
                       int32_t* face_index, T* barycentric) noexcept {
  for (int64_t b = 0; b < p.batch_count; ++b) {
    const int64_t first = p.face_offsets[b];
    const int64_t end = p.face_offsets[b + 1];
    double total = 0;
    bool any = false;
    for (int64_t k = first; k < end; ++k) {
      const Vec3<double> p0 = widen(load3(vertices, p.faces[3 * k]));
      const Vec3<double> p1 = widen(load3(vertices, p.faces[3 * k + 1]));
      const Vec3<double> p2 = widen(load3(vertices, p.faces[3 * k + 2]));
      const double a = length(cross(p1 - p0, p2 - p0));
      if (a > p.eps) {
        total += a / 2;
        any = true;
      }
      sums[k] = total;
    }
    if (!any) return b;
    for (int64_t s0 = 0; s0 < p.sample_count; s0 += kSampleLanes) {
      const int count = static_cast<int>(std::min<int64_t>(kSampleLanes, p.sample_count - s0));
      PhiloxCounter x[kSampleLanes];
      double t[kSampleLanes];
      int64_t chosen[kSampleLanes];
      for (int i = 0; i < count; ++i) {
        x[i] = philox4x32_10(
            {p.counter[0], p.counter[1], static_cast<uint32_t>(b), static_cast<uint32_t>(s0 + i)},
            p.key);
        t[i] = unit_uniform(x[i][0]) * total;
      }
      choose_faces(sums, first, end - 1, t, count, chosen);
      // The chosen faces and their corners are scattered over the mesh: start all the loads first.
      for (int i = 0; i < count; ++i) __builtin_prefetch(p.faces + 3 * chosen[i]);
      for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k)
          __builtin_prefetch(vertices + 3 * int64_t{p.faces[3 * chosen[i] + k]});
      for (int i = 0; i < count; ++i) {
        const double r = std::sqrt(unit_uniform(x[i][1]));
        const double q = unit_uniform(x[i][2]);
        const T w0 = static_cast<T>(1 - r);
        const T w1 = static_cast<T>((1 - q) * r);
        const T w2 = static_cast<T>(q * r);
        const int32_t* c = p.faces + 3 * chosen[i];
        const Vec3<T> c0 = load3(vertices, c[0]);
        const Vec3<T> c1 = load3(vertices, c[1]);
        const Vec3<T> c2 = load3(vertices, c[2]);
        const int64_t row = b * p.sample_count + s0 + i;
        store3(points, row, c1 * w1 + c0 * w0 + c2 * w2);
        store3(barycentric, row, Vec3<T>{w0, w1, w2});
        face_index[row] = static_cast<int32_t>(chosen[i]);
      }
    }
  }
  return -1;
}

enum class SampleBackwardFault { kNone, kFaceOutOfRange, kVertexOutOfRange };

// The first range fault among the samples' faces and their corners, in sample order.
inline SampleBackwardFault sampled_faces_fault(const int32_t* faces, int64_t face_count,
                                               const int32_t* face_index, int64_t sample_total,
                                               int64_t vertex_count) noexcept {
  for (int64_t i = 0; i < sample_total; ++i) {
    const int64_t face = face_index[i];
    if (face < 0 || face >= face_count) return SampleBackwardFault::kFaceOutOfRange;
    const int32_t* c = faces + 3 * face;
    for (int k = 0; k < 3; ++k)
      if (c[k] < 0 || c[k] >= vertex_count) return SampleBackwardFault::kVertexOutOfRange;
  }
  return SampleBackwardFault::kNone;
}

// Checks every sample's face and corners, and only then clears grad_vertices [V,3] and gives
// corner k of each sample's face barycentric[k] times the point cotangent, sample by sample. A
// fault leaves grad_vertices untouched.
template <typename T>
SampleBackwardFault sample_surface_backward(const int32_t* faces, int64_t face_count,
                                            const int32_t* face_index, const T* barycentric,
                                            const T* grad_points, int64_t sample_total,
                                            int64_t vertex_count, T* grad_vertices) noexcept {
  if (const SampleBackwardFault fault =
          sampled_faces_fault(faces, face_count, face_index, sample_total, vertex_count);
      fault != SampleBackwardFault::kNone)
    return fault;
  // An empty gradient may have a null data pointer, which memset must not receive.
  if (vertex_count > 0)
    std::memset(grad_vertices, 0, sizeof(T) * 3 * static_cast<std::size_t>(vertex_count));
  for (int64_t i = 0; i < sample_total; ++i) {
    const int32_t* c = faces + 3 * int64_t{face_index[i]};
    const Vec3<T> g = load3(grad_points, i);
    for (int k = 0; k < 3; ++k) add3(grad_vertices, c[k], g * barycentric[3 * i + k]);
  }
  return SampleBackwardFault::kNone;
}

}  // namespace vrel::mesh
