"""Tensor marshalling and error translation, seen from PyTorch."""
from __future__ import annotations

import pytest
import torch
from torch.profiler import profile

import vrel
from conftest import tetrahedron, whole


def new_empty_calls(function):
    """(size, dtype code) of every aten::new_empty the adapter issues while running function."""
    with profile(record_shapes=True) as prof:
        function()
    return [tuple(e.concrete_inputs[1:3]) for e in prof.events() if e.name == "aten::new_empty"]


def test_status_errors_carry_the_code_and_the_core_message():
    vertices, faces = tetrahedron()
    with pytest.raises(RuntimeError) as error:
        vrel.gather_faces(vertices, faces[:, :2].contiguous())
    assert str(error.value) == "vrel-status:1: faces must be a [F,3] tensor view"
    with pytest.raises(RuntimeError) as error:
        vrel.vertex_normals(vertices, faces, 1e-12, 7)
    assert str(error.value) == ("vrel-status:1: weighting must be VREL_MESH_WEIGHTING_AREA or "
                                "VREL_MESH_WEIGHTING_UNIFORM")
    with pytest.raises(RuntimeError) as error:  # a status 2 from a dtype rule
        vrel.gather_faces(vertices, faces.to(torch.uint32))
    assert str(error.value) == "vrel-status:2: faces must use the int32 dtype"


def test_internal_errors_use_their_own_prefix():
    vertices, faces = tetrahedron()
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel.face_geometry_backward(vertices, faces, 0.0, vertices, vertices, False,
                                              False)
    assert str(error.value) == "vrel-internal: the backward pass requires at least one cotangent"
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel._animation_workspace_size(vertices, 6, 1, 1, 1)
    assert str(error.value) == "vrel-internal: unknown animation workspace operation"


def test_int64_indices_are_refused_and_int32_accepted():
    vertices, faces = tetrahedron()
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel.gather_faces(vertices, faces.long())  # vrel.* would convert
    assert str(error.value) == "vrel-status:2: faces must use the int32 dtype (received int64)"
    assert vrel.gather_faces(vertices, faces.long().int()).shape == (4, 3, 3)
    for dtype in (torch.float16, torch.bfloat16, torch.uint8):
        name = str(dtype).removeprefix("torch.")
        with pytest.raises(RuntimeError) as error:
            vrel.gather_faces(vertices.to(dtype), faces)
        assert str(error.value) == (f"vrel-status:2: vertices must use the float32 or float64 dtype "
                                    f"(received {name})")


def test_rank_64_reaches_the_core_and_rank_65_is_refused_by_the_arena():
    _, faces = tetrahedron()
    with pytest.raises(RuntimeError) as error:
        vrel.gather_faces(torch.zeros([1] * 64, dtype=torch.float64), faces)
    assert str(error.value) == "vrel-status:1: vertices must be a [V,3] tensor view"
    with pytest.raises(RuntimeError) as error:
        vrel.gather_faces(torch.zeros([1] * 65, dtype=torch.float64), faces)
    assert str(error.value) == "vrel-internal: a tensor rank exceeded what the arena holds"


def test_rank_zero_tensors_become_rank_zero_views():
    # A rank-0 eps-like tensor in a vertex slot: the core sees rank 0 and names the shape.
    _, faces = tetrahedron()
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: vertices must be a \[V,3\]"):
        vrel.gather_faces(torch.tensor(1.0, dtype=torch.float64), faces)


def test_strides_pass_through_unchanged_so_the_core_judges_density():
    vertices, faces = tetrahedron()
    wide = torch.zeros(4, 6, dtype=torch.float64)
    wide[:, ::2] = vertices
    with pytest.raises(RuntimeError, match="ABI v1 accepts only dense C-contiguous tensor views"):
        torch.ops.vrel.gather_faces(wide[:, ::2], faces)
    assert torch.equal(vrel.gather_faces(wide[:, ::2].contiguous(), faces),
                       vrel.gather_faces(vertices, faces))


def test_a_zero_byte_workspace_is_a_zero_element_uint8_tensor():
    vertices, faces = tetrahedron()
    calls = new_empty_calls(lambda: vrel.gather_faces(vertices, faces))
    uint8 = 0  # the ScalarType code of torch.uint8
    assert calls[0] == ([0], uint8)
    assert calls[1] == ([4, 3, 3], None)  # the output takes the reference dtype


def test_a_positive_workspace_has_the_queried_byte_count():
    vertices, faces = tetrahedron()
    grad = torch.ones(4, 3, dtype=torch.float64)
    calls = new_empty_calls(
        lambda: torch.ops.vrel.vertex_normals_backward(vertices, faces, 1e-12, 1, grad))
    assert calls[0] == ([4 * 3 * 8], 0)


