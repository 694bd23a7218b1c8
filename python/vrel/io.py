"""Geometry input and output: PLY and OBJ meshes, PNG images.

PLY is read by the core (:func:`ply_read`, :func:`ply_probe`) and written here (:func:`ply_write`,
ASCII or binary little-endian). OBJ is read and written here with texture coordinates, normals
and per-corner indices; polygons are fan-triangulated and each triangle remembers its polygon.
PNG goes through Pillow (``pip install pillow``).

Every writer takes a path or a binary file object opened for writing; every reader takes a path,
``bytes`` or a binary file object. Floating values are written with enough digits to read back
exactly (float32 and float64 alike), so a write followed by a read gives the same tensors.
"""
import os as _os
from typing import NamedTuple as _NamedTuple

import numpy as _np
import torch as _torch

from . import _files
from ._registry import ops as _ops

__all__ = ["ply_read", "ply_probe", "ply_write", "ObjMesh", "obj_read", "obj_write",
           "png_write", "png_read"]


def _write_bytes(file, data: bytes) -> None:
    if isinstance(file, (str, _os.PathLike)):
        with open(file, "wb") as handle:
            handle.write(data)
    else:
        file.write(data)


def _read_bytes(file) -> bytes:
    if isinstance(file, (str, _os.PathLike)):
        with open(file, "rb") as handle:
            return handle.read()
    if isinstance(file, (bytes, bytearray, memoryview)):
        return bytes(file)
    return file.read()


def _check_mesh(name: str, vertices, faces) -> tuple:
    """Vertices [V,3] float and faces [F,3] integer rows in [0, V), as NumPy arrays."""
    if not (isinstance(vertices, _torch.Tensor) and vertices.dim() == 2 and vertices.shape[1] == 3
            and vertices.dtype in (_torch.float32, _torch.float64)):
        raise ValueError(f"{name}: vertices must be a [V,3] float32 or float64 tensor")
    if not (isinstance(faces, _torch.Tensor) and faces.dim() == 2 and faces.shape[1] == 3
            and not faces.is_floating_point() and not faces.is_complex()
            and faces.dtype != _torch.bool):
        raise ValueError(f"{name}: faces must be a [F,3] integer tensor")
    v = vertices.detach().cpu().contiguous().numpy()
    f = faces.detach().cpu().to(_torch.int64).numpy()
    if f.size and (f.min() < 0 or f.max() >= v.shape[0]):
        raise ValueError(f"{name}: faces must hold vertex rows in [0, {v.shape[0]})")
    return v, f


def _exact(values: _np.ndarray) -> list:
    """Shortest decimal text of each value that reads back as the same double (float32 values
    widen exactly to double, so they round-trip too)."""
    return [repr(x) for x in values.astype(_np.float64).ravel().tolist()]


# ---- PLY ------------------------------------------------------------------------------------

def _ply_bytes(data):
    """In-memory PLY data as a uint8 tensor: tensors as given, bytes copied once."""
    if isinstance(data, _torch.Tensor):
        return data
    data = bytearray(data)
    return _torch.frombuffer(data, dtype=_torch.uint8) if data else _torch.empty(0, dtype=_torch.uint8)


def ply_probe(path_or_bytes):
    """Reads a PLY header: what the file holds, before reading it.

    Args:
        path_or_bytes: a path (a regular file: "vrel-status:5: the path does not name a
            readable file" otherwise), ``bytes``, or a uint8 tensor.

    Returns:
        (format, vertex_count, face_count): format 0 is ASCII, 1 binary little-endian.

    Example:
        >>> import io
        >>> buffer = io.BytesIO()
        >>> vrel.io.ply_write(buffer, *vrel.shapes.cube(), binary=False)
        >>> vrel.ply_probe(buffer.getvalue())
        (0, 8, 12)
    """
    if isinstance(path_or_bytes, (str, _os.PathLike)):
        return _files.ply_probe_file(path_or_bytes)
    return _ops.ply_probe(_ply_bytes(path_or_bytes))


