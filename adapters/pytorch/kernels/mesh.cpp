// Kernels of the mesh family: face geometry, vertex normals, face gathering, edge topology,
// validation and surface sampling.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors3 = std::tuple<Tensor, Tensor, Tensor>;
using Tensors4 = std::tuple<Tensor, Tensor, Tensor, Tensor>;

Tensors3 face_geometry(Tensor vertices, Tensor faces, double eps) {
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_face_geometry_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor normals = new_empty(vertices, {F, 3});
  Tensor areas = new_empty(vertices, {F});
  Tensor valid = new_empty(vertices, {F}, ScalarType::Bool);
  call.check(vrel_mesh_face_geometry(call.in(vertices, "vertices"), call.in(faces, "faces"), eps,
                                     call.context(), call.out(normals, "normals"),
                                     call.out(areas, "areas"), call.out(valid, "valid"),
                                     ws.or_null(), call.diag()));
  return {normals, areas, valid};
}

Tensor face_geometry_backward(Tensor vertices, Tensor faces, double eps, Tensor grad_normals,
                              Tensor grad_areas, bool has_grad_normals, bool has_grad_areas) {
  require(has_grad_normals || has_grad_areas, "the backward pass requires at least one cotangent");
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_face_geometry_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor grad_vertices = new_empty(vertices, {V, 3});
  call.check(vrel_mesh_face_geometry_backward(
      call.in(vertices, "vertices"), call.in(faces, "faces"), eps,
      call.in_if(grad_normals, has_grad_normals, "grad_normals"),
      call.in_if(grad_areas, has_grad_areas, "grad_areas"), call.context(),
      call.out(grad_vertices, "grad_vertices"), ws.or_null(), call.diag()));
  return grad_vertices;
}

void face_geometry_out(Tensor vertices, Tensor faces, double eps, Tensor normals, Tensor areas,
                       Tensor valid, Tensor workspace) {
  Call call(vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_mesh_face_geometry(call.in(vertices, "vertices"), call.in(faces, "faces"), eps,
                                     call.context(), call.out(normals, "normals"),
                                     call.out(areas, "areas"), call.out(valid, "valid"), &ws,
                                     call.diag()));
}

Tensor vertex_normals(Tensor vertices, Tensor faces, double eps, std::int64_t weighting) {
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_vertex_normals_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor normals = new_empty(vertices, {V, 3});
  call.check(vrel_mesh_vertex_normals(call.in(vertices, "vertices"), call.in(faces, "faces"), eps,
                                      as_u32(weighting), call.context(),
                                      call.out(normals, "normals"), ws.or_null(), call.diag()));
  return normals;
}

Tensor vertex_normals_backward(Tensor vertices, Tensor faces, double eps, std::int64_t weighting,
                               Tensor grad_normals) {
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_vertex_normals_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor grad_vertices = new_empty(vertices, {V, 3});
  call.check(vrel_mesh_vertex_normals_backward(
      call.in(vertices, "vertices"), call.in(faces, "faces"), eps, as_u32(weighting),
      call.in(grad_normals, "grad_normals"), call.context(),
      call.out(grad_vertices, "grad_vertices"), ws.or_null(), call.diag()));
  return grad_vertices;
}

void vertex_normals_out(Tensor vertices, Tensor faces, double eps, std::int64_t weighting,
                        Tensor normals, Tensor workspace) {
  Call call(vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_mesh_vertex_normals(call.in(vertices, "vertices"), call.in(faces, "faces"), eps,
                                      as_u32(weighting), call.context(),
                                      call.out(normals, "normals"), &ws, call.diag()));
}

Tensor gather_faces(Tensor vertices, Tensor faces) {
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_gather_faces_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor gathered = new_empty(vertices, {F, 3, 3});
  call.check(vrel_mesh_gather_faces(call.in(vertices, "vertices"), call.in(faces, "faces"),
                                    call.context(), call.out(gathered, "gathered"), ws.or_null(),
                                    call.diag()));
  return gathered;
}

