// Gaussian weights: the normalised 1-D Gaussian taps of radius r for each sigma, the
// vector-Jacobian product in sigma, and the workspace query.
#include "image/checks.hpp"
#include "image/gaussian_weights_kernel.hpp"

namespace vrel::image {
namespace {

constexpr const char* kRadiusOrGradient = "Gaussian radius or gradient descriptor invalid";
constexpr const char* kSigmaRank = "Gaussian sigma must be scalar or rank one";
constexpr const char* kTapShape = "Gaussian tap tensor shape or dtype mismatch";
constexpr const char* kOutputAliasesInput = "Gaussian output aliases input";
constexpr const char* kSigmaRange = "Gaussian sigma outside represented [.1,32]";
constexpr const char* kProductOverflow = "Gaussian VJP product overflow";
constexpr const char* kSumOverflow = "Gaussian VJP sum overflow";
constexpr const char* kQueryInvalid = "Gaussian workspace batch/radius/results invalid";
constexpr const char* kQueryDtype = "Gaussian requires float32 or float64";
constexpr const char* kTapOverflow = "Gaussian tap count overflow";
constexpr const char* kByteOverflow = "Gaussian byte count overflow";

constexpr WorkspaceMessages kWorkspace{
    "Gaussian workspace device mismatch", "Gaussian workspace too small",
    "Gaussian workspace alignment invalid", "Gaussian workspace aliases tensor storage",
    "Gaussian requires caller-owned workspace"};

constexpr ProviderQuery kProviderQuery{provider::operation::kGaussianWeights,
                                       provider::kEntryOffset<&Table::gaussian_weights_backward>,
                                       "CUDA provider lacks Gaussian weights family"};
constexpr const char* kCudaMissing = "CUDA provider lacks Gaussian weights family";

bool radius_valid(int64_t radius) noexcept { return radius >= 0 && radius <= kMaxRadius; }

VrelStatus query(int64_t count, uint32_t dtype, int64_t radius, const VrelExecutionContext* context,
                 uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  if (count < 0 || !radius_valid(radius) || bytes == nullptr || alignment == nullptr)
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryInvalid);
  if (!frame::is_floating(dtype))
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kQueryDtype);
  const auto taps = static_cast<uint64_t>(2 * radius + 1);
  uint64_t tap_count = 0, total = 0;
  if (!frame::mul_size(static_cast<uint64_t>(count), taps, &tap_count) ||
      tap_count > static_cast<uint64_t>(INT64_MAX))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, kTapOverflow);
  if (!frame::mul_size(tap_count, abi::dtype_size(dtype), &total))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, kByteOverflow);
  if (context->device_type == VREL_DEVICE_CUDA) {
    const uint64_t counts[2] = {static_cast<uint64_t>(count), static_cast<uint64_t>(radius)};
    return provider_query(kProviderQuery, counts, 2, dtype, context, bytes, alignment, diag);
  }
  return frame::store_query(bytes, alignment, 0, 1);
}

// sigma's rules, then a tap tensor (weights or their cotangent) shaped [sigma sizes..., n] with
// sigma's dtype.
VrelStatus sigma_and_taps(const Checks& c, const VrelTensorView* sigma, const VrelTensorView* taps,
                          bool taps_are_output, int64_t radius) noexcept {
  VREL_TRY(c.tensor(sigma, false));
  if (sigma->rank >= 2) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kSigmaRank);
  VREL_TRY(c.tensor(taps, taps_are_output));
  const bool shaped = taps->rank == sigma->rank + 1 && taps->dtype == sigma->dtype &&
                      (sigma->rank == 0 || taps->shape[0] == sigma->shape[0]) &&
                      taps->shape[sigma->rank] == 2 * radius + 1;
  return shaped ? VREL_STATUS_OK : c.fail(VREL_STATUS_INVALID_ARGUMENT, kTapShape);
}

VrelStatus gaussian_workspace(const Checks& c, const VrelTensorView* sigma, int64_t radius,
                              const VrelBufferDescriptor* workspace, Views tensors) noexcept {
  uint64_t bytes = 0, alignment = 1;
  VREL_TRY(query(static_cast<int64_t>(abi::element_count(*sigma)), sigma->dtype, radius,
                 c.context(), &bytes, &alignment, c.diag()));
  return c.workspace(workspace, bytes, alignment, tensors, kWorkspace);
}

