/* vrel ABI v1: the animation family. Included by vrel/vrel.h; include that header instead.
 *
 * Pose and deformation operators with their vector-Jacobian products: the Rodrigues map from
 * axis-angle vectors to rotation matrices, forward kinematics over a skeleton hierarchy, blend
 * shapes, linear blend skinning and barycentric evaluation (landmarks on deformed meshes).
 * Float32 data are computed in float32 arithmetic and float64 data in float64; matrices are
 * row-major. A gradient output left null is not computed (requested-gradient subsets); at
 * least one gradient output must be given.
 *
 * Checks, in order (status 1 unless stated; the first failure decides status and message):
 *  1. a broken Diagnostic (6 or 1); the context fails vrel_validate_execution_context (its
 *     status); a CUDA context continues with the CUDA checks below; a non-null workspace that
 *     fails vrel_validate_buffer or is not CPU storage ("animation workspace must match the
 *     execution device", status 1 in both cases).
 *  2. the first floating input's dtype is not float32/float64 (the operation's own sentence);
 *  3. every tensor in argument order (inputs, cotangent, then outputs; the forward-kinematics
 *     backward checks its gradient output before its cotangent): a null required view
 *     ("tensor view pointer is null"); "animation tensor has wrong rank"; "animation tensor has
 *     wrong shape" (extents are taken from the earlier tensors); vrel_validate_tensor_view (its
 *     status); not on the CPU ("animation tensors must match CPU execution device"); a dtype
 *     other than the operation's ("animation tensor dtype mismatch"); an input carrying
 *     VREL_TENSOR_OUTPUT or an output lacking it ("animation input/output flags are invalid");
 *     a floating input holding an infinity or NaN ("animation floating inputs must be finite");
 *  4. aliasing of byte ranges: "animation output aliases an input", "animation outputs overlap",
 *     "animation workspace overlaps output", "animation workspace overlaps input" (the
 *     workspace span is the bytes the operation uses, [data, data + required));
 *  5. the operation's own data rules, then the kernel;
 *  6. every written output element is tested: an infinity or NaN is status 4 "animation
 *     arithmetic is not representable" (the outputs have been written then).
 * Gradient outputs are written in full (cleared, then accumulated).
 *
 * CUDA (context valid and naming VREL_DEVICE_CUDA, after the Diagnostic reset and the context
 * validation): every tensor is validated and must have the expected rank, the operation's dtype
 * and the context's device ("animation tensor rank, dtype or device mismatch"), the expected
 * extents ("animation tensor shape mismatch") and the right access flag ("animation tensor
 * access flags invalid"). The device scratch must cover the provider's workspace answer for the
 * same counts (asked as the _workspace export asks it; a provider that reports success without
 * writing leaves the CPU requirement): a null or smaller workspace is status 3 "animation CUDA
 * scratch too small", one that fails vrel_validate_buffer gives its status, one on another
 * device "animation scratch device mismatch", a declared alignment or address below the reported
 * alignment "animation CUDA scratch misaligned". The request is then forwarded unchanged to the
 * provider's entry (its status is returned); a provider table too short for the entry or an
 * empty entry is status 2 "CUDA <operation> unavailable", <operation> being one of Rodrigues,
 * FK, blend, skinning, barycentric, each also with " backward". No CUDA tensor is read by the
 * core, so the finiteness and alias rules are the provider's.
 *
 * Workspace queries (counts as signed 64-bit values, then the dtype code, context, two result
 * pointers, Diagnostic): a broken Diagnostic; vrel_validate_execution_context; a null result
 * pointer or a negative count ("animation workspace counts/results invalid"); a dtype other than
 * float32/float64 (2, "animation supports float32 and float64"); a count above 2147483647 or a
 * product of counts beyond the operation's limit (4, "animation counts overflow"). On the CPU
 * only forward kinematics needs scratch; the other queries answer 0 bytes at alignment 1. On
 * CUDA the CPU answer is computed first (with a CPU copy of the context; within 8 of 2^64 is
 * status 4), then the provider's workspace-query entry is asked (operation ids 14 blend shapes,
 * 15 Rodrigues with counts [1, N], 16 forward kinematics [B, J], 17 skinning [B, V, J],
 * 18 barycentric evaluation [B, V, L]); a provider without that entry is status 2.
 */
