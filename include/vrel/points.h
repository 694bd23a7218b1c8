/* vrel ABI v1: the points family. Included by vrel/vrel.h; include that header instead.
 *
 * Point proximity per batch element: the K nearest reference points of each query point, and the
 * closest point on the triangles of a mesh, each exactly as an exhaustive search in row order
 * finds it. Both come with a backward pass for the squared distances. float32 and float64 data; a
 * CUDA context is forwarded unchanged to the CUDA provider.
 *
 * Batches use packed offsets: an int32 [B+1] view whose entries start at 0, never decrease and
 * end at the packed row count. Points of batch element b are matched only against the reference
 * points (or faces) of element b. Neighbour, face and vertex indices are global rows; "none" is -1.
 *
 * Spatial index. On the CPU the forward searches build an index per call in the workspace: a
 * k-d tree over each batch element's reference points (k nearest neighbours), a bounding-volume
 * hierarchy over each element's faces (closest point). The _workspace exports report its size
 * (8-byte alignment), or 0 bytes at alignment 1 when the counts are too small for an index to pay.
 * Pruning uses only bounds that hold under rounding, so the results are the exhaustive search's
 * bit for bit: the same distances computed the same way, the same rows, ties to the lower row.
 * A workspace may still be null, or smaller than reported, misaligned, off the CPU or overlapping
 * an operand: the call then runs the exhaustive search, with the same results, and leaves the
 * buffer untouched. When given, the workspace must pass vrel_validate_buffer; the backward passes
 * do not use it. The operations allocate nothing.
 *
 * Statuses shared by the exports below (status 1 unless stated): the Diagnostic (6 or 1); a
 * non-CPU context or view (2); a view that fails vrel_validate_tensor_view (its own
 * status); an input view carrying VREL_TENSOR_OUTPUT, or an output view without it; a wrong shape
 * (the message names the operand and its shape); an unsupported data dtype (2); offsets that are
 * not int32 (2) or break the packed-offset rules; outputs that overlap an input, an offsets view
 * or another output. Without a CUDA provider, a CUDA context gives 2.
 */
#ifndef VREL_POINTS_H
#define VREL_POINTS_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* K nearest neighbours                                                                       */
/* ------------------------------------------------------------------------------------------ */

/*
 * For every query point, the K nearest reference points of its batch element by squared
 * Euclidean distance d = dz^2 + (dy^2 + dx^2), (dx, dy, dz) = query - reference, computed in the
 * data dtype. Reference points are visited in ascending row order and each is inserted after
 * every filled slot whose distance is <= d, so equal distances keep the lower row first.
 *
 *   query              [P,3] float32 or float64 (2 otherwise)
 *   reference          [R,3] the query dtype
 *   query_offsets      [B+1] int32 packed offsets over P
 *   reference_offsets  [B+1] int32 packed offsets over R
 *   neighbor_count     K >= 1
 *   distances  (out)   [P,K] query dtype: ascending squared distances; +infinity in empty slots
 *   indices    (out)   [P,K] int32: global reference row; -1 in empty slots
 *   valid      (out)   [P,K] bool: 1 for a filled slot, 0 for an empty one
 *
 * A batch element with fewer than K reference points leaves its trailing slots empty. P = 0
 * succeeds without writing.
 */