def ply_read(path_or_bytes, double_precision: bool = False):
    """Reads a triangle mesh from PLY (ASCII or binary little-endian).

    Only the x, y, z vertex properties and the triangle faces are kept (see ``include/vrel/io.h``
    for what the reader accepts); :func:`vrel.io.ply_write` writes files it reads back exactly.

    Args:
        path_or_bytes: a path (a regular file), ``bytes``, or a uint8 tensor.
        double_precision: float64 vertices instead of float32.

    Returns:
        (vertices [V,3] float32 or float64, faces [F,3] int32). Not differentiable.

    Example:
        >>> import io
        >>> buffer = io.BytesIO()
        >>> vrel.io.ply_write(buffer, *vrel.shapes.plane())
        >>> vertices, faces = vrel.ply_read(buffer.getvalue())
        >>> vertices.shape, faces.tolist()
        (torch.Size([4, 3]), [[0, 1, 3], [0, 3, 2]])
    """
    if isinstance(path_or_bytes, (str, _os.PathLike)):
        return _files.ply_read_file(path_or_bytes,
                                    _torch.float64 if double_precision else _torch.float32)
    return _ops.ply_read(_ply_bytes(path_or_bytes), bool(double_precision))


def ply_write(file, vertices, faces, *, binary: bool = True) -> None:
    """Writes a triangle mesh as PLY that :func:`ply_read` reads back to the same tensors.

    Vertices are stored as ``float`` (float32 input) or ``double`` (float64 input) x, y, z;
    faces as a ``uchar`` count and ``int`` indices.

    Args:
        file: a path or a binary file object.
        vertices: [V,3] float32 or float64 tensor.
        faces: [F,3] integer tensor of vertex rows in [0, V).
        binary: binary little-endian (default) or ASCII.

    Raises:
        ValueError: a shape or dtype is wrong, or a face index lies outside [0, V).

    Example:
        >>> import io
        >>> vertices, faces = vrel.shapes.cube()
        >>> buffer = io.BytesIO()
        >>> vrel.io.ply_write(buffer, vertices, faces, binary=False)
        >>> v, f = vrel.io.ply_read(buffer.getvalue())
        >>> bool(torch.equal(v, vertices)), bool(torch.equal(f, faces))
        (True, True)
    """
    v, f = _check_mesh("ply_write", vertices, faces)
    scalar = "double" if v.dtype == _np.float64 else "float"
    header = ("ply\n"
              f"format {'binary_little_endian' if binary else 'ascii'} 1.0\n"
              "comment written by vrel\n"
              f"element vertex {v.shape[0]}\n"
              f"property {scalar} x\nproperty {scalar} y\nproperty {scalar} z\n"
              f"element face {f.shape[0]}\n"
              "property list uchar int vertex_indices\n"
              "end_header\n").encode("ascii")
    if binary:
        rows = _np.zeros(f.shape[0], dtype=[("n", "u1"), ("i", "<i4", (3,))])
        rows["n"] = 3
        rows["i"] = f
        body = v.astype("<f8" if scalar == "double" else "<f4").tobytes() + rows.tobytes()
    else:
        text = _exact(v)
        lines = [" ".join(text[3 * k:3 * k + 3]) for k in range(v.shape[0])]
        lines += [f"3 {a} {b} {c}" for a, b, c in f.tolist()]
        body = ("\n".join(lines) + "\n").encode("ascii") if lines else b""
    _write_bytes(file, header + body)


# ---- OBJ ------------------------------------------------------------------------------------

class ObjMesh(_NamedTuple):
    """A mesh read by :func:`obj_read`.

    Attributes:
        vertices: [V,3] positions (``v`` lines; a fourth or further value is ignored).
        faces: [F,3] int32 vertex rows; polygons are fan-triangulated (0, k, k+1).
        uvs: [T,2] texture coordinates (``vt`` lines; a missing v is 0), [0,2] when none.
        face_uvs: [F,3] int32 rows of ``uvs`` per corner, -1 where a corner has none.
        normals: [N,3] normals (``vn`` lines), [0,3] when none.
        face_normals: [F,3] int32 rows of ``normals`` per corner, -1 where a corner has none.
        source_face: [F] int32: the polygon (``f`` line, counted from 0) of each triangle.
    """
    vertices: _torch.Tensor
    faces: _torch.Tensor
    uvs: _torch.Tensor
    face_uvs: _torch.Tensor
    normals: _torch.Tensor
    face_normals: _torch.Tensor
    source_face: _torch.Tensor


