// The CUDA provider's operation table: a u32 size word, four unread bytes, then one entry pointer
// per operation at offset 8 + 8k. A null entry is an operation the provider does not implement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vrel/vrel.h"

namespace vrel::provider {

// Opaque view of the provider's table; entries are read by offset.
struct CudaProvider {
  uint32_t size;  // bytes of the table as the provider built it
  uint32_t unread;
};

// The handshake guarantees a size word of at least this, covering the entries up to offset 176.
inline constexpr uint32_t kMinTableSize = 184;

// Signature of the workspace-query entry at offset 8.
using WorkspaceQueryFn = VrelStatus (*)(uint64_t operation_id, const uint64_t* counts,
                                        uint64_t count_number, uint32_t dtype,
                                        const VrelExecutionContext* context, uint64_t* bytes,
                                        uint64_t* alignment, VrelDiagnostic* diag);

// Entry offsets of the table.
namespace entry {
inline constexpr std::size_t kWorkspaceQuery = 8;
inline constexpr std::size_t kMeshFaceGeometry = 16;
inline constexpr std::size_t kMeshFaceGeometryBackward = 24;
inline constexpr std::size_t kMeshVertexNormals = 32;
inline constexpr std::size_t kMeshVertexNormalsBackward = 40;
inline constexpr std::size_t kMeshGatherFaces = 48;
inline constexpr std::size_t kMeshGatherFacesBackward = 56;
inline constexpr std::size_t kTransformPoints = 64;
inline constexpr std::size_t kTransformPointsBackward = 72;
inline constexpr std::size_t kPerspectiveDivide = 80;
inline constexpr std::size_t kPerspectiveDivideBackward = 88;
inline constexpr std::size_t kPointsKnn = 104;
inline constexpr std::size_t kPointsKnnBackward = 112;
inline constexpr std::size_t kClosestPointOnMesh = 120;
inline constexpr std::size_t kClosestPointOnMeshBackward = 128;
inline constexpr std::size_t kMeshSampleSurface = 136;
inline constexpr std::size_t kMeshSampleSurfaceBackward = 144;
inline constexpr std::size_t kRasterize = 152;
inline constexpr std::size_t kRasterizeBackward = 160;
inline constexpr std::size_t kInterpolate = 168;
inline constexpr std::size_t kInterpolateBackward = 176;
inline constexpr std::size_t kTexturePyramid = 184;
inline constexpr std::size_t kTexture = 192;
inline constexpr std::size_t kTextureBackward = 200;
inline constexpr std::size_t kTexturePyramidBackward = 208;
inline constexpr std::size_t kBlendShapes = 248;
inline constexpr std::size_t kBlendShapesBackward = 256;
inline constexpr std::size_t kRodrigues = 264;
inline constexpr std::size_t kRodriguesBackward = 272;
inline constexpr std::size_t kForwardKinematics = 280;
inline constexpr std::size_t kForwardKinematicsBackward = 288;
inline constexpr std::size_t kSkinLbs = 296;
inline constexpr std::size_t kSkinLbsBackward = 304;
inline constexpr std::size_t kEvaluateBarycentric = 312;
inline constexpr std::size_t kEvaluateBarycentricBackward = 320;
inline constexpr std::size_t kShadingLossCurve = 360;
inline constexpr std::size_t kShadingLossCurveBackward = 368;
inline constexpr std::size_t kShadingLossQuery = 376;
inline constexpr std::size_t kShadingLossQueryBackward = 384;
inline constexpr std::size_t kPrincipledPairs = 392;
inline constexpr std::size_t kPrincipledPairsBackward = 400;
inline constexpr std::size_t kPrincipledGroups = 408;
inline constexpr std::size_t kPrincipledGroupsBackward = 416;
inline constexpr std::size_t kRasterizeSecond = 424;
inline constexpr std::size_t kPrincipledSharedGroups = 464;
}  // namespace entry

// Operation ids passed to the workspace-query entry.
namespace operation {
inline constexpr uint64_t kFaceGeometry = 1;
inline constexpr uint64_t kGatherFaces = 3;
inline constexpr uint64_t kTransformPoints = 4;
inline constexpr uint64_t kPerspectiveDivide = 5;
inline constexpr uint64_t kKnn = 7;
inline constexpr uint64_t kClosestPoint = 8;
inline constexpr uint64_t kRasterize = 10;
inline constexpr uint64_t kInterpolate = 11;
inline constexpr uint64_t kBlendShapes = 14;
inline constexpr uint64_t kRodrigues = 15;
inline constexpr uint64_t kForwardKinematics = 16;
inline constexpr uint64_t kSkinLbs = 17;
inline constexpr uint64_t kEvaluateBarycentric = 18;
inline constexpr uint64_t kLossCurve = 21;
inline constexpr uint64_t kLossQuery = 22;
inline constexpr uint64_t kPrincipledPairs = 23;
inline constexpr uint64_t kPrincipledGroups = 24;  // groups and shared groups
}  // namespace operation

// Entry at `offset` when the table's size word covers it (size > offset + 7), else null.
inline void* entry_if_covered(const CudaProvider* table, std::size_t offset) noexcept {
  if (table == nullptr || table->size <= offset + 7) return nullptr;
  void* fn = nullptr;
  std::memcpy(&fn, reinterpret_cast<const char*>(table) + offset, sizeof fn);
  return fn;
}

// Entry at `offset`. The handshake guarantees the first 184 bytes; an entry past them is read
// only when the size word covers it, so a table of the minimum size is never read beyond its end.
inline void* entry_at(const CudaProvider* table, std::size_t offset) noexcept {
  if (offset + 8 <= kMinTableSize) {
    void* fn = nullptr;
    std::memcpy(&fn, reinterpret_cast<const char*>(table) + offset, sizeof fn);
    return fn;
  }
  return entry_if_covered(table, offset);
}

// The process's operation table, or null when no provider (or no table) is available. The first
// call runs discovery exactly once; later calls return the stored result.
const CudaProvider* operations() noexcept;

}  // namespace vrel::provider
