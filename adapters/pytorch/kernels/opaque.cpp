// Kernels of the analytic opaque renderer: coverage and colour integration with their backward
// passes. Each checks its shapes, extents and byte budget before calling the core; the budget
// `limit` must cover the fixed workspace plus the output.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

constexpr std::int64_t kExtentLimit = 1048576;
constexpr std::int64_t kBudgetLimit = 67108864;

bool rows_of_three(const Tensor &t) { return dim_of(t) == 2 && size_of(t, 1) == 3; }
bool in_range(std::int64_t value, std::int64_t low, std::int64_t high) {
  return value >= low && value <= high;
}
bool image_and_budget(std::int64_t h, std::int64_t w, std::int64_t limit) {
  return in_range(h, 1, kExtentLimit) && in_range(w, 1, kExtentLimit) &&
         in_range(limit, 1, kBudgetLimit);
}
// Element size of the output: 4 for float32, 8 for float64 (the workspace query has refused the
// other dtypes by then).
std::uint64_t element_size(std::uint32_t dtype) { return dtype == VREL_DTYPE_FLOAT32 ? 4 : 8; }

// Workspace bytes plus `elements` output elements must fit `limit` (all below 2^62: no overflow).
void require_budget(std::uint64_t workspace, std::uint64_t elements, std::uint32_t dtype,
                    std::int64_t limit, const char *message) {
  require(workspace + elements * element_size(dtype) <= static_cast<std::uint64_t>(limit), message);
}

void check_geometry(const Tensor &vertices, const Tensor &faces, std::int64_t h, std::int64_t w,
                    std::int64_t limit) {
  require(rows_of_three(vertices) && rows_of_three(faces),
          "opaque geometry must have shapes [V,3] and [F,3]");
  require(image_and_budget(h, w, limit),
          "opaque dimensions/workspace budget outside supported limits");
}

std::uint64_t coverage_bytes(Call &call, const Tensor &vertices) {
  return query_bytes(call, vrel_render_opaque_coverage_workspace, dtype_code(vertices));
}

Tensor opaque_coverage(Tensor vertices, Tensor faces, std::int64_t h, std::int64_t w, double ox,
                       double oy, std::int64_t limit) {
  check_geometry(vertices, faces, h, w, limit);
  Call call(vertices);
  const std::uint64_t bytes = coverage_bytes(call, vertices);
  require_budget(bytes, static_cast<std::uint64_t>(h * w), dtype_code(vertices), limit,
                 "opaque workspace and output exceed workspace budget");
  Workspace ws = make_workspace(vertices, bytes);
  Tensor coverage = new_empty(vertices, {h, w});
  call.check(vrel_render_opaque_coverage(call.in(vertices), call.in(faces), h, w, ox, oy,
                                         call.context(), call.out(coverage), ws.get(),
                                         call.diag()));
  return coverage;
}

Tensor opaque_coverage_backward(Tensor vertices, Tensor faces, Tensor gradient, std::int64_t h,
                                std::int64_t w, double ox, double oy, std::int64_t limit) {
  check_geometry(vertices, faces, h, w, limit);
  Call call(vertices);
  const std::uint64_t bytes = coverage_bytes(call, vertices);
  require_budget(bytes, static_cast<std::uint64_t>(numel_of(vertices)), dtype_code(vertices), limit,
                 "opaque workspace and output exceed workspace budget");
  Workspace ws = make_workspace(vertices, bytes);
  Tensor grad_vertices = new_empty(vertices, sizes_of(vertices));
  call.check(vrel_render_opaque_coverage_backward(call.in(vertices), call.in(faces), h, w, ox, oy,
                                                  call.in(gradient), call.context(),
                                                  call.out(grad_vertices), ws.get(), call.diag()));
  return grad_vertices;
}

std::uint64_t integrate_bytes(Call &call, const Tensor &vertices, const Tensor &faces,
                              const Tensor &colour, std::int64_t h, std::int64_t w,
                              std::int64_t limit) {
  require(rows_of_three(vertices) && rows_of_three(faces) && dim_of(colour) == 3 &&
              size_of(colour, 0) == size_of(faces, 0) && size_of(colour, 1) == 3 &&
              size_of(colour, 2) == 3,
          "opaque colour shapes require vertices[V,3],faces[F,3],radiance[F,3,3]");
  require(image_and_budget(h, w, limit), "opaque colour dimensions/workspace budget invalid");
  const std::uint64_t bytes =
      query_bytes(call, vrel_render_opaque_integrate_workspace, dtype_code(vertices));
  require_budget(bytes, static_cast<std::uint64_t>(h * w * 4), dtype_code(vertices), limit,
                 "opaque colour workspace/output budget exceeded");
  return bytes;
}

Tensor opaque_integrate(Tensor vertices, Tensor faces, Tensor colour, std::int64_t h,
                        std::int64_t w, double ox, double oy, std::int64_t limit) {
  Call call(vertices);
  Workspace ws =
      make_workspace(vertices, integrate_bytes(call, vertices, faces, colour, h, w, limit));
  Tensor output = new_empty(vertices, {h, w, 4});
  call.check(vrel_render_opaque_integrate(call.in(vertices), call.in(faces), call.in(colour), h, w,
                                          ox, oy, call.context(), call.out(output), ws.get(),
                                          call.diag()));
  return output;
}

std::tuple<Tensor, Tensor> opaque_integrate_backward(Tensor vertices, Tensor faces, Tensor colour,
                                                     Tensor gradient, std::int64_t h,
                                                     std::int64_t w, double ox, double oy,
                                                     std::int64_t limit) {
  Call call(vertices);
  Workspace ws =
      make_workspace(vertices, integrate_bytes(call, vertices, faces, colour, h, w, limit));
  Tensor grad_vertices = new_empty(vertices, sizes_of(vertices));
  Tensor grad_colour = new_empty(vertices, sizes_of(colour));
  call.check(vrel_render_opaque_integrate_backward(
      call.in(vertices), call.in(faces), call.in(colour), h, w, ox, oy, call.in(gradient),
      call.context(), call.out(grad_vertices), call.out(grad_colour), ws.get(), call.diag()));
  return {grad_vertices, grad_colour};
}

}  // namespace

std::span<const KernelBinding> opaque_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(opaque_coverage),
      VREL_BIND(opaque_coverage_backward),
      VREL_BIND(opaque_integrate),
      VREL_BIND(opaque_integrate_backward),
  };
  return bindings;
}

}  // namespace vrel::adapter
