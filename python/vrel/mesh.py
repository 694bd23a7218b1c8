"""Mesh geometry: face normals and areas, vertex normals, face gathering, edge topology,
validation and surface sampling."""
from __future__ import annotations

import torch

from ._registry import (
    ops, call, fake, autograd, out_operators, or_whole, batch_count, zeros_if_none, save_inputs,
    multilinear)

__all__ = [
    "WEIGHTING_AREA", "WEIGHTING_UNIFORM",
    "face_geometry", "vertex_normals", "gather_faces", "build_edge_topology", "mesh_validate",
    "sample_surface",
]

WEIGHTING_AREA = 1     #: vertex normals weighted by face area
WEIGHTING_UNIFORM = 2  #: every adjacent face counts once


def face_geometry(vertices, faces, eps: float = 0.0):
    """Unit normal, area and validity of every triangle.

    The normal of face (a, b, c) is (b - a) x (c - a) normalised: counter-clockwise faces seen
    from outside point outward. A face is valid when the length of that cross product (twice
    the area) exceeds ``eps``; invalid faces get zero normals and areas.

    Args:
        vertices: [V,3] float32 or float64.
        faces: [F,3] int32 (or int64) vertex rows.
        eps: the degenerate-face threshold, >= 0.

    Returns:
        (normals [F,3], areas [F], valid [F] bool), in the vertices' dtype. Differentiable in
        ``vertices`` through normals and areas.

    Example:
        >>> vertices, faces = vrel.shapes.plane()
        >>> normals, areas, valid = vrel.face_geometry(vertices, faces)
        >>> normals.tolist(), areas.tolist(), valid.tolist()
        ([[0.0, 0.0, 1.0], [0.0, 0.0, 1.0]], [2.0, 2.0], [True, True])
    """
    return call("face_geometry", vertices, faces, float(eps))


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
    """Unit normal per vertex: the normalised sum of the normals of its valid faces.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] int32 (or int64) vertex rows.
        eps: vertices whose sum is not longer than ``eps`` (or that have no valid face) get a
            zero normal.
        weighting: WEIGHTING_AREA (each face normal weighted by its area) or WEIGHTING_UNIFORM
            (every adjacent face counts once).

    Returns:
        [V,3] in the vertices' dtype. Differentiable in ``vertices``.

    Example:
        >>> vertices, faces = vrel.shapes.cube(dtype=torch.float64)
        >>> normals = vrel.vertex_normals(vertices, faces, weighting=vrel.WEIGHTING_UNIFORM)
        >>> bool(torch.allclose(normals.norm(dim=1), torch.ones(8, dtype=torch.float64)))
        True
        >>> bool(((normals * vertices).sum(1) > 0).all())      # pointing outward
        True
    """
    return call("vertex_normals", vertices, faces, float(eps), int(weighting))


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
    """The corner values of every face: element [f,k] is ``vertices[faces[f,k]]``.

    Any [V,3] per-vertex quantity (positions, normals) can be gathered; the result is the
    ``face_attributes`` input of :func:`vrel.interpolate`.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] int32 (or int64) vertex rows.

    Returns:
        [F,3,3] in the vertices' dtype. Differentiable in ``vertices``.

    Example:
        >>> vertices, faces = vrel.shapes.plane()
        >>> vrel.gather_faces(vertices, faces)[0].tolist()
        [[-1.0, -1.0, 0.0], [1.0, -1.0, 0.0], [1.0, 1.0, 0.0]]
    """
    return call("gather_faces", vertices, faces)


@fake("gather_faces")
def _(vertices, faces):
    return vertices.new_empty((faces.shape[0], 3, 3))


@autograd("gather_faces", "gather_faces_backward", save_inputs)
def _(ctx, grad_gathered):
    vertices, faces = ctx.saved_tensors
    (grad,) = multilinear(
        lambda v, g: (ops.gather_faces_backward(v, faces, g),),
        lambda v: v[faces.long()], (vertices,), (grad_gathered.contiguous(),))
    return grad, None


@fake("face_geometry_backward", "vertex_normals_backward", "gather_faces_backward", "sample_surface_backward")
def _(vertices, *_rest):
    return vertices.new_empty((vertices.shape[0], 3))


