// The principled BRDF: pairs, groups and shared groups of points and lights, with the optional
// Jacobian, and the backward of pairs and groups.
#include <cmath>

#include "shading/checks.hpp"
#include "shading/principled_kernel.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kLimits = "Principled point/light limits invalid";
constexpr const char* kOptions = "Principled options invalid";
constexpr const char* kRanks = "Principled extent ranks invalid";
constexpr const char* kNodeCount = "Principled node count invalid";
constexpr const char* kFinite = "Principled finite inputs required";
constexpr const char* kAxesDomain = "Principled axes domain";
constexpr const char* kEndpoint = "Principled cosine axis endpoint";
constexpr const char* kWidthMean = "Principled width/mean domain";
constexpr const char* kRoughness = "Principled roughness domain";
constexpr const char* kZeroPoint = "Principled zero point direction";
constexpr const char* kZeroLight = "Principled zero light direction";
constexpr const char* kAlbedoF0 = "Principled albedo/F0 domain";
constexpr const char* kCurveDomain = "Principled curve domain";
constexpr const char* kOverflow = "Principled arithmetic overflow";
constexpr const char* kJacobianRank = "Principled Jacobian rank invalid";
constexpr const char* kJacobianFinite = "Principled Jacobian must be finite";
constexpr const char* kCotangentFinite = "Principled cotangent must be finite";
constexpr const char* kPointOverflow = "Principled point VJP overflow";
constexpr const char* kLightOverflow = "Principled light VJP overflow";

constexpr uint32_t kTwoSided = 1u;
constexpr uint32_t kDerivatives = 2u;
constexpr int64_t kMaxLights = 1024;
constexpr int64_t kMaxPairs = 1024;
constexpr int64_t kMaxNodes = 512;

// What distinguishes pairs, groups and shared groups (besides their provider entries).
struct Variant {
  uint64_t operation;            // id for the provider's workspace-query entry
  int64_t point_limit;           // P without the Jacobian
  int64_t point_limit_jacobian;  // P with the Jacobian
  const char* missing;
  bool shared;  // one curve row for every point
};

using Table = provider::OperationTable;
constexpr Variant kPairs{provider::operation::kPrincipledPairs, 8, 4,
                         "CUDA provider lacks Principled pairs", false};
constexpr Variant kGroups{provider::operation::kPrincipledGroups, 128, 128,
                          "CUDA provider lacks Principled pairs", false};
constexpr Variant kSharedGroups{provider::operation::kPrincipledGroups, 128, 128,
                                "CUDA provider lacks shared Principled groups", true};

// The workspace rule after begin(): P * max(L, 1) * 8 + 8 bytes at alignment 8 on the CPU; the
// provider's answer on CUDA.
VrelStatus rule(const Checks& c, const Variant& variant, int64_t points, int64_t lights,
                int32_t derivatives, uint64_t* bytes, uint64_t* alignment) noexcept {
  const int64_t limit = derivatives == 1 ? variant.point_limit_jacobian : variant.point_limit;
  const auto unsigned_lights = static_cast<uint64_t>(lights);
  if ((derivatives != 0 && derivatives != 1) || points < 0 || points > limit ||
      unsigned_lights > kMaxLights || points * lights > kMaxPairs || bytes == nullptr ||
      alignment == nullptr)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kLimits);
  *bytes = static_cast<uint64_t>(points * (lights > 1 ? lights : 1)) * 8 + 8;
  *alignment = 8;
  if (!c.cuda()) return VREL_STATUS_OK;
  // A provider that answers without writing leaves the CPU figures.
  const uint64_t counts[3] = {static_cast<uint64_t>(points), unsigned_lights,
                              static_cast<uint64_t>(derivatives)};
  return provider_query(variant.operation, counts, 3, c.context(), bytes, alignment,
                        variant.missing, c.diag());
}

