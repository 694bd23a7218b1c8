/* vrel ABI v1: the analytic opaque renderer (exact coverage and exact colour integration).
 * Included by vrel/vrel.h; include that header instead.
 *
 * Every pixel value is a closed-form integral over convex polygons: no sampling, no blur. The
 * result is anti-aliased by construction, and the vertex gradients are exact wherever the
 * arrangement of the triangles changes continuously.
 *
 * Data:
 *   vertices  [V,3] float32 or float64, in pixel units of the image plane: x, y; z is the depth
 *             (smaller is nearer) and is used by colour integration only. Every coordinate
 *             finite with magnitude <= 1048576.
 *   faces     [F,3] int32 vertex rows in [0, V); winding does not matter.
 *   image     H, W in [1, 1048576]; origin (ox, oy) finite with magnitude <= 1048576. Pixel
 *             (row j, column i) is the closed square [ox + i, ox + i + 1] x [oy + j, oy + j + 1],
 *             of area 1.
 * All arithmetic is in double precision for both dtypes (float32 data is widened); results are
 * stored in the vertex dtype.
 *
 * Candidates: a face is a candidate of a pixel when its x/y bounding box meets the closed pixel
 * square (faces in index order; a zero-area face still counts). More than 32 candidates in one
 * pixel fail the call with status 4.
 *
 * Two candidates that certainly cannot overlap (an edge of one has every vertex of the other,
 * shared vertices aside, certainly outside: an orientation sign beyond its rounding error) are
 * never cut against each other: faces that share an edge leave no sliver pieces along it.
 *
 * Capacities of one per-pixel evaluation: 64 vertices per clipped polygon, 128 pieces per bank,
 * 2,000,000 clip steps; exceeding one, or a non-finite intermediate result, fails with status 4.
 * A status-4 failure happens after the outputs were zeroed and partly written: discard them all.
 *
 * Gradients: the backward exports differentiate every pixel with respect to each distinct vertex
 * coordinate of its candidates by forward-mode dual numbers (eight coordinates per re-evaluation,
 * the same bits as one seeded re-evaluation per coordinate), and add derivative x cotangent into
 * the vertex gradient, in pixel row-major order, summing in double and storing in the vertex
 * dtype at each addition.
 *
 * Statuses, in the order checked: 6 or 1 for a broken Diagnostic; 1 for the image range (first);
 * then the opaque mesh check: the context (its status; not the CPU: 2 "mesh operations implement
 * only the CPU backend in this phase"), vertices (1 shape, the view's status, 2 not CPU, 1 output
 * flag, 2 dtype), faces (the same, int32), a given workspace (its status; not CPU memory: 2),
 * face indices (1); then the operation's own checks below; 3 for a missing or short workspace;
 * 1 for overlapping byte ranges. No output or workspace byte is written before every check
 * passed. CUDA contexts are refused (2); nothing is forwarded to a provider.
 */
#ifndef VREL_OPAQUE_H
#define VREL_OPAQUE_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Coverage                                                                                   */
/* ------------------------------------------------------------------------------------------ */

/*
 * Coverage: the area of the union of all triangles inside every pixel (in [0, 1]); each part of
 * a pixel is counted once, by the first candidate that covers it.
 *
 *   vertices [V,3], faces [F,3]; image_height H, image_width W; origin_x, origin_y
 *   coverage (out)  [H,W] vertex dtype
 *   workspace       596,992 bytes, 8-byte aligned (vrel_render_opaque_coverage_workspace);
 *                   nothing in it survives the call
 *
 * Statuses (1 unless stated): "opaque image/origin dimensions exceed the supported finite
 * range"; the mesh check; "opaque coverage currently supports CPU float32/float64 only" (2);
 * "opaque output shape"; "opaque output dtype must match vertices"; "opaque coordinates must be
 * finite within +/-1048576"; "opaque workspace capacity insufficient" (3); "opaque workspace must
 * be 8-byte aligned"; "opaque input/output/workspace overlap"; "opaque output/workspace
 * overlap"; status 4: "opaque candidate capacity 32 exceeded; no partial output is valid",
 * "opaque polygon/work capacity exceeded; no partial output is valid".
 */
