// The bad-input helper over every texture export: null pointers and broken descriptor headers
// fail with a message and write nothing; the unchanged call succeeds.
#include <gtest/gtest.h>

#include "tests/support/bad_input.hpp"
#include "tests/texture/texture_support.hpp"
#include "vrel/vrel.h"

using namespace vrel::test;

TEST(TextureBadInputs, Pyramid) {
  Tensor<float> texture({4, 6, 2});
  Tensor<float> pyramid({64});
  Tensor<int32_t> offsets({4});
  View t = texture.in(), p = pyramid.out(), o = offsets.out();
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  check_bad_inputs(
      "render.texture_pyramid", vrel_render_texture_pyramid,
      std::make_tuple(t.get(), int64_t{0}, &ctx, p.get(), o.get(), ws.get(), diag.get()),
      BadInputPlan{{{pyramid.ptr(), pyramid.bytes()}, {offsets.ptr(), offsets.bytes()}},
                   {{5, VREL_STATUS_OK}},
                   {}});
}

TEST(TextureBadInputs, PyramidBackward) {
  Tensor<double> texture({4, 6, 2});
  Pyramid<double> pyr = make_pyramid(texture);
  Tensor<double> gp({pyr.total()});
  Tensor<double> gt({4, 6, 2});
  View o = pyr.offsets.in(), g = gp.in(), out = gt.out();
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  check_bad_inputs("render.texture_pyramid_backward", vrel_render_texture_pyramid_backward,
                   std::make_tuple(o.get(), int64_t{4}, int64_t{6}, int64_t{2}, g.get(), &ctx,
                                   out.get(), ws.get(), diag.get()),
                   BadInputPlan{{{gt.ptr(), gt.bytes()}}, {{7, VREL_STATUS_OK}}, {}});
}

namespace {

// Operands of a sampling call with every optional input present.
struct SampleOperands {
  Tensor<double> texture{{4, 6, 3}};
  Pyramid<double> pyr = make_pyramid(texture);
  Tensor<double> uv{{3, 2}, {0.1, 0.2, 0.5, 0.5, 0.9, 1.2}};
  Tensor<double> derivatives{{3, 4}, std::vector<double>(12, 0.1)};
  Tensor<double> border{{3}, {1, 2, 3}};
  Tensor<double> samples{{3, 3}};
  Tensor<double> grad_samples{{3, 3}, std::vector<double>(9, 1.0)};
  Tensor<double> grad_pyramid{{pyr.total()}};
  Tensor<double> grad_uv{{3, 2}};
  View p = pyr.data.in(), o = pyr.offsets.in(), c = uv.in(), d = derivatives.in(), b = border.in(),
       s = samples.out(), gs = grad_samples.in(), gp = grad_pyramid.out(), gc = grad_uv.out();
};

}  // namespace

TEST(TextureBadInputs, Sample) {
  SampleOperands a;
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  const uint32_t linear = VREL_TEXTURE_FILTER_LINEAR, mip = VREL_TEXTURE_MIP_LINEAR;
  // Border wrap on u: a null border is then refused; null derivatives fall back to level 0.
  check_bad_inputs(
      "render.texture", vrel_render_texture,
      std::make_tuple(a.p.get(), a.o.get(), int64_t{4}, int64_t{6}, a.c.get(), a.d.get(),
                      static_cast<const VrelTensorView*>(nullptr), linear, mip,
                      uint32_t{VREL_TEXTURE_WRAP_BORDER}, uint32_t{VREL_TEXTURE_WRAP_REPEAT},
                      a.b.get(), &ctx, a.s.get(), ws.get(), diag.get()),
      BadInputPlan{
          {{a.samples.ptr(), a.samples.bytes()}}, {{5, VREL_STATUS_OK}, {14, VREL_STATUS_OK}}, {}});
}

TEST(TextureBadInputs, SampleBackward) {
  SampleOperands a;
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  const uint32_t linear = VREL_TEXTURE_FILTER_LINEAR, mip = VREL_TEXTURE_MIP_LINEAR;
  check_bad_inputs(
      "render.texture_backward", vrel_render_texture_backward,
      std::make_tuple(a.p.get(), a.o.get(), int64_t{4}, int64_t{6}, a.c.get(), a.d.get(),
                      static_cast<const VrelTensorView*>(nullptr), linear, mip,
                      uint32_t{VREL_TEXTURE_WRAP_MIRROR}, uint32_t{VREL_TEXTURE_WRAP_BORDER},
                      a.b.get(), a.gs.get(), &ctx, a.gp.get(), a.gc.get(), ws.get(), diag.get()),
      BadInputPlan{
          {{a.grad_pyramid.ptr(), a.grad_pyramid.bytes()}, {a.grad_uv.ptr(), a.grad_uv.bytes()}},
          {{5, VREL_STATUS_OK}, {16, VREL_STATUS_OK}},
          {}});
}

TEST(TextureBadInputs, WorkspaceQueries) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  check_bad_inputs("render.texture_pyramid_workspace", vrel_render_texture_pyramid_workspace,
                   std::make_tuple(int64_t{4}, int64_t{4}, int64_t{3}, uint32_t{VREL_DTYPE_FLOAT32},
                                   &ctx, &bytes, &alignment, diag.get()),
                   BadInputPlan{{{&bytes, sizeof bytes}, {&alignment, sizeof alignment}}, {}, {}});
  check_bad_inputs("render.texture_workspace", vrel_render_texture_workspace,
                   std::make_tuple(int64_t{10}, int64_t{4}, uint32_t{VREL_DTYPE_FLOAT64}, &ctx,
                                   &bytes, &alignment, diag.get()),
                   BadInputPlan{{{&bytes, sizeof bytes}, {&alignment, sizeof alignment}}, {}, {}});
}
