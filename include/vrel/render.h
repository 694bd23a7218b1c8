/* vrel ABI v1: the render family (rasterization and attribute interpolation). Included by
 * vrel/vrel.h; include that header instead. The texture exports live in vrel/texture.h.
 *
 * Multi-layer rasterization of packed triangle meshes given in normalized device coordinates,
 * its vector-Jacobian product with respect to the vertices, and barycentric interpolation of
 * per-corner face attributes over the fragments.
 *
 * Data:
 *   ndc_vertices    [V,3] float32 or float64: x right, y up, both in [-1, 1] across the image;
 *                   z is interpolated as depth (smaller is nearer)
 *   faces           [F,3] int32: global vertex rows of the packed array
 *   vertex_offsets, face_offsets  [B+1] int32 packed batch offsets (first 0, nondecreasing, last
 *                   V resp. F); every vertex of a face of element b lies in
 *                   [vertex_offsets[b], vertex_offsets[b+1])
 *   fragments       face_index [B,H,W,K] int32 (-1: empty layer), barycentric [B,H,W,K,3],
 *                   depth [B,H,W,K] and signed_distance [B,H,W,K] in the vertex dtype; per
 *                   pixel the non-empty layers come first, in ascending depth.
 *
 * Screen mapping (double precision for both dtypes): a vertex (x, y) lies at global column
 * cx = (x + 1) * GW/2 and global row cy = (1 - y) * GH/2 (row 0 at the top); local pixel
 * (i, j) of a window at (R0, C0) has its centre at global row R0 + i + 0.5, column C0 + j + 0.5.
 *
 * Per-pixel rule, for pixel centre p and face corners q0, q1, q2 (faces order), a_k = q_k - p:
 *   w0 = cross(a1, a2), w1 = cross(a2, a0), w2 = cross(a0, a1), area = w0 + w1 + w2;
 *   no fragment unless |area| > eps; VREL_RENDER_CULL_BACK keeps only area < 0 (faces that are
 *   counter-clockwise in NDC), VREL_RENDER_CULL_FRONT only area > 0;
 *   b_k = w_k / area; inside when all b_k >= 0;
 *   outside pixels whose distance g to the face's screen box (along the worse axis) satisfies
 *   g > 2^-20 and (g - 2^-20)^2 > blur^2 are skipped, provided every screen coordinate and GW, GH
 *   have magnitude <= 2^20;
 *   d = squared distance to the nearest edge segment (0-1, 1-2, 2-0; ties keep the earlier edge);
 *   the fragment is kept when inside or d <= blur^2, with depth b0 z0 + b1 z1 + b2 z2
 *   (screen-space, barycentrics neither clipped nor renormalised) and signed distance -d inside,
 *   +d outside (squared pixels).
 * Layers: a kept fragment goes to the slot counting the occupied layers whose depth is <= its
 * depth, both compared as stored in the output dtype (so equal depths keep the earlier face
 * first); slot K drops it, otherwise the later layers move down by one and the last falls out.
 *
 * Statuses shared by the exports below (status 1 unless stated): a broken Diagnostic (6 or 1);
 * a context that fails validation (its status) or is not the CPU (2); an operand of the wrong
 * rank, extents or dtype (the message names it and its shape); a view that fails
 * vrel_validate_tensor_view (its status) or does not live on the CPU (2); an input carrying
 * VREL_TENSOR_OUTPUT or an output lacking it; an unsupported vertex, face or barycentric dtype
 * (2); an output whose bytes overlap an input or another output; a given workspace that fails
 * vrel_validate_buffer (its status). The first failing check decides the status and message.
 * The workspace argument may always be null: no operation here needs scratch memory, so a valid
 * buffer is accepted wherever it lives and never touched.
 *
 * CUDA: a context with struct_size >= 64 naming VREL_DEVICE_CUDA is forwarded, arguments
 * unchanged and before the Diagnostic reset, to the provider's entry for the operation (without
 * a provider or entry: status 2).
 */
#ifndef VREL_RENDER_H
#define VREL_RENDER_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Face culling by screen orientation. */
#define VREL_RENDER_CULL_NONE 1u  /* both orientations */
#define VREL_RENDER_CULL_BACK 2u  /* keeps faces counter-clockwise in NDC (area < 0) */
#define VREL_RENDER_CULL_FRONT 3u /* keeps faces clockwise in NDC (area > 0) */

