"""Point transforms: batched 4x4 transforms and the perspective divide."""
from __future__ import annotations

import torch

from ._registry import (
    ops, fake, autograd, out_operators, or_whole, like_pair, save_inputs)

__all__ = ["transform_points", "perspective_divide"]


def transform_points(points, matrices, point_offsets=None):
    """Homogeneous points [P,4] = matrices[b] @ (x, y, z, 1) for the points of batch element b.

    ``matrices`` is [B,4,4] (column-vector convention, translation in the last column);
    ``point_offsets`` [B+1] int32 splits the points among the matrices (default: one matrix for
    all points). Differentiable in ``points`` and ``matrices``.
    """
    point_offsets = or_whole(point_offsets, points)
    return ops.transform_points(points, matrices, point_offsets)


@fake("transform_points")
def _(points, matrices, point_offsets):
    return points.new_empty((points.shape[0], 4))


@fake("transform_points_backward")
def _(points, matrices, point_offsets, grad_homogeneous):
    return like_pair(points, points, matrices)


@autograd("transform_points", "transform_points_backward", save_inputs)
def _(ctx, grad_homogeneous):
    points, matrices, offsets = ctx.saved_tensors
    grad_points, grad_matrices = ops.transform_points_backward(points, matrices, offsets,
                                                                grad_homogeneous.contiguous())
    return grad_points, grad_matrices, None


def perspective_divide(homogeneous, eps: float = 1e-12):
    """Normalized device coordinates [P,3] = (X, Y, Z) / W and a validity mask [P] (bool).

    Points with |W| not greater than ``eps`` cannot be divided: they get zeros and valid 0.
    Differentiable in ``homogeneous``.
    """
    return ops.perspective_divide(homogeneous, float(eps))


@fake("perspective_divide")
def _(homogeneous, eps):
    p = homogeneous.shape[0]
    return homogeneous.new_empty((p, 3)), homogeneous.new_empty((p,), dtype=torch.bool)


@fake("perspective_divide_backward")
def _(homogeneous, eps, grad_ndc):
    return homogeneous.new_empty(homogeneous.shape)


def _setup_perspective_divide(ctx, inputs, output):
    save_inputs(ctx, inputs, output)
    ctx.mark_non_differentiable(output[1])


@autograd("perspective_divide", "perspective_divide_backward", _setup_perspective_divide)
def _(ctx, grad_ndc, _grad_valid):
    (homogeneous,) = ctx.saved_tensors
    (eps,) = ctx.scalars
    if grad_ndc is None:
        return None, None
    return ops.perspective_divide_backward(homogeneous, eps, grad_ndc.contiguous()), None


out_operators("transform_points_out", "perspective_divide_out")