// Every sigma finite and within [0.1, 32]; float32 data compare with the float32 nearest 0.1.
template <typename T>
VrelStatus sigma_values(const Checks& c, const VrelTensorView* sigma) noexcept {
  constexpr double kLow = static_cast<double>(static_cast<T>(0.1));
  const T* s = abi::data_of<T>(*sigma);
  const uint64_t count = abi::element_count(*sigma);
  for (uint64_t j = 0; j < count; ++j) {
    const double v = static_cast<double>(s[j]);
    if (!(v >= kLow && v <= 32.0)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kSigmaRange);
  }
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* sigma, int64_t radius,
                       const VrelTensorView* weights) noexcept {
  VREL_TRY(sigma_values<T>(c, sigma));
  gaussian_weights(abi::data_of<T>(*sigma), abi::element_count(*sigma), static_cast<int>(radius),
                   abi::mutable_data_of<T>(*weights));
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* sigma,
                        const VrelTensorView* grad_weights, int64_t radius,
                        const VrelTensorView* grad_sigma) noexcept {
  VREL_TRY(sigma_values<T>(c, sigma));
  VREL_TRY(c.finite(grad_weights));
  switch (gaussian_weights_backward(abi::data_of<T>(*sigma), abi::data_of<T>(*grad_weights),
                                    abi::element_count(*sigma), static_cast<int>(radius),
                                    abi::mutable_data_of<T>(*grad_sigma))) {
    case GaussianFault::kProduct: return c.fail(VREL_STATUS_OVERFLOW, kProductOverflow);
    case GaussianFault::kSum: return c.fail(VREL_STATUS_OVERFLOW, kSumOverflow);
    case GaussianFault::kNone: break;
  }
  return VREL_STATUS_OK;
}

}  // namespace
}  // namespace vrel::image

using namespace vrel::image;
namespace frame = vrel::frame;

extern "C" VREL_API VrelStatus vrel_image_gaussian_weights(
    const VrelTensorView* sigma, int64_t radius, const VrelExecutionContext* context,
    const VrelTensorView* weights, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.reset());
  if (!radius_valid(radius)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRadiusOrGradient);
  VREL_TRY(c.use_context(context));
  VREL_TRY(sigma_and_taps(c, sigma, weights, true, radius));
  VREL_TRY(gaussian_workspace(c, sigma, radius, workspace, {sigma, weights}));
  VREL_TRY(c.no_alias({weights}, {sigma}, kOutputAliasesInput));
  if (c.cuda()) {
    return frame::forward_entry<&Table::gaussian_weights>(kCudaMissing, true, diag, sigma, radius,
                                                          context, weights, workspace, diag);
  }
  return frame::with_floating(
      sigma->dtype, [&](auto t) { return forward_cpu<decltype(t)>(c, sigma, radius, weights); });
}

extern "C" VREL_API VrelStatus vrel_image_gaussian_weights_backward(
    const VrelTensorView* sigma, const VrelTensorView* grad_weights, int64_t radius,
    const VrelExecutionContext* context, const VrelTensorView* grad_sigma,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.reset());
  if (!radius_valid(radius) || grad_weights == nullptr)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRadiusOrGradient);
  VREL_TRY(c.use_context(context));
  VREL_TRY(sigma_and_taps(c, sigma, grad_weights, false, radius));
  VREL_TRY(c.tensor(grad_sigma, true));
  VREL_TRY(c.like(grad_sigma, sigma));
  VREL_TRY(gaussian_workspace(c, sigma, radius, workspace, {sigma, grad_weights, grad_sigma}));
  VREL_TRY(c.no_alias({grad_sigma}, {sigma, grad_weights}, kOutputAliasesInput));
  if (c.cuda()) {
    return frame::forward_entry<&Table::gaussian_weights_backward>(kCudaMissing, true, diag, sigma,
                                                                   grad_weights, radius, context,
                                                                   grad_sigma, workspace, diag);
  }
  return frame::with_floating(sigma->dtype, [&](auto t) {
    return backward_cpu<decltype(t)>(c, sigma, grad_weights, radius, grad_sigma);
  });
}

extern "C" VREL_API VrelStatus vrel_image_gaussian_weights_workspace(
    int64_t sigma_count, uint32_t dtype, int64_t radius, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  VREL_TRY(begin(context, diag));
  return query(sigma_count, dtype, radius, context, bytes, alignment, diag);
}
