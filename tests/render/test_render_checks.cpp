// Argument checks of the render exports: the exact status and message of each rule in order,
// the bad-input helper over every export, and the workspace queries.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "tests/render/render_support.hpp"
#include "tests/support/bad_input.hpp"

namespace vrel::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A valid window call over two batch elements, every operand its own view, ready to be broken.
struct RasterArgs {
  Mesh<double> mesh;
  Fragments<double> out{2, 4, 5, 2};
  View v, f, vo, fo, fi, ba, de, sd;
  int64_t gh = 6, gw = 7, r0 = 1, c0 = 2, h = 4, w = 5, k = 2;
  double blur = 0.5, eps = 0;
  uint32_t cull = VREL_RENDER_CULL_NONE;
  VrelExecutionContext ctx = cpu_context();
  Workspace ws{16};
  const VrelBufferDescriptor* workspace = nullptr;

  static Mesh<double> make_mesh() {
    Mesh<double> m;
    m.triangle(-0.9, -0.9, 0.5, 0.9, -0.9, 0.5, 0, 0.9, 0.5);
    m.element();
    m.triangle(-0.5, -0.5, 0.2, 0.5, -0.5, 0.2, 0, 0.5, 0.2);
    return m;
  }
  RasterArgs()
      : mesh(make_mesh()),
        v(mesh.vertices.data(), {6, 3}, VREL_DTYPE_FLOAT64),
        f(mesh.faces.data(), {2, 3}, VREL_DTYPE_INT32),
        vo(mesh.vertex_offsets.data(), {3}, VREL_DTYPE_INT32),
        fo(mesh.face_offsets.data(), {3}, VREL_DTYPE_INT32),
        fi(out.face_index.out()),
        ba(out.barycentric.out()),
        de(out.depth.out()),
        sd(out.signed_distance.out()) {}

  VrelStatus call(Diag& diag) {
    return vrel_render_rasterize_window(v, f, vo, fo, gh, gw, r0, c0, h, w, k, blur, cull, eps,
                                        &ctx, fi, ba, de, sd, workspace, diag);
  }
};

struct Case {
  const char* name;
  std::function<void(RasterArgs&)> breaks;
  VrelStatus status;
  const char* message;
};

