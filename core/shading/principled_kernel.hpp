// The principled BRDF over point/light pairs, in float64, with its Jacobian in forward-mode dual
// numbers, and the vector-Jacobian product. Typed pointers and counts only.
#pragma once

#include <cstdint>

#include "shading/curve_lookup.hpp"

namespace vrel::shading {

// Jacobian columns: normal xyz, view xyz, light xyz, albedo rgb, roughness, f0 rgb.
inline constexpr int kColumns = 16;
inline constexpr int kLightColumn = 6;
inline constexpr int kAlbedoColumn = 9;
inline constexpr int kRoughnessColumn = 12;

// The loss-curve inputs: rows of 10N - 6 entries (curve, partial), means [G,4], widths [G].
// `shared` selects row 0 for every point, else row p for point p.
struct PrincipledCurves {
  CosineAxis axis;
  const double* curve;
  const double* partial;
  const double* mean;
  const double* width;
  bool shared;
};

// Per-point and per-light parameters: normal, view, albedo, f0 [P,3], roughness [P],
// light [P,L,3].
struct PrincipledPoints {
  const double* normal;
  const double* view;
  const double* light;
  const double* albedo;
  const double* roughness;
  const double* f0;
  int64_t points;
  int64_t lights;
};

// Writes output [P,L,3] and, when `jacobian` is non-null, jacobian [P,L,3,16], pair by pair with
// points outer and lights inner. Returns false at the first pair whose evaluation fails (a
// direction that cannot be normalised or a non-finite result); earlier pairs stay written.
bool principled_forward(const PrincipledCurves& curves, const PrincipledPoints& points,
                        bool two_sided, double* output, double* jacobian) noexcept;

enum class PrincipledVjpFault { kNone, kPoint, kLight };

// light_gradient[p,l,m] = (J[p,l,0,6+m] g[p,l,0] + J[p,l,1,6+m] g[p,l,1]) + J[p,l,2,6+m] g[p,l,2];
// point_gradient[p,j] = the pairwise sum over lights of the same three-term product for column
// j (0 for the light columns), the per-light terms laid out in `scratch` (`lights` doubles).
PrincipledVjpFault principled_vjp(const double* jacobian, const double* gradient, int64_t points,
                                  int64_t lights, double* scratch, double* point_gradient,
                                  double* light_gradient) noexcept;

}  // namespace vrel::shading
