"""Losses against plain PyTorch references, float64 gradcheck, and their refusals."""
import itertools

import pytest
import torch

import vrel
from vrel import loss, shapes

from conftest import jittered


def cloud(count, seed):
    return torch.rand(count, 3, dtype=torch.float64, generator=torch.Generator().manual_seed(seed))


def reference_chamfer(x, y):
    d = torch.cdist(x, y) ** 2
    return d.min(dim=1).values.mean() + d.min(dim=0).values.mean()


def test_chamfer_matches_dense_distances_per_batch_element():
    x, y = cloud(13, 1), cloud(9, 2)
    x_offsets = torch.tensor([0, 6, 13], dtype=torch.int32)
    y_offsets = torch.tensor([0, 4, 9], dtype=torch.int32)
    per = loss.chamfer_distance(x, y, x_offsets, y_offsets, reduction="none")
    expected = torch.stack([reference_chamfer(x[:6], y[:4]), reference_chamfer(x[6:], y[4:])])
    torch.testing.assert_close(per, expected)
    torch.testing.assert_close(loss.chamfer_distance(x, y, x_offsets, y_offsets), expected.mean())
    torch.testing.assert_close(loss.chamfer_distance(x, y, [0, 6, 13], y_offsets.long(), "none"),
                               expected)
    torch.testing.assert_close(loss.chamfer_distance(x, y, x_offsets, y_offsets, "sum"),
                               expected.sum())
    # An element empty on both sides counts 0; empty on one side is refused.
    empty = torch.tensor([0, 13, 13], dtype=torch.int32)
    per = loss.chamfer_distance(x, y, empty, torch.tensor([0, 9, 9], dtype=torch.int32), "none")
    torch.testing.assert_close(per, torch.stack([reference_chamfer(x, y), per.new_zeros(())]))
    with pytest.raises(ValueError, match="none in the other"):
        loss.chamfer_distance(x, y, empty, y_offsets)
    with pytest.raises(ValueError, match="reduction must be one of"):
        loss.chamfer_distance(x, y, reduction="max")


def test_chamfer_gradcheck():
    x, y = cloud(7, 3).requires_grad_(), cloud(5, 4).requires_grad_()
    assert torch.autograd.gradcheck(lambda a, b: loss.chamfer_distance(a, b), (x, y))


def square_distance(points):
    """Squared distance to the square [-1,1]^2 at z = 0."""
    inside = points[:, :2].clamp(-1.0, 1.0)
    return (points[:, :2] - inside).pow(2).sum(1) + points[:, 2] ** 2


def test_point_mesh_distance_to_a_square_and_its_gradients():
    vertices, faces = shapes.plane(rows=3, columns=2, dtype=torch.float64)
    points = (cloud(20, 5) - 0.5) * 4.0
    offsets = torch.tensor([0, 8, 20], dtype=torch.int32)
    both = (torch.cat([vertices, vertices]), torch.cat([faces, faces + vertices.shape[0]]))
    vertex_offsets = torch.tensor([0, 12, 24], dtype=torch.int32)
    face_offsets = torch.tensor([0, 12, 24], dtype=torch.int32)
    per = loss.point_mesh_distance(points, *both, offsets, vertex_offsets, face_offsets, "none")
    d = square_distance(points)
    torch.testing.assert_close(per, torch.stack([d[:8].mean(), d[8:].mean()]))
    bent = jittered(vertices, seed=2, scale=0.1).requires_grad_()
    assert torch.autograd.gradcheck(
        lambda p, v: loss.point_mesh_distance(p, v, faces), (points[:6].requires_grad_(), bent))
    with pytest.raises(ValueError, match="no usable face"):
        loss.point_mesh_distance(points, vertices, faces[:0])


def test_uniform_laplacian_matches_the_adjacency_matrix():
    vertices, faces = shapes.icosphere(1, dtype=torch.float64)
    vertices = jittered(vertices, seed=3)
    faces = torch.cat([faces, torch.tensor([[0, 0, 1]], dtype=torch.int32)])  # a (v, v) edge
    adjacency = torch.zeros(42, 42, dtype=torch.float64)
    for a, b, c in faces.tolist():
        for i, j in ((a, b), (b, c), (c, a)):
            if i != j:
                adjacency[i, j] = adjacency[j, i] = 1.0
    expected = adjacency @ vertices / adjacency.sum(1, keepdim=True) - vertices
    torch.testing.assert_close(loss.mesh_laplacian(vertices, faces), expected)
    torch.testing.assert_close(loss.laplacian_smoothing(vertices, faces),
                               expected.pow(2).sum(1).mean())


