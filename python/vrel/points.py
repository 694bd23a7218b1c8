"""Point proximity: k nearest neighbours and the closest point on a mesh."""
from __future__ import annotations

import torch

from ._registry import ops, fake, autograd, out_operators, or_whole, like_pair

__all__ = ["knn", "closest_point_on_mesh"]


def knn(query, reference, neighbor_count: int, query_offsets=None, reference_offsets=None):
    """The K nearest reference points of every query point (same batch element).

    Returns (distance_squared [P,K] ascending, +inf in empty slots; reference_index [P,K] int32,
    -1 in empty slots; valid [P,K] bool). Differentiable in both point sets through the
    distances.
    """
    query_offsets = or_whole(query_offsets, query)
    reference_offsets = or_whole(reference_offsets, reference)
    return ops.knn(query, reference, query_offsets, reference_offsets, int(neighbor_count))


@fake("knn")
def _(query, reference, query_offsets, reference_offsets, neighbor_count):
    shape = (query.shape[0], max(neighbor_count, 0))
    return (query.new_empty(shape), query.new_empty(shape, dtype=torch.int32),
            query.new_empty(shape, dtype=torch.bool))


@fake("knn_backward")
def _(query, reference, reference_index, valid, grad_distance_squared):
    return like_pair(query, query, reference)


def _setup_knn(ctx, inputs, output):
    query, reference = inputs[0], inputs[1]
    _distance, index, valid = output
    ctx.save_for_backward(query, reference, index, valid)
    ctx.mark_non_differentiable(index, valid)


@autograd("knn", "knn_backward", _setup_knn)
def _(ctx, grad_distance, *_unused):
    query, reference, index, valid = ctx.saved_tensors
    if grad_distance is None:
        return (None,) * 5
    grad_query, grad_reference = ops.knn_backward(query, reference, index, valid,
                                                   grad_distance.contiguous())
    return grad_query, grad_reference, None, None, None


def closest_point_on_mesh(points, vertices, faces, point_offsets=None, vertex_offsets=None,
                          face_offsets=None, eps: float = 0.0):
    """The nearest point on the mesh of each query point.

    Returns (distance_squared [P], face_index [P] int32, barycentric [P,3], closest [P,3],
    valid [P] bool). Differentiable in ``points`` and ``vertices`` through the distances.
    """
    point_offsets = or_whole(point_offsets, points)
    vertex_offsets = or_whole(vertex_offsets, vertices)
    face_offsets = or_whole(face_offsets, faces)
    return ops.closest_point_on_mesh(points, vertices, faces, point_offsets, vertex_offsets,
                                     face_offsets, float(eps))


@fake("closest_point_on_mesh")
def _(points, vertices, faces, point_offsets, vertex_offsets,
                                face_offsets, eps):
    p = points.shape[0]
    return (points.new_empty((p,)), points.new_empty((p,), dtype=torch.int32),
            points.new_empty((p, 3)), points.new_empty((p, 3)),
            points.new_empty((p,), dtype=torch.bool))


@fake("closest_point_on_mesh_backward")
def _(points, vertices, faces, face_index, barycentric,
                                         closest, valid, grad_distance_squared):
    return like_pair(points, points, vertices)


def _setup_closest_point(ctx, inputs, output):
    points, vertices, faces = inputs[0], inputs[1], inputs[2]
    _distance, face_index, barycentric, closest, valid = output
    ctx.save_for_backward(points, vertices, faces, face_index, barycentric, closest, valid)
    ctx.mark_non_differentiable(face_index, barycentric, closest, valid)


@autograd("closest_point_on_mesh", "closest_point_on_mesh_backward", _setup_closest_point)
def _(ctx, grad_distance, *_unused):
    points, vertices, faces, face_index, barycentric, closest, valid = ctx.saved_tensors
    if grad_distance is None:
        return (None,) * 7
    grad_points, grad_vertices = ops.closest_point_on_mesh_backward(
        points, vertices, faces, face_index, barycentric, closest, valid,
        grad_distance.contiguous())
    return (grad_points, grad_vertices) + (None,) * 5


out_operators("knn_out", "closest_point_on_mesh_out")
