// The argument checks of the transforms exports, in their order, with their statuses and
// sentences; the workspace queries; and the bad-input sweep over every export.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include "tests/support/bad_input.hpp"
#include "tests/support/views.hpp"

namespace vrel::test {
namespace {

// A view that can be replaced by another (View itself is not assignable).
class Slot {
 public:
  Slot(const View& view) : view_(std::make_unique<View>(view)) {}  // NOLINT: implicit on purpose
  Slot& operator=(const View& view) {
    view_ = std::make_unique<View>(view);
    return *this;
  }
  VrelTensorView* get() { return view_->get(); }
  VrelTensorView* operator->() { return view_->get(); }
  operator const VrelTensorView*() const { return view_->get(); }

 private:
  std::unique_ptr<View> view_;
};

// A valid transform problem with P = 3, B = 2; each case breaks one thing.
struct TransformProblem {
  Tensor<double> points{{3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9}};
  Tensor<double> matrices{{2, 4, 4}};
  Tensor<int32_t> offsets{{3}, {0, 1, 3}};
  Tensor<double> homogeneous{{3, 4}};
  Tensor<double> grad_h{{3, 4}};
  Tensor<double> grad_points{{3, 3}};
  Tensor<double> grad_matrices{{2, 4, 4}};
  Slot p = points.in(), m = matrices.in(), o = offsets.in(), h = homogeneous.out();
  Slot gh = grad_h.in(), gp = grad_points.out(), gm = grad_matrices.out();
  VrelExecutionContext ctx = cpu_context();
  Diag diag;

