"""Every bound operator from PyTorch: results against plain PyTorch references, float64
gradchecks through vrel's autograd pairing, fake kernels and torch.compile."""
from __future__ import annotations

import pytest
import torch
from torch.autograd import gradcheck
from torch.utils._python_dispatch import TorchDispatchMode

import vrel
from conftest import jittered, tetrahedron, whole

F64 = torch.float64


def cross_normals(vertices, faces):
    f = faces.long()
    p0, p1, p2 = vertices[f[:, 0]], vertices[f[:, 1]], vertices[f[:, 2]]
    return torch.linalg.cross(p1 - p0, p2 - p0)


# ---- mesh geometry --------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_face_geometry_matches_the_cross_product(dtype):
    vertices, faces = tetrahedron(dtype)
    faces = torch.cat([faces, torch.tensor([[0, 0, 1]], dtype=torch.int32)])  # degenerate
    normals, areas, valid = vrel.face_geometry(vertices, faces, 1e-9)
    n = cross_normals(vertices, faces)
    length = n.norm(dim=1)
    assert valid.tolist() == [True] * 4 + [False]
    torch.testing.assert_close(normals[:4], n[:4] / length[:4, None])
    torch.testing.assert_close(areas[:4], 0.5 * length[:4])
    assert torch.equal(normals[4], torch.zeros(3, dtype=dtype)) and areas[4] == 0


@pytest.mark.parametrize("weighting", [vrel.WEIGHTING_AREA, vrel.WEIGHTING_UNIFORM])
def test_vertex_normals_match_the_weighted_face_sum(weighting):
    vertices, faces = tetrahedron()
    n = cross_normals(vertices, faces)
    contribution = 0.5 * n if weighting == vrel.WEIGHTING_AREA else n / n.norm(dim=1,
                                                                                  keepdim=True)
    sums = torch.zeros_like(vertices).index_add_(0, faces.long().reshape(-1),
                                                 contribution.repeat_interleave(3, dim=0))
    expected = sums / sums.norm(dim=1, keepdim=True)
    torch.testing.assert_close(vrel.vertex_normals(vertices, faces, 1e-12, weighting), expected)


def test_gather_faces_indexes_corners_and_out_variants_agree():
    vertices, faces = tetrahedron()
    gathered = vrel.gather_faces(vertices, faces)
    assert torch.equal(gathered, vertices[faces.long()])
    normals, areas = torch.empty(4, 3, dtype=F64), torch.empty(4, dtype=F64)
    valid = torch.empty(4, dtype=torch.bool)
    torch.ops.vrel.face_geometry_out(vertices, faces, 0.0, normals, areas, valid,
                                     torch.empty(0, dtype=torch.uint8))
    expected = vrel.face_geometry(vertices, faces)
    assert all(torch.equal(a, b) for a, b in zip((normals, areas, valid), expected))


def test_edge_topology_of_a_tetrahedron_has_six_edges_of_two_faces():
    _, faces = tetrahedron()
    offsets, edges, edge_face_offsets, edge_faces = vrel.build_edge_topology(faces)
    assert offsets.tolist() == [0, 6] and all(t.dtype == torch.int32 for t in
                                               (offsets, edges, edge_face_offsets, edge_faces))
    assert {tuple(e) for e in edges[:6].tolist()} == {(0, 1), (0, 2), (0, 3), (1, 2), (1, 3),
                                                       (2, 3)}
    assert (edges[6:] == -1).all()
    assert torch.diff(edge_face_offsets[:7]).tolist() == [2] * 6
    assert sorted(edge_faces.tolist()) == sorted([0, 1, 2, 3] * 3)


def test_mesh_validate_reports_instead_of_failing():
    vertices, faces = tetrahedron()
    clean = vrel.mesh_validate(vertices, faces)
    assert clean.dtype == torch.int64 and clean.tolist() == [0, -1, -1, 0, -1, 0, 0]
    broken = faces.clone()
    broken[2, 1] = 9
    report = vrel.mesh_validate(vertices, broken, flags=1)
    assert report[0] & 2 and report[1] == 2 and report[4] == 0


