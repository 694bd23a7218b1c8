// Argument checks of the opaque exports: the bad-input helper over all six, the rules in order
// with their exact status and message, and the workspace queries.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <new>

#include "tests/opaque/opaque_support.hpp"
#include "tests/support/bad_input.hpp"

namespace vrel::test {
namespace {

void replace(View& slot, const View& with) {
  slot.~View();
  new (&slot) View(with);
}

// One valid call of each export over a 2 x 3 image, every operand its own buffer.
struct Args {
  Tensor<double> vertices{{4, 3}, {0, 0, 0, 2, 0, 1, 0, 2, 2, 3, 2, 0}};
  Tensor<int32_t> faces{{2, 3}, {0, 1, 2, 1, 3, 2}};
  Tensor<double> colour = Tensor<double>::filled({2, 3, 3}, 0.5);
  Tensor<double> cover{{2, 3}}, cover_grad = Tensor<double>::filled({2, 3}, 1);
  Tensor<double> rgba{{2, 3, 4}}, rgba_grad = Tensor<double>::filled({2, 3, 4}, 1);
  Tensor<double> grad_vertices{{4, 3}}, grad_colour{{2, 3, 3}};
  View v = vertices.in(), f = faces.in(), col = colour.in(), cov = cover.out(),
       cg = cover_grad.in();
  View out = rgba.out(), rg = rgba_grad.in(), gv = grad_vertices.out(), gc = grad_colour.out();
  int64_t h = 2, w = 3;
  double ox = 0, oy = 0;
  VrelExecutionContext ctx = cpu_context();
  Workspace cws{kCoverageBytes, 8}, iws{kIntegrateBytes, 8};
};

TEST(OpaqueChecks, BadInputsOfEveryExport) {
  Args a;
  auto byte_regions = [](std::initializer_list<std::pair<void*, std::size_t>> list) {
    BadInputPlan plan;
    for (auto [p, n] : list) plan.outputs.push_back({p, n});
    return plan;
  };
  check_bad_inputs("coverage", vrel_render_opaque_coverage,
                   std::make_tuple(a.v.get(), a.f.get(), a.h, a.w, a.ox, a.oy, &a.ctx, a.cov.get(),
                                   a.cws.get(), (VrelDiagnostic*)nullptr),
                   byte_regions({{a.cover.ptr(), a.cover.bytes()}}));
  check_bad_inputs("coverage_backward", vrel_render_opaque_coverage_backward,
                   std::make_tuple(a.v.get(), a.f.get(), a.h, a.w, a.ox, a.oy, a.cg.get(), &a.ctx,
                                   a.gv.get(), a.cws.get(), (VrelDiagnostic*)nullptr),
                   byte_regions({{a.grad_vertices.ptr(), a.grad_vertices.bytes()}}));
  check_bad_inputs("integrate", vrel_render_opaque_integrate,
                   std::make_tuple(a.v.get(), a.f.get(), a.col.get(), a.h, a.w, a.ox, a.oy, &a.ctx,
                                   a.out.get(), a.iws.get(), (VrelDiagnostic*)nullptr),
                   byte_regions({{a.rgba.ptr(), a.rgba.bytes()}}));
  check_bad_inputs(
      "integrate_backward", vrel_render_opaque_integrate_backward,
      std::make_tuple(a.v.get(), a.f.get(), a.col.get(), a.h, a.w, a.ox, a.oy, a.rg.get(), &a.ctx,
                      a.gv.get(), a.gc.get(), a.iws.get(), (VrelDiagnostic*)nullptr),
      byte_regions({{a.grad_vertices.ptr(), a.grad_vertices.bytes()},
                    {a.grad_colour.ptr(), a.grad_colour.bytes()}}));
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("coverage_workspace", vrel_render_opaque_coverage_workspace,
                   std::make_tuple(uint32_t{VREL_DTYPE_FLOAT32}, &a.ctx, &bytes, &alignment,
                                   (VrelDiagnostic*)nullptr),
                   byte_regions({{&bytes, 8}, {&alignment, 8}}));
  EXPECT_EQ(bytes, kCoverageBytes);
  EXPECT_EQ(alignment, 8u);
  check_bad_inputs("integrate_workspace", vrel_render_opaque_integrate_workspace,
                   std::make_tuple(uint32_t{VREL_DTYPE_FLOAT64}, &a.ctx, &bytes, &alignment,
                                   (VrelDiagnostic*)nullptr),
                   byte_regions({{&bytes, 8}, {&alignment, 8}}));
  EXPECT_EQ(bytes, kIntegrateBytes);
}

TEST(OpaqueChecks, WorkspaceQueriesRefuseCudaAndOtherDtypes) {
  VrelExecutionContext cuda = cuda_context(), cpu = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  EXPECT_EQ(vrel_render_opaque_coverage_workspace(1, &cuda, &bytes, &alignment, diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), "opaque coverage currently supports CPU float32/float64 only");
  EXPECT_EQ(vrel_render_opaque_integrate_workspace(3, &cpu, &bytes, &alignment, diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), "opaque colour currently supports CPU float32/float64 only");
  EXPECT_EQ(vrel_render_opaque_coverage_workspace(1, &cpu, nullptr, &alignment, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "opaque workspace result pointers required");
  EXPECT_EQ(vrel_render_opaque_integrate_workspace(1, &cpu, &bytes, nullptr, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "opaque colour workspace result pointers required");
}

struct Case {
  const char* name;
  std::function<void(Args&)> breaks;
  VrelStatus status;
  const char* message;
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kMeshCpu = "mesh operations implement only the CPU backend in this phase";

// Each rule in order; a case that breaks two rules expects the earlier one.
TEST(OpaqueChecks, CoverageRulesInOrder) {
  const Case cases[] = {
      {"width zero",
       [](Args& a) {
         a.w = 0;
         a.ctx.device_type = VREL_DEVICE_CUDA;
       },
       1, "opaque image/origin dimensions exceed the supported finite range"},
      {"origin infinite", [](Args& a) { a.oy = kInf; }, 1,
       "opaque image/origin dimensions exceed the supported finite range"},
      {"cuda context", [](Args& a) { a.ctx.device_type = VREL_DEVICE_CUDA; }, 2, kMeshCpu},
      {"vertices [V,2]",
       [](Args& a) { replace(a.v, View(a.vertices.ptr(), {6, 2}, VREL_DTYPE_FLOAT64)); }, 1,
       "vertices must be a [V,3] tensor view"},
      {"vertices int32", [](Args& a) { a.v->dtype = VREL_DTYPE_INT32; }, 2,
       "vertices must use the float32 or float64 dtype"},
      {"faces output", [](Args& a) { a.f->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {"faces float", [](Args& a) { a.f->dtype = VREL_DTYPE_FLOAT32; }, 2,
       "faces must use the int32 dtype"},
      {"workspace on cuda", [](Args& a) { a.cws->device_type = VREL_DEVICE_CUDA; }, 2,
       "mesh operations accept only CPU workspace storage"},
      {"face index 4", [](Args& a) { a.faces[5] = 4; }, 1, "face indices must lie in [0, V)"},
      {"output [3,2]",
       [](Args& a) {
         replace(a.cov, View(a.cover.ptr(), {3, 2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "opaque output shape"},
      {"output not flagged", [](Args& a) { a.cov->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"output float32", [](Args& a) { a.cov->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "opaque output dtype must match vertices"},
      {"coordinate too large", [](Args& a) { a.vertices[4] = 1048576.5; }, 1,
       "opaque coordinates must be finite within +/-1048576"},
      {"z not finite", [](Args& a) { a.vertices[2] = kInf; }, 1,
       "opaque coordinates must be finite within +/-1048576"},
      {"workspace short", [](Args& a) { a.cws->capacity = kCoverageBytes - 1; }, 3,
       "opaque workspace capacity insufficient"},
      {"workspace misaligned",
       [](Args& a) {
         a.cws->data = static_cast<char*>(a.cws->data) + 4;
         a.cws->alignment = 4;
       },
       1, "opaque workspace must be 8-byte aligned"},
      {"vertices in the output", [](Args& a) { a.cov->data = a.vertices.ptr(); }, 1,
       "opaque input/output/workspace overlap"},
      {"faces in the workspace", [](Args& a) { a.f->data = a.cws->data; }, 1,
       "opaque input/output/workspace overlap"},
      {"output in the workspace",
       [](Args& a) { a.cov->data = static_cast<char*>(a.cws->data) + 8; }, 1,
       "opaque output/workspace overlap"},
  };
  for (const Case& c : cases) {
    Args a;
    c.breaks(a);
    Diag diag;
    EXPECT_EQ(vrel_render_opaque_coverage(a.v, a.f, a.h, a.w, a.ox, a.oy, &a.ctx, a.cov,
                                          a.cws.get(), diag),
              c.status)
        << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
  const Case backward[] = {
      {"output shape before gradient",
       [](Args& a) {
         replace(a.gv, View(a.grad_vertices.ptr(), {4, 2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
         a.cg->dtype = VREL_DTYPE_FLOAT32;
       },
       1, "opaque output shape"},
      {"gradient [3,2]",
       [](Args& a) { replace(a.cg, View(a.cover_grad.ptr(), {3, 2}, VREL_DTYPE_FLOAT64)); }, 1,
       "opaque gradient must be [H,W]"},
      {"gradient flagged", [](Args& a) { a.cg->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {"gradient float32", [](Args& a) { a.cg->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "opaque gradient dtype mismatch"},
      {"gradient NaN",
       [](Args& a) {
         a.cover_grad[2] = std::nan("");
         a.vertices[0] = kInf;
       },
       1, "opaque gradient must be finite"},
      {"gradient in the output", [](Args& a) { a.gv->data = a.cover_grad.ptr(); }, 1,
       "opaque input/output/workspace overlap"},
  };
  for (const Case& c : backward) {
    Args a;
    c.breaks(a);
    Diag diag;
    EXPECT_EQ(vrel_render_opaque_coverage_backward(a.v, a.f, a.h, a.w, a.ox, a.oy, a.cg, &a.ctx,
                                                   a.gv, a.cws.get(), diag),
              c.status)
        << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
}

TEST(OpaqueChecks, IntegrateRulesInOrder) {
  const Case cases[] = {
      {"height too large", [](Args& a) { a.h = 1048577; }, 1, "opaque colour image/origin range"},
      {"cuda context", [](Args& a) { a.ctx.device_type = VREL_DEVICE_CUDA; }, 2, kMeshCpu},
      {"colour [1,3,3]",
       [](Args& a) { replace(a.col, View(a.colour.ptr(), {1, 3, 3}, VREL_DTYPE_FLOAT64)); }, 1,
       "opaque colour tensor shape"},
      {"colour flagged", [](Args& a) { a.col->flags = VREL_TENSOR_OUTPUT; }, 1,
       "operation inputs may not carry the output flag"},
      {"colour float32", [](Args& a) { a.col->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "opaque colour tensor shape/dtype mismatch"},
      {"output [2,3,3]",
       [](Args& a) {
         replace(a.out, View(a.rgba.ptr(), {2, 3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "opaque colour tensor shape/dtype mismatch"},
      {"output not flagged", [](Args& a) { a.out->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"colour not finite", [](Args& a) { a.colour[3] = kInf; }, 1,
       "opaque colour inputs must be finite and coordinates bounded"},
      {"workspace missing",
       [](Args& a) {
         a.iws->data = nullptr;
         a.iws->capacity = 0;
       },
       3, "opaque colour workspace capacity insufficient"},
      {"colour in the workspace",
       [](Args& a) { a.col->data = static_cast<char*>(a.iws->data) + 64; }, 1,
       "opaque colour input/workspace overlap"},
      {"colour in the output", [](Args& a) { a.out->data = a.colour.ptr(); }, 1,
       "opaque colour input/output overlap"},
      {"output in the workspace", [](Args& a) { a.out->data = a.iws->data; }, 1,
       "opaque colour output/workspace overlap"},
  };
  for (const Case& c : cases) {
    Args a;
    c.breaks(a);
    Diag diag;
    EXPECT_EQ(vrel_render_opaque_integrate(a.v, a.f, a.col, a.h, a.w, a.ox, a.oy, &a.ctx, a.out,
                                           a.iws.get(), diag),
              c.status)
        << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
  const Case backward[] = {
      {"gradient [2,3,3]",
       [](Args& a) { replace(a.rg, View(a.rgba_grad.ptr(), {2, 3, 3}, VREL_DTYPE_FLOAT64)); }, 1,
       "opaque colour tensor shape/dtype mismatch"},
      {"vertex gradient [4,2]",
       [](Args& a) {
         replace(a.gv, View(a.grad_vertices.ptr(), {4, 2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT));
       },
       1, "opaque vertex gradient shape"},
      {"vertex gradient float32", [](Args& a) { a.gv->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "opaque vertex gradient dtype"},
      {"colour gradient not flagged", [](Args& a) { a.gc->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"gradient NaN", [](Args& a) { a.rgba_grad[0] = std::nan(""); }, 1,
       "opaque colour inputs must be finite and coordinates bounded"},
      // The vertex gradient (12 doubles) inside the colour gradient's storage (18): the outputs
      // overlap each other and nothing else.
      {"gradient outputs overlap", [](Args& a) { a.gv->data = a.grad_colour.ptr(); }, 1,
       "opaque colour gradient outputs overlap"},
  };
  for (const Case& c : backward) {
    Args a;
    c.breaks(a);
    Diag diag;
    EXPECT_EQ(vrel_render_opaque_integrate_backward(a.v, a.f, a.col, a.h, a.w, a.ox, a.oy, a.rg,
                                                    &a.ctx, a.gv, a.gc, a.iws.get(), diag),
              c.status)
        << c.name;
    EXPECT_EQ(diag.text(), c.message) << c.name;
  }
}

}  // namespace
}  // namespace vrel::test
