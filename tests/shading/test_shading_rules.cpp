// The shading family's argument rules: check order and sentences of every export, the scratch
// check, and the bad-input helper over all thirteen exports.
#include <deque>

#include "tests/shading/shading_views.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;
using namespace vrel::test::shading;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Gives a view another (dense) shape over the same data; the shape arrays live to the end.
void reshape(View& v, std::vector<int64_t> shape) {
  static std::deque<View> keep;
  keep.emplace_back(v->data, std::move(shape), v->dtype, v->flags);
  *v.get() = *keep.back().get();
}

// One broken view or value and the sentence it must give.
template <typename Views>
struct Case {
  const char* message;
  void (*breaks)(Views&);
};

template <typename Views, typename Run>
void expect_cases(std::initializer_list<Case<Views>> cases, Run run) {
  for (const Case<Views>& c : cases) {
    Views v;
    ASSERT_EQ(run(v).status, 0) << c.message << ": the unbroken call failed " << run(v).message;
    c.breaks(v);
    const Result r = run(v);
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_EQ(r.message, c.message);
  }
}

using PV = PrincipledViews;
TEST(ShadingRules, PrincipledChecksInOrder) {
  expect_cases<PV>(
      {{"Principled options invalid", [](PV& v) { v.options = 4; }},
       {"Principled extent ranks invalid", [](PV& v) { reshape(v.light, {3, 6}); }},
       {"Principled point/light limits invalid", [](PV& v) { reshape(v.normal, {129, 3}); }},
       {"curve tensor dtype/rank/device/flags invalid",
        [](PV& v) { v.width->flags = VREL_TENSOR_OUTPUT; }},
       {"curve tensor dtype/rank/device/flags invalid", [](PV& v) { v.output->flags = 0; }},
       {"curve tensor dtype/rank/device/flags invalid", [](PV& v) { reshape(v.mean, {12}); }},
       {"curve tensor shape invalid", [](PV& v) { reshape(v.width, {2}); }},
       {"curve tensor dtype/rank/device/flags invalid",
        [](PV& v) { v.options = 0; }},  // Jacobian [0]
       {"curve requires caller scratch", [](PV& v) { v.no_workspace = true; }},
       {"curve scratch device/alignment invalid", [](PV& v) { v.call.ws->alignment = 4; }},
       {"curve scratch device/alignment invalid",
        [](PV& v) {
          v.call.ws->data = static_cast<char*>(v.call.ws->data) + 4;
          v.call.ws->alignment = 4;
        }},
       {"curve scratch too small", [](PV& v) { v.call.ws->capacity -= 1; }},
       {"curve scratch aliases tensor", [](PV& v) { v.call.ws->data = v.call.albedo.ptr(); }},
       {"curve output aliases tensor", [](PV& v) { v.output->data = v.jacobian->data; }},
       {"Principled finite inputs required", [](PV& v) { v.call.f0[4] = kNan; }},
       {"Principled axes domain", [](PV& v) { v.call.logs[0] = v.call.logs[1]; }},
       {"Principled cosine axis endpoint", [](PV& v) { v.call.cn[3] = 0.999; }},
       {"Principled width/mean domain", [](PV& v) { v.call.mean[5] = v.call.mean[4] * 1.01; }},
       {"Principled width/mean domain", [](PV& v) { v.call.width[2] = 0.0; }},
       {"Principled roughness domain", [](PV& v) { v.call.roughness[2] = 1.01; }},
       {"Principled zero point direction",
        [](PV& v) {
          for (int k = 3; k < 6; ++k) v.call.view[k] = 0.0;
        }},
       {"Principled zero light direction",
        [](PV& v) {
          for (int k = 15; k < 18; ++k) v.call.light[k] = 0.0;
        }},
       {"Principled albedo/F0 domain", [](PV& v) { v.call.albedo[1] = 1.5; }},
       {"Principled curve domain",
        [](PV& v) { v.call.curve[34 + 21] = v.call.curve[34 + 20] * 1.5; }}},
      [](PV& v) { return v.run(); });
}