def test_sample_surface_is_reproducible_and_lies_on_the_sampled_faces():
    vertices, faces = tetrahedron()
    key = torch.tensor([7, 11], dtype=torch.uint32)
    counter = torch.tensor([0xFFFFFFFF, 3], dtype=torch.uint32)
    points, face_index, bary, next_counter = vrel.sample_surface(vertices, faces, 64, key, counter)
    assert points.shape == (1, 64, 3) and face_index.dtype == torch.int32
    assert next_counter.tolist() == [0, 4]
    corners = vertices[faces.long()[face_index[0].long()]]
    torch.testing.assert_close(points[0], (bary[0, :, :, None] * corners).sum(1))
    torch.testing.assert_close(bary.sum(-1), torch.ones(1, 64, dtype=F64))
    again = vrel.sample_surface(vertices, faces, 64, key, counter)
    assert torch.equal(again[0], points) and torch.equal(again[1], face_index)


# ---- io -------------------------------------------------------------------------------------

PLY = (b"ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
       b"property float z\nelement face 2\nproperty list uchar int vertex_indices\nend_header\n"
       b"0 0 0\n1 0 0\n0 1 0\n0.5 0.25 2.5\n3 0 1 2\n3 1 3 2\n")


def test_ply_read_from_bytes_and_paths(tmp_path):
    assert vrel.ply_probe(PLY) == (0, 4, 2)
    vertices, faces = vrel.ply_read(PLY)
    assert vertices.dtype == torch.float32 and faces.dtype == torch.int32
    assert vertices[3].tolist() == [0.5, 0.25, 2.5] and faces.tolist() == [[0, 1, 2], [1, 3, 2]]
    path = tmp_path / "mesh.ply"
    path.write_bytes(PLY)
    vertices64, faces64 = vrel.ply_read(path, double_precision=True)
    assert vertices64.dtype == F64 and torch.equal(vertices64.float(), vertices)
    assert torch.equal(faces64, faces)
    with pytest.raises(RuntimeError, match=r"^vrel-status:"):
        vrel.ply_read(PLY.replace(b"3 1 3 2", b"4 1 3 2 0"))


# ---- transforms and rasterization -----------------------------------------------------------

def camera(batch=1):
    m = torch.eye(4, dtype=F64).repeat(batch, 1, 1)
    m[:, 0, 3], m[:, 2, 3], m[:, 3, 2], m[:, 3, 3] = 0.1, -0.5, -0.4, 2.0
    return m


def test_transform_points_and_the_divide_match_matrix_products():
    points = jittered(torch.rand(5, 3, dtype=F64))
    matrices = camera(2)
    matrices[1, 1, 1] = 3.0
    offsets = torch.tensor([0, 2, 5], dtype=torch.int32)
    homogeneous = vrel.transform_points(points, matrices, offsets)
    ones = torch.cat([points, torch.ones(5, 1, dtype=F64)], 1)
    owner = torch.tensor([0, 0, 1, 1, 1])
    torch.testing.assert_close(homogeneous, torch.einsum("prc,pc->pr", matrices[owner], ones))
    homogeneous[4, 3] = 0.0
    ndc, valid = vrel.perspective_divide(homogeneous, 1e-9)
    assert valid.tolist() == [True] * 4 + [False]
    torch.testing.assert_close(ndc[:4], homogeneous[:4, :3] / homogeneous[:4, 3:])
    assert torch.equal(ndc[4], torch.zeros(3, dtype=F64))


def triangle_ndc(dtype=F64):
    ndc = torch.tensor([[-0.7, -0.6, 0.3], [0.8, -0.5, 0.5], [0.1, 0.75, 0.4],
                        [-0.2, -0.2, 0.9], [0.6, -0.1, 0.1], [0.2, 0.5, 0.2]], dtype=dtype)
    return ndc, torch.tensor([[0, 1, 2], [3, 4, 5]], dtype=torch.int32)


