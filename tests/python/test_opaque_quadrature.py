"""The opaque quadrature from Python: the weights against the exact coverage and colour
integrals, polynomial exactness of the rules over a pixel, and the adapter checks."""
from __future__ import annotations

import pytest
import torch

import vrel
from vrel._registry import has_kernel

F64 = torch.float64
I32 = torch.int32
ops = torch.ops.vrel

pytestmark = pytest.mark.skipif(not has_kernel("opaque_quadrature"),
                                reason="this core has no quadrature exports")
VARIANTS = [vrel.opaque_quadrature, vrel.opaque_material_quadrature]


def scene(seed):
    """Five overlapping triangles at different depths over a 3 x 4 image, one interpenetrating,
    leaving the last column empty."""
    g = torch.Generator().manual_seed(seed)
    xy = torch.rand(15, 2, generator=g, dtype=F64) * torch.tensor([3.0, 3.0], dtype=F64)
    z = torch.rand(15, 1, generator=g, dtype=F64)
    vertices = torch.cat([xy, z], 1)
    return vertices, torch.arange(15, dtype=I32).reshape(5, 3)


def pixel_sums(owners, nodes, per_face):
    """Sum over each pixel's nodes of weight * (l0, l1, l2) . per_face[owner]: [pixels, C]."""
    face = owners.clamp_min(0).long()
    values = torch.einsum("psk,pskc->psc", nodes[..., :3], per_face[face])
    return (nodes[..., 3:] * values * (owners >= 0)[..., None]).sum(1)


@pytest.mark.parametrize("quadrature", VARIANTS)
@pytest.mark.parametrize("seed", [0, 1, 2, 3, 4])
def test_weights_give_the_exact_coverage_and_colour(quadrature, seed):
    vertices, faces = scene(seed)
    colour = torch.rand(5, 3, 3, generator=torch.Generator().manual_seed(seed), dtype=F64)
    owners, nodes = quadrature(vertices, faces, height=3, width=4)
    exact = vrel.opaque_integrate(vertices, faces, colour, 3, 4).reshape(12, 4)
    torch.testing.assert_close(nodes[..., 3].sum(1), exact[:, 3], rtol=0, atol=1e-12)
    torch.testing.assert_close(pixel_sums(owners, nodes, colour), exact[:, :3], rtol=0,
                               atol=1e-12)
    empty = owners < 0
    assert torch.equal(nodes[empty], torch.zeros_like(nodes[empty]))
    assert bool(empty.view(3, 4, 800)[:, 3].all())  # nothing reaches the last column


def test_a_pixel_beyond_the_slot_budget_fails_with_status_4():
    # Four cuts x = 0.2 .. 0.8 across a covered pixel: five strips, eight cut units of at least
    # 120 nodes each.
    vertices = torch.tensor([[-2.0, -2.0, 1.0], [7.0, -1.5, 1.0], [-1.0, 6.5, 1.0]], dtype=F64)
    faces = torch.tensor([[0, 1, 2]], dtype=I32)
    cuts = (vertices[:, :1] - torch.tensor([0.2, 0.4, 0.6, 0.8], dtype=F64))[None]  # [1, 3, 4]
    with pytest.raises(RuntimeError, match="vrel-status:4: quadrature capacity"):
        vrel.opaque_quadrature(vertices, faces, cuts, height=1, width=1)


def monomial_sums(owners, nodes, vertices, faces, degree):
    """sum(weight * x^i y^j) over pixel (0, 0)'s nodes for i + j <= degree, with the exact
    1/((i+1)(j+1)) of the unit square."""
    corners = vertices[faces.long()][owners[0].clamp_min(0).long()]  # [800, 3, 3]
    x, y = (torch.einsum("sk,sk->s", nodes[0, :, :3], corners[..., a]) for a in (0, 1))
    return [(float((nodes[0, :, 3] * x ** i * y ** (d - i)).sum()), 1 / ((i + 1) * (d - i + 1)))
            for d in range(degree + 1) for i in range(d + 1)]


