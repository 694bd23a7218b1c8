"""Mesh geometry: face normals and areas, vertex normals, face gathering, edge topology,
validation and surface sampling."""
from __future__ import annotations

import torch

from ._registry import (
    ops, fake, autograd, out_operators, or_whole, batch_count, zeros_if_none, save_inputs)

__all__ = [
    "WEIGHTING_AREA", "WEIGHTING_UNIFORM",
    "face_geometry", "vertex_normals", "gather_faces", "build_edge_topology", "mesh_validate",
    "sample_surface",
]

WEIGHTING_AREA = 1     #: vertex normals weighted by face area
WEIGHTING_UNIFORM = 2  #: every adjacent face counts once


def face_geometry(vertices, faces, eps: float = 0.0):
    """Unit normals [F,3], areas [F] and validity [F] (bool) of every triangle.

    A face is valid when the length of its unnormalised normal exceeds ``eps``; invalid faces get
    zeros. Differentiable in ``vertices`` through normals and areas.
    """
    return ops.face_geometry(vertices, faces, float(eps))


@fake("face_geometry")
def _(vertices, faces, eps):
    f = faces.shape[0]
    return (vertices.new_empty((f, 3)), vertices.new_empty((f,)),
            vertices.new_empty((f,), dtype=torch.bool))


def _setup_face_geometry(ctx, inputs, output):
    vertices, faces, eps = inputs
    ctx.save_for_backward(vertices, faces)
    ctx.eps = eps
    ctx.mark_non_differentiable(output[2])


@autograd("face_geometry", "face_geometry_backward", _setup_face_geometry)
def _(ctx, grad_normals, grad_areas, _grad_valid):
    vertices, faces = ctx.saved_tensors
    f = faces.shape[0]
    has_n, has_a = grad_normals is not None, grad_areas is not None
    if not (has_n or has_a):
        return None, None, None
    gn = grad_normals.contiguous() if has_n else vertices.new_zeros((f, 3))
    ga = grad_areas.contiguous() if has_a else vertices.new_zeros((f,))
    grad = ops.face_geometry_backward(vertices, faces, ctx.eps, gn, ga, has_n, has_a)
    return grad, None, None


def vertex_normals(vertices, faces, eps: float = 1e-12, weighting: int = WEIGHTING_AREA):
    """Unit normal per vertex [V,3]: the sum of the adjacent valid faces' normals, normalised.

    ``weighting`` is WEIGHTING_AREA (area-weighted) or WEIGHTING_UNIFORM. Vertices with no valid
    face (or a sum no longer than ``eps``) get zero normals. Differentiable in ``vertices``.
    """
    return ops.vertex_normals(vertices, faces, float(eps), int(weighting))


@fake("vertex_normals")
def _(vertices, faces, eps, weighting):
    return vertices.new_empty((vertices.shape[0], 3))


@autograd("vertex_normals", "vertex_normals_backward", save_inputs)
def _(ctx, grad_normals):
    vertices, faces = ctx.saved_tensors
    eps, weighting = ctx.scalars
    grad = ops.vertex_normals_backward(vertices, faces, eps, weighting, grad_normals.contiguous())
    return grad, None, None, None


def gather_faces(vertices, faces):
    """Per-corner values [F,3,C=3]: element [f,k] is ``vertices[faces[f,k]]``. Differentiable.

    Any [V,3] per-vertex quantity (positions, normals) can be gathered; the result is the
    ``face_attributes`` input of :func:`interpolate`.
    """
    return ops.gather_faces(vertices, faces)


@fake("gather_faces")
def _(vertices, faces):
    return vertices.new_empty((faces.shape[0], 3, 3))


@autograd("gather_faces", "gather_faces_backward", save_inputs)
def _(ctx, grad_gathered):
    vertices, faces = ctx.saved_tensors
    return ops.gather_faces_backward(vertices, faces, grad_gathered.contiguous()), None


