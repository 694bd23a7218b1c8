"""PLY, OBJ and PNG: writes read back to the same tensors; OBJ polygons, indices and errors."""
import io

import pytest
import torch

import vrel
from vrel import shapes


def awkward_vertices(dtype):
    """Values whose decimal text needs every digit: thirds, tiny, huge, negative zero."""
    values = torch.tensor([[1 / 3, -0.1, 1e-30], [-0.0, 3.4e37, 2.0 / 7.0],
                           [123456.789, -1e-7, 0.5]], dtype=torch.float64)
    generator = torch.Generator().manual_seed(0)
    noise = torch.randn(20, 3, dtype=torch.float64, generator=generator)
    return torch.cat([values, noise]).to(dtype)


@pytest.mark.parametrize("binary", [True, False], ids=["binary", "ascii"])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_ply_write_read_round_trip(tmp_path, binary, dtype):
    vertices = awkward_vertices(dtype)
    faces = torch.randint(0, vertices.shape[0], (31, 3), dtype=torch.int64,
                          generator=torch.Generator().manual_seed(1))
    path = tmp_path / "mesh.ply"
    vrel.io.ply_write(path, vertices, faces, binary=binary)
    assert vrel.io.ply_probe(path)[0] == (1 if binary else 0)
    read_vertices, read_faces = vrel.io.ply_read(path, double_precision=dtype == torch.float64)
    assert torch.equal(read_vertices, vertices) and torch.equal(read_faces, faces.int())
    empty = io.BytesIO()
    vrel.io.ply_write(empty, vertices[:0], faces[:0], binary=binary)
    v, f = vrel.io.ply_read(empty.getvalue())
    assert v.shape == (0, 3) and f.shape == (0, 3)


def test_ply_write_refuses_bad_meshes():
    vertices, faces = shapes.cube()
    for bad_faces, message in ((faces + 1, r"vertex rows in \[0, 8\)"),
                               (faces - 1, r"vertex rows in \[0, 8\)"),
                               (faces.float(), "faces must be a"),
                               (faces[:, :2], "faces must be a")):
        with pytest.raises(ValueError, match=message):
            vrel.io.ply_write(io.BytesIO(), vertices, bad_faces)
    with pytest.raises(ValueError, match="vertices must be a"):
        vrel.io.ply_write(io.BytesIO(), vertices.half(), faces)


def test_obj_round_trip_with_uvs_and_normals(tmp_path):
    generator = torch.Generator().manual_seed(2)
    vertices = awkward_vertices(torch.float32)
    faces = torch.randint(0, vertices.shape[0], (12, 3), generator=generator).int()
    uvs = torch.rand(7, 2, generator=generator)
    face_uvs = torch.randint(-1, 7, (12, 3), generator=generator).int()
    normals = torch.randn(5, 3, generator=generator)
    face_normals = torch.randint(-1, 5, (12, 3), generator=generator).int()
    path = tmp_path / "mesh.obj"
    vrel.io.obj_write(path, vertices, faces, uvs=uvs, face_uvs=face_uvs, normals=normals,
                      face_normals=face_normals)
    mesh = vrel.io.obj_read(path)
    for got, expected in zip(mesh, (vertices, faces, uvs, face_uvs, normals, face_normals,
                                    torch.arange(12, dtype=torch.int32))):
        assert got.dtype == expected.dtype and torch.equal(got, expected)
    # float64 keeps every digit too; without uv or normal tables the corners hold -1.
    mesh = vrel.io.obj_read(_obj(vertices.double(), faces), dtype=torch.float64)
    assert torch.equal(mesh.vertices, vertices.double())
    assert mesh.uvs.shape == (0, 2) and bool((mesh.face_uvs == -1).all())
    assert mesh.normals.shape == (0, 3) and bool((mesh.face_normals == -1).all())


def _obj(vertices, faces, **tables):
    buffer = io.BytesIO()
    vrel.io.obj_write(buffer, vertices, faces, **tables)
    return buffer.getvalue()


