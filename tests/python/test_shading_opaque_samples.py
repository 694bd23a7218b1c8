"""The opaque shading samples from PyTorch against the core's principled BRDF at the same surface
points (lifted in PyTorch), the albedo gradient against autograd through that BRDF, the fake
kernels, and the adapter's layout check."""
from __future__ import annotations

import numpy
import pytest
import torch

import vrel
from test_shading import axis_of, controls_of

F64 = torch.float64
I32 = torch.int32


def scene(pixels=2):
    """A tilted triangle before a camera at the origin (x = 2 + 4 X / w, w = -Z) and, per pixel,
    a 5 x 8 collapsed Gauss rule over two screen triangles of a unit square inside it, spread over
    the 800 slots."""
    world = torch.tensor([[-1.5, -1.2, -2.0], [1.6, -0.9, -3.5], [-0.2, 1.7, -2.6]], dtype=F64)
    w = -world[:, 2]
    screen = 2.0 + 4.0 * world[:, :2] / w[:, None]
    clip = torch.cat([4.0 * world, w[:, None]], 1)
    normals = torch.tensor([[[0.1, 0.2, 1.0], [0.3, -0.1, 0.9], [-0.2, 0.1, 1.1]]], dtype=F64)
    s, ws = (torch.tensor(a, dtype=F64) for a in numpy.polynomial.legendre.leggauss(5))
    t, wt = (torch.tensor(a, dtype=F64) for a in numpy.polynomial.legendre.leggauss(8))
    s, ws, t, wt = (s + 1) / 2, ws / 2, (t + 1) / 2, wt / 2
    owners = torch.full((pixels, 800), -1, dtype=I32)
    q = torch.zeros(pixels, 800, 4, dtype=F64)
    m = torch.stack([screen[1] - screen[0], screen[2] - screen[0]], 1)
    for p in range(pixels):
        x0, y0 = 1.0, 1.0 + p
        corners = torch.tensor([[x0, y0], [x0 + 1, y0], [x0 + 1, y0 + 1], [x0, y0 + 1]],
                               dtype=F64)
        points, weights = [], []
        for a, b, c in ((0, 1, 2), (0, 2, 3)):
            e1, e2 = corners[b] - corners[a], corners[c] - corners[a]
            area2 = abs(e1[0] * e2[1] - e1[1] * e2[0])
            for i in range(5):
                for j in range(8):
                    points.append(corners[a] + s[i] * e1 + (1 - s[i]) * t[j] * e2)
                    weights.append((1 - s[i]) * ws[i] * wt[j] * area2)
        points = torch.stack(points)
        l12 = torch.linalg.solve(m, (points - screen[0]).T).T
        slots = torch.arange(len(points)) * 9 + 3 * p
        owners[p, slots] = 0
        q[p, slots] = torch.cat([1 - l12.sum(1, keepdim=True), l12,
                                 torch.stack(weights)[:, None]], 1)
    cn, logs = axis_of(4)
    curve, partial = vrel.loss_curve(logs, controls_of(1, 4), torch.tensor([0.4], dtype=F64))
    return dict(owners=owners, q=q, world=world, faces=torch.tensor([[0, 1, 2]], dtype=I32),
                clip=clip, normals=normals, camera=torch.zeros(3, dtype=F64), cn=cn, logs=logs,
                curve=curve, partial=partial,
                mean=torch.tensor([[0.6, 0.3, 0.1, 0.05]], dtype=F64),
                width=torch.tensor([0.5], dtype=F64),
                albedo=torch.tensor([0.5, 0.6, 0.7], dtype=F64),
                roughness=torch.tensor([0.45], dtype=F64),
                f0=torch.tensor([0.04, 0.05, 0.06], dtype=F64),
                direction=torch.tensor([0.3, 0.5, 1.0], dtype=F64),
                incoming=torch.tensor([2.0, 1.5, 1.0], dtype=F64))


