// Sentences shared by the rasterization and interpolation exports.
#pragma once

#include "abi/frame.hpp"

namespace vrel::render {

inline constexpr const char* kCpuView = sentence::kMeshCpuOnly;
// No render export consumes its workspace (a given one is only validated), so this sentence
// fills the family's slot and is never reported.
inline constexpr const char* kCpuWorkspace = "render operations accept only CPU workspace storage";

inline constexpr frame::Family kRasterFamily{
    "render.rasterize implements only the CPU backend in this phase", kCpuView, kCpuWorkspace};
inline constexpr frame::Family kInterpolateFamily{
    "render.interpolate implements only the CPU backend in this phase",
    "render.interpolate implements only the CPU backend in this phase", kCpuWorkspace};
inline constexpr frame::Family kQueryFamily{
    "render operations implement only the CPU backend in this phase", kCpuView, kCpuWorkspace};

inline constexpr const char* kQueryDtype =
    "render operations support the float32 and float64 dtypes";
inline constexpr const char* kVerticesShape = "ndc vertices must be a [V,3] tensor view";
inline constexpr const char* kVerticesDtype = "ndc vertices must use the float32 or float64 dtype";
inline constexpr const char* kFragmentIndices =
    "face indices must be a [B,H,W,K] int32 tensor view";

}  // namespace vrel::render