POLYGONS = b"""# a quad, a pentagon with relative indices, a triangle; ignored statements
mtllib scene.mtl
o thing
v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0   # trailing comment
v 2 0 0 1.0
vt 0 0
vt 1 0 0
vt 1 1
vt 0.5
vn 0 0 1
g quad
usemtl red
f 1/1/1 2/2/1 3/3/1 4/4/1
s off
f -5//1 -4//1 \\
  -1//1 -2//1 -3//1
l 1 2
f 2 5 \\
3"""


def test_obj_polygons_become_fans_that_remember_their_face():
    mesh = vrel.io.obj_read(io.BytesIO(POLYGONS))
    assert mesh.vertices.shape == (5, 3) and mesh.vertices.dtype == torch.float32
    assert mesh.uvs.tolist() == [[0, 0], [1, 0], [1, 1], [0.5, 0]]
    assert mesh.faces.tolist() == [[0, 1, 2], [0, 2, 3], [0, 1, 4], [0, 4, 3], [0, 3, 2],
                                   [1, 4, 2]]
    assert mesh.source_face.tolist() == [0, 0, 1, 1, 1, 2]
    assert mesh.face_uvs.tolist() == [[0, 1, 2], [0, 2, 3]] + [[-1] * 3] * 4
    assert mesh.face_normals.tolist() == [[0, 0, 0]] * 5 + [[-1] * 3]
    assert mesh.faces.dtype == mesh.face_uvs.dtype == mesh.source_face.dtype == torch.int32


@pytest.mark.parametrize("text,message", [
    (b"v 0 0 0\nv 1 0 0\nf 1 2 3\n", r"line 3: vertex index 3 is outside the 2 vertices"),
    (b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n", "line 4: vertex index 0 is outside"),
    (b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 1 2\n", "line 4: vertex index -4 is outside"),
    (b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/1 2 3\n", "line 4: texture coordinate index 1"),
    (b"v 0 0 0\nv 1 0 0\nf 1 2\n", "line 3: a face needs at least three corners"),
    (b"v 0 0\n", "line 1: a 'v' line needs 3 numbers"),
    (b"v 0 0 zero\n", "line 1: a 'v' line needs 3 numbers"),
    (b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 x\n", "line 4: 'x' is not a vertex index"),
    (b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 /3\n", "line 4: malformed face corner"),
])
def test_obj_read_names_the_bad_line(text, message):
    with pytest.raises(ValueError, match=message):
        vrel.io.obj_read(text)


def test_obj_write_refuses_bad_tables():
    vertices, faces = shapes.cube()
    with pytest.raises(ValueError, match="one row per vertex"):
        vrel.io.obj_write(io.BytesIO(), vertices, faces, uvs=torch.zeros(3, 2))
    with pytest.raises(ValueError, match=r"rows of uvs in \[0, 3\) or -1"):
        vrel.io.obj_write(io.BytesIO(), vertices, faces, uvs=torch.zeros(3, 2),
                          face_uvs=torch.full((12, 3), 3))
    with pytest.raises(ValueError, match="without normals"):
        vrel.io.obj_write(io.BytesIO(), vertices, faces, face_normals=faces)


def test_png_round_trip_and_float_rounding(tmp_path):
    generator = torch.Generator().manual_seed(3)
    for channels in (1, 2, 3, 4):
        image = torch.randint(0, 256, (5, 7, channels), dtype=torch.uint8, generator=generator)
        vrel.io.png_write(tmp_path / "image.png", image)
        assert torch.equal(vrel.io.png_read(tmp_path / "image.png"), image)
    grey = torch.tensor([[-1.0, 0.0, 0.51 / 255, 0.49 / 255], [1.0, 2.0, 0.5, 254.51 / 255]])
    vrel.io.png_write(tmp_path / "grey.png", grey)
    assert vrel.io.png_read(tmp_path / "grey.png")[..., 0].tolist() == [[0, 0, 1, 0],
                                                                        [255, 255, 128, 255]]
    with pytest.raises(ValueError, match="C in 1..4"):
        vrel.io.png_write(tmp_path / "bad.png", torch.zeros(2, 2, 5))
    with pytest.raises(ValueError, match="floating or uint8"):
        vrel.io.png_write(tmp_path / "bad.png", torch.zeros(2, 2, dtype=torch.int32))
