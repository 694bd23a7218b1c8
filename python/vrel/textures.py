"""Textures: packed mip pyramids and filtered sampling. (The module is ``textures`` because
``vrel.texture`` is the sampling function.)"""
from __future__ import annotations

import torch

from ._registry import ops, call, fake, autograd, like_pair

__all__ = [
    "FILTER_NEAREST", "FILTER_LINEAR", "MIP_NEAREST", "MIP_LINEAR", "WRAP_REPEAT", "WRAP_CLAMP",
    "WRAP_MIRROR", "WRAP_BORDER", "texture_pyramid", "texture",
]

FILTER_NEAREST, FILTER_LINEAR = 1, 2
MIP_NEAREST, MIP_LINEAR = 1, 2
WRAP_REPEAT, WRAP_CLAMP, WRAP_MIRROR, WRAP_BORDER = 1, 2, 3, 4


def texture_pyramid(texture, levels: int = 0):
    """Packs the mip chain of a texture into one flat tensor.

    Each level halves the previous one (a side of 1 stays 1), averaging 2x2 texels.

    Args:
        texture: [H,W,C] float32 or float64, rows from the top.
        levels: how many levels, 0 for the full chain down to 1x1.

    Returns:
        (pyramid [N], level_offsets [L+1] int32): level l occupies
        ``pyramid[level_offsets[l]:level_offsets[l+1]]`` as an [h,w,C] block. Differentiable in
        ``texture``.

    Example:
        >>> pyramid, level_offsets = vrel.texture_pyramid(torch.arange(16.0).reshape(4, 4, 1))
        >>> level_offsets.tolist(), pyramid[16:].tolist()
        ([0, 16, 20, 21], [2.5, 4.5, 10.5, 12.5, 7.5])
    """
    return call("texture_pyramid", texture, int(levels))


def pyramid_levels(height: int, width: int, levels: int) -> list[tuple[int, int]]:
    """The (height, width) of each level of a packed mip pyramid (levels 0: the full chain)."""
    full = 1 + max(height, width).bit_length() - 1 if max(height, width) >= 1 else 0
    count = full if levels == 0 else min(levels, full)
    sizes, h, w = [], height, width
    for _ in range(count):
        sizes.append((h, w))
        h, w = (1 if h < 2 else h // 2), (1 if w < 2 else w // 2)
    return sizes


@fake("texture_pyramid")
def _(texture, levels):
    h, w, c = texture.shape
    sizes = pyramid_levels(h, w, levels)
    total = sum(a * b * c for a, b in sizes)
    return texture.new_empty((total,)), texture.new_empty((len(sizes) + 1,), dtype=torch.int32)


@fake("texture_pyramid_backward")
def _(level_offsets, h, w, c, grad_pyramid):
    return grad_pyramid.new_empty((max(h, 0), max(w, 0), max(c, 0)))


def _setup_texture_pyramid(ctx, inputs, output):
    texture, _levels = inputs
    ctx.shape = tuple(texture.shape)
    ctx.save_for_backward(output[1])
    ctx.mark_non_differentiable(output[1])


@autograd("texture_pyramid", "texture_pyramid_backward", _setup_texture_pyramid)
def _(ctx, grad_pyramid, _grad_offsets):
    (level_offsets,) = ctx.saved_tensors
    h, w, c = ctx.shape
    return ops.texture_pyramid_backward(level_offsets, h, w, c, grad_pyramid.contiguous()), None


def texture(pyramid, level_offsets, texture_height, texture_width, channel_count, coordinates,
            derivatives=None, lod=None, filter=FILTER_LINEAR, mip_filter=MIP_LINEAR,
            wrap_u=WRAP_REPEAT, wrap_v=WRAP_REPEAT, border=None):
    """Samples a packed texture pyramid at (u, v) coordinates.

    u runs across the width and v down the rows; [0, 1] spans the texture and texel j of a level
    of width w covers [j/w, (j+1)/w). The level of detail comes from screen-space
    ``derivatives``, an explicit ``lod``, or is level 0 when neither is given.

    Args:
        pyramid, level_offsets: from :func:`texture_pyramid`.
        texture_height, texture_width, channel_count: the level-0 size H, W and C.
        coordinates: [N,2] (u, v) in the pyramid's dtype.
        derivatives: optional [N,4] (du/dx, dv/dx, du/dy, dv/dy).
        lod: optional [N] explicit level of detail (not together with ``derivatives``).
        filter: FILTER_NEAREST or FILTER_LINEAR (bilinear) within a level.
        mip_filter: MIP_NEAREST or MIP_LINEAR between levels.
        wrap_u, wrap_v: WRAP_REPEAT, WRAP_CLAMP, WRAP_MIRROR or WRAP_BORDER.
        border: optional [C] colour outside the texture with WRAP_BORDER.

    Returns:
        [N,C] in the pyramid's dtype. Differentiable in ``pyramid`` and ``coordinates``.

    Example:
        >>> image = torch.tensor([[[0.0], [1.0]], [[2.0], [3.0]]])       # 2x2, one channel
        >>> pyramid, level_offsets = vrel.texture_pyramid(image)
        >>> uv = torch.tensor([[0.25, 0.25], [0.5, 0.5], [0.75, 0.25]])
        >>> vrel.texture(pyramid, level_offsets, 2, 2, 1, uv).tolist()
        [[0.0], [1.5], [1.0]]
    """
    empty = pyramid.new_empty((0,))
    return call("texture", pyramid, level_offsets, int(texture_height), int(texture_width),
                       int(channel_count), coordinates,
                       empty if derivatives is None else derivatives,
                       empty if lod is None else lod, derivatives is not None, lod is not None,
                       int(filter), int(mip_filter), int(wrap_u), int(wrap_v),
                       empty if border is None else border, border is not None)


@fake("texture")
def _(pyramid, level_offsets, h, w, c, coordinates, derivatives, lod, has_derivatives, has_lod,
      filter, mip_filter, wrap_u, wrap_v, border, has_border):
    return pyramid.new_empty((coordinates.shape[0], c))


@fake("texture_backward")
def _(pyramid, level_offsets, h, w, coordinates, *_rest):
    return like_pair(pyramid, pyramid, coordinates)


def _setup_texture(ctx, inputs, output):
    (pyramid, level_offsets, h, w, _c, coordinates, derivatives, lod, has_derivatives, has_lod,
     filter_, mip_filter, wrap_u, wrap_v, border, has_border) = inputs
    ctx.save_for_backward(pyramid, level_offsets, coordinates, derivatives, lod, border)
    ctx.scalars = (h, w, has_derivatives, has_lod, filter_, mip_filter, wrap_u, wrap_v,
                   has_border)


@autograd("texture", "texture_backward", _setup_texture)
def _(ctx, grad_samples):
    pyramid, level_offsets, coordinates, derivatives, lod, border = ctx.saved_tensors
    h, w, has_d, has_lod, filter_, mip_filter, wrap_u, wrap_v, has_border = ctx.scalars
    grad_pyramid, grad_coordinates = ops.texture_backward(
        pyramid, level_offsets, h, w, coordinates, derivatives, lod, has_d, has_lod, filter_,
        mip_filter, wrap_u, wrap_v, border, has_border, grad_samples.contiguous())
    return (grad_pyramid, None, None, None, None, grad_coordinates) + (None,) * 10