Tensor gather_faces_backward(Tensor vertices, Tensor faces, Tensor grad_gathered) {
  Call call(vertices);
  const std::int64_t V = extent(vertices, 0), F = extent(faces, 0);
  Workspace ws = make_workspace(vertices, query_bytes(call, vrel_mesh_gather_faces_workspace,
                                                      dtype_code(vertices, "vertices"), V, F));
  Tensor grad_vertices = new_empty(vertices, {V, 3});
  call.check(vrel_mesh_gather_faces_backward(
      call.in(vertices, "vertices"), call.in(faces, "faces"),
      call.in(grad_gathered, "grad_gathered"), call.context(),
      call.out(grad_vertices, "grad_vertices"), ws.or_null(), call.diag()));
  return grad_vertices;
}

void gather_faces_out(Tensor vertices, Tensor faces, Tensor gathered, Tensor workspace) {
  Call call(vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_mesh_gather_faces(call.in(vertices, "vertices"), call.in(faces, "faces"),
                                    call.context(), call.out(gathered, "gathered"), &ws,
                                    call.diag()));
}

Tensors4 build_edge_topology(Tensor faces, Tensor face_offsets) {
  Call call(faces);
  const std::int64_t F = extent(faces, 0);
  const std::int64_t B = dim_of(face_offsets) >= 1 ? extent(face_offsets, 0) - 1 : 0;
  std::uint64_t bytes = 0, alignment = 0;
  call.check(vrel_mesh_build_edge_topology_workspace(F, B, call.context(), &bytes, &alignment,
                                                     call.diag()));
  Workspace ws = make_workspace(faces, bytes);
  // All four outputs take the dtype of faces.
  Tensor mesh_edge_offsets = new_empty(faces, {B + 1});
  Tensor edges = new_empty(faces, {3 * F, 2});
  Tensor edge_face_offsets = new_empty(faces, {3 * F + 1});
  Tensor edge_faces = new_empty(faces, {3 * F});
  call.check(vrel_mesh_build_edge_topology(
      call.in(faces, "faces"), call.in(face_offsets, "face_offsets"), call.context(),
      call.out(mesh_edge_offsets, "mesh_edge_offsets"), call.out(edges, "edges"),
      call.out(edge_face_offsets, "edge_face_offsets"), call.out(edge_faces, "edge_faces"),
      ws.or_null(), call.diag()));
  return {mesh_edge_offsets, edges, edge_face_offsets, edge_faces};
}

Tensor mesh_validate(Tensor vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                     double eps, std::int64_t flags) {
  Call call(vertices);
  VrelMeshValidationReport report{};
  report.struct_size = sizeof(VrelMeshValidationReport);
  report.abi_version = VREL_ABI_VERSION;
  call.check(vrel_mesh_validate(call.in(vertices, "vertices"), call.in(faces, "faces"),
                                call.in(vertex_offsets, "vertex_offsets"),
                                call.in(face_offsets, "face_offsets"), eps, as_u32(flags),
                                call.context(), &report, nullptr, call.diag()));
  // [issues, first invalid face, invalid offset index, degenerate faces, non-finite vertices,
  //  unreferenced vertices, 0] as int64.
  Tensor result = new_empty(vertices, {7}, ScalarType::Long);
  void *data = nullptr;
  STABLE_TORCH_ERROR_CODE_CHECK(torch_get_mutable_data_ptr(result.get(), &data));
  auto *out = static_cast<std::int64_t *>(data);
  out[0] = report.issues;
  out[1] = report.first_invalid_face;
  out[2] = report.invalid_offset_index;
  out[3] = static_cast<std::int64_t>(report.degenerate_faces);
  out[4] = report.nonfinite_vertices;
  out[5] = static_cast<std::int64_t>(report.unreferenced_vertices);
  out[6] = 0;
  return result;
}