#ifndef VREL_ANIMATION_H
#define VREL_ANIMATION_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Highest rank of an axis-angle view (its rotation output has one more dimension). */
#define VREL_ANIMATION_MAX_AXIS_ANGLE_RANK 63u

/* ------------------------------------------------------------------------------------------ */
/* Rodrigues rotations                                                                        */
/* ------------------------------------------------------------------------------------------ */

/*
 * Rotation matrix of every axis-angle vector v = (x, y, z), angle |v| about v / |v|:
 * R = I + A K + B (v v^T - t I), t = |v|^2, K the cross-product matrix of v, A = sin(theta)/theta,
 * B = (1 - cos(theta))/t. For t <= 2^-8 A and B come from their Taylor series (five terms),
 * otherwise from the closed form with B = 2 sin^2(theta/2)/t.
 *
 *   axis_angle    [..., 3] float32/float64, rank 1..63 (else "axis_angle must have shape [...,3]
 *                 within the native rank limit"; another dtype: "axis_angle must be float32 or
 *                 float64")
 *   output (out)  [..., 3, 3] the axis_angle dtype
 *   workspace     may be null (none needed on the CPU)
 * Statuses: as above; a squared angle that overflows is status 4 "Rodrigues squared angle
 * overflow" (tested for every vector before anything is written).
 */