_PLURAL = {"vertex": "vertices", "texture coordinate": "texture coordinates",
           "normal": "normals"}


def _obj_index(token: str, count: int, kind: str, line: int) -> int:
    try:
        index = int(token)
    except ValueError:
        raise ValueError(f"obj_read: line {line}: {token!r} is not a {kind} index") from None
    # OBJ indices count from 1; negative ones count back from the last element read so far.
    resolved = index - 1 if index > 0 else count + index
    if index == 0 or not 0 <= resolved < count:
        raise ValueError(f"obj_read: line {line}: {kind} index {index} is outside the "
                         f"{count} {_PLURAL[kind]} read so far")
    return resolved


def _obj_statements(text: str):
    """(line number, tokens) of each statement, comments removed and continuation lines (ending
    with a backslash) joined; the number is that of the statement's first line."""
    pending, first = "", 0
    for number, raw in enumerate(text.splitlines(), start=1):
        if not pending:
            first = number
        if raw.endswith("\\"):
            pending += raw[:-1] + " "
            continue
        tokens = (pending + raw).split("#", 1)[0].split()
        pending = ""
        if tokens:
            yield first, tokens
    tokens = pending.split("#", 1)[0].split()
    if tokens:
        yield first, tokens


def obj_read(file, *, dtype=_torch.float32) -> ObjMesh:
    """Reads a Wavefront OBJ mesh: positions, texture coordinates, normals and faces.

    Faces (``f`` lines) take the forms ``v``, ``v/vt``, ``v//vn`` and ``v/vt/vn``, with 1-based
    or negative (relative) indices; a polygon of n corners becomes the n - 2 triangles
    (c0, ck, ck+1), all recording the polygon's number in ``source_face``. Lines ending with a
    backslash continue on the next line. Groups, objects, materials, lines, points and other
    statements are ignored.

    Args:
        file: a path, ``bytes`` or a binary file object.
        dtype: floating dtype of the positions, texture coordinates and normals.

    Returns:
        An :class:`ObjMesh`.

    Raises:
        ValueError: a malformed number or index, an index outside the elements read so far, or a
            face with fewer than three corners; the message names the line.

    Example:
        >>> text = b"v 0 0 0\\nv 1 0 0\\nv 1 1 0\\nv 0 1 0\\nvt 0 0\\nvt 1 1\\nf 1/1 2/2 3/2 4/1\\n"
        >>> mesh = vrel.io.obj_read(text)
        >>> mesh.faces.tolist(), mesh.face_uvs.tolist(), mesh.source_face.tolist()
        ([[0, 1, 2], [0, 2, 3]], [[0, 1, 1], [0, 1, 0]], [0, 0])
    """
    text = _read_bytes(file).decode("utf-8", errors="replace")
    positions, uvs, normals = [], [], []
    faces, face_uvs, face_normals, source = [], [], [], []
    polygon = 0
    for number, tokens in _obj_statements(text):
        keyword, values = tokens[0], tokens[1:]
        try:
            if keyword == "v":
                if len(values) < 3:
                    raise ValueError
                positions.append([float(x) for x in values[:3]])
            elif keyword == "vt":
                if not values:
                    raise ValueError
                uvs.append([float(values[0]), float(values[1]) if len(values) > 1 else 0.0])
            elif keyword == "vn":
                if len(values) < 3:
                    raise ValueError
                normals.append([float(x) for x in values[:3]])
        except ValueError:
            raise ValueError(f"obj_read: line {number}: a '{keyword}' line needs "
                             f"{'1 to 3' if keyword == 'vt' else '3'} numbers") from None
        if keyword != "f":
            continue
        if len(values) < 3:
            raise ValueError(f"obj_read: line {number}: a face needs at least three corners")
        corners = []
        for corner in values:
            parts = corner.split("/")
            if len(parts) > 3 or not parts[0]:
                raise ValueError(f"obj_read: line {number}: malformed face corner {corner!r}")
            v = _obj_index(parts[0], len(positions), "vertex", number)
            t = (_obj_index(parts[1], len(uvs), "texture coordinate", number)
                 if len(parts) > 1 and parts[1] else -1)
            n = (_obj_index(parts[2], len(normals), "normal", number)
                 if len(parts) > 2 and parts[2] else -1)
            corners.append((v, t, n))
        for k in range(1, len(corners) - 1):
            triangle = (corners[0], corners[k], corners[k + 1])
            faces.append([c[0] for c in triangle])
            face_uvs.append([c[1] for c in triangle])
            face_normals.append([c[2] for c in triangle])
            source.append(polygon)
        polygon += 1

    def table(rows, width, kind):
        return _torch.tensor(rows, dtype=kind).reshape(-1, width)

    return ObjMesh(table(positions, 3, _torch.float64).to(dtype),
                   table(faces, 3, _torch.int32),
                   table(uvs, 2, _torch.float64).to(dtype),
                   table(face_uvs, 3, _torch.int32),
                   table(normals, 3, _torch.float64).to(dtype),
                   table(face_normals, 3, _torch.int32),
                   _torch.tensor(source, dtype=_torch.int32))