/* ------------------------------------------------------------------------------------------ */
/* Rasterization                                                                              */
/* ------------------------------------------------------------------------------------------ */

/*
 * Rasterizes every batch element into K depth-ordered fragment layers of an H x W image; the
 * same as vrel_render_rasterize_window with the global image equal to the image.
 *
 *   ndc_vertices [V,3] float32/float64;  faces [F,3] int32
 *   vertex_offsets, face_offsets  [B+1] int32 packed offsets over V and F
 *   image_height, image_width     H, W >= 1, else "invalid raster window bounds" (checked first,
 *                                 for every backend)
 *   faces_per_pixel  K >= 1;  blur_radius_px finite, >= 0 (pixels);  eps finite, >= 0
 *   cull_mode        VREL_RENDER_CULL_*
 *   face_index (out)       [B,H,W,K] int32: global face row, or -1
 *   barycentric (out)      [B,H,W,K,3] vertex dtype: (b0, b1, b2), (0, 0, 0) when empty
 *   depth (out)            [B,H,W,K] vertex dtype: interpolated z, +infinity when empty
 *   signed_distance (out)  [B,H,W,K] vertex dtype: -d inside, +d outside, +infinity when empty
 *   workspace              not used; may be null; validated when given
 *
 * Every output element is written. Before anything is written every face is checked against its
 * batch element's vertex range (1, "each face must reference vertices of its own batch
 * element"). Degenerate (|area| <= eps, NaN included) and culled faces produce no fragments.
 * B = 0 succeeds without writing. A CUDA request goes to the provider's rasterize entry.
 */
