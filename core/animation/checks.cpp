#include "animation/checks.hpp"

#include <cmath>

#include "abi/frame.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kNotCpu = "animation CPU slice does not support this device";
constexpr const char* kWorkspaceDevice = "animation workspace must match the execution device";
constexpr const char* kWrongRank = "animation tensor has wrong rank";
constexpr const char* kWrongShape = "animation tensor has wrong shape";
constexpr const char* kCpuDevice = "animation tensors must match CPU execution device";
constexpr const char* kDtypeMismatch = "animation tensor dtype mismatch";
constexpr const char* kFlags = "animation input/output flags are invalid";
constexpr const char* kNotFinite = "animation floating inputs must be finite";
constexpr const char* kOutputAliasesInput = "animation output aliases an input";
constexpr const char* kOutputsOverlap = "animation outputs overlap";
constexpr const char* kWorkspaceOutput = "animation workspace overlaps output";
constexpr const char* kWorkspaceInput = "animation workspace overlaps input";
constexpr const char* kNoGradient = "at least one animation gradient is required";
constexpr const char* kNotRepresentable = "animation arithmetic is not representable";

constexpr const char* kCudaRankDtypeDevice = "animation tensor rank, dtype or device mismatch";
constexpr const char* kCudaShape = "animation tensor shape mismatch";
constexpr const char* kCudaFlags = "animation tensor access flags invalid";
constexpr const char* kCudaNoGradient = "at least one animation gradient required";
constexpr const char* kScratchDevice = "animation scratch device mismatch";
constexpr const char* kScratchSmall = "animation CUDA scratch too small";
constexpr const char* kScratchAlignment = "animation CUDA scratch misaligned";

constexpr const char* kQueryInvalid = "animation workspace counts/results invalid";
constexpr const char* kQueryNullBytes = "FK workspace size pointer is null";
constexpr const char* kQueryDtype = "animation supports float32 and float64";
constexpr const char* kQueryScratchOverflow = "CUDA skeleton scratch overflow";

using vrel::frame::is_floating;

// The family's device rules differ from the frame's (status 1, the context's device index), so
// the frame serves for the reset, the sentences and the validators only.
constexpr frame::Family kFamily{kNotCpu, kCpuDevice, kWorkspaceDevice};

template <typename T>
bool all_finite(const VrelTensorView& view) noexcept {
  const uint64_t n = abi::element_count(view);
  if (n == 0) return true;
  const T* p = abi::data_of<T>(view);
  for (uint64_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

bool finite(const VrelTensorView& view) noexcept {
  if (view.dtype == VREL_DTYPE_FLOAT32) return all_finite<float>(view);
  if (view.dtype == VREL_DTYPE_FLOAT64) return all_finite<double>(view);
  return true;
}

bool extents_match(const VrelTensorView& view, const Shape& shape) noexcept {
  return frame::extents_match(view, shape.extent, shape.rank);
}

}  // namespace

Checks::Checks(VrelDiagnostic* diag) noexcept : f_(diag, kFamily) {}

VrelStatus Checks::begin(const VrelExecutionContext* context) noexcept {
  VREL_TRY(f_.reset());
  VREL_TRY(vrel_validate_execution_context(context, f_.diag()));
  context_ = context;
  if (context->device_type != VREL_DEVICE_CPU && context->device_type != VREL_DEVICE_CUDA)
    return fail(VREL_STATUS_UNSUPPORTED, kNotCpu);
  return VREL_STATUS_OK;
}

// A malformed descriptor and one on another device are one rule with one sentence: the buffer is
// validated without a Diagnostic, so only the family's sentence reaches the caller.
VrelStatus Checks::cpu_workspace(const VrelBufferDescriptor* workspace) const noexcept {
  if (workspace == nullptr) return VREL_STATUS_OK;
  if (vrel_validate_buffer(workspace, nullptr) != VREL_STATUS_OK ||
      workspace->device_type != context_->device_type ||
      workspace->device_index != context_->device_index)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kWorkspaceDevice);
  return VREL_STATUS_OK;
}

