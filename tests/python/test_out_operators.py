"""The _out operators against their functional forms, and the workspace queries against the core."""
from __future__ import annotations

import ctypes

import pytest
import torch

import vrel
from conftest import PENDING_FAMILIES, jittered, tetrahedron, whole

F64 = torch.float64
ops = torch.ops.vrel


def uint8(count: int) -> torch.Tensor:
    return torch.empty(count, dtype=torch.uint8)


def empty_like_all(tensors):
    return [torch.empty_like(t) for t in tensors]


def animation_workspace(reference, operation, b, v, k):
    return uint8(ops._animation_workspace_size(reference, operation, b, v, k))


def sizes(**counts):
    return vrel.workspace_sizes(double_precision=True, **counts)


# Each case runs an _out operator into fresh tensors and returns (written, expected).
OUT_CASES = {}


def out_case(function):
    OUT_CASES[function.__name__] = function
    return function


@out_case
def face_geometry_out():
    vertices, faces = tetrahedron()
    expected = vrel.face_geometry(vertices, faces, 1e-9)
    written = empty_like_all(expected)
    ops.face_geometry_out(vertices, faces, 1e-9, *written, uint8(0))
    return written, expected


@out_case
def vertex_normals_out():
    vertices, faces = tetrahedron()
    expected = [vrel.vertex_normals(vertices, faces, 1e-12, vrel.WEIGHTING_UNIFORM)]
    written = empty_like_all(expected)
    ops.vertex_normals_out(vertices, faces, 1e-12, vrel.WEIGHTING_UNIFORM, *written,
                           uint8(sizes(vertex_count=4, face_count=4)[0]))
    return written, expected


@out_case
def gather_faces_out():
    vertices, faces = tetrahedron()
    expected = [vrel.gather_faces(vertices, faces)]
    written = empty_like_all(expected)
    ops.gather_faces_out(vertices, faces, *written, uint8(0))
    return written, expected


@out_case
def transform_points_out():
    points = torch.rand(5, 3, dtype=F64)
    matrices = torch.rand(2, 4, 4, dtype=F64)
    offsets = torch.tensor([0, 3, 5], dtype=torch.int32)
    expected = [vrel.transform_points(points, matrices, offsets)]
    written = empty_like_all(expected)
    ops.transform_points_out(points, matrices, offsets, *written,
                             uint8(sizes(point_count=5, batch_count=2)[1]))
    return written, expected


@out_case
def perspective_divide_out():
    homogeneous = torch.rand(6, 4, dtype=F64) + 0.5
    homogeneous[2, 3] = 0.0
    expected = vrel.perspective_divide(homogeneous, 1e-9)
    written = empty_like_all(expected)
    ops.perspective_divide_out(homogeneous, 1e-9, *written, uint8(sizes(point_count=6)[2]))
    return written, expected


@out_case
def knn_out():
    query, reference = torch.rand(5, 3, dtype=F64), torch.rand(7, 3, dtype=F64)
    expected = vrel.knn(query, reference, 3)
    written = empty_like_all(expected)
    ops.knn_out(query, reference, whole(5), whole(7), 3, *written, uint8(0))
    return written, expected


@out_case
def closest_point_on_mesh_out():
    vertices, faces = tetrahedron()
    points = torch.rand(6, 3, dtype=F64) * 2 - 0.5
    expected = vrel.closest_point_on_mesh(points, vertices, faces)
    written = empty_like_all(expected)
    ops.closest_point_on_mesh_out(points, vertices, faces, whole(6), whole(4), whole(4), 0.0,
                                  *written,
                                  uint8(sizes(point_count=6, vertex_count=4, face_count=4)[3]))
    return written, expected


@out_case
def sample_surface_out():
    vertices, faces = tetrahedron()
    key, counter = torch.tensor([3, 4], dtype=torch.uint32), torch.zeros(2, dtype=torch.uint32)
    expected = vrel.sample_surface(vertices, faces, 16, key, counter)
    written = empty_like_all(expected)
    ops.sample_surface_out(vertices, faces, whole(4), whole(4), 16, key, counter, 0.0, *written,
                           uint8(sizes(vertex_count=4, face_count=4, sample_count=16)[4]))
    return written, expected


def _raster_inputs():
    ndc = torch.tensor([[-0.7, -0.6, 0.3], [0.8, -0.5, 0.5], [0.1, 0.75, 0.4]], dtype=F64)
    return ndc, torch.tensor([[0, 1, 2]], dtype=torch.int32)


@out_case
def rasterize_out():
    ndc, faces = _raster_inputs()
    expected = vrel.rasterize(ndc, faces, image_height=6, image_width=7, faces_per_pixel=2)
    written = empty_like_all(expected)
    ops.rasterize_out(ndc, faces, whole(3), whole(1), 6, 7, 2, 0.0, vrel.CULL_NONE, 1e-12,
                      *written, uint8(sizes(vertex_count=3, face_count=1, image_height=6,
                                            image_width=7, faces_per_pixel=2)[5]))
    return written, expected


