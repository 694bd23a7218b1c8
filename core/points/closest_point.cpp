// Exports of the closest-point-on-mesh operation: forward search, backward pass, workspace query.
#include <algorithm>
#include <cmath>

#include "abi/frame.hpp"
#include "points/checks.hpp"
#include "points/closest_point_kernel.hpp"

using namespace vrel;
using namespace vrel::points;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

// A view of the operation with its shape, access rule and dtype.
VrelStatus typed_input(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                       const char* shape_message, uint32_t dtype,
                       const char* dtype_message) noexcept {
  VREL_TRY(f.input(view, dims, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

VrelStatus typed_output(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                        const char* shape_message, uint32_t dtype,
                        const char* dtype_message) noexcept {
  VREL_TRY(f.output(view, dims, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

// The checks both directions share on the context, points, vertices and faces.
VrelStatus check_mesh(const frame::Frame& f, const VrelExecutionContext* context,
                      const VrelTensorView* points, const VrelTensorView* vertices,
                      const VrelTensorView* faces) noexcept {
  VREL_TRY(f.context(context));
  VREL_TRY(f.input(points, {kAny, 3}, "points must be a [P,3] tensor view"));
  VREL_TRY(f.dtype_in(points, frame::kFloating, "points must use the float32 or float64 dtype"));
  VREL_TRY(typed_input(f, vertices, {kAny, 3}, "vertices must be a [V,3] tensor view",
                       points->dtype, "vertices must match the points dtype"));
  return frame::check_faces(f, faces);
}

template <typename T>
void run_search(const VrelTensorView* points, const VrelTensorView* vertices,
                const VrelTensorView* faces, const VrelTensorView* point_offsets,
                const VrelTensorView* face_offsets, double eps,
                const VrelTensorView* distance_squared, const VrelTensorView* face_index,
                const VrelTensorView* barycentric, const VrelTensorView* closest,
                const VrelTensorView* valid, void* index) noexcept {
  const ClosestProblem<T> problem{data_of<T>(*points),
                                  data_of<T>(*vertices),
                                  data_of<int32_t>(*faces),
                                  data_of<int32_t>(*point_offsets),
                                  data_of<int32_t>(*face_offsets),
                                  point_offsets->shape[0] - 1,
                                  eps,
                                  mutable_data_of<T>(*distance_squared),
                                  mutable_data_of<int32_t>(*face_index),
                                  mutable_data_of<T>(*barycentric),
                                  mutable_data_of<T>(*closest),
                                  mutable_data_of<uint8_t>(*valid)};
  if (index != nullptr)
    closest_point_search_indexed(problem, points->shape[0], faces->shape[0], index);
  else
    closest_point_search(problem);
}

template <typename T>
ClosestGradientFault run_gradients(const VrelTensorView* points, const VrelTensorView* vertices,
                                   const VrelTensorView* faces, const VrelTensorView* face_index,
                                   const VrelTensorView* barycentric, const VrelTensorView* closest,
                                   const VrelTensorView* valid, const VrelTensorView* grad_distance,
                                   const VrelTensorView* grad_points,
                                   const VrelTensorView* grad_vertices) noexcept {
  return closest_point_gradients<T>(
      {data_of<T>(*points), data_of<int32_t>(*faces), data_of<int32_t>(*face_index),
       data_of<T>(*barycentric), data_of<T>(*closest), data_of<uint8_t>(*valid),
       data_of<T>(*grad_distance), points->shape[0], vertices->shape[0], faces->shape[0],
       grad_points ? mutable_data_of<T>(*grad_points) : nullptr,
       grad_vertices ? mutable_data_of<T>(*grad_vertices) : nullptr});
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_points_closest_point_on_mesh(
    const VrelTensorView* points, const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelTensorView* point_offsets, const VrelTensorView* vertex_offsets,
    const VrelTensorView* face_offsets, double eps, const VrelExecutionContext* context,
    const VrelTensorView* distance_squared, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelTensorView* closest, const VrelTensorView* valid,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::closest_point_on_mesh>(
        diag, points, vertices, faces, point_offsets, vertex_offsets, face_offsets, eps, context,
        distance_squared, face_index, barycentric, closest, valid, workspace, diag);
  const frame::Frame f{diag, kClosestFamily};
  VREL_TRY(f.reset());
  VREL_TRY(frame::check_eps(f, eps));
  VREL_TRY(check_mesh(f, context, points, vertices, faces));
  const int64_t p = points->shape[0];
  const uint32_t dtype = points->dtype;

  VREL_TRY(f.header(point_offsets));
  if (point_offsets == nullptr || point_offsets->rank != 1 ||
      (point_offsets->shape != nullptr && point_offsets->shape[0] < 1))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "point offsets must be a [B+1] tensor view");
  const int64_t batch = point_offsets->shape != nullptr ? point_offsets->shape[0] - 1 : 0;
  VREL_TRY(
      f.offsets(point_offsets, batch, p, "point offsets must satisfy the packed-offset rules"));
  VREL_TRY(
      f.offsets(vertex_offsets, batch, vertices->shape[0], vrel::sentence::kVertexOffsetsRules));
  VREL_TRY(f.offsets(face_offsets, batch, faces->shape[0], vrel::sentence::kFaceOffsetsRules));

  VREL_TRY(typed_output(f, distance_squared, {p}, "distances must be a [P] output view", dtype,
                        "distances must match the points dtype"));
  VREL_TRY(typed_output(f, face_index, {p}, "face indices must be a [P] output view",
                        VREL_DTYPE_INT32, vrel::sentence::kFaceIndexDtype));
  VREL_TRY(typed_output(f, barycentric, {p, 3}, "barycentrics must be a [P,3] output view", dtype,
                        "barycentrics must match the points dtype"));
  VREL_TRY(typed_output(f, closest, {p, 3}, "closest points must be a [P,3] output view", dtype,
                        "closest points must match the points dtype"));
  VREL_TRY(typed_output(f, valid, {p}, "valid must be a [P] output view", VREL_DTYPE_BOOL,
                        vrel::sentence::kValidDtype));
  VREL_TRY(f.no_alias({distance_squared, face_index, barycentric, closest, valid},
                      {points, vertices, faces, point_offsets, vertex_offsets, face_offsets}));
  VREL_TRY(f.given_workspace(workspace));

  VREL_TRY(frame::check_faces_in_batches(f, data_of<int32_t>(*faces),
                                         data_of<int32_t>(*vertex_offsets),
                                         data_of<int32_t>(*face_offsets), batch));
  if (batch == 0 || p == 0) return VREL_STATUS_OK;

  void* index = index_memory(workspace, closest_index_bytes(p, faces->shape[0]),
                             {points, vertices, faces, point_offsets, vertex_offsets, face_offsets,
                              distance_squared, face_index, barycentric, closest, valid});
  frame::with_floating(dtype, [&](auto t) {
    run_search<decltype(t)>(points, vertices, faces, point_offsets, face_offsets, eps,
                            distance_squared, face_index, barycentric, closest, valid, index);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_points_closest_point_on_mesh_backward(
    const VrelTensorView* points, const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelTensorView* face_index, const VrelTensorView* barycentric,
    const VrelTensorView* closest, const VrelTensorView* valid,
    const VrelTensorView* grad_distance_squared, const VrelExecutionContext* context,
    const VrelTensorView* grad_points, const VrelTensorView* grad_vertices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::closest_point_on_mesh_backward>(
        diag, points, vertices, faces, face_index, barycentric, closest, valid,
        grad_distance_squared, context, grad_points, grad_vertices, workspace, diag);
  const frame::Frame f{diag, kClosestFamily};
  VREL_TRY(f.reset());
  VREL_TRY(check_mesh(f, context, points, vertices, faces));
  const int64_t p = points->shape[0];
  const uint32_t dtype = points->dtype;
  if (grad_points == nullptr && grad_vertices == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kGradientRequired);

  VREL_TRY(typed_input(f, face_index, {p}, "face indices must be a [P] tensor view",
                       VREL_DTYPE_INT32, vrel::sentence::kFaceIndexDtype));
  VREL_TRY(typed_input(f, barycentric, {p, 3}, "barycentrics must be a [P,3] tensor view", dtype,
                       "barycentrics must match the points dtype"));
  VREL_TRY(typed_input(f, closest, {p, 3}, "closest points must be a [P,3] tensor view", dtype,
                       "closest points must match the points dtype"));
  VREL_TRY(typed_input(f, valid, {p}, "valid must be a [P] tensor view", VREL_DTYPE_BOOL,
                       vrel::sentence::kValidDtype));
  VREL_TRY(typed_input(f, grad_distance_squared, {p},
                       "distance cotangents must be a [P] tensor view", dtype,
                       "cotangents must match the points dtype"));
  if (grad_points != nullptr)
    VREL_TRY(typed_output(f, grad_points, {p, 3}, "point gradients must be a [P,3] output view",
                          dtype, "point gradients must match the points dtype"));
  if (grad_vertices != nullptr)
    VREL_TRY(typed_output(f, grad_vertices, {vertices->shape[0], 3},
                          vrel::sentence::kVertexGradients, dtype,
                          "vertex gradients must match the points dtype"));
  // Clearing a gradient that shares bytes with an input would corrupt the pass.
  VREL_TRY(f.no_alias(
      {grad_points, grad_vertices},
      {points, vertices, faces, face_index, barycentric, closest, valid, grad_distance_squared}));
  VREL_TRY(f.given_workspace(workspace));

  const ClosestGradientFault fault = frame::with_floating(dtype, [&](auto t) {
    return run_gradients<decltype(t)>(points, vertices, faces, face_index, barycentric, closest,
                                      valid, grad_distance_squared, grad_points, grad_vertices);
  });
  if (fault == ClosestGradientFault::kFace)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "a valid face index lies outside the face range");
  if (fault == ClosestGradientFault::kVertex)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "a face references a vertex outside the vertex range");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_points_closest_point_on_mesh_workspace(
    int64_t point_count, int64_t vertex_count, int64_t face_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* workspace_bytes, uint64_t* workspace_alignment,
    VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kClosestPoint, kQueryDtype,
                                frame::Query::kCountsFirst};
  // The hierarchy over the faces (none below the size where the exhaustive scan wins). Callable
  // counts fit int32 (the offsets are int32), which keeps the size far from overflow.
  const uint64_t bytes = closest_index_bytes(std::clamp<int64_t>(point_count, 0, INT32_MAX),
                                             std::clamp<int64_t>(face_count, 0, INT32_MAX));
  return frame::workspace_query(
      kQueryFamily, kQuery,
      {{point_count >= 0 && vertex_count >= 0 && face_count >= 0, kCountsNegative}}, dtype, context,
      workspace_bytes, workspace_alignment, diag, bytes, bytes == 0 ? 1 : 8);
}
