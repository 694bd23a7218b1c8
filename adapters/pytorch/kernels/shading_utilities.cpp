// Kernels of the shading utilities: unit Newton, unit vectors, ordered RGBA and delta BRDF. They
// check their tensors' shapes first (so a malformed tensor never reaches the extents the core's
// workspace rule reads), run inside the CUDA context scope and pass the 8-byte scratch.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;

bool shaped(const Tensor &tensor, std::initializer_list<std::int64_t> extents) {
  if (dim_of(tensor) != static_cast<std::int64_t>(extents.size())) return false;
  std::int64_t d = 0;
  for (const std::int64_t e : extents) {
    if (e >= 0 && extent(tensor, d) != e) return false;
    ++d;
  }
  return true;
}

// The scratch of a utility: its workspace query's answer, allocated on the reference's device.
template <typename Query, typename... Counts>
Workspace scratch(Call &call, const Tensor &reference, Query query, Counts... counts) {
  std::uint64_t bytes = 0, alignment = 0;
  call.check(
      query(static_cast<std::int64_t>(counts)..., call.context(), &bytes, &alignment, call.diag()));
  return make_workspace(reference, bytes);
}

Tensor shading_unit_newton(Tensor input) {
  if (dim_of(input) != 1) internal_error("unit Newton shape invalid");
  return scoped(input, [&] {
    Call call(input);
    Workspace ws = scratch(call, input, vrel_shading_unit_newton_workspace, extent(input, 0));
    Tensor output = new_empty(input, sizes_of(input));
    call.check(vrel_shading_unit_newton(call.in(input), call.context(), call.out(output), ws.get(),
                                        call.diag()));
    return output;
  });
}

Tensor shading_unit_vectors(Tensor input) {
  if (!shaped(input, {-1, 3})) internal_error("unit vectors shape invalid");
  return scoped(input, [&] {
    Call call(input);
    Workspace ws = scratch(call, input, vrel_shading_unit_vectors_workspace, extent(input, 0));
    Tensor output = new_empty(input, sizes_of(input));
    call.check(vrel_shading_unit_vectors(call.in(input), call.context(), call.out(output), ws.get(),
                                         call.diag()));
    return output;
  });
}

Tensor shading_ordered_rgba(Tensor carry, Tensor values) {
  if (!shaped(carry, {4}) || !shaped(values, {-1, 4})) internal_error("ordered RGBA shape invalid");
  return scoped(carry, [&] {
    Call call(carry);
    Workspace ws = scratch(call, carry, vrel_shading_ordered_rgba_workspace, extent(values, 0));
    Tensor output = new_empty(carry, {4});
    const VrelTensorView *c = call.in(carry);
    const VrelTensorView *v = call.in(values);
    call.check(
        vrel_shading_ordered_rgba(c, v, call.context(), call.out(output), ws.get(), call.diag()));
    return output;
  });
}

Tensors2 shading_delta_brdf(Tensor normal, Tensor brdf, Tensor direction, Tensor incoming,
                            Tensor cotangent) {
  const bool ok = shaped(brdf, {-1, -1, 3}) && shaped(normal, {extent(brdf, 0), 3}) &&
                  shaped(direction, {extent(brdf, 0), extent(brdf, 1), 3}) &&
                  shaped(incoming, {extent(brdf, 0), extent(brdf, 1), 3}) &&
                  shaped(cotangent, {extent(brdf, 0), 3});
  if (!ok) internal_error("delta BRDF shape invalid");
  return scoped(normal, [&] {
    Call call(normal);
    const std::int64_t points = extent(brdf, 0), directions = extent(brdf, 1);
    Workspace ws = scratch(call, normal, vrel_shading_delta_brdf_workspace, points, directions);
    Tensor radiance = new_empty(normal, {points, 3});
    Tensor incoming_gradient = new_empty(normal, {points, directions, 3});
    const VrelTensorView *n = call.in(normal);
    const VrelTensorView *b = call.in(brdf);
    const VrelTensorView *d = call.in(direction);
    const VrelTensorView *i = call.in(incoming);
    const VrelTensorView *c = call.in(cotangent);
    VrelTensorView *r = call.out(radiance);
    VrelTensorView *g = call.out(incoming_gradient);
    call.check(vrel_shading_delta_brdf(n, b, d, i, c, call.context(), r, g, ws.get(), call.diag()));
    return Tensors2{radiance, incoming_gradient};
  });
}

}  // namespace

std::span<const KernelBinding> shading_utility_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(shading_ordered_rgba),
      VREL_BIND(shading_unit_newton),
      VREL_BIND(shading_unit_vectors),
      VREL_BIND(shading_delta_brdf),
  };
  return bindings;
}

}  // namespace vrel::adapter
