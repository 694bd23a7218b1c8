#include "shading/opaque_samples_kernel.hpp"

#include <cmath>

#include "math/pairwise.hpp"
#include "math/unit_vector.hpp"

namespace vrel::shading {
namespace {

// out = (b0 r0 + b1 r1) + b2 r2, axis by axis.
void combine(const double* b, const double* r0, const double* r1, const double* r2,
             double* out) noexcept {
  for (int axis = 0; axis < 3; ++axis)
    out[axis] = (b[0] * r0[axis] + b[1] * r1[axis]) + b[2] * r2[axis];
}

// A block of lifted slots: whether each is used, its normal and its view direction.
struct Block {
  bool used[kOpaqueBlock];
  double normal[kOpaqueBlock][3];
  double view[kOpaqueBlock][3];
};

// Lifts slots [begin, begin + count) of one pixel; false when a used slot cannot be lifted.
bool lift_block(const int32_t* owners, const double* q, int64_t begin, int64_t count,
                const OpaqueMesh& mesh, Block& block) noexcept {
  for (int64_t i = 0; i < count; ++i) {
    const int32_t owner = owners[begin + i];
    block.used[i] = owner >= 0;
    if (!block.used[i]) continue;
    SurfacePoint point;
    if (!lift_node(mesh, owner, q + (begin + i) * 4, point)) return false;
    for (int axis = 0; axis < 3; ++axis) {
      block.normal[i][axis] = point.normal[axis];
      block.view[i][axis] = mesh.camera[axis] - point.position[axis];
    }
  }
  return true;
}

// The values of one used slot: ((brdf_c * incoming_c) * max(n . l, 0)) * weight, the weight, and
// with `albedo` the same products of the BRDF's derivative in albedo c. False when the BRDF
// fails or a value is not finite.
bool shade_node(const OpaqueMaterial& material, const double* light, const double* normal,
                const double* view, double weight, bool albedo, double* value) noexcept {
  const PrincipledPoints point{
      normal, view, material.direction, material.albedo, material.roughness, material.f0, 1, 1};
  double brdf[3], jacobian[3 * kColumns];
  if (!principled_forward(material.curves, point, false, brdf, albedo ? jacobian : nullptr))
    return false;
  double n[3];
  if (!math::robust_unit(normal, n)) return false;
  const double cosine = (n[0] * light[0] + n[1] * light[1]) + n[2] * light[2];
  const double lit = cosine > 0.0 ? cosine : 0.0;
  for (int c = 0; c < 3; ++c) {
    value[c] = ((brdf[c] * material.incoming[c]) * lit) * weight;
    if (albedo) {
      const double derivative = jacobian[c * kColumns + kAlbedoColumn + c];
      value[kSampleValues + c] = ((derivative * material.incoming[c]) * lit) * weight;
    }
  }
  value[3] = weight;
  for (int k = 0; k < (albedo ? kAlbedoValues : kSampleValues); ++k)
    if (!std::isfinite(value[k])) return false;
  return true;
}

}  // namespace

bool lift_node(const OpaqueMesh& mesh, int32_t face, const double* l, SurfacePoint& out) noexcept {
  const int32_t* corner = mesh.faces + 3 * static_cast<int64_t>(face);
  double t[3];
  for (int k = 0; k < 3; ++k) t[k] = l[k] / mesh.clip[4 * static_cast<int64_t>(corner[k]) + 3];
  const double sum = (t[0] + t[1]) + t[2];
  const double b[3] = {t[0] / sum, t[1] / sum, t[2] / sum};
  if (!std::isfinite(b[0]) || !std::isfinite(b[1]) || !std::isfinite(b[2])) return false;
  combine(b, mesh.world + 3 * static_cast<int64_t>(corner[0]),
          mesh.world + 3 * static_cast<int64_t>(corner[1]),
          mesh.world + 3 * static_cast<int64_t>(corner[2]), out.position);
  const double* normals = mesh.normals + 9 * static_cast<int64_t>(face);
  combine(b, normals, normals + 3, normals + 6, out.normal);
  for (int axis = 0; axis < 3; ++axis)
    if (!std::isfinite(out.position[axis]) || !std::isfinite(out.normal[axis])) return false;
  return true;
}

bool opaque_samples(const int32_t* owners, const double* q, int64_t pixels, const OpaqueMesh& mesh,
                    const OpaqueMaterial& material, const double* cotangent, double* scratch,
                    double* node_samples, double* pixel_results, double* albedo_gradient) noexcept {
  const bool albedo = cotangent != nullptr;
  const int lanes = albedo ? kAlbedoValues : kSampleValues;
  double light[3];
  if (!math::robust_unit(material.direction, light)) return false;
  Block block;
  for (int64_t pixel = 0; pixel < pixels; ++pixel) {
    const int32_t* pixel_owners = owners + pixel * kOpaqueSlots;
    const double* pixel_q = q + pixel * kOpaqueSlots * 4;
    double* out = node_samples + pixel * kOpaqueSlots * 4;
    // Lane k of slot s at scratch[k * 800 + s]: each lane is summed in place afterwards.
    double* lane = scratch + pixel * kOpaqueSlots * lanes;
    for (int64_t begin = 0; begin < kOpaqueSlots; begin += kOpaqueBlock) {
      const int64_t count =
          kOpaqueSlots - begin < kOpaqueBlock ? kOpaqueSlots - begin : kOpaqueBlock;
      if (!lift_block(pixel_owners, pixel_q, begin, count, mesh, block)) return false;
      for (int64_t i = 0; i < count; ++i) {
        const int64_t slot = begin + i;
        double value[kAlbedoValues] = {};
        if (block.used[i] && !shade_node(material, light, block.normal[i], block.view[i],
                                         pixel_q[slot * 4 + 3], albedo, value))
          return false;
        for (int k = 0; k < kSampleValues; ++k) out[slot * 4 + k] = value[k];
        for (int k = 0; k < lanes; ++k) lane[k * kOpaqueSlots + slot] = value[k];
      }
    }
    for (int k = 0; k < kSampleValues; ++k) {
      const double sum = math::pairwise_sum_inplace(lane + k * kOpaqueSlots, kOpaqueSlots);
      if (!std::isfinite(sum)) return false;
      pixel_results[pixel * 4 + k] = sum;
    }
    if (albedo) {
      for (int c = 0; c < 3; ++c) {
        const double sum =
            math::pairwise_sum_inplace(lane + (kSampleValues + c) * kOpaqueSlots, kOpaqueSlots);
        const double gradient = cotangent[pixel * 3 + c] * sum;
        if (!std::isfinite(gradient)) return false;
        albedo_gradient[pixel * 3 + c] = gradient;
      }
    }
  }
  return true;
}

}  // namespace vrel::shading
