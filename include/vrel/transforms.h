/* vrel ABI v1: the transforms family. Included by vrel/vrel.h; include that header instead.
 *
 * Batched 4x4 transforms of packed 3-D points into homogeneous coordinates, and the perspective
 * divide into normalized device coordinates, each with a backward pass (vector-Jacobian product).
 * float32 and float64 data, computed in the data dtype. A CUDA context is forwarded, arguments
 * unchanged and before anything else (the Diagnostic reset included), to the CUDA provider;
 * without one the status is 2.
 *
 * Matrices are row-major [B,4,4]: element (r, c) of matrix b is at b*16 + r*4 + c. Points are
 * column vectors multiplied from the left, so the translation sits in the last column. Batches use
 * packed offsets: an int32 [B+1] view starting at 0, never decreasing and ending at P; points
 * offsets[b] .. offsets[b+1]-1 are transformed by matrix b.
 *
 * None of these operations needs scratch memory: the _workspace exports report 0 bytes at
 * alignment 1 on the CPU. A workspace may be null; when given it must pass vrel_validate_buffer
 * and is not otherwise used.
 *
 * Statuses shared by the exports (status 1 unless stated): the Diagnostic (6 or 1); a context
 * that fails vrel_validate_execution_context, or is not the CPU (2); a view that fails
 * vrel_validate_tensor_view (its own status); a view not on the CPU (2); an input carrying
 * VREL_TENSOR_OUTPUT; an output without it; a wrong shape (the message names the operand and its
 * shape); an unsupported dtype (2) or one that differs from the points' (or the homogeneous
 * input's) dtype (1); offsets that are not int32 (2) or break the packed-offset rules; an output
 * that overlaps an input, the offsets or another output.
 */
#ifndef VREL_TRANSFORMS_H
#define VREL_TRANSFORMS_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * homogeneous[j] = M_b * (x, y, z, 1) for every point j of batch element b.
 *   points             [P,3] float32 or float64
 *   matrices           [B,4,4] points dtype
 *   point_offsets      [B+1] int32 packed offsets over P (B = 0 needs [0] and P = 0)
 *   homogeneous (out)  [P,4] points dtype: (X, Y, Z, W)
 * P = 0 succeeds without writing. CUDA workspace-query operation id 4.
 */
VREL_API VrelStatus vrel_transforms_transform_points(
    const VrelTensorView *points, const VrelTensorView *matrices,
    const VrelTensorView *point_offsets, const VrelExecutionContext *context,
    const VrelTensorView *homogeneous, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of vrel_transforms_transform_points.
 *   points, matrices, point_offsets   as in the forward
 *   grad_homogeneous      [P,4] points dtype: cotangents of the homogeneous points
 *   grad_points   (out)   [P,3] points dtype, or null: M_b^T g, first three components
 *   grad_matrices (out)   [B,4,4] points dtype, or null: sum over the points of b of
 *                         g (x, y, z, 1)^T, accumulated in ascending point order
 * At least one gradient output is required. Each given output is cleared in full first, so a
 * batch element without points has a zero matrix gradient.
 */
VREL_API VrelStatus vrel_transforms_transform_points_backward(
    const VrelTensorView *points, const VrelTensorView *matrices,
    const VrelTensorView *point_offsets, const VrelTensorView *grad_homogeneous,
    const VrelExecutionContext *context, const VrelTensorView *grad_points,
    const VrelTensorView *grad_matrices, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch requirement of transform_points and its backward: 0 bytes, alignment 1, on the CPU.
 *   point_count, batch_count   nonnegative (1 otherwise)
 *   dtype                      VREL_DTYPE_FLOAT32 or VREL_DTYPE_FLOAT64 (2 otherwise)
 * A CUDA context asks the provider (operation id 4); 1 for a null result pointer.
 */
VREL_API VrelStatus vrel_transforms_transform_points_workspace(
    int64_t point_count, int64_t batch_count, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * ndc[i] = (X/W, Y/W, Z/W) where |W| > eps, compared in double precision (a float32 W is widened
 * first); elsewhere (|W| <= eps, or W NaN) ndc[i] = (0, 0, 0). eps = 0 rejects exactly W = 0.
 *   homogeneous   [P,4] float32 or float64
 *   eps           finite and nonnegative (1 otherwise, checked before the context)
 *   ndc   (out)   [P,3] homogeneous dtype
 *   valid (out)   [P] bool: 1 where the divide was performed, else 0
 * P = 0 succeeds without writing. CUDA workspace-query operation id 5.
 */
VREL_API VrelStatus vrel_transforms_perspective_divide(
    const VrelTensorView *homogeneous, double eps, const VrelExecutionContext *context,
    const VrelTensorView *ndc, const VrelTensorView *valid, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of vrel_transforms_perspective_divide. Where |W| > eps, with g the ndc
 * cotangent: (g0/W, g1/W, g2/W, -((X/W) g0 + (Y/W) g1 + (Z/W) g2)/W); elsewhere 0. The valid
 * mask carries no gradient.
 *   homogeneous, eps             as in the forward
 *   grad_ndc                     [P,3] homogeneous dtype
 *   grad_homogeneous (out)       [P,4] homogeneous dtype, written in full
 */
VREL_API VrelStatus vrel_transforms_perspective_divide_backward(
    const VrelTensorView *homogeneous, double eps, const VrelTensorView *grad_ndc,
    const VrelExecutionContext *context, const VrelTensorView *grad_homogeneous,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch requirement of perspective_divide and its backward: 0 bytes, alignment 1, on the CPU.
 *   point_count   nonnegative (1 otherwise)
 *   dtype         VREL_DTYPE_FLOAT32 or VREL_DTYPE_FLOAT64 (2 otherwise)
 * A CUDA context asks the provider (operation id 5); 1 for a null result pointer.
 */
VREL_API VrelStatus vrel_transforms_perspective_divide_workspace(
    int64_t point_count, uint32_t dtype, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_TRANSFORMS_H */