def test_cotangent_laplacian_is_the_area_gradient_over_the_vertex_area():
    # The gradient of the total area at vertex i is -(1/2) sum_j (cot a + cot b)(v_j - v_i).
    vertices, faces = shapes.icosphere(2, dtype=torch.float64)
    vertices = jittered(vertices, seed=4, scale=0.2).requires_grad_()
    f = faces.long()
    a, b, c = vertices[f].unbind(1)
    face_area = torch.cross(b - a, c - a, dim=1).norm(dim=1) / 2
    (area_gradient,) = torch.autograd.grad(face_area.sum(), vertices)
    vertex_area = torch.zeros(vertices.shape[0], dtype=torch.float64).index_add(
        0, f.reshape(-1), face_area.detach().repeat_interleave(3) / 3)
    expected = -area_gradient / vertex_area[:, None]
    torch.testing.assert_close(loss.mesh_laplacian(vertices, faces, "cotangent"), expected)
    # On a sphere of radius r the Laplace-Beltrami vector has length 2 / r (the 12 vertices of
    # valence 5 carry the largest discretisation error).
    sphere, sphere_faces = shapes.icosphere(4, radius=0.5, dtype=torch.float64)
    lengths = loss.mesh_laplacian(sphere, sphere_faces, "cotangent").norm(dim=1)
    assert float(lengths.median()) == pytest.approx(4.0, rel=0.01)
    assert float((lengths - 4.0).abs().max()) < 0.7


@pytest.mark.parametrize("method", ["uniform", "cotangent"])
def test_laplacian_gradcheck_and_batches(method):
    vertices, faces = shapes.icosphere(0, dtype=torch.float64)
    vertices = jittered(vertices, seed=5, scale=0.2).requires_grad_()
    assert torch.autograd.gradcheck(lambda v: loss.laplacian_smoothing(v, faces, method),
                                    (vertices,))
    # Two copies in one packed batch, one of them scaled: per-element values.
    packed = torch.cat([vertices.detach(), 2 * vertices.detach()])
    both = torch.cat([faces, faces + 12])
    offsets = torch.tensor([0, 12, 24], dtype=torch.int32)
    per = loss.laplacian_smoothing(packed, both, method, offsets, "none")
    single = loss.laplacian_smoothing(vertices.detach(), faces, method)
    scale = 4.0 if method == "uniform" else 0.25
    torch.testing.assert_close(per, torch.stack([single, scale * single]))
    with pytest.raises(ValueError, match="method must be"):
        loss.mesh_laplacian(vertices, faces, "mean")


def unique_edges(faces):
    return sorted({tuple(sorted(e)) for f in faces.tolist()
                   for e in itertools.combinations(f, 2) if e[0] != e[1]})


def test_edge_length_matches_the_edge_set():
    vertices, faces = shapes.uv_sphere(4, 5, dtype=torch.float64)
    vertices = jittered(vertices, seed=6, scale=0.3)
    edges = torch.tensor(unique_edges(faces))
    lengths = (vertices[edges[:, 0]] - vertices[edges[:, 1]]).norm(dim=1)
    torch.testing.assert_close(loss.edge_length(vertices, faces), lengths.pow(2).mean())
    torch.testing.assert_close(loss.edge_length(vertices, faces, target_length=0.7),
                               (lengths - 0.7).pow(2).mean())
    split = torch.tensor([0, 10, faces.shape[0]], dtype=torch.int32)
    per = loss.edge_length(vertices, faces, split, reduction="none")
    first = torch.tensor(unique_edges(faces[:10]))
    # The second element's edges are counted separately, shared edges included.
    second = torch.tensor(unique_edges(faces[10:]))
    expected = [(vertices[e[:, 0]] - vertices[e[:, 1]]).pow(2).sum(1).mean()
                for e in (first, second)]
    torch.testing.assert_close(per, torch.stack(expected))
    v = vertices.clone().requires_grad_()
    assert torch.autograd.gradcheck(lambda x: loss.edge_length(x, faces, target_length=0.5), (v,))


def test_normal_consistency_matches_face_pairs():
    vertices, faces = shapes.icosphere(1, dtype=torch.float64)
    vertices = jittered(vertices, seed=7, scale=0.2)
    # A fin on the first face's first edge: three faces around one edge give three pairs; a
    # degenerate face on the same edge takes no part.
    a, b = faces[0, :2].tolist()
    vertices = torch.cat([vertices, torch.tensor([[0.0, 3.0, 3.0]], dtype=torch.float64)])
    faces = torch.cat([faces, torch.tensor([[a, b, 42], [a, b, b]], dtype=torch.int32)])
    f = faces.long()
    n = torch.cross(vertices[f[:, 1]] - vertices[f[:, 0]], vertices[f[:, 2]] - vertices[f[:, 0]],
                    dim=1)
    n = n / n.norm(dim=1, keepdim=True)
    around = {}
    for index, face in enumerate(faces.tolist()[:-1]):
        for e in itertools.combinations(sorted(face), 2):
            around.setdefault(e, []).append(index)
    pairs = [p for faces_of_edge in around.values()
             for p in itertools.combinations(faces_of_edge, 2)]
    assert len(pairs) == 120 + 2
    expected = torch.stack([1 - n[a] @ n[b] for a, b in pairs]).mean()
    torch.testing.assert_close(loss.normal_consistency(vertices, faces), expected)
    v = vertices.clone().requires_grad_()
    assert torch.autograd.gradcheck(lambda x: loss.normal_consistency(x, faces), (v,))
    flat_v, flat_f = shapes.plane(rows=3, columns=3)
    assert float(loss.normal_consistency(flat_v, flat_f)) == pytest.approx(0.0, abs=1e-6)
