// Exports of texture sampling: forward, backward and workspace query.
#include <type_traits>

#include "abi/frame.hpp"
#include "texture/checks.hpp"
#include "texture/sample_fast_kernel.hpp"
#include "texture/sample_kernel.hpp"

using namespace vrel;
using namespace vrel::texture;
using frame::kAny;

namespace {

constexpr const char* kCpuOnly = "render.texture implements only the CPU backend in this phase";
constexpr const char* kDtypes = "render.texture supports the float32 and float64 dtypes";
constexpr const char* kChannels = "channel count must be positive and within the supported bound";
constexpr const char* kBorderChannels = "border must carry one value per channel";
const frame::Family kFamily{kCpuOnly, kCpuOnly, kCpuOnly};

bool declared(uint32_t filter, uint32_t mip_filter, uint32_t wrap_u, uint32_t wrap_v) noexcept {
  const auto in = [](uint32_t value, uint32_t last) { return value >= 1 && value <= last; };
  return in(filter, 2) && in(mip_filter, 2) && in(wrap_u, 4) && in(wrap_v, 4);
}

// The operands both compute exports take, in argument order.
struct Operands {
  const VrelTensorView* pyramid;
  const VrelTensorView* level_offsets;
  int64_t height;
  int64_t width;
  const VrelTensorView* coordinates;
  const VrelTensorView* derivatives;
  const VrelTensorView* lod;
  uint32_t filter;
  uint32_t mip_filter;
  uint32_t wrap_u;
  uint32_t wrap_v;
  const VrelTensorView* border;
};

// The checks the forward and the backward share, up to the context and the workspace.
VrelStatus shared_checks(const frame::Frame& f, const Operands& a, const VrelExecutionContext* ctx,
                         const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(f.shape(a.pyramid, {kAny}, "pyramid must be a rank-1 view"));
  VREL_TRY(f.validate(a.pyramid));
  VREL_TRY(f.dtype_in(a.pyramid, frame::kFloating, kDtypes));
  const uint32_t dtype = a.pyramid->dtype;
  VREL_TRY(level_table_shape(f, a.level_offsets));
  VREL_TRY(f.validate(a.level_offsets));
  VREL_TRY(f.dtype_is(a.level_offsets, VREL_DTYPE_INT32, kOffsetsInt32));
  VREL_TRY(f.shape(a.coordinates, {kAny, 2}, "coordinates must be an [N,2] view"));
  VREL_TRY(f.validate(a.coordinates));
  VREL_TRY(f.dtype_is(a.coordinates, dtype, "coordinates must match the pyramid dtype"));
  const int64_t n = a.coordinates->shape[0];
  if (a.derivatives != nullptr && a.lod != nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "derivatives and lod are mutually exclusive");
  if (a.derivatives != nullptr) {
    VREL_TRY(f.shape(a.derivatives, {n, 4}, "derivatives must be an [N,4] view"));
    VREL_TRY(f.validate(a.derivatives));
    VREL_TRY(f.dtype_is(a.derivatives, dtype, "derivatives must match the pyramid dtype"));
  }
  if (a.lod != nullptr) {
    VREL_TRY(f.shape(a.lod, {n}, "lod must be an [N] view"));
    VREL_TRY(f.validate(a.lod));
    VREL_TRY(f.dtype_is(a.lod, dtype, "lod must match the pyramid dtype"));
  }
  if (!declared(a.filter, a.mip_filter, a.wrap_u, a.wrap_v))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "filter, mip_filter and wrap modes must be declared enum values");
  if (a.border != nullptr) {
    VREL_TRY(f.shape(a.border, {kAny}, "border must be a [C] view"));
    VREL_TRY(f.validate(a.border));
    VREL_TRY(f.dtype_is(a.border, dtype, "border must match the pyramid dtype"));
  } else if (a.wrap_u == kWrapBorder || a.wrap_v == kWrapBorder) {
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "the border wrap mode requires a border value");
  }
  VREL_TRY(f.context(ctx));
  VREL_TRY(cpu_input(f, a.pyramid));
  VREL_TRY(cpu_input(f, a.coordinates));
  // Every view the kernel reads lives on the CPU and is an input, not only the two above.
  VREL_TRY(cpu_input(f, a.level_offsets));
  VREL_TRY(cpu_input(f, a.derivatives));
  VREL_TRY(cpu_input(f, a.lod));
  VREL_TRY(cpu_input(f, a.border));
  return f.given_workspace(workspace);
}

