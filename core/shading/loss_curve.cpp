// Loss curves: rows of node values and Bezier segments on the log-cosine axis for coordinates u,
// with their u-derivatives, and the vector-Jacobian product in u.
#include <cmath>

#include "shading/checks.hpp"
#include "shading/curve_lookup.hpp"
#include "shading/loss_curve_kernel.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kLimits = "curve batch/nodes/results invalid";
constexpr const char* kMissing = "CUDA provider lacks native loss curve family";
constexpr const char* kRanks = "curve axis/u must be rank one";
constexpr const char* kPartialShape = "curve partial shape invalid";
constexpr const char* kAxisDomain = "curve axis domain";
constexpr const char* kControlDomain = "curve control domain";
constexpr const char* kCoordinateDomain = "curve coordinate domain";
constexpr const char* kOverflow = "curve arithmetic overflow";
constexpr const char* kVjpInputs = "curve VJP inputs must be finite";
constexpr const char* kProductOverflow = "curve VJP product overflow";
constexpr const char* kSumOverflow = "curve VJP sum overflow";

constexpr int64_t kMaxBatch = 32;
constexpr int64_t kMaxNodes = 512;

// The workspace rule after begin(): limits, then the CPU size or the provider's answer.
VrelStatus rule(const Checks& c, uint64_t batch, uint64_t nodes, uint64_t* bytes,
                uint64_t* alignment) noexcept {
  if (batch > kMaxBatch || nodes < 1 || nodes > kMaxNodes || bytes == nullptr ||
      alignment == nullptr)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kLimits);
  const uint64_t per_row = nodes * 4 > nodes * 10 - 6 ? nodes * 4 : nodes * 10 - 6;
  *bytes = per_row * batch * 8 + 8;
  *alignment = 8;
  if (!c.cuda()) return VREL_STATUS_OK;
  const uint64_t counts[2] = {batch, nodes};
  return provider_query(provider::operation::kLossCurve, counts, 2, c.context(), bytes, alignment,
                        kMissing, c.diag());
}

// Finite, at most 0, strictly increasing with finite differences.
bool log_axis_valid(const double* axis, int64_t n) noexcept {
  for (int64_t i = 0; i < n; ++i) {
    if (!std::isfinite(axis[i]) || axis[i] > 0.0) return false;
    if (i > 0 && !(axis[i] > axis[i - 1] && std::isfinite(axis[i] - axis[i - 1]))) return false;
  }
  return true;
}

bool all_within(const double* x, int64_t n, double lo, double hi) noexcept {
  for (int64_t i = 0; i < n; ++i)
    if (!(x[i] >= lo && x[i] <= hi)) return false;  // NaN fails
  return true;
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;
using Table = vrel::provider::OperationTable;

extern "C" VREL_API VrelStatus vrel_shading_loss_curve_workspace(
    uint64_t batch, uint64_t nodes, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  return rule(c, batch, nodes, bytes, alignment);
}

extern "C" VREL_API VrelStatus vrel_shading_loss_curve(
    const VrelTensorView* axis, const VrelTensorView* controls, const VrelTensorView* u,
    const VrelExecutionContext* context, const VrelTensorView* curve, const VrelTensorView* partial,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({axis, controls, u, curve, partial}));
  if (axis->rank != 1 || u->rank != 1) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRanks);
  const int64_t n = dim(axis, 0), b = dim(u, 0);
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, static_cast<uint64_t>(b), static_cast<uint64_t>(n), &bytes, &alignment));
  VREL_TRY(c.input(axis, {n}));
  VREL_TRY(c.input(controls, {b, 2 * n + 1, 4}));
  VREL_TRY(c.input(u, {b}));
  VREL_TRY(c.output(curve, {b, curve_row_length(n)}));
  VREL_TRY(c.output(partial, {b, curve_row_length(n)}));
  VREL_TRY(c.scratch(workspace, bytes, {axis, controls, u}, {curve, partial}));
  if (c.cuda())
    return forward<&Table::loss_curve>(kMissing, diag, axis, controls, u, context, curve, partial,
                                       workspace, diag);
  if (!log_axis_valid(doubles(axis), n)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kAxisDomain);
  if (!all_within(doubles(controls), b * (2 * n + 1) * 4, -745.0, 0.0))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kControlDomain);
  if (!all_within(doubles(u), b, 0.0, 1.0))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCoordinateDomain);
  double* scratch = static_cast<double*>(workspace->data) + 1;
  if (!loss_curve_rows(doubles(axis), n, doubles(controls), doubles(u), b, out_doubles(curve),
                       out_doubles(partial), scratch))
    return c.fail(VREL_STATUS_OVERFLOW, kOverflow);
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_loss_curve_backward(
    const VrelTensorView* partial, const VrelTensorView* gradient,
    const VrelExecutionContext* context, const VrelTensorView* u_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate(partial));
  const int64_t length = partial->rank == 2 ? dim(partial, 1) : 0;
  if (partial->rank != 2 || length < 4 || length > 5114 || (length + 6) % 10 != 0)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kPartialShape);
  const int64_t b = dim(partial, 0), n = (length + 6) / 10;
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, static_cast<uint64_t>(b), static_cast<uint64_t>(n), &bytes, &alignment));
  VREL_TRY(c.input(partial, {b, length}));
  VREL_TRY(c.input(gradient, {b, length}));
  VREL_TRY(c.output(u_gradient, {b}));
  VREL_TRY(c.scratch(workspace, bytes, {partial, gradient}, {u_gradient}));
  if (c.cuda())
    return forward<&Table::loss_curve_backward>(kMissing, diag, partial, gradient, context,
                                                u_gradient, workspace, diag);
  if (!all_finite(partial) || !all_finite(gradient))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kVjpInputs);
  double* scratch = static_cast<double*>(workspace->data) + 1;
  switch (loss_curve_vjp(doubles(partial), doubles(gradient), b, length, scratch,
                         out_doubles(u_gradient))) {
    case VjpFault::kProduct: return c.fail(VREL_STATUS_OVERFLOW, kProductOverflow);
    case VjpFault::kSum: return c.fail(VREL_STATUS_OVERFLOW, kSumOverflow);
    case VjpFault::kNone: break;
  }
  return VREL_STATUS_OK;
}
