/* vrel ABI v1: the texture family. Included by vrel/vrel.h; include that header instead. */
#ifndef VREL_TEXTURE_H
#define VREL_TEXTURE_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Texture sampling: packed mip pyramids and filtered, wrapped lookups with gradients.
 *
 * Packed pyramid. Level 0 is the H x W x C texture; level k+1 halves each dimension of level k
 * with floor division, except that a dimension of 1 stays 1. The full chain ends at 1 x 1 and has
 * 1 + floor(log2(max(H, W))) levels. All L levels are stored back to back in one rank-1 array as
 * dense [H_k, W_k, C] blocks; level_offsets ([L+1] int32) holds the start of each level and, last,
 * the total element count (at most 2147483647): level_offsets[0] = 0 and
 * level_offsets[k+1] = level_offsets[k] + H_k * W_k * C. This exact layout is the only valid
 * level table: the backward and sampling exports refuse any other (see their statuses), so a
 * table is never read beyond the storage it describes.
 *
 * Texture coordinates (u, v): u runs across the width, v down the rows; [0, 1] spans a level and
 * texel j of a level of width w covers [j/w, (j+1)/w).
 */

/* Texel filters. */
#define VREL_TEXTURE_FILTER_NEAREST 1u
#define VREL_TEXTURE_FILTER_LINEAR 2u /* bilinear over the four nearest texel centres */

/* Mip filters. */
#define VREL_TEXTURE_MIP_NEAREST 1u /* level floor(lambda + 0.5), rounding half up */
#define VREL_TEXTURE_MIP_LINEAR 2u  /* blend of levels floor(lambda) and floor(lambda) + 1 */

/* Wrap modes, chosen per axis. */
#define VREL_TEXTURE_WRAP_REPEAT 1u /* index modulo the size */
#define VREL_TEXTURE_WRAP_CLAMP 2u  /* clamp to the edge texel */
#define VREL_TEXTURE_WRAP_MIRROR 3u /* mirrored repeat: -1 -> 0, s -> s - 1 */
#define VREL_TEXTURE_WRAP_BORDER 4u /* taps outside the level take the border value */

/* Most channels a sampled texture may have. */
#define VREL_TEXTURE_MAX_CHANNELS 4

/*
 * Builds the packed mip pyramid of a texture by repeated 2x2 box averaging (2 or 1 taps along a
 * dimension of 1; a row or column left over by an odd size is not read).
 *  texture       [H,W,C] float32 or float64 input, H, W, C >= 1.
 *  levels        number of levels to build, 1 .. full chain; 0 requests the full chain.
 *  pyramid       rank-1 output of the texture dtype with at least level_offsets[L] elements;
 *                elements past the total are not touched.
 *  level_offsets [L+1] int32 output.
 *  workspace     none needed; may be null, validated when given.
 * Statuses: 1 shape, extents, level count, flags, alias; 2 dtype or a non-CPU context or view;
 * 6 ABI mismatch. Two failures come after level_offsets has been partly written (the entries
 * computed so far stay): a total above 2147483647 (1, "pyramid element count exceeds the int32
 * offset range") and a pyramid extent below the total (1, "pyramid view is smaller than the
 * level chain requires"). A CUDA context is forwarded to the provider unchanged.
 */