def test_rasterize_orders_layers_by_depth_and_windows_agree_with_the_full_image():
    ndc, faces = triangle_ndc()
    full = vrel.rasterize(ndc, faces, whole(6), whole(2), 16, 16, 2, 0.0, vrel.CULL_NONE, 1e-12)
    face_index, bary, depth, distance = full
    assert face_index.shape == (1, 16, 16, 2) and bary.shape == (1, 16, 16, 2, 3)
    covered = face_index >= 0
    assert covered.any() and not covered[0, 0, 0, 0]
    both = covered[..., 1]
    assert (depth[..., 0][both] <= depth[..., 1][both]).all()
    torch.testing.assert_close(bary.sum(-1)[covered], torch.ones(int(covered.sum()), dtype=F64))
    assert torch.isinf(depth[~covered]).all()
    tile = vrel.rasterize_window(ndc, faces, whole(6), whole(2), 16, 16, 4, 8, 8, 8, 2)
    for a, b in zip(tile, full):
        assert torch.equal(a, b[:, 4:12, 8:16])
    out = [torch.empty_like(t) for t in full]
    torch.ops.vrel.rasterize_out(ndc, faces, whole(6), whole(2), 16, 16, 2, 0.0, 1, 1e-12, *out,
                                 torch.empty(vrel.workspace_sizes(6, 2, image_height=16,
                                                                  image_width=16,
                                                                  faces_per_pixel=2,
                                                                  double_precision=True)[5],
                                             dtype=torch.uint8))
    assert all(torch.equal(a, b) for a, b in zip(out, full))


def test_interpolate_blends_corner_attributes():
    ndc, faces = triangle_ndc()
    face_index, bary, _, _ = vrel.rasterize(ndc, faces, image_height=8, image_width=8,
                                            faces_per_pixel=2)
    corner = torch.rand(2, 3, 4, dtype=F64)
    values = vrel.interpolate(face_index, bary, corner)
    assert values.shape == (1, 8, 8, 2, 4)
    picked = corner[face_index.clamp(min=0).long()]
    expected = (bary[..., None] * picked).sum(-2) * (face_index >= 0)[..., None]
    torch.testing.assert_close(values, expected)


# ---- textures, proximity, animation ---------------------------------------------------------

def test_texture_pyramid_averages_and_nearest_sampling_reads_texels():
    texture = torch.rand(4, 6, 2, dtype=F64)
    pyramid, offsets = vrel.texture_pyramid(texture)
    assert offsets.tolist() == [0, 48, 60, 62]
    level1 = pyramid[48:60].reshape(2, 3, 2)
    torch.testing.assert_close(level1, texture.reshape(2, 2, 3, 2, 2).mean((1, 3)))
    rows, columns = torch.tensor([0, 3, 2]), torch.tensor([5, 0, 2])
    uv = torch.stack([(columns + 0.5) / 6, (rows + 0.5) / 4], 1).to(F64)
    samples = vrel.texture(pyramid, offsets, 4, 6, 2, uv, filter=vrel.FILTER_NEAREST,
                           mip_filter=vrel.MIP_NEAREST)
    assert torch.equal(samples, texture[rows, columns])


def test_texture_gradient_of_a_pyramid_longer_than_its_table_is_zero_past_the_table():
    pyramid, offsets = vrel.texture_pyramid(torch.rand(4, 4, 1, dtype=F64))
    padded = torch.cat([pyramid, torch.full((5,), 7.0, dtype=F64)]).requires_grad_()
    uv = torch.rand(8, 2, dtype=F64)
    vrel.texture(padded, offsets, 4, 4, 1, uv, lod=torch.full((8,), 0.5, dtype=F64)).sum().backward()
    assert torch.equal(padded.grad[pyramid.numel():], torch.zeros(5, dtype=F64))
    assert padded.grad[:pyramid.numel()].sum().item() == pytest.approx(8.0)