  VrelStatus forward() { return vrel_transforms_transform_points(p, m, o, &ctx, h, nullptr, diag); }
  bool with_gp = true, with_gm = true;
  VrelStatus backward() {
    return vrel_transforms_transform_points_backward(p, m, o, gh, &ctx,
                                                     with_gp ? gp.get() : nullptr,
                                                     with_gm ? gm.get() : nullptr, nullptr, diag);
  }
  // Offsets [0, 1, 3] stored in another tensor's bytes, to test the alias rule against them.
  template <typename T>
  void offsets_inside(Tensor<T>& storage) {
    const int32_t values[3] = {0, 1, 3};
    std::memcpy(storage.ptr(), values, sizeof values);
    o = View(storage.ptr(), {3}, VREL_DTYPE_INT32);
  }
};

struct Case {
  const char* name;
  std::function<void(TransformProblem&)> breaks;
  VrelStatus status;
  const char* message;
};

void expect_case(const Case& c, bool backward) {
  TransformProblem t;
  c.breaks(t);
  const std::vector<double> before_h = t.homogeneous.values(), before_gp = t.grad_points.values();
  const VrelStatus status = backward ? t.backward() : t.forward();
  EXPECT_EQ(status, c.status) << c.name;
  EXPECT_EQ(t.diag.text(), c.message) << c.name;
  EXPECT_EQ(t.homogeneous.values(), before_h) << c.name;
  EXPECT_EQ(t.grad_points.values(), before_gp) << c.name;
}

const Case kSharedCases[] = {
    {"context device", [](TransformProblem& t) { t.ctx.device_type = 3; }, 2,
     "device type is not supported by ABI v1"},
    {"points shape",
     [](TransformProblem& t) { t.p = View(t.points.ptr(), {9}, VREL_DTYPE_FLOAT64); }, 1,
     "points must be a [P,3] tensor view"},
    {"points device", [](TransformProblem& t) { t.p->device_type = VREL_DEVICE_CUDA; }, 2,
     "mesh operations implement only the CPU backend in this phase"},
    {"points output flag", [](TransformProblem& t) { t.p->flags = VREL_TENSOR_OUTPUT; }, 1,
     "operation inputs may not carry the output flag"},
    {"points dtype",
     [](TransformProblem& t) {
       t.p->dtype = VREL_DTYPE_INT32;
       t.p->byte_offset = 0;
     },
     2, "points must use the float32 or float64 dtype"},
    {"matrices shape",
     [](TransformProblem& t) { t.m = View(t.matrices.ptr(), {2, 4, 3}, VREL_DTYPE_FLOAT64); }, 1,
     "matrices must be a [B,4,4] tensor view"},
    {"matrices dtype before device",
     [](TransformProblem& t) {
       t.m->dtype = VREL_DTYPE_FLOAT32;
       t.m->device_type = VREL_DEVICE_CUDA;
     },
     1, "matrices must match the points dtype"},
    {"matrices device", [](TransformProblem& t) { t.m->device_type = VREL_DEVICE_CUDA; }, 2,
     "transforms implement only the CPU backend in this phase"},
    {"matrices output flag", [](TransformProblem& t) { t.m->flags = VREL_TENSOR_OUTPUT; }, 1,
     "operation inputs may not carry the output flag"},
    {"offsets extent",
     [](TransformProblem& t) { t.o = View(t.offsets.ptr(), {2}, VREL_DTYPE_INT32); }, 1,
     "point offsets must have extent B+1"},
    {"offsets dtype", [](TransformProblem& t) { t.o->dtype = VREL_DTYPE_UINT32; }, 2,
     "point offsets must use the int32 dtype"},
    {"offsets device", [](TransformProblem& t) { t.o->device_type = VREL_DEVICE_CUDA; }, 2,
     "transforms implement only the CPU backend in this phase"},
    {"offsets output flag", [](TransformProblem& t) { t.o->flags = VREL_TENSOR_OUTPUT; }, 1,
     "operation inputs may not carry the output flag"},
    {"offsets first", [](TransformProblem& t) { t.offsets[0] = 1; }, 1,
     "the first point offset must be zero"},
    {"offsets order", [](TransformProblem& t) { t.offsets[1] = 4; }, 1,
     "point offsets must be nondecreasing"},
    {"offsets last", [](TransformProblem& t) { t.offsets[2] = 2; }, 1,
     "the final point offset must equal the point count"},
};

TEST(TransformChecks, SharedChecksInOrder) {
  for (const Case& c : kSharedCases) {
    expect_case(c, false);
    expect_case(c, true);
  }
  TransformProblem t;
  EXPECT_EQ(vrel_transforms_transform_points(t.p, t.m, nullptr, &t.ctx, t.h, nullptr, t.diag), 1);
  EXPECT_EQ(t.diag.text(), "point offsets must be a [B+1] tensor view");
}

TEST(TransformChecks, ForwardOutput) {
  const Case cases[] = {
      {"shape",
       [](TransformProblem& t) {
         t.h = View(t.homogeneous.ptr(), {4, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
       },
       1, "homogeneous output must be a [P,4] view"},
      {"device", [](TransformProblem& t) { t.h->device_type = VREL_DEVICE_CUDA; }, 2,
       "mesh operations implement only the CPU backend in this phase"},
      {"flag", [](TransformProblem& t) { t.h->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"dtype", [](TransformProblem& t) { t.h->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "the homogeneous output must match the points dtype"},
      {"alias points",
       [](TransformProblem& t) { t.p = View(t.homogeneous.ptr(), {3, 3}, VREL_DTYPE_FLOAT64); }, 1,
       "outputs may not alias an input or another output"},
      {"alias offsets", [](TransformProblem& t) { t.offsets_inside(t.homogeneous); }, 1,
       "outputs may not alias an input or another output"},
  };
  for (const Case& c : cases) expect_case(c, false);
}

TEST(TransformChecks, BackwardOutputs) {
  const Case cases[] = {
      {"no gradient output", [](TransformProblem& t) { t.with_gp = t.with_gm = false; }, 1,
       "at least one gradient output is required"},
      {"cotangent shape",
       [](TransformProblem& t) { t.gh = View(t.grad_h.ptr(), {2, 4}, VREL_DTYPE_FLOAT64); }, 1,
       "homogeneous cotangents must be a [P,4] tensor view"},
      {"cotangent dtype", [](TransformProblem& t) { t.gh->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "cotangents must match the points dtype"},
      {"cotangent device", [](TransformProblem& t) { t.gh->device_type = VREL_DEVICE_CUDA; }, 2,
       "transforms implement only the CPU backend in this phase"},
      {"point gradient shape",
       [](TransformProblem& t) { t.gp = View(t.grad_points.ptr(), {1, 3}, VREL_DTYPE_FLOAT64, 2); },
       1, "point gradients must be a [P,3] output view"},
      {"point gradient device", [](TransformProblem& t) { t.gp->device_type = VREL_DEVICE_CUDA; },
       2, "mesh operations implement only the CPU backend in this phase"},
      {"point gradient flag", [](TransformProblem& t) { t.gp->flags = 0; }, 1,
       "operation outputs must carry the output flag"},
      {"point gradient dtype", [](TransformProblem& t) { t.gp->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "point gradients must match the points dtype"},
      {"point gradient alias",
       [](TransformProblem& t) { t.gh = View(t.grad_points.ptr(), {3, 4}, VREL_DTYPE_FLOAT64); }, 1,
       "outputs may not alias an input or another output"},
      {"matrix gradient shape",
       [](TransformProblem& t) {
         t.gm = View(t.grad_matrices.ptr(), {1, 4, 4}, VREL_DTYPE_FLOAT64, 2);
       },
       1, "matrix gradients must be a [B,4,4] output view"},
      {"matrix gradient device", [](TransformProblem& t) { t.gm->device_type = VREL_DEVICE_CUDA; },
       2, "mesh operations implement only the CPU backend in this phase"},
      {"matrix gradient dtype", [](TransformProblem& t) { t.gm->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "matrix gradients must match the points dtype"},
      {"matrix gradient over offsets",
       [](TransformProblem& t) {
         t.offsets_inside(t.grad_matrices);
         t.with_gp = false;
       },
       1, "outputs may not alias an input or another output"},
  };
  for (const Case& c : cases) expect_case(c, true);
  // The matrix gradient is tested against the point gradient too.
  TransformProblem t;
  Tensor<double> shared({2 * 16 + 9});
  t.gp = View(shared.ptr(), {3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  t.gm = View(shared.ptr() + 8, {2, 4, 4}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(t.backward(), 1);
  EXPECT_EQ(t.diag.text(), "outputs may not alias an input or another output");
}

TEST(DivideChecks, InOrder) {
  Tensor<float> h({2, 4}, {1, 1, 1, 1, 2, 2, 2, 2});
  Tensor<float> ndc({2, 3}), grad({2, 3}), grad_h({2, 4});
  Tensor<uint8_t> valid({2});
  Tensor<double> wide({2, 3});
  const VrelExecutionContext ctx = cpu_context();
  Diag diag;
  auto forward = [&](const VrelTensorView* hv, const VrelTensorView* nv, const VrelTensorView* vv) {
    return vrel_transforms_perspective_divide(hv, 0.0, &ctx, nv, vv, nullptr, diag);
  };
  auto backward = [&](const VrelTensorView* hv, const VrelTensorView* gv,
                      const VrelTensorView* ov) {
    return vrel_transforms_perspective_divide_backward(hv, 0.0, gv, &ctx, ov, nullptr, diag);
  };
  View h3(h.ptr(), {2, 3}, VREL_DTYPE_FLOAT32);
  EXPECT_EQ(forward(h3, ndc.out(), valid.out()), 1);
  EXPECT_EQ(diag.text(), "homogeneous input must be a [P,4] tensor view");
  View hi = h.in();
  hi->dtype = VREL_DTYPE_INT32;
  EXPECT_EQ(forward(hi, ndc.out(), valid.out()), 2);
  EXPECT_EQ(diag.text(), "the homogeneous input must use the float32 or float64 dtype");
  View hc = h.in();
  hc->device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(backward(hc, grad.in(), grad_h.out()), 2);
  EXPECT_EQ(diag.text(), "mesh operations implement only the CPU backend in this phase");
  EXPECT_EQ(forward(h.in(), View(ndc.ptr(), {1, 3}, VREL_DTYPE_FLOAT32, 2), valid.out()), 1);
  EXPECT_EQ(diag.text(), "ndc must be a [P,3] output view");
  EXPECT_EQ(forward(h.in(), wide.out(), valid.out()), 1);
  EXPECT_EQ(diag.text(), "ndc must match the homogeneous dtype");
  EXPECT_EQ(forward(h.in(), ndc.in(), valid.out()), 1);
  EXPECT_EQ(diag.text(), "operation outputs must carry the output flag");
  EXPECT_EQ(forward(h.in(), ndc.out(), View(valid.ptr(), {2, 1}, VREL_DTYPE_BOOL, 2)), 1);
  EXPECT_EQ(diag.text(), "valid must be a [P] output view");
  EXPECT_EQ(forward(h.in(), ndc.out(), View(h.ptr(), {2}, VREL_DTYPE_INT32, 2)), 1);
  EXPECT_EQ(diag.text(), "valid must use the bool dtype");
  EXPECT_EQ(forward(h.in(), View(h.ptr(), {2, 3}, VREL_DTYPE_FLOAT32, 2), valid.out()), 1);
  EXPECT_EQ(diag.text(), "outputs may not alias an input or another output");
  EXPECT_EQ(forward(h.in(), ndc.out(), View(ndc.ptr(), {2}, VREL_DTYPE_BOOL, 2)), 1);
  EXPECT_EQ(diag.text(), "outputs may not alias an input or another output");

  EXPECT_EQ(backward(h.in(), View(grad.ptr(), {1, 3}, VREL_DTYPE_FLOAT32), grad_h.out()), 1);
  EXPECT_EQ(diag.text(), "ndc cotangents must be a [P,3] tensor view");
  EXPECT_EQ(backward(h.in(), grad.out(), grad_h.out()), 1);
  EXPECT_EQ(diag.text(), "operation inputs may not carry the output flag");
  EXPECT_EQ(backward(h.in(), wide.in(), grad_h.out()), 1);
  EXPECT_EQ(diag.text(), "cotangents must match the homogeneous dtype");
  EXPECT_EQ(backward(h.in(), grad.in(), View(grad_h.ptr(), {2, 3}, VREL_DTYPE_FLOAT32, 2)), 1);
  EXPECT_EQ(diag.text(), "homogeneous gradients must be a [P,4] output view");
  View gh_device = grad_h.out();
  gh_device->device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(backward(h.in(), grad.in(), gh_device), 2);
  Tensor<double> gh64({2, 4});
  EXPECT_EQ(backward(h.in(), grad.in(), gh64.out()), 1);
  EXPECT_EQ(diag.text(), "homogeneous gradients must match the homogeneous dtype");
  EXPECT_EQ(backward(h.in(), View(grad_h.ptr(), {2, 3}, VREL_DTYPE_FLOAT32), grad_h.out()), 1);
  EXPECT_EQ(diag.text(), "outputs may not alias an input or another output");
}

TEST(TransformsWorkspace, QueriesReportNothingOnTheCpu) {
  const VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 5, alignment = 5;
  Diag diag;
  EXPECT_EQ(vrel_transforms_transform_points_workspace(10, 2, VREL_DTYPE_FLOAT32, &ctx, &bytes,
                                                       &alignment, diag),
            0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  bytes = alignment = 5;
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(0, VREL_DTYPE_FLOAT64, &ctx, &bytes,
                                                         &alignment, diag),
            0);
  EXPECT_EQ(bytes + alignment, 1u);
  VrelExecutionContext bad = ctx;
  bad.stream = 9;
  EXPECT_EQ(vrel_transforms_transform_points_workspace(-1, 2, 77, &bad, nullptr, &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "workspace query result pointers must not be null");
  EXPECT_EQ(vrel_transforms_transform_points_workspace(1, -2, 77, &bad, &bytes, &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "counts must be nonnegative");
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(1, VREL_DTYPE_INT32, &bad, &bytes,
                                                         &alignment, diag),
            2);
  EXPECT_EQ(diag.text(), "transforms support the float32 and float64 dtypes");
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(1, VREL_DTYPE_FLOAT32, &bad, &bytes,
                                                         &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "CPU execution does not accept a stream handle");
  const VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(1, 1, &cuda, &bytes, &alignment, diag), 2);
  EXPECT_EQ(diag.text(), "no CUDA provider is available to report a device workspace requirement");
}

TEST(TransformsNoProvider, CudaRequestsFailBeforeTheReset) {
  TransformProblem t;
  t.ctx = cuda_context();
  Diag broken;
  broken->struct_size = 10;  // the CUDA branch precedes the Diagnostic reset
  EXPECT_EQ(vrel_transforms_transform_points(t.p, t.m, t.o, &t.ctx, t.h, nullptr, broken), 2);
  EXPECT_EQ(broken.text(),
            "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU");
  EXPECT_EQ(vrel_transforms_transform_points_backward(nullptr, nullptr, nullptr, nullptr, &t.ctx,
                                                      nullptr, nullptr, nullptr, nullptr),
            2);
  EXPECT_EQ(
      vrel_transforms_perspective_divide(nullptr, -1.0, &t.ctx, nullptr, nullptr, nullptr, nullptr),
      2)
      << "eps is not checked on the CUDA path";
  EXPECT_EQ(vrel_transforms_perspective_divide_backward(nullptr, 0.0, nullptr, &t.ctx, nullptr,
                                                        nullptr, nullptr),
            2);
  t.ctx.struct_size = 63;  // too small to be forwarded: the CPU path validates it
  EXPECT_EQ(t.forward(), 6);
}

TEST(TransformsBadInput, EveryExport) {
  TransformProblem t;
  Tensor<double> h({3, 4}, {1, 2, 3, 1, 1, 1, 1, 0, 4, 4, 4, 2});
  Tensor<double> ndc({3, 3}), grad_ndc({3, 3}), grad_h({3, 4});
  Tensor<uint8_t> valid({3});
  View hv = h.in(), nv = ndc.out(), vv = valid.out(), gnv = grad_ndc.in(), ghv = grad_h.out();
  Workspace workspace(16);
  VrelBufferDescriptor* ws = workspace.get();
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  const auto regions = [](auto&... tensors) {
    return std::vector<Region>{{tensors.ptr(), tensors.bytes()}...};
  };
  check_bad_inputs(
      "transforms.transform_points", vrel_transforms_transform_points,
      std::make_tuple(t.p.get(), t.m.get(), t.o.get(), &t.ctx, t.h.get(), ws, diag.get()),
      BadInputPlan{regions(t.homogeneous), {{5, VREL_STATUS_OK}}, {}});
  check_bad_inputs("transforms.transform_points_backward",
                   vrel_transforms_transform_points_backward,
                   std::make_tuple(t.p.get(), t.m.get(), t.o.get(), t.gh.get(), &t.ctx, t.gp.get(),
                                   t.gm.get(), ws, diag.get()),
                   BadInputPlan{regions(t.grad_points, t.grad_matrices),
                                {{5, VREL_STATUS_OK}, {6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}},
                                {}});
  check_bad_inputs("transforms.transform_points_workspace",
                   vrel_transforms_transform_points_workspace,
                   std::make_tuple(int64_t{3}, int64_t{2}, VREL_DTYPE_FLOAT64, &t.ctx, &bytes,
                                   &alignment, diag.get()),
                   BadInputPlan{{{&bytes, 8}, {&alignment, 8}}, {}, {}});
  check_bad_inputs("transforms.perspective_divide", vrel_transforms_perspective_divide,
                   std::make_tuple(hv.get(), 0.5, &t.ctx, nv.get(), vv.get(), ws, diag.get()),
                   BadInputPlan{regions(ndc, valid), {{5, VREL_STATUS_OK}}, {}});
  check_bad_inputs("transforms.perspective_divide_backward",
                   vrel_transforms_perspective_divide_backward,
                   std::make_tuple(hv.get(), 0.5, gnv.get(), &t.ctx, ghv.get(), ws, diag.get()),
                   BadInputPlan{regions(grad_h), {{5, VREL_STATUS_OK}}, {}});
  check_bad_inputs(
      "transforms.perspective_divide_workspace", vrel_transforms_perspective_divide_workspace,
      std::make_tuple(int64_t{3}, VREL_DTYPE_FLOAT32, &t.ctx, &bytes, &alignment, diag.get()),
      BadInputPlan{{{&bytes, 8}, {&alignment, 8}}, {}, {}});
}

}  // namespace
}  // namespace vrel::test
