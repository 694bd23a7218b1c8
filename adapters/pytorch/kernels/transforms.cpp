// Kernels of the point transforms: batched 4x4 transforms and the perspective divide.
#include "adapter.hpp"
#include "split.hpp"

namespace vrel::adapter {
namespace {

// Points per thread below which a split costs more than it saves (a point takes nanoseconds).
constexpr std::int64_t kPointsPerThread = 32768;

std::uint64_t transform_bytes(Call &call, const Tensor &points, const Tensor &matrices) {
  return query_bytes(call, vrel_transforms_transform_points_workspace, dtype_code(points, "points"),
                     extent(points, 0), extent(matrices, 0));
}

Tensor transform_points(Tensor points, Tensor matrices, Tensor point_offsets) {
  Call call(points);
  Workspace ws = make_workspace(points, transform_bytes(call, points, matrices));
  const std::int64_t P = extent(points, 0);
  Tensor homogeneous = new_empty(points, {P, 4});
  const VrelTensorView *p = call.in(points, "points"), *m = call.in(matrices, "matrices"),
                       *offsets = call.in(point_offsets, "point_offsets");
  VrelTensorView *out = call.out(homogeneous, "homogeneous");
  // Points are independent: one range of them per thread, with the batch offsets clipped to it.
  const std::int64_t n = split::parts_for(points, P, kPointsPerThread);
  if (n > 1 && ws.or_null() == nullptr && split::cuttable(p, P) && split::cuttable(out, P)) {
    std::vector<split::Part> parts(n);
    bool ready = true;
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, P), end = split::first_row(k + 1, n, P);
      parts[k].rows(p, begin, end);
      ready &= split::clipped_offsets(parts[k], offsets, begin, end) != nullptr;
      parts[k].rows(out, begin, end);
    }
    if (ready && split::run(parts, [&](split::Part &part, std::int64_t) {
          const auto &w = part.views;
          return vrel_transforms_transform_points(&w[0], m, &w[1], call.context(), &w[2], nullptr,
                                                  &part.diag);
        }))
      return homogeneous;
  }
  call.check(vrel_transforms_transform_points(p, m, offsets, call.context(), out, ws.or_null(),
                                              call.diag()));
  return homogeneous;
}

std::tuple<Tensor, Tensor> transform_points_backward(Tensor points, Tensor matrices,
                                                     Tensor point_offsets,
                                                     Tensor grad_homogeneous) {
  Call call(points);
  Workspace ws = make_workspace(points, transform_bytes(call, points, matrices));
  Tensor grad_points = new_empty(points, sizes_of(points));
  Tensor grad_matrices = new_empty(points, sizes_of(matrices));
  const VrelTensorView *p = call.in(points, "points"), *m = call.in(matrices, "matrices"),
                       *offsets = call.in(point_offsets, "point_offsets"),
                       *g = call.in(grad_homogeneous, "grad_homogeneous");
  VrelTensorView *gp = call.out(grad_points, "grad_points"),
                 *gm = call.out(grad_matrices, "grad_matrices");
  // A point's gradient is its own: point ranges on every thread but one, which sums the matrix
  // gradients whole, in point order.
  const std::int64_t P = extent(points, 0);
  const std::int64_t n = split::parts_for(points, P, kPointsPerThread);
  if (n > 1 && ws.or_null() == nullptr && split::cuttable(p, P) && split::cuttable(g, P) &&
      split::cuttable(gp, P)) {
    std::vector<split::Part> parts(n);
    bool ready = true;
    for (std::int64_t k = 0; k + 1 < n; ++k) {
      const std::int64_t begin = split::first_row(k, n - 1, P),
                         end = split::first_row(k + 1, n - 1, P);
      parts[k].rows(p, begin, end);
      ready &= split::clipped_offsets(parts[k], offsets, begin, end) != nullptr;
      parts[k].rows(g, begin, end);
      parts[k].rows(gp, begin, end);
    }
    if (ready && split::run(parts, [&](split::Part &part, std::int64_t k) {
          if (k + 1 == n)
            return vrel_transforms_transform_points_backward(p, m, offsets, g, call.context(),
                                                             nullptr, gm, nullptr, &part.diag);
          const auto &w = part.views;
          return vrel_transforms_transform_points_backward(&w[0], m, &w[1], &w[2], call.context(),
                                                           &w[3], nullptr, nullptr, &part.diag);
        }))
      return {grad_points, grad_matrices};
  }
  call.check(vrel_transforms_transform_points_backward(p, m, offsets, g, call.context(), gp, gm,
                                                       ws.or_null(), call.diag()));
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
  const VrelTensorView *h = call.in(homogeneous, "homogeneous");
  VrelTensorView *ndc_view = call.out(ndc, "ndc"), *valid_view = call.out(valid, "valid");
  const std::int64_t n = split::parts_for(homogeneous, P, kPointsPerThread);
  if (n > 1 && ws.or_null() == nullptr && split::cuttable(h, P) && split::cuttable(ndc_view, P) &&
      split::cuttable(valid_view, P)) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, P), end = split::first_row(k + 1, n, P);
      parts[k].rows(h, begin, end);
      parts[k].rows(ndc_view, begin, end);
      parts[k].rows(valid_view, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t) {
          const auto &w = part.views;
          return vrel_transforms_perspective_divide(&w[0], eps, call.context(), &w[1], &w[2],
                                                    nullptr, &part.diag);
        }))
      return {ndc, valid};
  }
  call.check(vrel_transforms_perspective_divide(h, eps, call.context(), ndc_view, valid_view,
                                                ws.or_null(), call.diag()));
  return {ndc, valid};
}

Tensor perspective_divide_backward(Tensor homogeneous, double eps, Tensor grad_ndc) {
  Call call(homogeneous);
  Workspace ws = make_workspace(homogeneous, divide_bytes(call, homogeneous));
  Tensor grad_homogeneous = new_empty(homogeneous, sizes_of(homogeneous));
  const VrelTensorView *h = call.in(homogeneous, "homogeneous"), *g = call.in(grad_ndc, "grad_ndc");
  VrelTensorView *out = call.out(grad_homogeneous, "grad_homogeneous");
  const std::int64_t P = extent(homogeneous, 0);
  const std::int64_t n = split::parts_for(homogeneous, P, kPointsPerThread);
  if (n > 1 && ws.or_null() == nullptr && split::cuttable(h, P) && split::cuttable(g, P) &&
      split::cuttable(out, P)) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, P), end = split::first_row(k + 1, n, P);
      parts[k].rows(h, begin, end);
      parts[k].rows(g, begin, end);
      parts[k].rows(out, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t) {
          const auto &w = part.views;
          return vrel_transforms_perspective_divide_backward(&w[0], eps, &w[1], call.context(),
                                                             &w[2], nullptr, &part.diag);
        }))
      return grad_homogeneous;
  }
  call.check(vrel_transforms_perspective_divide_backward(h, eps, g, call.context(), out,
                                                         ws.or_null(), call.diag()));
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
