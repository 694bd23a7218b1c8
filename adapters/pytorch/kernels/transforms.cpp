// Kernels of the point transforms: batched 4x4 transforms and the perspective divide.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

std::uint64_t transform_bytes(Call &call, const Tensor &points, const Tensor &matrices) {
  return query_bytes(call, vrel_transforms_transform_points_workspace, dtype_code(points, "points"),
                     extent(points, 0), extent(matrices, 0));
}

Tensor transform_points(Tensor points, Tensor matrices, Tensor point_offsets) {
  Call call(points);
  Workspace ws = make_workspace(points, transform_bytes(call, points, matrices));
  Tensor homogeneous = new_empty(points, {extent(points, 0), 4});
  call.check(vrel_transforms_transform_points(
      call.in(points, "points"), call.in(matrices, "matrices"),
      call.in(point_offsets, "point_offsets"), call.context(), call.out(homogeneous, "homogeneous"),
      ws.or_null(), call.diag()));
  return homogeneous;
}

std::tuple<Tensor, Tensor> transform_points_backward(Tensor points, Tensor matrices,
                                                     Tensor point_offsets,
                                                     Tensor grad_homogeneous) {
  Call call(points);
  Workspace ws = make_workspace(points, transform_bytes(call, points, matrices));
  Tensor grad_points = new_empty(points, sizes_of(points));
  Tensor grad_matrices = new_empty(points, sizes_of(matrices));
  call.check(vrel_transforms_transform_points_backward(
      call.in(points, "points"), call.in(matrices, "matrices"),
      call.in(point_offsets, "point_offsets"), call.in(grad_homogeneous, "grad_homogeneous"),
      call.context(), call.out(grad_points, "grad_points"),
      call.out(grad_matrices, "grad_matrices"), ws.or_null(), call.diag()));
  return {grad_points, grad_matrices};
}

void transform_points_out(Tensor points, Tensor matrices, Tensor point_offsets, Tensor homogeneous,
                          Tensor workspace) {
  Call call(points);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(
      vrel_transforms_transform_points(call.in(points, "points"), call.in(matrices, "matrices"),
                                       call.in(point_offsets, "point_offsets"), call.context(),
                                       call.out(homogeneous, "homogeneous"), &ws, call.diag()));
}

std::uint64_t divide_bytes(Call &call, const Tensor &homogeneous) {
  return query_bytes(call, vrel_transforms_perspective_divide_workspace,
                     dtype_code(homogeneous, "homogeneous"), extent(homogeneous, 0));
}

std::tuple<Tensor, Tensor> perspective_divide(Tensor homogeneous, double eps) {
  Call call(homogeneous);
  Workspace ws = make_workspace(homogeneous, divide_bytes(call, homogeneous));
  const std::int64_t P = extent(homogeneous, 0);
  Tensor ndc = new_empty(homogeneous, {P, 3});
  Tensor valid = new_empty(homogeneous, {P}, ScalarType::Bool);
  call.check(vrel_transforms_perspective_divide(
      call.in(homogeneous, "homogeneous"), eps, call.context(), call.out(ndc, "ndc"),
      call.out(valid, "valid"), ws.or_null(), call.diag()));
  return {ndc, valid};
}

Tensor perspective_divide_backward(Tensor homogeneous, double eps, Tensor grad_ndc) {
  Call call(homogeneous);
  Workspace ws = make_workspace(homogeneous, divide_bytes(call, homogeneous));
  Tensor grad_homogeneous = new_empty(homogeneous, sizes_of(homogeneous));
  call.check(vrel_transforms_perspective_divide_backward(
      call.in(homogeneous, "homogeneous"), eps, call.in(grad_ndc, "grad_ndc"), call.context(),
      call.out(grad_homogeneous, "grad_homogeneous"), ws.or_null(), call.diag()));
  return grad_homogeneous;
}

void perspective_divide_out(Tensor homogeneous, double eps, Tensor ndc, Tensor valid,
                            Tensor workspace) {
  Call call(homogeneous);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_transforms_perspective_divide(call.in(homogeneous, "homogeneous"), eps,
                                                call.context(), call.out(ndc, "ndc"),
                                                call.out(valid, "valid"), &ws, call.diag()));
}

}  // namespace

std::span<const KernelBinding> transforms_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(transform_points),
      VREL_BIND(transform_points_backward),
      VREL_BIND(transform_points_out),
      VREL_BIND(perspective_divide),
      VREL_BIND(perspective_divide_backward),
      VREL_BIND(perspective_divide_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
