// Exports of attribute interpolation: forward, backward and the workspace query.
#include "abi/frame.hpp"
#include "render/checks.hpp"
#include "render/interpolate_kernel.hpp"

using namespace vrel;
using namespace vrel::render;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

constexpr const char* kOutsideAttributes = "a fragment names a face outside the attribute range";

// The fragment extents B, H, W, K and the channel count C once the shared checks have passed.
struct Extents {
  int64_t b, h, w, k, faces, channels;
  int64_t fragments() const noexcept { return b * h * w * k; }
};

// An input checked the frame's way after a rule that folds shape and dtype into one sentence.
VrelStatus checked_input(const frame::Frame& f, const VrelTensorView* view) noexcept {
  VREL_TRY(f.validate(view));
  VREL_TRY(f.on_cpu(view));
  return f.not_output(view);
}

bool shaped(const VrelTensorView* view, frame::Dims dims, uint32_t dtype) noexcept {
  return frame::Frame::has_shape(view, dims) && view->dtype == dtype;
}

// An output whose shape, dtype and output flag share one sentence.
VrelStatus shaped_output(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                         uint32_t dtype, const char* message) noexcept {
  VREL_TRY(f.header(view));
  if (!shaped(view, dims, dtype) || (view->flags & VREL_TENSOR_OUTPUT) == 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, message);
  VREL_TRY(f.validate(view));
  return f.on_cpu(view);
}

// Context, face_index, barycentric and face_attributes, in that order.
VrelStatus shared_checks(const frame::Frame& f, const VrelExecutionContext* context,
                         const VrelTensorView* face_index, const VrelTensorView* barycentric,
                         const VrelTensorView* face_attributes, Extents* out) noexcept {
  VREL_TRY(f.context(context));
  VREL_TRY(f.header(face_index));
  if (!shaped(face_index, {kAny, kAny, kAny, kAny}, VREL_DTYPE_INT32))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kFragmentIndices);
  VREL_TRY(checked_input(f, face_index));
  const int64_t* fs = face_index->shape;

  VREL_TRY(f.shape(barycentric, {kAny, kAny, kAny, kAny, 3},
                   "barycentrics must be a [B,H,W,K,3] tensor view"));
  if (barycentric->shape != nullptr &&
      !frame::Frame::has_shape(barycentric, {fs[0], fs[1], fs[2], fs[3], 3}))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "barycentrics must agree with the fragment shape");
  VREL_TRY(checked_input(f, barycentric));
  VREL_TRY(f.dtype_in(barycentric, frame::kFloating,
                      "barycentrics must use the float32 or float64 dtype"));

  VREL_TRY(f.header(face_attributes));
  if (!shaped(face_attributes, {kAny, 3, kAny}, barycentric->dtype))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "face attributes must be a [F,3,C] view matching the barycentric dtype");
  VREL_TRY(checked_input(f, face_attributes));
  *out = {fs[0], fs[1], fs[2], fs[3], face_attributes->shape[0], face_attributes->shape[2]};
  return VREL_STATUS_OK;
}

// Every fragment's face index is background (negative) or a face row: checked before anything
// is written, so that a refused call leaves its outputs as they were.
VrelStatus fragment_faces(const frame::Frame& f, const VrelTensorView* face_index,
                          const Extents& e) noexcept {
  const int32_t* index = data_of<int32_t>(*face_index);
  const int64_t fragments = e.fragments();
  for (int64_t i = 0; i < fragments; ++i)
    if (index[i] >= e.faces) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kOutsideAttributes);
  return VREL_STATUS_OK;
}

template <typename T>
bool run_forward(const VrelTensorView* face_index, const VrelTensorView* barycentric,
                 const VrelTensorView* face_attributes, const Extents& e,
                 const VrelTensorView* attributes) noexcept {
  return interpolate<T>({data_of<int32_t>(*face_index), data_of<T>(*barycentric),
                         data_of<T>(*face_attributes), e.fragments(), e.faces, e.channels,
                         mutable_data_of<T>(*attributes)});
}

