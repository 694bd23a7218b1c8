// Valid calls of every shading export with their views held apart, so that a test can break one
// view at a time, hand the argument tuple to the bad-input helper, or move the call to CUDA.
#pragma once

#include <tuple>

#include "tests/shading/shading_support.hpp"

namespace vrel::test::shading {

inline void to_cuda(VrelTensorView* v) {
  v->device_type = VREL_DEVICE_CUDA;
  v->device_index = 0;
}

// A principled call on a small valid scene.
struct PrincipledViews {
  PrincipledCall call;
  View cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0, output,
      jacobian;
  VrelExecutionContext ctx = cpu_context();
  uint32_t options;
  bool no_workspace = false;

  static Scene scene(int64_t rows) {
    CurveProblem p = make_curves(4, 1, 2);
    Curves c;
    Tensor<double> means({1, 4}, {0.6, 0.3, 0.1, 0.05});
    EXPECT_EQ(loss_curve(p.logs, p.controls, {0.4}, c).status, 0);
    return make_scene(p, c, means, 3, 2, rows);
  }
  explicit PrincipledViews(bool derivatives = true, int64_t rows = 3)
      : call(scene(rows), derivatives),
        cn(call.cn.in()),
        logs(call.logs.in()),
        curve(call.curve.in()),
        partial(call.partial.in()),
        mean(call.mean.in()),
        width(call.width.in()),
        normal(call.normal.in()),
        view(call.view.in()),
        light(call.light.in()),
        albedo(call.albedo.in()),
        roughness(call.roughness.in()),
        f0(call.f0.in()),
        output(call.output.out()),
        jacobian(call.jacobian.out()),
        options(derivatives ? VREL_SHADING_DERIVATIVES : 0) {}

  auto args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(cn.get(), logs.get(), curve.get(), partial.get(), mean.get(),
                           width.get(), normal.get(), view.get(), light.get(), albedo.get(),
                           roughness.get(), f0.get(), options, &ctx, output.get(), jacobian.get(),
                           no_workspace ? nullptr : call.ws.get(), diag);
  }
  Result run(PrincipledFn fn = vrel_shading_principled_groups) {
    Diag diag;
    const VrelStatus st = std::apply(fn, args(diag.get()));
    return {st, diag.text()};
  }
  void cuda() {
    ctx = cuda_context();
    for (View* v : {&cn, &logs, &curve, &partial, &mean, &width, &normal, &view, &light, &albedo,
                    &roughness, &f0, &output, &jacobian})
      to_cuda(v->get());
    call.ws->device_type = VREL_DEVICE_CUDA;
  }
};

// A principled backward call on a Jacobian of P = 3, L = 2.
struct PrincipledBackwardViews {
  Tensor<double> j = Tensor<double>::filled({3, 2, 3, 16}, 0.25),
                 g = Tensor<double>::filled({3, 2, 3}, 2.0);
  Tensor<double> point = Tensor<double>({3, 16}), light = Tensor<double>({3, 2, 3});
  Workspace ws{3 * 2 * 8 + 8, 8};
  View jv = j.in(), gv = g.in(), pv = point.out(), lv = light.out();
  VrelExecutionContext ctx = cpu_context();
  auto args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(jv.get(), gv.get(), &ctx, pv.get(), lv.get(), ws.get(), diag);
  }
  Result run() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_principled_groups_backward, args(diag.get()));
    return {st, diag.text()};
  }
  void cuda() {
    ctx = cuda_context();
    for (View* v : {&jv, &gv, &pv, &lv}) to_cuda(v->get());
    ws->device_type = VREL_DEVICE_CUDA;
  }
};

