"""Rasterization of NDC triangles and attribute interpolation."""
from __future__ import annotations

import torch

from ._registry import (
    ops, call, fake, autograd, out_operators, or_whole, batch_count, like_pair, save_inputs,
    multilinear)

__all__ = [
    "CULL_NONE", "CULL_BACK", "CULL_FRONT", "rasterize", "rasterize_window", "interpolate",
]

CULL_NONE = 1          #: rasterize both orientations
CULL_BACK = 2          #: drop faces clockwise in NDC
CULL_FRONT = 3         #: drop faces counter-clockwise in NDC


def rasterize(ndc_vertices, faces, vertex_offsets=None, face_offsets=None, image_height=256,
              image_width=256, faces_per_pixel=1, blur_radius_px=0.0, cull_mode=CULL_NONE,
              eps=1e-12):
    """Multi-layer rasterization of triangles given in normalized device coordinates.

    x runs right and y up, both in [-1, 1] across the image; pixel (row, column) has its centre at
    x = (2 column + 1) / W - 1, y = 1 - (2 row + 1) / H (row 0 at the top). Each pixel keeps its
    ``faces_per_pixel`` nearest fragments by depth (z), nearest first; with ``blur_radius_px`` > 0
    faces within that many pixels of the centre count too.

    Args:
        ndc_vertices: [V,3] float32 or float64.
        faces: [F,3] int32 (or int64) vertex rows.
        vertex_offsets, face_offsets: [B+1] packed offsets (default: one image of every face).
        image_height, image_width: H and W.
        faces_per_pixel: K layers.
        blur_radius_px: in pixels, >= 0.
        cull_mode: CULL_NONE, CULL_BACK (keeps counter-clockwise faces) or CULL_FRONT.
        eps: degenerate faces (signed area of magnitude not above ``eps``) give no fragments.

    Returns:
        (face_index [B,H,W,K] int32, -1 for an empty layer; barycentric [B,H,W,K,3]; depth
        [B,H,W,K], +inf for an empty layer; signed_distance [B,H,W,K], the squared pixel distance
        to the face's boundary, negative inside). Differentiable in ``ndc_vertices`` through
        barycentric, depth and signed_distance.

    Example:
        >>> vertices, faces = vrel.shapes.plane(1.0, 1.0)        # the square [-0.5, 0.5]^2
        >>> face_index, barycentric, depth, distance = vrel.rasterize(
        ...     vertices, faces, image_height=4, image_width=4)
        >>> face_index[0, :, :, 0]
        tensor([[-1, -1, -1, -1],
                [-1,  1,  0, -1],
                [-1,  0,  0, -1],
                [-1, -1, -1, -1]], dtype=torch.int32)
    """
    vertex_offsets = or_whole(vertex_offsets, ndc_vertices)
    face_offsets = or_whole(face_offsets, faces)
    return call("rasterize", ndc_vertices, faces, vertex_offsets, face_offsets, int(image_height),
                         int(image_width), int(faces_per_pixel), float(blur_radius_px),
                         int(cull_mode), float(eps))


def rasterize_window(ndc_vertices, faces, vertex_offsets, face_offsets, global_height,
                     global_width, row_offset, column_offset, image_height, image_width,
                     faces_per_pixel=1, blur_radius_px=0.0, cull_mode=CULL_NONE, eps=1e-12):
    """As :func:`rasterize`, for one window of a larger image: tiles agree exactly with
    the full render.

    Args:
        ndc_vertices, faces, vertex_offsets, face_offsets: as for :func:`rasterize` (offsets
            required).
        global_height, global_width: the whole image.
        row_offset, column_offset: the window's first row and column in the whole image.
        image_height, image_width: the window's size.
        faces_per_pixel, blur_radius_px, cull_mode, eps: as for :func:`rasterize`.

    Returns:
        The four outputs of :func:`rasterize` for the window. Not differentiable (use
        :func:`rasterize` for gradients).

    Example:
        >>> vertices, faces = vrel.shapes.plane(1.0, 1.0)
        >>> offsets = torch.tensor([0, 4]), torch.tensor([0, 2])
        >>> window = vrel.rasterize_window(vertices, faces, *offsets, 4, 4, 1, 1, 2, 2)[0]
        >>> full = vrel.rasterize(vertices, faces, image_height=4, image_width=4)[0]
        >>> bool(torch.equal(window, full[:, 1:3, 1:3]))
        True
    """
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
def _(ndc, faces, vertex_offsets, face_offsets, gh, gw, r0, c0, h, w, k, blur, cull, eps):
    return _fragments(ndc, vertex_offsets, h, w, k)


@fake("rasterize_backward")
def _(ndc, faces, h, w, face_index, grad_barycentric, grad_depth, grad_signed_distance):
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
    """Per-fragment attributes: the barycentric blend of each fragment's face corners.

    Args:
        face_index: [B,H,W,K] int32 (or int64) face rows, -1 for an empty layer (from
            :func:`rasterize`).
        barycentric: [B,H,W,K,3] float32 or float64.
        face_attributes: [F,3,C] corner attributes in the barycentric dtype (for instance from
            :func:`gather_faces`).

    Returns:
        [B,H,W,K,C]; zeros for empty layers. Differentiable in ``barycentric`` and
        ``face_attributes``.

    Example:
        >>> vertices, faces = vrel.shapes.plane(1.0, 1.0)
        >>> face_index, barycentric, _, _ = vrel.rasterize(vertices, faces, image_height=4,
        ...                                                image_width=4)
        >>> corners = vrel.gather_faces(vertices, faces)
        >>> positions = vrel.interpolate(face_index, barycentric, corners)
        >>> positions[0, 1, 2, 0].tolist()                   # the centre of pixel (1, 2)
        [0.25, 0.25, 0.0]
    """
    return call("interpolate", face_index, barycentric, face_attributes)


@fake("interpolate")
def _(face_index, barycentric, face_attributes):
    return barycentric.new_empty(tuple(face_index.shape) + (face_attributes.shape[2],))


@fake("interpolate_backward")
def _(face_index, barycentric, face_attributes, grad_attributes):
    return like_pair(barycentric, barycentric, face_attributes)


@autograd("interpolate", "interpolate_backward", save_inputs)
def _(ctx, grad_attributes):
    face_index, barycentric, face_attributes = ctx.saved_tensors

    def reference(b, a):
        covered = (face_index >= 0).unsqueeze(-1)
        corners = a[face_index.clamp(min=0).long()]  # [..., 3, C]
        return torch.where(covered, torch.einsum("...j,...jc->...c", b, corners), 0)

    grad_barycentric, grad_attributes_in = multilinear(
        lambda b, a, g: ops.interpolate_backward(face_index, b, a, g), reference,
        (barycentric, face_attributes), (grad_attributes.contiguous(),))
    return None, grad_barycentric, grad_attributes_in


out_operators("rasterize_out", "interpolate_out")
