"""Malformed tensors through the PyTorch operators, and the messages that name what is wrong.

The property test corrupts one argument of a valid call (dtype, layout, zero or huge extents
behind zero strides, NaN, out-of-range indices) and requires a vrel error or the result that the
same call gives on dense copies of its arguments; a crash fails the whole run. It calls either
the operator itself (torch.ops.vrel, which sees the tensors as they are) or the vrel wrapper
(which first converts integer indices to int32 and makes strided tensors contiguous).
"""
from __future__ import annotations

import os

import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrel
from conftest import tetrahedron, whole


def _calls():
    """name -> (vrel wrapper, the same call straight to the operator, arguments)."""
    vertices, faces = tetrahedron()
    face_index = torch.tensor([[[[0], [2]], [[-1], [1]]]], dtype=torch.int32)
    barycentric = torch.full((1, 2, 2, 1, 3), 1 / 3, dtype=torch.float64)
    offsets = whole(4)
    op = torch.ops.vrel
    return {
        "gather_faces": (vrel.gather_faces, op.gather_faces, [vertices, faces]),
        "face_geometry": (vrel.face_geometry, lambda v, f: op.face_geometry(v, f, 0.0),
                          [vertices, faces]),
        "vertex_normals": (vrel.vertex_normals,
                           lambda v, f: op.vertex_normals(v, f, 1e-12, vrel.WEIGHTING_AREA),
                           [vertices, faces]),
        "transform_points": (vrel.transform_points, op.transform_points,
                             [vertices, torch.eye(4)[None].double(), offsets]),
        "perspective_divide": (vrel.perspective_divide, lambda h: op.perspective_divide(h, 1e-12),
                               [torch.ones(4, 4, dtype=torch.float64)]),
        "interpolate": (vrel.interpolate, op.interpolate,
                        [face_index, barycentric, vrel.gather_faces(vertices, faces)]),
        "knn": (lambda q, r: vrel.knn(q, r, 2), lambda q, r: op.knn(q, r, whole(4), whole(4), 2),
                [vertices, vertices + 0.5]),
        "closest_point_on_mesh": (vrel.closest_point_on_mesh,
                                  lambda p, v, f: op.closest_point_on_mesh(
                                      p, v, f, whole(4), whole(4), whole(4), 0.0),
                                  [vertices + 0.1, vertices, faces]),
        "rodrigues": (vrel.rodrigues, op.rodrigues, [vertices[:, :3]]),
        "blend_shapes": (vrel.blend_shapes, op.blend_shapes,
                         [vertices, vertices[None].expand(2, 4, 3) * 0.5,
                          torch.ones(3, 2, dtype=torch.float64)]),
        "skin_lbs": (vrel.skin_lbs, op.skin_lbs,
                     [vertices[None], torch.eye(4, dtype=torch.float64)[None, None],
                      torch.ones(4, 1, dtype=torch.float64)]),
        "texture_pyramid": (vrel.texture_pyramid, lambda t: op.texture_pyramid(t, 0),
                            [torch.rand(4, 4, 2, dtype=torch.float64)]),
    }


def _corrupt(tensor: torch.Tensor, how: str, draw) -> torch.Tensor:
    if how == "dtype":
        return tensor.to(draw(st.sampled_from(
            [torch.int64, torch.float16, torch.bfloat16, torch.uint8, torch.int32, torch.float32,
             torch.float64, torch.bool])))
    if how == "transposed" and tensor.dim() >= 2:
        return tensor.transpose(0, 1)
    if how == "strided" and tensor.dim() >= 1:
        return torch.repeat_interleave(tensor, 2, dim=0)[::2]
    if how == "zero_size":
        return tensor[:0]
    if how == "huge_expanded" and tensor.dim() >= 1:
        return tensor[:1].expand((2 ** 40,) + tuple(tensor.shape[1:]))
    if how == "unit_stride_zero":  # size-1 dimensions with stride 0: contiguous to PyTorch
        strides = [0 if n == 1 else s for n, s in zip(tensor.shape, tensor.contiguous().stride())]
        return tensor.contiguous().as_strided(tensor.shape, strides)
    if how == "nan" and tensor.is_floating_point() and tensor.numel():
        out = tensor.clone()
        out.view(-1)[draw(st.integers(0, tensor.numel() - 1))] = float("nan")
        return out
    if how == "index" and not tensor.is_floating_point() and tensor.numel():
        out = tensor.clone()
        out.view(-1)[draw(st.integers(0, tensor.numel() - 1))] = draw(
            st.sampled_from([-2, 4, 2 ** 31 - 1, -2 ** 31]))
        return out
    return tensor


