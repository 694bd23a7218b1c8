/* vrel ABI v1: the analytic opaque renderer (exact coverage, exact colour integration and
 * quadrature rules over the visible parts of the triangles).
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
 * passed. The coverage and colour exports refuse CUDA contexts (2); the quadrature exports
 * forward them to the CUDA provider (below).
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

/* ------------------------------------------------------------------------------------------ */
/* Quadrature                                                                                 */
/* ------------------------------------------------------------------------------------------ */

/*
 * Quadrature: for every pixel, up to 800 nodes over the visible parts of the triangles (the
 * same visibility as the colour integration), so that sum over a pixel's nodes of weight x
 * f(owner, l0, l1, l2) is the integral of a per-face function f over the pixel, exactly for
 * polynomials in the barycentrics up to the rules' degrees.
 *
 *   vertices [V,3], faces [F,3]; image_height H, image_width W; origin_x, origin_y (as above)
 *   cuts     the vertex dtype; per-face cut lines that no unit of the rule straddles, in one of
 *            two layouts (a row of coefficients per face):
 *              [F,3,K], 0 <= K <= 16: line k of face f is c0*l0 + c1*l1 + c2*l2 = 0 in the
 *                face's barycentric coordinates, (c0, c1, c2) = (cuts[f,0,k], cuts[f,1,k],
 *                cuts[f,2,k]);
 *              [F,1,3K+6], 0 <= K <= 15: the row starts with per-corner 2D coordinates
 *                (u0, v0, u1, v1, u2, v2), texture coordinates for example, and line k is
 *                a*u + b*v + c = 0 with (a, b, c) = row[6+3k .. 8+3k].
 *            A line whose three barycentric coefficients are equal (all zero, for example) is no
 *            cut.
 *   owners (out) [H*W, 800] int32: the face of each node of pixel p = j*W + i, -1 when empty
 *   nodes (out)  [H*W, 800, 4] vertex dtype: (l0, l1, l2, weight) of each node in its owner
 *                face, weights in pixel-area units; 0 when empty
 *   workspace    1,047,584 bytes, 8-byte aligned (vrel_render_opaque_quadrature_workspace)
 *
 * Nodes: each visible piece of a face that no cut crosses is fan-triangulated into plain units
 * of 5*v nodes (a collapsed Gauss product, v = 5..8); a piece that cuts cross is split by them
 * into cells, fan-triangulated into cut units of 24*order nodes (order 12 or 5). Per pixel, with
 * c cut units and p plain units: order 12 when 120c + 25p + 168c < 801, else 5; v = (800 -
 * 24*order*c) / (5p), at most 8; v below 5 fails with status 4. Slots are filled in candidate,
 * piece, unit and rule order.
 *
 * Statuses, in the order checked (1 unless stated): "opaque quadrature image/origin range"; the
 * context (a CUDA context takes the CUDA path below); the mesh check; cuts: "quadrature cuts
 * shape" (rank 3, extent 0 = F), the view's status, 2 not CPU, the input flag, "opaque
 * quadrature cuts require[F,3,K] K<=16 or packed[F,1,3*K+6] K<=15" (layout or dtype); owners:
 * "quadrature owners" (rank 2 [H*W,800]), the view's status, 2 not CPU, the output flag,
 * "quadrature owners require int32"; nodes: the colour tensor check with [H*W,800,4];
 * "quadrature inputs must be finite and coordinates bounded"; "quadrature workspace capacity
 * insufficient" (3); "quadrature workspace alignment"; "quadrature input/workspace overlap";
 * "quadrature input/output overlap"; "quadrature output/workspace overlap"; "quadrature outputs
 * overlap"; status 4 "quadrature capacity/arithmetic overflow; partial outputs invalid" (more
 * than 32 candidates, an exhausted clip capacity, a pixel whose units do not fit 800 nodes at
 * the lowest orders, or a value that is not finite), after the outputs were initialised.
 *
 * CUDA: the views are checked for the device and flags ("quadrature device/flags mismatch"),
 * dtypes ("quadrature dtype mismatch"), shapes ("quadrature input shapes", "quadrature output
 * shapes", "quadrature backward shapes"), the caller's scratch ("quadrature caller scratch
 * required" (3), "quadrature scratch device/alignment", "quadrature scratch capacity" (3)) and
 * aliasing ("quadrature scratch alias", "quadrature output alias"), then the call goes to the
 * provider's opaque_quadrature entry (offset 432); without it: 2 "CUDA opaque quadrature
 * unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_quadrature(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the quadrature nodes with respect to the vertices (x, y, z) and
 * the cut coefficients.
 *
 *   gradient              [H*W, 800, 4] vertex dtype, finite: the cotangent of the nodes
 *   vertex_gradient (out) [V,3] vertex dtype
 *   cut_gradient (out)    the shape and dtype of cuts
 *
 * Statuses: those of the forward with, in place of owners and nodes, the gradient (colour tensor
 * check, input), the vertex gradient ("quadrature vertex gradient" for the rank or extents, the
 * view's status, 2 not CPU, the output flag, "quadrature vertex gradient dtype") and the cut
 * gradient (colour tensor check with the cuts' extents, output); status 4 also when an
 * accumulated gradient is not finite. The node values are piecewise smooth: where the
 * decomposition changes (a vertex crossing an edge or a cut line), the derivative is that of the
 * current decomposition; the coefficients of a line that splits no visible piece (a line that is
 * no cut, in particular) get 0. CUDA: the provider's opaque_quadrature_backward entry (offset 440).
 */
