// The CUDA provider's operation table: a u32 size word, four unread bytes, then one entry pointer
// per operation at offset 8 + 8k. A null entry is an operation the provider does not implement.
//
// Every entry is listed once, in VREL_PROVIDER_ENTRIES, as (name, byte offset, type). An operation
// entry takes exactly the argument list of the export that forwards to it, so its type is that
// export's own (`Export<vrel_...>`). The list generates the table struct, an offsetof assertion per
// entry, the constant offset of each field and the name table the test provider reads.
//
// The families not built yet have `Untyped` slots: when you add the prototype of such an export to
// include/vrel/, change `Untyped` on its line to `Export<vrel_...>` and rename the slot after the
// operation where its line says so. Nothing else in this file changes.
//
// The table layout lives in abi/ so that the frame can forward without including provider/; the
// lookup `operations()` is defined by provider/discovery.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "vrel/vrel.h"

namespace vrel::provider {

// Type of an entry that takes the argument list of `ExportFn`.
template <auto ExportFn>
using Export = decltype(ExportFn);

// A slot the core does not call (yet): pointer-sized, read only to keep the layout.
using Untyped = const void*;

// The workspace-query entry, shared by every CUDA operation.
using WorkspaceQuery = VrelStatus (*)(uint64_t operation_id, const uint64_t* counts,
                                      uint64_t count_number, uint32_t dtype,
                                      const VrelExecutionContext* context, uint64_t* bytes,
                                      uint64_t* alignment, VrelDiagnostic* diag);

// clang-format off
#define VREL_PROVIDER_ENTRIES(X)                                                                  \
  X(workspace_query,                   8, WorkspaceQuery)                                        \
  /* mesh */                                                                                     \
  X(face_geometry,                    16, Export<vrel_mesh_face_geometry>)                       \
  X(face_geometry_backward,           24, Export<vrel_mesh_face_geometry_backward>)              \
  X(vertex_normals,                   32, Export<vrel_mesh_vertex_normals>)                      \
  X(vertex_normals_backward,          40, Export<vrel_mesh_vertex_normals_backward>)             \
  X(gather_faces,                     48, Export<vrel_mesh_gather_faces>)                        \
  X(gather_faces_backward,            56, Export<vrel_mesh_gather_faces_backward>)               \
  /* transforms */                                                                               \
  X(transform_points,                 64, Export<vrel_transforms_transform_points>)              \
  X(transform_points_backward,        72, Export<vrel_transforms_transform_points_backward>)     \
  X(perspective_divide,               80, Export<vrel_transforms_perspective_divide>)            \
  X(perspective_divide_backward,      88, Export<vrel_transforms_perspective_divide_backward>)   \
  X(unused_96,                        96, Untyped)                                               \
  /* points, surface sampling */                                                                 \
  X(knn,                             104, Export<vrel_points_knn>)                               \
  X(knn_backward,                    112, Export<vrel_points_knn_backward>)                      \
  X(closest_point_on_mesh,           120, Export<vrel_points_closest_point_on_mesh>)             \
  X(closest_point_on_mesh_backward,  128, Export<vrel_points_closest_point_on_mesh_backward>)    \
  X(sample_surface,                  136, Export<vrel_mesh_sample_surface>)                      \
  X(sample_surface_backward,         144, Export<vrel_mesh_sample_surface_backward>)             \
  /* render, texture */                                                                          \
  X(rasterize,                       152, Export<vrel_render_rasterize>)                         \
  X(rasterize_backward,              160, Export<vrel_render_rasterize_backward>)                \
  X(interpolate,                     168, Export<vrel_render_interpolate>)                       \
  X(interpolate_backward,            176, Export<vrel_render_interpolate_backward>)              \
  X(texture_pyramid,                 184, Export<vrel_render_texture_pyramid>)                   \
  X(texture,                         192, Export<vrel_render_texture>)                           \
  X(texture_backward,                200, Export<vrel_render_texture_backward>)                  \
  X(texture_pyramid_backward,        208, Export<vrel_render_texture_pyramid_backward>)          \
  X(unused_216,                      216, Untyped)                                               \
  X(unused_224,                      224, Untyped)                                               \
  X(unused_232,                      232, Untyped)                                               \
  X(unused_240,                      240, Untyped)                                               \
  /* animation */                                                                                \
  X(blend_shapes,                    248, Export<vrel_mesh_blend_shapes>)                        \
  X(blend_shapes_backward,           256, Export<vrel_mesh_blend_shapes_backward>)               \
  X(rodrigues,                       264, Export<vrel_transforms_rodrigues>)                     \
  X(rodrigues_backward,              272, Export<vrel_transforms_rodrigues_backward>)            \
  X(forward_kinematics,              280, Export<vrel_skeleton_forward_kinematics>)              \
  X(forward_kinematics_backward,     288, Export<vrel_skeleton_forward_kinematics_backward>)     \
  X(skin_lbs,                        296, Export<vrel_mesh_skin_lbs>)                            \
  X(skin_lbs_backward,               304, Export<vrel_mesh_skin_lbs_backward>)                   \
  X(evaluate_barycentric,            312, Export<vrel_mesh_evaluate_barycentric>)                \
  X(evaluate_barycentric_backward,   320, Export<vrel_mesh_evaluate_barycentric_backward>)       \
  /* image */                                                                                   \
  X(image_transfer,                  328, Export<vrel_image_transfer>)                           \
  X(image_transfer_backward,         336, Export<vrel_image_transfer_backward>)                  \
  X(gaussian_weights,                344, Export<vrel_image_gaussian_weights>)                   \
  X(gaussian_weights_backward,       352, Export<vrel_image_gaussian_weights_backward>)          \
  /* shading: loss curves and queries */                                                        \
  X(loss_curve,                      360, Export<vrel_shading_loss_curve>)                       \
  X(loss_curve_backward,             368, Export<vrel_shading_loss_curve_backward>)              \
  X(loss_query,                      376, Export<vrel_shading_loss_query>)                       \
  X(loss_query_backward,             384, Export<vrel_shading_loss_query_backward>)              \
  /* principled shading (the shared groups' entry follows at 464) */                            \
  X(principled_pairs,                392, Export<vrel_shading_principled_pairs>)                 \
  X(principled_pairs_backward,       400, Export<vrel_shading_principled_pairs_backward>)        \
  X(principled_groups,               408, Export<vrel_shading_principled_groups>)                \
  X(principled_groups_backward,      416, Export<vrel_shading_principled_groups_backward>)       \
  X(rasterize_window,                424, Export<vrel_render_rasterize_window>)                  \
  /* opaque quadrature: the forward and backward of the quadrature and the material       */     \
  /* forward (the material backward has no entry and is refused on CUDA); then the         */     \
  /* colour and material batches                                                          */     \
  X(opaque_quadrature,               432, Export<vrel_render_opaque_quadrature>)                 \
  X(opaque_quadrature_backward,      440, Export<vrel_render_opaque_quadrature_backward>)        \
  X(opaque_material_quadrature,      448, Export<vrel_render_opaque_material_quadrature>)        \
  X(opaque_material_batch_rule,      456, Export<vrel_render_opaque_material_batch_rule>)        \
  X(principled_shared_groups,        464, Export<vrel_shading_principled_shared_groups>)         \
  /* shading utilities and opaque samples                                                 */     \
  X(ordered_rgba,                    472, Export<vrel_shading_ordered_rgba>)                     \
  X(unit_newton,                     480, Export<vrel_shading_unit_newton>)                      \
  X(unit_vectors,                    488, Export<vrel_shading_unit_vectors>)                     \
  X(delta_brdf,                      496, Export<vrel_shading_delta_brdf>)                       \
  X(opaque_samples,                  504, Export<vrel_shading_opaque_samples>)                   \
  X(opaque_albedo,                   512, Export<vrel_shading_opaque_albedo>)                    \
  /* opaque batches (the DEFAULT batch through the rule entries, with rule 0), prefixes,    */     \
  /* boundary streams, partitions (one entry serves the 52- and 80-slot variants: the rows'  */     \
  /* extent tells them apart) and the boundary quadrature along a pixel side                 */     \
  X(opaque_material_batch_rule_backward, 520, Export<vrel_render_opaque_material_batch_rule_backward>) \
  X(opaque_prefix_backward,          528, Export<vrel_render_opaque_material_prefix_backward>)   \
  X(opaque_prefix_backward64,        536, Export<vrel_render_opaque_material_prefix_backward64>) \
  X(opaque_prefix_backward80,        544, Export<vrel_render_opaque_material_prefix_backward80>) \
  X(opaque_boundary_batch64,         552, Export<vrel_render_opaque_boundary_batch64>)           \
  X(opaque_boundary_batch80,         560, Export<vrel_render_opaque_boundary_batch80>)           \
  X(opaque_partition_prepare,        568, Export<vrel_render_opaque_partition_prepare>)          \
  X(opaque_partition_prepare64,      576, Export<vrel_render_opaque_partition_prepare64>)        \
  X(opaque_partition_emit,           584, Export<vrel_render_opaque_partition_emit_workspace>)   \
  X(opaque_partition_emit64,         592, Export<vrel_render_opaque_partition_emit_workspace64>) \
  X(opaque_boundary_quadrature,      600, Export<vrel_render_opaque_boundary_quadrature>)
// clang-format on

struct OperationTable {
  uint32_t size;  // bytes of the table as the provider built it
  uint32_t unread;
#define VREL_PROVIDER_FIELD(name, offset, type) type name;
  VREL_PROVIDER_ENTRIES(VREL_PROVIDER_FIELD)
#undef VREL_PROVIDER_FIELD
};

#define VREL_PROVIDER_OFFSET(name, offset, type) \
  static_assert(offsetof(OperationTable, name) == (offset), "entry " #name " moved");
VREL_PROVIDER_ENTRIES(VREL_PROVIDER_OFFSET)
#undef VREL_PROVIDER_OFFSET
static_assert(sizeof(OperationTable) == 608);

// The handshake guarantees a size word of at least this, covering the entries up to offset 176.
inline constexpr uint32_t kMinTableSize = 184;

// Byte offset of the entry `Field` (a pointer to a member of OperationTable).
template <auto Field>
inline constexpr std::size_t kEntryOffset = 0;
#define VREL_PROVIDER_ENTRY_OFFSET(name, offset, type) \
  template <>                                          \
  inline constexpr std::size_t kEntryOffset<&OperationTable::name> = (offset);
VREL_PROVIDER_ENTRIES(VREL_PROVIDER_ENTRY_OFFSET)
#undef VREL_PROVIDER_ENTRY_OFFSET

// Every entry by name, in table order (the recording test provider reads it).
struct EntryName {
  const char* name;
  std::size_t offset;
};
inline constexpr EntryName kEntryNames[] = {
#define VREL_PROVIDER_NAME(name, offset, type) {#name, (offset)},
    VREL_PROVIDER_ENTRIES(VREL_PROVIDER_NAME)
#undef VREL_PROVIDER_NAME
};

// True when the size word covers the entry at `offset` (size > offset + 7).
inline bool covers(const OperationTable* table, std::size_t offset) noexcept {
  return table != nullptr && table->size > offset + 7;
}

// The entry `Field`, or null when the provider leaves it null or the table does not reach it. The
// handshake guarantees the first 184 bytes; an entry past them is read only when the size word
// covers it, so a table of the minimum size is never read beyond its end. `covered_only` applies
// the size-word rule also within the guaranteed bytes (as some families check).
template <auto Field>
inline auto entry(const OperationTable* table, bool covered_only = false) noexcept
    -> std::remove_cvref_t<decltype(table->*Field)> {
  constexpr std::size_t offset = kEntryOffset<Field>;
  static_assert(offset >= 8, "not an entry of the operation table");
  if (table == nullptr) return nullptr;
  if ((covered_only || offset + 8 > kMinTableSize) && !covers(table, offset)) return nullptr;
  return table->*Field;
}

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
inline constexpr uint64_t kImageTransfer = 19;
inline constexpr uint64_t kGaussianWeights = 20;
inline constexpr uint64_t kLossCurve = 21;
inline constexpr uint64_t kLossQuery = 22;
inline constexpr uint64_t kPrincipledPairs = 23;
inline constexpr uint64_t kPrincipledGroups = 24;
inline constexpr uint64_t kOpaqueQuadrature = 25;
}  // namespace operation

// The process's operation table, or null when no provider (or no table) is available. The first
// call runs discovery exactly once; later calls return the stored result. Defined in provider/.
const OperationTable* operations() noexcept;

}  // namespace vrel::provider