VREL_API VrelStatus vrel_render_opaque_coverage(
    const VrelTensorView *vertices, const VrelTensorView *faces, int64_t image_height,
    int64_t image_width, double origin_x, double origin_y, const VrelExecutionContext *context,
    const VrelTensorView *coverage, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the coverage with respect to the vertex x and y coordinates.
 *
 *   gradient              [H,W] vertex dtype, finite: the cotangent of the coverage
 *   vertex_gradient (out) [V,3] vertex dtype; the z column is always zero
 *   workspace             as for the forward
 *
 * Statuses: those of the forward (the output shape is [V,3]), then after the output: "opaque
 * gradient must be [H,W]"; the view's status; 2 not CPU; "operation inputs may not carry the
 * output flag"; "opaque gradient dtype mismatch"; "opaque gradient must be finite". Status 4
 * also for "opaque derivative work capacity exceeded; no partial output is valid" and, after the
 * last pixel, "opaque coverage gradient accumulation overflow; no partial output is valid" when
 * an accumulated gradient is not finite (a huge cotangent in float32, for example).
 */
VREL_API VrelStatus vrel_render_opaque_coverage_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, int64_t image_height,
    int64_t image_width, double origin_x, double origin_y, const VrelTensorView *gradient,
    const VrelExecutionContext *context, const VrelTensorView *vertex_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of both coverage exports: 596,992 bytes at alignment 8, whatever the image or mesh.
 * Statuses: null result pointers (1, "opaque workspace result pointers required"); the context
 * (its status); a context that is not the CPU or a dtype other than float32 (1) / float64 (2):
 * 2 "opaque coverage currently supports CPU float32/float64 only".
 */
VREL_API VrelStatus vrel_render_opaque_coverage_workspace(
    uint32_t dtype, const VrelExecutionContext *context, uint64_t *workspace_bytes,
    uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Colour integration                                                                         */
/* ------------------------------------------------------------------------------------------ */

/*
 * Depth-resolved colour: for every pixel, the integral of the per-corner colour, interpolated
 * linearly across each triangle, over the part of the pixel where that triangle is the nearest
 * surface, and the visible area. Depth is interpolated affinely in screen space; hidden parts are
 * cut away along the occluder's edges and along the line of equal depth, so interpenetrating
 * triangles are resolved exactly. Coplanar overlaps go to the lower face index.
 *
 *   colour        [F,3,3] vertex dtype: colour[f][k][c] is channel c at corner k of face f
 *   output (out)  [H,W,4] vertex dtype: channels 0-2 the colour integrals over the pixel,
 *                 channel 3 the visible area (the coverage)
 *   workspace     1,047,584 bytes, 8-byte aligned (vrel_render_opaque_integrate_workspace)
 *
 * Statuses (1 unless stated): "opaque colour image/origin range"; the mesh check; "opaque colour
 * currently supports CPU float32/float64 only" (2); the colour tensor check of colour, then of
 * output ("opaque colour tensor shape" for rank or extent 0, the view's status, 2 not CPU, the
 * flag rules, "opaque colour tensor shape/dtype mismatch"); "opaque colour inputs must be finite
 * and coordinates bounded"; "opaque colour workspace capacity insufficient" (3); "opaque colour
 * workspace alignment"; "opaque colour input/workspace overlap"; "opaque colour input/output
 * overlap"; "opaque colour output/workspace overlap"; status 4: "opaque colour candidate
 * capacity32 exceeded; partial outputs invalid", "opaque colour polygon/work/arithmetic overflow;
 * partial outputs invalid", and after the last pixel "opaque colour output accumulation
 * overflow" when an output element is not finite.
 */
VREL_API VrelStatus vrel_render_opaque_integrate(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *colour,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext *context, const VrelTensorView *output,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the colour integration with respect to the vertices (x, y and z)
 * and the colours.
 *
 *   gradient              [H,W,4] vertex dtype, finite: the cotangent of the output
 *   vertex_gradient (out) [V,3] vertex dtype
 *   colour_gradient (out) [F,3,3] vertex dtype
 *
 * Statuses: those of the forward with, in place of the output, the gradient (colour tensor
 * check), the vertex gradient ("opaque vertex gradient shape", the view's status, 2 not CPU,
 * the output flag, "opaque vertex gradient dtype") and the colour gradient (colour tensor
 * check); "opaque colour gradient outputs overlap" when the two outputs share bytes; status 4
 * also for "opaque colour derivative capacity/arithmetic overflow; partial outputs invalid".
 */
VREL_API VrelStatus vrel_render_opaque_integrate_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *colour,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *colour_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of both colour exports: 1,047,584 bytes at alignment 8. Statuses: null result
 * pointers (1, "opaque colour workspace result pointers required"); the context (its status);
 * not the CPU or a dtype other than float32/float64: 2 "opaque colour currently supports CPU
 * float32/float64 only".
 */
VREL_API VrelStatus vrel_render_opaque_integrate_workspace(
    uint32_t dtype, const VrelExecutionContext *context, uint64_t *workspace_bytes,
    uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_OPAQUE_H */
