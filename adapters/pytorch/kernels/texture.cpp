// Kernels of the texture family: packed mip pyramids and filtered, wrapped sampling.
#include "adapter.hpp"
#include "split.hpp"

namespace vrel::adapter {
namespace {

// Element count of the packed pyramid of `levels` levels (0: the full chain) over an [H,W,C]
// texture; `levels` becomes the level count to allocate for. A request out of range (a bad
// texture, a negative count or one past the full chain) is sized from its range first: it gets a
// minimal size and the core then refuses it with its own message.
std::int64_t pyramid_elements(std::int64_t H, std::int64_t W, std::int64_t C,
                              std::int64_t &levels) {
  if (H < 1 || W < 1 || C < 1 || levels < 0) {
    levels = 0;
    return 0;
  }
  std::int64_t full = 1;
  for (std::int64_t extent = H > W ? H : W; extent > 1; extent /= 2) ++full;
  if (levels == 0 || levels > full) levels = full;
  std::int64_t total = 0, h = H, w = W;
  for (std::int64_t k = 0; k < levels && k < full; ++k) {
    if (total > (std::int64_t{1} << 40)) break;  // far past int32: the core reports it
    total += h * w * C;
    h = h < 2 ? 1 : h / 2;
    w = w < 2 ? 1 : w / 2;
  }
  return total;
}

std::tuple<Tensor, Tensor> texture_pyramid(Tensor texture, std::int64_t levels) {
  Call call(texture);
  const bool rank3 = dim_of(texture) == 3;
  const std::int64_t H = rank3 ? extent(texture, 0) : 0, W = rank3 ? extent(texture, 1) : 0,
                     C = rank3 ? extent(texture, 2) : 0;
  Workspace ws = make_workspace(texture, query_bytes(call, vrel_render_texture_pyramid_workspace,
                                                     dtype_code(texture, "texture"), H, W, C));
  std::int64_t count = levels;
  const std::int64_t total = pyramid_elements(H, W, C, count);
  Tensor pyramid = new_empty(texture, {total});
  Tensor level_offsets = new_empty(texture, {count + 1}, ScalarType::Int);
  call.check(vrel_render_texture_pyramid(
      call.in(texture, "texture"), levels, call.context(), call.out(pyramid, "pyramid"),
      call.out(level_offsets, "level_offsets"), ws.or_null(), call.diag()));
  return {pyramid, level_offsets};
}

// The gradient takes the cotangent's dtype: the first tensor argument, level_offsets, is int32.
Tensor texture_pyramid_backward(Tensor level_offsets, std::int64_t texture_height,
                                std::int64_t texture_width, std::int64_t channel_count,
                                Tensor grad_pyramid) {
  Call call(level_offsets);
  Workspace ws =
      make_workspace(grad_pyramid, query_bytes(call, vrel_render_texture_pyramid_workspace,
                                               dtype_code(grad_pyramid, "grad_pyramid"),
                                               texture_height, texture_width, channel_count));
  const auto clamp = [](std::int64_t v) { return v < 0 ? 0 : v; };
  Tensor grad_texture =
      new_empty(grad_pyramid, {clamp(texture_height), clamp(texture_width), clamp(channel_count)});
  call.check(vrel_render_texture_pyramid_backward(
      call.in(level_offsets, "level_offsets"), texture_height, texture_width, channel_count,
      call.in(grad_pyramid, "grad_pyramid"), call.context(), call.out(grad_texture, "grad_texture"),
      ws.or_null(), call.diag()));
  return grad_texture;
}

Tensor texture(Tensor pyramid, Tensor level_offsets, std::int64_t texture_height,
               std::int64_t texture_width, std::int64_t channel_count, Tensor coordinates,
               Tensor derivatives, Tensor lod, bool has_derivatives, bool has_lod,
               std::int64_t filter, std::int64_t mip_filter, std::int64_t wrap_u,
               std::int64_t wrap_v, Tensor border, bool has_border) {
  Call call(pyramid);
  const std::int64_t N = extent(coordinates, 0);
  Workspace ws =
      make_workspace(pyramid, query_bytes(call, vrel_render_texture_workspace,
                                          dtype_code(pyramid, "pyramid"), N, channel_count));
  Tensor samples = new_empty(pyramid, {N, channel_count < 0 ? 0 : channel_count});
  const VrelTensorView *py = call.in(pyramid, "pyramid"),
                       *levels = call.in(level_offsets, "level_offsets");
  const VrelTensorView *uv = call.in(coordinates, "coordinates");
  const VrelTensorView *du = call.in_if(derivatives, has_derivatives, "derivatives");
  const VrelTensorView *l = call.in_if(lod, has_lod, "lod"),
                       *b = call.in_if(border, has_border, "border");
  VrelTensorView *out = call.out(samples, "samples");
  // Samples are independent: one range of them per thread (the operation uses no workspace).
  const std::int64_t n = split::parts_for(pyramid, N, 16384);
  if (n > 1 && ws.or_null() == nullptr && split::cuttable(uv, N) && split::cuttable(out, N) &&
      (du == nullptr || split::cuttable(du, N)) && (l == nullptr || split::cuttable(l, N))) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, N), end = split::first_row(k + 1, n, N);
      split::Part &part = parts[k];
      part.rows(uv, begin, end);
      part.rows(out, begin, end);
      part.rows(du != nullptr ? du : uv, begin, end);
      part.rows(l != nullptr ? l : uv, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t) {
          const auto &w = part.views;
          return vrel_render_texture(
              py, levels, texture_height, texture_width, &w[0], du != nullptr ? &w[2] : nullptr,
              l != nullptr ? &w[3] : nullptr, as_u32(filter), as_u32(mip_filter), as_u32(wrap_u),
              as_u32(wrap_v), b, call.context(), &w[1], nullptr, &part.diag);
        }))
      return samples;
  }
  call.check(vrel_render_texture(py, levels, texture_height, texture_width, uv, du, l,
                                 as_u32(filter), as_u32(mip_filter), as_u32(wrap_u), as_u32(wrap_v),
                                 b, call.context(), out, ws.or_null(), call.diag()));
  return samples;
}