TEST(ShadingRules, PrincipledBackwardChecksInOrder) {
  using BV = PrincipledBackwardViews;
  expect_cases<BV>(
      {{"Principled Jacobian rank invalid", [](BV& v) { reshape(v.jv, {3, 2, 48}); }},
       {"Principled point/light limits invalid", [](BV& v) { reshape(v.jv, {3, 1025, 3, 16}); }},
       {"curve tensor shape invalid", [](BV& v) { reshape(v.pv, {3, 15}); }},
       {"curve tensor dtype/rank/device/flags invalid",
        [](BV& v) { v.gv->flags = VREL_TENSOR_OUTPUT; }},
       {"curve output aliases tensor", [](BV& v) { v.lv->data = v.g.ptr(); }},
       {"Principled Jacobian must be finite", [](BV& v) { v.j[17] = kNan; }},
       {"Principled cotangent must be finite", [](BV& v) { v.g[5] = -kNan; }},
       {"Principled point VJP overflow", [](BV& v) { v.j[0] = 1e300, v.g[0] = 1e300; }},
       {"Principled light VJP overflow", [](BV& v) { v.j[6] = 1e300, v.g[0] = 1e300; }}},
      [](BV& v) { return v.run(); });
}

TEST(ShadingRules, LossCurveChecksInOrder) {
  using LV = LossCurveViews;
  expect_cases<LV>({{"curve axis/u must be rank one", [](LV& v) { reshape(v.uv, {2, 1}); }},
                    {"curve tensor shape invalid", [](LV& v) { reshape(v.cv, {2, 6, 4}); }},
                    {"curve tensor dtype/rank/device/flags invalid",
                     [](LV& v) { v.partial_out->dtype = VREL_DTYPE_FLOAT32; }},
                    {"curve scratch too small", [](LV& v) { v.ws->capacity = 100; }},
                    {"curve axis domain", [](LV& v) { v.axis[2] = 0.5; }},
                    {"curve axis domain", [](LV& v) { v.axis[1] = v.axis[0]; }},
                    {"curve control domain", [](LV& v) { v.p.controls[7] = kNan; }},
                    {"curve coordinate domain", [](LV& v) { v.u[1] = 1.0000001; }}},
                   [](LV& v) { return v.run(); });
  expect_cases<LV>(
      {{"curve partial shape invalid", [](LV& v) { reshape(v.partial_in, {2, 25}); }},
       {"curve tensor shape invalid", [](LV& v) { reshape(v.ug, {3}); }},
       {"curve VJP inputs must be finite", [](LV& v) { v.gradient[3] = kNan; }},
       {"curve VJP product overflow", [](LV& v) { v.partial[0] = 1e300, v.gradient[0] = 1e300; }},
       {"curve VJP sum overflow",
        [](LV& v) { v.partial[0] = v.partial[1] = 1e300, v.gradient[0] = v.gradient[1] = 1e8; }}},
      [](LV& v) { return v.run_backward(); });
  Diag diag;
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_shading_loss_curve_workspace(33, 4, &g_cpu, &bytes, &alignment, diag), 1);
  EXPECT_EQ(diag.text(), "curve batch/nodes/results invalid");
  EXPECT_EQ(vrel_shading_loss_curve_workspace(2, 1, &g_cpu, &bytes, &alignment, nullptr), 0);
  EXPECT_EQ(bytes, 2u * 4 * 8 + 8);  // max(4N, 10N - 6) with N = 1
}

TEST(ShadingRules, LossQueryChecksInOrder) {
  using QV = LossQueryViews;
  expect_cases<QV>({{"query extent ranks invalid", [](QV& v) { reshape(v.curve, {48}); }},
                    {"query extent invalid", [](QV& v) { reshape(v.mu, {1057}); }},
                    {"curve tensor shape invalid", [](QV& v) { reshape(v.wv, {3, 4}); }},
                    {"query owners dtype/shape/device/flags invalid",
                     [](QV& v) { v.own->dtype = VREL_DTYPE_UINT32; }},
                    {"curve output aliases tensor", [](QV& v) { v.mv->data = v.qv->data; }},
                    {"query axes domain", [](QV& v) { v.cn[0] = 0.0; }},
                    {"query cosine axis must end at one", [](QV& v) { v.cn[2] = 0.999; }},
                    {"query weights domain", [](QV& v) { v.weights[5] = -1e-300; }},
                    {"query curve must be finite", [](QV& v) { v.c.partial[30] = kNan; }},
                    {"query coordinate/owner domain", [](QV& v) { v.cosine[0] = -0.0001; }},
                    {"query coordinate/owner domain", [](QV& v) { v.owners[2] = 2; }}},
                   [](QV& v) { return v.run(); });
  expect_cases<QV>(
      {{"query backward ranks invalid", [](QV& v) { reshape(v.mg, {4}); }},
       {"query extent invalid", [](QV& v) { reshape(v.m_in, {33, 4}); }},
       {"curve tensor shape invalid", [](QV& v) { reshape(v.gv, {3, 6}); }},
       {"query partial must be finite", [](QV& v) { v.query[7] = kNan; }},
       {"mean partial must be finite", [](QV& v) { v.mean[7] = kNan; }},
       {"query gradient must be finite", [](QV& v) { v.gradient[1] = kNan; }},
       {"mean gradient must be finite", [](QV& v) { v.mean_gradient[1] = kNan; }},
       {"query owner domain", [](QV& v) { v.owners[0] = -1; }},
       {"cosine VJP overflow", [](QV& v) { v.gradient[0] = 1e300, v.query[4] = 1e300; }},
       {"coordinate VJP overflow", [](QV& v) { v.mean_gradient[1] = 1e300, v.mean[3] = 1e300; }}},
      [](QV& v) { return v.run_backward(); });
}

