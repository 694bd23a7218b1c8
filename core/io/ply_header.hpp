// The PLY header model and its parser. The model has fixed capacity (16 elements of 64
// properties), so parsing allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vrel/vrel.h"

namespace vrel::io {

inline constexpr uint32_t kMaxElements = 16;
inline constexpr uint32_t kMaxProperties = 64;

enum class ScalarType : uint8_t {
  kInt8,
  kUint8,
  kInt16,
  kUint16,
  kInt32,
  kUint32,
  kFloat32,
  kFloat64
};

constexpr std::size_t size_of(ScalarType type) {
  constexpr std::size_t sizes[] = {1, 1, 2, 2, 4, 4, 4, 8};
  return sizes[static_cast<int>(type)];
}
constexpr bool is_float(ScalarType type) {
  return type == ScalarType::kFloat32 || type == ScalarType::kFloat64;
}

struct PlyProperty {
  bool is_list = false;
  bool index_list = false;  // the face element's "vertex_indices" / "vertex_index" list
  int8_t axis = -1;         // vertex element: 0 x, 1 y, 2 z; -1 for any other property
  ScalarType type = ScalarType::kUint8;        // value type, or a list's item type
  ScalarType count_type = ScalarType::kUint8;  // a list's count type
};

enum class ElementKind : uint8_t { kVertex, kFace, kOther };

struct PlyElement {
  ElementKind kind = ElementKind::kOther;
  bool has_list = false;
  uint32_t property_count = 0;
  int64_t count = 0;
  PlyProperty properties[kMaxProperties];
};

struct PlyHeader {
  uint32_t format = 0;  // VREL_PLY_FORMAT_*
  uint32_t element_count = 0;
  int32_t vertex_element = -1;  // the last vertex element: its count and values are reported
  int32_t face_element = -1;    // the last face element
  uint64_t header_size = 0;
  PlyElement elements[kMaxElements];

  int64_t vertex_count() const { return vertex_element < 0 ? 0 : elements[vertex_element].count; }
  int64_t face_count() const { return face_element < 0 ? 0 : elements[face_element].count; }
};

// A parse outcome: status and, on failure, the sentence that explains it.
struct ParseResult {
  VrelStatus status = VREL_STATUS_OK;
  const char* message = nullptr;
  bool ok() const { return status == VREL_STATUS_OK; }
};

// Parses the header of [data, data + size) into `header`. Status 1 for malformed headers, 2 for
// unsupported content.
ParseResult parse_header(const char* data, int64_t size, PlyHeader& header) noexcept;

}  // namespace vrel::io