VREL_API VrelStatus vrel_render_texture_pyramid(
    const VrelTensorView *texture, int64_t levels, const VrelExecutionContext *context,
    const VrelTensorView *pyramid, const VrelTensorView *level_offsets,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Gradient of the texture from a gradient of its packed pyramid: the exact adjoint of the box
 * averaging. Each level-k cotangent g adds g / n (1/n formed in the data dtype) to every texel of
 * its n-texel footprint in level 0.
 *  level_offsets  [L+1] int32, the table the forward call wrote for this texture size.
 *  texture_height, texture_width, channel_count  H, W, C >= 1.
 *  grad_pyramid   rank-1 float32 or float64, at least level_offsets[L] elements.
 *  grad_texture   [H,W,C] output of the grad_pyramid dtype.
 *  workspace      none needed; may be null, validated when given.
 * A table that does not describe the chain of (H, W, C) is refused with status 1: more levels
 * than the full chain ("level count exceeds the full chain for this texture") or any entry off
 * the forward layout ("level offsets do not follow the level chain of the texture extents").
 * level_offsets and grad_pyramid must live on the CPU (status 2). Other statuses as the forward.
 */
VREL_API VrelStatus vrel_render_texture_pyramid_backward(
    const VrelTensorView *level_offsets, int64_t texture_height, int64_t texture_width,
    int64_t channel_count, const VrelTensorView *grad_pyramid, const VrelExecutionContext *context,
    const VrelTensorView *grad_texture, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the pyramid exports: 0 bytes, alignment 1, for the CPU. Statuses: 1 null result
 * pointer or a negative extent, 2 dtype other than float32/float64 or a non-CPU context (the CUDA
 * path requires none; the query is not forwarded).
 */
VREL_API VrelStatus vrel_render_texture_pyramid_workspace(
    int64_t texture_height, int64_t texture_width, int64_t channel_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Samples a packed pyramid at N coordinates.
 *  pyramid        rank-1 float32 or float64, packed as above, at least level_offsets[L] elements.
 *  level_offsets  [L+1] int32, L >= 1, the forward layout of (texture_height, texture_width, C).
 *  texture_height, texture_width  size of level 0, >= 1.
 *  coordinates    [N,2] (u, v), pyramid dtype.
 *  derivatives    [N,4] (du/dx, dv/dx, du/dy, dv/dy) or null, pyramid dtype; the level of detail
 *                 is log2 of the longer screen-space footprint axis in level-0 texels.
 *  lod            [N] explicit level of detail or null, pyramid dtype; exclusive with derivatives.
 *                 With neither, level 0 is sampled. The level of detail is clamped to [0, L-1];
 *                 a NaN lod or derivative gives 0, an infinite derivative or a lod of +inf the
 *                 last level.
 *  filter, mip_filter, wrap_u, wrap_v  VREL_TEXTURE_FILTER_*, VREL_TEXTURE_MIP_*,
 * VREL_TEXTURE_WRAP_*. border         [C] or null, pyramid dtype; required when either wrap mode is
 * border. samples        [N,C] output, pyramid dtype, 1 <= C <= 4. A sample whose u or v is NaN or
 *                 infinite is a quiet NaN in every channel.
 *  workspace      none needed; may be null, validated when given.
 * Every input view must live on the CPU (status 2) and samples may alias none of them (1).
 * A level table that is not exactly the forward layout of (texture_height, texture_width, C) is
 * refused with status 1: level 0 of another size ("level offsets disagree with the texture extents
 * and channel count"), more levels than the full chain ("level count exceeds the full chain for
 * this texture") or a later entry off the layout ("level offsets do not follow the level chain of
 * the texture extents"); no level is ever read outside the pyramid.
 * Statuses: 1 shape, enum, flags, alias, extents, level table; 2 dtype or a non-CPU context or
 * view; 6 ABI mismatch. A CUDA context is forwarded to the provider unchanged.
 */
VREL_API VrelStatus
vrel_render_texture(const VrelTensorView *pyramid, const VrelTensorView *level_offsets,
                    int64_t texture_height, int64_t texture_width,
                    const VrelTensorView *coordinates, const VrelTensorView *derivatives,
                    const VrelTensorView *lod, uint32_t filter, uint32_t mip_filter,
                    uint32_t wrap_u, uint32_t wrap_v, const VrelTensorView *border,
                    const VrelExecutionContext *context, const VrelTensorView *samples,
                    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Gradients of vrel_render_texture for the cotangent grad_samples ([N,C], the pyramid dtype).
 *  grad_pyramid      rank-1 output, at least level_offsets[L] elements; those are cleared and
 *                    accumulated (cleared also when N is 0), later elements are not touched.
 *  grad_coordinates  [N,2] output.
 * No gradient flows to derivatives, lod or border; samples with a non-finite coordinate add
 * nothing. Nearest filtering gives no coordinate gradient. With linear filtering the coordinate
 * gradient is the derivative of the forward bilinear blend: in border mode a tap outside the
 * level contributes the border value, exactly as in the forward (its pyramid gradient is
 * dropped). The border, when given, must carry C values, and the pyramid must hold
 * level_offsets[L] elements (status 1), as in the forward. Outputs may alias neither each other
 * nor any input. Other statuses as the forward.
 */
VREL_API VrelStatus vrel_render_texture_backward(
    const VrelTensorView *pyramid, const VrelTensorView *level_offsets, int64_t texture_height,
    int64_t texture_width, const VrelTensorView *coordinates, const VrelTensorView *derivatives,
    const VrelTensorView *lod, uint32_t filter, uint32_t mip_filter, uint32_t wrap_u,
    uint32_t wrap_v, const VrelTensorView *border, const VrelTensorView *grad_samples,
    const VrelExecutionContext *context, const VrelTensorView *grad_pyramid,
    const VrelTensorView *grad_coordinates, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the sampling exports: 0 bytes, alignment 1, for the CPU. Statuses: 1 null result
 * pointer or a negative count, 2 dtype other than float32/float64 or a non-CPU context (the query
 * is not forwarded).
 */
VREL_API VrelStatus vrel_render_texture_workspace(
    int64_t sample_count, int64_t channel_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *bytes, uint64_t *alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_TEXTURE_H */
