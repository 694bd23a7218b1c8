#include "shading/utility_checks.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kDevice = "curve device unsupported";
constexpr const char* kTensor = "curve tensor dtype/rank/device/flags invalid";
constexpr const char* kShape = "curve tensor shape invalid";
constexpr const char* kNoScratch = "curve requires caller scratch";
constexpr const char* kScratchDevice = "curve scratch device/alignment invalid";
constexpr const char* kScratchSmall = "curve scratch too small";
constexpr const char* kScratchAlias = "curve scratch aliases tensor";
constexpr const char* kOutputAlias = "curve output aliases tensor";

}  // namespace

VrelStatus UtilityChecks::begin(const VrelExecutionContext* context) noexcept {
  VREL_TRY(abi::diag_reset(diag_));
  VREL_TRY(vrel_validate_execution_context(context, diag_));
  context_ = context;
  if (context->device_type != VREL_DEVICE_CPU && context->device_type != VREL_DEVICE_CUDA)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kDevice);
  return VREL_STATUS_OK;
}

VrelStatus UtilityChecks::validate(Views views) const noexcept {
  for (const VrelTensorView* view : views) VREL_TRY(vrel_validate_tensor_view(view, diag_));
  return VREL_STATUS_OK;
}

VrelStatus UtilityChecks::workspace_rule(const Utility& utility, bool counts_valid, uint64_t* bytes,
                                         uint64_t* alignment) const noexcept {
  if (!counts_valid || bytes == nullptr || alignment == nullptr)
    return fail(VREL_STATUS_INVALID_ARGUMENT, utility.count_message);
  if (cuda() && !utility.provided()) return fail(VREL_STATUS_UNSUPPORTED, utility.provider_message);
  *bytes = kUtilityScratch;
  *alignment = 8;
  return VREL_STATUS_OK;
}

VrelStatus UtilityChecks::tensor(const VrelTensorView* view, Dims dims,
                                 bool is_output) const noexcept {
  if (view->dtype != VREL_DTYPE_FLOAT64 || view->rank != dims.size() ||
      view->device_type != context_->device_type || view->device_index != context_->device_index ||
      ((view->flags & VREL_TENSOR_OUTPUT) != 0) != is_output)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kTensor);
  uint32_t i = 0;
  for (const int64_t extent : dims)
    if (view->shape[i++] != extent) return fail(VREL_STATUS_INVALID_ARGUMENT, kShape);
  return VREL_STATUS_OK;
}

VrelStatus UtilityChecks::scratch(const VrelBufferDescriptor* workspace, Views views,
                                  std::size_t outputs) const noexcept {
  if (workspace == nullptr) return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kNoScratch);
  VREL_TRY(vrel_validate_buffer(workspace, diag_));
  if (workspace->device_type != context_->device_type ||
      workspace->device_index != context_->device_index || workspace->alignment < 8 ||
      reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchDevice);
  if (workspace->capacity < kUtilityScratch)
    return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kScratchSmall);
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), kUtilityScratch};
  for (const VrelTensorView* view : views)
    if (span.overlaps(abi::byte_range(*view)))
      return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchAlias);
  // Pairs with at least one output: each output against every other view.
  const std::size_t first_output = views.size() - outputs;
  std::size_t i = 0;
  for (const VrelTensorView* a : views) {
    std::size_t j = 0;
    for (const VrelTensorView* b : views) {
      if (j > i && (i >= first_output || j >= first_output) &&
          abi::byte_range(*a).overlaps(abi::byte_range(*b)))
        return fail(VREL_STATUS_INVALID_ARGUMENT, kOutputAlias);
      ++j;
    }
    ++i;
  }
  return VREL_STATUS_OK;
}

}  // namespace vrel::shading
