// vrel_render_opaque_coverage and its backward and workspace query.
#include "opaque/checks.hpp"
#include "opaque/coverage_kernel.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr const char* kBackend = "opaque coverage currently supports CPU float32/float64 only";
constexpr const char* kOverlap = "opaque input/output/workspace overlap";

// The argument checks of both directions, in order; the forward has no gradient.
VrelStatus check_coverage(const frame::Frame& f, const VrelTensorView* vertices,
                          const VrelTensorView* faces, int64_t H, int64_t W, double ox, double oy,
                          bool backward, const VrelTensorView* gradient,
                          const VrelExecutionContext* context, const VrelTensorView* output,
                          const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(f.reset());
  if (!image_in_range(H, W, ox, oy))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "opaque image/origin dimensions exceed the supported finite range");
  VREL_TRY(check_opaque_mesh(f, vertices, faces, context, workspace));
  VREL_TRY(check_backend(f, context, vertices, kBackend));
  VREL_TRY(f.output(output, {backward ? vertices->shape[0] : H, backward ? 3 : W},
                    "opaque output shape"));
  VREL_TRY(f.dtype_is(output, vertices->dtype, "opaque output dtype must match vertices"));
  if (backward) {
    VREL_TRY(f.input(gradient, {H, W}, "opaque gradient must be [H,W]"));
    VREL_TRY(f.dtype_is(gradient, vertices->dtype, "opaque gradient dtype mismatch"));
    if (!all_finite(gradient))
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque gradient must be finite");
  }
  if (!coordinates_in_range(vertices))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "opaque coordinates must be finite within +/-1048576");
  VREL_TRY(check_fixed_workspace(f, workspace, kCoverageWorkspaceBytes,
                                 "opaque workspace capacity insufficient",
                                 "opaque workspace must be 8-byte aligned"));
  const abi::ByteRange out = range_of(output);
  const abi::ByteRange scratch = range_of(workspace, kCoverageWorkspaceBytes);
  for (const VrelTensorView* input : {vertices, faces, gradient}) {
    VREL_TRY(disjoint(f, range_of(input), out, kOverlap));
    VREL_TRY(disjoint(f, range_of(input), scratch, kOverlap));
  }
  return disjoint(f, out, scratch, "opaque output/workspace overlap");
}

VrelStatus report(const frame::Frame& f, Outcome outcome) noexcept {
  switch (outcome) {
    case Outcome::kOk: return VREL_STATUS_OK;
    case Outcome::kCandidates:
      return f.fail(VREL_STATUS_OVERFLOW,
                    "opaque candidate capacity 32 exceeded; no partial output is valid");
    case Outcome::kCapacity:
      return f.fail(VREL_STATUS_OVERFLOW,
                    "opaque polygon/work capacity exceeded; no partial output is valid");
    case Outcome::kDerivative:
      return f.fail(VREL_STATUS_OVERFLOW,
                    "opaque derivative work capacity exceeded; no partial output is valid");
    case Outcome::kAccumulation: break;
  }
  return f.fail(VREL_STATUS_OVERFLOW,
                "opaque coverage gradient accumulation overflow; no partial output is valid");
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_opaque_coverage(
    const VrelTensorView* vertices, const VrelTensorView* faces, int64_t image_height,
    int64_t image_width, double origin_x, double origin_y, const VrelExecutionContext* context,
    const VrelTensorView* coverage, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(check_coverage(f, vertices, faces, image_height, image_width, origin_x, origin_y, false,
                          nullptr, context, coverage, workspace));
  const Image image{image_height, image_width, origin_x, origin_y};
  return report(f, frame::with_floating(vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return opaque::coverage(data_of<T>(*vertices), data_of<int32_t>(*faces),
                                          faces->shape[0], image, mutable_data_of<T>(*coverage),
                                          coverage_workspace(workspace->data));
                }));
}

extern "C" VREL_API VrelStatus vrel_render_opaque_coverage_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, int64_t image_height,
    int64_t image_width, double origin_x, double origin_y, const VrelTensorView* gradient,
    const VrelExecutionContext* context, const VrelTensorView* vertex_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(check_coverage(f, vertices, faces, image_height, image_width, origin_x, origin_y, true,
                          gradient, context, vertex_gradient, workspace));
  const Image image{image_height, image_width, origin_x, origin_y};
  return report(f, frame::with_floating(vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return opaque::coverage_backward(
                      data_of<T>(*vertices), vertices->shape[0], data_of<int32_t>(*faces),
                      faces->shape[0], image, data_of<T>(*gradient),
                      mutable_data_of<T>(*vertex_gradient), coverage_workspace(workspace->data));
                }));
}

extern "C" VREL_API VrelStatus vrel_render_opaque_coverage_workspace(
    uint32_t dtype, const VrelExecutionContext* context, uint64_t* workspace_bytes,
    uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  if (workspace_bytes == nullptr || workspace_alignment == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque workspace result pointers required");
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type != VREL_DEVICE_CPU || !frame::is_floating(dtype))
    return f.fail(VREL_STATUS_UNSUPPORTED, kBackend);
  return frame::store_query(workspace_bytes, workspace_alignment, kCoverageWorkspaceBytes, 8);
}
