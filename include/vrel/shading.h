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
VREL_API VrelStatus vrel_shading_unit_newton(
    const VrelTensorView *input, const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_unit_newton_workspace(
    int64_t count, const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * The robust unit vector of every row: m = largest absolute component, (a, b, c) = row / m,
 * s = (a^2 + b^2) + c^2, r = six Newton steps for sqrt(s) from 1.5, output = (a/r, b/r, c/r).
 *   input   [n, 3], n <= 1048576; every row finite and not all zero
 *   output  [n, 3]
 * Sentences: "unit vectors input shape invalid" (not rank 2 with extent 3), "unit vectors
 * require finite nonzero vectors".
 */
VREL_API VrelStatus vrel_shading_unit_vectors(
    const VrelTensorView *input, const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_unit_vectors_workspace(
    int64_t count, const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * output[c] = carry[c] + values[0][c] + values[1][c] + ..., one addition at a time in row order.
 *   carry   [4], finite
 *   values  [n, 4], n <= 800, finite (n = 0 gives the carry)
 *   output  [4]
 * Sentences: "ordered RGBA values rank invalid", "ordered RGBA carry must be finite", "ordered
 * RGBA values must be finite"; a non-finite sum is status 4 "ordered RGBA overflow" (written).
 */
VREL_API VrelStatus vrel_shading_ordered_rgba(
    const VrelTensorView *carry, const VrelTensorView *values, const VrelExecutionContext *context,
    const VrelTensorView *output, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_ordered_rgba_workspace(
    int64_t count, const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
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
VREL_API VrelStatus vrel_shading_delta_brdf_workspace(
    int64_t points, int64_t directions, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ========================================================================================== */
/* End of the shading utilities                                                               */
/* ========================================================================================== */

/* ========================================================================================== */
/* Principled shading and loss curves                                                         */
/* ========================================================================================== */

/*
 * A principled BRDF (GGX microfacet specular with height-correlated Smith visibility and Schlick
 * Fresnel, plus a diffuse term compensated for the energy the specular lobe loses) over pairs of
 * a shading point and one of its lights, with its exact Jacobian; and the loss curves that drive
 * that diffuse term, with their queries and means. Float64 only; every tensor is dense
 * row-major, on the context's device (type and index).
 *
 * Loss curves. A curve row describes, for one value of a material coordinate u in [0, 1], two
 * channels E0(mu) (Fresnel reflectance 0) and E1(mu) (reflectance 1) of the cosine mu on a
 * logarithmic cosine axis of N nodes (1 <= N <= 512): 10N - 6 entries, of which 2j and 2j + 1
 * hold the channels at node j, 2N and 2N + 1 the channels at cosine 0, and then, for each
 * interval c between nodes c and c + 1, four cubic Bezier control points P0..P3 as channel pairs
 * at 2N + 2 + 8c + 2k + channel. Below the first node (and everywhere when N = 1) a row is
 * linear in mu from its value at cosine 0; from the first node on it is the interval's Bezier in
 * t = (ln mu - logs[c]) / (logs[c+1] - logs[c]), c the largest node with cn[c] <= mu (at most
 * N - 2). A partial row, in the same layout, is the exact derivative of the curve row in u.
 * ln is the library's own logarithm and exp its own exponential (the same bits everywhere).
 *
 * Shared rules of the ten exports below (status 1 unless stated):
 *  - the Diagnostic is reset and the context validated (their statuses); a device other than
 *    the CPU or CUDA is "curve device unsupported";
 *  - each tensor is validated (vrel_validate_tensor_view), then must have the float64 dtype (the
 *    owners of a query: int32), the documented rank, the context's device type and index, and
 *    the output flag exactly when it is an output: else "curve tensor dtype/rank/device/flags
 *    invalid" (owners: "query owners dtype/shape/device/flags invalid"); then the documented
 *    extents: else "curve tensor shape invalid" (owners: the same owners sentence);
 *  - the scratch check, over the operation's views with its outputs last: no workspace
 *    (3, "curve requires caller scratch"); vrel_validate_buffer; another device than the
 *    context's, a declared alignment below 8 or a data address not a multiple of 8 ("curve
 *    scratch device/alignment invalid"); capacity below the required bytes (3, "curve scratch
 *    too small"); a view overlapping the required span [data, data + bytes) ("curve scratch
 *    aliases tensor"); two views overlapping of which one is an output ("curve output aliases
 *    tensor"). The first 8 bytes of the scratch are not used;
 *  - CUDA: the workspace size comes from the provider's workspace-query entry (operation ids 21
 *    loss curve, 22 loss query, 23 principled pairs, 24 principled groups and shared groups,
 *    with the counts named below and dtype float64), and after the checks the call is forwarded
 *    unchanged to the provider's entry; the provider's status is returned. A provider without
 *    the entry (or its table too short for it) is status 2 with the operation's sentence;
 *  - argument failures (1, 2, 3) come before any write; arithmetic failures (4) after partial
 *    writes.
 */

/* Options word of the principled exports. Any other bit is "Principled options invalid". */
#define VREL_SHADING_TWO_SIDED 1u   /* flip the normal towards the viewer */
#define VREL_SHADING_DERIVATIVES 2u /* also write the Jacobian */

/*
 * BRDF value of every pair (point p, light l), p outer and l inner, and optionally its Jacobian.
 *
 *   cn         [N] cosine nodes: strictly increasing, in (0, 1], the last exactly 1
 *   logs       [N] their logarithms: each <= 0, strictly increasing, finite differences
 *   curve      [G, 10N-6] loss-curve rows; every channel pair satisfies 0 <= c1 <= c0 <= 1
 *   partial    [G, 10N-6] their u-derivatives (used by the Jacobian)
 *   mean       [G, 4] cosine-weighted means of curve channels 0 and 1 (column 0 in (0, 1],
 *              column 1 in (0, column 0]) and of partial channels 0 and 1 (columns 2, 3)
 *   width      [G] positive: the span of roughness that u covers (see the roughness column)
 *   normal     [P, 3] shading normal, not all zero
 *   view       [P, 3] direction towards the viewer, not all zero
 *   light      [P, L, 3] directions towards the lights, not all zero
 *   albedo     [P, 3] each in [0, 1]
 *   roughness  [P] in (0, 1]
 *   f0         [P, 3] Fresnel reflectance at normal incidence, each in [0, 1]
 *   options    VREL_SHADING_TWO_SIDED | VREL_SHADING_DERIVATIVES
 *   output (out)    [P, L, 3] BRDF per channel, without the cosine factor
 *   jacobian (out)  [P, L, 3, 16] with VREL_SHADING_DERIVATIVES, else [0]: d output channel /
 *                   d parameter, columns normal xyz, view xyz, light xyz, albedo rgb, roughness,
 *                   f0 rgb
 *   workspace  P * max(L, 1) * 8 + 8 bytes at alignment 8 (the _workspace query)
 *
 * G is P (row p serves point p) for pairs and groups, 1 (shared by every point) for shared
 * groups. Limits: L <= 1024 and P * L <= 1024; P <= 8 for pairs (4 with the Jacobian), 128 for
 * groups and shared groups.
 *
 * Evaluation of a pair: n, v, l are normalised by the robust unit rule (divide by the largest
 * absolute component, then by the square root of the sum of squares taken by six Newton steps
 * from 1.5); with two-sided shading the normal is negated when n.v < 0; if n.v <= 0 or n.l <= 0
 * the three values (and their Jacobian rows) are exactly 0. Otherwise h = unit(v + l), and the
 * cosines n.v, n.l, n.h, v.h are clamped into [0, 1] (unit vectors may come out an ulp longer
 * than 1, so a view or light along the normal is valid). With E0, E1 the curve looked up at n.v
 * (V) and n.l (L), a = roughness^2, a2 = a^2:
 *   LambdaX = sqrt(NdotX^2 (1 - a2) + a2), Dn = (1 - NdotH)(1 + NdotH) + NdotH^2 a2,
 *   specular = 0.5 / (LambdaV NdotL + LambdaL NdotV) * (a2 / Dn^2 / pi),
 *   per channel with f = f0, q = 1 - f, F = 1 - VdotH:
 *   output = albedo (q E0V + f E1V)(q E0L + f E1L) / ((q mean0 + f mean1) pi)
 *            + specular (F^5 q + f).
 *
 * The Jacobian is computed in forward-mode dual numbers with sixteen tangents seeded in the
 * column order, so it is exact to rounding, not an estimate (the values are the same bits with
 * and without it; a clamped cosine contributes no derivative). The roughness column also carries
 * the dependence of the curves and the means on roughness, derived from how the loss-curve export
 * makes them: a row is the curve at u, its partial row dC/du exactly (the lookup and the means are
 * linear in the row, so the lookup of the partial row is dE/du and mean columns 2, 3 are d
 * mean0/du, d mean1/du), and the roughness maps to u affinely, u = (roughness - roughness_0) /
 * width, so that dE/droughness = partial lookup / width,  d mean_k/droughness = mean[2 + k] /
 * width. A caller whose u is another function of roughness passes width = 1 / (du/droughness) at
 * the point. For shared groups the shared row's derivative is applied to every point's roughness.
 * The cosines move E through the slope of the curve (the lookup's derivative in mu).
 *
 * Statuses, in order (1 unless stated): the shared rules; options of 4 or more; the fourteen
 * views validated; cn not rank 1, normal not rank 2 or light not rank 3 ("Principled extent ranks
 * invalid"); N outside 1..512 ("Principled node count invalid"); the limits above ("Principled
 * point/light limits invalid"); the tensor rules; the scratch check; CUDA forwarding ("CUDA
 * provider lacks Principled pairs", shared groups: "CUDA provider lacks shared Principled
 * groups"); a non-finite input ("Principled finite inputs required"); cn or logs outside their
 * domain ("Principled axes domain"); the last cn not 1 ("Principled cosine axis endpoint"); a
 * width or mean outside its domain ("Principled width/mean domain"); per point, roughness outside
 * (0, 1] ("Principled roughness domain") or a zero normal or view ("Principled zero point
 * direction"); a zero light ("Principled zero light direction"); albedo or f0 outside [0, 1]
 * ("Principled albedo/F0 domain"); a curve pair outside 0 <= c1 <= c0 <= 1 ("Principled curve
 * domain"). A pair whose half vector cannot be formed or whose values or Jacobian entries are
 * not finite is status 4 "Principled arithmetic overflow"; the pairs before it stay written.
 */
VREL_API VrelStatus
vrel_shading_principled_pairs(const VrelTensorView *cn, const VrelTensorView *logs,
                              const VrelTensorView *curve, const VrelTensorView *partial,
                              const VrelTensorView *mean, const VrelTensorView *width,
                              const VrelTensorView *normal, const VrelTensorView *view,
                              const VrelTensorView *light, const VrelTensorView *albedo,
                              const VrelTensorView *roughness, const VrelTensorView *f0,
                              uint32_t options, const VrelExecutionContext *context,
                              const VrelTensorView *output, const VrelTensorView *jacobian,
                              const VrelBufferDescriptor *workspace, VrelDiagnostic *diag)
    VREL_NOEXCEPT;

/* As vrel_shading_principled_pairs with P <= 128 (with or without the Jacobian). */
VREL_API VrelStatus vrel_shading_principled_groups(
    const VrelTensorView *cn, const VrelTensorView *logs, const VrelTensorView *curve,
    const VrelTensorView *partial, const VrelTensorView *mean, const VrelTensorView *width,
    const VrelTensorView *normal, const VrelTensorView *view, const VrelTensorView *light,
    const VrelTensorView *albedo, const VrelTensorView *roughness, const VrelTensorView *f0,
    uint32_t options, const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelTensorView *jacobian, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* As the groups export with one curve row (curve, partial [1, 10N-6], mean [1, 4], width [1])
 * shared by every point. Its workspace is that of the groups. */
VREL_API VrelStatus vrel_shading_principled_shared_groups(
    const VrelTensorView *cn, const VrelTensorView *logs, const VrelTensorView *curve,
    const VrelTensorView *partial, const VrelTensorView *mean, const VrelTensorView *width,
    const VrelTensorView *normal, const VrelTensorView *view, const VrelTensorView *light,
    const VrelTensorView *albedo, const VrelTensorView *roughness, const VrelTensorView *f0,
    uint32_t options, const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelTensorView *jacobian, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the principled forward from its Jacobian.
 *
 *   jacobian              [P, L, 3, 16] as the forward wrote it (rank other than 4: "Principled
 *                         Jacobian rank invalid"); P and L follow the limits with the Jacobian
 *   gradient              [P, L, 3] cotangent of the output
 *   point_gradient (out)  [P, 16]: column j is the pairwise sum over the lights (adjacent pairs
 *                         added pass after pass, an odd last element carried) of
 *                         (J[.,0,j] g[.,0] + J[.,1,j] g[.,1]) + J[.,2,j] g[.,2]; the light
 *                         columns 6..8 are 0
 *   light_gradient (out)  [P, L, 3]: the same three-term product for columns 6..8
 *   workspace             P * max(L, 1) * 8 + 8 bytes (the query with derivatives 1)
 * Statuses after the shared rules and the tensor checks (in the order jacobian, gradient, light
 * gradient, point gradient) and the scratch check: a non-finite Jacobian entry ("Principled
 * Jacobian must be finite") or cotangent ("Principled cotangent must be finite"); a non-finite
 * result, status 4 "Principled point VJP overflow" or "Principled light VJP overflow".
 */
VREL_API VrelStatus vrel_shading_principled_pairs_backward(
    const VrelTensorView *jacobian, const VrelTensorView *gradient,
    const VrelExecutionContext *context, const VrelTensorView *point_gradient,
    const VrelTensorView *light_gradient, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* As the pairs backward with the groups' limits (P <= 128). */
VREL_API VrelStatus vrel_shading_principled_groups_backward(
    const VrelTensorView *jacobian, const VrelTensorView *gradient,
    const VrelExecutionContext *context, const VrelTensorView *point_gradient,
    const VrelTensorView *light_gradient, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch of the principled exports: P * max(L, 1) * 8 + 8 bytes at alignment 8 on the CPU; on
 * CUDA the provider's answer for (P, L, derivatives). derivatives other than 0 or 1, P < 0, P
 * above the variant's limit, L above 1024 (compared unsigned), P * L above 1024 or a null result
 * pointer: status 1 "Principled point/light limits invalid". The groups query also serves the
 * shared groups.
 */
VREL_API VrelStatus vrel_shading_principled_pairs_workspace(
    int64_t points, int64_t lights, int32_t derivatives, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_shading_principled_groups_workspace(
    int64_t points, int64_t lights, int32_t derivatives, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Loss-curve rows for B coordinates u (B <= 32).
 *
 *   axis           [N] the log-cosine axis: finite, each <= 0, strictly increasing with finite
 *                  differences ("curve axis domain")
 *   controls       [B, 2N+1, 4] per batch element, 2N + 1 cubic Bezier quadruples over u in the
 *                  log domain, each value finite and in [-745, 0] ("curve control domain")
 *   u              [B] each in [0, 1] ("curve coordinate domain")
 *   curve (out)    [B, 10N-6]
 *   partial (out)  [B, 10N-6] the exact u-derivative of curve
 *   workspace      max(4N, 10N-6) * B * 8 + 8 bytes at alignment 8
 *
 * Quadruple q gives entry q of both rows (node values, then the channel-0 value at cosine 0;
 * entry 2N + 1 is 0): with s = 1 - u, c = exp(B(u)) and its u-derivative
 * 3 (((q1 - q0)s + (q2 - q1)u)s + ((q3 - q2)u + (q2 - q1)s)u) c. Each channel's tangent at a node,
 * with respect to the log axis, is the slope toward the neighbour at the two ends and inside the
 * three-point estimate passed through a monotonicity filter (zero at a local extremum or beside
 * a flat interval, else at most three times the smaller adjacent secant, scaled by
 * 0.9999999999999982 when the filter acts), so each channel is monotone between nodes whose
 * values are monotone. Interval j has P0 = y_j, P1 = P0 + d m_j / 3, P2 = y_(j+1) - d m_(j+1) / 3,
 * P3 = y_(j+1), d = axis[j+1] - axis[j]. The partial row is the u-derivative of all of this,
 * filter included. Statuses: the shared rules; axis or u not rank 1 ("curve axis/u must be rank
 * one"); B above 32 or N outside 1..512 ("curve batch/nodes/results invalid"); the tensor rules;
 * the scratch check; CUDA ("CUDA provider lacks native loss curve family"); the domains; a
 * non-finite entry, status 4 "curve arithmetic overflow".
 */
VREL_API VrelStatus vrel_shading_loss_curve(
    const VrelTensorView *axis, const VrelTensorView *controls, const VrelTensorView *u,
    const VrelExecutionContext *context, const VrelTensorView *curve, const VrelTensorView *partial,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * u gradient of the loss curve: u_gradient[b] = pairwise sum over k of partial[b,k] *
 * gradient[b,k].
 *
 *   partial           [B, L], 4 <= L <= 5114 with L + 6 a multiple of 10 (else "curve partial
 *                     shape invalid"); N = (L + 6) / 10
 *   gradient          [B, L] cotangent of the curve rows
 *   u_gradient (out)  [B]
 *   workspace         the loss-curve query's bytes for (B, N)
 * Statuses: the shared rules and the loss-curve limits; non-finite partial or gradient ("curve
 * VJP inputs must be finite"); status 4 "curve VJP product overflow" or "curve VJP sum overflow".
 */
VREL_API VrelStatus vrel_shading_loss_curve_backward(
    const VrelTensorView *partial, const VrelTensorView *gradient,
    const VrelExecutionContext *context, const VrelTensorView *u_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of the loss curve and its backward: B above 32, N outside 1..512 or a null result is
 * status 1 "curve batch/nodes/results invalid"; CPU max(4N, 10N-6) * B * 8 + 8 bytes, alignment
 * 8; CUDA the provider's answer for (B, N), status 2 "CUDA provider lacks native loss curve
 * family" without one. */
VREL_API VrelStatus vrel_shading_loss_curve_workspace(
    uint64_t batch, uint64_t nodes, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Lookups of loss curves at Q cosines (Q <= 1056) and the cosine-weighted means of B rows.
 *
 *   cn, logs      [N] as for the principled exports ("query axes domain"; the last cn not 1:
 *                 "query cosine axis must end at one")
 *   weights       [N-1, 4] (an empty [0, 4] when N = 1): finite and non-negative ("query weights
 *                 domain"); weights[k, l] is the integral over t in [0, 1] of the Bernstein
 *                 polynomial l of degree 3 times (mu(t) / cn[k+1])^2, mu(t) = exp(logs[k] +
 *                 t (logs[k+1] - logs[k]))
 *   curve, partial [B, 10N-6] finite ("query curve must be finite")
 *   cosine        [Q] each in [0, 1]
 *   owners        [Q] int32, each in [0, B) (either fault: "query coordinate/owner domain")
 *   query (out)   [Q, 6] per query the lookup of row owners[q] at cosine[q]: value 0, value 1,
 *                 partial 0, partial 1, slope 0, slope 1 (slopes in the cosine)
 *   mean (out)    [B, 4] the integrals of 2 mu E(mu) over [0, 1] of curve channels 0, 1 and
 *                 partial channels 0, 1: the pairwise sum over intervals k and control points l
 *                 of (logs[k+1] - logs[k]) (2 cn[k+1]^2) P(k,l) weights[k,l], plus
 *                 cn[0]^2 (2 R[ch] + R[2N+ch]) / 3 for the linear start segment
 *   workspace     B * max(4N, Q) * 8 + 8 bytes at alignment 8
 * Statuses: the shared rules; cn not rank 1, curve not rank 2 or cosine not rank 1 ("query extent
 * ranks invalid"); the limits ("query extent invalid"); the tensor rules; the scratch check; CUDA
 * ("CUDA provider lacks query family"); the domains; status 4 "query arithmetic overflow" or
 * "mean arithmetic overflow".
 */
VREL_API VrelStatus vrel_shading_loss_query(
    const VrelTensorView *cn, const VrelTensorView *logs, const VrelTensorView *weights,
    const VrelTensorView *curve, const VrelTensorView *partial, const VrelTensorView *cosine,
    const VrelTensorView *owners, const VrelExecutionContext *context, const VrelTensorView *query,
    const VrelTensorView *mean, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Gradients of the query's values (columns 0, 1) and means (columns 0, 1) in the cosines and in
 * the u of each row.
 *
 *   query, mean, owners    as the query wrote them ([Q, 6], [B, 4], int32 [Q])
 *   gradient               [Q, 2] cotangent of query columns 0 and 1
 *   mean_gradient          [B, 2] cotangent of mean columns 0 and 1
 *   cosine_gradient (out)  [Q]: gradient[q,0] query[q,4] + gradient[q,1] query[q,5]
 *   u_gradient (out)       [B]: mean_gradient[b,1] mean[b,3] + mean[b,2] mean_gradient[b,0] +
 *                          the pairwise sum, in query order, over the queries b owns of
 *                          gradient[q,1] query[q,3] + gradient[q,0] query[q,2]
 *   workspace              Q * 8 + 8 bytes at alignment 8. This export does not receive N: it
 *                          needs Q doubles, never more than the query reports for the same B and
 *                          Q with any N (on CUDA the provider is asked with N = 0)
 * Statuses: the shared rules; a rank other than 2, 2, 1, 2, 2 ("query backward ranks invalid");
 * B above 32, Q above 1056 or B = 0 with Q > 0 ("query extent invalid"); the tensor rules; the
 * scratch check; CUDA; non-finite inputs ("query partial must be finite", "mean partial must be
 * finite", "query gradient must be finite", "mean gradient must be finite"); an owner outside
 * [0, B) ("query owner domain"); status 4 "cosine VJP overflow" or "coordinate VJP overflow".
 */
VREL_API VrelStatus vrel_shading_loss_query_backward(
    const VrelTensorView *query, const VrelTensorView *mean, const VrelTensorView *owners,
    const VrelTensorView *gradient, const VrelTensorView *mean_gradient,
    const VrelExecutionContext *context, const VrelTensorView *cosine_gradient,
    const VrelTensorView *u_gradient, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of the loss query: B above 32, N outside 1..512, Q above 1056, B = 0 with Q > 0 or a
 * null result is status 1 "query extent invalid"; CPU B * max(4N, Q) * 8 + 8 bytes, alignment 8;
 * CUDA the provider's answer for (B, N, Q), status 2 "CUDA provider lacks query family" without
 * one. */
VREL_API VrelStatus vrel_shading_loss_query_workspace(
    uint64_t batch, uint64_t nodes, uint64_t queries, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ========================================================================================== */
/* End of principled shading and loss curves                                                  */
/* ========================================================================================== */

/* ========================================================================================== */
/* Opaque shading samples                                                                     */
/* ========================================================================================== */
/*
 * Shading at the nodes of the opaque quadrature (vrel_render_opaque_quadrature): for C pixels
 * (1 <= C <= 16) of 800 node slots each, every used node is lifted to a point on the surface of
 * its owner face and the principled BRDF (vrel_shading_principled_shared_groups, one shared loss
 * curve row, one material, one directional light, one-sided) is evaluated there. The node
 * weights then integrate the shaded radiance over the visible part of each pixel.
 *
 * Inputs, in argument order (float64 unless stated):
 *   owners      [C, 800] int32: the owner face of each slot, or -1 for an empty slot
 *   q           [C, 800, 4]: per slot (l0, l1, l2, weight), the screen-space barycentric
 *               coordinates of the node in its owner face and its weight in pixel-area units
 *   world       [Vw, 3] world-space vertex positions
 *   faces       [Fw, 3] int32 vertex rows of the faces the owners index, each in [0, Vw)
 *   clip        [Vw, 4] clip-space vertex positions; only w (column 3) is read, and it must be
 *               positive at every corner of an owner face (the face lies before the camera)
 *   normals     [Fw, 3, 3] one shading normal per face corner, not all zero at owner faces
 *   camera      [3] the world-space camera position
 *   cn, logs, curve [1, 10N-6], partial [1, 10N-6], mean [1, 4], width [1]: one loss curve row
 *               with the domain of vrel_shading_principled_groups (1 <= N <= 512)
 *   albedo [3], roughness [1], f0 [3]: the material of every face, with the principled domain
 *   direction   [3] towards the light, not all zero (not necessarily unit)
 *   incoming    [3] the radiance the light sends, each channel >= 0
 *   Vw and Fw are at most 238,609,294; either may be 0 when every slot is empty.
 *
 * Lifting a used node (owner f with corners k0, k1, k2, screen barycentrics l0, l1, l2):
 *   perspective-correct barycentrics: t_i = l_i / w_ki with w the clip w of corner k_i,
 *   b_i = t_i / ((t0 + t1) + t2);
 *   position  = (b0 X_k0 + b1 X_k1) + b2 X_k2 per axis, X = world;
 *   normal    = the same combination of the face's three corner normals; the BRDF normalises it
 *               by the robust unit rule (largest component, six Newton steps);
 *   view      = camera - position (towards the camera; normalised the same way);
 *   light     = direction, unit l by the same rule; cosine = (n_x l_x + n_y l_y) + n_z l_z with
 *               n the unit normal, w = max(cosine, 0).
 * The BRDF is one-sided: a normal facing away from the view or the light gives 0 radiance.
 *
 * Node samples (output [C, 800, 4]) per slot, with brdf the BRDF's three channels:
 *   channel c < 3: ((brdf_c * incoming_c) * w) * weight   (the shaded radiance times the weight)
 *   channel 3:     weight
 *   An empty slot (owner -1) holds 0 in all four channels.
 * Pixel results (output [C, 4]): for each channel, the pairwise sum over the 800 slots in slot
 *   order (adjacent pairs added, an odd last value carried, until one remains): channels 0-2
 *   the radiance integrated over the pixel's visible surface (the pixel colour), channel 3 the
 *   sum of the weights (the visible area).
 * Albedo gradient (output [C, 3], albedo variant only): the vector-Jacobian product of the pixel
 *   colours with the cotangent [C, 3]. Albedo channel c acts on colour channel c alone, so
 *   albedo_gradient[p, c] = cotangent[p, c] * D[p, c], where D[p, c] is the pairwise sum over the
 *   slots of ((J_c * incoming_c) * w) * weight and J_c the BRDF's exact derivative of channel c
 *   in albedo c (its Jacobian column). Summing over the C rows gives the gradient of
 *   sum(cotangent * colour) with respect to albedo.
 *
 * Evaluation: pixel by pixel; the 800 slots in blocks of 128 (the last holds 32): a block is
 * lifted, then shaded, its values kept in the scratch (four doubles per slot, seven with the
 * three albedo derivative terms), then the pixel's slot values are summed. A node that cannot be
 * shaded (an interpolated normal or a view direction that is zero, perspective weights that
 * cancel, a BRDF failure) or any non-finite value stops the call with status 4 "opaque sample
 * arithmetic overflow" ("opaque albedo arithmetic overflow"); earlier pixels and the failing
 * pixel's earlier slots are written.
 *
 * Checks, in order (status 1 unless stated): the Diagnostic; the context (its status), a device
 * other than the CPU or CUDA ("curve device unsupported"); vrel_validate_tensor_view over every
 * view in argument order; q not of rank 3, world or faces not of rank 2 or cn not of rank 1
 * ("opaque sample ranks invalid"); the workspace rule with C = q's extent 0; N outside 1..512 or
 * an extent 0 of world or faces above 238,609,294 ("opaque sample geometry/axis extent
 * invalid"); then each tensor in argument order: dtype (int32 for owners and faces), rank, the
 * context's device type and index and the output flag on the outputs alone ("opaque sample
 * dtype/rank/device/flags invalid"), its extents ("opaque sample shape invalid"; albedo: "opaque
 * albedo shape invalid"); the scratch check of vrel_shading_principled_groups over every view,
 * the outputs last, with the size below; CUDA: forwarded unchanged to the provider's entry. CPU:
 * every float input finite, owners -1 or in [0, Fw), face rows in [0, Vw), the clip w and corner
 * normals of owner faces as above, the loss curve, material, direction and incoming domains
 * ("opaque sample input domain"); albedo variant: a cotangent element not finite ("opaque albedo
 * cotangent domain"). No output byte is written before the checks pass.
 */

/* Pixels of one call and node slots per pixel. */
#define VREL_SHADING_OPAQUE_MAX_PIXELS 16
#define VREL_SHADING_OPAQUE_NODES 800

VREL_API VrelStatus vrel_shading_opaque_samples(
    const VrelTensorView *owners, const VrelTensorView *q, const VrelTensorView *world,
    const VrelTensorView *faces, const VrelTensorView *clip, const VrelTensorView *normals,
    const VrelTensorView *camera, const VrelTensorView *cn, const VrelTensorView *logs,
    const VrelTensorView *curve, const VrelTensorView *partial, const VrelTensorView *mean,
    const VrelTensorView *width, const VrelTensorView *albedo, const VrelTensorView *roughness,
    const VrelTensorView *f0, const VrelTensorView *direction, const VrelTensorView *incoming,
    const VrelExecutionContext *context, const VrelTensorView *node_samples,
    const VrelTensorView *pixel_results, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of vrel_shading_opaque_samples: after the Diagnostic, the context and the device rule,
 * C outside 1..16 or a null result is status 1 "opaque sample pixel count/results invalid"; on
 * CUDA a provider without the entry is status 2 "CUDA provider lacks opaque samples". On either
 * device C * 25,600 + 8 bytes (four doubles per slot and 8 bytes the kernel does not use) at
 * alignment 8. */
VREL_API VrelStatus vrel_shading_opaque_samples_workspace(
    uint64_t pixels, const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* The samples and pixel results as vrel_shading_opaque_samples computes them, and the albedo
 * gradient [C, 3] of the pixel colours for the cotangent [C, 3] (described above). The checks
 * are those of vrel_shading_opaque_samples with the cotangent after incoming and the three
 * outputs, and the albedo sentences named above. */
VREL_API VrelStatus vrel_shading_opaque_albedo(
    const VrelTensorView *owners, const VrelTensorView *q, const VrelTensorView *world,
    const VrelTensorView *faces, const VrelTensorView *clip, const VrelTensorView *normals,
    const VrelTensorView *camera, const VrelTensorView *cn, const VrelTensorView *logs,
    const VrelTensorView *curve, const VrelTensorView *partial, const VrelTensorView *mean,
    const VrelTensorView *width, const VrelTensorView *albedo, const VrelTensorView *roughness,
    const VrelTensorView *f0, const VrelTensorView *direction, const VrelTensorView *incoming,
    const VrelTensorView *cotangent, const VrelExecutionContext *context,
    const VrelTensorView *node_samples, const VrelTensorView *pixel_results,
    const VrelTensorView *albedo_gradient, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of vrel_shading_opaque_albedo: as for the samples with "opaque albedo pixel
 * count/results invalid" and "CUDA provider lacks opaque albedos"; C * 44,800 + 8 bytes (seven
 * doubles per slot) at alignment 8. */
VREL_API VrelStatus vrel_shading_opaque_albedo_workspace(
    uint64_t pixels, const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ========================================================================================== */
/* End of the opaque shading samples                                                          */
/* ========================================================================================== */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_SHADING_H */
