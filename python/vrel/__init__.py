"""vrel: differentiable geometry and rendering operators for PyTorch.

Importing the package loads the ``_torch`` extension, which registers the operators under
``torch.ops.vrel``, pairs each forward operator with its backward operator for autograd, and
gives the forward operators fake kernels for ``torch.compile``. The functions below are thin,
documented entry points to those operators; all of them accept CPU tensors (and CUDA tensors where
a CUDA provider plug-in is installed).

Conventions: vertex arrays are [V,3] float32 or float64; face arrays are [F,3] int32 (convert
int64 index tensors with ``.int()``); packed batches use int32 offset tensors of length B+1 whose
first entry is 0 and last entry is the row count. Failures raise RuntimeError whose message starts
with "vrel-status:<code>:" (a core check) or "vrel-internal: " (an adapter check).
"""
from __future__ import annotations

import os as _os

import torch

from . import _torch  # noqa: F401  (registers the operators while it loads)
from . import _registry

__all__ = [
    "WEIGHTING_AREA", "WEIGHTING_UNIFORM", "CULL_NONE", "CULL_BACK", "CULL_FRONT",
    "face_geometry", "vertex_normals", "gather_faces", "build_edge_topology", "mesh_validate",
    "sample_surface", "ply_probe", "ply_read", "transform_points", "perspective_divide",
    "rasterize", "rasterize_window", "interpolate", "texture_pyramid", "texture", "knn",
    "closest_point_on_mesh", "rodrigues", "forward_kinematics", "blend_shapes", "skin_lbs",
    "evaluate_barycentric", "workspace_sizes", "opaque_coverage", "opaque_integrate",
]

ops = torch.ops.vrel

WEIGHTING_AREA = 1     #: vertex normals weighted by face area
WEIGHTING_UNIFORM = 2  #: every adjacent face counts once
CULL_NONE = 1          #: rasterize both orientations
CULL_BACK = 2          #: drop faces clockwise in NDC
CULL_FRONT = 3         #: drop faces counter-clockwise in NDC
FILTER_NEAREST, FILTER_LINEAR = 1, 2
MIP_NEAREST, MIP_LINEAR = 1, 2
WRAP_REPEAT, WRAP_CLAMP, WRAP_MIRROR, WRAP_BORDER = 1, 2, 3, 4

#: forward operators paired with their backward operator, and those with a fake kernel
AUTOGRAD_OPERATORS, FAKE_OPERATORS = _registry.register()

from . import opaque as _opaque  # noqa: E402  (needs the operators registered above)
from .opaque import opaque_coverage, opaque_integrate  # noqa: E402,F401

_paired, _faked = _opaque.register(_registry.has_kernel)
AUTOGRAD_OPERATORS += _paired
FAKE_OPERATORS += _faked


def _whole(count: int) -> torch.Tensor:
    return torch.tensor([0, count], dtype=torch.int32)


# ---- mesh geometry --------------------------------------------------------------------------

def face_geometry(vertices, faces, eps: float = 0.0):
    """Unit normals [F,3], areas [F] and validity [F] (bool) of every triangle.

    A face is valid when the length of its unnormalised normal exceeds ``eps``; invalid faces get
    zeros. Differentiable in ``vertices`` through normals and areas.
    """
    return ops.face_geometry(vertices, faces, float(eps))


def vertex_normals(vertices, faces, eps: float = 1e-12, weighting: int = WEIGHTING_AREA):
    """Unit normal per vertex [V,3]: the sum of the adjacent valid faces' normals, normalised.

    ``weighting`` is WEIGHTING_AREA (area-weighted) or WEIGHTING_UNIFORM. Vertices with no valid
    face (or a sum no longer than ``eps``) get zero normals. Differentiable in ``vertices``.
    """
    return ops.vertex_normals(vertices, faces, float(eps), int(weighting))


def gather_faces(vertices, faces):
    """Per-corner values [F,3,C=3]: element [f,k] is ``vertices[faces[f,k]]``. Differentiable.

    Any [V,3] per-vertex quantity (positions, normals) can be gathered; the result is the
    ``face_attributes`` input of :func:`interpolate`.
    """
    return ops.gather_faces(vertices, faces)


