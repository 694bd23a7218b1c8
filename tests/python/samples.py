"""One sample per differentiable forward operator: its float64 inputs, the inputs gradcheck
differentiates, the outputs that carry gradients, and (where a plain PyTorch formula is short) a
reference. test_samples.py runs the reference comparison, gradcheck and opcheck over this table;
a new operator adds one row here."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional

import torch

import vrel
from conftest import jittered, tetrahedron, whole

F64 = torch.float64
I32 = torch.int32


@dataclass
class Sample:
    inputs: Callable[[], tuple]     # fresh arguments of torch.ops.vrel.<name>
    differentiable: tuple[int, ...]  # argument positions gradcheck differentiates
    outputs: tuple[int, ...] = (0,)  # outputs that carry gradients
    reference: Optional[Callable] = None  # plain PyTorch result of the checked outputs
    select: Optional[Callable] = None  # the parts of the checked outputs that carry gradients
    atol: float = 1e-7
    rtol: float = 1e-5


def _mesh():
    vertices, faces = tetrahedron()
    return jittered(vertices), faces


def _ndc():
    ndc = torch.tensor([[-0.7, -0.6, 0.3], [0.8, -0.5, 0.5], [0.1, 0.75, 0.4],
                        [-0.2, -0.2, 0.9], [0.6, -0.1, 0.1], [0.2, 0.5, 0.2]], dtype=F64)
    return ndc, torch.tensor([[0, 1, 2], [3, 4, 5]], dtype=I32)


def _near_identity(*shape):
    return torch.eye(4, dtype=F64) + 0.1 * torch.rand(*shape, 4, 4, dtype=F64)


def _fragments():
    ndc, faces = _ndc()
    face_index, bary, _, _ = torch.ops.vrel.rasterize(ndc, faces, whole(6), whole(2), 6, 6, 2,
                                                      0.0, 1, 1e-12)
    return face_index, bary, torch.rand(2, 3, 2, dtype=F64)


def _opaque_mesh():
    """The jittered tetrahedron in pixel units over a 3 x 3 image, its outline off pixel corners."""
    vertices, faces = _mesh()
    return vertices * torch.tensor([2.0, 2.0, 1.0], dtype=F64) + 0.13, faces


def _texture():
    pyramid, offsets = torch.ops.vrel.texture_pyramid(torch.rand(4, 4, 2, dtype=F64), 0)
    empty = pyramid.new_empty((0,))
    uv = torch.tensor([[0.31, 0.62], [0.77, 0.18]], dtype=F64)
    lod = torch.tensor([0.3, 1.2], dtype=F64)
    return (pyramid, offsets, 4, 4, 2, uv, empty, lod, False, True, 2, 2, 1, 1, empty, False)


def _loss_rows(rows):
    """Loss-curve rows over a 3-node axis whose controls are constant in u (so the rows do not
    move with roughness and a finite difference in roughness sees what the Jacobian sees)."""
    logs = torch.tensor([-2.0, -1.0, 0.0], dtype=F64)
    per_row = -0.2 - 0.6 * torch.rand(rows, 7, 1, dtype=F64)
    per_row[:, 1:6:2] -= 0.5                                 # channel 1 below channel 0
    controls = per_row.expand(rows, 7, 4).contiguous()
    curve, partial = torch.ops.vrel.shading_loss_curve(logs, controls,
                                                       torch.full((rows,), 0.5, dtype=F64))
    return logs.exp(), logs, curve, partial


def _loss_curve():
    return (torch.tensor([-2.0, -1.0, 0.0], dtype=F64), -0.1 - torch.rand(2, 7, 4, dtype=F64),
            torch.tensor([0.3, 0.7], dtype=F64))


def _loss_query():
    logs, controls, u = _loss_curve()
    curve, partial = torch.ops.vrel.shading_loss_curve(logs, controls, u)
    cosine = torch.tensor([0.05, 0.3, 0.62, 0.9], dtype=F64)
    return (logs.exp(), logs, vrel.loss_weights(logs), curve, partial, cosine,
            torch.tensor([0, 1, 1, 0], dtype=I32))


def _principled(rows):
    cn, logs, curve, partial = _loss_rows(rows)
    _, mean = torch.ops.vrel.shading_loss_query(cn, logs, vrel.loss_weights(logs), curve,
                                                partial, curve.new_empty((0,)),
                                                torch.zeros(0, dtype=I32))
    up = torch.tensor([[0.1, -0.2, 1.0], [-0.3, 0.1, 0.9]], dtype=F64)
    view = torch.tensor([[0.4, 0.1, 0.9], [0.0, -0.5, 0.8]], dtype=F64)
    light = torch.tensor([[[0.3, 0.2, 1.0], [-0.6, 0.1, 0.7]],
                          [[0.1, 0.5, 0.9], [0.2, -0.3, 1.1]]], dtype=F64)
    return (cn, logs, curve, partial, mean, torch.full((rows,), 0.8, dtype=F64), up, view, light,
            torch.rand(2, 3, dtype=F64), torch.tensor([0.45, 0.7], dtype=F64),
            0.02 + 0.1 * torch.rand(2, 3, dtype=F64), False, True)


# ---- references -------------------------------------------------------------------------------

def _ref_face_geometry(vertices, faces, eps):
    f = faces.long()
    p0, p1, p2 = vertices[f[:, 0]], vertices[f[:, 1]], vertices[f[:, 2]]
    n = torch.linalg.cross(p1 - p0, p2 - p0)
    length = n.norm(dim=1)
    return n / length[:, None], 0.5 * length


def _ref_transform_points(points, matrices, offsets):
    counts = (offsets[1:] - offsets[:-1]).long()
    per_point = matrices.repeat_interleave(counts, dim=0)
    ones = torch.cat([points, torch.ones(points.shape[0], 1, dtype=points.dtype)], 1)
    return (per_point @ ones[:, :, None])[:, :, 0]


def _ref_rodrigues(v):
    theta = v.norm(dim=-1, keepdim=True)[..., None]
    k = v / v.norm(dim=-1, keepdim=True)
    zero = torch.zeros_like(k[..., 0])
    cross = torch.stack([zero, -k[..., 2], k[..., 1], k[..., 2], zero, -k[..., 0],
                         -k[..., 1], k[..., 0], zero], -1).reshape(*k.shape[:-1], 3, 3)
    return torch.eye(3, dtype=v.dtype) + theta.sin() * cross + (1 - theta.cos()) * cross @ cross


def _ref_forward_kinematics(local, parents):
    world = []
    for j, p in enumerate(parents.tolist()):
        world.append(local[:, j] if p < 0 else world[p] @ local[:, j])
    return torch.stack(world, 1)


def _ref_skin_lbs(vertices, transforms, weights):
    ones = torch.cat([vertices, torch.ones(*vertices.shape[:2], 1, dtype=vertices.dtype)], -1)
    blended = torch.einsum("vj,bjrc->bvrc", weights, transforms)
    return (blended @ ones[..., None])[..., :3, 0]


def _ref_evaluate_barycentric(vertices, faces, face_index, barycentric):
    corners = vertices[:, faces[face_index.long()].long()]  # [B,L,3,3]
    return (barycentric[None, :, :, None] * corners).sum(2)


def _ref_gaussian_weights(sigma, radius):
    k = torch.arange(-radius, radius + 1, dtype=sigma.dtype)
    taps = torch.exp(-0.5 * (k / sigma[:, None]) ** 2)
    return taps / taps.sum(1, keepdim=True)


def _ref_srgb_to_linear(x, transfer):
    return torch.where(x <= 0.04045, x / 12.92, ((x + 0.055) / 1.055) ** 2.4)


_PRINCIPLED = (6, 7, 8, 9, 10, 11)  # normal, view, light, albedo, roughness, f0

SAMPLES = {
    "face_geometry": Sample(lambda: (*_mesh(), 0.0), (0,), (0, 1), _ref_face_geometry),
    "vertex_normals": Sample(lambda: (*_mesh(), 1e-12, 1), (0,)),
    "gather_faces": Sample(lambda: _mesh(), (0,), reference=lambda v, f: v[f.long()]),
    "sample_surface": Sample(lambda: (*_mesh(), whole(4), whole(4), 8,
                                      torch.tensor([1, 2], dtype=torch.uint32),
                                      torch.zeros(2, dtype=torch.uint32), 0.0), (0,)),
    "transform_points": Sample(lambda: (torch.rand(5, 3, dtype=F64), _near_identity(2),
                                        torch.tensor([0, 2, 5], dtype=I32)), (0, 1),
                               reference=_ref_transform_points),
    "perspective_divide": Sample(lambda: (torch.rand(5, 4, dtype=F64) + 0.5, 1e-9), (0,),
                                 reference=lambda h, eps: h[:, :3] / h[:, 3:]),
    "knn": Sample(lambda: (torch.rand(4, 3, dtype=F64), torch.rand(6, 3, dtype=F64), whole(4),
                           whole(6), 2), (0, 1),
                  reference=lambda q, r, *_: torch.cdist(q, r).square().topk(2, largest=False)[0]),
    "closest_point_on_mesh": Sample(lambda: (torch.rand(5, 3, dtype=F64) * 2 - 0.5, *_mesh(),
                                             whole(5), whole(4), whole(4), 0.0), (0, 1)),
    "rasterize": Sample(lambda: (*_ndc(), whole(6), whole(2), 8, 8, 2, 1.5, 1, 1e-12), (0,), (1,),
                        atol=1e-5, rtol=1e-4),
    "interpolate": Sample(_fragments, (1, 2)),
    "texture_pyramid": Sample(lambda: (torch.rand(4, 4, 2, dtype=F64), 0), (0,)),
    "texture": Sample(_texture, (0, 5)),
    "rodrigues": Sample(lambda: (torch.tensor([[0.3, -0.2, 0.5], [1.1, 0.4, -0.7]], dtype=F64),),
                        (0,), reference=_ref_rodrigues),
    "forward_kinematics": Sample(lambda: (_near_identity(1, 3),
                                          torch.tensor([-1, 0, 1], dtype=I32)),
                                 (0,), reference=_ref_forward_kinematics),
    "blend_shapes": Sample(lambda: (torch.rand(4, 3, dtype=F64), torch.rand(2, 4, 3, dtype=F64),
                                    torch.rand(3, 2, dtype=F64)), (0, 1, 2),
                           reference=lambda t, d, w: t + torch.einsum("bk,kvc->bvc", w, d)),
    "skin_lbs": Sample(lambda: (torch.rand(1, 4, 3, dtype=F64), _near_identity(1, 2),
                                torch.rand(4, 2, dtype=F64)), (0, 1, 2), reference=_ref_skin_lbs),
    "evaluate_barycentric": Sample(lambda: (_mesh()[0][None], _mesh()[1],
                                            torch.tensor([2, 0], dtype=I32),
                                            torch.tensor([[0.2, 0.3, 0.5], [0.6, 0.1, 0.3]],
                                                         dtype=F64)), (0, 3),
                                   reference=_ref_evaluate_barycentric),
    "image_gaussian_weights": Sample(lambda: (torch.tensor([0.7, 2.5], dtype=F64), 3), (0,),
                                     reference=_ref_gaussian_weights),
    "image_transfer": Sample(lambda: (torch.tensor([0.01, 0.2, 0.5, 0.93], dtype=F64), 0), (0,),
                             reference=_ref_srgb_to_linear),
    "shading_loss_curve": Sample(_loss_curve, (2,)),
    "shading_loss_query": Sample(_loss_query, (5,), (0, 1),
                                 select=lambda query, mean: (query[:, :2], mean[:, :2])),
    "shading_principled_pairs": Sample(lambda: _principled(2), _PRINCIPLED),
    "shading_principled_groups": Sample(lambda: _principled(2), _PRINCIPLED),
    "shading_principled_shared_groups": Sample(lambda: _principled(1), _PRINCIPLED),
    "opaque_coverage": Sample(lambda: (*_opaque_mesh(), 3, 3, 0.0, 0.0, 1 << 20), (0,)),
    "opaque_integrate": Sample(lambda: (*_opaque_mesh(), torch.rand(4, 3, 3, dtype=F64), 3, 3,
                                        0.0, 0.0, 1 << 21), (0, 2)),
}




def _opaque_cuts(lines=1):
    """Two faces over 1 x 2 pixels, the nearer one with a cut line across both pixels, the other
    with a line that misses it (lines=0: no cut lines)."""
    vertices = torch.tensor([[0.31, 0.22, 0.2], [1.73, 0.36, 0.4], [0.47, 0.93, 0.3],
                             [0.9, -0.4, 0.9], [2.6, 0.8, 0.8], [1.2, 1.4, 1.0]], dtype=F64)
    faces = torch.tensor([[0, 1, 2], [3, 4, 5]], dtype=I32)
    cuts = torch.tensor([[[1.0], [-1.0], [0.13]], [[1.0], [1.1], [2.0]]], dtype=F64)
    return vertices, faces, cuts[..., :lines].contiguous(), 1, 2, 0.0, 0.0, 1 << 26


# The quadrature's rows exist where this build's core has its exports. Every 20th slot of the
# nodes keeps gradcheck to a few hundred backward calls; the material rule (44 nodes per plain
# unit) applies only without cut lines.
if vrel._registry.has_kernel("opaque_quadrature"):
    SAMPLES["opaque_quadrature"] = Sample(_opaque_cuts, (0, 2), (1,),
                                          select=lambda nodes: (nodes[:, ::20],))
if vrel._registry.has_kernel("opaque_material_quadrature"):
    SAMPLES["opaque_material_quadrature"] = Sample(lambda: _opaque_cuts(0), (0,), (1,),
                                                   select=lambda nodes: (nodes[:, ::20],))
