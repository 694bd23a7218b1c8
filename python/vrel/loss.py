"""Differentiable losses and mesh regularisers built on the vrel operators.

Conventions shared by every function here:

- points and vertices are [N,3] float32 or float64 tensors; faces are [F,3] integer tensors of
  vertex rows, wound consistently (counter-clockwise seen from outside for closed meshes);
- batches are packed: ``*_offsets`` are [B+1] integer tensors that start at 0, never decrease and
  end at the row count; rows ``offsets[b]:offsets[b+1]`` belong to batch element b, and face
  indices are rows of the packed vertex array. Omitted offsets mean one batch element;
- ``reduction`` is ``"mean"`` (the average over batch elements, a scalar), ``"sum"`` (their sum)
  or ``"none"`` (one value per batch element, [B]);
- every loss is differentiable in its floating inputs (points, vertices) through the operators'
  backward passes; indices and offsets are not.
"""
import torch as _torch

import vrel as _vrel
from vrel import _convert

__all__ = ["chamfer_distance", "point_mesh_distance", "mesh_laplacian", "laplacian_smoothing",
           "edge_length", "normal_consistency"]

_REDUCTIONS = ("mean", "sum", "none")


def _whole(count: int, device) -> _torch.Tensor:
    return _torch.tensor([0, count], dtype=_torch.int32, device=device)


def _element_of_rows(offsets: _torch.Tensor, rows: _torch.Tensor) -> _torch.Tensor:
    """The batch element of each row index under packed offsets."""
    if offsets.shape[0] == 2:
        return _torch.zeros_like(rows, dtype=_torch.int64)
    return _torch.searchsorted(offsets.long(), rows.long(), right=True) - 1


def _segment_mean(values: _torch.Tensor, offsets: _torch.Tensor,
                  mask=None) -> _torch.Tensor:
    """Mean of ``values`` [N] over the rows of each batch element (0 for an element with none);
    rows where ``mask`` is false do not count."""
    batch = offsets.shape[0] - 1
    element = _element_of_rows(offsets, _torch.arange(values.shape[0], device=values.device))
    return _grouped_mean(values, element, batch, mask)


def _grouped_mean(values, group, group_count, mask=None):
    if mask is not None:
        values, group = values[mask], group[mask]
    total = values.new_zeros(group_count).index_add(0, group, values)
    count = values.new_zeros(group_count).index_add(0, group, _torch.ones_like(values))
    return total / count.clamp_min(1)


def _reduce(per_element: _torch.Tensor, reduction: str) -> _torch.Tensor:
    """Applies a reduction already checked by :func:`_check_reduction`."""
    if reduction == "mean":
        return per_element.mean() if per_element.numel() else per_element.sum()
    return per_element.sum() if reduction == "sum" else per_element


def _check_reduction(reduction: str, name: str) -> None:
    if reduction not in _REDUCTIONS:
        raise ValueError(f"{name}: reduction must be one of {_REDUCTIONS}, got {reduction!r}")


def chamfer_distance(x, y, x_offsets=None, y_offsets=None, reduction: str = "mean"):
    """Symmetric Chamfer distance between two point sets, per batch element.

    For batch element b with point sets X and Y (both non-empty, or both empty):
    ``mean_{p in X} min_{q in Y} |p - q|^2 + mean_{q in Y} min_{p in X} |p - q|^2``; an element
    with no points on either side counts 0. Nearest neighbours come from :func:`vrel.knn`.

    Args:
        x: [P,3] float32 or float64 points.
        y: [Q,3] points of the same dtype.
        x_offsets, y_offsets: [B+1] packed offsets over P and Q (default: one element).
        reduction: "mean", "sum" or "none" over the batch elements.

    Returns:
        A scalar (or [B] for "none") of the points' dtype. Differentiable in ``x`` and ``y``
        (squared distances; the nearest neighbours themselves are held fixed).

    Raises:
        ValueError: a batch element has points in one set and none in the other.

    Example:
        >>> x = torch.tensor([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
        >>> y = torch.tensor([[0.0, 0.0, 0.5]])
        >>> vrel.loss.chamfer_distance(x, y)   # (0.25 + 1.25) / 2 + 0.25
        tensor(1.)
    """
    _check_reduction(reduction, "chamfer_distance")
    x_offsets = _convert.indices(x_offsets, "x_offsets")
    y_offsets = _convert.indices(y_offsets, "y_offsets")
    x_offsets = _whole(x.shape[0], x.device) if x_offsets is None else x_offsets
    y_offsets = _whole(y.shape[0], y.device) if y_offsets is None else y_offsets
    to_y, _index, found_y = _vrel.knn(x, y, 1, x_offsets, y_offsets)
    to_x, _index, found_x = _vrel.knn(y, x, 1, y_offsets, x_offsets)
    if not (bool(found_y.all()) and bool(found_x.all())):
        raise ValueError("chamfer_distance: a batch element has points in one set and none in "
                         "the other")
    per_element = (_segment_mean(to_y[:, 0], x_offsets.to(x.device))
                   + _segment_mean(to_x[:, 0], y_offsets.to(x.device)))
    return _reduce(per_element, reduction)


