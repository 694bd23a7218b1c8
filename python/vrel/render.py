"""Rasterization of NDC triangles and attribute interpolation."""
from __future__ import annotations

import torch

from ._registry import (
    ops, fake, autograd, out_operators, or_whole, batch_count, like_pair, save_inputs)

__all__ = [
    "CULL_NONE", "CULL_BACK", "CULL_FRONT", "rasterize", "rasterize_window", "interpolate",
]

CULL_NONE = 1          #: rasterize both orientations
CULL_BACK = 2          #: drop faces clockwise in NDC
CULL_FRONT = 3         #: drop faces counter-clockwise in NDC


def rasterize(ndc_vertices, faces, vertex_offsets=None, face_offsets=None, image_height=256,
              image_width=256, faces_per_pixel=1, blur_radius_px=0.0, cull_mode=CULL_NONE,
              eps=1e-12):
    """Multi-layer rasterization of NDC triangles.

    Returns (face_index [B,H,W,K] int32 with -1 for empty layers, barycentric [B,H,W,K,3],
    depth [B,H,W,K] with +inf for empty layers, signed_distance [B,H,W,K]: the squared pixel
    distance to the face boundary, negative inside). Layers are ordered nearest first; faces
    within ``blur_radius_px`` of a pixel also count. Differentiable in ``ndc_vertices`` through
    barycentric, depth and signed_distance.
    """
    vertex_offsets = or_whole(vertex_offsets, ndc_vertices)
    face_offsets = or_whole(face_offsets, faces)
    return ops.rasterize(ndc_vertices, faces, vertex_offsets, face_offsets, int(image_height),
                         int(image_width), int(faces_per_pixel), float(blur_radius_px),
                         int(cull_mode), float(eps))


def rasterize_window(ndc_vertices, faces, vertex_offsets, face_offsets, global_height,
                     global_width, row_offset, column_offset, image_height, image_width,
                     faces_per_pixel=1, blur_radius_px=0.0, cull_mode=CULL_NONE, eps=1e-12):
    """As :func:`rasterize`, for the window at (row_offset, column_offset) of size
    image_height x image_width of a global_height x global_width image; tiles agree exactly with
    a full render. Not differentiable (use :func:`rasterize` for gradients)."""
    return ops.rasterize_window(ndc_vertices, faces, vertex_offsets, face_offsets,
                                int(global_height), int(global_width), int(row_offset),
                                int(column_offset), int(image_height), int(image_width),
                                int(faces_per_pixel), float(blur_radius_px), int(cull_mode),
                                float(eps))


def _fragments(ndc, vertex_offsets, h, w, k):
    shape = (batch_count(vertex_offsets), max(h, 0), max(w, 0), max(k, 0))
    return (ndc.new_empty(shape, dtype=torch.int32), ndc.new_empty(shape + (3,)),
            ndc.new_empty(shape), ndc.new_empty(shape))


@fake("rasterize")
def _(ndc, faces, vertex_offsets, face_offsets, h, w, k, blur, cull, eps):
    return _fragments(ndc, vertex_offsets, h, w, k)


@fake("rasterize_window")
def _(ndc, faces, vertex_offsets, face_offsets, gh, gw, r0, c0, h, w, k,
                           blur, cull, eps):
    return _fragments(ndc, vertex_offsets, h, w, k)


@fake("rasterize_backward")
def _(ndc, faces, h, w, face_index, grad_barycentric, grad_depth,
                             grad_signed_distance):
    return ndc.new_empty(ndc.shape)


def _setup_rasterize(ctx, inputs, output):
    ndc, faces = inputs[0], inputs[1]
    ctx.image = (inputs[4], inputs[5])
    face_index = output[0]
    # The backward operator reads the fragments' faces, not their values: barycentric, depth and
    # distance are not saved.
    ctx.save_for_backward(ndc, faces, face_index)
    ctx.mark_non_differentiable(face_index)


def _cotangent(grad, reference, shape):
    return reference.new_zeros(shape) if grad is None else grad.contiguous()


@autograd("rasterize", "rasterize_backward", _setup_rasterize)
def _(ctx, _grad_index, grad_barycentric, grad_depth, grad_distance):
    ndc, faces, face_index = ctx.saved_tensors
    fragments = tuple(face_index.shape)
    grad = ops.rasterize_backward(ndc, faces, ctx.image[0], ctx.image[1], face_index,
                                  _cotangent(grad_barycentric, ndc, fragments + (3,)),
                                  _cotangent(grad_depth, ndc, fragments),
                                  _cotangent(grad_distance, ndc, fragments))
    return (grad,) + (None,) * 9


def interpolate(face_index, barycentric, face_attributes):
    """Per-fragment attributes [B,H,W,K,C]: the barycentric blend of the corner attributes
    [F,3,C] of each fragment's face (zeros for empty layers). Differentiable in ``barycentric``
    and ``face_attributes``."""
    return ops.interpolate(face_index, barycentric, face_attributes)


@fake("interpolate")
def _(face_index, barycentric, face_attributes):
    return barycentric.new_empty(tuple(face_index.shape) + (face_attributes.shape[2],))


@fake("interpolate_backward")
def _(face_index, barycentric, face_attributes, grad_attributes):
    return like_pair(barycentric, barycentric, face_attributes)


@autograd("interpolate", "interpolate_backward", save_inputs)
def _(ctx, grad_attributes):
    face_index, barycentric, face_attributes = ctx.saved_tensors
    grad_barycentric, grad_attributes_in = ops.interpolate_backward(
        face_index, barycentric, face_attributes, grad_attributes.contiguous())
    return None, grad_barycentric, grad_attributes_in


out_operators("rasterize_out", "interpolate_out")
