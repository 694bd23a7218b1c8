"""Geometry input: PLY headers and triangle meshes from files, bytes or uint8 tensors."""
from __future__ import annotations

import contextlib as _contextlib
import os as _os

import torch

from . import _files
from ._registry import ops

__all__ = ["ply_probe", "ply_read"]


@_contextlib.contextmanager
def _ply_bytes(path_or_bytes):
    """The PLY data as a uint8 tensor: a path is read by the core (regular files only, read once
    into memory lent to the tensor for the ``with`` block); bytes and tensors are used as given."""
    if isinstance(path_or_bytes, torch.Tensor):
        yield path_or_bytes
    elif isinstance(path_or_bytes, (str, _os.PathLike)):
        with _files.file_bytes(path_or_bytes) as data:
            yield data
    else:
        data = bytearray(path_or_bytes)
        yield torch.frombuffer(data, dtype=torch.uint8) if data else torch.empty(0, dtype=torch.uint8)


def ply_probe(path_or_bytes):
    """Reads a PLY header: returns (format, vertex_count, face_count); format 0 is ASCII, 1 binary
    little-endian. Accepts a path, bytes, or a uint8 tensor. A path must name a regular file
    ("vrel-status:5: the path does not name a readable file" otherwise)."""
    with _ply_bytes(path_or_bytes) as data:
        return ops.ply_probe(data)


def ply_read(path_or_bytes, double_precision: bool = False):
    """Reads a triangle mesh from PLY (ASCII or binary little-endian).

    Accepts a path (a regular file), bytes, or a uint8 tensor. Returns (vertices [V,3] float32,
    or float64 when ``double_precision``, faces [F,3] int32).

    Example::

        vertices, faces = vrel.ply_read("bunny.ply")
    """
    with _ply_bytes(path_or_bytes) as data:
        return ops.ply_read(data, bool(double_precision))
