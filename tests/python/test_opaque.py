"""The opaque renderer from Python: coverage against shapely's exact union areas, gradcheck
through the autograd pairs, the sub-square refinement of crowded pixels and the adapter checks."""
from __future__ import annotations

import pytest
import torch
from torch.autograd import gradcheck

import vrel

shapely = pytest.importorskip("shapely")
from shapely.geometry import Polygon, box  # noqa: E402
from shapely.ops import unary_union  # noqa: E402

F64 = torch.float64
ops = torch.ops.vrel


def random_mesh(seed, count=8, size=4.0, spread=1.5):
    """Triangles sharing vertices (a strip), slivers, corners on the pixel grid, one triangle
    larger than the image."""
    g = torch.Generator().manual_seed(seed)
    points = torch.rand(count + 2, 2, generator=g, dtype=F64) * (size + 2 * spread) - spread
    points[:3] = torch.round(points[:3])  # corners on pixel boundaries
    vertices = torch.cat([points, torch.rand(count + 2, 1, generator=g, dtype=F64)], 1)
    faces = [[k, k + 1, k + 2] for k in range(count)]
    big = vertices.new_tensor([[-9.0, -7.0, 2.0], [15.0, -6.0, 2.0], [1.0, 16.0, 2.0]])
    a, b = vertices[3, :2], vertices[4, :2]
    sliver = torch.stack([a, b, (a + b) / 2 + 1e-6]).to(F64)
    sliver = torch.cat([sliver, torch.zeros(3, 1, dtype=F64)], 1)
    vertices = torch.cat([vertices, sliver, big])
    n = count + 2
    faces += [[n, n + 1, n + 2], [n + 3, n + 4, n + 5]]
    return vertices, torch.tensor(faces, dtype=torch.int32)


def shapely_coverage(vertices, faces, h, w):
    union = unary_union([Polygon(vertices[f, :2].tolist()) for f in faces.long()
                         if Polygon(vertices[f, :2].tolist()).area > 0])
    return torch.tensor([[union.intersection(box(i, j, i + 1, j + 1)).area for i in range(w)]
                         for j in range(h)], dtype=F64)


@pytest.mark.parametrize("seed", range(8))
def test_coverage_equals_the_union_area_of_shapely(seed):
    vertices, faces = random_mesh(seed)
    image = vrel.opaque_coverage(vertices, faces, 4, 5)
    torch.testing.assert_close(image, shapely_coverage(vertices, faces, 4, 5), rtol=0, atol=1e-12)
    if seed == 0:  # only the big triangle: the whole image
        assert torch.equal(vrel.opaque_coverage(vertices, faces[-1:], 4, 5), torch.ones(4, 5,
                                                                                        dtype=F64))


def test_gradcheck_through_the_autograd_pairs():
    g = torch.Generator().manual_seed(3)
    vertices = (torch.rand(5, 3, generator=g, dtype=F64) * 3).requires_grad_()
    faces = torch.tensor([[0, 1, 2], [1, 3, 2], [0, 4, 3]], dtype=torch.int32)
    colour = torch.rand(3, 3, 3, generator=g, dtype=F64, requires_grad=True)
    assert gradcheck(lambda v: vrel.opaque_coverage(v, faces, 3, 3), (vertices,), eps=1e-6,
                     atol=1e-6)
    assert gradcheck(lambda v, c: vrel.opaque_integrate(v, faces, c, 3, 3, origin=(0.25, -0.5)),
                     (vertices, colour), eps=1e-6, atol=1e-6)


def crowded_mesh():
    """40 small triangles around (1.5, 1.5): their boxes all meet pixel (1, 1), but each 1/2-pixel
    sub-square meets far fewer."""
    g = torch.Generator().manual_seed(7)
    rows = []
    for k in range(40):
        cx, cy = 1.5 + 0.9 * (torch.rand(2, generator=g, dtype=F64) - 0.5)
        rows += [[cx - 0.05, cy - 0.05, 0.1 * k], [cx + 0.08, cy, 0.1 * k], [cx, cy + 0.07, 0.1 * k]]
    rows += [[-1.0, -1.0, 9.0], [4.0, -1.0, 9.0], [-1.0, 4.0, 9.0]]  # a background behind them
    vertices = torch.tensor(rows, dtype=F64)
    faces = torch.arange(vertices.shape[0], dtype=torch.int32).reshape(-1, 3)
    return vertices, faces