// The CPU domain checks, in order, over checked views.
VrelStatus domain(const Checks& c, const VrelTensorView* const* inputs, int64_t nodes, int64_t rows,
                  int64_t points, int64_t lights) noexcept {
  for (int i = 0; i < 12; ++i)
    if (!all_finite(inputs[i])) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kFinite);
  const double* cn = doubles(inputs[0]);
  if (!axis_in_domain(cn, doubles(inputs[1]), nodes))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kAxesDomain);
  if (cn[nodes - 1] != 1.0) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kEndpoint);
  if (!means_in_domain(doubles(inputs[4]), doubles(inputs[5]), rows))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kWidthMean);
  const double* normal = doubles(inputs[6]);
  const double* view = doubles(inputs[7]);
  const double* roughness = doubles(inputs[10]);
  for (int64_t p = 0; p < points; ++p) {
    if (!(roughness[p] > 0.0 && roughness[p] <= 1.0))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRoughness);
    if (all_zero3(normal + p * 3) || all_zero3(view + p * 3))
      return c.fail(VREL_STATUS_INVALID_ARGUMENT, kZeroPoint);
  }
  const double* light = doubles(inputs[8]);
  for (int64_t k = 0; k < points * lights; ++k)
    if (all_zero3(light + k * 3)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kZeroLight);
  if (!within_unit(doubles(inputs[9]), points * 3) || !within_unit(doubles(inputs[11]), points * 3))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kAlbedoF0);
  if (!curve_pairs_in_domain(doubles(inputs[2]), rows * curve_row_length(nodes)))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCurveDomain);
  return VREL_STATUS_OK;
}

template <auto Entry>
VrelStatus principled(const Variant& variant, const VrelTensorView* cn, const VrelTensorView* logs,
                      const VrelTensorView* curve, const VrelTensorView* partial,
                      const VrelTensorView* mean, const VrelTensorView* width,
                      const VrelTensorView* normal, const VrelTensorView* view,
                      const VrelTensorView* light, const VrelTensorView* albedo,
                      const VrelTensorView* roughness, const VrelTensorView* f0, uint32_t options,
                      const VrelExecutionContext* context, const VrelTensorView* output,
                      const VrelTensorView* jacobian, const VrelBufferDescriptor* workspace,
                      VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  if (options >= 4) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kOptions);
  VREL_TRY(c.validate_all({cn, logs, curve, partial, mean, width, normal, view, light, albedo,
                           roughness, f0, output, jacobian}));
  if (cn->rank != 1 || normal->rank != 2 || light->rank != 3)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRanks);
  const int64_t n = dim(cn, 0), p = dim(normal, 0), l = dim(light, 1);
  if (n < 1 || n > kMaxNodes) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kNodeCount);
  const bool derivatives = (options & kDerivatives) != 0;
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, variant, p, l, derivatives ? 1 : 0, &bytes, &alignment));
  const int64_t rows = variant.shared ? 1 : p, length = curve_row_length(n);
  VREL_TRY(c.input(cn, {n}));
  VREL_TRY(c.input(logs, {n}));
  VREL_TRY(c.input(curve, {rows, length}));
  VREL_TRY(c.input(partial, {rows, length}));
  VREL_TRY(c.input(mean, {rows, 4}));
  VREL_TRY(c.input(width, {rows}));
  VREL_TRY(c.input(normal, {p, 3}));
  VREL_TRY(c.input(view, {p, 3}));
  VREL_TRY(c.input(light, {p, l, 3}));
  VREL_TRY(c.input(albedo, {p, 3}));
  VREL_TRY(c.input(roughness, {p}));
  VREL_TRY(c.input(f0, {p, 3}));
  VREL_TRY(c.output(output, {p, l, 3}));
  if (derivatives) {
    VREL_TRY(c.output(jacobian, {p, l, 3, kColumns}));
  } else {
    VREL_TRY(c.output(jacobian, {0}));
  }
  VREL_TRY(
      c.scratch(workspace, bytes,
                {cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0},
                {output, jacobian}));
  if (c.cuda())
    return forward<Entry>(variant.missing, diag, cn, logs, curve, partial, mean, width, normal,
                          view, light, albedo, roughness, f0, options, context, output, jacobian,
                          workspace, diag);
  const VrelTensorView* inputs[12] = {cn,     logs, curve, partial, mean,      width,
                                      normal, view, light, albedo,  roughness, f0};
  VREL_TRY(domain(c, inputs, n, rows, p, l));
  const PrincipledCurves curves{{doubles(cn), doubles(logs), n},
                                doubles(curve),
                                doubles(partial),
                                doubles(mean),
                                doubles(width),
                                variant.shared};
  const PrincipledPoints points{doubles(normal),
                                doubles(view),
                                doubles(light),
                                doubles(albedo),
                                doubles(roughness),
                                doubles(f0),
                                p,
                                l};
  if (!principled_forward(curves, points, (options & kTwoSided) != 0, out_doubles(output),
                          derivatives ? out_doubles(jacobian) : nullptr))
    return c.fail(VREL_STATUS_OVERFLOW, kOverflow);
  return VREL_STATUS_OK;
}