TEST(RasterizeChecks, EachRuleInOrder) {
  const char* kWindow = "invalid raster window bounds";
  const char* kVertexOffsets = "vertex offsets must satisfy the packed-offset rules";
  const Case cases[] = {
      {"zero height", [](RasterArgs& a) { a.h = 0; }, 1, kWindow},
      {"negative row offset", [](RasterArgs& a) { a.r0 = -1; }, 1, kWindow},
      {"window past the bottom", [](RasterArgs& a) { a.r0 = 3; }, 1, kWindow},
      {"window past the right", [](RasterArgs& a) { a.c0 = 3; }, 1, kWindow},
      {"wider than the image",
       [](RasterArgs& a) {
         a.w = 8;
         a.c0 = 0;
       },
       1, kWindow},
      {"window before K",
       [](RasterArgs& a) {
         a.gw = 0;
         a.k = 0;
       },
       1, kWindow},
      {"K zero", [](RasterArgs& a) { a.k = 0; }, 1, "faces per pixel must be positive"},
      {"K before the blur",
       [](RasterArgs& a) {
         a.k = -1;
         a.blur = -1;
       },
       1, "faces per pixel must be positive"},
      {"blur NaN", [](RasterArgs& a) { a.blur = kNaN; }, 1,
       "the blur radius must be finite and nonnegative"},
      {"blur infinite", [](RasterArgs& a) { a.blur = INFINITY; }, 1,
       "the blur radius must be finite and nonnegative"},
      {"blur negative", [](RasterArgs& a) { a.blur = -0.5; }, 1,
       "the blur radius must be finite and nonnegative"},
      {"cull 0", [](RasterArgs& a) { a.cull = 0; }, 1, "cull mode must be none, back, or front"},
      {"cull 4", [](RasterArgs& a) { a.cull = 4; }, 1, "cull mode must be none, back, or front"},
      {"eps NaN", [](RasterArgs& a) { a.eps = kNaN; }, 1, "eps must be finite and nonnegative"},
      {"eps negative", [](RasterArgs& a) { a.eps = -1e-9; }, 1,
       "eps must be finite and nonnegative"},
      {"short context", [](RasterArgs& a) { a.ctx.struct_size = 10; }, 6,
       "structure is smaller than the ABI v1 minimum"},
      {"vertices [V,2]",
       [](RasterArgs& a) {
         replace(a.v, View(a.mesh.vertices.data(), {9, 2}, VREL_DTYPE_FLOAT64));
       },
       1, "ndc vertices must be a [V,3] tensor view"},
      {"vertices on CUDA", [](RasterArgs& a) { a.v->device_type = VREL_DEVICE_CUDA; }, 2,
       "mesh operations implement only the CPU backend in this phase"},
      {"vertices output", [](RasterArgs& a) { a.v->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {"vertices uint32",
       [](RasterArgs& a) { replace(a.v, View(a.mesh.vertices.data(), {6, 3}, VREL_DTYPE_UINT32)); },
       2, "ndc vertices must use the float32 or float64 dtype"},
      {"faces [F,2]",
       [](RasterArgs& a) { replace(a.f, View(a.mesh.faces.data(), {3, 2}, VREL_DTYPE_INT32)); }, 1,
       "faces must be a [F,3] tensor view"},
      {"faces float",
       [](RasterArgs& a) { replace(a.f, View(a.mesh.faces.data(), {2, 3}, VREL_DTYPE_FLOAT32)); },
       2, "faces must use the int32 dtype"},
      {"vertex offsets null",
       [](RasterArgs& a) {
         replace(a.vo, View(nullptr, {}, VREL_DTYPE_INT32));
         a.vo->rank = 2;
       },
       1, "vertex offsets must be a [B+1] tensor view"},
      {"vertex offsets empty",
       [](RasterArgs& a) { replace(a.vo, View(nullptr, {0}, VREL_DTYPE_INT32)); }, 1,
       "vertex offsets must be a [B+1] tensor view"},
      {"vertex offsets float",
       [](RasterArgs& a) {
         replace(a.vo, View(a.mesh.vertex_offsets.data(), {3}, VREL_DTYPE_FLOAT32));
       },
       2, "offsets must use the int32 dtype"},
      {"vertex offsets last", [](RasterArgs& a) { a.mesh.vertex_offsets[2] = 5; }, 1,
       kVertexOffsets},
      {"vertex offsets order",
       [](RasterArgs& a) {
         a.mesh.vertex_offsets[1] = 7;
         a.mesh.vertex_offsets[2] = 6;
       },
       1, kVertexOffsets},
      {"face offsets length",
       [](RasterArgs& a) {
         replace(a.fo, View(a.mesh.face_offsets.data(), {2}, VREL_DTYPE_INT32));
       },
       1, "face offsets must satisfy the packed-offset rules"},
      {"face offsets first", [](RasterArgs& a) { a.mesh.face_offsets[0] = 1; }, 1,
       "face offsets must satisfy the packed-offset rules"},
      {"face index shape",
       [](RasterArgs& a) {
         replace(a.fi,
                 View(a.out.face_index.ptr(), {2, 5, 4, 2}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT));
       },
       1, "face indices must be a [B,H,W,K] output view"},
      {"face index float", [](RasterArgs& a) { a.fi->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "face indices must be an int32 output view"},
      {"face index not output", [](RasterArgs& a) { a.fi->flags = 0; }, 1,
       "face indices must be an int32 output view"},
      {"depth float32", [](RasterArgs& a) { a.de->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "depth must be a [B,H,W,K] output view matching the vertex dtype"},
      {"depth not output", [](RasterArgs& a) { a.de->flags = VREL_TENSOR_READ_ONLY; }, 1,
       "operation outputs must carry the output flag"},
      {"signed distance shape",
       [](RasterArgs& a) {
         replace(a.sd, View(a.out.signed_distance.ptr(), {2, 4, 5, 1}, VREL_DTYPE_FLOAT64,
                            VREL_TENSOR_OUTPUT));
       },
       1, "signed distance must be a [B,H,W,K] output view matching the vertex dtype"},
      {"barycentric rank",
       [](RasterArgs& a) {
         replace(a.ba, View(a.out.barycentric.ptr(), {2, 4, 5, 6}, VREL_DTYPE_FLOAT64,
                            VREL_TENSOR_OUTPUT));
       },
       1, "barycentrics must be a [B,H,W,K,3] output view matching the vertex dtype"},
      {"depth before barycentric",
       [](RasterArgs& a) {
         a.de->dtype = VREL_DTYPE_FLOAT32;
         a.ba->dtype = VREL_DTYPE_FLOAT32;
       },
       1, "depth must be a [B,H,W,K] output view matching the vertex dtype"},
      {"face index over faces", [](RasterArgs& a) { a.fi->data = a.mesh.faces.data(); }, 1,
       "outputs may not alias an input or another output"},
      {"depth over signed distance",
       [](RasterArgs& a) { a.de->data = a.out.signed_distance.ptr(); }, 1,
       "outputs may not alias an input or another output"},
      {"signed distance over face offsets",
       [](RasterArgs& a) { a.sd->data = a.mesh.face_offsets.data(); }, 1,
       "outputs may not alias an input or another output"},
      {"face index over vertices", [](RasterArgs& a) { a.fi->data = a.mesh.vertices.data(); }, 1,
       "outputs may not alias an input or another output"},
      {"workspace broken",
       [](RasterArgs& a) {
         a.ws->alignment = 3;
         a.workspace = a.ws.get();
       },
       1, "buffer alignment must be a nonzero power of two"},
      {"face of another element", [](RasterArgs& a) { a.mesh.faces[4] = 0; }, 1,
       "each face must reference vertices of its own batch element"},
      {"negative face corner", [](RasterArgs& a) { a.mesh.faces[0] = -1; }, 1,
       "each face must reference vertices of its own batch element"},
  };
  for (const Case& c : cases) {
    RasterArgs a;
    c.breaks(a);
    for (auto& x : a.out.depth.values()) x = 42;
    Diag diag;
    EXPECT_EQ(a.call(diag), c.status) << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
    for (double x : a.out.depth.values()) ASSERT_EQ(x, 42) << c.name << " wrote an output";
  }
  RasterArgs a;
  Diag diag;
  EXPECT_EQ(a.call(diag), VREL_STATUS_OK) << diag.text();
}

TEST(RasterizeChecks, EmptyBatchSucceedsWithoutWriting) {
  std::vector<double> vertices;
  std::vector<int32_t> offsets{0};
  View v(nullptr, {0, 3}, VREL_DTYPE_FLOAT64), f(nullptr, {0, 3}, VREL_DTYPE_INT32);
  View vo(offsets.data(), {1}, VREL_DTYPE_INT32), fo(offsets.data(), {1}, VREL_DTYPE_INT32);
  View fi(nullptr, {0, 3, 3, 1}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  View ba(nullptr, {0, 3, 3, 1, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View de(nullptr, {0, 3, 3, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View sd(nullptr, {0, 3, 3, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(
      vrel_render_rasterize(v, f, vo, fo, 3, 3, 1, 0, 1, 0, &ctx, fi, ba, de, sd, nullptr, diag),
      VREL_STATUS_OK)
      << diag.text();
}

TEST(RasterizeChecks, CudaRequestsStillCheckTheWindowFirst) {
  RasterArgs a;
  a.ctx = cuda_context();
  a.r0 = 3;
  Diag diag;
  EXPECT_EQ(a.call(diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "invalid raster window bounds");
  a.r0 = 1;
  EXPECT_EQ(a.call(diag), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(),
            "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU");
}

// ---- The bad-input helper over every export ------------------------------------------------

TEST(RenderBadInputs, Rasterize) {
  RasterArgs a;
  a.gh = a.h;
  a.gw = a.w;
  Diag diag;
  const std::vector<Region> outs{{a.out.face_index.ptr(), a.out.face_index.bytes()},
                                 {a.out.barycentric.ptr(), a.out.barycentric.bytes()},
                                 {a.out.depth.ptr(), a.out.depth.bytes()},
                                 {a.out.signed_distance.ptr(), a.out.signed_distance.bytes()}};
  check_bad_inputs("render.rasterize", vrel_render_rasterize,
                   std::make_tuple(a.v.get(), a.f.get(), a.vo.get(), a.fo.get(), a.h, a.w, a.k,
                                   a.blur, a.cull, a.eps, &a.ctx, a.fi.get(), a.ba.get(),
                                   a.de.get(), a.sd.get(), a.ws.get(), diag.get()),
                   BadInputPlan{outs, {{15, VREL_STATUS_OK}}, {}});
  check_bad_inputs(
      "render.rasterize_window", vrel_render_rasterize_window,
      std::make_tuple(a.v.get(), a.f.get(), a.vo.get(), a.fo.get(), int64_t{9}, int64_t{8},
                      int64_t{2}, int64_t{3}, a.h, a.w, a.k, a.blur, a.cull, a.eps, &a.ctx,
                      a.fi.get(), a.ba.get(), a.de.get(), a.sd.get(), a.ws.get(), diag.get()),
      BadInputPlan{outs, {{19, VREL_STATUS_OK}}, {}});
}

TEST(RenderBadInputs, RasterizeBackward) {
  RasterArgs a;
  Tensor<double> gb({2, 4, 5, 2, 3}), gd({2, 4, 5, 2}), gs({2, 4, 5, 2}), grad({6, 3});
  View gbv = gb.in(), gdv = gd.in(), gsv = gs.in(), out = grad.out();
  View fi = a.out.face_index.in();
  for (auto& x : a.out.face_index.values()) x = -1;
  a.out.face_index[7] = 1;
  Diag diag;
  check_bad_inputs(
      "render.rasterize_backward", vrel_render_rasterize_backward,
      std::make_tuple(a.v.get(), a.f.get(), a.h, a.w, fi.get(), gbv.get(), gdv.get(), gsv.get(),
                      &a.ctx, out.get(), a.ws.get(), diag.get()),
      BadInputPlan{
          {{grad.ptr(), grad.bytes()}},
          {{5, VREL_STATUS_OK}, {6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}, {10, VREL_STATUS_OK}},
          {}});
}

struct InterpArgs {
  Tensor<int32_t> fi = Tensor<int32_t>::filled({1, 2, 2, 2}, 0);
  Tensor<double> bary = Tensor<double>::filled({1, 2, 2, 2, 3}, 0.25);
  Tensor<double> attrs = Tensor<double>::filled({2, 3, 4}, 1.5);
  Tensor<double> out{{1, 2, 2, 2, 4}};
  Tensor<double> grad = Tensor<double>::filled({1, 2, 2, 2, 4}, 1.0);
  Tensor<double> gb{{1, 2, 2, 2, 3}};
  Tensor<double> ga{{2, 3, 4}};
  View fiv = fi.in(), bv = bary.in(), av = attrs.in(), ov = out.out(), gv = grad.in(),
       gbv = gb.out(), gav = ga.out();
  VrelExecutionContext ctx = cpu_context();
  Workspace ws{16};
};

TEST(RenderBadInputs, Interpolate) {
  InterpArgs a;
  Diag diag;
  check_bad_inputs("render.interpolate", vrel_render_interpolate,
                   std::make_tuple(a.fiv.get(), a.bv.get(), a.av.get(), &a.ctx, a.ov.get(),
                                   a.ws.get(), diag.get()),
                   BadInputPlan{{{a.out.ptr(), a.out.bytes()}}, {{5, VREL_STATUS_OK}}, {}});
  check_bad_inputs("render.interpolate_backward", vrel_render_interpolate_backward,
                   std::make_tuple(a.fiv.get(), a.bv.get(), a.av.get(), a.gv.get(), &a.ctx,
                                   a.gbv.get(), a.gav.get(), a.ws.get(), diag.get()),
                   BadInputPlan{{{a.gb.ptr(), a.gb.bytes()}, {a.ga.ptr(), a.ga.bytes()}},
                                {{5, VREL_STATUS_OK}, {6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}},
                                {}});
}

TEST(RenderBadInputs, WorkspaceQueries) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 5, alignment = 5;
  Diag diag;
  check_bad_inputs(
      "render.rasterize_workspace", vrel_render_rasterize_workspace,
      std::make_tuple(int64_t{3}, int64_t{1}, int64_t{4}, int64_t{4}, int64_t{2},
                      uint32_t{VREL_DTYPE_FLOAT32}, &ctx, &bytes, &alignment, diag.get()),
      BadInputPlan{{}, {}, {}});
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  check_bad_inputs("render.interpolate_workspace", vrel_render_interpolate_workspace,
                   std::make_tuple(int64_t{8}, int64_t{0}, uint32_t{VREL_DTYPE_FLOAT64}, &ctx,
                                   &bytes, &alignment, diag.get()),
                   BadInputPlan{{}, {}, {}});
}

// ---- Order of the backward and interpolation checks -----------------------------------------

TEST(RasterizeBackwardChecks, EachRuleInOrder) {
  RasterArgs a;
  Tensor<double> gb({2, 4, 5, 2, 3}), gd({2, 4, 5, 2}), grad({6, 3});
  for (auto& x : a.out.face_index.values()) x = -1;
  struct B {
    const char* name;
    std::function<void(View&, View&, View&, View&, int64_t&)> breaks;  // fi, gb, gd, grad, h
    VrelStatus status;
    const char* message;
  };
  const B cases[] = {
      {"height 0", [](View&, View&, View&, View&, int64_t& h) { h = 0; }, 1,
       "image dimensions must be positive"},
      {"face index rank",
       [&](View& fi, View&, View&, View&, int64_t&) {
         replace(fi, View(a.out.face_index.ptr(), {8, 5, 2}, VREL_DTYPE_INT32));
       },
       1, "face indices must be a [B,H,W,K] int32 tensor view"},
      {"face index dims", [](View&, View&, View&, View&, int64_t& h) { h = 5; }, 1,
       "face indices must agree with the image dimensions"},
      {"no cotangent",
       [](View&, View& g, View& d, View&, int64_t&) {
         g->data = nullptr;
         d->data = nullptr;
       },
       1, "at least one cotangent is required"},
      {"cotangent dtype",
       [](View&, View& g, View&, View&, int64_t&) { g->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "barycentric cotangents must be a [B,H,W,K,3] view matching the vertex dtype"},
      {"depth cotangent shape",
       [&](View&, View&, View& d, View&, int64_t&) {
         replace(d, View(gd.ptr(), {2, 4, 5, 1}, VREL_DTYPE_FLOAT64));
       },
       1, "depth cotangents must be a [B,H,W,K] view matching the vertex dtype"},
      {"gradient shape",
       [&](View&, View&, View&, View& o, int64_t&) {
         replace(o, View(grad.ptr(), {5, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "vertex gradients must be a [V,3] output view"},
      {"gradient flag", [](View&, View&, View&, View& o, int64_t&) { o->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"gradient dtype",
       [](View&, View&, View&, View& o, int64_t&) {
         o->dtype = VREL_DTYPE_FLOAT32;
         o->flags = VREL_TENSOR_OUTPUT;
       },
       1, "vertex gradients must match the vertex dtype"},
      {"gradient over vertices",
       [&](View&, View&, View&, View& o, int64_t&) { o->data = a.mesh.vertices.data(); }, 1,
       "outputs may not alias an input or another output"},
  };
  for (const B& c : cases) {
    View fi = a.out.face_index.in(), g = gb.in(), d = gd.in(), o = grad.out();
    int64_t h = 4;
    c.breaks(fi, g, d, o, h);
    Diag diag;
    const VrelStatus st = vrel_render_rasterize_backward(
        a.v, a.f, h, 5, fi, g->data ? g.get() : nullptr, d->data ? d.get() : nullptr, nullptr,
        &a.ctx, o, nullptr, diag);
    EXPECT_EQ(st, c.status) << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
}

TEST(InterpolateChecks, EachRuleInOrder) {
  struct I {
    const char* name;
    std::function<void(InterpArgs&)> breaks;
    VrelStatus status;
    const char* message;
  };
  const I cases[] = {
      {"face index float", [](InterpArgs& a) { a.fiv->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "face indices must be a [B,H,W,K] int32 tensor view"},
      {"barycentric last extent",
       [](InterpArgs& a) {
         replace(a.bv, View(a.bary.ptr(), {1, 2, 2, 3, 2}, VREL_DTYPE_FLOAT64));
       },
       1, "barycentrics must be a [B,H,W,K,3] tensor view"},
      {"barycentric fragment shape",
       [](InterpArgs& a) {
         replace(a.bv, View(a.bary.ptr(), {1, 2, 4, 1, 3}, VREL_DTYPE_FLOAT64));
       },
       1, "barycentrics must agree with the fragment shape"},
      {"barycentric int32",
       [](InterpArgs& a) {
         a.bv->dtype = VREL_DTYPE_INT32;
         a.bv->byte_offset = 0;
       },
       2, "barycentrics must use the float32 or float64 dtype"},
      {"attributes dtype", [](InterpArgs& a) { a.av->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "face attributes must be a [F,3,C] view matching the barycentric dtype"},
      {"output channels",
       [](InterpArgs& a) {
         replace(a.ov, View(a.out.ptr(), {1, 2, 2, 2, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "attributes must be a [B,H,W,K,C] output view matching the dtype"},
      {"output flag", [](InterpArgs& a) { a.ov->flags = 0; }, 1,
       "attributes must be a [B,H,W,K,C] output view matching the dtype"},
      {"output over barycentrics", [](InterpArgs& a) { a.ov->data = a.bary.ptr(); }, 1,
       "outputs may not alias an input or another output"},
      {"output over face index", [](InterpArgs& a) { a.ov->data = a.fi.ptr(); }, 1,
       "outputs may not alias an input or another output"},
  };
  for (const I& c : cases) {
    InterpArgs a;
    c.breaks(a);
    Diag diag;
    EXPECT_EQ(vrel_render_interpolate(a.fiv, a.bv, a.av, &a.ctx, a.ov, nullptr, diag), c.status)
        << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
  const I backward_cases[] = {
      {"no outputs",
       [](InterpArgs& a) {
         a.gbv->data = nullptr;
         a.gav->data = nullptr;
       },
       1, "at least one gradient output is required"},
      {"cotangent shape",
       [](InterpArgs& a) {
         replace(a.gv, View(a.grad.ptr(), {1, 2, 2, 2, 5}, VREL_DTYPE_FLOAT64));
       },
       1, "attribute cotangents must be a [B,H,W,K,C] view matching the dtype"},
      {"barycentric gradient flag", [](InterpArgs& a) { a.gbv->flags = 0; }, 1,
       "barycentric gradients must be a [B,H,W,K,3] output view matching the dtype"},
      {"attribute gradient shape",
       [](InterpArgs& a) {
         replace(a.gav, View(a.ga.ptr(), {1, 3, 4}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "attribute gradients must be a [F,3,C] output view matching the dtype"},
      {"gradients overlap", [](InterpArgs& a) { a.gav->data = a.gb.ptr(); }, 1,
       "outputs may not alias an input or another output"},
      {"gradient over cotangent", [](InterpArgs& a) { a.gbv->data = a.grad.ptr(); }, 1,
       "outputs may not alias an input or another output"},
  };
  for (const I& c : backward_cases) {
    InterpArgs a;
    c.breaks(a);
    Diag diag;
    const VrelStatus st = vrel_render_interpolate_backward(
        a.fiv, a.bv, a.av, a.gv, &a.ctx, a.gbv->data ? a.gbv.get() : nullptr,
        a.gav->data ? a.gav.get() : nullptr, nullptr, diag);
    EXPECT_EQ(st, c.status) << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
}

// No render export uses its workspace: a valid buffer is accepted wherever it lives, and its
// bytes stay as they were.
TEST(RenderWorkspace, AValidBufferOnAnotherDeviceIsAcceptedAndLeftAlone) {
  RasterArgs a;
  a.ws->device_type = VREL_DEVICE_CUDA;
  std::memset(a.ws->data, 0x5A, 16);
  a.workspace = a.ws.get();
  Diag diag;
  EXPECT_EQ(a.call(diag), VREL_STATUS_OK) << diag.text();

  Tensor<double> gd({2, 4, 5, 2}), grad({6, 3});
  View fi = a.out.face_index.in(), gdv = gd.in(), out = grad.out();
  EXPECT_EQ(vrel_render_rasterize_backward(a.v, a.f, a.h, a.w, fi, nullptr, gdv, nullptr, &a.ctx,
                                           out, a.workspace, diag),
            VREL_STATUS_OK)
      << diag.text();

  InterpArgs i;
  EXPECT_EQ(vrel_render_interpolate(i.fiv, i.bv, i.av, &i.ctx, i.ov, a.workspace, diag),
            VREL_STATUS_OK)
      << diag.text();
  EXPECT_EQ(vrel_render_interpolate_backward(i.fiv, i.bv, i.av, i.gv, &i.ctx, i.gbv, i.gav,
                                             a.workspace, diag),
            VREL_STATUS_OK)
      << diag.text();
  const auto* bytes = static_cast<const unsigned char*>(a.ws->data);
  for (int n = 0; n < 16; ++n) EXPECT_EQ(bytes[n], 0x5A) << n;
}

TEST(RenderWorkspace, QueriesCheckCountsBeforePointersThenDtypeAndContext) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 9, alignment = 9;
  Diag diag;
  EXPECT_EQ(vrel_render_rasterize_workspace(1, 1, 1, -1, 1, 1, &ctx, nullptr, nullptr, diag), 1);
  EXPECT_EQ(diag.text(), "counts and image dimensions must be nonnegative");
  EXPECT_EQ(vrel_render_rasterize_workspace(1, 1, 1, 1, 1, 1, &ctx, &bytes, nullptr, diag), 1);
  EXPECT_EQ(diag.text(), "workspace query result pointers must not be null");
  EXPECT_EQ(vrel_render_rasterize_workspace(1, 1, 1, 1, 1, 3, nullptr, &bytes, &alignment, diag),
            2);
  EXPECT_EQ(diag.text(), "render operations support the float32 and float64 dtypes");
  EXPECT_EQ(vrel_render_rasterize_workspace(1, 1, 1, 1, 1, 1, nullptr, &bytes, &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "execution context pointer is null");
  EXPECT_EQ(vrel_render_rasterize_workspace(0, 0, 0, 0, 0, 2, &ctx, &bytes, &alignment, diag), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_EQ(vrel_render_interpolate_workspace(-1, 0, 1, &ctx, nullptr, nullptr, diag), 1);
  EXPECT_EQ(diag.text(), "counts must be nonnegative");
  EXPECT_EQ(vrel_render_interpolate_workspace(1, 1, 5, &ctx, &bytes, &alignment, diag), 2);
  EXPECT_EQ(diag.text(), "render operations support the float32 and float64 dtypes");
}

}  // namespace
}  // namespace vrel::test
