"""vrel: differentiable geometry and rendering operators for PyTorch.

Importing the package loads the ``_torch`` extension, which registers the operators under
``torch.ops.vrel``, pairs each forward operator with its backward operator for autograd, and
gives the forward operators fake kernels for ``torch.compile``. The functions below are thin,
documented entry points to those operators; all of them accept CPU tensors (and CUDA tensors where
a CUDA provider plug-in is installed).

Conventions: vertex arrays are [V,3] float32 or float64; face arrays are [F,3] int32 (convert
int64 index tensors with ``.int()``); packed batches use int32 offset tensors of length B+1 whose
first entry is 0 and last entry is the row count. Failures raise RuntimeError whose message starts
with "vrel-status:<code>:" (a core check) or "vrel-internal: " (an adapter check).

Each family lives in a module of its own (``vrel.mesh``, ``vrel.render``, ...) holding its
wrappers, fake kernels and autograd pairs; its public names are re-exported here.
"""
from __future__ import annotations

import torch

from . import _torch  # noqa: F401  (registers the operators while it loads)
from . import _registry
from .animation import (blend_shapes, evaluate_barycentric, forward_kinematics, rodrigues,
                        skin_lbs)
from .io import ply_probe, ply_read
from .opaque import opaque_coverage, opaque_integrate
from .mesh import (WEIGHTING_AREA, WEIGHTING_UNIFORM, build_edge_topology, face_geometry,
                   gather_faces, mesh_validate, sample_surface, vertex_normals)
from .points import closest_point_on_mesh, knn
from .render import CULL_BACK, CULL_FRONT, CULL_NONE, interpolate, rasterize, rasterize_window
from .texture import (FILTER_LINEAR, FILTER_NEAREST, MIP_LINEAR, MIP_NEAREST, WRAP_BORDER,
                      WRAP_CLAMP, WRAP_MIRROR, WRAP_REPEAT, texture, texture_pyramid)
from .transforms import perspective_divide, transform_points
from .workspace import workspace_sizes

__all__ = [
    "WEIGHTING_AREA", "WEIGHTING_UNIFORM", "CULL_NONE", "CULL_BACK", "CULL_FRONT",
    "face_geometry", "vertex_normals", "gather_faces", "build_edge_topology", "mesh_validate",
    "sample_surface", "ply_probe", "ply_read", "transform_points", "perspective_divide",
    "rasterize", "rasterize_window", "interpolate", "texture_pyramid", "texture", "knn",
    "closest_point_on_mesh", "rodrigues", "forward_kinematics", "blend_shapes", "skin_lbs",
    "evaluate_barycentric", "workspace_sizes", "opaque_coverage", "opaque_integrate",
]

ops = torch.ops.vrel

#: forward operators paired with their backward operator, and those with a fake kernel
AUTOGRAD_OPERATORS, FAKE_OPERATORS = _registry.register()
