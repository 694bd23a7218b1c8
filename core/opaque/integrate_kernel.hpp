// Colour integration kernel: per pixel, the integral of the visible, linearly interpolated
// per-corner colour and the visible area, and the vector-Jacobian product with respect to the
// vertices (x, y and depth z) and the colours.
#pragma once

#include <cstdint>

#include "opaque/coverage_kernel.hpp"

namespace vrel::opaque {

// The colour workspace and the offsets of the regions it uses; the other bytes are reserved.
inline constexpr uint64_t kIntegrateWorkspaceBytes = 1047584;
inline constexpr uint64_t kIntegrateBankA = 159264;
inline constexpr uint64_t kIntegrateBankB = 455200;
inline constexpr uint64_t kIntegrateTriangles = 751136;
inline constexpr uint64_t kIntegrateCandidates = 984608;
inline constexpr uint64_t kIntegrateWeights = 988704;

struct IntegrateWorkspace {
  ClipPolygon* bank_a;
  ClipPolygon* bank_b;
  ShadedTriangle* triangles;
  int64_t* candidates;
  DualValue (*weights)[3];
};

// The regions of an 8-byte aligned block of kIntegrateWorkspaceBytes.
IntegrateWorkspace integrate_workspace(void* data) noexcept;

// Fills `out` [H,W,4]: channels 0-2 the visible colour integrals, channel 3 the visible area.
// `colour` is [F,3,3] (face, corner, channel).
template <typename T>
Outcome integrate(const T* vertices, const int32_t* faces, const T* colour, int64_t face_count,
                  const Image& image, T* out, const IntegrateWorkspace& ws,
                  bool binned = true) noexcept;

// Fills `vertex_grad` [V,3] and `colour_grad` [F,3,3] from the cotangent `gradient` [H,W,4];
// `one_pass` as for coverage_backward.
template <typename T>
Outcome integrate_backward(const T* vertices, int64_t vertex_count, const int32_t* faces,
                           const T* colour, int64_t face_count, const Image& image,
                           const T* gradient, T* vertex_grad, T* colour_grad,
                           const IntegrateWorkspace& ws, bool binned = true,
                           bool one_pass = true) noexcept;

}  // namespace vrel::opaque
