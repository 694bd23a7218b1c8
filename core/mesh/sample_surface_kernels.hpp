// Surface sampling kernels: area-uniform points per batch element from the Philox generator,
// and the scatter of point cotangents to the face corners.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "mesh/geometry.hpp"
#include "mesh/philox.hpp"

namespace vrel::mesh {

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

// Chooses a face of [first, last] for t in [0, total) over running sums: the first face whose
// sum exceeds t, stepped back off faces without area (equal running sums).
inline int64_t choose_face(const double* sums, int64_t first, int64_t last, double t) noexcept {
  int64_t lo = first, hi = last;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (t < sums[mid]) hi = mid;
    else lo = mid + 1;
  }
  while (lo > first && sums[lo - 1] >= sums[lo]) --lo;
  return lo;
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
    for (int64_t s = 0; s < p.sample_count; ++s) {
      const PhiloxCounter x = philox4x32_10(
          {p.counter[0], p.counter[1], static_cast<uint32_t>(b), static_cast<uint32_t>(s)}, p.key);
      const int64_t face = choose_face(sums, first, end - 1, unit_uniform(x[0]) * total);
      const double r = std::sqrt(unit_uniform(x[1]));
      const double q = unit_uniform(x[2]);
      const T w0 = static_cast<T>(1 - r);
      const T w1 = static_cast<T>((1 - q) * r);
      const T w2 = static_cast<T>(q * r);
      const Vec3<T> c0 = load3(vertices, p.faces[3 * face]);
      const Vec3<T> c1 = load3(vertices, p.faces[3 * face + 1]);
      const Vec3<T> c2 = load3(vertices, p.faces[3 * face + 2]);
      const int64_t row = b * p.sample_count + s;
      store3(points, row, c1 * w1 + c0 * w0 + c2 * w2);
      store3(barycentric, row, Vec3<T>{w0, w1, w2});
      face_index[row] = static_cast<int32_t>(face);
    }
  }
  return -1;
}

enum class SampleBackwardFault { kNone, kFaceOutOfRange, kVertexOutOfRange };

// Clears grad_vertices [V,3], then gives corner k of each sample's face barycentric[k] times the
// point cotangent, sample by sample. Stops at the first sample whose face or corners are out of
// range (earlier samples stay accumulated).
template <typename T>
SampleBackwardFault sample_surface_backward(const int32_t* faces, int64_t face_count,
                                            const int32_t* face_index, const T* barycentric,
                                            const T* grad_points, int64_t sample_total,
                                            int64_t vertex_count, T* grad_vertices) noexcept {
  std::memset(grad_vertices, 0, sizeof(T) * 3 * static_cast<std::size_t>(vertex_count));
  for (int64_t i = 0; i < sample_total; ++i) {
    const int64_t face = face_index[i];
    if (face < 0 || face >= face_count) return SampleBackwardFault::kFaceOutOfRange;
    const int32_t* c = faces + 3 * face;
    for (int k = 0; k < 3; ++k)
      if (c[k] < 0 || c[k] >= vertex_count) return SampleBackwardFault::kVertexOutOfRange;
    const Vec3<T> g = load3(grad_points, i);
    for (int k = 0; k < 3; ++k) add3(grad_vertices, c[k], g * barycentric[3 * i + k]);
  }
  return SampleBackwardFault::kNone;
}

}  // namespace vrel::mesh
