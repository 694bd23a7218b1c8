// Kernels of the rasterization family: multi-layer rasterization (whole image and window), its
// backward pass, and attribute interpolation.
#include <string>

#include "adapter.hpp"
#include "split.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors4 = std::tuple<Tensor, Tensor, Tensor, Tensor>;

// The first window rule that the arguments break, named, or empty when the window is valid.
// Written so that no sum can overflow: offset + extent <= global as extent <= global - offset.
std::string window_fault(std::int64_t global_height, std::int64_t global_width,
                         std::int64_t row_offset, std::int64_t column_offset,
                         std::int64_t image_height, std::int64_t image_width) {
  const auto value = [](const char *name, std::int64_t v) {
    return std::string(name) + " = " + std::to_string(v);
  };
  if (image_height < 1) return value("image_height", image_height) + " must be at least 1";
  if (image_width < 1) return value("image_width", image_width) + " must be at least 1";
  if (global_height < 1) return value("global_height", global_height) + " must be at least 1";
  if (global_width < 1) return value("global_width", global_width) + " must be at least 1";
  if (row_offset < 0) return value("row_offset", row_offset) + " must be nonnegative";
  if (column_offset < 0) return value("column_offset", column_offset) + " must be nonnegative";
  if (row_offset > global_height || image_height > global_height - row_offset)
    return value("row_offset", row_offset) + " + " + value("image_height", image_height) +
           " must not exceed " + value("global_height", global_height);
  if (column_offset > global_width || image_width > global_width - column_offset)
    return value("column_offset", column_offset) + " + " + value("image_width", image_width) +
           " must not exceed " + value("global_width", global_width);
  return {};
}

// The core's window refusal with the rule that failed, raised before anything is allocated.
void check_window(std::int64_t global_height, std::int64_t global_width, std::int64_t row_offset,
                  std::int64_t column_offset, std::int64_t image_height, std::int64_t image_width) {
  const std::string fault = window_fault(global_height, global_width, row_offset, column_offset,
                                         image_height, image_width);
  if (!fault.empty())
    status_error(VREL_STATUS_INVALID_ARGUMENT,
                 ("invalid raster window bounds (" + fault + ")").c_str());
}

struct Fragments {
  Tensor face_index, barycentric, depth, signed_distance;
};

// The four [B,H,W,K] fragment buffers, after the workspace query for the image (or window).
Fragments fragment_buffers(const Tensor &ndc_vertices, const Tensor &vertex_offsets, std::int64_t H,
                           std::int64_t W, std::int64_t K) {
  const auto clamp = [](std::int64_t v) { return v < 0 ? 0 : v; };
  const std::int64_t B = clamp(extent(vertex_offsets, 0) - 1);
  H = clamp(H);
  W = clamp(W);
  K = clamp(K);
  return Fragments{new_empty(ndc_vertices, {B, H, W, K}, ScalarType::Int),
                   new_empty(ndc_vertices, {B, H, W, K, 3}), new_empty(ndc_vertices, {B, H, W, K}),
                   new_empty(ndc_vertices, {B, H, W, K})};
}

std::uint64_t raster_bytes(Call &call, const Tensor &ndc_vertices, const Tensor &faces,
                           std::int64_t H, std::int64_t W, std::int64_t K) {
  return query_bytes(call, vrel_render_rasterize_workspace,
                     dtype_code(ndc_vertices, "ndc_vertices"), extent(ndc_vertices, 0),
                     extent(faces, 0), H, W, K);
}

// Image rows per thread below which a split costs more than it saves.
constexpr std::int64_t kRasterRowsPerThread = 16;

// The borrowed arguments of a rasterization.
struct RasterViews {
  const VrelTensorView *vertices, *faces, *vertex_offsets, *face_offsets;
  const VrelTensorView *outputs[4];
};

