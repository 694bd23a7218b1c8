// Delta BRDF: the radiance that delta lights send through a given BRDF, and its gradient with
// respect to the incoming radiance.
#include "shading/utility_checks.hpp"
#include "shading/utility_kernels.hpp"

namespace vrel::shading {
namespace {

constexpr int64_t kMaxPoints = 128;
constexpr Utility kDeltaBrdf{&provides<&Table::delta_brdf>, "delta BRDF count/results invalid",
                             "CUDA provider lacks delta BRDF"};

bool counts_valid(int64_t points, int64_t directions) noexcept {
  return points >= 0 && points <= kMaxPoints && directions >= 0 &&
         directions <= kDeltaMaxDirections;
}

bool finite(const double* v) noexcept {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}
bool nonzero(const double* v) noexcept { return v[0] != 0.0 || v[1] != 0.0 || v[2] != 0.0; }
bool nonnegative(const double* v) noexcept { return v[0] >= 0.0 && v[1] >= 0.0 && v[2] >= 0.0; }

// Normals and cotangents finite, normals nonzero; BRDF values and incoming radiance finite and
// nonnegative; directions finite and nonzero.
bool in_domain(const double* normal, const double* brdf, const double* direction,
               const double* incoming, const double* cotangent, int64_t points,
               int64_t directions) noexcept {
  for (int64_t b = 0; b < points; ++b) {
    if (!finite(normal + 3 * b) || !nonzero(normal + 3 * b) || !finite(cotangent + 3 * b))
      return false;
    for (int64_t d = 0; d < directions; ++d) {
      const int64_t row = 3 * (b * directions + d);
      if (!finite(brdf + row) || !nonnegative(brdf + row) || !finite(direction + row) ||
          !nonzero(direction + row) || !finite(incoming + row) || !nonnegative(incoming + row))
        return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;
using vrel::abi::data_of;

extern "C" VREL_API VrelStatus vrel_shading_delta_brdf(
    const VrelTensorView* normal, const VrelTensorView* brdf, const VrelTensorView* direction,
    const VrelTensorView* incoming, const VrelTensorView* cotangent,
    const VrelExecutionContext* context, const VrelTensorView* radiance,
    const VrelTensorView* incoming_gradient, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all({normal, brdf, direction, incoming, cotangent, radiance, incoming_gradient}));
  if (brdf->rank != 3 || brdf->shape[2] != 3)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "delta BRDF shape invalid");
  const int64_t points = brdf->shape[0], directions = brdf->shape[1];
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(c.workspace_rule(kDeltaBrdf, counts_valid(points, directions), &bytes, &alignment));
  VREL_TRY(c.tensor(normal, {points, 3}, false));
  VREL_TRY(c.tensor(brdf, {points, directions, 3}, false));
  VREL_TRY(c.tensor(direction, {points, directions, 3}, false));
  VREL_TRY(c.tensor(incoming, {points, directions, 3}, false));
  VREL_TRY(c.tensor(cotangent, {points, 3}, false));
  VREL_TRY(c.tensor(radiance, {points, 3}, true));
  VREL_TRY(c.tensor(incoming_gradient, {points, directions, 3}, true));
  VREL_TRY(c.scratch(workspace, {normal, brdf, direction, incoming, cotangent},
                     {radiance, incoming_gradient}));
  if (c.cuda())
    return c.forward<&Table::delta_brdf>(kDeltaBrdf, normal, brdf, direction, incoming, cotangent,
                                         context, radiance, incoming_gradient, workspace, diag);
  if (!in_domain(data_of<double>(*normal), data_of<double>(*brdf), data_of<double>(*direction),
                 data_of<double>(*incoming), data_of<double>(*cotangent), points, directions))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, "delta BRDF input domain");
  if (!delta_brdf(data_of<double>(*normal), data_of<double>(*brdf), data_of<double>(*direction),
                  data_of<double>(*incoming), data_of<double>(*cotangent),
                  static_cast<uint64_t>(points), static_cast<uint64_t>(directions),
                  vrel::abi::mutable_data_of<double>(*radiance),
                  vrel::abi::mutable_data_of<double>(*incoming_gradient)))
    return c.fail(VREL_STATUS_OVERFLOW, "delta BRDF arithmetic overflow");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_shading_delta_brdf_workspace(
    int64_t points, int64_t directions, const VrelExecutionContext* context, uint64_t* bytes,
    uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  UtilityChecks c{diag};
  VREL_TRY(c.begin(context));
  return c.workspace_rule(kDeltaBrdf, counts_valid(points, directions), bytes, alignment);
}