// A loss-curve call (B = 2, N = 3) and its backward.
struct LossCurveViews {
  CurveProblem p = make_curves(3, 2, 6);
  Tensor<double> axis = Tensor<double>({3}, p.logs), u = Tensor<double>({2}, {0.2, 0.9});
  Tensor<double> curve = Tensor<double>({2, 24}), partial = Tensor<double>({2, 24});
  Tensor<double> gradient = Tensor<double>::filled({2, 24}, 0.5), u_gradient = Tensor<double>({2});
  Workspace ws{24 * 2 * 8 + 8, 8};
  View av = axis.in(), cv = p.controls.in(), uv = u.in(), curve_out = curve.out(),
       partial_out = partial.out(), partial_in = partial.in(), gv = gradient.in(),
       ug = u_gradient.out();
  VrelExecutionContext ctx = cpu_context();
  auto args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(av.get(), cv.get(), uv.get(), &ctx, curve_out.get(), partial_out.get(),
                           ws.get(), diag);
  }
  auto backward_args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(partial_in.get(), gv.get(), &ctx, ug.get(), ws.get(), diag);
  }
  Result run() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_loss_curve, args(diag.get()));
    return {st, diag.text()};
  }
  Result run_backward() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_loss_curve_backward, backward_args(diag.get()));
    return {st, diag.text()};
  }
  void cuda() {
    ctx = cuda_context();
    for (View* v : {&av, &cv, &uv, &curve_out, &partial_out, &partial_in, &gv, &ug})
      to_cuda(v->get());
    ws->device_type = VREL_DEVICE_CUDA;
  }
};

// A loss query (B = 2, N = 3, Q = 3) on rows made by the loss curve, and its backward.
struct LossQueryViews {
  CurveProblem p = make_curves(3, 2, 6);
  Curves c;
  Tensor<double> cn = Tensor<double>({3}, p.cn), logs = Tensor<double>({3}, p.logs),
                 weights = p.weights();
  Tensor<double> cosine = Tensor<double>({3}, {0.01, 0.5, 1.0});
  Tensor<int32_t> owners = Tensor<int32_t>({3}, {1, 0, 1});
  Tensor<double> query = Tensor<double>({3, 6}), mean = Tensor<double>({2, 4});
  Tensor<double> gradient = Tensor<double>::filled({3, 2}, 0.5),
                 mean_gradient = Tensor<double>::filled({2, 2}, 0.25);
  Tensor<double> cosine_gradient = Tensor<double>({3}), u_gradient = Tensor<double>({2});
  Workspace ws{2 * 12 * 8 + 8, 8};
  View cnv = cn.in(), lv = logs.in(), wv = weights.in(), curve, partial, mu = cosine.in(),
       own = owners.in(), qv = query.out(), mv = mean.out(), q_in = query.in(), m_in = mean.in(),
       gv = gradient.in(), mg = mean_gradient.in(), cg = cosine_gradient.out(),
       ug = u_gradient.out();
  VrelExecutionContext ctx = cpu_context();

  static Curves make(CurveProblem& p) {
    Curves c;
    EXPECT_EQ(loss_curve(p.logs, p.controls, {0.3, 0.6}, c).status, 0);
    return c;
  }
  LossQueryViews() : c(make(p)), curve(c.curve.in()), partial(c.partial.in()) {}

  auto args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(cnv.get(), lv.get(), wv.get(), curve.get(), partial.get(), mu.get(),
                           own.get(), &ctx, qv.get(), mv.get(), ws.get(), diag);
  }
  auto backward_args(VrelDiagnostic* diag = nullptr) {
    return std::make_tuple(q_in.get(), m_in.get(), own.get(), gv.get(), mg.get(), &ctx, cg.get(),
                           ug.get(), ws.get(), diag);
  }
  Result run() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_loss_query, args(diag.get()));
    return {st, diag.text()};
  }
  Result run_backward() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_loss_query_backward, backward_args(diag.get()));
    return {st, diag.text()};
  }
  void cuda() {
    ctx = cuda_context();
    for (View* v :
         {&cnv, &lv, &wv, &curve, &partial, &mu, &own, &qv, &mv, &q_in, &m_in, &gv, &mg, &cg, &ug})
      to_cuda(v->get());
    ws->device_type = VREL_DEVICE_CUDA;
  }
};

}  // namespace vrel::test::shading