VrelStatus Checks::header(const VrelTensorView* view) const noexcept {
  return view == nullptr
             ? VREL_STATUS_OK
             : abi::check_header(view, view->struct_size, view->abi_version, abi::kTensorViewSize,
                                 "tensor view pointer is null", diag());
}

VrelStatus Checks::floating(const VrelTensorView* view, const char* cpu_message,
                            const char* cuda_message) noexcept {
  if (view == nullptr) return f_.validate(view);
  VREL_TRY(header(view));
  if (!is_floating(view->dtype))
    return fail(VREL_STATUS_INVALID_ARGUMENT, cuda() ? cuda_message : cpu_message);
  dtype_ = view->dtype;
  return VREL_STATUS_OK;
}

VrelStatus Checks::tensor(const VrelTensorView* view, const Shape& shape, uint32_t dtype,
                          bool is_output, const char* null_message) const noexcept {
  if (view == nullptr) {
    if (null_message != nullptr) return fail(VREL_STATUS_INVALID_ARGUMENT, null_message);
    return f_.validate(view);
  }
  VREL_TRY(header(view));
  const bool flag_ok = ((view->flags & VREL_TENSOR_OUTPUT) != 0) == is_output;
  if (cuda()) {
    VREL_TRY(f_.validate(view));
    if (view->rank != shape.rank || view->dtype != dtype || view->device_type != VREL_DEVICE_CUDA ||
        view->device_index != context_->device_index)
      return fail(VREL_STATUS_INVALID_ARGUMENT, kCudaRankDtypeDevice);
    if (!extents_match(*view, shape)) return fail(VREL_STATUS_INVALID_ARGUMENT, kCudaShape);
    if (!flag_ok) return fail(VREL_STATUS_INVALID_ARGUMENT, kCudaFlags);
    return VREL_STATUS_OK;
  }
  if (view->rank != shape.rank) return fail(VREL_STATUS_INVALID_ARGUMENT, kWrongRank);
  if (!extents_match(*view, shape)) return fail(VREL_STATUS_INVALID_ARGUMENT, kWrongShape);
  VREL_TRY(f_.validate(view));
  if (view->device_type != VREL_DEVICE_CPU || view->device_index != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kCpuDevice);
  if (view->dtype != dtype) return fail(VREL_STATUS_INVALID_ARGUMENT, kDtypeMismatch);
  if (!flag_ok) return fail(VREL_STATUS_INVALID_ARGUMENT, kFlags);
  if (!is_output && !finite(*view)) return fail(VREL_STATUS_INVALID_ARGUMENT, kNotFinite);
  return VREL_STATUS_OK;
}

VrelStatus Checks::input(const VrelTensorView* view, const Shape& shape, uint32_t dtype,
                         const char* null_message) const noexcept {
  return tensor(view, shape, dtype, false, null_message);
}

VrelStatus Checks::output(const VrelTensorView* view, const Shape& shape) const noexcept {
  return tensor(view, shape, dtype_, true, nullptr);
}

VrelStatus Checks::any_gradient(Views gradients) const noexcept {
  for (const VrelTensorView* g : gradients)
    if (g != nullptr) return VREL_STATUS_OK;
  return fail(VREL_STATUS_INVALID_ARGUMENT, cuda() ? kCudaNoGradient : kNoGradient);
}

VrelStatus Checks::no_alias(Views outputs, Views inputs, const VrelBufferDescriptor* workspace,
                            uint64_t required) const noexcept {
  for (const VrelTensorView* out : outputs)
    if (out != nullptr && frame::overlaps(abi::byte_range(*out), inputs))
      return fail(VREL_STATUS_INVALID_ARGUMENT, kOutputAliasesInput);
  if (frame::mutually_overlap(outputs)) return fail(VREL_STATUS_INVALID_ARGUMENT, kOutputsOverlap);
  if (workspace == nullptr || required == 0) return VREL_STATUS_OK;
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), required};
  if (frame::overlaps(span, outputs)) return fail(VREL_STATUS_INVALID_ARGUMENT, kWorkspaceOutput);
  if (frame::overlaps(span, inputs)) return fail(VREL_STATUS_INVALID_ARGUMENT, kWorkspaceInput);
  return VREL_STATUS_OK;
}

