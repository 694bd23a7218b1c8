// Kernels of the shading family: the principled BRDF (pairs, groups, shared groups, and the
// backward of pairs and groups), the loss curves and queries with their backward, and the
// shading at the opaque quadrature's nodes (samples, and samples with the albedo gradient). They
// run inside the CUDA context scope, make the adapter-side shape checks first, and always pass the
// workspace descriptor (every shading export needs scratch).
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors3 = std::tuple<Tensor, Tensor, Tensor>;

using PrincipledExport = decltype(&vrel_shading_principled_groups);
using PrincipledQuery = decltype(&vrel_shading_principled_groups_workspace);
using PrincipledBackward = decltype(&vrel_shading_principled_groups_backward);

// The bytes of a shading workspace query (its counts first, then the context).
template <typename Query, typename... Counts>
std::uint64_t shading_bytes(Call &call, Query query, Counts... counts) {
  std::uint64_t bytes = 0, alignment = 0;
  call.check(query(counts..., call.context(), &bytes, &alignment, call.diag()));
  return bytes;
}

// ---- principled BRDF ----------------------------------------------------------------------

Tensors2 principled(PrincipledExport forward, PrincipledQuery query, const Tensor &cn,
                    const Tensor &logs, const Tensor &curve, const Tensor &partial,
                    const Tensor &mean, const Tensor &width, const Tensor &normal,
                    const Tensor &view, const Tensor &light, const Tensor &albedo,
                    const Tensor &roughness, const Tensor &f0, bool two_sided, bool derivatives) {
  return scoped(cn, [&] {
    require(dim_of(cn) == 1 && dim_of(normal) == 2 && dim_of(light) == 3,
            "Principled extent ranks invalid");
    Call call(cn);
    const std::int64_t p = extent(normal, 0), l = extent(light, 1);
    Workspace ws = make_workspace(
        cn, shading_bytes(call, query, p, l, static_cast<std::int32_t>(derivatives)));
    Tensor output = new_empty(cn, {p, l, 3});
    Tensor jacobian = derivatives ? new_empty(cn, {p, l, 3, 16}) : new_empty(cn, {0});
    const VrelTensorView *in[12];
    const Tensor *inputs[12] = {&cn,     &logs, &curve, &partial, &mean,      &width,
                                &normal, &view, &light, &albedo,  &roughness, &f0};
    for (int i = 0; i < 12; ++i) in[i] = call.in(*inputs[i]);
    VrelTensorView *out = call.out(output);
    VrelTensorView *jac = call.out(jacobian);
    const std::uint32_t options =
        (two_sided ? VREL_SHADING_TWO_SIDED : 0u) | (derivatives ? VREL_SHADING_DERIVATIVES : 0u);
    call.check(forward(in[0], in[1], in[2], in[3], in[4], in[5], in[6], in[7], in[8], in[9], in[10],
                       in[11], options, call.context(), out, jac, ws.get(), call.diag()));
    return Tensors2{output, jacobian};
  });
}

Tensors2 shading_principled_pairs(Tensor cn, Tensor logs, Tensor curve, Tensor partial, Tensor mean,
                                  Tensor width, Tensor normal, Tensor view, Tensor light,
                                  Tensor albedo, Tensor roughness, Tensor f0, bool two_sided,
                                  bool derivatives) {
  return principled(vrel_shading_principled_pairs, vrel_shading_principled_pairs_workspace, cn,
                    logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0,
                    two_sided, derivatives);
}

Tensors2 shading_principled_groups(Tensor cn, Tensor logs, Tensor curve, Tensor partial,
                                   Tensor mean, Tensor width, Tensor normal, Tensor view,
                                   Tensor light, Tensor albedo, Tensor roughness, Tensor f0,
                                   bool two_sided, bool derivatives) {
  return principled(vrel_shading_principled_groups, vrel_shading_principled_groups_workspace, cn,
                    logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0,
                    two_sided, derivatives);
}

