"""Animation: rotations, forward kinematics, blend shapes, skinning and barycentric landmarks."""
from __future__ import annotations

import torch

from ._registry import (
    ops, call, fake, autograd, out_operators, wanted, save_inputs, needed, multilinear,
    homogeneous)

__all__ = ["rodrigues", "forward_kinematics", "blend_shapes", "skin_lbs", "evaluate_barycentric"]


def rodrigues(axis_angle):
    """Rotation matrices from axis-angle vectors (the axis scaled by the angle, in radians).

    Args:
        axis_angle: [..., 3] float32 or float64.

    Returns:
        [..., 3, 3] rotation matrices acting on column vectors. Differentiable (also at the zero
        rotation).

    Example:
        >>> quarter_turn = torch.tensor([0.0, 0.0, torch.pi / 2], dtype=torch.float64)
        >>> rotation = vrel.rodrigues(quarter_turn)
        >>> (rotation @ torch.tensor([1.0, 0.0, 0.0], dtype=torch.float64)).round(decimals=6)
        tensor([0., 1., 0.], dtype=torch.float64)
    """
    return call("rodrigues", axis_angle)


@fake("rodrigues")
def _(axis_angle):
    return axis_angle.new_empty(tuple(axis_angle.shape) + (3,))


@fake("rodrigues_backward", "forward_kinematics_backward")
def _(primal, *_rest):
    return primal.new_empty(primal.shape)


@autograd("rodrigues", "rodrigues_backward", save_inputs)
def _(ctx, grad_rotation):
    (axis_angle,) = ctx.saved_tensors
    return ops.rodrigues_backward(axis_angle, grad_rotation.contiguous())


def forward_kinematics(local, parents):
    """World transforms of a skeleton from its local joint transforms.

    ``world[j] = world[parents[j]] @ local[j]``, and ``world[j] = local[j]`` for a root.

    Args:
        local: [B,J,4,4] float32 or float64 joint transforms (column-vector convention).
        parents: [J] int32 (or int64): the parent of each joint, -1 for a root (joints may come
            in any order; a cycle is refused).

    Returns:
        [B,J,4,4] in the local transforms' dtype. Differentiable in ``local``.

    Example:
        >>> local = torch.eye(4).repeat(1, 3, 1, 1)
        >>> local[0, :, 0, 3] = 1.0                           # each joint one unit along x
        >>> world = vrel.forward_kinematics(local, torch.tensor([-1, 0, 1]))
        >>> world[0, :, 0, 3].tolist()
        [1.0, 2.0, 3.0]
    """
    return call("forward_kinematics", local, parents)


@fake("forward_kinematics")
def _(local, parents):
    return local.new_empty(local.shape)


@autograd("forward_kinematics", "forward_kinematics_backward", save_inputs)
def _(ctx, grad_world):
    local, parents = ctx.saved_tensors
    return ops.forward_kinematics_backward(local, parents, grad_world.contiguous()), None


def blend_shapes(template_vertices, deltas, weights):
    """A template mesh plus weighted blend-shape offsets, per batch element.

    ``vertices[b] = template + sum_k weights[b,k] * deltas[k]``.

    Args:
        template_vertices: [V,3] float32 or float64.
        deltas: [K,V,3] in the template's dtype.
        weights: [B,K] in the template's dtype.

    Returns:
        [B,V,3]. Differentiable in all three inputs.

    Example:
        >>> template = torch.zeros(2, 3)
        >>> deltas = torch.tensor([[[1.0, 0.0, 0.0], [0.0, 0.0, 0.0]],
        ...                        [[0.0, 0.0, 0.0], [0.0, 2.0, 0.0]]])
        >>> vrel.blend_shapes(template, deltas, torch.tensor([[0.5, 1.0]])).tolist()
        [[[0.5, 0.0, 0.0], [0.0, 2.0, 0.0]]]
    """
    return call("blend_shapes", template_vertices, deltas, weights)


@fake("blend_shapes")
def _(template_vertices, deltas, weights):
    return template_vertices.new_empty((weights.shape[0], template_vertices.shape[0], 3))


@fake("blend_shapes_backward", "skin_lbs_backward")
def _(first, second, third, _grad_output, *needs):
    return tuple(wanted(first, x, need) for x, need in zip((first, second, third), needs))