VrelStatus Checks::cuda_scratch(const Query& query, const Counts& counts,
                                const VrelBufferDescriptor* workspace) const noexcept {
  uint64_t bytes = 0;
  uint64_t alignment = 1;
  VREL_TRY(run_query(query, counts, dtype_, context_, &bytes, &alignment, f_.diag()));
  if (alignment == 0) alignment = 1;
  if (workspace == nullptr) {
    return bytes == 0 ? VREL_STATUS_OK : fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kScratchSmall);
  }
  VREL_TRY(f_.given_workspace(workspace));
  if (workspace->device_type != VREL_DEVICE_CUDA ||
      workspace->device_index != context_->device_index)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchDevice);
  if (workspace->capacity < bytes) return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kScratchSmall);
  if (workspace->alignment < alignment ||
      reinterpret_cast<uintptr_t>(workspace->data) % alignment != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, kScratchAlignment);
  return VREL_STATUS_OK;
}

VrelStatus Checks::finite_outputs(Views outputs) const noexcept {
  for (const VrelTensorView* out : outputs)
    if (out != nullptr && !finite(*out)) return fail(VREL_STATUS_OVERFLOW, kNotRepresentable);
  return VREL_STATUS_OK;
}

bool deformation_counts_overflow(const Counts& counts) noexcept {
  constexpr int64_t kCountLimit = 2147483647;
  constexpr int64_t kRowLimit = 3074457345618258602;  // (2^63 - 1) / 3
  for (uint32_t i = 0; i < counts.number; ++i)
    if (counts.value[i] > kCountLimit) return true;
  const int64_t b = counts.value[0], v = counts.value[1], k = counts.value[2];
  if (v > 0 && (b > kRowLimit / v || k > kRowLimit / v)) return true;
  if (k > 0 && b > INT64_MAX / k) return true;
  return false;
}

VrelStatus run_query(const Query& query, const Counts& counts, uint32_t dtype,
                     const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                     VrelDiagnostic* diag) noexcept {
  VREL_TRY(abi::diag_reset(diag));
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type == VREL_DEVICE_CUDA) {
    // The host rules first, on a CPU copy of the context; then the provider's answer.
    VrelExecutionContext host = *context;
    host.device_type = VREL_DEVICE_CPU;
    host.device_index = 0;
    host.stream = 0;
    VREL_TRY(run_query(query, counts, dtype, &host, bytes, alignment, diag));
    if (*bytes > UINT64_MAX - 8)
      return abi::diag_write(diag, VREL_STATUS_OVERFLOW, kQueryScratchOverflow);
    uint64_t provider_counts[4] = {1, 0, 0, 0};
    const uint32_t first = query.leading_one ? 1 : 0;
    for (uint32_t i = 0; i < counts.number; ++i)
      provider_counts[first + i] = static_cast<uint64_t>(counts.value[i]);
    return frame::forward_query(query.operation_id, provider_counts, first + counts.number, dtype,
                                context, bytes, alignment, diag, query.missing);
  }
  if (context->device_type != VREL_DEVICE_CPU)
    return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, kNotCpu);
  if (query.separate_null_bytes && bytes == nullptr)
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryNullBytes);
  if (bytes == nullptr || alignment == nullptr)
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryInvalid);
  for (uint32_t i = 0; i < counts.number; ++i)
    if (counts.value[i] < 0)
      return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryInvalid);
  if (!is_floating(dtype)) return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, kQueryDtype);
  uint64_t b = 0, a = 1;
  VREL_TRY(query.cpu_answer(counts, dtype, &b, &a, diag));
  *bytes = b;
  *alignment = a;
  return VREL_STATUS_OK;
}

}  // namespace vrel::animation