RasterViews raster_views(Call &call, const Tensor &ndc_vertices, const Tensor &faces,
                         const Tensor &vertex_offsets, const Tensor &face_offsets,
                         const Fragments &out) {
  return RasterViews{call.in(ndc_vertices, "ndc_vertices"),
                     call.in(faces, "faces"),
                     call.in(vertex_offsets, "vertex_offsets"),
                     call.in(face_offsets, "face_offsets"),
                     {call.out(out.face_index), call.out(out.barycentric), call.out(out.depth),
                      call.out(out.signed_distance)}};
}

// Rasterizes the H x W window at (R0, C0) of a GH x GW image on torch's threads, when it is worth
// it: a single image is cut into bands of rows, each rasterized as a window of the global image,
// which gives that crop of the full render bit for bit. (With several batch elements a band
// would not be one dense block of the outputs.) False when the work was not split or a part
// failed; the caller then makes the one call.
bool rasterize_bands(Call &call, const Tensor &reference, const Fragments &out,
                     const RasterViews &r, std::int64_t GH, std::int64_t GW, std::int64_t R0,
                     std::int64_t C0, std::int64_t H, std::int64_t W, std::int64_t K,
                     double blur_radius_px, std::int64_t cull_mode, double eps) {
  const std::int64_t n =
      extent(out.depth, 0) == 1 ? split::parts_for(reference, H, kRasterRowsPerThread) : 1;
  bool cuttable = n > 1;
  for (const VrelTensorView *o : r.outputs) cuttable = cuttable && split::cuttable_merged(o, 1, H);
  if (!cuttable) return false;
  std::vector<split::Part> parts(n);
  for (std::int64_t k = 0; k < n; ++k) {
    const std::int64_t begin = split::first_row(k, n, H), end = split::first_row(k + 1, n, H);
    for (const VrelTensorView *o : r.outputs) parts[k].merged_rows(o, 1, begin, end);
  }
  return split::run(parts, [&](split::Part &part, std::int64_t k) {
    const auto &w = part.views;
    const std::int64_t begin = split::first_row(k, n, H);
    return vrel_render_rasterize_window(
        r.vertices, r.faces, r.vertex_offsets, r.face_offsets, GH, GW, R0 + begin, C0,
        split::first_row(k + 1, n, H) - begin, W, K, blur_radius_px, as_u32(cull_mode), eps,
        call.context(), &w[0], &w[1], &w[2], &w[3], nullptr, &part.diag);
  });
}

Tensors4 rasterize(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                   std::int64_t image_height, std::int64_t image_width,
                   std::int64_t faces_per_pixel, double blur_radius_px, std::int64_t cull_mode,
                   double eps) {
  // The whole image is the window: only its two extents can break the rule.
  check_window(image_height, image_width, 0, 0, image_height, image_width);
  Call call(ndc_vertices);
  Workspace ws = make_workspace(ndc_vertices, raster_bytes(call, ndc_vertices, faces, image_height,
                                                           image_width, faces_per_pixel));
  Fragments out =
      fragment_buffers(ndc_vertices, vertex_offsets, image_height, image_width, faces_per_pixel);
  const RasterViews r = raster_views(call, ndc_vertices, faces, vertex_offsets, face_offsets, out);
  if (ws.or_null() == nullptr &&
      rasterize_bands(call, ndc_vertices, out, r, image_height, image_width, 0, 0, image_height,
                      image_width, faces_per_pixel, blur_radius_px, cull_mode, eps))
    return {out.face_index, out.barycentric, out.depth, out.signed_distance};
  call.check(vrel_render_rasterize(
      r.vertices, r.faces, r.vertex_offsets, r.face_offsets, image_height, image_width,
      faces_per_pixel, blur_radius_px, as_u32(cull_mode), eps, call.context(), r.outputs[0],
      r.outputs[1], r.outputs[2], r.outputs[3], ws.or_null(), call.diag()));
  return {out.face_index, out.barycentric, out.depth, out.signed_distance};
}

