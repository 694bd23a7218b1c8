// vrel_mesh_vertex_normals and its backward and workspace query.
#include "mesh/checks.hpp"
#include "mesh/vertex_normals_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;
using abi::mutable_data_of;

namespace {

VrelStatus check_weighting(const frame::Frame& f, uint32_t weighting) noexcept {
  return weighting == VREL_MESH_WEIGHTING_AREA || weighting == VREL_MESH_WEIGHTING_UNIFORM
             ? VREL_STATUS_OK
             : f.fail(VREL_STATUS_INVALID_ARGUMENT,
                      "weighting must be VREL_MESH_WEIGHTING_AREA or VREL_MESH_WEIGHTING_UNIFORM");
}

// Backward scratch: V*3 elements of the vertex dtype; false on overflow.
bool scratch_bytes(int64_t vertex_count, uint32_t dtype, uint64_t* bytes) noexcept {
  return frame::mul_size(static_cast<uint64_t>(vertex_count), 3 * abi::dtype_size(dtype), bytes);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_mesh_vertex_normals(
    const VrelTensorView* vertices, const VrelTensorView* faces, double eps, uint32_t weighting,
    const VrelExecutionContext* context, const VrelTensorView* normals,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::vertex_normals>(diag, vertices, faces, eps, weighting,
                                                         context, normals, workspace, diag);
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(check_weighting(f, weighting));
  VREL_TRY(check_mesh(f, vertices, faces, eps, context, workspace));
  const int64_t V = rows(vertices);
  VREL_TRY(f.output(normals, {V, 3}, "unit normals must be a [V,3] output view"));
  VREL_TRY(f.dtype_is(normals, vertices->dtype, "unit normals must match the vertices dtype"));
  VREL_TRY(f.no_alias({normals}, {vertices, faces}));
  if (V == 0) return VREL_STATUS_OK;
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    vertex_normals(data_of<T>(*vertices), data_of<int32_t>(*faces), V, rows(faces), eps, weighting,
                   mutable_data_of<T>(*normals));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_vertex_normals_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, double eps, uint32_t weighting,
    const VrelTensorView* grad_normals, const VrelExecutionContext* context,
    const VrelTensorView* grad_vertices, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::vertex_normals_backward>(diag, vertices, faces, eps,
                                                                  weighting, grad_normals, context,
                                                                  grad_vertices, workspace, diag);
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(check_weighting(f, weighting));
  VREL_TRY(check_mesh(f, vertices, faces, eps, context, workspace));
  const int64_t V = rows(vertices);
  VREL_TRY(f.input(grad_normals, {V, 3}, "normal cotangents must be a [V,3] tensor view"));
  VREL_TRY(f.dtype_is(grad_normals, vertices->dtype, kCotangentDtype));
  VREL_TRY(f.output(grad_vertices, {V, 3}, kGradShape));
  VREL_TRY(f.dtype_is(grad_vertices, vertices->dtype, kGradDtype));
  VREL_TRY(f.no_alias({grad_vertices}, {vertices, faces, grad_normals}));
  if (V == 0) return VREL_STATUS_OK;
  uint64_t required = 0;
  if (!scratch_bytes(V, vertices->dtype, &required))  // cannot happen for a validated view
    return f.fail(VREL_STATUS_OVERFLOW, frame::kWorkspaceOverflow);
  VREL_TRY(f.workspace(workspace, required, true, abi::dtype_size(vertices->dtype),
                       "the workspace data pointer must be aligned to the dtype",
                       {vertices, faces, grad_normals, grad_vertices}));
  with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    vertex_normals_backward(data_of<T>(*vertices), data_of<int32_t>(*faces), V, rows(faces), eps,
                            weighting, data_of<T>(*grad_normals),
                            mutable_data_of<T>(*grad_vertices), static_cast<T*>(workspace->data));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_vertex_normals_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kMesh};
  VREL_TRY(f.reset());
  VREL_TRY(frame::query_checks(f, {{vertex_count >= 0 && face_count >= 0, kVertexCounts}}, dtype,
                               "mesh.vertex_normals supports the float32 and float64 dtypes",
                               context, workspace_bytes, workspace_alignment));
  if (context->device_type != VREL_DEVICE_CPU && context->device_type != VREL_DEVICE_CUDA)
    return f.fail(VREL_STATUS_UNSUPPORTED,
                  "mesh.vertex_normals supports the CPU and CUDA backends");
  uint64_t bytes = 0;
  if (!scratch_bytes(vertex_count, dtype, &bytes))
    return f.fail(VREL_STATUS_OVERFLOW, frame::kWorkspaceOverflow);
  return frame::store_query(workspace_bytes, workspace_alignment, bytes, abi::dtype_size(dtype));
}
