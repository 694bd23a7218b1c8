// Sentences that several families report for the same rule, defined once.
#pragma once

namespace vrel::sentence {

inline constexpr const char* kMeshCpuOnly =
    "mesh operations implement only the CPU backend in this phase";
inline constexpr const char* kMeshCpuWorkspace =
    "mesh operations accept only CPU workspace storage";
inline constexpr const char* kEps = "eps must be finite and nonnegative";
inline constexpr const char* kCountsNegative = "counts must be nonnegative";
inline constexpr const char* kGradientRequired = "at least one gradient output is required";

inline constexpr const char* kVerticesShape = "vertices must be a [V,3] tensor view";
inline constexpr const char* kVerticesDtype = "vertices must use the float32 or float64 dtype";
inline constexpr const char* kFaceRange = "face indices must lie in [0, V)";
inline constexpr const char* kFacesShape = "faces must be a [F,3] tensor view";
inline constexpr const char* kFacesDtype = "faces must use the int32 dtype";
inline constexpr const char* kFaceIndexDtype = "face indices must use the int32 dtype";
inline constexpr const char* kValidDtype = "valid must use the bool dtype";
inline constexpr const char* kVertexGradients = "vertex gradients must be a [V,3] output view";

inline constexpr const char* kVertexOffsetsShape = "vertex offsets must be a [B+1] tensor view";
inline constexpr const char* kVertexOffsetsRules =
    "vertex offsets must satisfy the packed-offset rules";
inline constexpr const char* kFaceOffsetsRules =
    "face offsets must satisfy the packed-offset rules";
inline constexpr const char* kFacesOwnBatch =
    "each face must reference vertices of its own batch element";

}  // namespace vrel::sentence