@autograd("blend_shapes", "blend_shapes_backward", save_inputs)
def _(ctx, grad_vertices):
    template, deltas, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = multilinear(
        lambda t, d, w, g: ops.blend_shapes_backward(t, d, w, g, *needs),
        lambda t, d, w: t + torch.einsum("bk,kvc->bvc", w, d),
        (template, deltas, weights), (grad_vertices.contiguous(),), needs)
    return needed(grads, needs)


def skin_lbs(vertices, transforms, weights):
    """Linear blend skinning: each vertex moved by the weighted sum of its joints' transforms.

    ``out[b,v] = sum_j weights[v,j] * (transforms[b,j] @ (vertices[b,v], 1))[:3]``.

    Args:
        vertices: [B,V,3] float32 or float64.
        transforms: [B,J,4,4] in the vertices' dtype (column-vector convention).
        weights: [V,J] in the vertices' dtype.

    Returns:
        [B,V,3]. Differentiable in all three inputs.

    Example:
        >>> transforms = torch.eye(4).repeat(1, 2, 1, 1)
        >>> transforms[0, 1, 0, 3] = 2.0                       # joint 1 moves 2 along x
        >>> weights = torch.tensor([[1.0, 0.0], [0.5, 0.5]])
        >>> vrel.skin_lbs(torch.zeros(1, 2, 3), transforms, weights).tolist()
        [[[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]]
    """
    return call("skin_lbs", vertices, transforms, weights)


@fake("skin_lbs")
def _(vertices, transforms, weights):
    return vertices.new_empty((vertices.shape[0], vertices.shape[1], 3))


@autograd("skin_lbs", "skin_lbs_backward", save_inputs)
def _(ctx, grad_output):
    vertices, transforms, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = multilinear(
        lambda v, t, w, g: ops.skin_lbs_backward(v, t, w, g, *needs),
        lambda v, t, w: torch.einsum("vj,bjrc,bvc->bvr", w, t[:, :, :3, :], homogeneous(v)),
        (vertices, transforms, weights), (grad_output.contiguous(),), needs)
    return needed(grads, needs)


def evaluate_barycentric(vertices, faces, face_index, barycentric):
    """Points at fixed barycentric positions on given faces (landmarks), per mesh.

    ``out[b,l] = sum_k barycentric[l,k] * vertices[b, faces[face_index[l], k]]``.

    Args:
        vertices: [B,V,3] float32 or float64.
        faces: [F,3] int32 (or int64) vertex rows.
        face_index: [L] int32 (or int64) rows of ``faces``.
        barycentric: [L,3] in the vertices' dtype.

    Returns:
        [B,L,3]. Differentiable in ``vertices`` and ``barycentric``.

    Example:
        >>> vertices, faces = vrel.shapes.plane()
        >>> third = torch.full((1, 3), 1.0 / 3.0)
        >>> vrel.evaluate_barycentric(vertices[None], faces, torch.tensor([0]), third)
        tensor([[[ 0.3333, -0.3333,  0.0000]]])
    """
    return call("evaluate_barycentric", vertices, faces, face_index, barycentric)


@fake("evaluate_barycentric")
def _(vertices, faces, face_index, barycentric):
    return vertices.new_empty((vertices.shape[0], face_index.shape[0], 3))


@fake("evaluate_barycentric_backward")
def _(vertices, faces, face_index, barycentric, grad_output, need_vertices, need_barycentric):
    return (wanted(vertices, vertices, need_vertices),
            wanted(vertices, barycentric, need_barycentric))


@autograd("evaluate_barycentric", "evaluate_barycentric_backward", save_inputs)
def _(ctx, grad_output):
    vertices, faces, face_index, barycentric = ctx.saved_tensors
    need_v, need_b = ctx.needs_input_grad[0], ctx.needs_input_grad[3]
    grad_v, grad_b = ops.evaluate_barycentric_backward(
        vertices, faces, face_index, barycentric, grad_output.contiguous(), need_v, need_b)
    return (grad_v if need_v else None), None, None, (grad_b if need_b else None)


out_operators("blend_shapes_out", "rodrigues_out", "forward_kinematics_out", "skin_lbs_out", "evaluate_barycentric_out")
