"""Triangle meshes of simple shapes, ready for the operators.

Every function returns ``(vertices, faces)``: vertices [V,3] of the requested floating dtype and
faces [F,3] int32. Closed shapes are centred at the origin and wound counter-clockwise seen from
outside, so that ``vrel.face_geometry`` gives outward normals and the signed volume is positive;
the plane faces +z. The shapes are built in float64 and then converted.
"""
import math as _math

import torch as _torch

__all__ = ["icosphere", "uv_sphere", "plane", "cube"]

_T = (1.0 + 5.0 ** 0.5) / 2.0
_ICOSAHEDRON_VERTICES = [(-1, _T, 0), (1, _T, 0), (-1, -_T, 0), (1, -_T, 0), (0, -1, _T),
                         (0, 1, _T), (0, -1, -_T), (0, 1, -_T), (_T, 0, -1), (_T, 0, 1),
                         (-_T, 0, -1), (-_T, 0, 1)]
_ICOSAHEDRON_FACES = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9),
                      (5, 11, 4), (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2),
                      (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10),
                      (8, 6, 7), (9, 8, 1)]


def _finish(vertices, faces, dtype, device):
    return (vertices.to(dtype=dtype, device=device),
            faces.to(dtype=_torch.int32, device=device).contiguous())


def _count(name: str, value, least: int) -> int:
    if isinstance(value, bool) or int(value) != value or value < least:
        raise ValueError(f"{name} must be an integer of at least {least}, got {value!r}")
    return int(value)


def icosphere(subdivisions: int = 2, radius: float = 1.0, *, dtype=_torch.float32, device=None):
    """A sphere made by subdividing an icosahedron: nearly uniform, equilateral-ish triangles.

    Each subdivision splits every triangle into four and pushes the new vertices onto the sphere,
    giving ``10 * 4**n + 2`` vertices and ``20 * 4**n`` faces.

    Args:
        subdivisions: n >= 0.
        radius: distance of every vertex from the origin.
        dtype, device: of the vertex tensor (faces are int32 on the same device).

    Returns:
        (vertices [V,3], faces [F,3] int32), outward winding.

    Example:
        >>> vertices, faces = vrel.shapes.icosphere(1)
        >>> vertices.shape, faces.shape, faces.dtype
        (torch.Size([42, 3]), torch.Size([80, 3]), torch.int32)
        >>> bool(torch.allclose(vertices.norm(dim=1), torch.ones(42)))
        True
    """
    subdivisions = _count("subdivisions", subdivisions, 0)
    vertices = _torch.tensor(_ICOSAHEDRON_VERTICES, dtype=_torch.float64)
    vertices = vertices / vertices.norm(dim=1, keepdim=True)
    faces = _torch.tensor(_ICOSAHEDRON_FACES, dtype=_torch.int64)
    for _ in range(subdivisions):
        # Corner pairs (a,b), (b,c), (c,a) of every face; each undirected edge gets one midpoint.
        pairs = faces[:, [0, 1, 1, 2, 2, 0]].reshape(-1, 2)
        unique, inverse = _torch.unique(pairs.sort(dim=1).values, dim=0, return_inverse=True)
        middle = vertices[unique].sum(dim=1)
        vertices = _torch.cat([vertices, middle / middle.norm(dim=1, keepdim=True)])
        ab, bc, ca = (inverse + (vertices.shape[0] - unique.shape[0])).reshape(-1, 3).unbind(1)
        a, b, c = faces.unbind(1)
        faces = _torch.stack([_torch.stack(corners, dim=1) for corners in
                              ((a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca))],
                             dim=1).reshape(-1, 3)
    return _finish(vertices * float(radius), faces, dtype, device)