def test_out_operators_take_the_caller_workspace():
    vertices, faces = tetrahedron()
    expected = vrel.vertex_normals(vertices, faces)
    normals = torch.empty(4, 3, dtype=torch.float64)
    bytes_needed = vrel.workspace_sizes(vertex_count=4, face_count=4, double_precision=True)[0]
    torch.ops.vrel.vertex_normals_out(vertices, faces, 1e-12, 1, normals,
                                      torch.empty(bytes_needed, dtype=torch.uint8))
    assert torch.equal(normals, expected)
    gathered = torch.empty(4, 3, 3, dtype=torch.float64)
    torch.ops.vrel.gather_faces_out(vertices, faces, gathered, torch.empty(0, dtype=torch.uint8))
    assert torch.equal(gathered, vrel.gather_faces(vertices, faces))


def test_need_flags_return_size_zero_tensors():
    vertices = torch.rand(2, 4, 3, dtype=torch.float64)
    transforms = torch.eye(4, dtype=torch.float64).repeat(2, 2, 1, 1)
    weights = torch.full((4, 2), 0.5, dtype=torch.float64)
    grad = torch.ones(2, 4, 3, dtype=torch.float64)
    gv, gt, gw = torch.ops.vrel.skin_lbs_backward(vertices, transforms, weights, grad, True, True,
                                                  False)
    assert gv.shape == vertices.shape and gt.shape == transforms.shape
    assert gw.shape == (0,) and gw.dtype == torch.float64
    template, deltas, w = torch.rand(4, 3), torch.rand(2, 4, 3), torch.rand(3, 2)
    out = torch.ops.vrel.blend_shapes_backward(template, deltas, w, torch.ones(3, 4, 3), False,
                                               False, True)
    assert [tuple(t.shape) for t in out] == [(0,), (0,), (3, 2)]
    faces = torch.tensor([[0, 1, 2]], dtype=torch.int32)
    face_index = torch.zeros(2, dtype=torch.int32)
    bary = torch.full((2, 3), 1.0 / 3.0, dtype=torch.float64)
    gv, gb = torch.ops.vrel.evaluate_barycentric_backward(vertices, faces, face_index, bary,
                                                          torch.ones(2, 2, 3, dtype=torch.float64),
                                                          False, True)
    assert gv.shape == (0,) and gv.dtype == torch.float64 and gb.shape == (2, 3)
    torch.testing.assert_close(gb, vertices[:, :3].sum((0, 2)).expand(2, 3))


def test_ply_data_must_be_dense_bytes():
    # An expanded tensor has more elements than bytes of storage; reading them would overrun it.
    expanded = torch.zeros(1, dtype=torch.uint8).expand(100)
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel.ply_probe(expanded)
    assert str(error.value) == "vrel-internal: ply data must be a contiguous tensor"


def test_enumerations_outside_uint32_are_refused_not_truncated():
    vertices, faces = tetrahedron()
    area = vrel.vertex_normals(vertices, faces, 1e-12, vrel.WEIGHTING_AREA)
    with pytest.raises(RuntimeError, match="weighting must be"):
        vrel.vertex_normals(vertices, faces, 1e-12, (1 << 32) + vrel.WEIGHTING_AREA)
    with pytest.raises(RuntimeError, match="weighting must be"):
        vrel.vertex_normals(vertices, faces, 1e-12, -1)
    assert area.shape == (4, 3)


def test_scope_using_kernels_are_inert_on_cpu_tensors():
    axis = torch.zeros(2, 3, dtype=torch.float64)
    assert torch.equal(vrel.rodrigues(axis), torch.eye(3, dtype=torch.float64).expand(2, 3, 3))
    assert torch.ops.vrel._animation_workspace_size(axis, 2, 1, 2, 1) == 0


def test_raster_window_bounds_raise_with_the_status_prefix_and_the_broken_rule():
    ndc = torch.zeros(3, 3)
    faces = torch.tensor([[0, 1, 2]], dtype=torch.int32)
    with pytest.raises(RuntimeError) as error:
        vrel.rasterize_window(ndc, faces, whole(3), whole(1), 8, 8, 4, 4, 5, 4)
    assert str(error.value) == ("vrel-status:1: invalid raster window bounds (row_offset = 4 + "
                                "image_height = 5 must not exceed global_height = 8)")
    with pytest.raises(RuntimeError) as error:
        vrel.rasterize(ndc, faces, whole(3), whole(1), 0, 4)
    assert str(error.value) == "vrel-status:1: invalid raster window bounds (image_height = 0 must be at least 1)"
