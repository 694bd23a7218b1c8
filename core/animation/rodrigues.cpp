// Rodrigues rotations: axis-angle vectors [..., 3] to rotation matrices [..., 3, 3].
#include "animation/checks.hpp"
#include "animation/rodrigues_kernel.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kAxisShape =
    "axis_angle must have shape [...,3] within the native rank limit";
constexpr const char* kAxisDtype = "axis_angle must be float32 or float64";
constexpr const char* kCudaAxisShape = "axis_angle must have shape [...,3]";
constexpr const char* kCudaAxisDtype = "Rodrigues requires floating axis-angle";
constexpr const char* kNoCotangent = "Rodrigues backward requires a cotangent";
constexpr const char* kAngleOverflow = "Rodrigues squared angle overflow";

VrelStatus answer(const Counts& counts, uint32_t, uint64_t* bytes, uint64_t* alignment,
                  VrelDiagnostic* diag) noexcept {
  if (counts.value[0] > 2147483647)
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "animation counts overflow");
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

constexpr Query kQuery{provider::operation::kRodrigues, answer,
                       "CUDA provider lacks requested pose operation", true, false};

// The axis-angle tensor's own rules: rank 1..63 with a last extent of 3, a floating dtype. The
// CPU tests the shape first, the CUDA path the dtype.
VrelStatus axis_angle_rules(Checks& c, const VrelTensorView* axis_angle) noexcept {
  if (axis_angle == nullptr) return c.floating(axis_angle, kAxisDtype, kCudaAxisDtype);
  VREL_TRY(c.header(axis_angle));
  const uint32_t rank = axis_angle->rank;
  const bool shape_ok = rank >= 1 && rank <= VREL_ANIMATION_MAX_AXIS_ANGLE_RANK &&
                        (axis_angle->shape == nullptr || axis_angle->shape[rank - 1] == 3);
  if (c.cuda()) {
    VREL_TRY(c.floating(axis_angle, kAxisDtype, kCudaAxisDtype));
    return shape_ok ? VREL_STATUS_OK : c.fail(VREL_STATUS_INVALID_ARGUMENT, kCudaAxisShape);
  }
  if (!shape_ok) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kAxisShape);
  return c.floating(axis_angle, kAxisDtype, kCudaAxisDtype);
}

int64_t vector_count(const VrelTensorView* axis_angle) noexcept {
  return static_cast<int64_t>(abi::element_count(*axis_angle) / 3);
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* axis_angle,
                       const VrelTensorView* output) noexcept {
  const T* v = abi::data_of<T>(*axis_angle);
  const auto n = static_cast<uint64_t>(vector_count(axis_angle));
  if (!rodrigues_angles_finite(v, n)) return c.fail(VREL_STATUS_OVERFLOW, kAngleOverflow);
  rodrigues_forward(v, n, abi::mutable_data_of<T>(*output));
  return c.finite_outputs({output});
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* axis_angle,
                        const VrelTensorView* grad_output,
                        const VrelTensorView* grad_axis_angle) noexcept {
  const T* v = abi::data_of<T>(*axis_angle);
  const auto n = static_cast<uint64_t>(vector_count(axis_angle));
  if (!rodrigues_angles_finite(v, n)) return c.fail(VREL_STATUS_OVERFLOW, kAngleOverflow);
  rodrigues_backward(v, abi::data_of<T>(*grad_output), n,
                     abi::mutable_data_of<T>(*grad_axis_angle));
  return c.finite_outputs({grad_axis_angle});
}

}  // namespace
}  // namespace vrel::animation

using namespace vrel::animation;

extern "C" VREL_API VrelStatus vrel_transforms_rodrigues(
    const VrelTensorView* axis_angle, const VrelExecutionContext* context,
    const VrelTensorView* output, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(axis_angle_rules(c, axis_angle));
  VREL_TRY(c.input(axis_angle, Shape::of(*axis_angle), c.dtype()));
  VREL_TRY(c.output(output, Shape::of(*axis_angle, {3})));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {vector_count(axis_angle)}, workspace));
    return frame::forward_entry<&frame::Table::rodrigues>(
        "CUDA Rodrigues unavailable", true, diag, axis_angle, context, output, workspace, diag);
  }
  VREL_TRY(c.no_alias({output}, {axis_angle}, workspace, 0));
  return frame::with_floating(
      c.dtype(), [&](auto t) { return forward_cpu<decltype(t)>(c, axis_angle, output); });
}

extern "C" VREL_API VrelStatus vrel_transforms_rodrigues_backward(
    const VrelTensorView* axis_angle, const VrelTensorView* grad_output,
    const VrelExecutionContext* context, const VrelTensorView* grad_axis_angle,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(axis_angle_rules(c, axis_angle));
  VREL_TRY(c.input(axis_angle, Shape::of(*axis_angle), c.dtype()));
  VREL_TRY(c.input(grad_output, Shape::of(*axis_angle, {3}), c.dtype(), kNoCotangent));
  VREL_TRY(c.output(grad_axis_angle, Shape::of(*axis_angle)));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {vector_count(axis_angle)}, workspace));
    return frame::forward_entry<&frame::Table::rodrigues_backward>(
        "CUDA Rodrigues backward unavailable", true, diag, axis_angle, grad_output, context,
        grad_axis_angle, workspace, diag);
  }
  VREL_TRY(c.no_alias({grad_axis_angle}, {axis_angle, grad_output}, workspace, 0));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return backward_cpu<decltype(t)>(c, axis_angle, grad_output, grad_axis_angle);
  });
}

extern "C" VREL_API VrelStatus vrel_transforms_rodrigues_workspace(
    int64_t vector_count, uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return run_query(kQuery, {vector_count}, dtype, context, bytes, alignment, diag);
}