def uv_sphere(rings: int = 16, segments: int = 32, radius: float = 1.0, *, dtype=_torch.float32,
              device=None):
    """A latitude-longitude sphere around the y axis, with one vertex at each pole.

    Args:
        rings: latitude bands from pole to pole, >= 2.
        segments: longitude divisions, >= 3.
        radius: distance of every vertex from the origin.
        dtype, device: of the vertex tensor.

    Returns:
        (vertices [(rings-1)*segments + 2, 3], faces [2*segments*(rings-1), 3] int32), outward
        winding. Vertex 0 is the north pole (0, radius, 0), the last vertex the south pole, and
        ring r (1 <= r < rings) holds vertices 1 + (r-1)*segments ... r*segments.

    Example:
        >>> vertices, faces = vrel.shapes.uv_sphere(rings=4, segments=6)
        >>> vertices.shape, faces.shape
        (torch.Size([20, 3]), torch.Size([36, 3]))
        >>> vertices[0].tolist(), vertices[-1].tolist()
        ([0.0, 1.0, 0.0], [0.0, -1.0, 0.0])
    """
    rings = _count("rings", rings, 2)
    segments = _count("segments", segments, 3)
    theta = _torch.arange(1, rings, dtype=_torch.float64) * (_math.pi / rings)
    phi = _torch.arange(segments, dtype=_torch.float64) * (2.0 * _math.pi / segments)
    theta, phi = theta[:, None], phi[None, :]
    ring = _torch.stack([_torch.sin(theta) * _torch.sin(phi),
                         _torch.cos(theta).expand(-1, segments),
                         _torch.sin(theta) * _torch.cos(phi)], dim=-1).reshape(-1, 3)
    poles = _torch.tensor([[0.0, 1.0, 0.0], [0.0, -1.0, 0.0]], dtype=_torch.float64)
    vertices = _torch.cat([poles[:1], ring, poles[1:]])
    south = vertices.shape[0] - 1
    s = _torch.arange(segments)
    s_next = (s + 1) % segments
    faces = [_torch.stack([_torch.zeros_like(s), 1 + s, 1 + s_next], dim=1)]
    for r in range(rings - 2):
        top, bottom = 1 + r * segments, 1 + (r + 1) * segments
        faces.append(_torch.stack([top + s, bottom + s, bottom + s_next], dim=1))
        faces.append(_torch.stack([top + s, bottom + s_next, top + s_next], dim=1))
    last = 1 + (rings - 2) * segments
    faces.append(_torch.stack([last + s, _torch.full_like(s, south), last + s_next], dim=1))
    return _finish(vertices * float(radius), _torch.cat(faces), dtype, device)


def plane(width: float = 2.0, height: float = 2.0, rows: int = 1, columns: int = 1, *,
          dtype=_torch.float32, device=None):
    """A flat grid in the z = 0 plane, centred at the origin, facing +z.

    Args:
        width, height: extent along x and y.
        rows, columns: cells along y and x (each cell is two triangles), >= 1.
        dtype, device: of the vertex tensor.

    Returns:
        (vertices [(rows+1)*(columns+1), 3], faces [2*rows*columns, 3] int32). Vertices are
        ordered row by row from y = -height/2, each row from x = -width/2; the triangles are
        counter-clockwise seen from +z.

    Example:
        >>> vertices, faces = vrel.shapes.plane(rows=1, columns=2)
        >>> vertices[:, :2].tolist()
        [[-1.0, -1.0], [0.0, -1.0], [1.0, -1.0], [-1.0, 1.0], [0.0, 1.0], [1.0, 1.0]]
        >>> faces.tolist()
        [[0, 1, 4], [0, 4, 3], [1, 2, 5], [1, 5, 4]]
    """
    rows = _count("rows", rows, 1)
    columns = _count("columns", columns, 1)
    y = _torch.linspace(-0.5, 0.5, rows + 1, dtype=_torch.float64) * float(height)
    x = _torch.linspace(-0.5, 0.5, columns + 1, dtype=_torch.float64) * float(width)
    grid_y, grid_x = _torch.meshgrid(y, x, indexing="ij")
    vertices = _torch.stack([grid_x, grid_y, _torch.zeros_like(grid_x)], dim=-1).reshape(-1, 3)
    corner = (_torch.arange(rows)[:, None] * (columns + 1) + _torch.arange(columns)).reshape(-1)
    right, up = corner + 1, corner + columns + 1
    faces = _torch.stack([_torch.stack([corner, right, up + 1], dim=1),
                          _torch.stack([corner, up + 1, up], dim=1)], dim=1).reshape(-1, 3)
    return _finish(vertices, faces, dtype, device)


def cube(size: float = 2.0, *, dtype=_torch.float32, device=None):
    """An axis-aligned cube centred at the origin: 8 shared corners, 12 outward triangles.

    Args:
        size: edge length.
        dtype, device: of the vertex tensor.

    Returns:
        (vertices [8,3], faces [12,3] int32). Corner i has coordinates ((i & 1), (i >> 1) & 1,
        (i >> 2) & 1) scaled to [-size/2, size/2].

    Example:
        >>> vertices, faces = vrel.shapes.cube()
        >>> normals, areas, valid = vrel.face_geometry(vertices, faces)
        >>> float(areas.sum())
        24.0
    """
    i = _torch.arange(8)
    vertices = (_torch.stack([i & 1, (i >> 1) & 1, (i >> 2) & 1], dim=1).to(_torch.float64)
                - 0.5) * float(size)
    faces = _torch.tensor([[0, 2, 3], [0, 3, 1], [4, 5, 7], [4, 7, 6],   # z = -, z = +
                           [0, 1, 5], [0, 5, 4], [2, 6, 7], [2, 7, 3],   # y = -, y = +
                           [0, 4, 6], [0, 6, 2], [1, 3, 7], [1, 7, 5]])  # x = -, x = +
    return _finish(vertices, faces, dtype, device)