@pytest.mark.parametrize("quadrature, cut, degree", [
    (vrel.opaque_quadrature, False, 8),            # plain units: the Gauss products
    (vrel.opaque_material_quadrature, False, 14),  # the 44-node rule
    (vrel.opaque_quadrature, True, 8),             # cut units beside plain ones
])
def test_polynomials_integrate_exactly_over_a_covered_pixel(quadrature, cut, degree):
    vertices = torch.tensor([[-2.0, -2.0, 1.0], [7.0, -1.5, 1.0], [-1.0, 6.5, 1.0]], dtype=F64)
    faces = torch.tensor([[0, 1, 2]], dtype=I32)
    # l0 - l1 - 0.8 l2 = 0 crosses the pixel: the fan triangles along it are cut units.
    cuts = torch.tensor([[[1.0], [-1.0], [-0.8]]], dtype=F64) if cut else None
    owners, nodes = quadrature(vertices, faces, cuts, height=1, width=1)
    assert bool((owners[0][owners[0] >= 0] == 0).all())
    for got, exact in monomial_sums(owners, nodes, vertices, faces, degree):
        assert got == pytest.approx(exact, rel=1e-11, abs=1e-14)


def test_tiles_of_a_large_image_equal_one_call():
    vertices, faces = scene(1)
    vertices = vertices * torch.tensor([20.0, 20.0, 1.0], dtype=F64)
    owners, nodes = vrel.opaque_quadrature(vertices, faces, height=50, width=60)  # 2 tiles
    assert owners.shape == (3000, 800)
    band_owners, band_nodes = ops.opaque_quadrature(vertices, faces, vertices.new_zeros(5, 3, 0),
                                                    10, 60, 0.0, 40.0, 1 << 26)
    assert torch.equal(owners[2400:], band_owners) and torch.equal(nodes[2400:], band_nodes)


def quadrature_args(**change):
    vertices, faces = scene(0)
    args = dict(vertices=vertices, faces=faces, cuts=vertices.new_zeros(5, 3, 0), h=2, w=2,
                ox=0.0, oy=0.0, limit=1 << 26)
    args.update(change)
    return args


# One float64 pixel: 1,047,584 bytes of workspace and 800 x (4 + 32) bytes of output.
EXACT_BUDGET = 1_047_584 + 28_800


@pytest.mark.parametrize("change, message", [
    (dict(cuts=torch.zeros(5, 3, 17, dtype=F64)), "opaque quadrature shapes/cut capacity"),
    (dict(cuts=torch.zeros(5, 1, 7, dtype=F64)), "opaque quadrature shapes/cut capacity"),
    (dict(cuts=torch.zeros(4, 3, 1, dtype=F64)), "opaque quadrature shapes/cut capacity"),
    (dict(faces=torch.zeros(5, 4, dtype=I32)), "opaque quadrature shapes/cut capacity"),
    (dict(h=0), "opaque quadrature dimensions/budget"),
    (dict(limit=0), "opaque quadrature dimensions/budget"),
    (dict(limit=(1 << 26) + 1), "opaque quadrature dimensions/budget"),
    (dict(h=1, w=1, limit=EXACT_BUDGET - 1), "opaque quadrature workspace/output budget exceeded"),
])
def test_adapter_checks(change, message):
    args = quadrature_args(**change)
    for name in ("opaque_quadrature", "opaque_material_quadrature"):
        with pytest.raises(RuntimeError, match="vrel-internal: " + message):
            getattr(ops, name)(*args.values())
    with pytest.raises(RuntimeError, match="vrel-internal: " + message):
        values = list(args.values())
        ops.opaque_boundary_quadrature(*values[:7], 0, values[7])


def test_cut_layouts_budgets_and_edges():
    for cuts in (torch.zeros(5, 3, 0, dtype=F64), torch.zeros(5, 1, 6, dtype=F64),
                 torch.zeros(5, 1, 51, dtype=F64), torch.zeros(5, 3, 16, dtype=F64)):
        ops.opaque_quadrature(*quadrature_args(cuts=cuts, h=1, w=1, limit=EXACT_BUDGET).values())
    for edge in (4, -1, -2):
        with pytest.raises(RuntimeError, match="vrel-internal: opaque boundary edge"):
            ops.opaque_boundary_quadrature(*list(quadrature_args().values())[:7], edge, 1 << 26)
    # Backward budget: the workspace and the two gradients (15 x 3 vertices, no cuts).
    args = quadrature_args(h=1, w=1)
    gradient = torch.zeros(1, 800, 4, dtype=F64)
    exact = 1_047_584 + 8 * 45
    values = list(args.values())
    ops.opaque_quadrature_backward(*values[:3], gradient, *values[3:7], exact)
    with pytest.raises(RuntimeError, match="opaque quadrature workspace/output budget exceeded"):
        ops.opaque_quadrature_backward(*values[:3], gradient, *values[3:7], exact - 1)
