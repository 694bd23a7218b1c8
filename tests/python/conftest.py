"""Shared fixtures of the Python tests: the operator table, small meshes, the core library."""
from __future__ import annotations

import ctypes
import pathlib
import re

import pytest
import torch

import vrel

ROOT = pathlib.Path(__file__).resolve().parents[2]
TABLE = ROOT / "adapters" / "pytorch" / "register" / "operators.def"
PENDING_FAMILIES: set[str] = set()  # families whose schemas are declared without adapter kernels

_ROW = re.compile(r'^VREL_OPERATOR\((\w+), (\w+), (\w+), "([^"]*)",\s*"([^"]*)"\)', re.M)


def operator_table():
    """(name, keys, family, core exports, schema) for each row of operators.def, in order."""
    return [(m[0], m[1], m[2], m[3].split(), m[4]) for m in _ROW.findall(TABLE.read_text())]


@pytest.fixture(scope="session")
def table():
    return operator_table()


@pytest.fixture(scope="session")
def core():
    return ctypes.CDLL(str(pathlib.Path(vrel.__file__).parent / "libvrel_core.so.1"))


def core_has(core, export: str) -> bool:
    return hasattr(core, export)


def tetrahedron(dtype=torch.float64):
    vertices = torch.tensor([[0.0, 0.0, 0.0], [1.0, 0.1, 0.0], [0.2, 1.0, 0.1], [0.1, 0.3, 1.2]],
                            dtype=dtype)
    faces = torch.tensor([[0, 2, 1], [0, 1, 3], [1, 2, 3], [0, 3, 2]], dtype=torch.int32)
    return vertices, faces


def jittered(vertices, seed=0, scale=0.05):
    generator = torch.Generator().manual_seed(seed)
    return vertices + scale * torch.rand(vertices.shape, generator=generator,
                                         dtype=vertices.dtype)


def whole(count: int) -> torch.Tensor:
    return torch.tensor([0, count], dtype=torch.int32)
