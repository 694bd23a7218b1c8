// Mesh validation kernel: inspects a packed batch of meshes and fills a validation report.
#pragma once

#include <cmath>
#include <cstdint>

#include "math/geometry.hpp"
#include "vrel/vrel.h"

namespace vrel::mesh {

using namespace vrel::math;  // Vec3, Triangle and the generator

// The fields of the report that the inspection writes.
struct ValidationFindings {
  uint32_t issues = 0;
  int64_t first_invalid_face = -1;
  int64_t invalid_offset_index = -1;
  uint64_t degenerate_faces = 0;
  int64_t nonfinite_vertices = -1;
  uint64_t unreferenced_vertices = 0;
};

// Position of the first broken packed-offset rule over `rows` (entries = B + 1), or -1: 0 for a
// first entry other than 0, i for entry i + 1 below entry i, B - 1 for a wrong last entry. With
// B = 0 the only entry is also the first, so its position is 0, never -1.
inline int64_t broken_offset_position(const int32_t* offsets, int64_t entries,
                                      int64_t rows) noexcept {
  const int64_t batch = entries - 1;
  if (offsets[0] != 0) return 0;
  for (int64_t i = 0; i < batch; ++i)
    if (offsets[i + 1] < offsets[i]) return i;
  if (offsets[batch] != rows) return batch > 0 ? batch - 1 : 0;
  return -1;
}

template <typename T>
ValidationFindings validate_mesh(const T* vertices, int64_t vertex_count, const int32_t* faces,
                                 const int32_t* vertex_offsets, const int32_t* face_offsets,
                                 int64_t entries, int64_t face_count, double eps,
                                 bool count_nonfinite) noexcept {
  ValidationFindings r;
  if (count_nonfinite) r.nonfinite_vertices = 0;
  const int64_t batch = entries - 1;

  int64_t position = broken_offset_position(vertex_offsets, entries, vertex_count);
  if (position < 0) position = broken_offset_position(face_offsets, entries, face_count);
  if (position >= 0) {
    r.issues = VREL_MESH_ISSUE_OFFSETS;
    r.invalid_offset_index = position;
    return r;
  }

  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t f = face_offsets[b]; f < face_offsets[b + 1]; ++f) {
      bool bad = false;
      for (int k = 0; k < 3; ++k) {
        const int32_t i = faces[3 * f + k];
        if (i < 0 || i >= vertex_count) {
          r.issues |= VREL_MESH_ISSUE_INDEX_RANGE;
          bad = true;
        } else if (i < vertex_offsets[b] || i >= vertex_offsets[b + 1]) {
          r.issues |= VREL_MESH_ISSUE_BATCH_RANGE;
          bad = true;
        }
      }
      if (bad && r.first_invalid_face < 0) r.first_invalid_face = f;
    }
  }

  if ((r.issues & (VREL_MESH_ISSUE_INDEX_RANGE | VREL_MESH_ISSUE_BATCH_RANGE)) == 0) {
    for (int64_t f = 0; f < face_count; ++f) {
      const Vec3<double> p0 = widen(load3(vertices, faces[3 * f]));
      const Vec3<double> p1 = widen(load3(vertices, faces[3 * f + 1]));
      const Vec3<double> p2 = widen(load3(vertices, faces[3 * f + 2]));
      if (!(eps < length(cross(p1 - p0, p2 - p0)))) {
        r.issues |= VREL_MESH_ISSUE_DEGENERATE;
        ++r.degenerate_faces;
      }
    }
    // Every vertex of an element against every corner of the element's faces: quadratic per
    // element by design (no scratch memory).
    for (int64_t b = 0; b < batch; ++b) {
      const int32_t* first = faces + 3 * static_cast<int64_t>(face_offsets[b]);
      const int32_t* last = faces + 3 * static_cast<int64_t>(face_offsets[b + 1]);
      for (int64_t i = vertex_offsets[b]; i < vertex_offsets[b + 1]; ++i) {
        const int32_t* c = first;
        while (c != last && *c != i) ++c;
        if (c == last) {
          r.issues |= VREL_MESH_ISSUE_UNREFERENCED;
          ++r.unreferenced_vertices;
        }
      }
    }
  }

  if (count_nonfinite) {
    for (int64_t v = 0; v < vertex_count; ++v) {
      const Vec3<double> p = widen(load3(vertices, v));
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
        r.issues |= VREL_MESH_ISSUE_NONFINITE;
        ++r.nonfinite_vertices;
      }
    }
  }
  return r;
}

}  // namespace vrel::mesh
