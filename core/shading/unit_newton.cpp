// Unit Newton: the shading family's Newton square root, element by element.
#include "shading/utility_checks.hpp"
#include "shading/utility_kernels.hpp"

namespace vrel::shading {
namespace {

constexpr int64_t kLimit = 1048576;
constexpr Utility kUnitNewton{&provides<&Table::unit_newton>, "unit Newton count/results invalid",
                              "CUDA provider lacks unit Newton"};

bool count_valid(int64_t n) noexcept { return n >= 0 && n <= kLimit; }

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;

extern "C" VREL_API VrelStatus vrel_shading_unit_newton(
    const VrelTensorView* input, const VrelExecutionContext* context, const VrelTensorView* output,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({input, output}));
  if (input->rank != 1)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "unit Newton input rank invalid");
  const int64_t n = input->shape[0];
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(c.workspace_rule(kUnitNewton, count_valid(n), &bytes, &alignment));
  VREL_TRY(c.tensor(input, {n}, false));
  VREL_TRY(c.tensor(output, {n}, true));
  VREL_TRY(c.scratch(workspace, {input}, {output}));
  if (c.cuda())
    return c.forward<&Table::unit_newton>(kUnitNewton, input, context, output, workspace, diag);
  const double* x = vrel::abi::data_of<double>(*input);
  for (int64_t i = 0; i < n; ++i)
    if (!(x[i] > 0.0 && x[i] <= 4.0))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, "unit Newton input must be finite in (0,4]");
  unit_newton(x, static_cast<uint64_t>(n), vrel::abi::mutable_data_of<double>(*output));
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_unit_newton_workspace(
    int64_t count, const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  return c.workspace_rule(kUnitNewton, count_valid(count), bytes, alignment);
}
