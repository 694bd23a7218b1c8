#include "shading/checks.hpp"

#include <cmath>

#include "abi/frame.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kNoScratch = "curve requires caller scratch";
constexpr const char* kScratchPlacement = "curve scratch device/alignment invalid";
constexpr const char* kScratchSmall = "curve scratch too small";
constexpr const char* kScratchAlias = "curve scratch aliases tensor";
constexpr const char* kOutputAlias = "curve output aliases tensor";

}  // namespace

VrelStatus Checks::begin(const VrelExecutionContext* context) noexcept {
  VREL_TRY(abi::diag_reset(diag_));
  VREL_TRY(vrel_validate_execution_context(context, diag_));
  context_ = context;
  if (context->device_type != VREL_DEVICE_CPU && context->device_type != VREL_DEVICE_CUDA)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kDeviceUnsupported);
  return VREL_STATUS_OK;
}

VrelStatus Checks::validate_all(Views views) const noexcept {
  for (const VrelTensorView* view : views) VREL_TRY(validate(view));
  return VREL_STATUS_OK;
}

VrelStatus Checks::tensor(const VrelTensorView* view, Dims dims, bool output, uint32_t dtype,
                          const char* rules, const char* shape) const noexcept {
  VREL_TRY(validate(view));
  const bool flagged = (view->flags & VREL_TENSOR_OUTPUT) != 0;
  if (view->dtype != dtype || view->rank != dims.size() ||
      view->device_type != context_->device_type || view->device_index != context_->device_index ||
      flagged != output)
    return fail(VREL_STATUS_INVALID_ARGUMENT, rules);
  uint32_t i = 0;
  for (const int64_t extent : dims) {
    if (extent != kAny && view->shape[i] != extent)
      return fail(VREL_STATUS_INVALID_ARGUMENT, shape);
    ++i;
  }
  return VREL_STATUS_OK;
}

VrelStatus Checks::scratch(const VrelBufferDescriptor* workspace, uint64_t required, Views inputs,
                           Views outputs) const noexcept {
  if (workspace == nullptr) return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kNoScratch);
  VREL_TRY(vrel_validate_buffer(workspace, diag_));
  if (workspace->device_type != context_->device_type ||
      workspace->device_index != context_->device_index || workspace->alignment < 8 ||
      reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchPlacement);
  if (workspace->capacity < required) return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kScratchSmall);
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), required};
  for (const Views* list : {&inputs, &outputs})
    for (const VrelTensorView* view : *list)
      if (span.overlaps(abi::byte_range(*view)))
        return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchAlias);
  // Each output against every input and every other output.
  for (const VrelTensorView* out : outputs) {
    const abi::ByteRange range = abi::byte_range(*out);
    for (const VrelTensorView* in : inputs)
      if (range.overlaps(abi::byte_range(*in)))
        return fail(VREL_STATUS_INVALID_ARGUMENT, kOutputAlias);
    for (const VrelTensorView* other : outputs)
      if (other != out && range.overlaps(abi::byte_range(*other)))
        return fail(VREL_STATUS_INVALID_ARGUMENT, kOutputAlias);
  }
  return VREL_STATUS_OK;
}

VrelStatus provider_query(uint64_t operation, const uint64_t* counts, uint64_t count_number,
                          const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                          const char* missing, VrelDiagnostic* diag) noexcept {
  return frame::forward_query(operation, counts, count_number, VREL_DTYPE_FLOAT64, context, bytes,
                              alignment, diag, missing);
}

bool all_finite(const VrelTensorView* view) noexcept {
  const uint64_t n = abi::element_count(*view);
  const double* p = doubles(view);
  for (uint64_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

bool axis_in_domain(const double* cn, const double* logs, int64_t nodes) noexcept {
  for (int64_t i = 0; i < nodes; ++i) {
    if (!(cn[i] > 0.0 && cn[i] <= 1.0) || !(logs[i] <= 0.0)) return false;
    if (i > 0 &&
        !(cn[i] > cn[i - 1] && logs[i] > logs[i - 1] && std::isfinite(logs[i] - logs[i - 1])))
      return false;
  }
  return true;
}

bool means_in_domain(const double* mean, const double* width, int64_t rows) noexcept {
  for (int64_t g = 0; g < rows; ++g) {
    const double m0 = mean[g * 4], m1 = mean[g * 4 + 1];
    if (!(width[g] > 0.0) || !(m0 > 0.0 && m0 <= 1.0) || !(m1 > 0.0 && m1 <= m0)) return false;
  }
  return true;
}

bool curve_pairs_in_domain(const double* curve, int64_t values) noexcept {
  for (int64_t k = 0; k + 1 < values; k += 2)
    if (!(curve[k + 1] >= 0.0 && curve[k + 1] <= curve[k] && curve[k] <= 1.0)) return false;
  return true;
}

}  // namespace vrel::shading