template <auto Entry>
VrelStatus principled_backward(const Variant& variant, const VrelTensorView* jacobian,
                               const VrelTensorView* gradient, const VrelExecutionContext* context,
                               const VrelTensorView* point_gradient,
                               const VrelTensorView* light_gradient,
                               const VrelBufferDescriptor* workspace,
                               VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate(jacobian));
  if (jacobian->rank != 4) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kJacobianRank);
  const int64_t p = dim(jacobian, 0), l = dim(jacobian, 1);
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, variant, p, l, 1, &bytes, &alignment));
  VREL_TRY(c.input(jacobian, {p, l, 3, kColumns}));
  VREL_TRY(c.input(gradient, {p, l, 3}));
  VREL_TRY(c.output(light_gradient, {p, l, 3}));
  VREL_TRY(c.output(point_gradient, {p, kColumns}));
  VREL_TRY(c.scratch(workspace, bytes, {jacobian, gradient}, {point_gradient, light_gradient}));
  if (c.cuda())
    return forward<Entry>(variant.missing, diag, jacobian, gradient, context, point_gradient,
                          light_gradient, workspace, diag);
  if (!all_finite(jacobian)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kJacobianFinite);
  if (!all_finite(gradient)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCotangentFinite);
  double* scratch = static_cast<double*>(workspace->data) + 1;
  switch (principled_vjp(doubles(jacobian), doubles(gradient), p, l, scratch,
                         out_doubles(point_gradient), out_doubles(light_gradient))) {
    case PrincipledVjpFault::kPoint: return c.fail(VREL_STATUS_OVERFLOW, kPointOverflow);
    case PrincipledVjpFault::kLight: return c.fail(VREL_STATUS_OVERFLOW, kLightOverflow);
    case PrincipledVjpFault::kNone: break;
  }
  return VREL_STATUS_OK;
}

VrelStatus query(const Variant& variant, int64_t points, int64_t lights, int32_t derivatives,
                 const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                 VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  return rule(c, variant, points, lights, derivatives, bytes, alignment);
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;

#define VREL_PRINCIPLED_PARAMETERS                                                             \
  const VrelTensorView *cn, const VrelTensorView *logs, const VrelTensorView *curve,           \
      const VrelTensorView *partial, const VrelTensorView *mean, const VrelTensorView *width,  \
      const VrelTensorView *normal, const VrelTensorView *view, const VrelTensorView *light,   \
      const VrelTensorView *albedo, const VrelTensorView *roughness, const VrelTensorView *f0, \
      uint32_t options, const VrelExecutionContext *context, const VrelTensorView *output,     \
      const VrelTensorView *jacobian, const VrelBufferDescriptor *workspace, VrelDiagnostic *diag
#define VREL_PRINCIPLED_ARGUMENTS                                                             \
  cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0, options, \
      context, output, jacobian, workspace, diag

extern "C" VREL_API VrelStatus vrel_shading_principled_pairs(
    VREL_PRINCIPLED_PARAMETERS) noexcept {
  return principled<&Table::principled_pairs>(kPairs, VREL_PRINCIPLED_ARGUMENTS);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_groups(
    VREL_PRINCIPLED_PARAMETERS) noexcept {
  return principled<&Table::principled_groups>(kGroups, VREL_PRINCIPLED_ARGUMENTS);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_shared_groups(
    VREL_PRINCIPLED_PARAMETERS) noexcept {
  return principled<&Table::principled_shared_groups>(kSharedGroups, VREL_PRINCIPLED_ARGUMENTS);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_pairs_backward(
    const VrelTensorView* jacobian, const VrelTensorView* gradient,
    const VrelExecutionContext* context, const VrelTensorView* point_gradient,
    const VrelTensorView* light_gradient, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  return principled_backward<&Table::principled_pairs_backward>(
      kPairs, jacobian, gradient, context, point_gradient, light_gradient, workspace, diag);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_groups_backward(
    const VrelTensorView* jacobian, const VrelTensorView* gradient,
    const VrelExecutionContext* context, const VrelTensorView* point_gradient,
    const VrelTensorView* light_gradient, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  return principled_backward<&Table::principled_groups_backward>(
      kGroups, jacobian, gradient, context, point_gradient, light_gradient, workspace, diag);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_pairs_workspace(
    int64_t points, int64_t lights, int32_t derivatives, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return query(kPairs, points, lights, derivatives, context, bytes, alignment, diag);
}

extern "C" VREL_API VrelStatus vrel_shading_principled_groups_workspace(
    int64_t points, int64_t lights, int32_t derivatives, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return query(kGroups, points, lights, derivatives, context, bytes, alignment, diag);
}
