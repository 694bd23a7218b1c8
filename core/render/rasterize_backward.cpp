// Export of the rasterization backward pass.
#include "abi/frame.hpp"
#include "render/checks.hpp"
#include "render/rasterize_backward_kernel.hpp"

using namespace vrel;
using namespace vrel::render;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

// A given cotangent: the fragment shape and the vertex dtype under one sentence.
VrelStatus cotangent(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                     uint32_t dtype, const char* message) noexcept {
  if (view == nullptr) return VREL_STATUS_OK;
  VREL_TRY(f.header(view));
  if (!frame::Frame::has_shape(view, dims) || view->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, message);
  VREL_TRY(f.validate(view));
  VREL_TRY(f.on_cpu(view));
  return f.not_output(view);
}

template <typename T>
GradientFault run(const VrelTensorView* vertices, const VrelTensorView* faces, int64_t h, int64_t w,
                  const VrelTensorView* face_index, const VrelTensorView* grad_bary,
                  const VrelTensorView* grad_depth, const VrelTensorView* grad_sd,
                  const VrelTensorView* grad_vertices) noexcept {
  const int64_t b = face_index->shape[0];
  const int64_t k = face_index->shape[3];
  return rasterize_gradients<T>(
      {data_of<T>(*vertices), data_of<int32_t>(*faces), vertices->shape[0], faces->shape[0],
       b * h * w * k, h, w, k, data_of<int32_t>(*face_index),
       grad_bary ? data_of<T>(*grad_bary) : nullptr, grad_depth ? data_of<T>(*grad_depth) : nullptr,
       grad_sd ? data_of<T>(*grad_sd) : nullptr, mutable_data_of<T>(*grad_vertices)});
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_rasterize_backward(
    const VrelTensorView* ndc_vertices, const VrelTensorView* faces, int64_t image_height,
    int64_t image_width, const VrelTensorView* face_index, const VrelTensorView* grad_barycentric,
    const VrelTensorView* grad_depth, const VrelTensorView* grad_signed_distance,
    const VrelExecutionContext* context, const VrelTensorView* grad_vertices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::rasterize_backward>(
        diag, ndc_vertices, faces, image_height, image_width, face_index, grad_barycentric,
        grad_depth, grad_signed_distance, context, grad_vertices, workspace, diag);
  const frame::Frame f{diag, kRasterFamily};
  VREL_TRY(f.reset());
  const int64_t h = image_height, w = image_width;
  if (h < 1 || w < 1)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "image dimensions must be positive");
  VREL_TRY(f.context(context));

  VREL_TRY(f.input(ndc_vertices, {kAny, 3}, kVerticesShape));
  VREL_TRY(f.dtype_in(ndc_vertices, frame::kFloating, kVerticesDtype));
  VREL_TRY(frame::check_faces(f, faces));
  const int64_t v = ndc_vertices->shape[0];
  const uint32_t dtype = ndc_vertices->dtype;

  VREL_TRY(f.header(face_index));
  if (!frame::Frame::has_shape(face_index, {kAny, kAny, kAny, kAny}) ||
      face_index->dtype != VREL_DTYPE_INT32)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kFragmentIndices);
  VREL_TRY(f.validate(face_index));
  VREL_TRY(f.on_cpu(face_index));
  VREL_TRY(f.not_output(face_index));
  if (face_index->shape[1] != h || face_index->shape[2] != w)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "face indices must agree with the image dimensions");
  const int64_t b = face_index->shape[0];
  const int64_t k = face_index->shape[3];

  if (grad_barycentric == nullptr && grad_depth == nullptr && grad_signed_distance == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "at least one cotangent is required");
  VREL_TRY(
      cotangent(f, grad_barycentric, {b, h, w, k, 3}, dtype,
                "barycentric cotangents must be a [B,H,W,K,3] view matching the vertex dtype"));
  VREL_TRY(cotangent(f, grad_depth, {b, h, w, k}, dtype,
                     "depth cotangents must be a [B,H,W,K] view matching the vertex dtype"));
  VREL_TRY(
      cotangent(f, grad_signed_distance, {b, h, w, k}, dtype,
                "signed distance cotangents must be a [B,H,W,K] view matching the vertex dtype"));

  VREL_TRY(f.output(grad_vertices, {v, 3}, vrel::sentence::kVertexGradients));
  VREL_TRY(f.dtype_is(grad_vertices, dtype, "vertex gradients must match the vertex dtype"));
  // The gradient is cleared before the pass reads the vertices, faces and cotangents.
  VREL_TRY(f.no_alias({grad_vertices}, {ndc_vertices, faces, face_index, grad_barycentric,
                                        grad_depth, grad_signed_distance}));
  VREL_TRY(f.given_workspace(workspace));

  const GradientFault fault = frame::with_floating(dtype, [&](auto t) {
    return run<decltype(t)>(ndc_vertices, faces, h, w, face_index, grad_barycentric, grad_depth,
                            grad_signed_distance, grad_vertices);
  });
  if (fault == GradientFault::kFaceRange)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "a fragment names a face outside the face range");
  if (fault == GradientFault::kVertexRange)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "a face references a vertex outside the vertex range");
  return VREL_STATUS_OK;
}
