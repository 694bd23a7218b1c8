// Kernels of the analytic opaque renderer: coverage, colour integration and the quadrature, with
// their backward passes. Each checks its shapes, extents and byte budget before calling the core;
// the budget `limit` must cover the fixed workspace plus the output.
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

// ---- quadrature ---------------------------------------------------------------------------------

constexpr std::int64_t kSlots = 800;
// The edge argument of vrel_render_opaque_boundary_quadrature for the two full-pixel rules.
constexpr std::int32_t kQuadratureEdge = -1;
constexpr std::int32_t kMaterialEdge = -2;
// On CUDA, a forward over several pixels runs faster with a larger scratch when the budget allows.
constexpr std::uint64_t kSmallCudaWorkspace = 1048576;
constexpr std::uint64_t kLargeCudaWorkspace = 4194304;

// Cuts are [F,3,K] with K <= 16, or packed [F,1,3K+6] with K <= 15.
bool cut_layout(const Tensor &cuts, std::int64_t faces) {
  if (dim_of(cuts) != 3 || size_of(cuts, 0) != faces) return false;
  const std::int64_t rows = size_of(cuts, 1), last = size_of(cuts, 2);
  if (rows == 3) return last <= 16;
  return rows == 1 && last >= 6 && last <= 51 && (last - 6) % 3 == 0;
}

void check_quadrature(const Tensor &vertices, const Tensor &faces, const Tensor &cuts,
                      std::int64_t h, std::int64_t w, std::int64_t limit) {
  require(rows_of_three(vertices) && rows_of_three(faces) && cut_layout(cuts, size_of(faces, 0)),
          "opaque quadrature shapes/cut capacity");
  require(image_and_budget(h, w, limit), "opaque quadrature dimensions/budget");
}

std::uint64_t quadrature_bytes(Call &call, const Tensor &vertices, bool material) {
  return material
             ? query_bytes(call, vrel_render_opaque_material_quadrature_workspace,
                           dtype_code(vertices))
             : query_bytes(call, vrel_render_opaque_quadrature_workspace, dtype_code(vertices));
}

void require_quadrature_budget(std::uint64_t workspace, std::uint64_t output, std::int64_t limit) {
  require(workspace + output <= static_cast<std::uint64_t>(limit),
          "opaque quadrature workspace/output budget exceeded");
}

// The one forward kernel: edge -1 the quadrature, -2 the material quadrature, 0..3 the nodes
// along one pixel edge. Owners [h*w, 800] int32 and nodes [h*w, 800, 4] in every case.
std::tuple<Tensor, Tensor> quadrature_forward(const Tensor &vertices, const Tensor &faces,
                                              const Tensor &cuts, std::int64_t h, std::int64_t w,
                                              double ox, double oy, std::int32_t edge,
                                              std::int64_t limit) {
  check_quadrature(vertices, faces, cuts, h, w, limit);
  Call call(vertices);
  std::uint64_t bytes = quadrature_bytes(call, vertices, edge == kMaterialEdge);
  const std::uint64_t pixels = static_cast<std::uint64_t>(h) * static_cast<std::uint64_t>(w);
  // Owners (4 bytes) and nodes (4 elements) of 800 slots per pixel; below 2^56 for the extents
  // allowed.
  const std::uint64_t output = pixels * (element_size(dtype_code(vertices)) + 1) * 4 * kSlots;
  if (is_cuda(vertices) && edge < 0 && pixels >= 2 && bytes <= kSmallCudaWorkspace &&
      output + kLargeCudaWorkspace <= static_cast<std::uint64_t>(limit))
    bytes = kLargeCudaWorkspace;
  require_quadrature_budget(bytes, output, limit);
  Workspace ws = make_workspace(vertices, bytes);
  const std::int64_t rows = h * w;
  Tensor owners = new_empty(vertices, {rows, kSlots}, ScalarType::Int);
  Tensor nodes = new_empty(vertices, {rows, kSlots, 4});
  call.check(vrel_render_opaque_boundary_quadrature(
      call.in(vertices), call.in(faces), call.in(cuts), h, w, ox, oy, edge, call.context(),
      call.out(owners), call.out(nodes), ws.get(), call.diag()));
  return {owners, nodes};
}

