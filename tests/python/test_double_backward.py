"""Gradients of gradients: exact for the multilinear operators, a clear error for the others."""
from __future__ import annotations

import pytest
import torch

import vrel
from conftest import tetrahedron


def _grad_mesh():
    vertices, faces = tetrahedron()
    return vertices.clone().requires_grad_(), faces


def _interpolate_inputs():
    g = torch.Generator().manual_seed(3)
    face_index = torch.tensor([[[[0], [2]], [[-1], [1]]]], dtype=torch.int32)
    barycentric = torch.rand(1, 2, 2, 1, 3, dtype=torch.float64, generator=g)
    attributes = torch.rand(3, 3, 2, dtype=torch.float64, generator=g)
    return face_index, barycentric, attributes


def _hom(p):
    return torch.cat([p, torch.ones_like(p[..., :1])], -1)


# name: (inputs builder -> (differentiable inputs, vrel function, PyTorch reference))
def _cases():
    g = torch.Generator().manual_seed(1)

    def rand(*shape):
        return torch.rand(*shape, dtype=torch.float64, generator=g)

    vertices, faces = tetrahedron()
    face_index, barycentric, attributes = _interpolate_inputs()
    offsets = torch.tensor([0, 1, 3], dtype=torch.int32)
    batch = torch.tensor([0, 1, 1])
    return {
        "gather_faces": ((vertices,), lambda v: vrel.gather_faces(v, faces),
                         lambda v: v[faces.long()]),
        "transform_points": ((rand(3, 3), rand(2, 4, 4)),
                             lambda p, m: vrel.transform_points(p, m, offsets),
                             lambda p, m: torch.einsum("prc,pc->pr", m[batch], _hom(p))),
        "interpolate": ((barycentric, attributes),
                        lambda b, a: vrel.interpolate(face_index, b, a),
                        lambda b, a: torch.where((face_index >= 0).unsqueeze(-1), torch.einsum(
                            "...j,...jc->...c", b, a[face_index.clamp(min=0).long()]), 0)),
        "blend_shapes": ((rand(4, 3), rand(2, 4, 3), rand(3, 2)), vrel.blend_shapes,
                         lambda t, d, w: t + torch.einsum("bk,kvc->bvc", w, d)),
        "skin_lbs": ((rand(2, 4, 3), rand(2, 3, 4, 4), rand(4, 3)), vrel.skin_lbs,
                     lambda v, t, w: torch.einsum("vj,bjrc,bvc->bvr", w, t[:, :, :3], _hom(v))),
    }


@pytest.mark.parametrize("name", sorted(_cases()))
def test_hessian_vector_products_of_multilinear_operators_are_exact(name):
    inputs, function, reference = _cases()[name]
    directions = [torch.rand_like(x) for x in inputs]

    def hvp(f):
        xs = [x.clone().requires_grad_() for x in inputs]
        loss = f(*xs).sin().sum()  # a nonlinear loss: its Hessian through f is not zero
        grads = torch.autograd.grad(loss, xs, create_graph=True)
        dot = sum((g * d).sum() for g, d in zip(grads, directions))
        return torch.autograd.grad(dot, xs)

    for got, want in zip(hvp(function), hvp(reference)):
        torch.testing.assert_close(got, want, rtol=1e-10, atol=1e-12)


def test_gather_faces_hessian_is_twice_the_corner_count():
    vertices, faces = _grad_mesh()
    loss = vrel.gather_faces(vertices, faces).square().sum()
    (grad,) = torch.autograd.grad(loss, vertices, create_graph=True)
    (hv,) = torch.autograd.grad(grad, vertices, torch.ones_like(grad))
    corners = torch.bincount(faces.flatten().long(), minlength=4).to(hv.dtype)
    torch.testing.assert_close(hv, 2 * corners[:, None].expand(4, 3))


def _nonlinear():
    vertices, faces = tetrahedron()
    return {
        "face_geometry": (vertices, lambda v: vrel.face_geometry(v, faces)[1]),
        "vertex_normals": (vertices, lambda v: vrel.vertex_normals(v, faces)),
        "rodrigues": (vertices[:, :3].contiguous(), vrel.rodrigues),
        "perspective_divide": (_hom(vertices) + 1, lambda h: vrel.perspective_divide(h)[0]),
        "knn": (vertices, lambda v: vrel.knn(v, v.detach() + 0.1, 2)[0]),
    }


@pytest.mark.parametrize("name", sorted(_nonlinear()))
def test_other_operators_refuse_to_be_differentiated_twice(name):
    primal, function = _nonlinear()[name]
    x = primal.clone().requires_grad_()
    (first,) = torch.autograd.grad(function(x).square().sum(), x)
    y = primal.clone().requires_grad_()
    (built,) = torch.autograd.grad(function(y).square().sum(), y, create_graph=True)
    torch.testing.assert_close(built, first)  # building the graph alone changes nothing
    with pytest.raises(RuntimeError, match=f"vrel.{name} does not support double backward"):
        torch.autograd.grad(built.sum(), y)


def test_torch_func_grad_works_or_says_why():
    vertices, faces = tetrahedron()
    grad = torch.func.grad(lambda v: vrel.gather_faces(v, faces).square().sum())(vertices)
    x = vertices.clone().requires_grad_()
    (want,) = torch.autograd.grad(vrel.gather_faces(x, faces).square().sum(), x)
    torch.testing.assert_close(grad, want)
    hessian_row = torch.func.grad(
        lambda v: torch.func.grad(lambda w: vrel.gather_faces(w, faces).square().sum())(v).sum())
    torch.testing.assert_close(hessian_row(vertices), torch.autograd.functional.hvp(
        lambda v: v[faces.long()].square().sum(), vertices, torch.ones_like(vertices))[1])
    try:
        area_grad = torch.func.grad(lambda v: vrel.face_geometry(v, faces)[1].sum())(vertices)
    except RuntimeError as error:
        assert "vrel.face_geometry does not support double backward" in str(error)
    else:
        y = vertices.clone().requires_grad_()
        (want,) = torch.autograd.grad(vrel.face_geometry(y, faces)[1].sum(), y)
        torch.testing.assert_close(area_grad, want)


def test_sample_surface_gradients_are_differentiable_in_the_cotangent():
    vertices, faces = _grad_mesh()
    key = torch.tensor([1, 2], dtype=torch.uint32)
    counter = torch.tensor([0, 0], dtype=torch.uint32)
    points, face_index, barycentric, _ = vrel.sample_surface(vertices, faces, 5, key, counter)
    (grad,) = torch.autograd.grad(points.square().sum(), vertices, create_graph=True)
    (hv,) = torch.autograd.grad(grad, vertices, torch.ones_like(grad))
    corners = faces.long()[face_index[0].long()]  # [S,3]
    weights = barycentric[0].detach()
    dense = torch.zeros(5, 4, dtype=torch.float64).index_put_(
        (torch.arange(5)[:, None].expand(5, 3), corners), weights, accumulate=True)
    torch.testing.assert_close(hv, 2 * dense.T @ dense @ torch.ones(4, 3, dtype=torch.float64))