VREL_API VrelStatus vrel_render_opaque_quadrature_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of both quadrature exports: 1,047,584 bytes at alignment 8 on the CPU. Statuses:
 * the context (its status); null result pointers (1, "quadrature workspace results required");
 * on the CPU a dtype other than float32/float64: 2 "opaque colour currently supports CPU
 * float32/float64 only"; on CUDA the provider's workspace query answers (operation 25, the
 * dtype); without it: 2 "CUDA opaque quadrature unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_quadrature_workspace(
    uint32_t dtype, const VrelExecutionContext *context, uint64_t *workspace_bytes,
    uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Material quadrature: the quadrature with one difference in the node budget: with K = 0
 * ([F,3,0] or [F,1,6]) and 24*order*c + 44*p equal to 800 or below 797, plain units take a
 * 44-node symmetric rule instead of the Gauss product. Arguments, outputs and statuses as for
 * vrel_render_opaque_quadrature. CUDA: the provider's opaque_material_quadrature entry (offset
 * 448); without it: 2 "CUDA opaque material transport unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_quadrature(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of the material quadrature; as vrel_render_opaque_quadrature_backward.
 * CUDA: the provider table has no entry for it (its three quadrature slots carry the two
 * quadrature exports and the material forward): 2 "CUDA opaque material transport unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_quadrature_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of both material exports: as vrel_render_opaque_quadrature_workspace; on CUDA the
 * provider must also have the opaque_material_quadrature entry, else 2 "CUDA opaque material
 * operation unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_quadrature_workspace(
    uint32_t dtype, const VrelExecutionContext *context, uint64_t *workspace_bytes,
    uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * One entry for the quadrature, the material quadrature and the integration along a pixel edge:
 * edge -1 runs vrel_render_opaque_quadrature and -2 vrel_render_opaque_material_quadrature with
 * out_1 as owners and out_2 as nodes (their statuses, CUDA path included); edges 0..3 integrate
 * along one edge of every pixel (0 bottom, 1 right, 2 top, 3 left). The diagnostic is reset
 * first; an edge above 3 or below -2: 1 "opaque edge must be0..3". Edges 0..3 give, per pixel,
 * nodes along that side over the intervals where each face is the visible surface (the area
 * integration's visibility and tie rules restricted to the side), each interval split at the
 * points strictly inside it where an active cut line of its face (as the quadrature reads `cuts`,
 * either layout) crosses the side, an 8-point Gauss-Legendre rule per part, so that no rule
 * straddles a cut; weights in units of pixel-edge length. They run the quadrature front end
 * (forward checks), forward CUDA to the provider's opaque_boundary_quadrature entry (2 "CUDA
 * opaque boundary unavailable" without it), and fail a pixel with 4 "quadrature
 * capacity/arithmetic overflow; partial outputs invalid".
 */
VREL_API VrelStatus vrel_render_opaque_boundary_quadrature(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y, int32_t edge,
    const VrelExecutionContext *context, const VrelTensorView *out_1, const VrelTensorView *out_2,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Batches, prefix backward, boundary streams and partitions                                  */
/* ------------------------------------------------------------------------------------------ */

/*
 * These exports deliver one pixel's quadrature in resumable pieces. The pixel is the square
 * [origin_x, origin_x + 1] x [origin_y, origin_y + 1] (an image of one pixel: H = W = 1), and
 * every piece is one 800-slot row in the quadrature's layout: owners [1,800] int32 (-1 when
 * empty) and nodes [1,800,4] (l0, l1, l2, weight; 0 when empty), used slots first.
 *
 * Work items. A pixel's work is an ordered list of work items: for batches and prefixes the
 * units of the quadrature's decomposition (in its slot order), for boundary streams the visible
 * intervals of one pixel side. One call emits the items from cursor.begin while there are at most
 * 32 of them and their nodes fit the row; calling again from each receipt, starting from the
 * cursor (0, 0, 0, 0), emits every node of the pixel exactly once, in the order of the whole list,
 * whatever the row boundaries.
 *
 * Rules (int32) and slot widths w:
 *   0 DEFAULT              w 16  the material quadrature's own orders: the pixel's stream is
 *                                vrel_render_opaque_material_quadrature's row for it;
 *   1 SH_BILINEAR25        w 16  the lowest orders: plain units the 25-node collapsed 5x5 Gauss
 *                                product, cut units order 5 (120 nodes);
 *   2 SH52, 3 SH64, 4 (80) w 52, 64, 80  the highest orders whatever the 800-slot budget: plain
 *                                units the 40-node 5x8 product, cut units order 12 (288 nodes).
 * Rules 1 to 4 take only the plain cut layout [F,3,K]; rule 4 allows K up to 40. A stream may
 * take at most w rows (calls) and 32*w work items.
 *
 * Cursor: four int32 (begin, batch, slots, blocks): the first work item of the call, the calls
 * made before, the nodes and the work items emitted before. Valid for width w when 0 <= begin <=
 * 32w, 0 <= batch < w, 0 <= slots <= 800*batch, 0 <= blocks <= 32*batch, blocks >= begin, and
 * begin is 0 exactly when batch is 0.
 *
 * Receipt: eight int32 (32 bytes) written on success: the cursor of the next call (begin, batch,
 * slots, blocks), then items (work items emitted), nodes (slots used in this row), total (work
 * items of the pixel) and done (1 when none is left).
 *
 * Flags (int32, 0..3): bit 0 computes the vertex gradient, bit 1 the cut gradient; a gradient
 * whose bit is clear is returned all zero.
 *
 * Leading checks of the batch, prefix and boundary-stream exports (1 unless stated), before the
 * quadrature front end: the diagnostic reset; flags outside 0..3, a rule outside 0..4, or a
 * non-zero rule with cuts not [F,3,K]: "opaque batch rule requires DEFAULT, SH_BILINEAR25 or
 * SH_BILINEAR25_STREAM52 without curves"; a null cursor or receipt, or a cursor invalid for the
 * rule's width: "opaque batch cursor/receipt"; the two records overlapping: "opaque batch
 * metadata alias". Then the quadrature front end with H = W = 1 (image/origin range, context,
 * mesh, cuts with the rule's K limit, outputs or gradients with 1 row, finiteness, workspace,
 * overlaps; see vrel_render_opaque_quadrature), then: a tensor overlapping the cursor or the
 * receipt: "opaque batch metadata/tensor alias"; the workspace overlapping either: "opaque batch
 * metadata/scratch alias". Kernel failures (more than 32 candidates, a clip capacity, a pixel
 * the quadrature cannot plan within 800 slots at its lowest orders, a stream that would need more
 * rows than its width allows, a value that is not finite): status 4 "opaque batch
 * capacity/arithmetic overflow; partial outputs invalid" (the receipt is not written).
 *
 * CUDA: after the front end's head, the front end's device checks, then the provider entry named
 * below; without it status 2 with the sentence given.
 */

/*
 * One batch call with the DEFAULT rule (0) and flags 3.
 *
 *   vertices [V,3], faces [F,3], cuts (as for the quadrature); origin_x, origin_y: the pixel
 *   cursor   const int32[4]; receipt int32[8] (out)
 *   owners (out) [1,800] int32; nodes (out) [1,800,4] vertex dtype
 *   workspace    1,047,584 bytes, 8-byte aligned (vrel_render_opaque_material_batch_workspace)
 *
 * CUDA: the provider's opaque_material_batch_rule entry (offset 456) with rule 0; without it
 * 2 "CUDA opaque batch unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_batch(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of one batch call's row (rule 0, flags 3): gradient [1,800,4], the
 * cotangents of the slots the forward call with the same cursor filled; vertex_gradient (out)
 * [V,3] and cut_gradient (out, the cuts' shape) are zeroed, then receive the products of this
 * call's work items. Summing the outputs of every call of a stream gives the backward of the
 * whole stream. The receipt is the forward's. CUDA: the opaque_material_batch_rule_backward
 * entry (offset 520) with rule 0 and flags 3; without it 2 "CUDA opaque batch unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_batch_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * vrel_render_opaque_material_batch with an explicit rule (0..4). CUDA: the
 * opaque_material_batch_rule entry (offset 456); without it 2 "CUDA explicit opaque rule
 * unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_batch_rule(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace, VrelDiagnostic *diag,
    int32_t rule) VREL_NOEXCEPT;

/*
 * vrel_render_opaque_material_batch_backward with an explicit rule (0..4) and flags (0..3).
 * CUDA: the opaque_material_batch_rule_backward entry (offset 520); without it 2 "CUDA explicit
 * opaque rule unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_batch_rule_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag, int32_t rule,
    int32_t flags) VREL_NOEXCEPT;

/*
 * Workspace of every batch, prefix, boundary-stream and partition export: the material
 * quadrature's query (vrel_render_opaque_material_quadrature_workspace): 1,047,584 bytes at
 * alignment 8 on the CPU, its statuses and sentences.
 */
VREL_API VrelStatus vrel_render_opaque_material_batch_workspace(
    uint32_t dtype, const VrelExecutionContext *context, uint64_t *workspace_bytes,
    uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Prefix backward: a batch backward whose gradients accumulate across the calls of a stream,
 * with rule 2 (this export), 3 (...64) or 4 (...80) and the given flags.
 *
 *   prefix  int32[2] (8 bytes, 4-byte aligned), read and written: (face, seen). (0, 0) starts a
 *           sequence: the gradients are zeroed and the call must start at cursor begin 0. Each
 *           successful call stores the pixel's candidate count in face and the work items
 *           accumulated so far in seen; a call with seen > 0 adds its products to the gradients
 *           and must resume at begin = seen on a pixel with that candidate count (else status 4).
 *
 * After the whole stream the gradients equal the batch backward of every row summed.
 * Statuses: the batch's, with a null prefix: 1 "prefix required" (after the cursor checks); a
 * null gradient: 2 "prefix requires SH52 orSH64 first VJP"; after the front end: prefix address
 * not a multiple of 4: "prefix alignment"; a tensor overlapping it: "prefix tensor alias"; the
 * workspace, cursor or receipt overlapping it: "prefix metadata/scratch alias". CUDA: the
 * opaque_prefix_backward, ...64, ...80 entries (offsets 528, 536, 544); without it 2 "CUDA
 * persistent prefix unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_material_prefix_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag, int32_t flags,
    int32_t *prefix) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_material_prefix_backward64(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag, int32_t flags,
    int32_t *prefix) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_material_prefix_backward80(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const int32_t *cursor, int32_t *receipt,
    const VrelTensorView *gradient, const VrelExecutionContext *context,
    const VrelTensorView *vertex_gradient, const VrelTensorView *cut_gradient,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag, int32_t flags,
    int32_t *prefix) VREL_NOEXCEPT;

/*
 * Boundary stream along side `edge` of the pixel (0 bottom, 1 right, 2 top, 3 left, as for
 * vrel_render_opaque_boundary_quadrature), with rule 3 (this export, w 64) or 4 (...80, w 80) and
 * flags 0: the work items are the visible intervals of the side, split where the face's cut
 * lines cross them, in candidate order and then along the side, each with the 8-point
 * Gauss-Legendre rule (weights in units of the side's length, 1); the stream's nodes are those
 * vrel_render_opaque_boundary_quadrature writes for the pixel. At most 256 intervals per side
 * after the split.
 *
 *   out_1 (out) owners [1,800] int32; out_2 (out) nodes [1,800,4]
 *
 * Statuses: the leading checks, with an edge outside 0..3 (after the rule): 1 "boundary stream
 * edge range"; the front end; the record aliases; status 4 "opaque boundary stream
 * capacity/arithmetic overflow; partial outputs invalid". CUDA: the opaque_boundary_batch64 /
 * 80 entries (offsets 552, 560); without it 2 "CUDA boundary stream unavailable".
 */
VREL_API VrelStatus vrel_render_opaque_boundary_batch64(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, int32_t edge, const int32_t *cursor, int32_t *receipt,
    const VrelExecutionContext *context, const VrelTensorView *out_1, const VrelTensorView *out_2,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_boundary_batch80(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, int32_t edge, const int32_t *cursor, int32_t *receipt,
    const VrelExecutionContext *context, const VrelTensorView *out_1, const VrelTensorView *out_2,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Partitions split the preparation of a pixel's nodes from their emission. Variants by slot
 * width w: this export 52 (rule 2), ...64 (rule 3), ...80 (rule 4); R = 32*w rows (1,664, 2,048,
 * 2,560).
 *
 * Prepare plans the pixel with the rule of w, computes every node and stores them in rows
 * [R,17] float64, one row per block of at most four consecutive nodes of one unit (a unit's
 * nodes start a new block): column 0 is 4*owner + (nodes in the block - 1), columns 1+4q .. 4+4q
 * node q's (l0, l1, l2, weight); unused columns hold 0, unused rows -1 then 0. metadata (out,
 * int32[8], 4-byte aligned): rows used, nodes, units, cut units, plain units, w, emit's begin
 * step (32; 28 for w 80), the pixel's candidates.
 *
 *   vertices [V,3] float64, faces [F,3], cuts [F,3,K] float64 (K <= 16; 40 for w 80)
 *   rows (out) [R,17] float64; workspace as for the batches
 *
 * Statuses, in order (1 unless stated): the diagnostic reset; the context (its status); CUDA:
 * the provider's opaque_partition_prepare entry (offset 568; 576 for w 64), without it 2 "CUDA
 * partition unavailable" ("CUDA SH64 partition unavailable" for w 64); metadata null or origin
 * not finite within +/-1048576: "partition origin/result"; metadata not 4-byte aligned:
 * "partition metadata alignment"; the opaque mesh check; vertices not float64: 2 "partition
 * float64 qualification only"; cuts: "partition cuts" (rank 3, extent 0 = F), the view's status,
 * 2 not CPU, the input flag; "partition cuts dtype/capacity" (layout, K, dtype); rows: "partition
 * storage" (shape), the view's status, 2 not CPU, the output flag; "partition storage dtype";
 * workspace missing or short: 3 "partition scratch", misaligned: 1 "partition scratch"; "partition
 * input alias"; "partition input device"; "partition storage alias" (rows, workspace, metadata);
 * "partition finite bounded inputs"; status 4 "partition capacity/arithmetic overflow; all rows
 * invalid" (also when the blocks exceed R rows).
 */
VREL_API VrelStatus vrel_render_opaque_partition_prepare(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const VrelExecutionContext *context,
    const VrelTensorView *rows, int32_t *metadata, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_prepare64(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const VrelExecutionContext *context,
    const VrelTensorView *rows, int32_t *metadata, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_prepare80(
    const VrelTensorView *vertices, const VrelTensorView *faces, const VrelTensorView *cuts,
    double origin_x, double origin_y, const VrelExecutionContext *context,
    const VrelTensorView *rows, int32_t *metadata, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Emit: rows begin .. count-1 of a prepared partition into one row: owners (out) [1,800] int32,
 * nodes (out) [1,800,4] float64 (-1 and 0 first). Emitting from begin 0, 32, 64, ... (28, 56, ...
 * for w 80) with count = min(rows used, begin + 32) gives the batch nodes of the same rule bit for
 * bit, in the same order.
 *
 * Statuses, in order (1 unless stated): the diagnostic reset; the context; not the CPU: 2
 * "partition emit CPU qualification only"; count outside 0..R, begin negative or above count, or
 * not a multiple of 32 (28 for w 80): "partition range"; rows: "partition rows" (shape [R,17]),
 * the view's status, 2 not CPU, the input flag; owners: "partition owners" ([1,800]), the view's
 * status, 2 not CPU, the output flag; nodes: the colour tensor check with [1,800,4] float64 as an
 * output; rows not float64, owners not int32 or a view on another device: "partition
 * dtype/device"; two of them overlapping: "partition alias"; a row that is not a block or more
 * than 800 nodes: status 4 "partition row/arithmetic failure; outputs invalid".
 */
VREL_API VrelStatus vrel_render_opaque_partition_emit(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_emit64(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_emit80(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Emit with a caller scratch: on the CPU exactly the emit above (the workspace is not used); on
 * CUDA the provider's opaque_partition_emit entry (offset 584; 592 for w 64), without it 2 "CUDA
 * partition unavailable" ("CUDA SH64 partition unavailable" for w 64).
 */
VREL_API VrelStatus vrel_render_opaque_partition_emit_workspace(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_emit_workspace64(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_render_opaque_partition_emit_workspace80(
    const VrelTensorView *rows, int32_t count, int32_t begin,
    const VrelExecutionContext *context, const VrelTensorView *owners,
    const VrelTensorView *nodes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_OPAQUE_H */