def test_knn_and_closest_point_match_brute_force():
    query = torch.rand(6, 3, dtype=F64)
    reference = torch.rand(9, 3, dtype=F64)
    distance, index, valid = vrel.knn(query, reference, 3)
    brute = torch.cdist(query, reference) ** 2
    expected, expected_index = brute.topk(3, largest=False)
    torch.testing.assert_close(distance, expected)
    assert torch.equal(index.long(), expected_index) and valid.all()
    vertices = torch.tensor([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=F64)
    faces = torch.tensor([[0, 1, 2]], dtype=torch.int32)
    points = torch.tensor([[0.2, 0.3, 0.5], [2.0, 0.0, 0.0]], dtype=F64)
    d, face, bary, closest, ok = vrel.closest_point_on_mesh(points, vertices, faces)
    torch.testing.assert_close(d, torch.tensor([0.25, 1.0], dtype=F64))
    torch.testing.assert_close(closest, torch.tensor([[0.2, 0.3, 0.0], [1, 0, 0]], dtype=F64))
    torch.testing.assert_close(bary[0], torch.tensor([0.5, 0.2, 0.3], dtype=F64))
    assert face.tolist() == [0, 0] and ok.all()


def test_animation_operators_match_their_formulas():
    axis = torch.tensor([[0.3, -0.2, 0.5], [0.0, 0.0, 0.0]], dtype=F64)
    skew = torch.zeros(2, 3, 3, dtype=F64)
    skew[:, 0, 1], skew[:, 0, 2], skew[:, 1, 2] = -axis[:, 2], axis[:, 1], -axis[:, 0]
    skew = skew - skew.transpose(1, 2)
    torch.testing.assert_close(vrel.rodrigues(axis), torch.linalg.matrix_exp(skew))

    local = torch.eye(4, dtype=F64).repeat(1, 3, 1, 1)
    local[0, :, :3, 3] = torch.tensor([[1.0, 0, 0], [0, 2.0, 0], [0, 0, 3.0]])
    local[0, 1, :3, :3] = torch.linalg.matrix_exp(skew[0])
    world = vrel.forward_kinematics(local, torch.tensor([-1, 0, 1], dtype=torch.int32))
    torch.testing.assert_close(world[0, 2], local[0, 0] @ local[0, 1] @ local[0, 2])

    template, deltas, weights = torch.rand(5, 3, dtype=F64), torch.rand(2, 5, 3, dtype=F64), \
        torch.rand(3, 2, dtype=F64)
    torch.testing.assert_close(vrel.blend_shapes(template, deltas, weights),
                               template + torch.einsum("bk,kvc->bvc", weights, deltas))

    vertices = torch.rand(2, 5, 3, dtype=F64)
    transforms = world.repeat(2, 1, 1, 1)
    w = torch.softmax(torch.rand(5, 3, dtype=F64), 1)
    homogeneous = torch.cat([vertices, torch.ones(2, 5, 1, dtype=F64)], -1)
    expected = torch.einsum("vj,bjrc,bvc->bvr", w, transforms, homogeneous)[..., :3]
    torch.testing.assert_close(vrel.skin_lbs(vertices, transforms, w), expected)

    faces = torch.tensor([[0, 1, 2], [2, 3, 4]], dtype=torch.int32)
    face_index = torch.tensor([1, 0], dtype=torch.int32)
    bary = torch.tensor([[0.2, 0.3, 0.5], [1.0, 0.0, 0.0]], dtype=F64)
    corners = vertices[:, faces.long()[face_index.long()]]
    torch.testing.assert_close(vrel.evaluate_barycentric(vertices, faces, face_index, bary),
                               (bary[None, :, :, None] * corners).sum(2))


# ---- gradients through the autograd pairing -------------------------------------------------

def _mesh():
    vertices, faces = tetrahedron()
    return jittered(vertices).requires_grad_(), faces


def _gradcheck(function, *inputs, **tolerances):
    assert gradcheck(function, inputs, eps=1e-6, atol=tolerances.get("atol", 1e-7),
                     rtol=tolerances.get("rtol", 1e-5))


def test_mesh_gradients():
    vertices, faces = _mesh()
    _gradcheck(lambda v: vrel.face_geometry(v, faces)[:2], vertices)
    _gradcheck(lambda v: vrel.face_geometry(v, faces)[1], vertices)  # areas only
    _gradcheck(lambda v: vrel.face_geometry(v, faces)[0], vertices)  # normals only
    for weighting in (vrel.WEIGHTING_AREA, vrel.WEIGHTING_UNIFORM):
        _gradcheck(lambda v: vrel.vertex_normals(v, faces, 1e-12, weighting), vertices)
    _gradcheck(lambda v: vrel.gather_faces(v, faces), vertices)
    key, counter = torch.tensor([1, 2], dtype=torch.uint32), torch.zeros(2, dtype=torch.uint32)
    _gradcheck(lambda v: vrel.sample_surface(v, faces, 8, key, counter)[0], vertices)


def test_transform_and_raster_gradients():
    points = torch.rand(5, 3, dtype=F64, requires_grad=True)
    matrices = camera(2).requires_grad_()
    offsets = torch.tensor([0, 2, 5], dtype=torch.int32)
    _gradcheck(lambda p, m: vrel.transform_points(p, m, offsets), points, matrices)
    homogeneous = (torch.rand(5, 4, dtype=F64) + 0.5).requires_grad_()
    _gradcheck(lambda h: vrel.perspective_divide(h, 1e-9)[0], homogeneous)
    ndc, faces = triangle_ndc()
    ndc.requires_grad_()

    def fragments(n):  # empty layers hold +inf depth and distance: compare covered ones only
        face_index, bary, depth, distance = vrel.rasterize(n, faces, whole(6), whole(2), 8, 8, 2,
                                                           1.5)
        covered = face_index >= 0
        return bary, torch.where(covered, depth, 0.0), torch.where(covered, distance, 0.0)

    _gradcheck(fragments, ndc, atol=1e-5, rtol=1e-4)
    face_index, bary, _, _ = vrel.rasterize(ndc.detach(), faces, image_height=6, image_width=6,
                                            faces_per_pixel=2)
    corner = torch.rand(2, 3, 2, dtype=F64, requires_grad=True)
    _gradcheck(lambda b, c: vrel.interpolate(face_index, b, c), bary.requires_grad_(), corner)


def test_texture_proximity_and_animation_gradients():
    texture = torch.rand(4, 4, 2, dtype=F64, requires_grad=True)
    _gradcheck(lambda t: vrel.texture_pyramid(t)[0], texture)
    pyramid, offsets = vrel.texture_pyramid(texture.detach())
    uv = torch.tensor([[0.31, 0.62], [0.77, 0.18]], dtype=F64, requires_grad=True)
    lod = torch.tensor([0.3, 1.2], dtype=F64)
    _gradcheck(lambda p, c: vrel.texture(p, offsets, 4, 4, 2, c, lod=lod),
               pyramid.requires_grad_(), uv)
    # Screen-space derivatives choose the level; a border colour fills outside the texture.
    derivatives = torch.tensor([[0.3, 0.0, 0.0, 0.4], [0.1, 0.05, 0.02, 0.2]], dtype=F64)
    border = torch.tensor([0.25, 0.75], dtype=F64)
    outside = torch.tensor([[1.08, 0.42], [0.35, -0.06]], dtype=F64, requires_grad=True)
    _gradcheck(lambda p, c: vrel.texture(p, offsets, 4, 4, 2, c, derivatives=derivatives,
                                         wrap_u=vrel.WRAP_BORDER, wrap_v=vrel.WRAP_MIRROR,
                                         border=border), pyramid, outside)

    query = torch.rand(4, 3, dtype=F64, requires_grad=True)
    reference = torch.rand(6, 3, dtype=F64, requires_grad=True)
    _gradcheck(lambda q, r: vrel.knn(q, r, 2)[0], query, reference)
    vertices, faces = _mesh()
    points = (torch.rand(5, 3, dtype=F64) * 2 - 0.5).requires_grad_()
    _gradcheck(lambda p, v: vrel.closest_point_on_mesh(p, v, faces)[0], points, vertices)

    _gradcheck(vrel.rodrigues, torch.tensor([[0.3, -0.2, 0.5]], dtype=F64, requires_grad=True))
    local = (torch.eye(4, dtype=F64) + 0.1 * torch.rand(1, 3, 4, 4, dtype=F64)).requires_grad_()
    parents = torch.tensor([-1, 0, 1], dtype=torch.int32)
    _gradcheck(lambda l: vrel.forward_kinematics(l, parents), local)
    template, deltas = torch.rand(4, 3, dtype=F64), torch.rand(2, 4, 3, dtype=F64)
    weights = torch.rand(3, 2, dtype=F64)
    _gradcheck(vrel.blend_shapes, *(t.requires_grad_() for t in (template, deltas, weights)))
    skin_vertices = torch.rand(1, 4, 3, dtype=F64, requires_grad=True)
    transforms = (torch.eye(4, dtype=F64) + 0.1 * torch.rand(1, 2, 4, 4, dtype=F64))
    skin_weights = torch.rand(4, 2, dtype=F64, requires_grad=True)
    _gradcheck(vrel.skin_lbs, skin_vertices, transforms.requires_grad_(), skin_weights)
    _gradcheck(lambda w: vrel.skin_lbs(skin_vertices.detach(), transforms.detach(), w),
               skin_weights)  # only one gradient requested
    bary = torch.tensor([[0.2, 0.3, 0.5]], dtype=F64, requires_grad=True)
    _gradcheck(lambda v, b: vrel.evaluate_barycentric(v, faces, torch.tensor([2], dtype=torch.int32),
                                                      b), vertices[None].detach().requires_grad_(),
               bary)


# ---- fake kernels and torch.compile ---------------------------------------------------------

def test_fake_kernels_agree_with_the_real_outputs():
    vertices, faces = tetrahedron()
    ndc, raster_faces = triangle_ndc()
    cases = [
        (torch.ops.vrel.face_geometry, (vertices, faces, 0.0)),
        (torch.ops.vrel.vertex_normals, (vertices, faces, 1e-12, 1)),
        (torch.ops.vrel.gather_faces, (vertices, faces)),
        (torch.ops.vrel.build_edge_topology, (faces, whole(4))),
        (torch.ops.vrel.transform_points, (vertices, camera(), whole(4))),
        (torch.ops.vrel.rasterize, (ndc, raster_faces, whole(6), whole(2), 4, 5, 2, 0.0, 1,
                                    1e-12)),
        (torch.ops.vrel.texture_pyramid, (torch.rand(5, 3, 2, dtype=F64), 0)),
        (torch.ops.vrel.rodrigues, (torch.rand(2, 4, 3, dtype=F64),)),
    ]
    for op, args in cases:
        torch.library.opcheck(op, args, test_utils=("test_schema", "test_faketensor"))


def test_torch_compile_runs_a_bound_forward_operator():
    vertices, faces = tetrahedron()

    @torch.compile(backend="eager", fullgraph=True)
    def lit(v):
        return (vrel.vertex_normals(v, faces) * 2.0).sum(dim=1)

    torch.testing.assert_close(lit(vertices), (vrel.vertex_normals(vertices, faces) * 2).sum(1))


def test_opcheck_accepts_the_autograd_registration_of_paired_operators():
    vertices, faces = _mesh()
    ndc, raster_faces = triangle_ndc()
    cases = [
        (torch.ops.vrel.vertex_normals, (vertices, faces, 1e-12, 1)),
        (torch.ops.vrel.face_geometry, (vertices, faces, 0.0)),
        (torch.ops.vrel.perspective_divide, ((torch.rand(4, 4, dtype=F64) + 0.5)
                                             .requires_grad_(), 1e-9)),
        (torch.ops.vrel.rasterize, (ndc.requires_grad_(), raster_faces, whole(6), whole(2), 4, 4,
                                    2, 0.5, 1, 1e-12)),
        (torch.ops.vrel.skin_lbs, (torch.rand(1, 3, 3, dtype=F64, requires_grad=True),
                                   torch.eye(4, dtype=F64).repeat(1, 2, 1, 1),
                                   torch.rand(3, 2, dtype=F64))),
    ]
    for op, args in cases:
        torch.library.opcheck(op, args, test_utils=("test_schema", "test_autograd_registration",
                                                    "test_faketensor"))
    assert set(vrel.AUTOGRAD_OPERATORS) >= {"vertex_normals", "rasterize", "skin_lbs"}


# ---- the backward operators under torch.compile ----------------------------------------------

class BackwardRecorder(TorchDispatchMode):
    """Records the arguments of every vrel backward operator that autograd runs."""

    def __init__(self):
        super().__init__()
        self.calls = {}

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        if func.namespace == "vrel" and func._schema.name.endswith("_backward"):
            self.calls.setdefault(func, args)
        return func(*args, **(kwargs or {}))


def _every_pair_loss():
    """Inputs and a scalar loss that runs every forward operator paired for autograd."""
    vertices, faces = _mesh()
    ndc, raster_faces = triangle_ndc()
    texture = torch.rand(4, 4, 2, dtype=F64)
    uv = torch.tensor([[0.31, 0.62], [0.77, 0.18]], dtype=F64)
    axis = torch.tensor([[0.3, -0.2, 0.5]], dtype=F64)
    local = torch.eye(4, dtype=F64) + 0.1 * torch.rand(1, 3, 4, 4, dtype=F64)
    weights = torch.rand(3, 2, dtype=F64)
    sigma = torch.tensor([0.8, 2.5], dtype=F64)
    roughness = torch.tensor([0.35, 0.7], dtype=F64)
    inputs = [t.detach().requires_grad_() for t in
              (vertices, ndc, texture, uv, axis, local, weights, sigma, roughness)]
    key, counter = torch.tensor([1, 2], dtype=torch.uint32), torch.zeros(2, dtype=torch.uint32)
    parents = torch.tensor([-1, 0, 1], dtype=torch.int32)
    landmark_faces = torch.tensor([2], dtype=torch.int32)
    landmark = torch.tensor([[0.2, 0.3, 0.5]], dtype=F64)
    transforms = torch.eye(4, dtype=F64).repeat(1, 3, 1, 1)
    cn = torch.tensor([0.25, 0.6, 1.0], dtype=F64)
    logs = cn.log()
    controls = -0.2 - 0.3 * torch.rand(2, 7, 4, dtype=F64)
    controls[:, 1:6:2] -= 0.7  # channel 1 below channel 0
    curve_weights = torch.full((2, 4), 0.1, dtype=F64)
    cosine, owners = torch.tensor([0.4, 0.9], dtype=F64), torch.tensor([0, 1], dtype=torch.int32)
    mean = torch.tensor([[0.6, 0.3, 0.02, 0.01]] * 2, dtype=F64)
    width = torch.full((2,), 0.8, dtype=F64)
    normal = torch.tensor([[0.1, 0.0, 1.0], [0.0, 0.2, 1.0]], dtype=F64)
    light = torch.tensor([[[0.3, 0.1, 1.0]], [[-0.2, 0.4, 0.8]]], dtype=F64)
    colour = torch.tensor([[0.5, 0.4, 0.3], [0.2, 0.6, 0.9]], dtype=F64)

    def shading(r):
        u = (r - 0.2) / 0.8
        curve, partial = vrel.loss_curve(logs, controls, u)
        query, means = vrel.loss_query(cn, logs, curve_weights, curve, partial, cosine, owners,
                                       u=u)
        total = query[:, :2].sum() + means[:, :2].sum()
        rows = (curve, partial, mean, width)
        for principled in (vrel.principled_pairs, vrel.principled_groups,
                           vrel.principled_shared_groups):
            if principled is vrel.principled_shared_groups:
                rows = tuple(x[:1] for x in rows)
            total = total + principled(cn, logs, *rows, normal, normal.flip(1), light, colour, r,
                                       colour * 0.2, derivatives=True)[0].sum()
        return total

    def loss(v, n, t, c, a, l, w, s, r):
        normals, areas, _ = vrel.face_geometry(v, faces)
        total = normals.sum() + areas.sum() + vrel.vertex_normals(v, faces).sum()
        total = total + vrel.gather_faces(v, faces).sum()
        total = total + vrel.sample_surface(v, faces, 4, key, counter)[0].sum()
        homogeneous = vrel.transform_points(v, l[0, :2], torch.tensor([0, 2, 4],
                                                                      dtype=torch.int32))
        total = total + vrel.perspective_divide(homogeneous + 3.0, 1e-9)[0].sum()
        total = total + vrel.knn(v, v * 0.5, 2)[0].sum()
        total = total + vrel.closest_point_on_mesh(v * 0.9 + 0.2, v, faces)[0].sum()
        face_index, bary, depth, _ = vrel.rasterize(n, raster_faces, image_height=5,
                                                    image_width=5, faces_per_pixel=2)
        total = total + torch.where(face_index >= 0, depth, 0.0).sum()
        total = total + vrel.interpolate(face_index, bary, n[:2].reshape(2, 3, 1)).sum()
        pyramid, offsets = vrel.texture_pyramid(t)
        total = total + vrel.texture(pyramid, offsets, 4, 4, 2, c).sum()
        total = total + vrel.rodrigues(a).sum() + vrel.forward_kinematics(l, parents).sum()
        total = total + vrel.blend_shapes(v, v[None] * 0.1, w[:, :1].contiguous()).sum()
        total = total + vrel.skin_lbs(v[None], transforms, torch.softmax(v, 1)).sum()
        total = total + (vrel.gaussian_weights(s, 3) * torch.arange(7, dtype=F64)**2).sum()
        total = total + vrel.srgb_transfer(c, vrel.SRGB_TO_LINEAR).sum()
        total = total + shading(r)
        total = total + vrel.evaluate_barycentric(v[None], faces, landmark_faces, landmark).sum()
        # The opaque operators themselves (their wrappers refine pixels data-dependently).
        pixels = v * torch.tensor([2.0, 2.0, 1.0], dtype=F64)
        total = total + torch.ops.vrel.opaque_coverage(pixels, faces, 3, 3, 0.0, 0.0, 1 << 20).sum()
        colour = v[faces.long()]
        total = total + torch.ops.vrel.opaque_integrate(pixels, faces, colour, 3, 3, 0.0, 0.0,
                                                        1 << 21).sum()
        cuts = v.new_zeros(faces.shape[0], 3, 0)
        for quadrature in (torch.ops.vrel.opaque_quadrature,
                           torch.ops.vrel.opaque_material_quadrature):
            total = total + quadrature(pixels, faces, cuts, 2, 2, 0.0, 0.0, 1 << 26)[1].sum()
        return total

    return loss, inputs


def test_fake_kernels_of_the_backward_operators_agree_with_the_real_outputs(table):
    loss, inputs = _every_pair_loss()
    with BackwardRecorder() as recorder:
        loss(*inputs).backward()
    called = {op._schema.name.split("::")[1] for op in recorder.calls}
    paired = {vrel._registry.AUTOGRAD_PAIRS[name][0] for name in vrel.AUTOGRAD_OPERATORS}
    assert called == paired and len(paired) == 27
    for op, args in recorder.calls.items():
        torch.library.opcheck(op, args, test_utils=("test_schema", "test_faketensor"))


def test_torch_compile_traces_forward_and_backward_through_the_pairing():
    loss, inputs = _every_pair_loss()
    compiled = torch.compile(loss, backend="aot_eager", fullgraph=True)
    expected = torch.autograd.grad(loss(*inputs), inputs)
    actual = torch.autograd.grad(compiled(*inputs), inputs)
    for a, e in zip(actual, expected):
        torch.testing.assert_close(a, e)


def test_out_operators_trace_under_torch_compile():
    vertices, faces = tetrahedron()

    def doubled(v):
        normals = torch.empty_like(v)
        torch.ops.vrel.vertex_normals_out(v, faces, 1e-12, 1, normals,
                                          torch.empty(96, dtype=torch.uint8))
        return normals * 2.0

    compiled = torch.compile(doubled, backend="aot_eager", fullgraph=True)
    assert torch.equal(compiled(vertices), 2.0 * vrel.vertex_normals(vertices, faces))