def build_edge_topology(faces, face_offsets=None):
    """Unique undirected edges of each batch element and the faces around each edge.

    Args:
        faces: [F,3] int32 (or int64) vertex rows, all >= 0.
        face_offsets: [B+1] packed offsets over F (default: one element).

    Returns:
        (mesh_edge_offsets [B+1], edges [3F,2], edge_face_offsets [3F+1], edge_faces [3F]), all
        int32. The edges of element b are rows ``mesh_edge_offsets[b]:mesh_edge_offsets[b+1]``
        of ``edges``, each (low, high) and sorted; the rows after the last edge are (-1, -1).
        The faces of edge e are ``edge_faces[edge_face_offsets[e]:edge_face_offsets[e+1]]``.
        Not differentiable.

    Example:
        >>> _, faces = vrel.shapes.plane()                  # two triangles sharing edge (0, 3)
        >>> edge_offsets, edges, edge_face_offsets, edge_faces = vrel.build_edge_topology(faces)
        >>> edges[:int(edge_offsets[-1])].tolist()
        [[0, 1], [0, 2], [0, 3], [1, 3], [2, 3]]
        >>> edge_faces[edge_face_offsets[2]:edge_face_offsets[3]].tolist()
        [0, 1]
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
    """Inspects a packed mesh batch and reports its problems instead of failing.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] int32 (or int64) vertex rows.
        vertex_offsets, face_offsets: [B+1] packed offsets over V and F (default: one element).
        eps: faces whose doubled area is not above ``eps`` count as degenerate.
        flags: bit 0 also counts vertices with a non-finite coordinate.

    Returns:
        An int64 report [7]: issue bits (1 broken offsets, 2 an index outside [0, V), 4 an index
        outside its element's vertices, 8 degenerate faces, 16 non-finite vertices, 32
        unreferenced vertices), the first face with an index issue (-1 when none), the position of
        the broken offset (-1), the degenerate face count, the non-finite vertex count (-1 unless
        ``flags`` has bit 0), the unreferenced vertex count, and 0.

    Example:
        >>> vertices, _ = vrel.shapes.plane()
        >>> faces = torch.tensor([[0, 1, 1], [0, 1, 2]])       # a degenerate face; vertex 3 unused
        >>> vrel.mesh_validate(vertices, faces).tolist()
        [40, -1, -1, 1, -1, 1, 0]
    """
    vertex_offsets = or_whole(vertex_offsets, vertices)
    face_offsets = or_whole(face_offsets, faces)
    return ops.mesh_validate(vertices, faces, vertex_offsets, face_offsets, float(eps), int(flags))


@fake("mesh_validate")
def _(vertices, faces, vertex_offsets, face_offsets, eps, flags):
    return vertices.new_empty((7,), dtype=torch.int64)


def sample_surface(vertices, faces, sample_count: int, rng_key, rng_counter,
                   vertex_offsets=None, face_offsets=None, eps: float = 0.0):
    """Draws ``sample_count`` points per batch element, uniformly by area and reproducibly.

    Faces are picked with probability proportional to their area and points uniformly inside
    them, from a counter-based generator: the same key and counter always give the same samples.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] int32 (or int64) vertex rows.
        sample_count: S >= 0 points per batch element.
        rng_key, rng_counter: the generator's key and counter, each a Python integer in
            [0, 2**64) or a [2] uint32 tensor (low word first).
        vertex_offsets, face_offsets: [B+1] packed offsets over V and F (default: one element).
        eps: faces whose doubled area is not above ``eps`` are never picked.

    Returns:
        (points [B,S,3], face_index [B,S] int32, barycentric [B,S,3], next_counter [2] uint32);
        pass ``next_counter`` as the counter of the next call for fresh samples. Differentiable
        in ``vertices`` (faces and barycentrics held fixed).

    Example:
        >>> vertices, faces = vrel.shapes.plane()
        >>> points, face_index, barycentric, next_counter = vrel.sample_surface(
        ...     vertices, faces, 1000, rng_key=1, rng_counter=0)
        >>> points.shape, next_counter.tolist()
        (torch.Size([1, 1000, 3]), [1, 0])
        >>> bool((points[..., :2].abs() <= 1).all() and (points[..., 2] == 0).all())
        True
    """
    vertex_offsets = or_whole(vertex_offsets, vertices)
    face_offsets = or_whole(face_offsets, faces)
    return call("sample_surface", vertices, faces, vertex_offsets, face_offsets, int(sample_count),
                              rng_key, rng_counter, float(eps))


@fake("sample_surface")
def _(vertices, faces, vertex_offsets, face_offsets, sample_count, rng_key, rng_counter, eps):
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
    corners = faces.long()[face_index.long()]  # [B,S,3] vertex rows
    (grad,) = multilinear(
        lambda v, g: (ops.sample_surface_backward(v, faces, face_index, barycentric, g),),
        lambda v: torch.einsum("bsk,bskc->bsc", barycentric.to(v.dtype), v[corners]),
        (vertices,), (zeros_if_none(grad_points, barycentric),))
    return (grad,) + (None,) * 7


out_operators("face_geometry_out", "vertex_normals_out", "gather_faces_out", "sample_surface_out")