def test_crowded_pixels_are_refined_exactly():
    vertices, faces = crowded_mesh()
    assert int(vrel.opaque.candidate_counts(vertices, faces, 3, 3)[1, 1]) > 32
    with pytest.raises(RuntimeError, match="candidate capacity 32"):
        ops.opaque_coverage(vertices, faces, 3, 3, 0.0, 0.0, 1 << 20)
    # The same mesh at twice the resolution (within capacity there), summed 2 x 2.
    double = vertices * vertices.new_tensor([2.0, 2.0, 1.0])
    fine = ops.opaque_coverage(double, faces, 6, 6, 0.0, 0.0, 1 << 20)
    torch.testing.assert_close(vrel.opaque_coverage(vertices, faces, 3, 3),
                               fine.reshape(3, 2, 3, 2).sum((1, 3)) / 4, rtol=0, atol=1e-14)
    colour = torch.rand(faces.shape[0], 3, 3, dtype=F64)
    fine = ops.opaque_integrate(double, faces, colour, 6, 6, 0.0, 0.0, 1 << 21)
    torch.testing.assert_close(vrel.opaque_integrate(vertices, faces, colour, 3, 3),
                               fine.reshape(3, 2, 3, 2, 4).sum((1, 3)) / 4, rtol=0, atol=1e-14)
    # Gradients follow the refinement through autograd.
    v = vertices.clone().requires_grad_()
    vrel.opaque_coverage(v, faces, 3, 3)[1, 1].backward()
    d = double.clone().requires_grad_()
    (ops.opaque_coverage(d, faces, 6, 6, 0.0, 0.0, 1 << 20)[2:4, 2:4].sum() / 4).backward()
    torch.testing.assert_close(v.grad, d.grad * v.new_tensor([2.0, 2.0, 1.0]), rtol=0, atol=1e-12)


def test_a_vertex_shared_by_too_many_faces_names_its_pixel():
    angles = torch.arange(40, dtype=F64) * (2 * torch.pi / 40)
    ring = torch.stack([1.5 + torch.cos(angles), 1.5 + torch.sin(angles), torch.zeros(40, dtype=F64)], 1)
    vertices = torch.cat([torch.tensor([[1.5, 1.5, 0.0]], dtype=F64), ring])
    faces = torch.tensor([[0, 1 + k, 1 + (k + 1) % 40] for k in range(40)], dtype=torch.int32)
    with pytest.raises(RuntimeError, match=r"vrel-status:4: .*pixel row 1, column 1"):
        vrel.opaque_coverage(vertices, faces, 3, 3)


def test_adapter_checks():
    vertices, faces = random_mesh(1)
    colour = torch.rand(faces.shape[0], 3, 3, dtype=F64)
    limit = 596_992 + 4 * 5 * 8
    assert ops.opaque_coverage(vertices, faces, 4, 5, 0.0, 0.0, limit).shape == (4, 5)
    cases = [
        (lambda: ops.opaque_coverage(vertices, faces, 4, 5, 0.0, 0.0, limit - 1),
         "opaque workspace and output exceed workspace budget"),
        (lambda: ops.opaque_coverage(vertices, faces, 0, 5, 0.0, 0.0, limit),
         "opaque dimensions/workspace budget outside supported limits"),
        (lambda: ops.opaque_coverage(vertices, faces, 4, 5, 0.0, 0.0, 0),
         "opaque dimensions/workspace budget outside supported limits"),
        (lambda: ops.opaque_coverage_backward(vertices[:, :2], faces, torch.ones(4, 5, dtype=F64),
                                              4, 5, 0.0, 0.0, limit),
         r"opaque geometry must have shapes \[V,3\] and \[F,3\]"),
        (lambda: ops.opaque_integrate(vertices, faces, colour[1:], 4, 5, 0.0, 0.0, 1 << 21),
         r"opaque colour shapes require vertices\[V,3\],faces\[F,3\],radiance\[F,3,3\]"),
        (lambda: ops.opaque_integrate(vertices, faces, colour, 4, 1048577, 0.0, 0.0, 1 << 21),
         "opaque colour dimensions/workspace budget invalid"),
        (lambda: ops.opaque_integrate(vertices, faces, colour, 4, 5, 0.0, 0.0,
                                      1_047_584 + 4 * 5 * 4 * 8 - 1),
         "opaque colour workspace/output budget exceeded"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError, match="vrel-internal: " + message):
            call()
    with pytest.raises(RuntimeError, match="vrel-status:1: opaque coordinates must be finite"):
        ops.opaque_coverage(vertices * 1e7, faces, 4, 5, 0.0, 0.0, limit)