VREL_API VrelStatus vrel_render_rasterize(
    const VrelTensorView *ndc_vertices, const VrelTensorView *faces,
    const VrelTensorView *vertex_offsets, const VrelTensorView *face_offsets, int64_t image_height,
    int64_t image_width, int64_t faces_per_pixel, double blur_radius_px, uint32_t cull_mode,
    double eps, const VrelExecutionContext *context, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelTensorView *depth,
    const VrelTensorView *signed_distance, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Rasterizes the H x W window at (row_offset, column_offset) of a global_height x global_width
 * virtual image; the result equals that crop of a full render bit for bit.
 *
 *   global_height, global_width  GH, GW >= 1;  row_offset R0, column_offset C0 >= 0
 *   image_height, image_width    H, W >= 1 with R0 + H <= GH and C0 + W <= GW
 *   (any other window: 1 "invalid raster window bounds", before anything else, CUDA included)
 *   the other arguments and outputs as in vrel_render_rasterize, outputs sized [B,H,W,K(,3)]
 *
 * CUDA: a window equal to the whole image goes to the provider's rasterize entry with the
 * arguments of vrel_render_rasterize; a true window goes to the provider's raster-window entry,
 * used only when the provider's table covers it and it is set, else 2 "CUDA provider lacks
 * raster windows".
 */
VREL_API VrelStatus vrel_render_rasterize_window(
    const VrelTensorView *ndc_vertices, const VrelTensorView *faces,
    const VrelTensorView *vertex_offsets, const VrelTensorView *face_offsets, int64_t global_height,
    int64_t global_width, int64_t row_offset, int64_t column_offset, int64_t image_height,
    int64_t image_width, int64_t faces_per_pixel, double blur_radius_px, uint32_t cull_mode,
    double eps, const VrelExecutionContext *context, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelTensorView *depth,
    const VrelTensorView *signed_distance, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the rasterization exports and their backward: 0 bytes at alignment 1 on the CPU.
 * A CUDA context is handed, before the Diagnostic reset, to the provider's workspace query
 * (operation id 10, no counts). CPU statuses, in order: a negative count (1, "counts and image
 * dimensions must be nonnegative"), null result pointers (1), dtype not float32/float64 (2), the
 * context (its status; not the CPU: 2).
 */
VREL_API VrelStatus vrel_render_rasterize_workspace(
    int64_t vertex_count, int64_t face_count, int64_t image_height, int64_t image_width,
    int64_t faces_per_pixel, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of a full-image rasterization with respect to the NDC vertices. The
 * forward face indices are held fixed: each fragment's barycentrics, depth and nearest-edge
 * distance are recomputed from the vertices (double precision) and differentiated, the nearest
 * edge's parameter t held constant.
 *
 *   ndc_vertices, faces        as given to the forward
 *   image_height, image_width  H, W >= 1, else "image dimensions must be positive"
 *   face_index           [B,H,W,K] int32, the forward output (extents 1 and 2 must be H and W)
 *   grad_barycentric     [B,H,W,K,3] vertex dtype, or null
 *   grad_depth           [B,H,W,K]   vertex dtype, or null
 *   grad_signed_distance [B,H,W,K]   vertex dtype, or null
 *                        (not all three null: "at least one cotangent is required"; a given one
 *                        of another shape or dtype: 1, "<name> cotangents must be a [...] view
 *                        matching the vertex dtype")
 *   grad_vertices (out)  [V,3] vertex dtype: cleared, then accumulated fragment by fragment in C
 *                        order (float32 rounds at each addition)
 *   workspace            not used; may be null; validated when given
 *
 * Fragments with face_index < 0 and fragments whose recomputed area is exactly 0 contribute
 * nothing. Found during the pass, leaving grad_vertices undefined: a face index >= F (1, "a
 * fragment names a face outside the face range") and a face corner outside [0, V) (1, "a face
 * references a vertex outside the vertex range").
 */
VREL_API VrelStatus vrel_render_rasterize_backward(
    const VrelTensorView *ndc_vertices, const VrelTensorView *faces, int64_t image_height,
    int64_t image_width, const VrelTensorView *face_index, const VrelTensorView *grad_barycentric,
    const VrelTensorView *grad_depth, const VrelTensorView *grad_signed_distance,
    const VrelExecutionContext *context, const VrelTensorView *grad_vertices,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Attribute interpolation                                                                    */
/* ------------------------------------------------------------------------------------------ */

/*
 * Interpolates per-corner face attributes over the fragments:
 * attributes[i][c] = b0 A[f][0][c] + b1 A[f][1][c] + b2 A[f][2][c] for f = face_index[i] >= 0,
 * summed left to right from 0 in double precision and rounded once; 0 for an empty fragment.
 *
 *   face_index       [B,H,W,K] int32
 *   barycentric      [B,H,W,K,3] float32/float64
 *   face_attributes  [F,3,C] barycentric dtype (C may be 0)
 *   attributes (out) [B,H,W,K,C] barycentric dtype
 *   workspace        not used; may be null; validated when given
 *
 * A face index >= F is 1, "a fragment names a face outside the attribute range"; every index is
 * checked before any fragment is written, so a refused call writes nothing.
 */
VREL_API VrelStatus vrel_render_interpolate(
    const VrelTensorView *face_index, const VrelTensorView *barycentric,
    const VrelTensorView *face_attributes, const VrelExecutionContext *context,
    const VrelTensorView *attributes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of vrel_render_interpolate.
 *
 *   face_index, barycentric, face_attributes  as in the forward
 *   grad_attributes            [B,H,W,K,C] barycentric dtype
 *   grad_barycentric (out)     [B,H,W,K,3] or null: sum over c of g[c] A[f][j][c] (double sum)
 *   grad_face_attributes (out) [F,3,C] or null: += g[c] b_j per fragment, in fragment order
 *                              (float32 rounds each product and each addition)
 *                              (not both null: "at least one gradient output is required")
 *   workspace                  not used; may be null; validated when given
 *
 * Both given outputs are cleared first; empty fragments contribute nothing. A face index >= F is
 * 1, "a fragment names a face outside the attribute range", found before the outputs are
 * cleared: a refused call writes nothing.
 */
VREL_API VrelStatus vrel_render_interpolate_backward(
    const VrelTensorView *face_index, const VrelTensorView *barycentric,
    const VrelTensorView *face_attributes, const VrelTensorView *grad_attributes,
    const VrelExecutionContext *context, const VrelTensorView *grad_barycentric,
    const VrelTensorView *grad_face_attributes, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of interpolation and its backward: 0 bytes at alignment 1 on the CPU. The counts are
 * the fragment count N = B*H*W*K and the channel count C. A CUDA context is handed, before the
 * Diagnostic reset, to the provider's workspace query (operation id 11, no counts). CPU
 * statuses, in order: a negative count (1, "counts must be nonnegative"), null result pointers
 * (1), dtype not float32/float64 (2), the context (its status; not the CPU: 2).
 */
VREL_API VrelStatus vrel_render_interpolate_workspace(
    int64_t fragment_count, int64_t channel_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *workspace_bytes, uint64_t *workspace_alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_RENDER_H */