@out_case
def interpolate_out():
    ndc, faces = _raster_inputs()
    face_index, bary, _, _ = vrel.rasterize(ndc, faces, image_height=5, image_width=5)
    corner = torch.rand(1, 3, 2, dtype=F64)
    expected = [vrel.interpolate(face_index, bary, corner)]
    written = empty_like_all(expected)
    ops.interpolate_out(face_index, bary, corner, *written, uint8(0))
    return written, expected


@out_case
def rodrigues_out():
    axis = torch.rand(2, 3, 3, dtype=F64)
    expected = [vrel.rodrigues(axis)]
    written = empty_like_all(expected)
    ops.rodrigues_out(axis, *written, animation_workspace(axis, 2, 0, 6, 0))
    return written, expected


@out_case
def forward_kinematics_out():
    local = torch.eye(4, dtype=F64) + 0.1 * torch.rand(2, 3, 4, 4, dtype=F64)
    parents = torch.tensor([-1, 0, 0], dtype=torch.int32)
    expected = [vrel.forward_kinematics(local, parents)]
    written = empty_like_all(expected)
    ops.forward_kinematics_out(local, parents, *written, animation_workspace(local, 3, 2, 3, 0))
    return written, expected


@out_case
def blend_shapes_out():
    template, deltas, weights = (torch.rand(4, 3, dtype=F64), torch.rand(2, 4, 3, dtype=F64),
                                 torch.rand(3, 2, dtype=F64))
    expected = [vrel.blend_shapes(template, deltas, weights)]
    written = empty_like_all(expected)
    ops.blend_shapes_out(template, deltas, weights, *written,
                         animation_workspace(template, 1, 3, 4, 2))
    return written, expected


@out_case
def skin_lbs_out():
    vertices = torch.rand(2, 4, 3, dtype=F64)
    transforms = torch.eye(4, dtype=F64) + 0.1 * torch.rand(2, 3, 4, 4, dtype=F64)
    weights = torch.softmax(torch.rand(4, 3, dtype=F64), 1)
    expected = [vrel.skin_lbs(vertices, transforms, weights)]
    written = empty_like_all(expected)
    ops.skin_lbs_out(vertices, transforms, weights, *written,
                     animation_workspace(vertices, 4, 2, 4, 3))
    return written, expected


@out_case
def evaluate_barycentric_out():
    vertices, faces = tetrahedron()
    vertices = torch.stack([vertices, jittered(vertices)])
    face_index = torch.tensor([3, 0], dtype=torch.int32)
    bary = torch.tensor([[0.2, 0.3, 0.5], [0.6, 0.4, 0.0]], dtype=F64)
    expected = [vrel.evaluate_barycentric(vertices, faces, face_index, bary)]
    written = empty_like_all(expected)
    ops.evaluate_barycentric_out(vertices, faces, face_index, bary, *written,
                                 animation_workspace(vertices, 5, 2, 4, 2))
    return written, expected


def test_every_bound_out_operator_has_a_case(table):
    bound = {name for name, _keys, family, _exports, _schema in table
             if name.endswith("_out") and family not in PENDING_FAMILIES}
    assert set(OUT_CASES) == bound


@pytest.mark.parametrize("name", sorted(OUT_CASES))
def test_out_operators_write_what_the_functional_form_returns(name):
    written, expected = OUT_CASES[name]()
    assert len(written) == len(expected)
    for w, e in zip(written, expected):
        assert w.dtype == e.dtype and torch.equal(w, e), name


def test_a_workspace_shorter_than_the_query_is_refused_by_the_core():
    vertices, faces = tetrahedron()
    key, counter = torch.tensor([3, 4], dtype=torch.uint32), torch.zeros(2, dtype=torch.uint32)
    needed = sizes(vertex_count=4, face_count=4, sample_count=8)[4]
    assert needed > 0
    written = empty_like_all(vrel.sample_surface(vertices, faces, 8, key, counter))
    with pytest.raises(RuntimeError, match=r"^vrel-status:3: "):
        ops.sample_surface_out(vertices, faces, whole(4), whole(4), 8, key, counter, 0.0,
                               *written, uint8(needed - 1))
    local = torch.eye(4, dtype=F64).repeat(1, 3, 1, 1)
    parents = torch.tensor([-1, 0, 0], dtype=torch.int32)
    short = uint8(ops._animation_workspace_size(local, 3, 1, 3, 0) - 1)
    with pytest.raises(RuntimeError, match=r"^vrel-status:3: "):
        ops.forward_kinematics_out(local, parents, torch.empty_like(local), short)