std::tuple<Tensor, Tensor> opaque_quadrature(Tensor vertices, Tensor faces, Tensor cuts,
                                             std::int64_t h, std::int64_t w, double ox, double oy,
                                             std::int64_t limit) {
  return quadrature_forward(vertices, faces, cuts, h, w, ox, oy, kQuadratureEdge, limit);
}

std::tuple<Tensor, Tensor> opaque_material_quadrature(Tensor vertices, Tensor faces, Tensor cuts,
                                                      std::int64_t h, std::int64_t w, double ox,
                                                      double oy, std::int64_t limit) {
  return quadrature_forward(vertices, faces, cuts, h, w, ox, oy, kMaterialEdge, limit);
}

std::tuple<Tensor, Tensor> opaque_boundary_quadrature(Tensor vertices, Tensor faces, Tensor cuts,
                                                      std::int64_t h, std::int64_t w, double ox,
                                                      double oy, std::int64_t edge,
                                                      std::int64_t limit) {
  require(edge >= 0 && edge <= 3, "opaque boundary edge");
  return quadrature_forward(vertices, faces, cuts, h, w, ox, oy, static_cast<std::int32_t>(edge),
                            limit);
}

using QuadratureBackward = decltype(&vrel_render_opaque_quadrature_backward);

std::tuple<Tensor, Tensor> quadrature_backward(QuadratureBackward backward, bool material,
                                               const Tensor &vertices, const Tensor &faces,
                                               const Tensor &cuts, const Tensor &gradient,
                                               std::int64_t h, std::int64_t w, double ox, double oy,
                                               std::int64_t limit) {
  check_quadrature(vertices, faces, cuts, h, w, limit);
  Call call(vertices);
  const std::uint64_t bytes = quadrature_bytes(call, vertices, material);
  const std::uint64_t elements = static_cast<std::uint64_t>(numel_of(vertices) + numel_of(cuts));
  require_quadrature_budget(bytes, elements * element_size(dtype_code(vertices)), limit);
  Workspace ws = make_workspace(vertices, bytes);
  Tensor grad_vertices = new_empty(vertices, sizes_of(vertices));
  Tensor grad_cuts = new_empty(vertices, sizes_of(cuts));
  call.check(backward(call.in(vertices), call.in(faces), call.in(cuts), h, w, ox, oy,
                      call.in(gradient), call.context(), call.out(grad_vertices),
                      call.out(grad_cuts), ws.get(), call.diag()));
  return {grad_vertices, grad_cuts};
}

std::tuple<Tensor, Tensor> opaque_quadrature_backward(Tensor vertices, Tensor faces, Tensor cuts,
                                                      Tensor gradient, std::int64_t h,
                                                      std::int64_t w, double ox, double oy,
                                                      std::int64_t limit) {
  return quadrature_backward(vrel_render_opaque_quadrature_backward, false, vertices, faces, cuts,
                             gradient, h, w, ox, oy, limit);
}

std::tuple<Tensor, Tensor> opaque_material_quadrature_backward(Tensor vertices, Tensor faces,
                                                               Tensor cuts, Tensor gradient,
                                                               std::int64_t h, std::int64_t w,
                                                               double ox, double oy,
                                                               std::int64_t limit) {
  return quadrature_backward(vrel_render_opaque_material_quadrature_backward, true, vertices, faces,
                             cuts, gradient, h, w, ox, oy, limit);
}

}  // namespace

std::span<const KernelBinding> opaque_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(opaque_coverage),
      VREL_BIND(opaque_coverage_backward),
      VREL_BIND(opaque_integrate),
      VREL_BIND(opaque_integrate_backward),
      VREL_BIND(opaque_quadrature),
      VREL_BIND(opaque_material_quadrature),
      VREL_BIND(opaque_boundary_quadrature),
      VREL_BIND(opaque_quadrature_backward),
      VREL_BIND(opaque_material_quadrature_backward),
  };
  return bindings;
}

}  // namespace vrel::adapter
