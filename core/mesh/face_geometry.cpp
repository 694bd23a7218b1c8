// vrel_mesh_face_geometry and its backward and workspace query.
#include "mesh/checks.hpp"
#include "mesh/face_geometry_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

extern "C" VREL_API VrelStatus vrel_mesh_face_geometry(
    const VrelTensorView* vertices, const VrelTensorView* faces, double eps,
    const VrelExecutionContext* context, const VrelTensorView* normals, const VrelTensorView* areas,
    const VrelTensorView* valid, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward_entry<&frame::Table::face_geometry>(
        "the CUDA provider does not implement mesh.face_geometry", false, diag, vertices, faces,
        eps, context, normals, areas, valid, workspace, diag);
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(check_mesh(f, vertices, faces, eps, context, workspace));
  const int64_t F = rows(faces);
  VREL_TRY(f.output(normals, {F, 3}, "unit normals must be a [F,3] output view"));
  VREL_TRY(f.output(areas, {F}, "areas must be a [F] output view"));
  VREL_TRY(f.output(valid, {F}, "valid must be a [F] output view"));
  VREL_TRY(f.dtype_is(normals, vertices->dtype, "floating outputs must match the vertices dtype"));
  VREL_TRY(f.dtype_is(areas, vertices->dtype, "floating outputs must match the vertices dtype"));
  VREL_TRY(f.dtype_is(valid, VREL_DTYPE_BOOL, vrel::sentence::kValidDtype));
  VREL_TRY(f.no_alias({normals, areas, valid}, {vertices, faces}));
  if (F == 0) return VREL_STATUS_OK;
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    face_geometry(data_of<T>(*vertices), data_of<int32_t>(*faces), F, eps,
                  mutable_data_of<T>(*normals), mutable_data_of<T>(*areas),
                  mutable_data_of<uint8_t>(*valid));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_face_geometry_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, double eps,
    const VrelTensorView* grad_normals, const VrelTensorView* grad_areas,
    const VrelExecutionContext* context, const VrelTensorView* grad_vertices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::face_geometry_backward>(diag, vertices, faces, eps,
                                                                 grad_normals, grad_areas, context,
                                                                 grad_vertices, workspace, diag);
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(check_mesh(f, vertices, faces, eps, context, workspace));
  const int64_t V = rows(vertices);
  const int64_t F = rows(faces);
  VREL_TRY(f.optional_input(grad_normals, {F, 3}, "normal cotangents must be a [F,3] tensor view"));
  if (grad_normals) VREL_TRY(f.dtype_is(grad_normals, vertices->dtype, kCotangentDtype));
  if (!grad_normals && !grad_areas)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "at least one cotangent view is required");
  VREL_TRY(f.optional_input(grad_areas, {F}, "area cotangents must be a [F] tensor view"));
  if (grad_areas) VREL_TRY(f.dtype_is(grad_areas, vertices->dtype, kCotangentDtype));
  VREL_TRY(f.output(grad_vertices, {V, 3}, kGradShape));
  VREL_TRY(f.dtype_is(grad_vertices, vertices->dtype, kGradDtype));
  VREL_TRY(f.no_alias({grad_vertices}, {vertices, faces, grad_normals, grad_areas}));
  if (V == 0) return VREL_STATUS_OK;
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    face_geometry_backward(data_of<T>(*vertices), data_of<int32_t>(*faces), V, F, eps,
                           grad_normals ? data_of<T>(*grad_normals) : nullptr,
                           grad_areas ? data_of<T>(*grad_areas) : nullptr,
                           mutable_data_of<T>(*grad_vertices));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_face_geometry_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kFaceGeometry,
                                "mesh.face_geometry supports the float32 and float64 dtypes",
                                frame::Query::kHostFirst};
  return frame::workspace_query(kMesh, kQuery,
                                {{vertex_count >= 0 && face_count >= 0, kVertexCounts}}, dtype,
                                context, workspace_bytes, workspace_alignment, diag);
}
