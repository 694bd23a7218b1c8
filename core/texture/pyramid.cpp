// Exports of the packed mip pyramid: forward, backward and workspace query.
#include "abi/frame.hpp"
#include "texture/checks.hpp"
#include "texture/pyramid_kernel.hpp"

using namespace vrel;
using namespace vrel::texture;
using frame::kAny;

namespace {

constexpr const char* kCpuOnly =
    "render.texture_pyramid implements only the CPU backend in this phase";
constexpr const char* kDtypes = "render.texture_pyramid supports the float32 and float64 dtypes";
constexpr const char* kExtents = "texture extents and channel count must be positive";
const frame::Family kFamily{kCpuOnly, kCpuOnly, kCpuOnly};

template <typename T>
void run_forward(const VrelTensorView* texture, int64_t levels, const VrelTensorView* pyramid,
                 const int32_t* offsets) noexcept {
  build_pyramid(abi::data_of<T>(*texture), texture->shape[0], texture->shape[1], texture->shape[2],
                levels, offsets, abi::mutable_data_of<T>(*pyramid));
}

template <typename T>
void run_backward(const VrelTensorView* offsets, const VrelTensorView* grad_pyramid, int64_t h,
                  int64_t w, int64_t c, const VrelTensorView* grad_texture) noexcept {
  pyramid_backward(abi::data_of<T>(*grad_pyramid), abi::data_of<int32_t>(*offsets),
                   level_count(offsets), h, w, c, abi::mutable_data_of<T>(*grad_texture));
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_texture_pyramid(
    const VrelTensorView* texture, int64_t levels, const VrelExecutionContext* ctx,
    const VrelTensorView* pyramid, const VrelTensorView* level_offsets,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(ctx))
    return frame::forward_entry<&frame::Table::texture_pyramid>(frame::kNotImplemented, true, diag,
                                                                texture, levels, ctx, pyramid,
                                                                level_offsets, workspace, diag);
  const frame::Frame f{diag, kFamily};
  VREL_TRY(f.reset());
  VREL_TRY(f.shape(texture, {kAny, kAny, kAny}, "texture must be an [H,W,C] view"));
  VREL_TRY(f.validate(texture));
  VREL_TRY(f.dtype_in(texture, frame::kFloating, kDtypes));
  VREL_TRY(f.context(ctx));
  VREL_TRY(cpu_input(f, texture));
  VREL_TRY(f.given_workspace(workspace));

  const int64_t h = texture->shape[0], w = texture->shape[1], c = texture->shape[2];
  if (h < 1 || w < 1 || c < 1) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kExtents);
  if (levels < 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "level count must be nonnegative; zero requests the full chain");
  const int64_t full = full_chain(h, w);
  if (levels > full) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kLevelCountTooLarge);
  const int64_t count = levels == 0 ? full : levels;

  VREL_TRY(f.shape(pyramid, {kAny}, "pyramid must be a rank-1 output view"));
  VREL_TRY(f.shape(level_offsets, {count + 1}, "level offsets must be an [L+1] output view"));
  VREL_TRY(f.validate(pyramid));
  VREL_TRY(f.validate(level_offsets));
  VREL_TRY(f.dtype_is(pyramid, texture->dtype, "pyramid must match the texture dtype"));
  VREL_TRY(f.dtype_is(level_offsets, VREL_DTYPE_INT32, kOffsetsInt32));
  VREL_TRY(f.is_output(pyramid));
  VREL_TRY(f.is_output(level_offsets));
  VREL_TRY(f.on_cpu(pyramid));
  VREL_TRY(f.on_cpu(level_offsets));
  VREL_TRY(f.no_alias({pyramid, level_offsets}, {texture}));

  // The table is written level by level; a failure here leaves the entries written so far, which
  // tell the caller how far the chain got.
  int32_t* offsets = abi::mutable_data_of<int32_t>(*level_offsets);
  offsets[0] = 0;
  int64_t total = 0, lh = h, lw = w;
  for (int64_t k = 0; k < count; ++k) {
    const uint64_t size =
        static_cast<uint64_t>(lh) * static_cast<uint64_t>(lw) * static_cast<uint64_t>(c);
    if (size > static_cast<uint64_t>(kMaxPyramidElements - total))
      return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                    "pyramid element count exceeds the int32 offset range");
    total += static_cast<int64_t>(size);
    offsets[k + 1] = static_cast<int32_t>(total);
    lh = halve(lh);
    lw = halve(lw);
  }
  if (pyramid->shape[0] < total)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "pyramid view is smaller than the level chain requires");

  frame::with_floating(texture->dtype,
                       [&](auto t) { run_forward<decltype(t)>(texture, count, pyramid, offsets); });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_render_texture_pyramid_backward(
    const VrelTensorView* level_offsets, int64_t texture_height, int64_t texture_width,
    int64_t channel_count, const VrelTensorView* grad_pyramid, const VrelExecutionContext* ctx,
    const VrelTensorView* grad_texture, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(ctx))
    return frame::forward_entry<&frame::Table::texture_pyramid_backward>(
        frame::kNotImplemented, true, diag, level_offsets, texture_height, texture_width,
        channel_count, grad_pyramid, ctx, grad_texture, workspace, diag);
  const frame::Frame f{diag, kFamily};
  VREL_TRY(f.reset());
  VREL_TRY(level_table_shape(f, level_offsets));
  VREL_TRY(f.validate(level_offsets));
  VREL_TRY(f.dtype_is(level_offsets, VREL_DTYPE_INT32, kOffsetsInt32));
  VREL_TRY(f.shape(grad_pyramid, {kAny}, "pyramid gradient must be a rank-1 view"));
  VREL_TRY(f.validate(grad_pyramid));
  VREL_TRY(f.dtype_in(grad_pyramid, frame::kFloating, kDtypes));
  VREL_TRY(f.context(ctx));
  VREL_TRY(cpu_input(f, level_offsets));
  VREL_TRY(cpu_input(f, grad_pyramid));
  VREL_TRY(f.given_workspace(workspace));

  const int64_t h = texture_height, w = texture_width, c = channel_count;
  if (h < 1 || w < 1 || c < 1) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kExtents);
  VREL_TRY(f.shape(grad_texture, {h, w, c}, "texture gradient must be an [H,W,C] output view"));
  VREL_TRY(f.validate(grad_texture));
  VREL_TRY(f.dtype_is(grad_texture, grad_pyramid->dtype,
                      "texture gradient must match the pyramid gradient dtype"));
  VREL_TRY(f.is_output(grad_texture));
  VREL_TRY(f.on_cpu(grad_texture));
  VREL_TRY(f.no_alias({grad_texture}, {grad_pyramid, level_offsets}));
  VREL_TRY(level_chain(f, level_offsets, h, w, c));
  const int32_t total = abi::data_of<int32_t>(*level_offsets)[level_count(level_offsets)];
  if (grad_pyramid->shape[0] < total)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "pyramid gradient is smaller than the level offsets describe");

  frame::with_floating(grad_pyramid->dtype, [&](auto t) {
    run_backward<decltype(t)>(level_offsets, grad_pyramid, h, w, c, grad_texture);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_render_texture_pyramid_workspace(
    int64_t texture_height, int64_t texture_width, int64_t channel_count, uint32_t dtype,
    const VrelExecutionContext* ctx, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kFamily};
  VREL_TRY(f.reset());
  VREL_TRY(frame::query_checks(f,
                               {{texture_height >= 0 && texture_width >= 0 && channel_count >= 0,
                                 "texture extents and channel count must be nonnegative"}},
                               dtype, kDtypes, ctx, bytes, alignment));
  if (ctx->device_type != VREL_DEVICE_CPU)
    return f.fail(VREL_STATUS_UNSUPPORTED,
                  "render.texture_pyramid workspace queries are answered for the CPU; the CUDA "
                  "path requires none");
  return frame::store_query(bytes, alignment, 0, 1);
}
