// Facts about descriptors that the validators and the operation frame share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vrel/vrel.h"

namespace vrel::abi {

// Element size of a dtype code: 4, 8, 4, 4, 1; 0 for an invalid code.
std::size_t dtype_size(uint32_t dtype) noexcept;

// Element count of a view whose shape has been validated: product of the extents (1 for rank 0).
uint64_t element_count(const VrelTensorView& view) noexcept;

// Byte count of a validated view: element count times element size.
uint64_t byte_count(const VrelTensorView& view) noexcept;

// Half-open address range of the bytes a view covers.
struct ByteRange {
  uintptr_t begin = 0;
  uint64_t size = 0;
  // Overlap as the alias rule defines it: both non-empty with a non-null base, intersecting.
  bool overlaps(const ByteRange& other) const noexcept {
    if (begin == 0 || other.begin == 0 || size == 0 || other.size == 0) return false;
    return begin < other.begin + other.size && other.begin < begin + size;
  }
};

// Byte range of a validated view: [data + byte_offset, + byte count); begin 0 for null data.
ByteRange byte_range(const VrelTensorView& view) noexcept;

// Extent `i` of a view of known rank.
inline int64_t extent(const VrelTensorView& view, uint32_t i) noexcept { return view.shape[i]; }

// Typed address of element 0 of a validated view.
template <typename T>
inline const T* data_of(const VrelTensorView& view) noexcept {
  return reinterpret_cast<const T*>(static_cast<const char*>(view.data) + view.byte_offset);
}
template <typename T>
inline T* mutable_data_of(const VrelTensorView& view) noexcept {
  return reinterpret_cast<T*>(static_cast<char*>(view.data) + view.byte_offset);
}

}  // namespace vrel::abi
