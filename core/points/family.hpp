// Sentences shared by the point-proximity exports.
#pragma once

#include "abi/frame.hpp"

namespace vrel::points {

inline constexpr const char* kCpuView = sentence::kMeshCpuOnly;
inline constexpr const char* kCpuWorkspace = "proximity operations accept only CPU workspace storage";

inline constexpr frame::Family kKnnFamily{
    "points.knn implements only the CPU backend in this phase", kCpuView, kCpuWorkspace};
inline constexpr frame::Family kClosestFamily{
    "points.closest_point_on_mesh implements only the CPU backend in this phase", kCpuView,
    kCpuWorkspace};
inline constexpr frame::Family kQueryFamily{
    "proximity operations implement only the CPU backend in this phase", kCpuView, kCpuWorkspace};

inline constexpr const char* kCountsNegative = sentence::kCountsNegative;
inline constexpr const char* kNeighborCount = "the neighbor count must be positive";
inline constexpr const char* kQueryDtype = "proximity operations support the float32 and float64 dtypes";
inline constexpr const char* kGradientRequired = sentence::kGradientRequired;

}  // namespace vrel::points
