// Exports of rasterization: the full-image and window forms (one implementation) and the
// workspace query.
#include <cmath>

#include "abi/frame.hpp"
#include "render/checks.hpp"
#include "render/rasterize_kernel.hpp"

using namespace vrel;
using namespace vrel::render;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

bool window_valid(int64_t gh, int64_t gw, int64_t r0, int64_t c0, int64_t h, int64_t w) noexcept {
  return gh >= 1 && gw >= 1 && h >= 1 && w >= 1 && r0 >= 0 && c0 >= 0 && h <= gh && w <= gw &&
         r0 <= gh - h && c0 <= gw - w;
}

// A fragment output: shape and dtype under one sentence, then validation, the CPU and the flag.
VrelStatus fragment_output(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                           uint32_t dtype, const char* message) noexcept {
  VREL_TRY(f.header(view));
  if (!frame::Frame::has_shape(view, dims) || view->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, message);
  VREL_TRY(f.validate(view));
  VREL_TRY(f.on_cpu(view));
  return f.is_output(view);
}

template <typename T>
void run(const VrelTensorView* vertices, const VrelTensorView* faces,
         const VrelTensorView* face_offsets, int64_t gh, int64_t gw, int64_t r0, int64_t c0,
         int64_t h, int64_t w, int64_t k, const RuleParams& rule, const VrelTensorView* face_index,
         const VrelTensorView* barycentric, const VrelTensorView* depth,
         const VrelTensorView* signed_distance) noexcept {
  rasterize<T>({data_of<T>(*vertices), data_of<int32_t>(*faces), data_of<int32_t>(*face_offsets),
                face_offsets->shape[0] - 1, gh, gw, r0, c0, h, w, k, rule,
                mutable_data_of<int32_t>(*face_index), mutable_data_of<T>(*barycentric),
                mutable_data_of<T>(*depth), mutable_data_of<T>(*signed_distance)});
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_rasterize_window(
    const VrelTensorView* ndc_vertices, const VrelTensorView* faces,
    const VrelTensorView* vertex_offsets, const VrelTensorView* face_offsets, int64_t global_height,
    int64_t global_width, int64_t row_offset, int64_t column_offset, int64_t image_height,
    int64_t image_width, int64_t faces_per_pixel, double blur_radius_px, uint32_t cull_mode,
    double eps, const VrelExecutionContext* context, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelTensorView* depth,
    const VrelTensorView* signed_distance, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  const int64_t gh = global_height, gw = global_width, r0 = row_offset, c0 = column_offset;
  const int64_t h = image_height, w = image_width, k = faces_per_pixel;
  if (!window_valid(gh, gw, r0, c0, h, w))
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, "invalid raster window bounds");
  if (frame::is_cuda(context)) {
    if (h == gh && w == gw && r0 == 0 && c0 == 0)
      return frame::forward<&frame::Table::rasterize>(
          diag, ndc_vertices, faces, vertex_offsets, face_offsets, h, w, k, blur_radius_px,
          cull_mode, eps, context, face_index, barycentric, depth, signed_distance, workspace,
          diag);
    return frame::forward_entry<&frame::Table::rasterize_window>(
        "CUDA provider lacks raster windows", true, diag, ndc_vertices, faces, vertex_offsets,
        face_offsets, gh, gw, r0, c0, h, w, k, blur_radius_px, cull_mode, eps, context, face_index,
        barycentric, depth, signed_distance, workspace, diag);
  }

  const frame::Frame f{diag, kRasterFamily};
  VREL_TRY(f.reset());
  if (k <= 0) return f.fail(VREL_STATUS_INVALID_ARGUMENT, "faces per pixel must be positive");
  if (!std::isfinite(blur_radius_px) || blur_radius_px < 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "the blur radius must be finite and nonnegative");
  if (cull_mode < kCullNone || cull_mode > kCullFront)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "cull mode must be none, back, or front");
  VREL_TRY(frame::check_eps(f, eps));
  VREL_TRY(f.context(context));

  VREL_TRY(f.input(ndc_vertices, {kAny, 3}, kVerticesShape));
  VREL_TRY(f.dtype_in(ndc_vertices, frame::kFloating, kVerticesDtype));
  VREL_TRY(frame::check_faces(f, faces));
  const int64_t v = ndc_vertices->shape[0];
  const int64_t nf = faces->shape[0];
  const uint32_t dtype = ndc_vertices->dtype;

  const char* const kVertexOffsetsShape = vrel::sentence::kVertexOffsetsShape;
  VREL_TRY(f.header(vertex_offsets));
  if (vertex_offsets == nullptr || vertex_offsets->rank != 1 ||
      (vertex_offsets->shape != nullptr && vertex_offsets->shape[0] < 1))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kVertexOffsetsShape);
  VREL_TRY(f.validate(vertex_offsets));
  const int64_t batch = vertex_offsets->shape[0] - 1;
  VREL_TRY(f.offsets(vertex_offsets, batch, v, vrel::sentence::kVertexOffsetsRules));
  VREL_TRY(f.offsets(face_offsets, batch, nf, vrel::sentence::kFaceOffsetsRules));

  const char* const kIndexOutput = "face indices must be an int32 output view";
  VREL_TRY(f.shape(face_index, {batch, h, w, k}, "face indices must be a [B,H,W,K] output view"));
  VREL_TRY(f.validate(face_index));
  VREL_TRY(f.on_cpu(face_index));
  if (face_index->dtype != VREL_DTYPE_INT32 || (face_index->flags & VREL_TENSOR_OUTPUT) == 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kIndexOutput);
  VREL_TRY(fragment_output(f, depth, {batch, h, w, k}, dtype,
                           "depth must be a [B,H,W,K] output view matching the vertex dtype"));
  VREL_TRY(
      fragment_output(f, signed_distance, {batch, h, w, k}, dtype,
                      "signed distance must be a [B,H,W,K] output view matching the vertex dtype"));
  VREL_TRY(
      fragment_output(f, barycentric, {batch, h, w, k, 3}, dtype,
                      "barycentrics must be a [B,H,W,K,3] output view matching the vertex dtype"));
  // The faces and both offset arrays are read while the outputs are written, so every output is
  // kept apart from every operand, not only from the pairs that share a dtype.
  VREL_TRY(f.no_alias({face_index, barycentric, depth, signed_distance},
                      {ndc_vertices, faces, vertex_offsets, face_offsets}));
  VREL_TRY(f.given_workspace(workspace));
  VREL_TRY(frame::check_faces_in_batches(f, data_of<int32_t>(*faces),
                                         data_of<int32_t>(*vertex_offsets),
                                         data_of<int32_t>(*face_offsets), batch));
  if (batch == 0) return VREL_STATUS_OK;

  const RuleParams rule{blur_radius_px, blur_radius_px * blur_radius_px, eps, cull_mode};
  frame::with_floating(dtype, [&](auto t) {
    run<decltype(t)>(ndc_vertices, faces, face_offsets, gh, gw, r0, c0, h, w, k, rule, face_index,
                     barycentric, depth, signed_distance);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_render_rasterize(
    const VrelTensorView* ndc_vertices, const VrelTensorView* faces,
    const VrelTensorView* vertex_offsets, const VrelTensorView* face_offsets, int64_t image_height,
    int64_t image_width, int64_t faces_per_pixel, double blur_radius_px, uint32_t cull_mode,
    double eps, const VrelExecutionContext* context, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelTensorView* depth,
    const VrelTensorView* signed_distance, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  // The whole image as its own window; a CUDA request reaches the rasterize entry unchanged.
  return vrel_render_rasterize_window(
      ndc_vertices, faces, vertex_offsets, face_offsets, image_height, image_width, 0, 0,
      image_height, image_width, faces_per_pixel, blur_radius_px, cull_mode, eps, context,
      face_index, barycentric, depth, signed_distance, workspace, diag);
}

extern "C" VREL_API VrelStatus vrel_render_rasterize_workspace(
    int64_t vertex_count, int64_t face_count, int64_t image_height, int64_t image_width,
    int64_t faces_per_pixel, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kRasterize, kQueryDtype,
                                frame::Query::kCountsFirst};
  const bool nonnegative = vertex_count >= 0 && face_count >= 0 && image_height >= 0 &&
                           image_width >= 0 && faces_per_pixel >= 0;
  return frame::workspace_query(kQueryFamily, kQuery,
                                {{nonnegative, "counts and image dimensions must be nonnegative"}},
                                dtype, context, workspace_bytes, workspace_alignment, diag);
}