# ---- workspace queries against the core's own answers ----------------------------------------

class Context(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("device_type", ctypes.c_uint32), ("device_index", ctypes.c_int32),
                ("stream", ctypes.c_uint64), ("flags", ctypes.c_uint32),
                ("reserved_word", ctypes.c_uint32), ("reserved", ctypes.c_uint64 * 4)]


class Diagnostic(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("message", ctypes.c_char_p), ("message_capacity", ctypes.c_uint64),
                ("message_required", ctypes.c_uint64), ("reserved", ctypes.c_uint64 * 4)]


def core_bytes(core, export, counts, dtype_code):
    """The byte count the core's workspace query reports for a CPU context."""
    function = getattr(core, export)
    function.restype = ctypes.c_int32
    context = Context(64, 0x10000, 1, 0, 0, 0, 0)
    buffer = ctypes.create_string_buffer(512)
    diagnostic = Diagnostic(64, 0x10000, ctypes.cast(buffer, ctypes.c_char_p), 512, 0)
    size, alignment = ctypes.c_uint64(), ctypes.c_uint64()
    status = function(*[ctypes.c_int64(c) for c in counts], ctypes.c_uint32(dtype_code),
                      ctypes.byref(context), ctypes.byref(size), ctypes.byref(alignment),
                      ctypes.byref(diagnostic))
    assert status == 0, buffer.value
    return size.value


@pytest.mark.parametrize("double", [False, True])
def test_workspace_sizes_are_the_cores_answers(core, double):
    v, f, p, s, b, h, w, k = 9, 7, 11, 5, 2, 6, 8, 3
    expected = [
        core_bytes(core, "vrel_mesh_vertex_normals_workspace", (v, f), 1 + double),
        core_bytes(core, "vrel_transforms_transform_points_workspace", (p, b), 1 + double),
        core_bytes(core, "vrel_transforms_perspective_divide_workspace", (p,), 1 + double),
        core_bytes(core, "vrel_points_closest_point_on_mesh_workspace", (p, v, f), 1 + double),
        core_bytes(core, "vrel_mesh_sample_surface_workspace", (v, f, s), 1 + double),
        core_bytes(core, "vrel_render_rasterize_workspace", (v, f, h, w, k), 1 + double),
    ]
    assert list(ops.workspace_sizes(v, f, p, 4, s, b, h, w, k, double)) == expected
    assert any(expected)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_animation_workspace_sizes_are_the_cores_answers(core, dtype):
    b, v, k = 2, 5, 3
    reference = torch.zeros(1, dtype=dtype)
    code = 1 if dtype == torch.float32 else 2
    queries = {1: ("vrel_mesh_blend_shapes_workspace", (b, v, k)),
               2: ("vrel_transforms_rodrigues_workspace", (v,)),
               3: ("vrel_skeleton_forward_kinematics_workspace", (b, v)),
               4: ("vrel_mesh_skin_lbs_workspace", (b, v, k)),
               5: ("vrel_mesh_evaluate_barycentric_workspace", (b, v, k))}
    answers = {op: ops._animation_workspace_size(reference, op, b, v, k) for op in queries}
    assert answers == {op: core_bytes(core, export, counts, code)
                       for op, (export, counts) in queries.items()}
    assert answers[3] > 0
    for operation in (0, 6, -1):
        with pytest.raises(RuntimeError) as error:
            ops._animation_workspace_size(reference, operation, b, v, k)
        assert str(error.value) == "vrel-internal: unknown animation workspace operation"
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: "):
        ops._animation_workspace_size(reference, 3, -1, v, k)


def test_an_expanded_workspace_is_refused_before_the_core_writes_past_it():
    # One byte of memory seen as 64 elements: the core would write 64 bytes behind the pointer.
    vertices, faces = tetrahedron()
    key, counter = torch.tensor([3, 4], dtype=torch.uint32), torch.zeros(2, dtype=torch.uint32)
    written = empty_like_all(vrel.sample_surface(vertices, faces, 8, key, counter))
    memory = torch.full((80,), 0xAB, dtype=torch.uint8)
    for workspace in (memory[:1].expand(64), memory[::2][:40]):
        with pytest.raises(RuntimeError) as error:
            ops.sample_surface_out(vertices, faces, whole(4), whole(4), 8, key, counter, 0.0,
                                   *written, workspace)
        assert str(error.value) == "vrel-internal: the workspace must be a contiguous tensor"
    assert (memory == 0xAB).all()
    # A dense slice of the same memory is accepted.
    ops.sample_surface_out(vertices, faces, whole(4), whole(4), 8, key, counter, 0.0, *written,
                           memory[8:72])
    assert (memory[:8] == 0xAB).all() and (memory[72:] == 0xAB).all()
