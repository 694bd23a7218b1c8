"""The demo's mesh: a bumpy blob, written as binary PLY to data/blob.ply."""
from __future__ import annotations

import pathlib

import numpy as np
import torch

import vrel


def bumpy_blob(subdivisions: int = 4) -> tuple[np.ndarray, np.ndarray]:
    """An icosphere displaced along its normals: lobes and dents give curvature and concavities."""
    vertices, faces = vrel.shapes.icosphere(subdivisions, dtype=torch.float64)
    v, f = vertices.numpy(), faces.numpy()
    x, y, z = v[:, 0], v[:, 1], v[:, 2]
    radius = (1.0 + 0.28 * np.sin(3.0 * x + 0.5) * np.sin(2.5 * y + 1.0) * np.sin(3.0 * z)
              + 0.18 * np.cos(5.0 * y) * (x > -0.3))
    return v * radius[:, None] * np.array([1.15, 0.9, 1.0]), f


if __name__ == "__main__":
    out = pathlib.Path(__file__).with_name("data") / "blob.ply"
    v, f = bumpy_blob()
    vrel.io.ply_write(out, torch.from_numpy(v).float(), torch.from_numpy(f))
    print(f"wrote {out}: {len(v)} vertices, {len(f)} faces")
