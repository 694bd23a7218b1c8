"""Point transforms: batched 4x4 transforms and the perspective divide."""
from __future__ import annotations

import torch

from ._registry import (
    ops, call, fake, autograd, out_operators, or_whole, like_pair, save_inputs, multilinear,
    batch_rows, homogeneous)

__all__ = ["transform_points", "perspective_divide"]


def transform_points(points, matrices, point_offsets=None):
    """Homogeneous points ``matrices[b] @ (x, y, z, 1)`` for the points of batch element b.

    Matrices act on column vectors, translation in the last column (a camera's projection times
    view matrix, for instance).

    Args:
        points: [P,3] float32 or float64.
        matrices: [B,4,4] in the points' dtype.
        point_offsets: [B+1] packed offsets over P (default: one matrix for every point).

    Returns:
        [P,4] in the points' dtype. Differentiable in ``points`` and ``matrices``.

    Example:
        >>> matrix = torch.eye(4)
        >>> matrix[:3, 3] = torch.tensor([1.0, 2.0, 3.0])     # a translation
        >>> vrel.transform_points(torch.tensor([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]), matrix[None])
        tensor([[1., 2., 3., 1.],
                [2., 3., 4., 1.]])
    """
    point_offsets = or_whole(point_offsets, points)
    return call("transform_points", points, matrices, point_offsets)


@fake("transform_points")
def _(points, matrices, point_offsets):
    return points.new_empty((points.shape[0], 4))


@fake("transform_points_backward")
def _(points, matrices, point_offsets, grad_homogeneous):
    return like_pair(points, points, matrices)


@autograd("transform_points", "transform_points_backward", save_inputs)
def _(ctx, grad_homogeneous):
    points, matrices, offsets = ctx.saved_tensors

    def reference(p, m):
        return torch.einsum("prc,pc->pr", m[batch_rows(offsets, p.shape[0])], homogeneous(p))

    grad_points, grad_matrices = multilinear(
        lambda p, m, g: ops.transform_points_backward(p, m, offsets, g), reference,
        (points, matrices), (grad_homogeneous.contiguous(),))
    return grad_points, grad_matrices, None


def perspective_divide(homogeneous, eps: float = 1e-12):
    """Normalized device coordinates (X, Y, Z) / W of homogeneous points.

    Args:
        homogeneous: [P,4] float32 or float64 (X, Y, Z, W).
        eps: points with |W| not above ``eps`` cannot be divided.

    Returns:
        (ndc [P,3], valid [P] bool); undividable points get zeros and valid False.
        Differentiable in ``homogeneous``.

    Example:
        >>> ndc, valid = vrel.perspective_divide(torch.tensor([[2.0, 4.0, 1.0, 2.0],
        ...                                                    [1.0, 1.0, 1.0, 0.0]]))
        >>> ndc.tolist(), valid.tolist()
        ([[1.0, 2.0, 0.5], [0.0, 0.0, 0.0]], [True, False])
    """
    return call("perspective_divide", homogeneous, float(eps))


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