Tensors2 shading_principled_shared_groups(Tensor cn, Tensor logs, Tensor curve, Tensor partial,
                                          Tensor mean, Tensor width, Tensor normal, Tensor view,
                                          Tensor light, Tensor albedo, Tensor roughness, Tensor f0,
                                          bool two_sided, bool derivatives) {
  return principled(vrel_shading_principled_shared_groups, vrel_shading_principled_groups_workspace,
                    cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness,
                    f0, two_sided, derivatives);
}

Tensors2 principled_backward(PrincipledBackward backward, PrincipledQuery query,
                             const Tensor &jacobian, const Tensor &gradient) {
  return scoped(jacobian, [&] {
    require(dim_of(jacobian) == 4, "Principled Jacobian rank invalid");
    Call call(jacobian);
    const std::int64_t p = extent(jacobian, 0), l = extent(jacobian, 1);
    Workspace ws = make_workspace(jacobian, shading_bytes(call, query, p, l, std::int32_t{1}));
    Tensor point_gradient = new_empty(jacobian, {p, 16});
    Tensor light_gradient = new_empty(jacobian, {p, l, 3});
    const VrelTensorView *j = call.in(jacobian);
    const VrelTensorView *g = call.in(gradient);
    VrelTensorView *pg = call.out(point_gradient);
    VrelTensorView *lg = call.out(light_gradient);
    call.check(backward(j, g, call.context(), pg, lg, ws.get(), call.diag()));
    return Tensors2{point_gradient, light_gradient};
  });
}

Tensors2 shading_principled_pairs_backward(Tensor jacobian, Tensor gradient) {
  return principled_backward(vrel_shading_principled_pairs_backward,
                             vrel_shading_principled_pairs_workspace, jacobian, gradient);
}

Tensors2 shading_principled_groups_backward(Tensor jacobian, Tensor gradient) {
  return principled_backward(vrel_shading_principled_groups_backward,
                             vrel_shading_principled_groups_workspace, jacobian, gradient);
}

// ---- loss curves --------------------------------------------------------------------------

Tensors2 shading_loss_curve(Tensor axis, Tensor controls, Tensor u) {
  return scoped(axis, [&] {
    require(dim_of(axis) == 1 && dim_of(u) == 1 && extent(axis, 0) >= 1 && extent(axis, 0) <= 512 &&
                extent(u, 0) <= 32,
            "curve axis/u shape invalid");
    Call call(axis);
    const std::int64_t n = extent(axis, 0), b = extent(u, 0);
    Workspace ws = make_workspace(
        axis, shading_bytes(call, vrel_shading_loss_curve_workspace, static_cast<std::uint64_t>(b),
                            static_cast<std::uint64_t>(n)));
    Tensor curve = new_empty(axis, {b, 10 * n - 6});
    Tensor partial = new_empty(axis, {b, 10 * n - 6});
    const VrelTensorView *a = call.in(axis);
    const VrelTensorView *c = call.in(controls);
    const VrelTensorView *x = call.in(u);
    VrelTensorView *out_curve = call.out(curve);
    VrelTensorView *out_partial = call.out(partial);
    call.check(vrel_shading_loss_curve(a, c, x, call.context(), out_curve, out_partial, ws.get(),
                                       call.diag()));
    return Tensors2{curve, partial};
  });
}

Tensor shading_loss_curve_backward(Tensor partial, Tensor gradient) {
  return scoped(partial, [&] {
    const std::int64_t length = extent(partial, 1);
    require(dim_of(partial) == 2 && length >= 4 && length <= 5114 && (length + 6) % 10 == 0 &&
                dim_of(gradient) == 2 && extent(gradient, 0) == extent(partial, 0) &&
                extent(gradient, 1) == length,
            "curve partial shape invalid");
    Call call(partial);
    const std::int64_t b = extent(partial, 0), n = (length + 6) / 10;
    Workspace ws = make_workspace(
        partial, shading_bytes(call, vrel_shading_loss_curve_workspace,
                               static_cast<std::uint64_t>(b), static_cast<std::uint64_t>(n)));
    Tensor u_gradient = new_empty(partial, {b});
    const VrelTensorView *p = call.in(partial);
    const VrelTensorView *g = call.in(gradient);
    VrelTensorView *out = call.out(u_gradient);
    call.check(vrel_shading_loss_curve_backward(p, g, call.context(), out, ws.get(), call.diag()));
    return u_gradient;
  });
}

