// Sentences shared by the point-proximity exports.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"

namespace vrel::points {

inline constexpr const char* kCpuView = sentence::kMeshCpuOnly;
inline constexpr const char* kCpuWorkspace =
    "proximity operations accept only CPU workspace storage";

inline constexpr frame::Family kKnnFamily{
    "points.knn implements only the CPU backend in this phase", kCpuView, kCpuWorkspace};
inline constexpr frame::Family kClosestFamily{
    "points.closest_point_on_mesh implements only the CPU backend in this phase", kCpuView,
    kCpuWorkspace};
inline constexpr frame::Family kQueryFamily{
    "proximity operations implement only the CPU backend in this phase", kCpuView, kCpuWorkspace};

inline constexpr const char* kCountsNegative = sentence::kCountsNegative;
inline constexpr const char* kNeighborCount = "the neighbor count must be positive";
inline constexpr const char* kQueryDtype =
    "proximity operations support the float32 and float64 dtypes";
inline constexpr const char* kGradientRequired = sentence::kGradientRequired;

// The spatial index lives in the caller's workspace when it can: a validated CPU buffer of at
// least `required` bytes, 8-byte aligned, overlapping no operand. Otherwise (null, smaller,
// elsewhere, misaligned or aliasing) the search runs exhaustively, with the same results, and
// the buffer is not touched. Returns the index memory or null.
inline void* index_memory(const VrelBufferDescriptor* workspace, uint64_t required,
                          std::initializer_list<const VrelTensorView*> operands) noexcept {
  if (workspace == nullptr || required == 0 || workspace->capacity < required ||
      workspace->device_type != VREL_DEVICE_CPU ||
      reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return nullptr;
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), required};
  for (const VrelTensorView* view : operands)
    if (view != nullptr && span.overlaps(abi::byte_range(*view))) return nullptr;
  return workspace->data;
}

}  // namespace vrel::points
