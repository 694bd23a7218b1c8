// vrel_render_opaque_integrate and its backward and workspace query.
#include "opaque/checks.hpp"
#include "opaque/integrate_kernel.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr const char* kBackend = "opaque colour currently supports CPU float32/float64 only";

// The argument checks of both directions, in order. The forward passes its output as `output`
// and null gradients; the backward passes null `output`.
VrelStatus check_integrate(const frame::Frame& f, const VrelTensorView* vertices,
                           const VrelTensorView* faces, const VrelTensorView* colour, int64_t H,
                           int64_t W, double ox, double oy, bool backward,
                           const VrelTensorView* gradient, const VrelExecutionContext* context,
                           const VrelTensorView* output, const VrelTensorView* vertex_gradient,
                           const VrelTensorView* colour_gradient,
                           const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(f.reset());
  if (!image_in_range(H, W, ox, oy))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour image/origin range");
  VREL_TRY(check_opaque_mesh(f, vertices, faces, context, workspace));
  VREL_TRY(check_backend(f, context, vertices, kBackend));
  const uint32_t dtype = vertices->dtype;
  const int64_t V = vertices->shape[0], F = faces->shape[0];
  VREL_TRY(check_colour_tensor(f, colour, F, 3, 3, dtype, false));
  if (!backward) {
    VREL_TRY(check_colour_tensor(f, output, H, W, 4, dtype, true));
  } else {
    VREL_TRY(check_colour_tensor(f, gradient, H, W, 4, dtype, false));
    VREL_TRY(f.output(vertex_gradient, {V, 3}, "opaque vertex gradient shape"));
    VREL_TRY(f.dtype_is(vertex_gradient, dtype, "opaque vertex gradient dtype"));
    VREL_TRY(check_colour_tensor(f, colour_gradient, F, 3, 3, dtype, true));
  }
  if (!coordinates_in_range(vertices) || !all_finite(colour) || (backward && !all_finite(gradient)))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "opaque colour inputs must be finite and coordinates bounded");
  VREL_TRY(check_fixed_workspace(f, workspace, kIntegrateWorkspaceBytes,
                                 "opaque colour workspace capacity insufficient",
                                 "opaque colour workspace alignment"));
  const abi::ByteRange scratch = range_of(workspace, kIntegrateWorkspaceBytes);
  const VrelTensorView* outputs[2] = {backward ? vertex_gradient : output,
                                      backward ? colour_gradient : nullptr};
  for (const VrelTensorView* input : {vertices, faces, colour, gradient}) {
    VREL_TRY(disjoint(f, range_of(input), scratch, "opaque colour input/workspace overlap"));
    for (const VrelTensorView* out : outputs)
      VREL_TRY(disjoint(f, range_of(input), range_of(out), "opaque colour input/output overlap"));
  }
  for (const VrelTensorView* out : outputs)
    VREL_TRY(disjoint(f, range_of(out), scratch, "opaque colour output/workspace overlap"));
  return disjoint(f, range_of(outputs[0]), range_of(outputs[1]),
                  "opaque colour gradient outputs overlap");
}

VrelStatus report(const frame::Frame& f, Outcome outcome) noexcept {
  switch (outcome) {
    case Outcome::kOk: return VREL_STATUS_OK;
    case Outcome::kCandidates:
      return f.fail(VREL_STATUS_OVERFLOW,
                    "opaque colour candidate capacity32 exceeded; partial outputs invalid");
    case Outcome::kCapacity:
      return f.fail(VREL_STATUS_OVERFLOW,
                    "opaque colour polygon/work/arithmetic overflow; partial outputs invalid");
    case Outcome::kDerivative:
      return f.fail(
          VREL_STATUS_OVERFLOW,
          "opaque colour derivative capacity/arithmetic overflow; partial outputs invalid");
    case Outcome::kAccumulation: break;
  }
  return f.fail(VREL_STATUS_OVERFLOW, "opaque colour output accumulation overflow");
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_opaque_integrate(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* colour,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext* context, const VrelTensorView* output,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(check_integrate(f, vertices, faces, colour, image_height, image_width, origin_x,
                           origin_y, false, nullptr, context, output, nullptr, nullptr, workspace));
  const Image image{image_height, image_width, origin_x, origin_y};
  return report(f, frame::with_floating(vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return opaque::integrate(data_of<T>(*vertices), data_of<int32_t>(*faces),
                                           data_of<T>(*colour), faces->shape[0], image,
                                           mutable_data_of<T>(*output),
                                           integrate_workspace(workspace->data));
                }));
}

extern "C" VREL_API VrelStatus vrel_render_opaque_integrate_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* colour,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView* gradient, const VrelExecutionContext* context,
    const VrelTensorView* vertex_gradient, const VrelTensorView* colour_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(check_integrate(f, vertices, faces, colour, image_height, image_width, origin_x,
                           origin_y, true, gradient, context, nullptr, vertex_gradient,
                           colour_gradient, workspace));
  const Image image{image_height, image_width, origin_x, origin_y};
  return report(f, frame::with_floating(vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return opaque::integrate_backward(
                      data_of<T>(*vertices), vertices->shape[0], data_of<int32_t>(*faces),
                      data_of<T>(*colour), faces->shape[0], image, data_of<T>(*gradient),
                      mutable_data_of<T>(*vertex_gradient), mutable_data_of<T>(*colour_gradient),
                      integrate_workspace(workspace->data));
                }));
}

extern "C" VREL_API VrelStatus vrel_render_opaque_integrate_workspace(
    uint32_t dtype, const VrelExecutionContext* context, uint64_t* workspace_bytes,
    uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  if (workspace_bytes == nullptr || workspace_alignment == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour workspace result pointers required");
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type != VREL_DEVICE_CPU || !frame::is_floating(dtype))
    return f.fail(VREL_STATUS_UNSUPPORTED, kBackend);
  return frame::store_query(workspace_bytes, workspace_alignment, kIntegrateWorkspaceBytes, 8);
}