def point_mesh_distance(points, vertices, faces, point_offsets=None, vertex_offsets=None,
                        face_offsets=None, reduction: str = "mean", eps: float = 0.0):
    """Mean squared distance from each point to the surface of its batch element's mesh.

    The closest surface points come from :func:`vrel.closest_point_on_mesh`; faces whose doubled
    area is not above ``eps`` are ignored.

    Args:
        points: [P,3] float32 or float64.
        vertices: [V,3] of the points' dtype; faces: [F,3] vertex rows.
        point_offsets, vertex_offsets, face_offsets: [B+1] packed offsets (default: one element).
        reduction: "mean", "sum" or "none" over the batch elements.

    Returns:
        A scalar (or [B]) of the points' dtype; an element without points counts 0.
        Differentiable in ``points`` and ``vertices``.

    Raises:
        ValueError: a batch element has points but no usable face.

    Example:
        >>> vertices, faces = vrel.shapes.plane()             # the square [-1,1]^2 at z = 0
        >>> points = torch.tensor([[0.2, 0.3, 0.5], [2.0, 0.0, 0.0]])
        >>> vrel.loss.point_mesh_distance(points, vertices, faces)   # (0.25 + 1.0) / 2
        tensor(0.6250)
    """
    _check_reduction(reduction, "point_mesh_distance")
    point_offsets = _convert.indices(point_offsets, "point_offsets")
    point_offsets = (_whole(points.shape[0], points.device) if point_offsets is None
                     else point_offsets)
    distance, _face, _barycentric, _closest, valid = _vrel.closest_point_on_mesh(
        points, vertices, faces, point_offsets, vertex_offsets, face_offsets, eps)
    if not bool(valid.all()):
        raise ValueError("point_mesh_distance: a batch element has points but no usable face")
    per_element = _segment_mean(distance, point_offsets.to(points.device))
    return _reduce(per_element, reduction)


def _unique_edges(faces, face_offsets=None):
    """(edges [E,2] int64 without padding rows or (v, v) loops, element of each edge [E])."""
    mesh_edge_offsets, edges, _edge_face_offsets, _edge_faces = _vrel.build_edge_topology(
        faces, face_offsets)
    count = int(mesh_edge_offsets[-1])
    edges = edges[:count].long()
    element = _element_of_rows(mesh_edge_offsets, _torch.arange(count, device=edges.device))
    proper = edges[:, 0] != edges[:, 1]
    return edges[proper], element[proper], mesh_edge_offsets.shape[0] - 1


