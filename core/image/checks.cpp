#include "image/checks.hpp"

#include <cmath>

namespace vrel::image {
namespace {

constexpr const char* kDtype = "image channels must be float32 or float64";
constexpr const char* kDeviceMismatch = "image tensor device mismatch";
constexpr const char* kFlags = "image input/output flags invalid";
constexpr const char* kRankDtype = "image tensor rank or dtype mismatch";
constexpr const char* kShape = "image tensor shape mismatch";

template <typename T>
bool all_finite(const VrelTensorView& view) noexcept {
  const uint64_t n = abi::element_count(view);
  if (n == 0) return true;
  const T* p = abi::data_of<T>(view);
  for (uint64_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

}  // namespace

VrelStatus provider_query(const ProviderQuery& query, const uint64_t* counts, uint64_t count_number,
                          uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
                          uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  const provider::OperationTable* table = provider::operations();
  if (table == nullptr)
    return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, frame::kNoWorkspaceProvider);
  const provider::WorkspaceQuery ask = provider::covers(table, query.last_entry)
                                           ? provider::entry<&Table::workspace_query>(table)
                                           : nullptr;
  if (ask == nullptr) return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, query.lacks_family);
  return ask(query.operation_id, counts, count_number, dtype, context, bytes, alignment, diag);
}

VrelStatus context_rule(const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept {
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type != VREL_DEVICE_CPU && context->device_type != VREL_DEVICE_CUDA)
    return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, kDevice);
  return VREL_STATUS_OK;
}

VrelStatus Checks::tensor(const VrelTensorView* view, bool is_output) const noexcept {
  VREL_TRY(vrel_validate_tensor_view(view, diag_));
  if (!frame::is_floating(view->dtype)) return fail(VREL_STATUS_INVALID_ARGUMENT, kDtype);
  if (view->device_type != context_->device_type || view->device_index != context_->device_index)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kDeviceMismatch);
  if (((view->flags & VREL_TENSOR_OUTPUT) != 0) != is_output)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kFlags);
  return VREL_STATUS_OK;
}

VrelStatus Checks::like(const VrelTensorView* view,
                        const VrelTensorView* reference) const noexcept {
  if (view->rank != reference->rank || view->dtype != reference->dtype)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kRankDtype);
  for (uint32_t i = 0; i < view->rank; ++i)
    if (view->shape[i] != reference->shape[i]) return fail(VREL_STATUS_INVALID_ARGUMENT, kShape);
  return VREL_STATUS_OK;
}

VrelStatus Checks::workspace(const VrelBufferDescriptor* workspace, uint64_t bytes,
                             uint64_t alignment, Views tensors,
                             const WorkspaceMessages& messages) const noexcept {
  if (workspace == nullptr) {
    return bytes == 0 ? VREL_STATUS_OK : fail(VREL_STATUS_INSUFFICIENT_CAPACITY, messages.missing);
  }
  VREL_TRY(vrel_validate_buffer(workspace, diag_));
  if (workspace->device_type != context_->device_type ||
      workspace->device_index != context_->device_index)
    return fail(VREL_STATUS_INVALID_ARGUMENT, messages.device);
  if (workspace->capacity < bytes)
    return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, messages.too_small);
  if (alignment == 0) alignment = 1;
  if (workspace->alignment < alignment ||
      reinterpret_cast<uintptr_t>(workspace->data) % alignment != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, messages.alignment);
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), bytes};
  for (const VrelTensorView* t : tensors)
    if (t != nullptr && span.overlaps(abi::byte_range(*t)))
      return fail(VREL_STATUS_INVALID_ARGUMENT, messages.aliases);
  return VREL_STATUS_OK;
}

VrelStatus Checks::no_alias(Views outputs, Views inputs, const char* message) const noexcept {
  for (const VrelTensorView* out : outputs) {
    const abi::ByteRange range = abi::byte_range(*out);
    for (const VrelTensorView* in : inputs)
      if (range.overlaps(abi::byte_range(*in))) return fail(VREL_STATUS_INVALID_ARGUMENT, message);
  }
  return VREL_STATUS_OK;
}

VrelStatus Checks::finite(const VrelTensorView* view) const noexcept {
  const bool ok =
      view->dtype == VREL_DTYPE_FLOAT32 ? all_finite<float>(*view) : all_finite<double>(*view);
  return ok ? VREL_STATUS_OK : fail(VREL_STATUS_INVALID_ARGUMENT, kNotFinite);
}

}  // namespace vrel::image