def reference(inputs, albedo):
    """Per used slot: the perspective-correct lift in PyTorch and the core's BRDF through
    principled_shared_groups (differentiable in albedo); returns the samples [C, 800, 4]."""
    owners, q = inputs["owners"], inputs["q"]
    used = owners >= 0
    nodes = q[used]
    t = nodes[:, :3] / inputs["clip"][:, 3][None, :]
    b = t / t.sum(1, keepdim=True)
    position = b @ inputs["world"]
    normal = torch.einsum("nk,kj->nj", b, inputs["normals"][0])
    brdf = []
    for begin in range(0, len(nodes), 128):  # the shared groups take at most 128 points
        n, v = normal[begin:begin + 128], (inputs["camera"] - position)[begin:begin + 128]
        count = len(n)
        brdf.append(vrel.principled_shared_groups(
            inputs["cn"], inputs["logs"], inputs["curve"], inputs["partial"], inputs["mean"],
            inputs["width"], n, v, inputs["direction"].expand(count, 1, 3).contiguous(),
            albedo.expand(count, 3), inputs["roughness"].expand(count),
            inputs["f0"].expand(count, 3).contiguous())[0])
    brdf = torch.cat(brdf)
    lit = (torch.nn.functional.normalize(normal, dim=1)
           @ torch.nn.functional.normalize(inputs["direction"], dim=0)).clamp(min=0)
    radiance = brdf[:, 0] * inputs["incoming"] * lit[:, None] * nodes[:, 3:]
    samples = torch.zeros(*owners.shape, 4, dtype=F64)
    samples[used] = torch.cat([radiance, nodes[:, 3:]], 1)
    return samples


def test_samples_match_the_core_brdf_at_the_same_surface_points():
    inputs = scene()
    samples, pixels = vrel.opaque_samples(**inputs)
    expected = reference(inputs, inputs["albedo"])
    torch.testing.assert_close(samples, expected, rtol=1e-12, atol=1e-15)
    torch.testing.assert_close(pixels, expected.sum(1), rtol=1e-12, atol=1e-15)
    torch.testing.assert_close(pixels[:, 3], torch.ones(2, dtype=F64), rtol=1e-14, atol=0)
    assert (samples[inputs["owners"] < 0] == 0).all()


def test_albedo_gradient_matches_autograd_through_the_brdf():
    inputs = scene()
    cotangent = torch.tensor([[1.0, -2.0, 0.5], [0.25, 3.0, -1.0]], dtype=F64)
    samples, pixels, gradient = vrel.opaque_albedo(**inputs, cotangent=cotangent)
    plain, plain_pixels = vrel.opaque_samples(**inputs)
    assert torch.equal(samples, plain) and torch.equal(pixels, plain_pixels)
    albedo = inputs["albedo"].clone().requires_grad_()
    colour = reference(inputs, albedo).sum(1)[:, :3]
    (expected,) = torch.autograd.grad((colour * cotangent).sum(), albedo)
    torch.testing.assert_close(gradient.sum(0), expected, rtol=1e-12, atol=1e-15)
    # Per pixel: the cotangent times the derivative of that pixel's colour.
    for p in range(2):
        albedo.grad = None
        (per_pixel,) = torch.autograd.grad((reference(inputs, albedo).sum(1)[p, :3]
                                            * cotangent[p]).sum(), albedo)
        torch.testing.assert_close(gradient[p], per_pixel, rtol=1e-12, atol=1e-15)


def test_fake_kernels_and_schema():
    inputs = scene(1)
    torch.library.opcheck(torch.ops.vrel.shading_opaque_samples.default,
                          tuple(inputs.values()), test_utils=("test_schema", "test_faketensor"))
    torch.library.opcheck(torch.ops.vrel.shading_opaque_albedo.default,
                          (*inputs.values(), torch.ones(1, 3, dtype=F64)),
                          test_utils=("test_schema", "test_faketensor"))


def test_layout_check_and_core_errors():
    inputs = scene(1)
    for q in (inputs["q"][:, :799], inputs["q"][:, :, :3], inputs["q"].reshape(1, 3200)):
        with pytest.raises(RuntimeError, match=r"^vrel-internal: opaque sample layout invalid$"):
            vrel.opaque_samples(**{**inputs, "q": q.contiguous()})
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: opaque sample input domain"):
        vrel.opaque_samples(**{**inputs, "albedo": torch.tensor([0.5, 1.5, 0.5], dtype=F64)})
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: opaque albedo shape invalid"):
        vrel.opaque_albedo(**inputs, cotangent=torch.ones(1, 4, dtype=F64))
