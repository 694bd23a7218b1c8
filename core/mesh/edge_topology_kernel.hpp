// Edge topology kernel: unique undirected edges per batch element and the faces of each edge.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

namespace vrel::mesh {

// One directed corner pair of a face, normalised to low <= high. The workspace holds three per
// face (36 bytes).
struct EdgeRecord {
  int32_t low, high, face;
};
static_assert(sizeof(EdgeRecord) == 12 && alignof(EdgeRecord) == 4);

inline bool record_less(const EdgeRecord& a, const EdgeRecord& b) noexcept {
  if (a.low != b.low) return a.low < b.low;
  if (a.high != b.high) return a.high < b.high;
  return a.face < b.face;
}

inline void sift_down(EdgeRecord* r, int64_t root, int64_t n) noexcept {
  for (;;) {
    int64_t child = 2 * root + 1;
    if (child >= n) return;
    if (child + 1 < n && record_less(r[child], r[child + 1])) ++child;
    if (!record_less(r[root], r[child])) return;
    std::swap(r[root], r[child]);
    root = child;
  }
}

// In-place heap sort, ascending by (low, high, face): no allocation.
inline void heap_sort(EdgeRecord* r, int64_t n) noexcept {
  for (int64_t i = n / 2; i-- > 0;) sift_down(r, i, n);
  for (int64_t end = n; end-- > 1;) {
    std::swap(r[0], r[end]);
    sift_down(r, 0, end);
  }
}

// faces [F,3], face_offsets [B+1] (valid packed offsets); outputs mesh_edge_offsets [B+1],
// edges [3F,2], edge_face_offsets [3F+1], edge_faces [3F]; records has room for 3F records.
// Edge and face-reference counters run across the whole batch.
inline void build_edge_topology(const int32_t* faces, const int32_t* face_offsets,
                                int64_t batch_count, int64_t face_count, EdgeRecord* records,
                                int32_t* mesh_edge_offsets, int32_t* edges,
                                int32_t* edge_face_offsets, int32_t* edge_faces) noexcept {
  int64_t edge_count = 0;
  int64_t references = 0;
  mesh_edge_offsets[0] = 0;
  edge_face_offsets[0] = 0;
  for (int64_t b = 0; b < batch_count; ++b) {
    const int64_t first = face_offsets[b];
    const int64_t n = 3 * (face_offsets[b + 1] - first);
    for (int64_t f = first; f < face_offsets[b + 1]; ++f) {
      const int32_t* c = faces + 3 * f;
      EdgeRecord* out = records + 3 * (f - first);
      const auto face = static_cast<int32_t>(f);
      out[0] = {std::min(c[0], c[1]), std::max(c[0], c[1]), face};
      out[1] = {std::min(c[1], c[2]), std::max(c[1], c[2]), face};
      out[2] = {std::min(c[2], c[0]), std::max(c[2], c[0]), face};
    }
    heap_sort(records, n);
    for (int64_t i = 0; i < n;) {
      const int32_t low = records[i].low;
      const int32_t high = records[i].high;
      for (; i < n && records[i].low == low && records[i].high == high; ++i)
        edge_faces[references++] = records[i].face;
      edges[2 * edge_count] = low;
      edges[2 * edge_count + 1] = high;
      ++edge_count;
      edge_face_offsets[edge_count] = static_cast<int32_t>(references);
    }
    mesh_edge_offsets[b + 1] = static_cast<int32_t>(edge_count);
  }
  for (int64_t e = edge_count; e < 3 * face_count; ++e) {
    edges[2 * e] = -1;
    edges[2 * e + 1] = -1;
    edge_face_offsets[e + 1] = static_cast<int32_t>(references);
  }
}

}  // namespace vrel::mesh