VREL_API VrelStatus vrel_points_knn(
    const VrelTensorView *query, const VrelTensorView *reference,
    const VrelTensorView *query_offsets, const VrelTensorView *reference_offsets,
    int64_t neighbor_count, const VrelExecutionContext *context, const VrelTensorView *distances,
    const VrelTensorView *indices, const VrelTensorView *valid,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the squared distances of vrel_points_knn. K is taken from indices.
 *
 *   query, reference       as in the forward
 *   indices                [P,K] int32, K >= 1: the forward's neighbour rows
 *   valid                  [P,K] bool: slots with valid 0 contribute nothing, whatever their index
 *   grad_distance_squared  [P,K] query dtype: cotangents of the distances
 *   grad_query     (out)   [P,3] query dtype, or null
 *   grad_reference (out)   [R,3] query dtype, or null (at least one of the two is required)
 *
 * Checks: indices rank 2 with K >= 1 ("indices must be a [P,K] tensor view") comes first, before
 * the context; then query and reference as in the forward, at least one gradient output, and
 * indices, valid, cotangents and the gradients, each by shape, validation, CPU, flag and dtype.
 * The given outputs are cleared, then for each valid slot with w = 2 * cotangent and
 * e = query[p] - reference[j]: grad_query[p] += w * e, grad_reference[j] -= w * e.
 * Wrong dtypes of indices ("indices must use the int32 dtype"), valid, cotangents and gradients
 * are status 1. The gradient outputs may not overlap each other or an input (status 1).
 * A valid slot whose index lies outside [0, R) is status 1, found before the outputs are
 * cleared: a refused call writes nothing.
 */
VREL_API VrelStatus vrel_points_knn_backward(
    const VrelTensorView *query, const VrelTensorView *reference, const VrelTensorView *indices,
    const VrelTensorView *valid, const VrelTensorView *grad_distance_squared,
    const VrelExecutionContext *context, const VrelTensorView *grad_query,
    const VrelTensorView *grad_reference, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of vrel_points_knn: on the CPU the size of the k-d tree over up to reference_count
 * points of the given dtype (about 8 + 3 x the dtype size bytes per reference point plus the
 * nodes) and of the query visiting order (8 bytes per query point), at alignment 8; 0 bytes at
 * alignment 1 below 64 reference points. The backward needs none. A CUDA context is handed to the
 * provider's workspace query (operation id 7, no counts). Statuses: negative counts (1), K < 1
 * (1), null result pointers (1), dtype not float32/float64 (2), the context (its validation
 * status; non-CPU 2).
 */
VREL_API VrelStatus vrel_points_knn_workspace(
    int64_t query_count, int64_t reference_count, int64_t neighbor_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *workspace_bytes, uint64_t *workspace_alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Closest point on a mesh                                                                    */
/* ------------------------------------------------------------------------------------------ */

/*
 * Which part of its face the closest point of vrel_points_closest_point_on_mesh lies on. Not an
 * output of the export; the region follows from the barycentric weights (a corner has one weight
 * 1, an edge one weight 0). Listed in the order the region test tries them.
 */
#define VREL_POINTS_REGION_CORNER_A 0u
#define VREL_POINTS_REGION_CORNER_B 1u
#define VREL_POINTS_REGION_EDGE_AB 2u
#define VREL_POINTS_REGION_CORNER_C 3u
#define VREL_POINTS_REGION_EDGE_AC 4u
#define VREL_POINTS_REGION_EDGE_BC 5u
#define VREL_POINTS_REGION_INSIDE 6u

/*
 * For every point, the nearest point on the usable faces of its batch element, found by visiting
 * the faces in ascending row order; a strictly smaller squared distance replaces the best, so
 * equal distances keep the earlier face. Arithmetic is in double precision; float32 results are
 * rounded on store. A face is usable when its doubled area |(B - A) x (C - A)| is greater than
 * eps.
 *
 *   points            [P,3] float32 or float64 (2 otherwise)
 *   vertices          [V,3] the points dtype
 *   faces             [F,3] int32 (2 otherwise): absolute vertex rows of the same batch element
 *   point_offsets, vertex_offsets, face_offsets   [B+1] int32 packed offsets over P, V and F
 *   eps               finite and >= 0
 *   distance_squared (out) [P]   points dtype; +infinity when no usable face
 *   face_index       (out) [P]   int32 global face row; -1 when none
 *   barycentric      (out) [P,3] points dtype: weights of the face's corners in faces order; 0s
 *   closest          (out) [P,3] points dtype: the closest point; 0s when none
 *   valid            (out) [P]   bool
 *
 * A face using a vertex outside its own batch element is refused (1) before anything is written.
 * Outputs may not overlap an input, an offsets view or another output (1).
 */
VREL_API VrelStatus vrel_points_closest_point_on_mesh(
    const VrelTensorView *points, const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelTensorView *point_offsets, const VrelTensorView *vertex_offsets,
    const VrelTensorView *face_offsets, double eps, const VrelExecutionContext *context,
    const VrelTensorView *distance_squared, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelTensorView *closest, const VrelTensorView *valid,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the squared distances of vrel_points_closest_point_on_mesh, with the
 * stored barycentrics and closest points taken as constants.
 *
 *   points, vertices, faces    as in the forward
 *   face_index             [P]   int32         barycentric  [P,3] points dtype
 *   closest                [P,3] points dtype  valid        [P]   bool
 *   grad_distance_squared  [P]   points dtype: cotangents of the squared distances
 *   grad_points   (out)    [P,3] points dtype, or null
 *   grad_vertices (out)    [V,3] points dtype, or null (at least one of the two is required)
 *
 * Checks run per view in argument order: shape, validation, CPU, access flag, then its dtype.
 * Backward input and output dtypes are status 1: "face indices must use the int32 dtype",
 * "barycentrics must match the points dtype", "closest points must match the points dtype",
 * "valid must use the bool dtype", "cotangents must match the points dtype", "point gradients
 * must match the points dtype", "vertex gradients must match the points dtype". The gradient
 * outputs may not overlap each other or an input (1).
 *
 * The given outputs are cleared; for each valid point, e = 2 * cotangent * (points - closest):
 * grad_points += e and each corner k of the face gains -e * barycentric[k]. A face index outside
 * [0, F) or a corner outside [0, V) of a valid point is status 1, found (in point order) before
 * the outputs are cleared: a refused call writes nothing.
 */
VREL_API VrelStatus vrel_points_closest_point_on_mesh_backward(
    const VrelTensorView *points, const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelTensorView *face_index, const VrelTensorView *barycentric,
    const VrelTensorView *closest, const VrelTensorView *valid,
    const VrelTensorView *grad_distance_squared, const VrelExecutionContext *context,
    const VrelTensorView *grad_points, const VrelTensorView *grad_vertices,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of vrel_points_closest_point_on_mesh: on the CPU the size of the bounding-volume
 * hierarchy over up to face_count faces (about 180 bytes per face plus the nodes, whatever the
 * dtype) and of the point visiting order (8 bytes per point), at alignment 8; 0 bytes at
 * alignment 1 below 32 faces. The backward needs none. A CUDA
 * context is handed to the provider's workspace query (operation id 8, no counts). Statuses:
 * negative counts (1), null result pointers (1), dtype not float32/float64 (2), the context (its
 * validation status; non-CPU 2).
 */
VREL_API VrelStatus vrel_points_closest_point_on_mesh_workspace(
    int64_t point_count, int64_t vertex_count, int64_t face_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *workspace_bytes, uint64_t *workspace_alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_POINTS_H */
