// Opaque shading samples: the principled BRDF at the opaque quadrature's nodes, per node and
// integrated per pixel, and the same with the albedo gradient of the pixel colours.
#include <cmath>

#include "shading/checks.hpp"
#include "shading/opaque_samples_kernel.hpp"

namespace vrel::shading {
namespace {

constexpr const char* kRanks = "opaque sample ranks invalid";
constexpr const char* kExtents = "opaque sample geometry/axis extent invalid";
constexpr const char* kRules = "opaque sample dtype/rank/device/flags invalid";
constexpr const char* kDomain = "opaque sample input domain";
constexpr const char* kCotangentDomain = "opaque albedo cotangent domain";

constexpr uint64_t kMaxPixels = 16;
constexpr int64_t kMaxNodes = 512;
constexpr int64_t kMaxRows = 238'609'294;  // [F,3,3] stays within 2^31 - 1 elements
constexpr int kInputs = 18;                // owners .. incoming

using Table = provider::OperationTable;

// What differs between the samples and the albedo exports.
struct Variant {
  const char* count;     // C outside 1..16 or a null result (1)
  const char* missing;   // CUDA without the provider's entry (2)
  const char* shape;     // extents (1)
  const char* overflow;  // kernel failure (4)
  uint64_t lanes;        // scratch doubles per slot
  bool (*provided)() noexcept;
};

constexpr Variant kSamples{"opaque sample pixel count/results invalid",
                           "CUDA provider lacks opaque samples",
                           "opaque sample shape invalid",
                           "opaque sample arithmetic overflow",
                           kSampleValues,
                           &provides<&Table::opaque_samples>};
constexpr Variant kAlbedo{"opaque albedo pixel count/results invalid",
                          "CUDA provider lacks opaque albedos",
                          "opaque albedo shape invalid",
                          "opaque albedo arithmetic overflow",
                          kAlbedoValues,
                          &provides<&Table::opaque_albedo>};

// The workspace rule after begin(): C in 1..16 and both results present; on CUDA the provider's
// entry; C * 800 * lanes doubles and 8 bytes, alignment 8, on either device.
VrelStatus rule(const Checks& c, const Variant& variant, uint64_t pixels, uint64_t* bytes,
                uint64_t* alignment) noexcept {
  if (pixels < 1 || pixels > kMaxPixels || bytes == nullptr || alignment == nullptr)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, variant.count);
  if (c.cuda() && !variant.provided()) return c.fail(VREL_STATUS_UNSUPPORTED, variant.missing);
  *bytes = pixels * kOpaqueSlots * variant.lanes * 8 + 8;
  *alignment = 8;
  return VREL_STATUS_OK;
}

bool all_finite(std::initializer_list<const VrelTensorView*> views) noexcept {
  for (const VrelTensorView* view : views)
    if (!shading::all_finite(view)) return false;
  return true;
}

// Owners and face rows index within their arrays; every owner face lies before the camera
// (positive clip w) and has no all-zero corner normal.
bool mesh_in_domain(const int32_t* owners, int64_t slots, const int32_t* faces, int64_t face_count,
                    int64_t vertex_count, const double* clip, const double* normals) noexcept {
  for (int64_t k = 0; k < face_count * 3; ++k)
    if (faces[k] < 0 || faces[k] >= vertex_count) return false;
  for (int64_t s = 0; s < slots; ++s) {
    const int32_t owner = owners[s];
    if (owner == -1) continue;
    if (owner < 0 || owner >= face_count) return false;
    for (int k = 0; k < 3; ++k) {
      if (!(clip[4 * static_cast<int64_t>(faces[3 * static_cast<int64_t>(owner) + k]) + 3] > 0.0) ||
          all_zero3(normals + 9 * static_cast<int64_t>(owner) + 3 * k))
        return false;
    }
  }
  return true;
}

// The CPU domain of the eighteen inputs (in argument order), each already checked.
bool in_domain(const VrelTensorView* const* in, int64_t pixels, int64_t nodes) noexcept {
  const VrelTensorView *owners = in[0], *q = in[1], *world = in[2], *faces = in[3], *clip = in[4],
                       *normals = in[5], *camera = in[6], *cn = in[7], *logs = in[8],
                       *curve = in[9], *partial = in[10], *mean = in[11], *width = in[12],
                       *albedo = in[13], *roughness = in[14], *f0 = in[15], *direction = in[16],
                       *incoming = in[17];
  if (!all_finite({q, world, clip, normals, camera, cn, logs, curve, partial, mean, width, albedo,
                   roughness, f0, direction, incoming}))
    return false;
  if (!mesh_in_domain(abi::data_of<int32_t>(*owners), pixels * kOpaqueSlots,
                      abi::data_of<int32_t>(*faces), dim(faces, 0), dim(world, 0), doubles(clip),
                      doubles(normals)))
    return false;
  const double r = doubles(roughness)[0];
  const double* radiance = doubles(incoming);
  return axis_in_domain(doubles(cn), doubles(logs), nodes) && doubles(cn)[nodes - 1] == 1.0 &&
         means_in_domain(doubles(mean), doubles(width), 1) &&
         curve_pairs_in_domain(doubles(curve), curve_row_length(nodes)) && r > 0.0 && r <= 1.0 &&
         within_unit(doubles(albedo), 3) && within_unit(doubles(f0), 3) &&
         !all_zero3(doubles(direction)) && radiance[0] >= 0.0 && radiance[1] >= 0.0 &&
         radiance[2] >= 0.0;
}

// The checks and the CPU kernel of both exports. `inputs` are the eighteen inputs and, for the
// albedo export, the cotangent; `outputs` the node samples, the pixel results and, for the
// albedo export, the albedo gradient. `forward` hands the unchanged call to the provider.
template <typename Forward>
VrelStatus opaque(const Variant& variant, Views inputs, Views outputs,
                  const VrelExecutionContext* context, const VrelBufferDescriptor* workspace,
                  VrelDiagnostic* diag, Forward forward) noexcept {
  const bool gradient = inputs.size() > kInputs;  // the albedo export
  const VrelTensorView* const* in = inputs.begin();
  const VrelTensorView* const* out = outputs.begin();
  Checks c{diag};
  VREL_TRY(c.begin(context));
  VREL_TRY(c.validate_all(inputs));
  VREL_TRY(c.validate_all(outputs));
  const VrelTensorView *owners = in[0], *q = in[1], *world = in[2], *faces = in[3], *clip = in[4],
                       *normals = in[5], *camera = in[6], *cn = in[7], *logs = in[8],
                       *curve = in[9], *partial = in[10], *mean = in[11], *width = in[12],
                       *albedo = in[13], *roughness = in[14], *f0 = in[15], *direction = in[16],
                       *incoming = in[17];
  const VrelTensorView* cotangent = gradient ? in[kInputs] : nullptr;
  if (q->rank != 3 || world->rank != 2 || faces->rank != 2 || cn->rank != 1)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kRanks);
  const int64_t pixels = dim(q, 0), nodes = dim(cn, 0);
  const int64_t vertex_count = dim(world, 0), face_count = dim(faces, 0);
  uint64_t bytes = 0, alignment = 0;
  VREL_TRY(rule(c, variant, static_cast<uint64_t>(pixels), &bytes, &alignment));
  if (nodes < 1 || nodes > kMaxNodes || vertex_count > kMaxRows || face_count > kMaxRows)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kExtents);

  const int64_t length = curve_row_length(nodes);
  constexpr uint32_t kI32 = VREL_DTYPE_INT32;
  auto input = [&](const VrelTensorView* view, Dims dims, uint32_t dtype = VREL_DTYPE_FLOAT64) {
    return c.tensor(view, dims, false, dtype, kRules, variant.shape);
  };
  auto output = [&](const VrelTensorView* view, Dims dims) {
    return c.tensor(view, dims, true, VREL_DTYPE_FLOAT64, kRules, variant.shape);
  };
  VREL_TRY(input(owners, {pixels, kOpaqueSlots}, kI32));
  VREL_TRY(input(q, {pixels, kOpaqueSlots, 4}));
  VREL_TRY(input(world, {vertex_count, 3}));
  VREL_TRY(input(faces, {face_count, 3}, kI32));
  VREL_TRY(input(clip, {vertex_count, 4}));
  VREL_TRY(input(normals, {face_count, 3, 3}));
  VREL_TRY(input(camera, {3}));
  VREL_TRY(input(cn, {nodes}));
  VREL_TRY(input(logs, {nodes}));
  VREL_TRY(input(curve, {1, length}));
  VREL_TRY(input(partial, {1, length}));
  VREL_TRY(input(mean, {1, 4}));
  VREL_TRY(input(width, {1}));
  VREL_TRY(input(albedo, {3}));
  VREL_TRY(input(roughness, {1}));
  VREL_TRY(input(f0, {3}));
  VREL_TRY(input(direction, {3}));
  VREL_TRY(input(incoming, {3}));
  if (gradient) VREL_TRY(input(cotangent, {pixels, 3}));
  VREL_TRY(output(out[0], {pixels, kOpaqueSlots, 4}));
  VREL_TRY(output(out[1], {pixels, 4}));
  if (gradient) VREL_TRY(output(out[2], {pixels, 3}));
  VREL_TRY(c.scratch(workspace, bytes, inputs, outputs));
  if (c.cuda()) return forward();

  if (!in_domain(in, pixels, nodes)) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kDomain);
  if (gradient && !shading::all_finite(cotangent))
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCotangentDomain);

  const OpaqueMesh mesh{doubles(world), abi::data_of<int32_t>(*faces), doubles(clip),
                        doubles(normals), doubles(camera)};
  const PrincipledCurves curves{{doubles(cn), doubles(logs), nodes},
                                doubles(curve),
                                doubles(partial),
                                doubles(mean),
                                doubles(width),
                                true};
  const OpaqueMaterial material{curves,      doubles(albedo),    doubles(roughness),
                                doubles(f0), doubles(direction), doubles(incoming)};
  double* scratch = static_cast<double*>(workspace->data) + 1;
  if (!opaque_samples(abi::data_of<int32_t>(*owners), doubles(q), pixels, mesh, material,
                      gradient ? doubles(cotangent) : nullptr, scratch, out_doubles(out[0]),
                      out_doubles(out[1]), gradient ? out_doubles(out[2]) : nullptr))
    return c.fail(VREL_STATUS_OVERFLOW, variant.overflow);
  return VREL_STATUS_OK;
}

