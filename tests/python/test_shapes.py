"""Shapes: closed shapes are consistently wound outward manifolds of the advertised size."""
import math

import pytest
import torch

import vrel
from vrel import shapes


def signed_volume(vertices, faces):
    a, b, c = vertices[faces.long()].unbind(1)
    return float((a * torch.cross(b, c, dim=1)).sum() / 6)


CLOSED = [
    ("icosphere0", lambda: shapes.icosphere(0, dtype=torch.float64), 12, 20, 0.0),
    ("icosphere3", lambda: shapes.icosphere(3, dtype=torch.float64), 642, 1280, 0.01),
    ("uv_sphere", lambda: shapes.uv_sphere(24, 48, dtype=torch.float64), 23 * 48 + 2,
     2 * 48 * 23, 0.02),
    ("uv_sphere_coarse", lambda: shapes.uv_sphere(2, 3, dtype=torch.float64), 5, 6, 0.0),
    ("cube", lambda: shapes.cube(3.0, dtype=torch.float64), 8, 12, 0.0),
]


@pytest.mark.parametrize("name,make,vertex_count,face_count,tolerance", CLOSED,
                         ids=[c[0] for c in CLOSED])
def test_closed_shapes_are_outward_oriented_manifolds(name, make, vertex_count, face_count,
                                                      tolerance):
    vertices, faces = make()
    assert vertices.dtype == torch.float64 and faces.dtype == torch.int32
    assert (vertices.shape[0], faces.shape[0]) == (vertex_count, face_count)
    directed = {tuple(e) for f in faces.tolist() for e in ((f[0], f[1]), (f[1], f[2]),
                                                           (f[2], f[0]))}
    # Each directed edge once and its reverse present: closed, consistently wound, manifold.
    assert len(directed) == 3 * face_count
    assert all((b, a) in directed for a, b in directed)
    assert vertex_count - len(directed) // 2 + face_count == 2
    _normals, areas, valid = vrel.face_geometry(vertices, faces)
    assert bool(valid.all())
    volume = signed_volume(vertices, faces)
    if name == "cube":
        assert volume == pytest.approx(27.0)
    else:
        assert torch.allclose(vertices.norm(dim=1), torch.ones(vertex_count, dtype=torch.float64))
        assert volume > 0
        if tolerance:
            assert volume == pytest.approx(4 / 3 * math.pi, rel=tolerance)


def test_plane_faces_up_and_covers_its_extent():
    vertices, faces = shapes.plane(3.0, 2.0, rows=4, columns=5)
    assert vertices.shape == (30, 3) and faces.shape == (40, 3)
    normals, areas, _valid = vrel.face_geometry(vertices, faces)
    torch.testing.assert_close(normals, torch.tensor([[0.0, 0.0, 1.0]]).expand(40, 3))
    assert float(areas.sum()) == pytest.approx(6.0)
    assert vertices[:, 0].min() == -1.5 and vertices[:, 1].max() == 1.0


def test_radius_dtype_and_bad_counts():
    vertices, _faces = shapes.icosphere(1, radius=2.5)
    assert vertices.dtype == torch.float32
    torch.testing.assert_close(vertices.norm(dim=1), torch.full((42,), 2.5))
    for call in (lambda: shapes.icosphere(-1), lambda: shapes.uv_sphere(rings=1),
                 lambda: shapes.plane(columns=0), lambda: shapes.uv_sphere(segments=2.5)):
        with pytest.raises(ValueError, match="must be an integer of at least"):
            call()