Tensors2 shading_loss_query(Tensor cn, Tensor logs, Tensor weights, Tensor curve, Tensor partial,
                            Tensor cosine, Tensor owners) {
  return scoped(cn, [&] {
    require(dim_of(cn) == 1 && dim_of(curve) == 2 && dim_of(cosine) == 1,
            "query extent ranks invalid");
    Call call(cn);
    const std::int64_t n = extent(cn, 0), b = extent(curve, 0), q = extent(cosine, 0);
    Workspace ws = make_workspace(
        cn, shading_bytes(call, vrel_shading_loss_query_workspace, static_cast<std::uint64_t>(b),
                          static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(q)));
    Tensor query = new_empty(cn, {q, 6});
    Tensor mean = new_empty(cn, {b, 4});
    const VrelTensorView *in[7];
    const Tensor *inputs[7] = {&cn, &logs, &weights, &curve, &partial, &cosine, &owners};
    for (int i = 0; i < 7; ++i) in[i] = call.in(*inputs[i]);
    VrelTensorView *out_query = call.out(query);
    VrelTensorView *out_mean = call.out(mean);
    call.check(vrel_shading_loss_query(in[0], in[1], in[2], in[3], in[4], in[5], in[6],
                                       call.context(), out_query, out_mean, ws.get(), call.diag()));
    return Tensors2{query, mean};
  });
}

// The backward needs Q * 8 + 8 bytes; the query's answer with N = 1 covers it.
Tensors2 shading_loss_query_backward(Tensor query, Tensor mean, Tensor owners, Tensor gradient,
                                     Tensor mean_gradient) {
  return scoped(query, [&] {
    require(dim_of(query) == 2 && dim_of(gradient) == 2, "query backward extent ranks invalid");
    Call call(query);
    const std::int64_t q = extent(query, 0), b = extent(mean, 0);
    Workspace ws = make_workspace(
        query, shading_bytes(call, vrel_shading_loss_query_workspace, static_cast<std::uint64_t>(b),
                             std::uint64_t{1}, static_cast<std::uint64_t>(q)));
    Tensor cosine_gradient = new_empty(query, {q});
    Tensor u_gradient = new_empty(query, {b});
    const VrelTensorView *in[5];
    const Tensor *inputs[5] = {&query, &mean, &owners, &gradient, &mean_gradient};
    for (int i = 0; i < 5; ++i) in[i] = call.in(*inputs[i]);
    VrelTensorView *cg = call.out(cosine_gradient);
    VrelTensorView *ug = call.out(u_gradient);
    call.check(vrel_shading_loss_query_backward(in[0], in[1], in[2], in[3], in[4], call.context(),
                                                cg, ug, ws.get(), call.diag()));
    return Tensors2{cosine_gradient, u_gradient};
  });
}

// ---- opaque shading samples ---------------------------------------------------------------

// The eighteen inputs of both operators, in the core's argument order.
struct OpaqueSampleInputs {
  const Tensor *tensors[18];
};