std::tuple<Tensor, Tensor> texture_backward(Tensor pyramid, Tensor level_offsets,
                                            std::int64_t texture_height, std::int64_t texture_width,
                                            Tensor coordinates, Tensor derivatives, Tensor lod,
                                            bool has_derivatives, bool has_lod, std::int64_t filter,
                                            std::int64_t mip_filter, std::int64_t wrap_u,
                                            std::int64_t wrap_v, Tensor border, bool has_border,
                                            Tensor grad_samples) {
  CudaContextScope scope;
  scope.enter(scope_tensor(pyramid));
  std::tuple<Tensor, Tensor> result = [&] {
    Call call(pyramid);
    // The inputs are borrowed first, in argument order: a tensor that is not dense (an expanded
    // pyramid has more elements than bytes) is refused before gradients of its size exist.
    const VrelTensorView *pyramid_view = call.in(pyramid, "pyramid");
    const VrelTensorView *offsets_view = call.in(level_offsets, "level_offsets");
    const VrelTensorView *coordinates_view = call.in(coordinates, "coordinates");
    const VrelTensorView *derivatives_view =
        call.in_if(derivatives, has_derivatives, "derivatives");
    const VrelTensorView *lod_view = call.in_if(lod, has_lod, "lod");
    const VrelTensorView *border_view = call.in_if(border, has_border, "border");
    const VrelTensorView *grad_samples_view = call.in(grad_samples, "grad_samples");
    const std::int64_t N = extent(coordinates, 0);
    const std::int64_t C = dim_of(grad_samples) == 2 ? extent(grad_samples, 1) : 0;
    Workspace ws = make_workspace(pyramid, query_bytes(call, vrel_render_texture_workspace,
                                                       dtype_code(pyramid, "pyramid"), N, C));
    // The core clears and fills the first level_offsets[L] elements; a pyramid longer than its
    // table keeps a tail that no level reads, whose gradient is zero.
    Tensor grad_pyramid = new_empty(pyramid, sizes_of(pyramid));
    zero_(grad_pyramid);
    Tensor grad_coordinates = new_empty(pyramid, sizes_of(coordinates));
    call.check(vrel_render_texture_backward(
        pyramid_view, offsets_view, texture_height, texture_width, coordinates_view,
        derivatives_view, lod_view, as_u32(filter), as_u32(mip_filter), as_u32(wrap_u),
        as_u32(wrap_v), border_view, grad_samples_view, call.context(),
        call.out(grad_pyramid, "grad_pyramid"), call.out(grad_coordinates, "grad_coordinates"),
        ws.or_null(), call.diag()));
    return std::tuple<Tensor, Tensor>{grad_pyramid, grad_coordinates};
  }();
  if (const char *message = scope.leave()) internal_error(message);
  return result;
}

}  // namespace

std::span<const KernelBinding> texture_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(texture_pyramid),
      VREL_BIND(texture_pyramid_backward),
      VREL_BIND(texture),
      VREL_BIND(texture_backward),
  };
  return bindings;
}

}  // namespace vrel::adapter