def _corner_table(name, table, corner_indices, faces, vertex_count):
    """Checks an optional per-element table and its [F,3] corner indices (default: ``faces``
    when the table has one row per vertex)."""
    if table is None:
        if corner_indices is not None:
            raise ValueError(f"obj_write: {name} indices given without {name}")
        return None, None
    table = table.detach().cpu()
    if corner_indices is None:
        corner_indices = faces
    else:
        corner_indices = corner_indices.detach().cpu().to(_torch.int64).numpy()
        if corner_indices.shape != faces.shape:
            raise ValueError(f"obj_write: face_{name} must be [F,3] like faces")
    if corner_indices is faces and table.shape[0] != vertex_count:
        raise ValueError(f"obj_write: {name} without face_{name} must have one row per vertex")
    if corner_indices.size and (corner_indices.min() < -1
                                or corner_indices.max() >= table.shape[0]):
        raise ValueError(f"obj_write: face_{name} must hold rows of {name} in [0, "
                         f"{table.shape[0]}) or -1")
    return table.numpy(), corner_indices


def obj_write(file, vertices, faces, *, uvs=None, face_uvs=None, normals=None,
              face_normals=None) -> None:
    """Writes a triangle mesh as Wavefront OBJ that :func:`obj_read` reads back exactly.

    Args:
        file: a path or a binary file object.
        vertices: [V,3] float32 or float64 tensor; faces: [F,3] integer vertex rows.
        uvs: optional [T,2] texture coordinates; face_uvs: [F,3] rows of ``uvs`` per corner
            (-1 for none). Without ``face_uvs``, ``uvs`` must have one row per vertex and
            ``faces`` indexes both.
        normals: optional [N,3]; face_normals: [F,3] rows of ``normals``, as for the uvs.

    Raises:
        ValueError: a shape or dtype is wrong, or an index lies outside its table.

    Example:
        >>> import io
        >>> vertices, faces = vrel.shapes.plane(rows=1, columns=1)
        >>> uvs = vertices[:, :2] * 0.5 + 0.5
        >>> buffer = io.BytesIO()
        >>> vrel.io.obj_write(buffer, vertices, faces, uvs=uvs)
        >>> print(buffer.getvalue().decode().splitlines()[-1])
        f 1/1 4/4 3/3
        >>> mesh = vrel.io.obj_read(buffer.getvalue())
        >>> bool(torch.equal(mesh.uvs, uvs)), bool(torch.equal(mesh.face_uvs, faces))
        (True, True)
    """
    v, f = _check_mesh("obj_write", vertices, faces)
    t, ft = _corner_table("uvs", uvs, face_uvs, f, v.shape[0])
    n, fn = _corner_table("normals", normals, face_normals, f, v.shape[0])
    if t is not None and (t.ndim != 2 or t.shape[1] != 2):
        raise ValueError("obj_write: uvs must be a [T,2] tensor")
    if n is not None and (n.ndim != 2 or n.shape[1] != 3):
        raise ValueError("obj_write: normals must be a [N,3] tensor")
    out = ["# written by vrel"]
    for keyword, table, width in (("v", v, 3), ("vt", t, 2), ("vn", n, 3)):
        if table is not None:
            text = _exact(table)
            out += [f"{keyword} " + " ".join(text[width * k:width * k + width])
                    for k in range(table.shape[0])]
    for row in range(f.shape[0]):
        corners = []
        for k in range(3):
            corner = str(f[row, k] + 1)
            tk = -1 if ft is None else ft[row, k]
            nk = -1 if fn is None else fn[row, k]
            if tk >= 0 or nk >= 0:
                corner += "/" + (str(tk + 1) if tk >= 0 else "")
            if nk >= 0:
                corner += "/" + str(nk + 1)
            corners.append(corner)
        out.append("f " + " ".join(corners))
    _write_bytes(file, ("\n".join(out) + "\n").encode("ascii"))