TEST(ShadingRules, BackwardScratchFitsEveryQueryAnswer) {
  // The query backward needs Q * 8 + 8 bytes, within the query's answer for any N.
  LossQueryViews v;
  v.ws->capacity = 3 * 8 + 8;
  EXPECT_EQ(v.run_backward().status, 0);
  v.ws->capacity -= 1;
  EXPECT_EQ(v.run_backward().message, "curve scratch too small");
}

TEST(ShadingRules, BadInputsOverEveryExport) {
  uint64_t bytes = 0, alignment = 0;
  VrelExecutionContext ctx = cpu_context();
  const BadInputPlan query_plan{{{&bytes, sizeof bytes}, {&alignment, sizeof alignment}}, {}, {}};
  for (auto fn : {vrel_shading_principled_pairs, vrel_shading_principled_groups}) {
    PrincipledViews v;
    check_bad_inputs("principled", fn, v.args(),
                     BadInputPlan{{{v.call.output.ptr(), v.call.output.bytes()},
                                   {v.call.jacobian.ptr(), v.call.jacobian.bytes()}},
                                  {},
                                  {}});
  }
  {
    PrincipledViews v(false, 1);
    check_bad_inputs("principled_shared_groups", vrel_shading_principled_shared_groups, v.args(),
                     BadInputPlan{{{v.call.output.ptr(), v.call.output.bytes()}}, {}, {}});
  }
  for (auto fn :
       {vrel_shading_principled_pairs_backward, vrel_shading_principled_groups_backward}) {
    PrincipledBackwardViews v;
    check_bad_inputs(
        "principled_backward", fn, v.args(),
        BadInputPlan{{{v.point.ptr(), v.point.bytes()}, {v.light.ptr(), v.light.bytes()}}, {}, {}});
  }
  for (auto fn :
       {vrel_shading_principled_pairs_workspace, vrel_shading_principled_groups_workspace})
    check_bad_inputs("principled_workspace", fn,
                     std::make_tuple(int64_t{3}, int64_t{2}, int32_t{1}, &ctx, &bytes, &alignment,
                                     (VrelDiagnostic*)nullptr),
                     query_plan);
  {
    LossCurveViews v;
    check_bad_inputs(
        "loss_curve", vrel_shading_loss_curve, v.args(),
        BadInputPlan{
            {{v.curve.ptr(), v.curve.bytes()}, {v.partial.ptr(), v.partial.bytes()}}, {}, {}});
    check_bad_inputs("loss_curve_backward", vrel_shading_loss_curve_backward, v.backward_args(),
                     BadInputPlan{{{v.u_gradient.ptr(), v.u_gradient.bytes()}}, {}, {}});
    check_bad_inputs("loss_curve_workspace", vrel_shading_loss_curve_workspace,
                     std::make_tuple(uint64_t{2}, uint64_t{3}, &ctx, &bytes, &alignment,
                                     (VrelDiagnostic*)nullptr),
                     query_plan);
  }
  {
    LossQueryViews v;
    ASSERT_EQ(v.run().status, 0);  // the backward reads the query's outputs
    check_bad_inputs("loss_query_backward", vrel_shading_loss_query_backward, v.backward_args(),
                     BadInputPlan{{{v.cosine_gradient.ptr(), v.cosine_gradient.bytes()},
                                   {v.u_gradient.ptr(), v.u_gradient.bytes()}},
                                  {},
                                  {}});
    check_bad_inputs(
        "loss_query", vrel_shading_loss_query, v.args(),
        BadInputPlan{{{v.query.ptr(), v.query.bytes()}, {v.mean.ptr(), v.mean.bytes()}}, {}, {}});
    check_bad_inputs("loss_query_workspace", vrel_shading_loss_query_workspace,
                     std::make_tuple(uint64_t{2}, uint64_t{3}, uint64_t{3}, &ctx, &bytes,
                                     &alignment, (VrelDiagnostic*)nullptr),
                     query_plan);
  }
}

}  // namespace
