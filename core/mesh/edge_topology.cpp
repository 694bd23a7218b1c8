// vrel_mesh_build_edge_topology and its workspace query (CPU only, no backward).
#include <climits>

#include "mesh/checks.hpp"
#include "mesh/edge_topology_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr const char* kTopologyCpuOnly =
    "mesh.build_edge_topology implements only the CPU backend in this phase";
constexpr frame::Family kTopology{kTopologyCpuOnly, kCpuOnly,
                                  "mesh.build_edge_topology accepts only CPU workspace storage"};
constexpr const char* kOutputDtype = "topology outputs must use the int32 dtype";

// An int32 output of the given shape.
VrelStatus topology_output(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                           const char* shape_message) noexcept {
  VREL_TRY(f.output(view, dims, shape_message));
  return f.dtype_is(view, VREL_DTYPE_INT32, kOutputDtype);
}

VrelStatus check_nonnegative(const frame::Frame& f, const VrelTensorView* faces) noexcept {
  const int32_t* index = data_of<int32_t>(*faces);
  for (int64_t i = 0; i < rows(faces) * 3; ++i)
    if (index[i] < 0)
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, "face indices must be nonnegative");
  return VREL_STATUS_OK;
}

// 36 bytes per face: three records of (low, high, face).
bool record_bytes(int64_t face_count, uint64_t* bytes) noexcept {
  return frame::mul_size(static_cast<uint64_t>(face_count), sizeof(EdgeRecord) * 3, bytes);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_mesh_build_edge_topology(
    const VrelTensorView* faces, const VrelTensorView* face_offsets,
    const VrelExecutionContext* context, const VrelTensorView* mesh_edge_offsets,
    const VrelTensorView* edges, const VrelTensorView* edge_face_offsets,
    const VrelTensorView* edge_faces, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kTopology};
  VREL_TRY(f.reset());
  VREL_TRY(f.context(context));
  VREL_TRY(check_faces(f, faces));
  VREL_TRY(topology_output(f, mesh_edge_offsets, {frame::kAny},
                           "mesh edge offsets must be a [B+1] output view"));
  const int64_t entries = rows(mesh_edge_offsets);
  VREL_TRY(f.shape(face_offsets, {entries}, "face offsets must have extent B+1"));
  VREL_TRY(f.validate(face_offsets));
  VREL_TRY(f.on_cpu(face_offsets));
  VREL_TRY(f.dtype_is(face_offsets, VREL_DTYPE_INT32, "face offsets must use the int32 dtype",
                      VREL_STATUS_UNSUPPORTED));
  VREL_TRY(f.not_output(face_offsets));
  const int64_t F = rows(faces);
  VREL_TRY(topology_output(f, edges, {3 * F, 2}, "edges must be a [3F,2] output view"));
  VREL_TRY(topology_output(f, edge_face_offsets, {3 * F + 1},
                           "edge face offsets must be a [3F+1] output view"));
  VREL_TRY(topology_output(f, edge_faces, {3 * F}, "edge faces must be a [3F] output view"));
  VREL_TRY(
      f.no_alias({mesh_edge_offsets, edges, edge_face_offsets, edge_faces}, {faces, face_offsets}));
  VREL_TRY(f.offset_rules(
      face_offsets, F,
      {"face offsets must have extent B+1", "the first face offset must be zero",
       "face offsets must be nondecreasing", "the final face offset must equal the face count"}));
  VREL_TRY(check_nonnegative(f, faces));
  // Edge face offsets count up to 3F face references, which must fit their int32 entries.
  if (3 * F > INT32_MAX)
    return f.fail(VREL_STATUS_OVERFLOW,
                  "edge face offsets of more than 715827882 faces overflow int32");
  uint64_t required = 0;
  if (!record_bytes(F, &required)) return f.fail(VREL_STATUS_OVERFLOW, frame::kWorkspaceOverflow);
  VREL_TRY(
      f.workspace(workspace, required, false, alignof(EdgeRecord),
                  "the workspace data pointer must be aligned to int32",
                  {faces, face_offsets, mesh_edge_offsets, edges, edge_face_offsets, edge_faces}));
  build_edge_topology(
      data_of<int32_t>(*faces), data_of<int32_t>(*face_offsets), entries - 1, F,
      F > 0 ? static_cast<EdgeRecord*>(workspace->data) : nullptr,
      mutable_data_of<int32_t>(*mesh_edge_offsets), mutable_data_of<int32_t>(*edges),
      mutable_data_of<int32_t>(*edge_face_offsets), mutable_data_of<int32_t>(*edge_faces));
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_build_edge_topology_workspace(
    int64_t face_count, int64_t batch_count, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kTopology};
  VREL_TRY(f.reset());
  VREL_TRY(f.query_pointers(workspace_bytes, workspace_alignment));
  if (face_count < 0 || batch_count < 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "face and batch counts must be nonnegative");
  VREL_TRY(f.context(context));
  uint64_t bytes = 0;
  if (!record_bytes(face_count, &bytes))
    return f.fail(VREL_STATUS_OVERFLOW, frame::kWorkspaceOverflow);
  return frame::store_query(workspace_bytes, workspace_alignment, bytes, alignof(EdgeRecord));
}