def build_edge_topology(faces, face_offsets=None):
    """Unique undirected edges of each batch element and the faces around each edge.

    Returns (mesh_edge_offsets [B+1], edges [3F,2], edge_face_offsets [3F+1], edge_faces [3F]),
    all int32; unused edge rows are (-1, -1).
    """
    if face_offsets is None:
        face_offsets = _whole(faces.shape[0])
    return ops.build_edge_topology(faces, face_offsets)


def mesh_validate(vertices, faces, vertex_offsets=None, face_offsets=None, eps: float = 0.0,
                  flags: int = 0):
    """Inspects a packed mesh batch and returns an int64 report [7] instead of failing.

    Elements: issue bits, first invalid face (-1), broken offset index (-1), degenerate faces,
    non-finite vertices (-1 unless ``flags`` has bit 0), unreferenced vertices, 0.
    """
    vertex_offsets = _whole(vertices.shape[0]) if vertex_offsets is None else vertex_offsets
    face_offsets = _whole(faces.shape[0]) if face_offsets is None else face_offsets
    return ops.mesh_validate(vertices, faces, vertex_offsets, face_offsets, float(eps), int(flags))


def sample_surface(vertices, faces, sample_count: int, rng_key, rng_counter,
                   vertex_offsets=None, face_offsets=None, eps: float = 0.0):
    """Draws ``sample_count`` points per batch element uniformly by area, reproducibly.

    ``rng_key`` and ``rng_counter`` are [2] uint32 tensors; the same key and counter give the same
    samples. Returns (points [B,S,3], face_index [B,S] int32, barycentric [B,S,3], next_counter
    [2] uint32); pass ``next_counter`` as the counter of the next call. Differentiable in
    ``vertices`` with the sampled faces and barycentrics held fixed.
    """
    vertex_offsets = _whole(vertices.shape[0]) if vertex_offsets is None else vertex_offsets
    face_offsets = _whole(faces.shape[0]) if face_offsets is None else face_offsets
    return ops.sample_surface(vertices, faces, vertex_offsets, face_offsets, int(sample_count),
                              rng_key, rng_counter, float(eps))


# ---- geometry input -------------------------------------------------------------------------

def _ply_bytes(path_or_bytes) -> torch.Tensor:
    if isinstance(path_or_bytes, torch.Tensor):
        return path_or_bytes
    if isinstance(path_or_bytes, (str, _os.PathLike)):
        with open(path_or_bytes, "rb") as handle:
            path_or_bytes = handle.read()
    data = bytearray(path_or_bytes)
    if not data:
        return torch.empty(0, dtype=torch.uint8)
    return torch.frombuffer(data, dtype=torch.uint8)


def ply_probe(path_or_bytes):
    """Reads a PLY header: returns (format, vertex_count, face_count); format 0 is ASCII, 1 binary
    little-endian. Accepts a path, bytes, or a uint8 tensor."""
    return ops.ply_probe(_ply_bytes(path_or_bytes))


def ply_read(path_or_bytes, double_precision: bool = False):
    """Reads a triangle mesh from PLY (ASCII or binary little-endian).

    Accepts a path, bytes, or a uint8 tensor. Returns (vertices [V,3] float32, or float64 when
    ``double_precision``, faces [F,3] int32).
    """
    return ops.ply_read(_ply_bytes(path_or_bytes), bool(double_precision))


# ---- point transforms -----------------------------------------------------------------------

def transform_points(points, matrices, point_offsets=None):
    """Homogeneous points [P,4] = matrices[b] @ (x, y, z, 1) for the points of batch element b.

    ``matrices`` is [B,4,4] (column-vector convention, translation in the last column);
    ``point_offsets`` [B+1] int32 splits the points among the matrices (default: one matrix for
    all points). Differentiable in ``points`` and ``matrices``.
    """
    if point_offsets is None:
        point_offsets = _whole(points.shape[0])
    return ops.transform_points(points, matrices, point_offsets)


def perspective_divide(homogeneous, eps: float = 1e-12):
    """Normalized device coordinates [P,3] = (X, Y, Z) / W and a validity mask [P] (bool).

    Points with |W| not greater than ``eps`` cannot be divided: they get zeros and valid 0.
    Differentiable in ``homogeneous``.
    """
    return ops.perspective_divide(homogeneous, float(eps))


