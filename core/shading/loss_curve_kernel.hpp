// Loss-curve rows from log-domain Bezier controls over the material coordinate u, and the
// vector-Jacobian product in u. Typed pointers and counts only.
#pragma once

#include <cstdint>

namespace vrel::shading {

// Doubles of scratch the kernel uses: one channel's tangents at every node with their
// u-derivatives.
inline constexpr int64_t loss_curve_scratch(int64_t nodes) noexcept { return 2 * nodes; }

// For each of `batch` coordinates u[b]: curve row b (10N - 6 entries) and its exact u-derivative,
// partial row b. axis [N] is the log-cosine axis, controls [B, 2N+1, 4] the log-domain Bezier
// quadruples over u. `scratch` holds loss_curve_scratch(N) doubles. False when an entry is not
// finite (rows up to and including the failing one may be written).
bool loss_curve_rows(const double* axis, int64_t nodes, const double* controls, const double* u,
                     int64_t batch, double* curve, double* partial, double* scratch) noexcept;

enum class VjpFault { kNone, kProduct, kSum };

// u_gradient[b] = pairwise sum over k of partial[b,k] * gradient[b,k] (row length `length`),
// with the products laid out in `scratch` (`length` doubles).
VjpFault loss_curve_vjp(const double* partial, const double* gradient, int64_t batch,
                        int64_t length, double* scratch, double* u_gradient) noexcept;

}  // namespace vrel::shading
