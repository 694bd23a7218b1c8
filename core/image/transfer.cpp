// sRGB transfer: elementwise conversion between the sRGB encoding and linear light, its
// vector-Jacobian product and its workspace query.
#include "image/checks.hpp"
#include "image/transfer_kernel.hpp"

namespace vrel::image {
namespace {

constexpr const char* kUnknownMode = "unknown image transfer mode";
constexpr const char* kNoGradient = "image backward requires gradient descriptor";
constexpr const char* kOutputAliasesInput = "image output aliases input";
constexpr const char* kNotRepresentable = "image transfer arithmetic is not representable";
constexpr const char* kQueryInvalid = "image workspace count/results invalid";
constexpr const char* kQueryDtype = "image transfer requires float32 or float64";
constexpr const char* kQueryOverflow = "image element byte count overflow";

constexpr WorkspaceMessages kWorkspace{
    "image workspace device mismatch", "image workspace too small",
    "image workspace alignment invalid", "image workspace aliases tensor storage",
    "image CUDA requires caller-owned workspace"};

constexpr ProviderQuery kProviderQuery{provider::operation::kImageTransfer,
                                       provider::kEntryOffset<&Table::image_transfer_backward>,
                                       "CUDA provider lacks image transfer family"};

// The query's rules after the context: result pointers and count, dtype, byte count; then the
// answer (CPU: no scratch; CUDA: the provider's).
VrelStatus query(int64_t count, uint32_t dtype, const VrelExecutionContext* context,
                 uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  if (count < 0 || bytes == nullptr || alignment == nullptr)
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryInvalid);
  if (!frame::is_floating(dtype))
    return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, kQueryDtype);
  uint64_t total = 0;
  if (!frame::mul_size(static_cast<uint64_t>(count), abi::dtype_size(dtype), &total))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, kQueryOverflow);
  if (context->device_type == VREL_DEVICE_CUDA) {
    const uint64_t counts[1] = {static_cast<uint64_t>(count)};
    return provider_query(kProviderQuery, counts, 1, dtype, context, bytes, alignment, diag);
  }
  return frame::store_query(bytes, alignment, 0, 1);
}

VrelStatus known_mode(const Checks& c, uint32_t mode) noexcept {
  return mode == kDecode || mode == kEncode ? VREL_STATUS_OK
                                            : c.fail(VREL_STATUS_INVALID_ARGUMENT, kUnknownMode);
}

// The workspace that the query reports for the input's element count, then its rules.
VrelStatus transfer_workspace(const Checks& c, const VrelTensorView* input,
                              const VrelBufferDescriptor* workspace, Views tensors) noexcept {
  uint64_t bytes = 0, alignment = 1;
  VREL_TRY(query(static_cast<int64_t>(abi::element_count(*input)), input->dtype, c.context(),
                 &bytes, &alignment, c.diag()));
  return c.workspace(workspace, bytes, alignment, tensors, kWorkspace);
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* input, uint32_t mode,
                       const VrelTensorView* output) noexcept {
  const uint64_t n = abi::element_count(*input);
  const T* x = abi::data_of<T>(*input);
  T* y = abi::mutable_data_of<T>(*output);
  const uint64_t done = mode == kDecode ? transfer_forward<T, kDecode>(x, n, y)
                                        : transfer_forward<T, kEncode>(x, n, y);
  if (done != n) return c.fail(VREL_STATUS_OVERFLOW, kNotRepresentable);
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* input,
                        const VrelTensorView* grad_output, uint32_t mode,
                        const VrelTensorView* grad_input) noexcept {
  const uint64_t n = abi::element_count(*input);
  const T* x = abi::data_of<T>(*input);
  const T* g = abi::data_of<T>(*grad_output);
  T* gx = abi::mutable_data_of<T>(*grad_input);
  const uint64_t done = mode == kDecode ? transfer_backward<T, kDecode>(x, g, n, gx)
                                        : transfer_backward<T, kEncode>(x, g, n, gx);
  if (done != n) return c.fail(VREL_STATUS_OVERFLOW, kNotRepresentable);
  return VREL_STATUS_OK;
}

}  // namespace
}  // namespace vrel::image

using namespace vrel::image;
namespace frame = vrel::frame;

extern "C" VREL_API VrelStatus vrel_image_transfer(
    const VrelTensorView* input, uint32_t mode, const VrelExecutionContext* context,
    const VrelTensorView* output, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(known_mode(c, mode));
  VREL_TRY(c.tensor(input, false));
  VREL_TRY(c.tensor(output, true));
  VREL_TRY(c.like(output, input));
  VREL_TRY(transfer_workspace(c, input, workspace, {input, output}));
  VREL_TRY(c.no_alias({output}, {input}, kOutputAliasesInput));
  if (c.cuda()) {
    return frame::forward_entry<&Table::image_transfer>("CUDA image transfer unavailable", true,
                                                        diag, input, mode, context, output,
                                                        workspace, diag);
  }
  VREL_TRY(c.finite(input));
  return frame::with_floating(
      input->dtype, [&](auto t) { return forward_cpu<decltype(t)>(c, input, mode, output); });
}

extern "C" VREL_API VrelStatus vrel_image_transfer_backward(
    const VrelTensorView* input, const VrelTensorView* grad_output, uint32_t mode,
    const VrelExecutionContext* context, const VrelTensorView* grad_input,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(known_mode(c, mode));
  VREL_TRY(c.tensor(input, false));
  VREL_TRY(c.tensor(grad_input, true));
  VREL_TRY(c.like(grad_input, input));
  if (grad_output == nullptr) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kNoGradient);
  VREL_TRY(c.tensor(grad_output, false));
  VREL_TRY(c.like(grad_output, input));
  VREL_TRY(transfer_workspace(c, input, workspace, {input, grad_output, grad_input}));
  VREL_TRY(c.no_alias({grad_input}, {input, grad_output}, kOutputAliasesInput));
  if (c.cuda()) {
    return frame::forward_entry<&Table::image_transfer_backward>(
        "CUDA image transfer backward unavailable", true, diag, input, grad_output, mode, context,
        grad_input, workspace, diag);
  }
  VREL_TRY(c.finite(input));
  VREL_TRY(c.finite(grad_output));
  return frame::with_floating(input->dtype, [&](auto t) {
    return backward_cpu<decltype(t)>(c, input, grad_output, mode, grad_input);
  });
}

extern "C" VREL_API VrelStatus vrel_image_transfer_workspace(
    int64_t element_count, uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  VREL_TRY(begin(context, diag));
  return query(element_count, dtype, context, bytes, alignment, diag);
}