VREL_API VrelStatus vrel_transforms_rodrigues(
    const VrelTensorView *axis_angle, const VrelExecutionContext *context,
    const VrelTensorView *output, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the Rodrigues map: grad_axis_angle[k] = sum over the nine entries of
 * grad_output * dR/dv_k, with the same coefficient branch as the forward.
 *
 *   axis_angle            [..., 3] float32/float64
 *   grad_output           [..., 3, 3] the axis_angle dtype (null: "Rodrigues backward requires a
 *                         cotangent")
 *   grad_axis_angle (out) [..., 3] the axis_angle dtype
 */
VREL_API VrelStatus vrel_transforms_rodrigues_backward(
    const VrelTensorView *axis_angle, const VrelTensorView *grad_output,
    const VrelExecutionContext *context, const VrelTensorView *grad_axis_angle,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of either Rodrigues export for N vectors: 0 bytes, alignment 1 on the CPU. */
VREL_API VrelStatus vrel_transforms_rodrigues_workspace(
    int64_t vector_count, uint32_t dtype, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Forward kinematics                                                                         */
/* ------------------------------------------------------------------------------------------ */

/*
 * World transforms of a skeleton: W[j] = L[j] for a root (parents[j] = -1), else
 * W[j] = W[parents[j]] x L[j]. Joints are evaluated in a deterministic order: at each step the
 * lowest-index joint whose parent is a root marker or already evaluated.
 *
 *   local        [B, J, 4, 4] float32/float64 (another dtype: "FK local requires float32 or
 *                float64")
 *   parents      [J] int32: -1 or a joint index other than j ("invalid skeleton parent index");
 *                a hierarchy with a cycle fails with "skeleton hierarchy contains a cycle"
 *   world (out)  [B, J, 4, 4] the local dtype
 *   workspace    the query's bytes, 8-byte aligned (declared alignment and address): smaller or
 *                missing is status 3 "FK workspace is too small", misaligned "FK workspace
 *                requires 8-byte alignment". Layout: evaluation order (J int32), visited flags
 *                (J int32), world matrices (B x J x 16), world cotangents (B x J x 16).
 * J = 0 succeeds and writes nothing. A product that is not finite is status 4 "FK matrix product
 * overflow" (the world matrices are built in the workspace, so the output is then untouched).
 */
VREL_API VrelStatus vrel_skeleton_forward_kinematics(
    const VrelTensorView *local, const VrelTensorView *parents, const VrelExecutionContext *context,
    const VrelTensorView *world, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of forward kinematics. The world transforms are recomputed in the
 * workspace; then, in reverse evaluation order, each joint's total world cotangent
 * Gw[j] = grad_world[j] + sum over children c of Gw[c] x L[c]^T gives
 * grad_local[j] = Gw[j] for a root and W[parent]^T x Gw[j] otherwise.
 *
 *   local, parents    as in the forward
 *   grad_world        [B, J, 4, 4] the local dtype (null: "FK backward requires cotangent")
 *   grad_local (out)  [B, J, 4, 4] the local dtype
 *   workspace         as in the forward
 */
VREL_API VrelStatus vrel_skeleton_forward_kinematics_backward(
    const VrelTensorView *local, const VrelTensorView *parents, const VrelTensorView *grad_world,
    const VrelExecutionContext *context, const VrelTensorView *grad_local,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch of either forward-kinematics export: (128 B + 8) J bytes for float32, (256 B + 8) J for
 * float64, alignment 8. A null byte-count pointer is status 1 "FK workspace size pointer is null";
 * B x J above 3074457345618258602 is status 4 "animation counts overflow"; a byte count beyond
 * 64 bits is status 4 "FK workspace extent overflow".
 */
VREL_API VrelStatus vrel_skeleton_forward_kinematics_workspace(
    int64_t batch, int64_t joints, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Blend shapes                                                                               */
/* ------------------------------------------------------------------------------------------ */

/*
 * output[b][v] = template[v] + sum over shapes s of weights[b][s] x deltas[s][v].
 *
 *   template      [V, 3] float32/float64 (another dtype: "template must be float32 or float64")
 *   deltas        [K, V, 3] the template dtype
 *   weights       [B, K] the template dtype
 *   output (out)  [B, V, 3] the template dtype
 * K = 0 copies the template into every batch element.
 */
VREL_API VrelStatus vrel_mesh_blend_shapes(
    const VrelTensorView *template_vertices, const VrelTensorView *deltas,
    const VrelTensorView *weights, const VrelExecutionContext *context,
    const VrelTensorView *output, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of blend shapes: grad_template = sum over b of G[b];
 * grad_deltas[s] = sum over b of weights[b][s] G[b]; grad_weights[b][s] = <deltas[s], G[b]>.
 *
 *   grad_output                  [B, V, 3] (null: "blend backward requires cotangent")
 *   grad_template (out or null)  [V, 3]; grad_deltas (out or null) [K, V, 3];
 *   grad_weights (out or null)   [B, K]; all null: "at least one animation gradient is required"
 */
VREL_API VrelStatus vrel_mesh_blend_shapes_backward(
    const VrelTensorView *template_vertices, const VrelTensorView *deltas,
    const VrelTensorView *weights, const VrelTensorView *grad_output,
    const VrelExecutionContext *context, const VrelTensorView *grad_template,
    const VrelTensorView *grad_deltas, const VrelTensorView *grad_weights,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch of either blend-shape export: 0 bytes, alignment 1 on the CPU. Overflow (status 4):
 * a count above 2147483647, V > 0 with B or K above 3074457345618258602 / V, or K > 0 with B
 * above 9223372036854775807 / K. The skinning and barycentric queries share this rule with their
 * counts in the same positions.
 */
VREL_API VrelStatus vrel_mesh_blend_shapes_workspace(
    int64_t batch, int64_t vertex_count, int64_t shape_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Linear blend skinning                                                                      */
/* ------------------------------------------------------------------------------------------ */

/*
 * output[b][v][r] = sum over joints j of weights[v][j] x (T[r] . (p, 1)), T = transforms[b][j],
 * p = vertices[b][v], rows r = 0, 1, 2 (row 3 of every transform is not read).
 *
 *   vertices      [B, V, 3] float32/float64 (another dtype: "vertices require float32 or float64")
 *   transforms    [B, J, 4, 4] the vertex dtype
 *   weights       [V, J] the vertex dtype
 *   output (out)  [B, V, 3] the vertex dtype
 * V > 0 with J = 0 fails with "nonempty skinning vertices require at least one joint".
 */
VREL_API VrelStatus vrel_mesh_skin_lbs(
    const VrelTensorView *vertices, const VrelTensorView *transforms, const VrelTensorView *weights,
    const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of skinning: grad_vertices[b][v] = sum over j of weights[v][j] T^T G
 * (rows 0..2); grad_transforms[b][j][r][c] = sum over v of weights[v][j] G[b][v][r] (p, 1)[c] for
 * r < 3 and 0 in row 3; grad_weights[v][j] = sum over b of G[b][v] . (T (p, 1)).
 *
 *   grad_output                    [B, V, 3] (null: "skinning backward requires cotangent")
 *   grad_vertices (out or null)    [B, V, 3]; grad_transforms (out or null) [B, J, 4, 4];
 *   grad_weights (out or null)     [V, J]; all null: "at least one animation gradient is required"
 */
VREL_API VrelStatus vrel_mesh_skin_lbs_backward(
    const VrelTensorView *vertices, const VrelTensorView *transforms, const VrelTensorView *weights,
    const VrelTensorView *grad_output, const VrelExecutionContext *context,
    const VrelTensorView *grad_vertices, const VrelTensorView *grad_transforms,
    const VrelTensorView *grad_weights, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of either skinning export (B, V, J): 0 bytes, alignment 1 on the CPU; V > 0 with J = 0
 * is status 1 "nonempty skinning vertices require at least one joint". */
VREL_API VrelStatus vrel_mesh_skin_lbs_workspace(
    int64_t batch, int64_t vertex_count, int64_t joint_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Barycentric evaluation                                                                     */
/* ------------------------------------------------------------------------------------------ */

/*
 * Landmarks on a batch of deformed meshes: with f = face_index[l] and (i0, i1, i2) = faces[f],
 * output[b][l] = w0 vertices[b][i0] + w1 vertices[b][i1] + w2 vertices[b][i2],
 * (w0, w1, w2) = barycentric[l].
 *
 *   vertices      [B, V, 3] float32/float64 (another dtype: "vertices require float32 or float64")
 *   faces         [F, 3] int32 in [0, V) (else "faces contain an out-of-range vertex")
 *   face_index    [L] int32 in [0, F) (else "landmark face_index is out of range")
 *   barycentric   [L, 3] the vertex dtype
 *   output (out)  [B, L, 3] the vertex dtype
 * Both index arrays are checked in full before anything is written.
 */
VREL_API VrelStatus vrel_mesh_evaluate_barycentric(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelExecutionContext *context,
    const VrelTensorView *output, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of barycentric evaluation: grad_vertices[b][v] = sum over landmarks l
 * and corners k with i_k = v of w_k G[b][l], accumulated with l ascending and k ascending (zero
 * for vertices no landmark names; a vertex repeated in a face receives each corner's share);
 * grad_barycentric[l][k] = sum over b of G[b][l] . vertices[b][i_k]. Costs B x L, not B x V x L.
 *
 *   grad_output                     [B, L, 3] (null: "landmark backward requires cotangent")
 *   grad_vertices (out or null)     [B, V, 3]; grad_barycentric (out or null) [L, 3];
 *   all null: "at least one animation gradient is required"
 */
VREL_API VrelStatus vrel_mesh_evaluate_barycentric_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelTensorView *grad_output,
    const VrelExecutionContext *context, const VrelTensorView *grad_vertices,
    const VrelTensorView *grad_barycentric, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* Scratch of either barycentric export (B, V, L): 0 bytes, alignment 1 on the CPU. */
VREL_API VrelStatus vrel_mesh_evaluate_barycentric_workspace(
    int64_t batch, int64_t vertex_count, int64_t landmark_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_ANIMATION_H */