def _same(a, b) -> bool:
    if isinstance(a, torch.Tensor):
        return a.shape == b.shape and a.dtype == b.dtype and torch.equal(
            torch.nan_to_num(a.detach(), nan=7.25), torch.nan_to_num(b.detach(), nan=7.25))
    return all(_same(x, y) for x, y in zip(a, b))


@settings(max_examples=150, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_malformed_tensors_give_a_vrel_error_or_the_dense_result(data):
    name = data.draw(st.sampled_from(sorted(_calls())))
    wrapper, operator, args = _calls()[name]
    through_operator = data.draw(st.booleans())
    function = operator if through_operator else wrapper
    slot = data.draw(st.integers(0, len(args) - 1))
    corruptions = ["dtype", "transposed", "strided", "zero_size", "unit_stride_zero", "nan",
                   "index"]
    # The wrapper would materialise a huge expanded tensor before the call: the operator's own
    # refusal of it is what is tested.
    how = data.draw(st.sampled_from(corruptions + ["huge_expanded"] * through_operator))
    args = list(args)
    args[slot] = _corrupt(args[slot], how, data.draw)
    try:
        result = function(*args)
    except RuntimeError as error:
        assert str(error).startswith(("vrel-status:", "vrel-internal: ")), (name, how, str(error))
        return
    dense = function(*[a.contiguous() for a in args])
    assert _same(result, dense), (name, how)


def test_layout_refusals_name_the_argument_and_the_remedy():
    vertices, faces = tetrahedron()
    expanded, transposed = faces[:1].expand(4, 3), vertices.T.contiguous().T
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel.gather_faces(vertices, expanded)
    assert str(error.value) == ("vrel-status:1: tensor element strides must be positive (faces has "
                                "stride 0 in dimension 0, as an expanded tensor does; pass "
                                "faces.contiguous())")
    with pytest.raises(RuntimeError) as error:
        torch.ops.vrel.gather_faces(transposed, faces)
    assert str(error.value) == ("vrel-status:2: ABI v1 accepts only dense C-contiguous tensor views "
                                "(vertices is not contiguous; pass vertices.contiguous())")
    # The vrel wrapper makes both contiguous and gives the dense result.
    torch.testing.assert_close(vrel.gather_faces(vertices, expanded),
                               vrel.gather_faces(vertices, expanded.contiguous()))
    torch.testing.assert_close(vrel.gather_faces(transposed, faces.long()),
                               vrel.gather_faces(vertices, faces))
    # A size-1 dimension with stride 0 is contiguous to PyTorch: the operator accepts it.
    one = torch.tensor([1.0, 2.0, 3.0], dtype=torch.float64).as_strided((1, 3), (0, 1))
    assert one.stride() == (0, 1) and one.is_contiguous()
    single = torch.zeros(1, 3, dtype=torch.int32)
    torch.testing.assert_close(torch.ops.vrel.gather_faces(one, single), one.expand(3, 3)[None])


def test_output_allocation_failure_names_the_shape_without_a_build_path():
    vertices, faces = tetrahedron()
    key = torch.tensor([1, 2], dtype=torch.uint32)
    with pytest.raises(RuntimeError) as error:
        vrel.sample_surface(vertices, faces, 2 ** 60, key, key)
    message = str(error.value)
    assert message.startswith("vrel-internal: cannot allocate a [1, 1152921504606846976, 3] tensor")
    assert ".cpp" not in message and "line" not in message


def test_a_workspace_of_another_dtype_counts_its_bytes():
    vertices, faces = tetrahedron()
    normals = torch.empty(4, 3, dtype=torch.float64)
    bytes_needed = vrel.workspace_sizes(vertex_count=4, face_count=4)[0]
    assert bytes_needed > 4  # a float32 tensor of bytes / 4 elements holds them, not bytes of them
    wide = torch.empty((bytes_needed + 3) // 4, dtype=torch.float32)
    torch.ops.vrel.vertex_normals_out(vertices, faces, 1e-12, vrel.WEIGHTING_AREA, normals, wide)
    torch.testing.assert_close(normals, vrel.vertex_normals(vertices, faces))


def test_offsets_of_different_lengths_are_both_named():
    points = torch.rand(4, 3, dtype=torch.float64)
    with pytest.raises(RuntimeError) as error:
        vrel.knn(points, points, 1, torch.tensor([0, 2, 4, 4], dtype=torch.int32),
                 torch.tensor([0, 2, 4], dtype=torch.int32))
    message = str(error.value)
    assert message.startswith("vrel-status:1: ")
    assert "query_offsets has 4 entries, reference_offsets has 3 entries; each must hold B + 1" in message


def test_texture_adapter_checks_before_it_allocates():
    texture = torch.rand(4, 4, 1, dtype=torch.float64)
    with pytest.raises(RuntimeError, match="^vrel-status:1: "):
        vrel.texture_pyramid(texture, 2 ** 63 - 1)
    pyramid, offsets = vrel.texture_pyramid(texture)
    coordinates = torch.rand(3, 2, dtype=torch.float64)
    # An expanded pyramid of 2^40 elements behind 8 bytes: refused before a gradient of its size.
    huge = pyramid[:1].expand(2 ** 40)
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: tensor element strides must be positive \(pyramid"):
        torch.ops.vrel.texture_backward(huge, offsets, 4, 4, coordinates, huge[:0], huge[:0], False,
                                        False, 2, 2, 1, 1, huge[:0], False,
                                        torch.ones(3, 1, dtype=torch.float64))


def test_animation_shape_messages_name_the_tensor():
    template = torch.rand(4, 3, dtype=torch.float64)
    with pytest.raises(RuntimeError) as error:
        vrel.blend_shapes(template, torch.rand(2, 5, 3, dtype=torch.float64),
                          torch.rand(3, 2, dtype=torch.float64))
    assert str(error.value) == ("vrel-status:1: animation tensor has wrong shape (deltas must be "
                                "[K, V, 3] with V = 4 from template_vertices; received [2, 5, 3])")
    with pytest.raises(RuntimeError) as error:
        vrel.skin_lbs(torch.rand(1, 4, 3, dtype=torch.float64),
                      torch.rand(1, 2, 4, 4, dtype=torch.float64), torch.rand(4, 2, 1, dtype=torch.float64))
    assert str(error.value) == ("vrel-status:1: animation tensor has wrong rank (weights must be "
                                "[V, J] with V = 4 from vertices, J = 2 from transforms; received [4, 2, 1])")


def test_ply_paths_are_read_by_the_core_as_regular_files_only(tmp_path):
    for path in ("/dev/zero", tmp_path / "fifo"):
        if path != "/dev/zero":
            os.mkfifo(path)
        with pytest.raises(RuntimeError) as error:  # neither grows without end nor blocks
            vrel.ply_probe(path)
        assert str(error.value) == "vrel-status:5: the path does not name a readable file"
    mesh = tmp_path / "mesh.ply"
    mesh.write_bytes(b"ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                     b"property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                     b"end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n")
    vertices, faces = vrel.ply_read(mesh)
    assert vrel.ply_probe(str(mesh)) == (0, 3, 1)
    assert faces.tolist() == [[0, 1, 2]] and vertices[1].tolist() == [1.0, 0.0, 0.0]
    claim = mesh.read_bytes().replace(b"element vertex 3", b"element vertex 1099511627776")
    with pytest.raises(RuntimeError, match="^vrel-status:1: the PLY body ends before its last element$"):
        vrel.ply_probe(claim)