def _laplacian(v, faces, method, eps, name):
    """(Laplacian [V,3], whether each vertex has a neighbour or face area [V] bool)."""
    if method == "uniform":
        edges, _element, _batch = _unique_edges(faces)
        i, j = edges[:, 0], edges[:, 1]
        total = _torch.zeros_like(v).index_add(0, i, v[j]).index_add(0, j, v[i])
        ones = v.new_ones(i.shape[0])
        degree = v.new_zeros(v.shape[0]).index_add(0, i, ones).index_add(0, j, ones)
        has = degree > 0
        delta = total / degree.clamp_min(1)[:, None] - v
        return _torch.where(has[:, None], delta, _torch.zeros_like(v)), has
    if method == "cotangent":
        _normals, areas, valid = _vrel.face_geometry(v, faces, eps)
        f = faces.long()[valid]
        area = areas[valid]
        corners = v[f]                                             # [F,3 corners,3]
        opposite_a = corners.roll(-1, dims=1) - corners            # b - a, c - b, a - c
        opposite_b = corners.roll(1, dims=1) - corners             # c - a, a - b, b - c
        cot = (opposite_a * opposite_b).sum(-1) / (2.0 * area[:, None])   # cot at a, b, c
        # The cotangent at corner k weighs the edge between the other two corners.
        i, j = f.roll(-1, dims=1).reshape(-1), f.roll(1, dims=1).reshape(-1)
        difference = cot.reshape(-1, 1) * (v[j] - v[i])
        total = _torch.zeros_like(v).index_add(0, i, difference).index_add(0, j, -difference)
        vertex_area = v.new_zeros(v.shape[0]).index_add(
            0, f.reshape(-1), (area / 3.0).repeat_interleave(3))
        has = vertex_area > 0
        delta = total / (2.0 * vertex_area.clamp_min(1e-300))[:, None]
        return _torch.where(has[:, None], delta, _torch.zeros_like(v)), has
    raise ValueError(f"{name}: method must be 'uniform' or 'cotangent', got {method!r}")


def mesh_laplacian(vertices, faces, method: str = "uniform", eps: float = 1e-12):
    """The Laplacian of the vertex positions, one [3] vector per vertex.

    - ``"uniform"``: ``mean_{j ~ i} v_j - v_i`` over the distinct neighbours j of vertex i (the
      vertices sharing an edge with it, from :func:`vrel.build_edge_topology`);
    - ``"cotangent"``: the Laplace-Beltrami operator
      ``(1 / (2 A_i)) sum_j (cot a_ij + cot b_ij) (v_j - v_i)``, where a_ij and b_ij are the
      angles opposite edge ij and A_i is a third of the area of the faces around i (from
      :func:`vrel.face_geometry`). It equals ``-2 H n``: on a sphere of radius r its length is
      about 2 / r, on a flat region it is 0. Faces whose doubled area is not above ``eps`` are
      left out.

    Vertices with no neighbour (or no face area) get 0.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] vertex rows (a packed batch works as is:
            its meshes share no vertices).
        method: "uniform" or "cotangent".
        eps: the degenerate-face threshold of the cotangent method.

    Returns:
        [V,3] of the vertices' dtype, differentiable in ``vertices`` (the cotangent weights and
        areas too).

    Example:
        >>> vertices, faces = vrel.shapes.plane(rows=2, columns=2)   # a 3 x 3 grid
        >>> vertices[4, 2] = 1.0                                      # lift the middle vertex
        >>> vrel.loss.mesh_laplacian(vertices, faces)[4]
        tensor([ 0.,  0., -1.])
    """
    faces = _convert.indices(faces, "faces")
    return _laplacian(vertices, faces, method, eps, "mesh_laplacian")[0]


def laplacian_smoothing(vertices, faces, method: str = "uniform", vertex_offsets=None,
                        reduction: str = "mean", eps: float = 1e-12):
    """Laplacian smoothing loss: the mean squared length of :func:`mesh_laplacian` per element.

    The mean runs over the vertices that have a neighbour (uniform) or face area (cotangent).
    The uniform loss pulls each vertex towards the centroid of its neighbours; the cotangent
    loss penalises mean curvature and does not depend on how the surface is triangulated.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] vertex rows.
        method: "uniform" or "cotangent".
        vertex_offsets: [B+1] packed offsets over V (default: one element).
        reduction: "mean", "sum" or "none" over the batch elements.
        eps: the degenerate-face threshold of the cotangent method.

    Returns:
        A scalar (or [B]) of the vertices' dtype, differentiable in ``vertices``.

    Example:
        >>> vertices, faces = vrel.shapes.icosphere(3, radius=2.0, dtype=torch.float64)
        >>> round(float(vrel.loss.laplacian_smoothing(vertices, faces, "cotangent")), 2)  # (2/r)^2
        1.0
    """
    _check_reduction(reduction, "laplacian_smoothing")
    faces = _convert.indices(faces, "faces")
    vertex_offsets = _convert.indices(vertex_offsets, "vertex_offsets")
    delta, counted = _laplacian(vertices, faces, method, eps, "laplacian_smoothing")
    vertex_offsets = (_whole(vertices.shape[0], vertices.device) if vertex_offsets is None
                      else vertex_offsets.to(vertices.device))
    per_element = _segment_mean(delta.pow(2).sum(-1), vertex_offsets, counted)
    return _reduce(per_element, reduction)