// The node tensor q must be [C, 800, 4]: the quadrature's layout. The outputs take q's dtype
// (float64): the reference `owners` is int32.
Tensors3 opaque_samples(const OpaqueSampleInputs &inputs, const Tensor *cotangent) {
  const Tensor &owners = *inputs.tensors[0], &q = *inputs.tensors[1];
  require(dim_of(q) == 3 && extent(q, 1) == 800 && extent(q, 2) == 4,
          "opaque sample layout invalid");
  return scoped(owners, [&] {
    Call call(owners);
    const auto c = static_cast<std::uint64_t>(extent(q, 0));
    Workspace ws = make_workspace(
        owners, cotangent ? shading_bytes(call, vrel_shading_opaque_albedo_workspace, c)
                          : shading_bytes(call, vrel_shading_opaque_samples_workspace, c));
    Tensor samples = new_empty(q, {extent(q, 0), 800, 4});
    Tensor pixels = new_empty(q, {extent(q, 0), 4});
    Tensor gradient = new_empty(q, {cotangent ? extent(q, 0) : 0, 3});
    const VrelTensorView *in[18];
    for (int i = 0; i < 18; ++i) in[i] = call.in(*inputs.tensors[i]);
    const VrelTensorView *cot = cotangent ? call.in(*cotangent) : nullptr;
    VrelTensorView *s = call.out(samples);
    VrelTensorView *p = call.out(pixels);
    if (cotangent == nullptr) {
      call.check(vrel_shading_opaque_samples(in[0], in[1], in[2], in[3], in[4], in[5], in[6], in[7],
                                             in[8], in[9], in[10], in[11], in[12], in[13], in[14],
                                             in[15], in[16], in[17], call.context(), s, p, ws.get(),
                                             call.diag()));
    } else {
      VrelTensorView *g = call.out(gradient);
      call.check(vrel_shading_opaque_albedo(in[0], in[1], in[2], in[3], in[4], in[5], in[6], in[7],
                                            in[8], in[9], in[10], in[11], in[12], in[13], in[14],
                                            in[15], in[16], in[17], cot, call.context(), s, p, g,
                                            ws.get(), call.diag()));
    }
    return Tensors3{samples, pixels, gradient};
  });
}

Tensors2 shading_opaque_samples(Tensor owners, Tensor q, Tensor world, Tensor faces, Tensor clip,
                                Tensor normals, Tensor camera, Tensor cn, Tensor logs, Tensor curve,
                                Tensor partial, Tensor mean, Tensor width, Tensor albedo,
                                Tensor roughness, Tensor f0, Tensor direction, Tensor incoming) {
  const OpaqueSampleInputs inputs{{&owners, &q, &world, &faces, &clip, &normals, &camera, &cn,
                                   &logs, &curve, &partial, &mean, &width, &albedo, &roughness, &f0,
                                   &direction, &incoming}};
  auto [samples, pixels, unused] = opaque_samples(inputs, nullptr);
  return Tensors2{samples, pixels};
}

Tensors3 shading_opaque_albedo(Tensor owners, Tensor q, Tensor world, Tensor faces, Tensor clip,
                               Tensor normals, Tensor camera, Tensor cn, Tensor logs, Tensor curve,
                               Tensor partial, Tensor mean, Tensor width, Tensor albedo,
                               Tensor roughness, Tensor f0, Tensor direction, Tensor incoming,
                               Tensor cotangent) {
  const OpaqueSampleInputs inputs{{&owners, &q, &world, &faces, &clip, &normals, &camera, &cn,
                                   &logs, &curve, &partial, &mean, &width, &albedo, &roughness, &f0,
                                   &direction, &incoming}};
  return opaque_samples(inputs, &cotangent);
}

}  // namespace

std::span<const KernelBinding> shading_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(shading_principled_pairs),
      VREL_BIND(shading_principled_groups),
      VREL_BIND(shading_principled_shared_groups),
      VREL_BIND(shading_principled_pairs_backward),
      VREL_BIND(shading_principled_groups_backward),
      VREL_BIND(shading_loss_curve),
      VREL_BIND(shading_loss_curve_backward),
      VREL_BIND(shading_loss_query),
      VREL_BIND(shading_loss_query_backward),
      VREL_BIND(shading_opaque_samples),
      VREL_BIND(shading_opaque_albedo),
  };
  return bindings;
}

}  // namespace vrel::adapter
