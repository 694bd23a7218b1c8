// Loss queries: curve lookups at given cosines with their partials and slopes, the cosine-weighted
// means of every row, and the vector-Jacobian product in the cosines and in u.
#include <cmath>

#include "shading/checks.hpp"
#include "shading/curve_lookup.hpp"
#include "shading/loss_query_kernel.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kLimits = "query extent invalid";
constexpr const char* kMissing = "CUDA provider lacks query family";
constexpr const char* kRanks = "query extent ranks invalid";
constexpr const char* kBackwardRanks = "query backward ranks invalid";
constexpr const char* kOwners = "query owners dtype/shape/device/flags invalid";
constexpr const char* kAxesDomain = "query axes domain";
constexpr const char* kEndpoint = "query cosine axis must end at one";
constexpr const char* kWeightsDomain = "query weights domain";
constexpr const char* kCurveFinite = "query curve must be finite";
constexpr const char* kCoordinateDomain = "query coordinate/owner domain";
constexpr const char* kQueryOverflow = "query arithmetic overflow";
constexpr const char* kMeanOverflow = "mean arithmetic overflow";
constexpr const char* kQueryPartial = "query partial must be finite";
constexpr const char* kMeanPartial = "mean partial must be finite";
constexpr const char* kQueryGradient = "query gradient must be finite";
constexpr const char* kMeanGradient = "mean gradient must be finite";
constexpr const char* kOwnerDomain = "query owner domain";
constexpr const char* kCosineOverflow = "cosine VJP overflow";
constexpr const char* kCoordinateOverflow = "coordinate VJP overflow";

constexpr uint64_t kMaxBatch = 32;
constexpr uint64_t kMaxNodes = 512;
constexpr uint64_t kMaxQueries = 1056;

// The limits of the workspace rule; `nodes` is checked only when the caller has it.
bool limits_hold(uint64_t batch, uint64_t queries, const uint64_t* nodes, const uint64_t* bytes,
                 const uint64_t* alignment) noexcept {
  if (batch > kMaxBatch || queries > kMaxQueries || (batch == 0 && queries > 0)) return false;
  if (nodes != nullptr && (*nodes < 1 || *nodes > kMaxNodes)) return false;
  return bytes != nullptr && alignment != nullptr;
}

// The workspace rule after begin(): B * max(4N, Q) * 8 + 8 bytes on the CPU.
VrelStatus rule(const Checks& c, uint64_t batch, uint64_t nodes, uint64_t queries, uint64_t* bytes,
                uint64_t* alignment) noexcept {
  if (!limits_hold(batch, queries, &nodes, bytes, alignment))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kLimits);
  *bytes = batch * (4 * nodes > queries ? 4 * nodes : queries) * 8 + 8;
  *alignment = 8;
  if (!c.cuda()) return VREL_STATUS_OK;
  const uint64_t counts[3] = {batch, nodes, queries};
  return provider_query(provider::operation::kLossQuery, counts, 3, c.context(), bytes, alignment,
                        kMissing, c.diag());
}

// The backward does not receive N: it needs Q doubles after the first 8 bytes, which never
// exceeds what the query reports for the same B and Q (B >= 1 whenever Q >= 1). On CUDA the
// provider is asked with N = 0.
VrelStatus backward_rule(const Checks& c, uint64_t batch, uint64_t queries, uint64_t* bytes,
                         uint64_t* alignment) noexcept {
  if (!limits_hold(batch, queries, nullptr, bytes, alignment))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kLimits);
  *bytes = queries * 8 + 8;
  *alignment = 8;
  if (!c.cuda()) return VREL_STATUS_OK;
  const uint64_t counts[3] = {batch, 0, queries};
  return provider_query(provider::operation::kLossQuery, counts, 3, c.context(), bytes, alignment,
                        kMissing, c.diag());
}

// cn in (0, 1] strictly increasing; logs at most 0, strictly increasing, finite differences.
bool axes_valid(const double* cn, const double* logs, int64_t n) noexcept {
  for (int64_t i = 0; i < n; ++i) {
    if (!(cn[i] > 0.0 && cn[i] <= 1.0) || !(logs[i] <= 0.0) || !std::isfinite(logs[i]))
      return false;
    if (i > 0 &&
        !(cn[i] > cn[i - 1] && logs[i] > logs[i - 1] && std::isfinite(logs[i] - logs[i - 1])))
      return false;
  }
  return true;
}