# ---- rasterization --------------------------------------------------------------------------

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
    vertex_offsets = _whole(ndc_vertices.shape[0]) if vertex_offsets is None else vertex_offsets
    face_offsets = _whole(faces.shape[0]) if face_offsets is None else face_offsets
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


def interpolate(face_index, barycentric, face_attributes):
    """Per-fragment attributes [B,H,W,K,C]: the barycentric blend of the corner attributes
    [F,3,C] of each fragment's face (zeros for empty layers). Differentiable in ``barycentric``
    and ``face_attributes``."""
    return ops.interpolate(face_index, barycentric, face_attributes)


# ---- textures -------------------------------------------------------------------------------

def texture_pyramid(texture, levels: int = 0):
    """Packs the mip chain of an [H,W,C] texture: returns (pyramid [N], level_offsets [L+1]
    int32). ``levels`` 0 builds the full chain. Differentiable in ``texture``."""
    return ops.texture_pyramid(texture, int(levels))


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


# ---- point proximity ------------------------------------------------------------------------

def knn(query, reference, neighbor_count: int, query_offsets=None, reference_offsets=None):
    """The K nearest reference points of every query point (same batch element).

    Returns (distance_squared [P,K] ascending, +inf in empty slots; reference_index [P,K] int32,
    -1 in empty slots; valid [P,K] bool). Differentiable in both point sets through the
    distances.
    """
    query_offsets = _whole(query.shape[0]) if query_offsets is None else query_offsets
    reference_offsets = (_whole(reference.shape[0]) if reference_offsets is None
                         else reference_offsets)
    return ops.knn(query, reference, query_offsets, reference_offsets, int(neighbor_count))


def closest_point_on_mesh(points, vertices, faces, point_offsets=None, vertex_offsets=None,
                          face_offsets=None, eps: float = 0.0):
    """The nearest point on the mesh of each query point.

    Returns (distance_squared [P], face_index [P] int32, barycentric [P,3], closest [P,3],
    valid [P] bool). Differentiable in ``points`` and ``vertices`` through the distances.
    """
    point_offsets = _whole(points.shape[0]) if point_offsets is None else point_offsets
    vertex_offsets = _whole(vertices.shape[0]) if vertex_offsets is None else vertex_offsets
    face_offsets = _whole(faces.shape[0]) if face_offsets is None else face_offsets
    return ops.closest_point_on_mesh(points, vertices, faces, point_offsets, vertex_offsets,
                                     face_offsets, float(eps))


# ---- animation ------------------------------------------------------------------------------

def rodrigues(axis_angle):
    """Rotation matrices [..., 3, 3] from axis-angle vectors [..., 3]. Differentiable."""
    return ops.rodrigues(axis_angle)


def forward_kinematics(local, parents):
    """World transforms [B,J,4,4] from local joint transforms [B,J,4,4] and parents [J] int32
    (-1 for a root). Differentiable in ``local``."""
    return ops.forward_kinematics(local, parents)


def blend_shapes(template_vertices, deltas, weights):
    """template [V,3] + sum_k weights[b,k] * deltas[k]: returns [B,V,3]. Differentiable."""
    return ops.blend_shapes(template_vertices, deltas, weights)


def skin_lbs(vertices, transforms, weights):
    """Linear blend skinning of [B,V,3] vertices by [B,J,4,4] transforms with [V,J] weights.
    Differentiable in all three."""
    return ops.skin_lbs(vertices, transforms, weights)


def evaluate_barycentric(vertices, faces, face_index, barycentric):
    """Landmarks [B,L,3] at barycentric [L,3] positions on faces ``face_index`` [L] of the
    [B,V,3] meshes. Differentiable in ``vertices`` and ``barycentric``."""
    return ops.evaluate_barycentric(vertices, faces, face_index, barycentric)


def workspace_sizes(vertex_count=0, face_count=0, point_count=0, neighbor_count=0,
                    sample_count=0, batch_count=1, image_height=0, image_width=0,
                    faces_per_pixel=0, double_precision=False):
    """Workspace bytes of the ``_out`` operators on the CPU, in this order: vertex normals,
    transform points, perspective divide, closest point on mesh, sample surface, rasterize."""
    return ops.workspace_sizes(vertex_count, face_count, point_count, neighbor_count,
                               sample_count, batch_count, image_height, image_width,
                               faces_per_pixel, bool(double_precision))