# ---- PNG ------------------------------------------------------------------------------------

def _pillow():
    try:
        from PIL import Image
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("vrel.io PNG support needs Pillow: pip install pillow") from None
    return Image


_MODES = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}


def png_write(file, image) -> None:
    """Saves an image as an 8-bit PNG.

    Args:
        file: a path or a binary file object.
        image: [H,W] or [H,W,C] tensor (or array) with C = 1 (grey), 2 (grey and alpha), 3 (RGB)
            or 4 (RGBA), rows from the top. Floating values are taken in [0, 1] (clamped, then
            rounded to the nearest of 256 levels); uint8 values are stored as they are.

    Raises:
        ValueError: another shape or dtype.

    Example:
        >>> import io
        >>> image = torch.linspace(0, 1, 12).reshape(2, 2, 3)
        >>> buffer = io.BytesIO()
        >>> vrel.io.png_write(buffer, image)
        >>> vrel.io.png_read(buffer.getvalue())[0, 0].tolist()
        [0, 23, 46]
    """
    Image = _pillow()
    tensor = _torch.as_tensor(image).detach().cpu()
    if tensor.dim() == 2:
        tensor = tensor[..., None]
    if tensor.dim() != 3 or tensor.shape[2] not in _MODES:
        raise ValueError(f"png_write: image must be [H,W] or [H,W,C] with C in 1..4, got "
                         f"{list(tensor.shape)}")
    if tensor.is_floating_point():
        tensor = (tensor.double().clamp(0.0, 1.0) * 255.0 + 0.5).floor().to(_torch.uint8)
    elif tensor.dtype != _torch.uint8:
        raise ValueError(f"png_write: image must be floating or uint8, got {tensor.dtype}")
    array = tensor.contiguous().numpy()
    picture = Image.fromarray(array[..., 0] if array.shape[2] == 1 else array)
    picture.save(file, format="PNG")


def png_read(file) -> _torch.Tensor:
    """Loads a PNG (or any image Pillow reads) as a uint8 [H,W,C] tensor, C = 1, 2, 3 or 4.

    Palette images become RGB (RGBA with transparency); 16-bit grey is scaled to 8 bits.

    Example:
        >>> import io
        >>> buffer = io.BytesIO()
        >>> vrel.io.png_write(buffer, torch.zeros(4, 5))
        >>> vrel.io.png_read(buffer.getvalue()).shape
        torch.Size([4, 5, 1])
    """
    import io as _stdio
    Image = _pillow()
    data = _read_bytes(file)
    with Image.open(_stdio.BytesIO(data)) as picture:
        if picture.mode == "P":
            picture = picture.convert("RGBA" if "transparency" in picture.info else "RGB")
        elif picture.mode in ("I;16", "I;16B", "I"):
            wide = _np.asarray(picture, dtype=_np.uint32)
            picture = Image.fromarray((wide >> 8).astype(_np.uint8))
        elif picture.mode not in _MODES.values():
            picture = picture.convert("RGBA" if "A" in picture.mode else "RGB")
        array = _np.array(picture, dtype=_np.uint8)
    if array.ndim == 2:
        array = array[..., None]
    return _torch.from_numpy(array)
