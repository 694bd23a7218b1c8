"""Geometry input: PLY headers and triangle meshes from files, bytes or uint8 tensors."""
from __future__ import annotations

import os as _os

import torch

from ._registry import ops

__all__ = ["ply_probe", "ply_read"]


def _ply_bytes(path_or_bytes) -> torch.Tensor:
    if isinstance(path_or_bytes, torch.Tensor):
        return path_or_bytes
    if isinstance(path_or_bytes, (str, _os.PathLike)):
        with open(path_or_bytes, "rb") as handle:
            path_or_bytes = handle.read()
    data = bytearray(path_or_bytes)
    if not data:
        return torch.empty(0, dtype=torch.uint8)
    return torch.frombuffer(data, dtype=torch.uint8)


def ply_probe(path_or_bytes):
    """Reads a PLY header: returns (format, vertex_count, face_count); format 0 is ASCII, 1 binary
    little-endian. Accepts a path, bytes, or a uint8 tensor."""
    return ops.ply_probe(_ply_bytes(path_or_bytes))


def ply_read(path_or_bytes, double_precision: bool = False):
    """Reads a triangle mesh from PLY (ASCII or binary little-endian).

    Accepts a path, bytes, or a uint8 tensor. Returns (vertices [V,3] float32, or float64 when
    ``double_precision``, faces [F,3] int32).
    """
    return ops.ply_read(_ply_bytes(path_or_bytes), bool(double_precision))
