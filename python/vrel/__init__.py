"""vrel: differentiable geometry and rendering operators for PyTorch.

Importing the package loads the ``_torch`` extension, which registers the operators under
``torch.ops.vrel``, pairs each forward operator with its backward operator for autograd, and
gives the forward operators fake kernels for ``torch.compile``. The functions below are thin,
documented entry points to those operators; all of them accept CPU tensors (and CUDA tensors where
a CUDA provider plug-in is installed).

Conventions: vertex arrays are [V,3] float32 or float64; face arrays are [F,3] int32 rows of the
vertex array; packed batches use int32 offset tensors of length B+1 whose first entry is 0 and
last entry is the row count, so that rows offsets[b]:offsets[b+1] belong to batch element b (an
omitted offsets argument means one element holding every row); "none" is -1. At this boundary,
int64 (and int16, int8, uint8) faces, indices and offsets, and Python lists of them, become int32
after a check that every value fits (ValueError naming the argument otherwise); strided tensors
are made contiguous (gradients still flow to the original); generator keys and counters may be
Python integers. Outputs take the dtype of the floating inputs. Failures of the operators raise
RuntimeError whose message starts with "vrel-status:<code>:" (a core check) or "vrel-internal: "
(an adapter check).

Beside the operators: ``vrel.loss`` (Chamfer and point-to-mesh distances, mesh regularisers),
``vrel.shapes`` (icosphere, UV sphere, plane, cube) and ``vrel.io`` (PLY, OBJ and PNG files).

Each family lives in a module of its own (``vrel.mesh``, ``vrel.render``, ...) holding its
wrappers, fake kernels and autograd pairs; the names in its ``__all__`` are re-exported here.
"""
import torch as _pytorch  # noqa: F401  (loads the PyTorch libraries _torch links against)

from . import _torch  # noqa: F401  (registers the operators while it loads)
from . import _registry
from . import animation, camera, image, io, loss, mesh, opaque, opaque_stream, pipeline, points
from . import render, shading
from . import shapes, textures, transforms, workspace
from .animation import *  # noqa: F401,F403
from .image import *  # noqa: F401,F403
from .io import ply_probe, ply_read  # the writers stay under vrel.io
from .mesh import *  # noqa: F401,F403
from .opaque import *  # noqa: F401,F403
from .opaque_stream import *  # noqa: F401,F403
from .pipeline import *  # noqa: F401,F403
from .points import *  # noqa: F401,F403
from .render import *  # noqa: F401,F403
from .shading import *  # noqa: F401,F403
from .textures import *  # noqa: F401,F403
from .transforms import *  # noqa: F401,F403
from .workspace import *  # noqa: F401,F403

__version__ = "0.2.0"

#: the public names of every family module, the helper modules and the registration tables
__all__ = ([name for family in (mesh, transforms, render, textures, points, animation, image,
                                shading, opaque, opaque_stream, workspace, pipeline)
            for name in family.__all__]
           + ["ply_probe", "ply_read", "AUTOGRAD_OPERATORS", "FAKE_OPERATORS", "camera", "io",
              "loss", "shapes"])

#: forward operators paired with their backward operator, and those with a fake kernel
AUTOGRAD_OPERATORS, FAKE_OPERATORS = _registry.register()
