// The PLY body walk. It visits the elements in header order, each instance in order and each
// property in order. With null targets it only checks; with targets it also stores the positions
// of the reported vertex element and the triangles of the reported face element. A read runs it
// twice, checking and then writing, so nothing is stored unless the whole body is valid.
#pragma once

#include <cstdint>

#include "io/ply_header.hpp"

namespace vrel::io {

// Targets of the writing pass: [V,3] positions and [F,3] indices, dense row-major; null pointers
// make the walk a checking pass.
template <typename T>
struct PlyTargets {
  T* vertices = nullptr;
  int32_t* faces = nullptr;
};

// Walks the body [data + header.header_size, data + size). Status 1 for malformed or truncated
// bodies, negative list counts and indices outside [0, 2^31 - 1]; 2 for a face that is not a
// triangle. The counts of the targets are those of the header.
template <typename T>
ParseResult walk_body(const PlyHeader& header, const char* data, int64_t size,
                      PlyTargets<T> targets) noexcept;

extern template ParseResult walk_body<float>(const PlyHeader&, const char*, int64_t,
                                             PlyTargets<float>) noexcept;
extern template ParseResult walk_body<double>(const PlyHeader&, const char*, int64_t,
                                              PlyTargets<double>) noexcept;

}  // namespace vrel::io
