// Kernels of the point proximity family: k nearest neighbours and closest point on a mesh.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors3 = std::tuple<Tensor, Tensor, Tensor>;
using Tensors5 = std::tuple<Tensor, Tensor, Tensor, Tensor, Tensor>;

Tensors3 knn(Tensor query, Tensor reference, Tensor query_offsets, Tensor reference_offsets,
             std::int64_t neighbor_count) {
  Call call(query);
  const std::int64_t P = extent(query, 0), R = extent(reference, 0);
  Workspace ws = make_workspace(query, query_bytes(call, vrel_points_knn_workspace,
                                                   dtype_code(query), P, R, neighbor_count));
  const std::int64_t K = neighbor_count < 0 ? 0 : neighbor_count;
  Tensor distance_squared = new_empty(query, {P, K});
  Tensor reference_index = new_empty(query, {P, K}, ScalarType::Int);
  Tensor valid = new_empty(query, {P, K}, ScalarType::Bool);
  call.check(vrel_points_knn(call.in(query), call.in(reference), call.in(query_offsets),
                             call.in(reference_offsets), neighbor_count, call.context(),
                             call.out(distance_squared), call.out(reference_index),
                             call.out(valid), ws.or_null(), call.diag()));
  return {distance_squared, reference_index, valid};
}

Tensors2 knn_backward(Tensor query, Tensor reference, Tensor reference_index, Tensor valid,
                      Tensor grad_distance_squared) {
  Call call(query);
  const std::int64_t P = extent(query, 0), R = extent(reference, 0);
  const std::int64_t K = dim_of(reference_index) == 2 ? extent(reference_index, 1) : 0;
  Workspace ws = make_workspace(
      query, query_bytes(call, vrel_points_knn_workspace, dtype_code(query), P, R, K));
  Tensor grad_query = new_empty(query, sizes_of(query));
  Tensor grad_reference = new_empty(query, sizes_of(reference));
  call.check(vrel_points_knn_backward(call.in(query), call.in(reference), call.in(reference_index),
                                      call.in(valid), call.in(grad_distance_squared),
                                      call.context(), call.out(grad_query),
                                      call.out(grad_reference), ws.or_null(), call.diag()));
  return {grad_query, grad_reference};
}

void knn_out(Tensor query, Tensor reference, Tensor query_offsets, Tensor reference_offsets,
             std::int64_t neighbor_count, Tensor distance_squared, Tensor reference_index,
             Tensor valid, Tensor workspace) {
  Call call(query);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_points_knn(call.in(query), call.in(reference), call.in(query_offsets),
                             call.in(reference_offsets), neighbor_count, call.context(),
                             call.out(distance_squared), call.out(reference_index),
                             call.out(valid), &ws, call.diag()));
}

std::uint64_t closest_bytes(Call &call, const Tensor &points, const Tensor &vertices,
                            const Tensor &faces) {
  return query_bytes(call, vrel_points_closest_point_on_mesh_workspace, dtype_code(points),
                     extent(points, 0), extent(vertices, 0), extent(faces, 0));
}

Tensors5 closest_point_on_mesh(Tensor points, Tensor vertices, Tensor faces, Tensor point_offsets,
                               Tensor vertex_offsets, Tensor face_offsets, double eps) {
  Call call(points);
  Workspace ws = make_workspace(points, closest_bytes(call, points, vertices, faces));
  const std::int64_t P = extent(points, 0);
  Tensor distance_squared = new_empty(points, {P});
  Tensor face_index = new_empty(points, {P}, ScalarType::Int);
  Tensor barycentric = new_empty(points, {P, 3});
  Tensor closest = new_empty(points, {P, 3});
  Tensor valid = new_empty(points, {P}, ScalarType::Bool);
  call.check(vrel_points_closest_point_on_mesh(
      call.in(points), call.in(vertices), call.in(faces), call.in(point_offsets),
      call.in(vertex_offsets), call.in(face_offsets), eps, call.context(),
      call.out(distance_squared), call.out(face_index), call.out(barycentric), call.out(closest),
      call.out(valid), ws.or_null(), call.diag()));
  return {distance_squared, face_index, barycentric, closest, valid};
}

Tensors2 closest_point_on_mesh_backward(Tensor points, Tensor vertices, Tensor faces,
                                        Tensor face_index, Tensor barycentric, Tensor closest,
                                        Tensor valid, Tensor grad_distance_squared) {
  Call call(points);
  Workspace ws = make_workspace(points, closest_bytes(call, points, vertices, faces));
  Tensor grad_points = new_empty(points, sizes_of(points));
  Tensor grad_vertices = new_empty(points, sizes_of(vertices));
  call.check(vrel_points_closest_point_on_mesh_backward(
      call.in(points), call.in(vertices), call.in(faces), call.in(face_index),
      call.in(barycentric), call.in(closest), call.in(valid), call.in(grad_distance_squared),
      call.context(), call.out(grad_points), call.out(grad_vertices), ws.or_null(), call.diag()));
  return {grad_points, grad_vertices};
}

void closest_point_on_mesh_out(Tensor points, Tensor vertices, Tensor faces, Tensor point_offsets,
                               Tensor vertex_offsets, Tensor face_offsets, double eps,
                               Tensor distance_squared, Tensor face_index, Tensor barycentric,
                               Tensor closest, Tensor valid, Tensor workspace) {
  Call call(points);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_points_closest_point_on_mesh(
      call.in(points), call.in(vertices), call.in(faces), call.in(point_offsets),
      call.in(vertex_offsets), call.in(face_offsets), eps, call.context(),
      call.out(distance_squared), call.out(face_index), call.out(barycentric), call.out(closest),
      call.out(valid), &ws, call.diag()));
}

}  // namespace

std::span<const KernelBinding> points_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(knn),
      VREL_BIND(knn_backward),
      VREL_BIND(knn_out),
      VREL_BIND(closest_point_on_mesh),
      VREL_BIND(closest_point_on_mesh_backward),
      VREL_BIND(closest_point_on_mesh_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