bool owners_valid(const int32_t* owners, int64_t queries, int64_t batch) noexcept {
  for (int64_t q = 0; q < queries; ++q)
    if (owners[q] < 0 || owners[q] >= batch) return false;
  return true;
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;
using Table = vrel::provider::OperationTable;

extern "C" VREL_API VrelStatus vrel_shading_loss_query_workspace(
    uint64_t batch, uint64_t nodes, uint64_t queries, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  return rule(c, batch, nodes, queries, bytes, alignment);
}

extern "C" VREL_API VrelStatus vrel_shading_loss_query(
    const VrelTensorView* cn, const VrelTensorView* logs, const VrelTensorView* weights,
    const VrelTensorView* curve, const VrelTensorView* partial, const VrelTensorView* cosine,
    const VrelTensorView* owners, const VrelExecutionContext* context, const VrelTensorView* query,
    const VrelTensorView* mean, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({cn, logs, weights, curve, partial, cosine, owners, query, mean}));
  if (cn->rank != 1 || curve->rank != 2 || cosine->rank != 1)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRanks);
  const int64_t n = dim(cn, 0), b = dim(curve, 0), q = dim(cosine, 0);
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, static_cast<uint64_t>(b), static_cast<uint64_t>(n), static_cast<uint64_t>(q),
                &bytes, &alignment));
  VREL_TRY(c.input(cn, {n}));
  VREL_TRY(c.input(logs, {n}));
  VREL_TRY(c.input(weights, {n - 1, 4}));
  VREL_TRY(c.input(curve, {b, curve_row_length(n)}));
  VREL_TRY(c.input(partial, {b, curve_row_length(n)}));
  VREL_TRY(c.input(cosine, {q}));
  VREL_TRY(c.tensor(owners, {q}, false, VREL_DTYPE_INT32, kOwners, kOwners));
  VREL_TRY(c.output(query, {q, 6}));
  VREL_TRY(c.output(mean, {b, 4}));
  VREL_TRY(c.scratch(workspace, bytes, {cn, logs, weights, curve, partial, cosine, owners},
                     {query, mean}));
  if (c.cuda())
    return forward<&Table::loss_query>(kMissing, diag, cn, logs, weights, curve, partial, cosine,
                                       owners, context, query, mean, workspace, diag);
  const CosineAxis axis{doubles(cn), doubles(logs), n};
  if (!axes_valid(axis.cn, axis.logs, n)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kAxesDomain);
  if (axis.cn[n - 1] != 1.0) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kEndpoint);
  const double* w = doubles(weights);
  for (int64_t i = 0; i < (n - 1) * 4; ++i)
    if (!(std::isfinite(w[i]) && w[i] >= 0.0))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, kWeightsDomain);
  if (!all_finite(curve) || !all_finite(partial))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCurveFinite);
  const double* mu = doubles(cosine);
  const int32_t* owner = vrel::abi::data_of<int32_t>(*owners);
  for (int64_t i = 0; i < q; ++i)
    if (!(mu[i] >= 0.0 && mu[i] <= 1.0))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCoordinateDomain);
  if (!owners_valid(owner, q, b)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCoordinateDomain);
  double* scratch = static_cast<double*>(workspace->data) + 1;
  switch (loss_query_rows(axis, w, doubles(curve), doubles(partial), b, mu, owner, q, scratch,
                          out_doubles(query), out_doubles(mean))) {
    case QueryFault::kQuery: return c.fail(VREL_STATUS_OVERFLOW, kQueryOverflow);
    case QueryFault::kMean: return c.fail(VREL_STATUS_OVERFLOW, kMeanOverflow);
    case QueryFault::kNone: break;
  }
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_loss_query_backward(
    const VrelTensorView* query, const VrelTensorView* mean, const VrelTensorView* owners,
    const VrelTensorView* gradient, const VrelTensorView* mean_gradient,
    const VrelExecutionContext* context, const VrelTensorView* cosine_gradient,
    const VrelTensorView* u_gradient, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(
      c.validate_all({query, mean, owners, gradient, mean_gradient, cosine_gradient, u_gradient}));
  if (query->rank != 2 || mean->rank != 2 || owners->rank != 1 || gradient->rank != 2 ||
      mean_gradient->rank != 2)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kBackwardRanks);
  const int64_t q = dim(query, 0), b = dim(mean, 0);
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(
      backward_rule(c, static_cast<uint64_t>(b), static_cast<uint64_t>(q), &bytes, &alignment));
  VREL_TRY(c.input(query, {q, 6}));
  VREL_TRY(c.input(mean, {b, 4}));
  VREL_TRY(c.tensor(owners, {q}, false, VREL_DTYPE_INT32, kOwners, kOwners));
  VREL_TRY(c.input(gradient, {q, 2}));
  VREL_TRY(c.input(mean_gradient, {b, 2}));
  VREL_TRY(c.output(cosine_gradient, {q}));
  VREL_TRY(c.output(u_gradient, {b}));
  VREL_TRY(c.scratch(workspace, bytes, {query, mean, owners, gradient, mean_gradient},
                     {cosine_gradient, u_gradient}));
  if (c.cuda())
    return forward<&Table::loss_query_backward>(kMissing, diag, query, mean, owners, gradient,
                                                mean_gradient, context, cosine_gradient, u_gradient,
                                                workspace, diag);
  if (!all_finite(query)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kQueryPartial);
  if (!all_finite(mean)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kMeanPartial);
  if (!all_finite(gradient)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kQueryGradient);
  if (!all_finite(mean_gradient)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kMeanGradient);
  const int32_t* owner = vrel::abi::data_of<int32_t>(*owners);
  if (!owners_valid(owner, q, b)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kOwnerDomain);
  double* scratch = static_cast<double*>(workspace->data) + 1;
  switch (loss_query_vjp(doubles(query), doubles(mean), owner, doubles(gradient),
                         doubles(mean_gradient), b, q, scratch, out_doubles(cosine_gradient),
                         out_doubles(u_gradient))) {
    case QueryVjpFault::kCosine: return c.fail(VREL_STATUS_OVERFLOW, kCosineOverflow);
    case QueryVjpFault::kCoordinate: return c.fail(VREL_STATUS_OVERFLOW, kCoordinateOverflow);
    case QueryVjpFault::kNone: break;
  }
  return VREL_STATUS_OK;
}
