// The transforms exports: each runs the frame's checks in the family's order, then one kernel.
#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "transforms/kernels.hpp"
#include "vrel/vrel.h"

namespace {

namespace frame = vrel::frame;
namespace operation = vrel::provider::operation;
using vrel::abi::data_of;
using vrel::abi::mutable_data_of;

constexpr const char* kBackend = "transforms implement only the CPU backend in this phase";
// The points, homogeneous and gradient views report a non-CPU device with the mesh sentence.
constexpr const char* kMeshBackend = vrel::sentence::kMeshCpuOnly;
constexpr frame::Family kTransforms{kBackend, kBackend, kBackend};
constexpr frame::Family kTransformsMeshViews{kBackend, kMeshBackend, kBackend};

constexpr frame::OffsetMessages kOffsetMessages{
    "point offsets must have extent B+1", "the first point offset must be zero",
    "point offsets must be nondecreasing", "the final point offset must equal the point count"};

// The checks shared by transform_points and its backward, after the frame's context step.
VrelStatus transform_inputs(const frame::Frame& f, const frame::Frame& mesh,
                            const VrelTensorView* points, const VrelTensorView* matrices,
                            const VrelTensorView* offsets, const VrelBufferDescriptor* workspace) {
  VREL_TRY(mesh.input(points, {frame::kAny, 3}, "points must be a [P,3] tensor view"));
  VREL_TRY(f.dtype_in(points, frame::kFloating, "points must use the float32 or float64 dtype"));
  VREL_TRY(f.shape(matrices, {frame::kAny, 4, 4}, "matrices must be a [B,4,4] tensor view"));
  VREL_TRY(f.validate(matrices));
  VREL_TRY(f.dtype_is(matrices, points->dtype, "matrices must match the points dtype"));
  VREL_TRY(f.on_cpu(matrices));
  VREL_TRY(f.not_output(matrices));
  if (offsets == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "point offsets must be a [B+1] tensor view");
  VREL_TRY(f.shape(offsets, {matrices->shape[0] + 1}, kOffsetMessages.shape));
  VREL_TRY(f.validate(offsets));
  VREL_TRY(f.dtype_is(offsets, VREL_DTYPE_INT32, "point offsets must use the int32 dtype",
                      VREL_STATUS_UNSUPPORTED));
  VREL_TRY(f.on_cpu(offsets));
  VREL_TRY(f.not_output(offsets));
  VREL_TRY(f.offset_rules(offsets, points->shape[0], kOffsetMessages));
  return f.given_workspace(workspace);
}


// The transforms use no workspace; their queries check the counts after the result pointers.
VrelStatus transforms_query(uint64_t operation_id, bool negative, uint32_t dtype,
                            const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                            VrelDiagnostic* diag) {
  const frame::Query query{operation_id, "transforms support the float32 and float64 dtypes",
                           frame::Query::kPointersFirst};
  return frame::workspace_query(kTransforms, query, {{!negative, vrel::sentence::kCountsNegative}},
                                dtype, context, bytes, alignment, diag);
}

// The homogeneous input of the divide and its backward.
VrelStatus homogeneous_input(const frame::Frame& mesh, const VrelTensorView* homogeneous) {
  VREL_TRY(mesh.input(homogeneous, {frame::kAny, 4}, "homogeneous input must be a [P,4] tensor view"));
  return mesh.dtype_in(homogeneous, frame::kFloating,
                       "the homogeneous input must use the float32 or float64 dtype");
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_transforms_transform_points(
    const VrelTensorView* points, const VrelTensorView* matrices, const VrelTensorView* point_offsets,
    const VrelExecutionContext* context, const VrelTensorView* homogeneous,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::transform_points>(diag, points, matrices,
                                                            point_offsets, context, homogeneous, workspace, diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(f.context(context));
  VREL_TRY(transform_inputs(f, mesh, points, matrices, point_offsets, workspace));
  const int64_t count = points->shape[0];
  VREL_TRY(mesh.output(homogeneous, {count, 4}, "homogeneous output must be a [P,4] view"));
  VREL_TRY(f.dtype_is(homogeneous, points->dtype, "the homogeneous output must match the points dtype"));
  VREL_TRY(f.no_alias({homogeneous}, {points, matrices, point_offsets}));
  if (count == 0) return VREL_STATUS_OK;

  const int64_t batch = matrices->shape[0];
  const int32_t* offsets = data_of<int32_t>(*point_offsets);
  frame::with_floating(points->dtype, [&](auto t) {
    using T = decltype(t);
    vrel::transforms::transform_points(data_of<T>(*points), data_of<T>(*matrices), offsets, batch,
                                       mutable_data_of<T>(*homogeneous));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_transform_points_backward(
    const VrelTensorView* points, const VrelTensorView* matrices, const VrelTensorView* point_offsets,
    const VrelTensorView* grad_homogeneous, const VrelExecutionContext* context,
    const VrelTensorView* grad_points, const VrelTensorView* grad_matrices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::transform_points_backward>(diag, points, matrices, point_offsets, grad_homogeneous, context,
        grad_points, grad_matrices, workspace, diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(f.context(context));
  VREL_TRY(transform_inputs(f, mesh, points, matrices, point_offsets, workspace));
  if (grad_points == nullptr && grad_matrices == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, vrel::sentence::kGradientRequired);
  const int64_t count = points->shape[0];
  const int64_t batch = matrices->shape[0];
  VREL_TRY(f.input(grad_homogeneous, {count, 4}, "homogeneous cotangents must be a [P,4] tensor view"));
  VREL_TRY(f.dtype_is(grad_homogeneous, points->dtype, "cotangents must match the points dtype"));
  if (grad_points != nullptr) {
    VREL_TRY(mesh.output(grad_points, {count, 3}, "point gradients must be a [P,3] output view"));
    VREL_TRY(f.dtype_is(grad_points, points->dtype, "point gradients must match the points dtype"));
    VREL_TRY(f.no_alias({grad_points}, {points, matrices, grad_homogeneous, point_offsets}));
  }
  if (grad_matrices != nullptr) {
    VREL_TRY(mesh.output(grad_matrices, {batch, 4, 4}, "matrix gradients must be a [B,4,4] output view"));
    VREL_TRY(f.dtype_is(grad_matrices, points->dtype, "matrix gradients must match the points dtype"));
    VREL_TRY(f.no_alias({grad_matrices}, {points, matrices, grad_homogeneous, grad_points, point_offsets}));
  }

  const int32_t* offsets = data_of<int32_t>(*point_offsets);
  frame::with_floating(points->dtype, [&](auto t) {
    using T = decltype(t);
    vrel::transforms::transform_points_backward(
        data_of<T>(*points), data_of<T>(*matrices), offsets, batch, data_of<T>(*grad_homogeneous),
        grad_points ? mutable_data_of<T>(*grad_points) : nullptr,
        grad_matrices ? mutable_data_of<T>(*grad_matrices) : nullptr);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_transform_points_workspace(
    int64_t point_count, int64_t batch_count, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return transforms_query(operation::kTransformPoints, point_count < 0 || batch_count < 0, dtype, context,
                          bytes, alignment, diag);
}

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide(
    const VrelTensorView* homogeneous, double eps, const VrelExecutionContext* context, const VrelTensorView* ndc,
    const VrelTensorView* valid, const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::perspective_divide>(diag, homogeneous, eps,
                                                              context, ndc, valid, workspace, diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(frame::check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(homogeneous_input(mesh, homogeneous));
  VREL_TRY(f.given_workspace(workspace));
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
    vrel::transforms::perspective_divide(data_of<T>(*homogeneous), count, eps, mutable_data_of<T>(*ndc), mask);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide_backward(
    const VrelTensorView* homogeneous, double eps, const VrelTensorView* grad_ndc,
    const VrelExecutionContext* context, const VrelTensorView* grad_homogeneous,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::perspective_divide_backward>(diag, homogeneous, eps, grad_ndc, context, grad_homogeneous, workspace,
        diag);
  const frame::Frame f{diag, kTransforms};
  const frame::Frame mesh{diag, kTransformsMeshViews};
  VREL_TRY(f.reset());
  VREL_TRY(frame::check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(homogeneous_input(mesh, homogeneous));
  VREL_TRY(f.given_workspace(workspace));
  const int64_t count = homogeneous->shape[0];
  VREL_TRY(mesh.input(grad_ndc, {count, 3}, "ndc cotangents must be a [P,3] tensor view"));
  VREL_TRY(f.dtype_is(grad_ndc, homogeneous->dtype, "cotangents must match the homogeneous dtype"));
  VREL_TRY(mesh.output(grad_homogeneous, {count, 4}, "homogeneous gradients must be a [P,4] output view"));
  VREL_TRY(f.dtype_is(grad_homogeneous, homogeneous->dtype, "homogeneous gradients must match the homogeneous dtype"));
  VREL_TRY(f.no_alias({grad_homogeneous}, {homogeneous, grad_ndc}));
  if (count == 0) return VREL_STATUS_OK;

  frame::with_floating(homogeneous->dtype, [&](auto t) {
    using T = decltype(t);
    vrel::transforms::perspective_divide_backward(data_of<T>(*homogeneous), count, eps, data_of<T>(*grad_ndc),
                                                  mutable_data_of<T>(*grad_homogeneous));
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_transforms_perspective_divide_workspace(
    int64_t point_count, uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return transforms_query(operation::kPerspectiveDivide, point_count < 0, dtype, context, bytes, alignment, diag);
}
