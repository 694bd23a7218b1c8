/* vrel ABI v1: the shading family. Included by vrel/vrel.h; include that header instead.
 *
 * Shading operators in float64. Tensors are dense (vrel_validate_tensor_view), float64, on the
 * context's device type and index.
 */
#ifndef VREL_SHADING_H
#define VREL_SHADING_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ========================================================================================== */
/* Shading utilities                                                                          */
/* ========================================================================================== */
/*
 * Four small kernels that expose the family's numerical building blocks one by one, so that
 * callers and other backends can reproduce them bit for bit: the Newton square root, robust
 * unit vectors, an ordered RGBA accumulation and delta lights through a given BRDF.
 *
 * Every export resets the Diagnostic and validates the context; a device other than the CPU or
 * CUDA is status 1 "curve device unsupported".
 *
 * Workspace queries (counts, context, size result, alignment result, Diagnostic): after the
 * context, a count above the operation's limit (or negative) or a null result pointer is
 * status 1 with the operation's count sentence ("unit Newton count/results invalid", "unit
 * vectors count/results invalid", "ordered RGBA count/results invalid", "delta BRDF
 * count/results invalid"); on CUDA a provider without the operation's entry is status 2 ("CUDA
 * provider lacks unit Newton", "... unit vectors", "... ordered RGBA", "... delta BRDF");
 * otherwise the answer is 8 bytes at alignment 8.
 *
 * Compute exports, in order: the context; vrel_validate_tensor_view over every view in argument
 * order; the operation's shape sentence; the workspace rule with the counts taken from the
 * inputs; every tensor float64 with the expected rank on the context's device, inputs without
 * and outputs with VREL_TENSOR_OUTPUT (1, "curve tensor dtype/rank/device/flags invalid"), then
 * the expected extents (1, "curve tensor shape invalid"); the scratch: null (3, "curve requires
 * caller scratch"), vrel_validate_buffer (its status), another device, a declared alignment
 * below 8 or an address not a multiple of 8 (1, "curve scratch device/alignment invalid"),
 * capacity below 8 (3, "curve scratch too small"), its first 8 bytes overlapping a tensor (1,
 * "curve scratch aliases tensor"), an output overlapping another tensor (1, "curve output
 * aliases tensor"); CUDA: forwarded unchanged to the provider's entry; CPU: the operation's
 * domain rules (status 1) and its kernel. Domain failures write nothing; status 4 comes after
 * partial writes.
 */

/* Limits of the utilities' counts. */
#define VREL_SHADING_UNIT_MAX_COUNT 1048576
#define VREL_SHADING_ORDERED_RGBA_MAX_ROWS 800
#define VREL_SHADING_DELTA_MAX_POINTS 128
#define VREL_SHADING_DELTA_MAX_DIRECTIONS 8

/*
 * output[i] = r after six Newton steps r = (r + x/r) * 0.5 from r = 1.5, x = input[i]. This is
 * sqrt(x) to rounding only where six steps converge (x roughly above 0.2).
 *   input   [n], n <= 1048576; every value finite in (0, 4]
 *   output  [n]
 * Sentences: "unit Newton input rank invalid" (input not rank 1), "unit Newton input must be
 * finite in (0,4]".
 */
VREL_API VrelStatus vrel_shading_unit_newton(const VrelTensorView *input,
                                             const VrelExecutionContext *context,
                                             const VrelTensorView *output,
                                             const VrelBufferDescriptor *workspace,
                                             VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_unit_newton_workspace(int64_t count,
                                                       const VrelExecutionContext *context,
                                                       uint64_t *bytes, uint64_t *alignment,
                                                       VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * The robust unit vector of every row: m = largest absolute component, (a, b, c) = row / m,
 * s = (a^2 + b^2) + c^2, r = six Newton steps for sqrt(s) from 1.5, output = (a/r, b/r, c/r).
 *   input   [n, 3], n <= 1048576; every row finite and not all zero
 *   output  [n, 3]
 * Sentences: "unit vectors input shape invalid" (not rank 2 with extent 3), "unit vectors
 * require finite nonzero vectors".
 */
VREL_API VrelStatus vrel_shading_unit_vectors(const VrelTensorView *input,
                                              const VrelExecutionContext *context,
                                              const VrelTensorView *output,
                                              const VrelBufferDescriptor *workspace,
                                              VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_unit_vectors_workspace(int64_t count,
                                                        const VrelExecutionContext *context,
                                                        uint64_t *bytes, uint64_t *alignment,
                                                        VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * output[c] = carry[c] + values[0][c] + values[1][c] + ..., one addition at a time in row order.
 *   carry   [4], finite
 *   values  [n, 4], n <= 800, finite (n = 0 gives the carry)
 *   output  [4]
 * Sentences: "ordered RGBA values rank invalid", "ordered RGBA carry must be finite", "ordered
 * RGBA values must be finite"; a non-finite sum is status 4 "ordered RGBA overflow" (written).
 */
VREL_API VrelStatus vrel_shading_ordered_rgba(const VrelTensorView *carry,
                                              const VrelTensorView *values,
                                              const VrelExecutionContext *context,
                                              const VrelTensorView *output,
                                              const VrelBufferDescriptor *workspace,
                                              VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_ordered_rgba_workspace(int64_t count,
                                                        const VrelExecutionContext *context,
                                                        uint64_t *bytes, uint64_t *alignment,
                                                        VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Delta lights through a BRDF. For each point b, n = the robust unit vector of normal[b]; for
 * each direction d, cos = (n_x l_x + n_y l_y) + n_z l_z with l = direction[b, d] as given (not
 * normalised) and w = max(cos, 0):
 *   incoming_gradient[b, d, c] = (cotangent[b, c] * w) * brdf[b, d, c]
 *   radiance[b, c] = pairwise sum over d of (brdf[b, d, c] * incoming[b, d, c]) * w
 * (adjacent pairs added, an odd last value carried, until one remains). A light below the
 * surface (cos <= 0) contributes 0 and gets a 0 gradient.
 *   normal     [B, 3], finite, not all zero
 *   brdf       [B, D, 3], B <= 128, D <= 8; finite, nonnegative
 *   direction  [B, D, 3], finite, not all zero
 *   incoming   [B, D, 3], finite, nonnegative
 *   cotangent  [B, 3], finite
 *   radiance   output [B, 3]; incoming_gradient output [B, D, 3]
 * Sentences: "delta BRDF shape invalid" (brdf not rank 3 with last extent 3), "delta BRDF input
 * domain"; a non-finite result is status 4 "delta BRDF arithmetic overflow".
 */
VREL_API VrelStatus vrel_shading_delta_brdf(
    const VrelTensorView *normal, const VrelTensorView *brdf, const VrelTensorView *direction,
    const VrelTensorView *incoming, const VrelTensorView *cotangent,
    const VrelExecutionContext *context, const VrelTensorView *radiance,
    const VrelTensorView *incoming_gradient, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_delta_brdf_workspace(int64_t points, int64_t directions,
                                                      const VrelExecutionContext *context,
                                                      uint64_t *bytes, uint64_t *alignment,
                                                      VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ========================================================================================== */
/* End of the shading utilities                                                               */
/* ========================================================================================== */

#ifdef __cplusplus
}
#endif

#endif /* VREL_SHADING_H */