Tensors4 rasterize_window(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets,
                          Tensor face_offsets, std::int64_t global_height,
                          std::int64_t global_width, std::int64_t row_offset,
                          std::int64_t column_offset, std::int64_t image_height,
                          std::int64_t image_width, std::int64_t faces_per_pixel,
                          double blur_radius_px, std::int64_t cull_mode, double eps) {
  check_window(global_height, global_width, row_offset, column_offset, image_height, image_width);
  Call call(ndc_vertices);
  Workspace ws = make_workspace(ndc_vertices, raster_bytes(call, ndc_vertices, faces, image_height,
                                                           image_width, faces_per_pixel));
  Fragments out =
      fragment_buffers(ndc_vertices, vertex_offsets, image_height, image_width, faces_per_pixel);
  const RasterViews r = raster_views(call, ndc_vertices, faces, vertex_offsets, face_offsets, out);
  if (ws.or_null() == nullptr &&
      rasterize_bands(call, ndc_vertices, out, r, global_height, global_width, row_offset,
                      column_offset, image_height, image_width, faces_per_pixel, blur_radius_px,
                      cull_mode, eps))
    return {out.face_index, out.barycentric, out.depth, out.signed_distance};
  call.check(vrel_render_rasterize_window(
      r.vertices, r.faces, r.vertex_offsets, r.face_offsets, global_height, global_width,
      row_offset, column_offset, image_height, image_width, faces_per_pixel, blur_radius_px,
      as_u32(cull_mode), eps, call.context(), r.outputs[0], r.outputs[1], r.outputs[2],
      r.outputs[3], ws.or_null(), call.diag()));
  return {out.face_index, out.barycentric, out.depth, out.signed_distance};
}

void rasterize_out(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                   std::int64_t image_height, std::int64_t image_width,
                   std::int64_t faces_per_pixel, double blur_radius_px, std::int64_t cull_mode,
                   double eps, Tensor face_index, Tensor barycentric, Tensor depth,
                   Tensor signed_distance, Tensor workspace) {
  check_window(image_height, image_width, 0, 0, image_height, image_width);
  Call call(ndc_vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_render_rasterize(
      call.in(ndc_vertices, "ndc_vertices"), call.in(faces, "faces"),
      call.in(vertex_offsets, "vertex_offsets"), call.in(face_offsets, "face_offsets"),
      image_height, image_width, faces_per_pixel, blur_radius_px, as_u32(cull_mode), eps,
      call.context(), call.out(face_index, "face_index"), call.out(barycentric, "barycentric"),
      call.out(depth, "depth"), call.out(signed_distance, "signed_distance"), &ws, call.diag()));
}

// The backward pass needs no workspace; none is passed.
Tensor rasterize_backward(Tensor ndc_vertices, Tensor faces, std::int64_t image_height,
                          std::int64_t image_width, Tensor face_index, Tensor grad_barycentric,
                          Tensor grad_depth, Tensor grad_signed_distance) {
  Call call(ndc_vertices);
  Tensor grad_vertices = new_empty(ndc_vertices, sizes_of(ndc_vertices));
  call.check(vrel_render_rasterize_backward(
      call.in(ndc_vertices, "ndc_vertices"), call.in(faces, "faces"), image_height, image_width,
      call.in(face_index, "face_index"), call.in(grad_barycentric, "grad_barycentric"),
      call.in(grad_depth, "grad_depth"), call.in(grad_signed_distance, "grad_signed_distance"),
      call.context(), call.out(grad_vertices, "grad_vertices"), nullptr, call.diag()));
  return grad_vertices;
}

