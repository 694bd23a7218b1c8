// Kernels of the rasterization family: multi-layer rasterization (whole image and window), its
// backward pass, and attribute interpolation.
#include <stdexcept>

#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors4 = std::tuple<Tensor, Tensor, Tensor, Tensor>;

struct Fragments {
  Tensor face_index, barycentric, depth, signed_distance;
};

// The four [B,H,W,K] fragment buffers, after the workspace query for the image (or window).
Fragments fragment_buffers(const Tensor &ndc_vertices, const Tensor &vertex_offsets,
                           std::int64_t H, std::int64_t W, std::int64_t K) {
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
  return query_bytes(call, vrel_render_rasterize_workspace, dtype_code(ndc_vertices),
                     extent(ndc_vertices, 0), extent(faces, 0), H, W, K);
}

Tensors4 rasterize(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                   std::int64_t image_height, std::int64_t image_width,
                   std::int64_t faces_per_pixel, double blur_radius_px, std::int64_t cull_mode,
                   double eps) {
  Call call(ndc_vertices);
  Workspace ws = make_workspace(ndc_vertices, raster_bytes(call, ndc_vertices, faces, image_height,
                                                           image_width, faces_per_pixel));
  Fragments out =
      fragment_buffers(ndc_vertices, vertex_offsets, image_height, image_width, faces_per_pixel);
  call.check(vrel_render_rasterize(
      call.in(ndc_vertices), call.in(faces), call.in(vertex_offsets), call.in(face_offsets),
      image_height, image_width, faces_per_pixel, blur_radius_px, as_u32(cull_mode),
      eps, call.context(), call.out(out.face_index), call.out(out.barycentric),
      call.out(out.depth), call.out(out.signed_distance), ws.or_null(), call.diag()));
  return {out.face_index, out.barycentric, out.depth, out.signed_distance};
}

Tensors4 rasterize_window(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets,
                          Tensor face_offsets, std::int64_t global_height,
                          std::int64_t global_width, std::int64_t row_offset,
                          std::int64_t column_offset, std::int64_t image_height,
                          std::int64_t image_width, std::int64_t faces_per_pixel,
                          double blur_radius_px, std::int64_t cull_mode, double eps) {
  // Written so that no sum can overflow: offset + extent <= global as extent <= global - offset.
  const bool bounds = global_height > 0 && global_width > 0 && image_height > 0 &&
                      image_width > 0 && row_offset >= 0 && column_offset >= 0 &&
                      row_offset <= global_height && column_offset <= global_width &&
                      image_height <= global_height - row_offset &&
                      image_width <= global_width - column_offset;
  if (!bounds) throw std::runtime_error("invalid raster window bounds");
  Call call(ndc_vertices);
  Workspace ws = make_workspace(ndc_vertices, raster_bytes(call, ndc_vertices, faces, image_height,
                                                           image_width, faces_per_pixel));
  Fragments out =
      fragment_buffers(ndc_vertices, vertex_offsets, image_height, image_width, faces_per_pixel);
  call.check(vrel_render_rasterize_window(
      call.in(ndc_vertices), call.in(faces), call.in(vertex_offsets), call.in(face_offsets),
      global_height, global_width, row_offset, column_offset, image_height, image_width,
      faces_per_pixel, blur_radius_px, as_u32(cull_mode), eps, call.context(),
      call.out(out.face_index), call.out(out.barycentric), call.out(out.depth),
      call.out(out.signed_distance), ws.or_null(), call.diag()));
  return {out.face_index, out.barycentric, out.depth, out.signed_distance};
}

void rasterize_out(Tensor ndc_vertices, Tensor faces, Tensor vertex_offsets, Tensor face_offsets,
                   std::int64_t image_height, std::int64_t image_width,
                   std::int64_t faces_per_pixel, double blur_radius_px, std::int64_t cull_mode,
                   double eps, Tensor face_index, Tensor barycentric, Tensor depth,
                   Tensor signed_distance, Tensor workspace) {
  Call call(ndc_vertices);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_render_rasterize(
      call.in(ndc_vertices), call.in(faces), call.in(vertex_offsets), call.in(face_offsets),
      image_height, image_width, faces_per_pixel, blur_radius_px, as_u32(cull_mode), eps,
      call.context(), call.out(face_index), call.out(barycentric), call.out(depth),
      call.out(signed_distance), &ws, call.diag()));
}

// The backward pass needs no workspace; none is passed.
Tensor rasterize_backward(Tensor ndc_vertices, Tensor faces, std::int64_t image_height,
                          std::int64_t image_width, Tensor face_index, Tensor grad_barycentric,
                          Tensor grad_depth, Tensor grad_signed_distance) {
  Call call(ndc_vertices);
  Tensor grad_vertices = new_empty(ndc_vertices, sizes_of(ndc_vertices));
  call.check(vrel_render_rasterize_backward(
      call.in(ndc_vertices), call.in(faces), image_height, image_width, call.in(face_index),
      call.in(grad_barycentric), call.in(grad_depth), call.in(grad_signed_distance),
      call.context(), call.out(grad_vertices), nullptr, call.diag()));
  return grad_vertices;
}

// The attributes follow the barycentric dtype: face_index, the reference, is int32.
Tensor interpolate(Tensor face_index, Tensor barycentric, Tensor face_attributes) {
  Call call(face_index);
  std::vector<std::int64_t> sizes = sizes_of(face_index);
  sizes.push_back(extent(face_attributes, 2));
  Tensor attributes = new_empty(barycentric, sizes);
  call.check(vrel_render_interpolate(call.in(face_index), call.in(barycentric),
                                     call.in(face_attributes), call.context(),
                                     call.out(attributes), nullptr, call.diag()));
  return attributes;
}

Tensors2 interpolate_backward(Tensor face_index, Tensor barycentric, Tensor face_attributes,
                              Tensor grad_attributes) {
  Call call(face_index);
  Tensor grad_barycentric = new_empty(barycentric, sizes_of(barycentric));
  Tensor grad_face_attributes = new_empty(barycentric, sizes_of(face_attributes));
  call.check(vrel_render_interpolate_backward(
      call.in(face_index), call.in(barycentric), call.in(face_attributes),
      call.in(grad_attributes), call.context(), call.out(grad_barycentric),
      call.out(grad_face_attributes), nullptr, call.diag()));
  return {grad_barycentric, grad_face_attributes};
}

void interpolate_out(Tensor face_index, Tensor barycentric, Tensor face_attributes,
                     Tensor attributes, Tensor workspace) {
  Call call(face_index);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_render_interpolate(call.in(face_index), call.in(barycentric),
                                     call.in(face_attributes), call.context(),
                                     call.out(attributes), &ws, call.diag()));
}

}  // namespace

std::span<const KernelBinding> render_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(rasterize),
      VREL_BIND(rasterize_window),
      VREL_BIND(rasterize_backward),
      VREL_BIND(rasterize_out),
      VREL_BIND(interpolate),
      VREL_BIND(interpolate_backward),
      VREL_BIND(interpolate_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
