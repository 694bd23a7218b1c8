// Shading at the opaque quadrature's nodes: each used slot is lifted to a surface point of its
// owner face, shaded by the principled BRDF for one directional light, and weighted; a pixel's
// slots are then summed pairwise. Typed pointers and counts only.
#pragma once

#include <cstdint>

#include "shading/principled_kernel.hpp"

namespace vrel::shading {

inline constexpr int64_t kOpaqueSlots = 800;  // node slots per pixel
inline constexpr int64_t kOpaqueBlock = 128;  // slots lifted and shaded together
inline constexpr int kSampleValues = 4;       // radiance x weight (3), weight
inline constexpr int kAlbedoValues = 7;       // the samples and three albedo derivative terms

// The geometry the owners index: world [V,3], faces [F,3], clip [V,4] (only w is read), corner
// normals [F,3,3] and the camera position [3].
struct OpaqueMesh {
  const double* world;
  const int32_t* faces;
  const double* clip;
  const double* normals;
  const double* camera;
};

// One material and one light for every face; `curves` holds the one shared loss curve row.
struct OpaqueMaterial {
  PrincipledCurves curves;
  const double* albedo;     // [3]
  const double* roughness;  // [1]
  const double* f0;         // [3]
  const double* direction;  // [3] towards the light
  const double* incoming;   // [3]
};

// A node lifted to the surface: the world position and the interpolated (not normalised) normal.
struct SurfacePoint {
  double position[3];
  double normal[3];
};

// Perspective-correct lift of screen barycentrics l[3] in face `face`: t_i = l_i / w_i,
// b_i = t_i / ((t0 + t1) + t2), position and normal (b0 a0 + b1 a1) + b2 a2. False when the
// perspective weights do not give a finite combination.
bool lift_node(const OpaqueMesh& mesh, int32_t face, const double* l, SurfacePoint& out) noexcept;

// The pixels' node samples [C,800,4], pixel results [C,4] and, when `cotangent` [C,3] is given,
// the albedo gradient [C,3]. `scratch` holds C * 800 * (4 or 7) doubles. Returns false at the
// first slot that cannot be shaded or the first non-finite value (earlier values are written).
bool opaque_samples(const int32_t* owners, const double* q, int64_t pixels, const OpaqueMesh& mesh,
                    const OpaqueMaterial& material, const double* cotangent, double* scratch,
                    double* node_samples, double* pixel_results, double* albedo_gradient) noexcept;

}  // namespace vrel::shading