// The attributes follow the barycentric dtype: face_index, the reference, is int32.
Tensor interpolate(Tensor face_index, Tensor barycentric, Tensor face_attributes) {
  Call call(face_index);
  std::vector<std::int64_t> sizes = sizes_of(face_index);
  sizes.push_back(extent(face_attributes, 2));
  Tensor attributes = new_empty(barycentric, sizes);
  const VrelTensorView *index = call.in(face_index, "face_index"),
                       *weights = call.in(barycentric, "barycentric"),
                       *values = call.in(face_attributes, "face_attributes");
  VrelTensorView *out = call.out(attributes, "attributes");
  // Fragments are independent: the [B,H,W,K] buffers are taken as one row of fragments and cut
  // into one range per thread.
  std::int64_t fragments = 1;
  for (std::size_t d = 0; d + 1 < sizes.size(); ++d) fragments *= sizes[d];
  const std::int64_t n = sizes.size() == 5 ? split::parts_for(face_index, fragments, 16384) : 1;
  if (n > 1 && split::cuttable_merged(index, 3, fragments) &&
      split::cuttable_merged(weights, 3, fragments) && split::cuttable_merged(out, 3, fragments)) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, fragments),
                         end = split::first_row(k + 1, n, fragments);
      parts[k].merged_rows(index, 3, begin, end);
      parts[k].merged_rows(weights, 3, begin, end);
      parts[k].merged_rows(out, 3, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t) {
          const auto &w = part.views;
          return vrel_render_interpolate(&w[0], &w[1], values, call.context(), &w[2], nullptr,
                                         &part.diag);
        }))
      return attributes;
  }
  call.check(
      vrel_render_interpolate(index, weights, values, call.context(), out, nullptr, call.diag()));
  return attributes;
}

Tensors2 interpolate_backward(Tensor face_index, Tensor barycentric, Tensor face_attributes,
                              Tensor grad_attributes) {
  Call call(face_index);
  Tensor grad_barycentric = new_empty(barycentric, sizes_of(barycentric));
  Tensor grad_face_attributes = new_empty(barycentric, sizes_of(face_attributes));
  const VrelTensorView *index = call.in(face_index, "face_index"),
                       *weights = call.in(barycentric, "barycentric"),
                       *values = call.in(face_attributes, "face_attributes"),
                       *g = call.in(grad_attributes, "grad_attributes");
  VrelTensorView *gb = call.out(grad_barycentric, "grad_barycentric"),
                 *ga = call.out(grad_face_attributes, "grad_face_attributes");
  // A fragment's barycentric gradient is its own: fragment ranges on every thread but one, which
  // accumulates the attribute gradient whole, in fragment order.
  std::int64_t fragments = 1;
  for (std::int64_t d = 0; d < 4 && d < dim_of(face_index); ++d) fragments *= extent(face_index, d);
  const std::int64_t n =
      dim_of(face_index) == 4 ? split::parts_for(face_index, fragments, 16384) : 1;
  const VrelTensorView *rows[] = {index, weights, g, gb};
  bool cuttable = n > 1;
  for (const VrelTensorView *view : rows)
    cuttable = cuttable && split::cuttable_merged(view, 3, fragments);
  if (cuttable) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k + 1 < n; ++k) {
      const std::int64_t begin = split::first_row(k, n - 1, fragments),
                         end = split::first_row(k + 1, n - 1, fragments);
      for (const VrelTensorView *view : rows) parts[k].merged_rows(view, 3, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t k) {
          if (k + 1 == n)
            return vrel_render_interpolate_backward(index, weights, values, g, call.context(),
                                                    nullptr, ga, nullptr, &part.diag);
          const auto &w = part.views;
          return vrel_render_interpolate_backward(&w[0], &w[1], values, &w[2], call.context(),
                                                  &w[3], nullptr, nullptr, &part.diag);
        }))
      return {grad_barycentric, grad_face_attributes};
  }
  call.check(vrel_render_interpolate_backward(index, weights, values, g, call.context(), gb, ga,
                                              nullptr, call.diag()));
  return {grad_barycentric, grad_face_attributes};
}

void interpolate_out(Tensor face_index, Tensor barycentric, Tensor face_attributes,
                     Tensor attributes, Tensor workspace) {
  Call call(face_index);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_render_interpolate(call.in(face_index, "face_index"),
                                     call.in(barycentric, "barycentric"),
                                     call.in(face_attributes, "face_attributes"), call.context(),
                                     call.out(attributes, "attributes"), &ws, call.diag()));
}

}  // namespace

std::span<const KernelBinding> render_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(rasterize),       VREL_BIND(rasterize_window), VREL_BIND(rasterize_backward),
      VREL_BIND(rasterize_out),   VREL_BIND(interpolate),      VREL_BIND(interpolate_backward),
      VREL_BIND(interpolate_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
