// vrel_transforms_perspective_divide and its backward and workspace query.
#include "abi/descriptors.hpp"
#include "transforms/checks.hpp"
#include "transforms/perspective_divide_kernel.hpp"
#include "vrel/vrel.h"

namespace {

using namespace vrel::transforms;

// The checks the divide and its backward share, after the reset: eps, the context, the
// homogeneous input and a supplied workspace.
VrelStatus divide_inputs(const frame::Frame& f, const frame::Frame& mesh, double eps,
                         const VrelExecutionContext* context, const VrelTensorView* homogeneous,
                         const VrelBufferDescriptor* workspace) {
  VREL_TRY(frame::check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(
      mesh.input(homogeneous, {frame::kAny, 4}, "homogeneous input must be a [P,4] tensor view"));
  VREL_TRY(mesh.dtype_in(homogeneous, frame::kFloating,
                         "the homogeneous input must use the float32 or float64 dtype"));
  return f.given_workspace(workspace);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide(
    const VrelTensorView* homogeneous, double eps, const VrelExecutionContext* context,
    const VrelTensorView* ndc, const VrelTensorView* valid, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::perspective_divide>(diag, homogeneous, eps, context, ndc,
                                                             valid, workspace, diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(divide_inputs(f, mesh, eps, context, homogeneous, workspace));
  const int64_t count = homogeneous->shape[0];
  VREL_TRY(mesh.output(ndc, {count, 3}, "ndc must be a [P,3] output view"));
  VREL_TRY(f.dtype_is(ndc, homogeneous->dtype, "ndc must match the homogeneous dtype"));
  VREL_TRY(mesh.output(valid, {count}, "valid must be a [P] output view"));
  VREL_TRY(f.dtype_is(valid, VREL_DTYPE_BOOL, vrel::sentence::kValidDtype));
  VREL_TRY(f.no_alias({ndc}, {homogeneous}));
  VREL_TRY(f.no_alias({valid}, {homogeneous}));
  VREL_TRY(f.no_alias({ndc}, {valid}));
  if (count == 0) return VREL_STATUS_OK;

  uint8_t* mask = mutable_data_of<uint8_t>(*valid);
  frame::with_floating(homogeneous->dtype, [&](auto t) {
    using T = decltype(t);
    vrel::transforms::perspective_divide(data_of<T>(*homogeneous), count, eps,
                                         mutable_data_of<T>(*ndc), mask);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide_backward(
    const VrelTensorView* homogeneous, double eps, const VrelTensorView* grad_ndc,
    const VrelExecutionContext* context, const VrelTensorView* grad_homogeneous,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::perspective_divide_backward>(
        diag, homogeneous, eps, grad_ndc, context, grad_homogeneous, workspace, diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(divide_inputs(f, mesh, eps, context, homogeneous, workspace));
  const int64_t count = homogeneous->shape[0];
  VREL_TRY(mesh.input(grad_ndc, {count, 3}, "ndc cotangents must be a [P,3] tensor view"));
  VREL_TRY(f.dtype_is(grad_ndc, homogeneous->dtype, "cotangents must match the homogeneous dtype"));
  VREL_TRY(mesh.output(grad_homogeneous, {count, 4},
                       "homogeneous gradients must be a [P,4] output view"));
  VREL_TRY(f.dtype_is(grad_homogeneous, homogeneous->dtype,
                      "homogeneous gradients must match the homogeneous dtype"));
  VREL_TRY(f.no_alias({grad_homogeneous}, {homogeneous, grad_ndc}));
  if (count == 0) return VREL_STATUS_OK;

  frame::with_floating(homogeneous->dtype, [&](auto t) {
    using T = decltype(t);
    vrel::transforms::perspective_divide_backward(data_of<T>(*homogeneous), count, eps,
                                                  data_of<T>(*grad_ndc),
                                                  mutable_data_of<T>(*grad_homogeneous));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide_workspace(
    int64_t point_count, uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return transforms_query(operation::kPerspectiveDivide, point_count < 0, dtype, context, bytes,
                          alignment, diag);
}
