// Ordered RGBA: a carried RGBA value plus rows of RGBA values, added one row at a time.
#include "shading/utility_checks.hpp"
#include "shading/utility_kernels.hpp"

namespace vrel::shading {
namespace {

constexpr int64_t kLimit = 800;
constexpr Utility kOrderedRgba{&provides<&Table::ordered_rgba>,
                               "ordered RGBA count/results invalid",
                               "CUDA provider lacks ordered RGBA"};

bool count_valid(int64_t n) noexcept { return n >= 0 && n <= kLimit; }

bool all_finite(const double* v, int64_t n) noexcept {
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;

extern "C" VREL_API VrelStatus vrel_shading_ordered_rgba(
    const VrelTensorView* carry, const VrelTensorView* values, const VrelExecutionContext* context,
    const VrelTensorView* output, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({carry, values, output}));
  if (values->rank != 2)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "ordered RGBA values rank invalid");
  const int64_t n = values->shape[0];
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(c.workspace_rule(kOrderedRgba, count_valid(n), &bytes, &alignment));
  VREL_TRY(c.tensor(carry, {4}, false));
  VREL_TRY(c.tensor(values, {n, 4}, false));
  VREL_TRY(c.tensor(output, {4}, true));
  VREL_TRY(c.scratch(workspace, {carry, values}, {output}));
  if (c.cuda())
    return c.forward<&Table::ordered_rgba>(kOrderedRgba, carry, values, context, output, workspace,
                                           diag);
  const double* start = vrel::abi::data_of<double>(*carry);
  const double* rows = vrel::abi::data_of<double>(*values);
  if (!all_finite(start, 4))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "ordered RGBA carry must be finite");
  if (!all_finite(rows, 4 * n))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "ordered RGBA values must be finite");
  if (!ordered_rgba(start, rows, static_cast<uint64_t>(n),
                    vrel::abi::mutable_data_of<double>(*output)))
    return c.fail(VREL_STATUS_OVERFLOW, "ordered RGBA overflow");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_ordered_rgba_workspace(
    int64_t count, const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  return c.workspace_rule(kOrderedRgba, count_valid(count), bytes, alignment);
}
