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
wrappers, fake kernels and autograd pairs; the names in its ``__all__`` are re-exported here.
"""
from __future__ import annotations

import torch

from . import _torch  # noqa: F401  (registers the operators while it loads)
from . import _registry
from . import animation, camera, io, mesh, pipeline, points, render, textures, transforms, workspace
from .animation import *  # noqa: F401,F403
from .io import *  # noqa: F401,F403
from .mesh import *  # noqa: F401,F403
from .pipeline import *  # noqa: F401,F403
from .points import *  # noqa: F401,F403
from .render import *  # noqa: F401,F403
from .textures import *  # noqa: F401,F403
from .transforms import *  # noqa: F401,F403
from .workspace import *  # noqa: F401,F403

#: the public names of every family module
__all__ = [name for family in (mesh, io, transforms, render, textures, points, animation, workspace,
                                     pipeline)
           for name in family.__all__] + ["camera"]

ops = torch.ops.vrel

#: forward operators paired with their backward operator, and those with a fake kernel
AUTOGRAD_OPERATORS, FAKE_OPERATORS = _registry.register()
