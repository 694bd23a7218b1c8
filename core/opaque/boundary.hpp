// The integration along one side of every pixel behind the quadrature front end: the edges 0..3
// of vrel_render_opaque_boundary_quadrature.
#pragma once

#include "opaque/checks.hpp"

namespace vrel::opaque {

// After the caller's reset and edge range check (edge in 0..3): the front end's head, then on
// CUDA its device checks and the provider's opaque_boundary_quadrature entry (2 "CUDA opaque
// boundary unavailable" without it), on the CPU its host checks (outputs as owners [H*W,800] and
// nodes [H*W,800,4]) and the boundary kernel (4 "quadrature capacity/arithmetic overflow; partial
// outputs invalid").
VrelStatus boundary_side_quadrature(const frame::Frame& f, const QuadratureOperands& ops,
                                    int32_t edge) noexcept;

}  // namespace vrel::opaque