VrelStatus query(const Variant& variant, uint64_t pixels, const VrelExecutionContext* context,
                 uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(c.begin(context));
  return rule(c, variant, pixels, bytes, alignment);
}

}  // namespace
}  // namespace vrel::shading

using namespace vrel::shading;

#define VREL_OPAQUE_SAMPLE_INPUTS                                                                 \
  const VrelTensorView *owners, const VrelTensorView *q, const VrelTensorView *world,             \
      const VrelTensorView *faces, const VrelTensorView *clip, const VrelTensorView *normals,     \
      const VrelTensorView *camera, const VrelTensorView *cn, const VrelTensorView *logs,         \
      const VrelTensorView *curve, const VrelTensorView *partial, const VrelTensorView *mean,     \
      const VrelTensorView *width, const VrelTensorView *albedo, const VrelTensorView *roughness, \
      const VrelTensorView *f0, const VrelTensorView *direction, const VrelTensorView *incoming
#define VREL_OPAQUE_SAMPLE_ARGUMENTS                                                             \
  owners, q, world, faces, clip, normals, camera, cn, logs, curve, partial, mean, width, albedo, \
      roughness, f0, direction, incoming

extern "C" VREL_API VrelStatus vrel_shading_opaque_samples(
    VREL_OPAQUE_SAMPLE_INPUTS, const VrelExecutionContext* context,
    const VrelTensorView* node_samples, const VrelTensorView* pixel_results,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  return opaque(kSamples, {VREL_OPAQUE_SAMPLE_ARGUMENTS}, {node_samples, pixel_results}, context,
                workspace, diag, [&] {
                  return forward<&Table::opaque_samples>(
                      kSamples.missing, diag, VREL_OPAQUE_SAMPLE_ARGUMENTS, context, node_samples,
                      pixel_results, workspace, diag);
                });
}

extern "C" VREL_API VrelStatus vrel_shading_opaque_albedo(
    VREL_OPAQUE_SAMPLE_INPUTS, const VrelTensorView* cotangent, const VrelExecutionContext* context,
    const VrelTensorView* node_samples, const VrelTensorView* pixel_results,
    const VrelTensorView* albedo_gradient, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  return opaque(kAlbedo, {VREL_OPAQUE_SAMPLE_ARGUMENTS, cotangent},
                {node_samples, pixel_results, albedo_gradient}, context, workspace, diag, [&] {
                  return forward<&Table::opaque_albedo>(
                      kAlbedo.missing, diag, VREL_OPAQUE_SAMPLE_ARGUMENTS, cotangent, context,
                      node_samples, pixel_results, albedo_gradient, workspace, diag);
                });
}

extern "C" VREL_API VrelStatus vrel_shading_opaque_samples_workspace(
    uint64_t pixels, const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  return query(kSamples, pixels, context, bytes, alignment, diag);
}

extern "C" VREL_API VrelStatus vrel_shading_opaque_albedo_workspace(
    uint64_t pixels, const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  return query(kAlbedo, pixels, context, bytes, alignment, diag);
}