def edge_length(vertices, faces, face_offsets=None, target_length: float = 0.0,
                reduction: str = "mean"):
    """Mean of ``(|v_i - v_j| - target_length)^2`` over the distinct edges of each element.

    With ``target_length`` 0 (the default) this is the mean squared edge length, which keeps
    triangles from stretching; a positive target asks for edges of that length.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] vertex rows.
        face_offsets: [B+1] packed offsets over F (default: one element).
        target_length: the preferred edge length, >= 0.
        reduction: "mean", "sum" or "none" over the batch elements.

    Returns:
        A scalar (or [B]) of the vertices' dtype, differentiable in ``vertices``.

    Example:
        >>> vertices, faces = vrel.shapes.cube(size=1.0)
        >>> vrel.loss.edge_length(vertices, faces)   # 12 edges of length 1, 6 diagonals of sqrt(2)
        tensor(1.3333)
    """
    _check_reduction(reduction, "edge_length")
    faces = _convert.indices(faces, "faces")
    edges, element, batch = _unique_edges(faces, face_offsets)
    squared = (vertices[edges[:, 0]] - vertices[edges[:, 1]]).pow(2).sum(-1)
    if target_length:
        squared = (squared.clamp_min(1e-30).sqrt() - float(target_length)).pow(2)
    return _reduce(_grouped_mean(squared, element, batch), reduction)


def normal_consistency(vertices, faces, face_offsets=None, reduction: str = "mean",
                       eps: float = 0.0):
    """Mean of ``1 - n_f . n_g`` over the pairs of faces that share an edge, per element.

    0 for a flat surface, up to 2 for folded-back neighbours; it keeps the surface smooth
    without shrinking it. Unit face normals come from :func:`vrel.face_geometry`; an edge with
    more than two faces contributes every pair, and degenerate faces (doubled area not above
    ``eps``) take no part. The winding must be consistent for the sign of the normals to agree.

    Args:
        vertices: [V,3] float32 or float64; faces: [F,3] vertex rows.
        face_offsets: [B+1] packed offsets over F (default: one element).
        reduction: "mean", "sum" or "none" over the batch elements.
        eps: the degenerate-face threshold.

    Returns:
        A scalar (or [B]) of the vertices' dtype, differentiable in ``vertices``.

    Example:
        >>> vertices, faces = vrel.shapes.cube()
        >>> vrel.loss.normal_consistency(vertices, faces)   # 12 edges at 90 degrees, 6 flat
        tensor(0.6667)
    """
    _check_reduction(reduction, "normal_consistency")
    faces = _convert.indices(faces, "faces")
    normals, _areas, valid = _vrel.face_geometry(vertices, faces, eps)
    mesh_edge_offsets, edges, edge_face_offsets, edge_faces = _vrel.build_edge_topology(
        faces, face_offsets)
    batch = mesh_edge_offsets.shape[0] - 1
    edge_count = int(mesh_edge_offsets[-1])
    starts = edge_face_offsets[:edge_count].long()
    counts = edge_face_offsets[1:edge_count + 1].long() - starts
    proper = edges[:edge_count, 0] != edges[:edge_count, 1]
    first, second, pair_edge = [], [], []
    for c in _torch.unique(counts[proper & (counts >= 2)]).tolist():
        selected = _torch.nonzero(proper & (counts == c)).reshape(-1)
        around = edge_faces.long()[starts[selected, None] + _torch.arange(c, device=starts.device)]
        a, b = _torch.triu_indices(c, c, 1, device=around.device)
        first.append(around[:, a].reshape(-1))
        second.append(around[:, b].reshape(-1))
        pair_edge.append(selected.repeat_interleave(a.shape[0]))
    if not first:
        return _reduce(vertices.new_zeros(batch), reduction)
    first, second, pair_edge = _torch.cat(first), _torch.cat(second), _torch.cat(pair_edge)
    usable = valid[first] & valid[second]
    penalty = 1.0 - (normals[first] * normals[second]).sum(-1)
    element = _element_of_rows(mesh_edge_offsets, pair_edge)
    return _reduce(_grouped_mean(penalty, element, batch, usable), reduction)