@fake("face_geometry_backward", "vertex_normals_backward", "gather_faces_backward", "sample_surface_backward")
def _(vertices, *_rest):
    return vertices.new_empty((vertices.shape[0], 3))


def build_edge_topology(faces, face_offsets=None):
    """Unique undirected edges of each batch element and the faces around each edge.

    Returns (mesh_edge_offsets [B+1], edges [3F,2], edge_face_offsets [3F+1], edge_faces [3F]),
    all int32; unused edge rows are (-1, -1).
    """
    face_offsets = or_whole(face_offsets, faces)
    return ops.build_edge_topology(faces, face_offsets)


@fake("build_edge_topology")
def _(faces, face_offsets):
    f = faces.shape[0]
    return (faces.new_empty((batch_count(face_offsets) + 1,)), faces.new_empty((3 * f, 2)),
            faces.new_empty((3 * f + 1,)), faces.new_empty((3 * f,)))


def mesh_validate(vertices, faces, vertex_offsets=None, face_offsets=None, eps: float = 0.0,
                  flags: int = 0):
    """Inspects a packed mesh batch and returns an int64 report [7] instead of failing.

    Elements: issue bits, first invalid face (-1), broken offset index (-1), degenerate faces,
    non-finite vertices (-1 unless ``flags`` has bit 0), unreferenced vertices, 0.
    """
    vertex_offsets = or_whole(vertex_offsets, vertices)
    face_offsets = or_whole(face_offsets, faces)
    return ops.mesh_validate(vertices, faces, vertex_offsets, face_offsets, float(eps), int(flags))


@fake("mesh_validate")
def _(vertices, faces, vertex_offsets, face_offsets, eps, flags):
    return vertices.new_empty((7,), dtype=torch.int64)


def sample_surface(vertices, faces, sample_count: int, rng_key, rng_counter,
                   vertex_offsets=None, face_offsets=None, eps: float = 0.0):
    """Draws ``sample_count`` points per batch element uniformly by area, reproducibly.

    ``rng_key`` and ``rng_counter`` are [2] uint32 tensors; the same key and counter give the same
    samples. Returns (points [B,S,3], face_index [B,S] int32, barycentric [B,S,3], next_counter
    [2] uint32); pass ``next_counter`` as the counter of the next call. Differentiable in
    ``vertices`` with the sampled faces and barycentrics held fixed.
    """
    vertex_offsets = or_whole(vertex_offsets, vertices)
    face_offsets = or_whole(face_offsets, faces)
    return ops.sample_surface(vertices, faces, vertex_offsets, face_offsets, int(sample_count),
                              rng_key, rng_counter, float(eps))


@fake("sample_surface")
def _(vertices, faces, vertex_offsets, face_offsets, sample_count, rng_key,
                         rng_counter, eps):
    b, s = batch_count(vertex_offsets), max(sample_count, 0)
    return (vertices.new_empty((b, s, 3)), vertices.new_empty((b, s), dtype=torch.int32),
            vertices.new_empty((b, s, 3)), vertices.new_empty((2,), dtype=torch.uint32))


def _setup_sample_surface(ctx, inputs, output):
    vertices, faces = inputs[0], inputs[1]
    _points, face_index, barycentric, next_counter = output
    ctx.save_for_backward(vertices, faces, face_index, barycentric)
    ctx.mark_non_differentiable(face_index, barycentric, next_counter)


@autograd("sample_surface", "sample_surface_backward", _setup_sample_surface)
def _(ctx, grad_points, *_unused):
    vertices, faces, face_index, barycentric = ctx.saved_tensors
    grad = ops.sample_surface_backward(vertices, faces, face_index, barycentric,
                                        zeros_if_none(grad_points, barycentric))
    return (grad,) + (None,) * 7


out_operators("face_geometry_out", "vertex_normals_out", "gather_faces_out", "sample_surface_out")