// Level 0 against the texture size and channel count, the rest of the table against the chain,
// and the pyramid against the table's total.
VrelStatus level_checks(const frame::Frame& f, const Operands& a, int64_t channels,
                        const VrelTensorView* storage, const char* storage_message) noexcept {
  if (a.height < 1 || a.width < 1)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "texture extents must be positive");
  const int32_t* offsets = abi::data_of<int32_t>(*a.level_offsets);
  int64_t base = 0;
  if (__builtin_mul_overflow(a.height, a.width, &base) ||
      __builtin_mul_overflow(base, channels, &base) ||
      int64_t{offsets[1]} - int64_t{offsets[0]} != base)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "level offsets disagree with the texture extents and channel count");
  VREL_TRY(level_chain(f, a.level_offsets, a.height, a.width, channels));
  if (storage->shape[0] < offsets[level_count(a.level_offsets)])
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, storage_message);
  return VREL_STATUS_OK;
}

template <typename T>
SampleProblem<T> problem(const Operands& a, int64_t channels) noexcept {
  const auto opt = [](const VrelTensorView* v) { return v ? abi::data_of<T>(*v) : nullptr; };
  return {abi::data_of<T>(*a.pyramid),
          abi::data_of<int32_t>(*a.level_offsets),
          level_count(a.level_offsets),
          a.height,
          a.width,
          channels,
          a.coordinates->shape[0],
          abi::data_of<T>(*a.coordinates),
          opt(a.derivatives),
          opt(a.lod),
          opt(a.border),
          a.filter,
          a.mip_filter,
          a.wrap_u,
          a.wrap_v};
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_texture(
    const VrelTensorView* pyramid, const VrelTensorView* level_offsets, int64_t texture_height,
    int64_t texture_width, const VrelTensorView* coordinates, const VrelTensorView* derivatives,
    const VrelTensorView* lod, uint32_t filter, uint32_t mip_filter, uint32_t wrap_u,
    uint32_t wrap_v, const VrelTensorView* border, const VrelExecutionContext* ctx,
    const VrelTensorView* samples, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(ctx))
    return frame::forward_entry<&frame::Table::texture>(
        frame::kNotImplemented, true, diag, pyramid, level_offsets, texture_height, texture_width,
        coordinates, derivatives, lod, filter, mip_filter, wrap_u, wrap_v, border, ctx, samples,
        workspace, diag);
  const frame::Frame f{diag, kFamily};
  VREL_TRY(f.reset());
  const Operands a{pyramid, level_offsets, texture_height, texture_width, coordinates, derivatives,
                   lod,     filter,        mip_filter,     wrap_u,        wrap_v,      border};
  VREL_TRY(shared_checks(f, a, ctx, workspace));

  const int64_t n = coordinates->shape[0];
  VREL_TRY(f.shape(samples, {n, kAny}, "samples must be an [N,C] output view"));
  VREL_TRY(f.validate(samples));
  const int64_t channels = samples->shape[1];
  if (channels < 1 || channels > kMaxChannels)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kChannels);
  VREL_TRY(f.dtype_is(samples, pyramid->dtype, "samples must match the pyramid dtype"));
  VREL_TRY(f.is_output(samples));
  VREL_TRY(f.on_cpu(samples));
  VREL_TRY(f.no_alias({samples}, {pyramid, level_offsets, coordinates, derivatives, lod, border}));
  if (border != nullptr && border->shape[0] != channels)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kBorderChannels);
  VREL_TRY(
      level_checks(f, a, channels, pyramid, "pyramid is smaller than the level offsets describe"));
  if (n == 0) return VREL_STATUS_OK;

  frame::with_floating(pyramid->dtype, [&](auto t) {
    using T = decltype(t);
    const SampleProblem<T> sp = problem<T>(a, channels);
    T* out = abi::mutable_data_of<T>(*samples);
    if constexpr (std::is_same_v<T, float>) {
      if (fast_path_applies(sp)) return sample_texture_fast(sp, out);
    }
    sample_texture(sp, out);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_render_texture_backward(
    const VrelTensorView* pyramid, const VrelTensorView* level_offsets, int64_t texture_height,
    int64_t texture_width, const VrelTensorView* coordinates, const VrelTensorView* derivatives,
    const VrelTensorView* lod, uint32_t filter, uint32_t mip_filter, uint32_t wrap_u,
    uint32_t wrap_v, const VrelTensorView* border, const VrelTensorView* grad_samples,
    const VrelExecutionContext* ctx, const VrelTensorView* grad_pyramid,
    const VrelTensorView* grad_coordinates, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(ctx))
    return frame::forward_entry<&frame::Table::texture_backward>(
        frame::kNotImplemented, true, diag, pyramid, level_offsets, texture_height, texture_width,
        coordinates, derivatives, lod, filter, mip_filter, wrap_u, wrap_v, border, grad_samples,
        ctx, grad_pyramid, grad_coordinates, workspace, diag);
  const frame::Frame f{diag, kFamily};
  VREL_TRY(f.reset());
  const Operands a{pyramid, level_offsets, texture_height, texture_width, coordinates, derivatives,
                   lod,     filter,        mip_filter,     wrap_u,        wrap_v,      border};
  VREL_TRY(shared_checks(f, a, ctx, workspace));

  const int64_t n = coordinates->shape[0];
  VREL_TRY(f.shape(grad_samples, {n, kAny}, "sample gradient must be an [N,C] view"));
  VREL_TRY(f.validate(grad_samples));
  const int64_t channels = grad_samples->shape[1];
  if (channels < 1 || channels > kMaxChannels)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kChannels);
  VREL_TRY(cpu_input(f, grad_samples));

  constexpr const char* kGradShapes =
      "gradients must be a rank-1 pyramid view and an [N,2] coordinate view";
  VREL_TRY(f.header(grad_pyramid));
  VREL_TRY(f.header(grad_coordinates));
  if (!frame::Frame::has_shape(grad_pyramid, {kAny}) ||
      !frame::Frame::has_shape(grad_coordinates, {n, 2}))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kGradShapes);
  VREL_TRY(f.validate(grad_pyramid));
  VREL_TRY(f.validate(grad_coordinates));
  const uint32_t dtype = pyramid->dtype;
  if (grad_pyramid->dtype != dtype || grad_coordinates->dtype != dtype ||
      grad_samples->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "gradients must match the pyramid dtype");
  VREL_TRY(f.is_output(grad_pyramid));
  VREL_TRY(f.is_output(grad_coordinates));
  VREL_TRY(f.on_cpu(grad_pyramid));
  VREL_TRY(f.on_cpu(grad_coordinates));
  VREL_TRY(f.no_alias({grad_pyramid, grad_coordinates}, {pyramid, level_offsets, coordinates,
                                                         derivatives, lod, border, grad_samples}));
  // The kernel reads the border and the pyramid as the forward does, so they get its checks.
  if (border != nullptr && border->shape[0] != channels)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kBorderChannels);
  VREL_TRY(
      level_checks(f, a, channels, pyramid, "pyramid is smaller than the level offsets describe"));
  if (grad_pyramid->shape[0] < abi::data_of<int32_t>(*level_offsets)[level_count(level_offsets)])
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "pyramid gradient is smaller than the level offsets describe");

  // Even without samples the pyramid gradient is written: it is zero.
  frame::with_floating(dtype, [&](auto t) {
    using T = decltype(t);
    const SampleProblem<T> sp = problem<T>(a, channels);
    const T* g = abi::data_of<T>(*grad_samples);
    T* gp = abi::mutable_data_of<T>(*grad_pyramid);
    T* gc = abi::mutable_data_of<T>(*grad_coordinates);
    if constexpr (std::is_same_v<T, float>) {
      if (fast_path_applies(sp)) return texture_backward_fast(sp, g, gp, gc);
    }
    texture_backward(sp, g, gp, gc);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_render_texture_workspace(
    int64_t sample_count, int64_t channel_count, uint32_t dtype, const VrelExecutionContext* ctx,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{0, kDtypes, frame::Query::kPointersFirst};  // CPU only
  return frame::workspace_query(
      kFamily, kQuery,
      {{sample_count >= 0 && channel_count >= 0, "sample and channel counts must be nonnegative"}},
      dtype, ctx, bytes, alignment, diag);
}
