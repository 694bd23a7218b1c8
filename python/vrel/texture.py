"""Textures: packed mip pyramids and filtered sampling."""
from __future__ import annotations

import torch

from ._registry import ops, fake, autograd, like_pair

__all__ = [
    "FILTER_NEAREST", "FILTER_LINEAR", "MIP_NEAREST", "MIP_LINEAR", "WRAP_REPEAT", "WRAP_CLAMP",
    "WRAP_MIRROR", "WRAP_BORDER", "texture_pyramid", "texture",
]

FILTER_NEAREST, FILTER_LINEAR = 1, 2
MIP_NEAREST, MIP_LINEAR = 1, 2
WRAP_REPEAT, WRAP_CLAMP, WRAP_MIRROR, WRAP_BORDER = 1, 2, 3, 4


def texture_pyramid(texture, levels: int = 0):
    """Packs the mip chain of an [H,W,C] texture: returns (pyramid [N], level_offsets [L+1]
    int32). ``levels`` 0 builds the full chain. Differentiable in ``texture``."""
    return ops.texture_pyramid(texture, int(levels))


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
    """Samples a packed pyramid at [N,2] (u, v) coordinates: returns [N,C].

    The level of detail comes from screen-space ``derivatives`` [N,4], an explicit ``lod`` [N], or
    defaults to level 0. Differentiable in ``pyramid`` and ``coordinates``.
    """
    empty = pyramid.new_empty((0,))
    return ops.texture(pyramid, level_offsets, int(texture_height), int(texture_width),
                       int(channel_count), coordinates,
                       empty if derivatives is None else derivatives,
                       empty if lod is None else lod, derivatives is not None, lod is not None,
                       int(filter), int(mip_filter), int(wrap_u), int(wrap_v),
                       empty if border is None else border, border is not None)


@fake("texture")
def _(pyramid, level_offsets, h, w, c, coordinates, derivatives, lod, has_derivatives,
                  has_lod, filter, mip_filter, wrap_u, wrap_v, border, has_border):
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