template <typename T>
bool run_backward(const VrelTensorView* face_index, const VrelTensorView* barycentric,
                  const VrelTensorView* face_attributes, const VrelTensorView* grad_attributes,
                  const Extents& e, const VrelTensorView* grad_barycentric,
                  const VrelTensorView* grad_face_attributes) noexcept {
  return interpolate_gradients<T>(
      {data_of<int32_t>(*face_index), data_of<T>(*barycentric), data_of<T>(*face_attributes),
       data_of<T>(*grad_attributes), e.fragments(), e.faces, e.channels,
       grad_barycentric ? mutable_data_of<T>(*grad_barycentric) : nullptr,
       grad_face_attributes ? mutable_data_of<T>(*grad_face_attributes) : nullptr});
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_interpolate(
    const VrelTensorView* face_index, const VrelTensorView* barycentric,
    const VrelTensorView* face_attributes, const VrelExecutionContext* context,
    const VrelTensorView* attributes, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::interpolate>(
        diag, face_index, barycentric, face_attributes, context, attributes, workspace, diag);
  const frame::Frame f{diag, kInterpolateFamily};
  VREL_TRY(f.reset());
  Extents e{};
  VREL_TRY(shared_checks(f, context, face_index, barycentric, face_attributes, &e));
  const uint32_t dtype = barycentric->dtype;
  VREL_TRY(shaped_output(f, attributes, {e.b, e.h, e.w, e.k, e.channels}, dtype,
                         "attributes must be a [B,H,W,K,C] output view matching the dtype"));
  // face_index is read while attributes are written, so it is guarded too.
  VREL_TRY(f.no_alias({attributes}, {barycentric, face_attributes, face_index}));
  VREL_TRY(f.given_workspace(workspace));
  VREL_TRY(fragment_faces(f, face_index, e));

  const bool in_range = frame::with_floating(dtype, [&](auto t) {
    return run_forward<decltype(t)>(face_index, barycentric, face_attributes, e, attributes);
  });
  return in_range ? VREL_STATUS_OK : f.fail(VREL_STATUS_INVALID_ARGUMENT, kOutsideAttributes);
}

extern "C" VREL_API VrelStatus vrel_render_interpolate_backward(
    const VrelTensorView* face_index, const VrelTensorView* barycentric,
    const VrelTensorView* face_attributes, const VrelTensorView* grad_attributes,
    const VrelExecutionContext* context, const VrelTensorView* grad_barycentric,
    const VrelTensorView* grad_face_attributes, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::interpolate_backward>(
        diag, face_index, barycentric, face_attributes, grad_attributes, context, grad_barycentric,
        grad_face_attributes, workspace, diag);
  const frame::Frame f{diag, kInterpolateFamily};
  VREL_TRY(f.reset());
  Extents e{};
  VREL_TRY(shared_checks(f, context, face_index, barycentric, face_attributes, &e));
  const uint32_t dtype = barycentric->dtype;
  if (grad_barycentric == nullptr && grad_face_attributes == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, sentence::kGradientRequired);
  VREL_TRY(f.header(grad_attributes));
  if (!shaped(grad_attributes, {e.b, e.h, e.w, e.k, e.channels}, dtype))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "attribute cotangents must be a [B,H,W,K,C] view matching the dtype");
  VREL_TRY(checked_input(f, grad_attributes));
  if (grad_barycentric != nullptr)
    VREL_TRY(shaped_output(
        f, grad_barycentric, {e.b, e.h, e.w, e.k, 3}, dtype,
        "barycentric gradients must be a [B,H,W,K,3] output view matching the dtype"));
  if (grad_face_attributes != nullptr)
    VREL_TRY(shaped_output(f, grad_face_attributes, {e.faces, 3, e.channels}, dtype,
                           "attribute gradients must be a [F,3,C] output view matching the dtype"));
  // Both outputs are cleared before the inputs are read.
  VREL_TRY(f.no_alias({grad_barycentric, grad_face_attributes},
                      {face_index, barycentric, face_attributes, grad_attributes}));
  VREL_TRY(f.given_workspace(workspace));
  VREL_TRY(fragment_faces(f, face_index, e));

  const bool in_range = frame::with_floating(dtype, [&](auto t) {
    return run_backward<decltype(t)>(face_index, barycentric, face_attributes, grad_attributes, e,
                                     grad_barycentric, grad_face_attributes);
  });
  return in_range ? VREL_STATUS_OK : f.fail(VREL_STATUS_INVALID_ARGUMENT, kOutsideAttributes);
}

extern "C" VREL_API VrelStatus vrel_render_interpolate_workspace(
    int64_t fragment_count, int64_t channel_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* workspace_bytes, uint64_t* workspace_alignment,
    VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kInterpolate, kQueryDtype,
                                frame::Query::kCountsFirst};
  return frame::workspace_query(
      kQueryFamily, kQuery,
      {{fragment_count >= 0 && channel_count >= 0, sentence::kCountsNegative}}, dtype, context,
      workspace_bytes, workspace_alignment, diag);
}
