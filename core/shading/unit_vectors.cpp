// Unit vectors: the robust normalisation of the shading family, row by row.
#include "shading/utility_checks.hpp"
#include "shading/utility_kernels.hpp"

namespace vrel::shading {
namespace {

constexpr int64_t kLimit = 1048576;
constexpr Utility kUnitVectors{&provides<&Table::unit_vectors>,
                               "unit vectors count/results invalid",
                               "CUDA provider lacks unit vectors"};

bool count_valid(int64_t n) noexcept { return n >= 0 && n <= kLimit; }

// Every component finite and at least one nonzero.
bool usable(const double* v) noexcept {
  for (int i = 0; i < 3; ++i)
    if (!std::isfinite(v[i])) return false;
  return v[0] != 0.0 || v[1] != 0.0 || v[2] != 0.0;
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;

extern "C" VREL_API VrelStatus vrel_shading_unit_vectors(
    const VrelTensorView* input, const VrelExecutionContext* context, const VrelTensorView* output,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({input, output}));
  if (input->rank != 2 || input->shape[1] != 3)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "unit vectors input shape invalid");
  const int64_t n = input->shape[0];
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(c.workspace_rule(kUnitVectors, count_valid(n), &bytes, &alignment));
  VREL_TRY(c.tensor(input, {n, 3}, false));
  VREL_TRY(c.tensor(output, {n, 3}, true));
  VREL_TRY(c.scratch(workspace, {input}, {output}));
  if (c.cuda())
    return c.forward<&Table::unit_vectors>(kUnitVectors, input, context, output, workspace, diag);
  const double* rows = vrel::abi::data_of<double>(*input);
  for (int64_t i = 0; i < n; ++i)
    if (!usable(rows + 3 * i))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, "unit vectors require finite nonzero vectors");
  unit_vectors(rows, static_cast<uint64_t>(n), vrel::abi::mutable_data_of<double>(*output));
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_unit_vectors_workspace(
    int64_t count, const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  return c.workspace_rule(kUnitVectors, count_valid(count), bytes, alignment);
}