std::uint64_t sample_surface_bytes(Call &call, const Tensor &vertices, const Tensor &faces,
                                   std::int64_t samples) {
  return query_bytes(call, vrel_mesh_sample_surface_workspace, dtype_code(vertices, "vertices"),
                     extent(vertices, 0), extent(faces, 0), samples);
}

Tensors4 sample_surface(Tensor vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                        std::int64_t sample_count, Tensor rng_key, Tensor rng_counter, double eps) {
  Call call(vertices);
  Workspace ws =
      make_workspace(vertices, sample_surface_bytes(call, vertices, faces, sample_count));
  const std::int64_t B = dim_of(vertex_offsets) >= 1 ? extent(vertex_offsets, 0) - 1 : 0;
  const std::int64_t S = sample_count < 0 ? 0 : sample_count;
  Tensor points = new_empty(vertices, {B, S, 3});
  Tensor face_index = new_empty(vertices, {B, S}, ScalarType::Int);
  Tensor barycentric = new_empty(vertices, {B, S, 3});
  Tensor next_counter = new_empty(vertices, {2}, ScalarType::UInt32);
  call.check(vrel_mesh_sample_surface(
      call.in(vertices, "vertices"), call.in(faces, "faces"),
      call.in(vertex_offsets, "vertex_offsets"), call.in(face_offsets, "face_offsets"),
      sample_count, call.in(rng_key, "rng_key"), call.in(rng_counter, "rng_counter"), eps,
      call.context(), call.out(points, "points"), call.out(face_index, "face_index"),
      call.out(barycentric, "barycentric"), call.out(next_counter, "next_counter"), ws.or_null(),
      call.diag()));
  return {points, face_index, barycentric, next_counter};
}

Tensor sample_surface_backward(Tensor vertices, Tensor faces, Tensor face_index, Tensor barycentric,
                               Tensor grad_points) {
  Call call(vertices);
  const std::int64_t S = dim_of(face_index) == 2 ? extent(face_index, 1) : 0;
  Workspace ws = make_workspace(vertices, sample_surface_bytes(call, vertices, faces, S));
  Tensor grad_vertices = new_empty(vertices, {extent(vertices, 0), 3});
  call.check(vrel_mesh_sample_surface_backward(
      call.in(faces, "faces"), call.in(face_index, "face_index"),
      call.in(barycentric, "barycentric"), call.in(grad_points, "grad_points"), call.context(),
      call.out(grad_vertices, "grad_vertices"), ws.or_null(), call.diag()));
  return grad_vertices;
}

void sample_surface_out(Tensor vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                        std::int64_t sample_count, Tensor rng_key, Tensor rng_counter, double eps,
                        Tensor points, Tensor face_index, Tensor barycentric, Tensor next_counter,
                        Tensor workspace) {
  Call call(vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_mesh_sample_surface(
      call.in(vertices, "vertices"), call.in(faces, "faces"),
      call.in(vertex_offsets, "vertex_offsets"), call.in(face_offsets, "face_offsets"),
      sample_count, call.in(rng_key, "rng_key"), call.in(rng_counter, "rng_counter"), eps,
      call.context(), call.out(points, "points"), call.out(face_index, "face_index"),
      call.out(barycentric, "barycentric"), call.out(next_counter, "next_counter"), &ws,
      call.diag()));
}

}  // namespace

std::span<const KernelBinding> mesh_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(face_geometry),
      VREL_BIND(face_geometry_backward),
      VREL_BIND(face_geometry_out),
      VREL_BIND(vertex_normals),
      VREL_BIND(vertex_normals_backward),
      VREL_BIND(vertex_normals_out),
      VREL_BIND(gather_faces),
      VREL_BIND(gather_faces_backward),
      VREL_BIND(gather_faces_out),
      VREL_BIND(build_edge_topology),
      VREL_BIND(mesh_validate),
      VREL_BIND(sample_surface),
      VREL_BIND(sample_surface_backward),
      VREL_BIND(sample_surface_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
