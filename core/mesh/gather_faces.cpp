// vrel_mesh_gather_faces and its backward and workspace query.
#include "mesh/checks.hpp"
#include "mesh/gather_faces_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr const char* kGatherCpuOnly =
    "mesh.gather_faces implements only the CPU backend in this phase";
// The output of the forward and the device rule of the query use the operation's own sentence.
constexpr frame::Family kGather{kGatherCpuOnly, kGatherCpuOnly, kCpuWorkspace};

}  // namespace

extern "C" VREL_API VrelStatus vrel_mesh_gather_faces(
    const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelExecutionContext* context, const VrelTensorView* face_vertices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::gather_faces>(diag, vertices, faces, context,
                                                       face_vertices, workspace, diag);
  const frame::Frame f{diag, kMesh};
  const frame::Frame gather{diag, kGather};
  VREL_TRY(f.reset());
  VREL_TRY(check_mesh(f, vertices, faces, 0.0, context, workspace));
  const int64_t F = rows(faces);
  VREL_TRY(gather.output(face_vertices, {F, 3, 3}, "face vertices must be a [F,3,3] output view"));
  VREL_TRY(
      f.dtype_is(face_vertices, vertices->dtype, "face vertices must match the vertices dtype"));
  VREL_TRY(f.no_alias({face_vertices}, {vertices, faces}));
  if (F == 0) return VREL_STATUS_OK;
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    gather_faces(data_of<T>(*vertices), data_of<int32_t>(*faces), F,
                 mutable_data_of<T>(*face_vertices));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_gather_faces_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelTensorView* grad_face_vertices, const VrelExecutionContext* context,
    const VrelTensorView* grad_vertices, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::gather_faces_backward>(
        diag, vertices, faces, grad_face_vertices, context, grad_vertices, workspace, diag);
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(check_mesh(f, vertices, faces, 0.0, context, workspace));
  const int64_t V = rows(vertices);
  const int64_t F = rows(faces);
  // The cotangent's access flags are not examined; its device is, so that device memory never
  // reaches the CPU kernel.
  VREL_TRY(f.shape(grad_face_vertices, {F, 3, 3},
                   "face-vertex cotangents must be a [F,3,3] tensor view"));
  VREL_TRY(f.validate(grad_face_vertices));
  VREL_TRY(f.on_cpu(grad_face_vertices));
  VREL_TRY(f.dtype_is(grad_face_vertices, vertices->dtype, kCotangentDtype));
  VREL_TRY(f.output(grad_vertices, {V, 3}, kGradShape));
  VREL_TRY(f.dtype_is(grad_vertices, vertices->dtype, kGradDtype));
  VREL_TRY(f.no_alias({grad_vertices}, {vertices, faces, grad_face_vertices}));
  if (V == 0) return VREL_STATUS_OK;
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    gather_faces_backward(data_of<int32_t>(*faces), V, F, data_of<T>(*grad_face_vertices),
                          mutable_data_of<T>(*grad_vertices));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_gather_faces_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kGatherFaces,
                                "mesh.gather_faces supports the float32 and float64 dtypes",
                                frame::Query::kPointersFirst};
  return frame::workspace_query(kGather, kQuery,
                                {{vertex_count >= 0 && face_count >= 0, kVertexCounts}}, dtype,
                                context, workspace_bytes, workspace_alignment, diag);
}
