// Kernels of the image family: Gaussian weights and the sRGB transfer with their backward
// operators. They check their scalar arguments and sigma's rank first, run inside the CUDA
// context scope, and pass the workspace descriptor even when its byte count is 0.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

constexpr const char *kRadius = "Gaussian radius outside [0,32]";
constexpr const char *kSigmaRank = "Gaussian sigma must be scalar or rank one";
constexpr const char *kMode = "unknown image transfer mode";

// The radius is compared as unsigned, so a negative one fails too.
void check_gaussian(const Tensor &sigma, std::int64_t radius) {
  if (static_cast<std::uint64_t>(radius) > 32) internal_error(kRadius);
  if (dim_of(sigma) > 1) internal_error(kSigmaRank);
}

void check_mode(std::int64_t transfer) {
  if (static_cast<std::uint64_t>(transfer) > 1) internal_error(kMode);
}

std::uint64_t gaussian_bytes(Call &call, const Tensor &sigma, std::int64_t radius) {
  std::uint64_t bytes = 0, alignment = 0;
  call.check(vrel_image_gaussian_weights_workspace(
      numel_of(sigma), dtype_code(sigma), radius, call.context(), &bytes, &alignment, call.diag()));
  return bytes;
}

std::uint64_t transfer_bytes(Call &call, const Tensor &input) {
  return query_bytes(call, vrel_image_transfer_workspace, dtype_code(input), numel_of(input));
}

Tensor image_gaussian_weights(Tensor sigma, std::int64_t radius) {
  check_gaussian(sigma, radius);
  return scoped(sigma, [&] {
    Call call(sigma);
    Workspace ws = make_workspace(sigma, gaussian_bytes(call, sigma, radius));
    std::vector<std::int64_t> sizes = sizes_of(sigma);
    sizes.push_back(2 * radius + 1);  // [] becomes [n], [N] becomes [N, n]
    Tensor weights = new_empty(sigma, sizes);
    const VrelTensorView *s = call.in(sigma);
    call.check(vrel_image_gaussian_weights(s, radius, call.context(), call.out(weights), ws.get(),
                                           call.diag()));
    return weights;
  });
}

Tensor image_gaussian_weights_backward(Tensor sigma, Tensor grad_weights, std::int64_t radius) {
  check_gaussian(sigma, radius);
  return scoped(sigma, [&] {
    Call call(sigma);
    Workspace ws = make_workspace(sigma, gaussian_bytes(call, sigma, radius));
    Tensor grad_sigma = new_empty(sigma, sizes_of(sigma));
    const VrelTensorView *s = call.in(sigma);
    VrelTensorView *out = call.out(grad_sigma);
    call.check(vrel_image_gaussian_weights_backward(s, call.in(grad_weights), radius,
                                                    call.context(), out, ws.get(), call.diag()));
    return grad_sigma;
  });
}

Tensor image_transfer(Tensor input, std::int64_t transfer) {
  check_mode(transfer);
  return scoped(input, [&] {
    Call call(input);
    Workspace ws = make_workspace(input, transfer_bytes(call, input));
    Tensor output = new_empty(input, sizes_of(input));
    call.check(vrel_image_transfer(call.in(input), as_u32(transfer), call.context(),
                                   call.out(output), ws.get(), call.diag()));
    return output;
  });
}

Tensor image_transfer_backward(Tensor input, Tensor grad_output, std::int64_t transfer) {
  check_mode(transfer);
  return scoped(input, [&] {
    Call call(input);
    Workspace ws = make_workspace(input, transfer_bytes(call, input));
    Tensor grad_input = new_empty(input, sizes_of(input));
    const VrelTensorView *x = call.in(input);
    VrelTensorView *out = call.out(grad_input);
    call.check(vrel_image_transfer_backward(x, call.in(grad_output), as_u32(transfer),
                                            call.context(), out, ws.get(), call.diag()));
    return grad_input;
  });
}

}  // namespace

std::span<const KernelBinding> image_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(image_gaussian_weights),
      VREL_BIND(image_gaussian_weights_backward),
      VREL_BIND(image_transfer),
      VREL_BIND(image_transfer_backward),
  };
  return bindings;
}

}  // namespace vrel::adapter
