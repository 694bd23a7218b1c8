#include "opaque/checks.hpp"

#include <cmath>

using vrel::abi::data_of;

namespace vrel::opaque {

bool image_in_range(int64_t height, int64_t width, double ox, double oy) noexcept {
  return height > 0 && width > 0 && height <= kExtentLimit && width <= kExtentLimit &&
         std::isfinite(ox) && std::isfinite(oy) && std::fabs(ox) <= kCoordinateLimit &&
         std::fabs(oy) <= kCoordinateLimit;
}

VrelStatus check_opaque_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                             const VrelTensorView* faces, const VrelExecutionContext* context,
                             const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(f.context(context));
  VREL_TRY(f.input(vertices, {frame::kAny, 3}, sentence::kVerticesShape));
  VREL_TRY(f.dtype_in(vertices, frame::kFloating, sentence::kVerticesDtype));
  VREL_TRY(frame::check_faces(f, faces));
  VREL_TRY(f.supplied_workspace(workspace));
  const int64_t vertex_count = vertices->shape[0];
  const int32_t* index = data_of<int32_t>(*faces);
  for (int64_t i = 0; i < 3 * faces->shape[0]; ++i)
    if (index[i] < 0 || index[i] >= vertex_count)
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, sentence::kFaceRange);
  return VREL_STATUS_OK;
}

VrelStatus check_backend(const frame::Frame& f, const VrelExecutionContext* context,
                         const VrelTensorView* vertices, const char* message) noexcept {
  VREL_TRY(vrel_validate_execution_context(context, f.diag()));
  if (context->device_type != VREL_DEVICE_CPU || !frame::is_floating(vertices->dtype))
    return f.fail(VREL_STATUS_UNSUPPORTED, message);
  return VREL_STATUS_OK;
}

namespace {

template <typename Pred>
bool every_element(const VrelTensorView* view, Pred pred) noexcept {
  const uint64_t n = abi::element_count(*view);
  return frame::with_floating(view->dtype, [&](auto t) {
    const auto* p = data_of<decltype(t)>(*view);
    for (uint64_t i = 0; i < n; ++i)
      if (!pred(static_cast<double>(p[i]))) return false;
    return true;
  });
}

}  // namespace

bool all_finite(const VrelTensorView* view) noexcept {
  return every_element(view, [](double x) { return std::isfinite(x); });
}

bool coordinates_in_range(const VrelTensorView* vertices) noexcept {
  // NaN fails the comparison.
  return every_element(vertices, [](double x) { return std::fabs(x) <= kCoordinateLimit; });
}

VrelStatus check_colour_tensor(const frame::Frame& f, const VrelTensorView* view, int64_t e0,
                               int64_t e1, int64_t e2, uint32_t dtype, bool output) noexcept {
  VREL_TRY(f.header(view));  // a short or foreign record is refused before its rank is read
  if (view == nullptr || view->rank != 3 || (view->shape != nullptr && view->shape[0] != e0))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour tensor shape");
  VREL_TRY(f.validate(view));
  VREL_TRY(f.on_cpu(view));
  VREL_TRY(output ? f.is_output(view) : f.not_output(view));
  if (view->shape[1] != e1 || view->shape[2] != e2 || view->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour tensor shape/dtype mismatch");
  return VREL_STATUS_OK;
}

VrelStatus check_fixed_workspace(const frame::Frame& f, const VrelBufferDescriptor* workspace,
                                 uint64_t bytes, const char* capacity_message,
                                 const char* alignment_message) noexcept {
  if (workspace == nullptr || workspace->data == nullptr || workspace->capacity < bytes)
    return f.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, capacity_message);
  if (reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, alignment_message);
  return VREL_STATUS_OK;
}

abi::ByteRange range_of(const VrelTensorView* view) noexcept {
  return view == nullptr ? abi::ByteRange{} : abi::byte_range(*view);
}

}  // namespace vrel::opaque
