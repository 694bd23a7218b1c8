"""Registration machinery shared by the family modules (mesh.py, render.py, ...).

A family module declares, beside each wrapper, the fake kernel of every operator it binds
(``@fake``) and the autograd pair of every differentiable forward (``@autograd``). Importing the
package runs :func:`register` once, after all family modules: it gives every bound operator its
fake kernel through ``torch.library.register_fake`` (so that forward and backward passes trace
under ``torch.compile``) and pairs every bound forward with its backward operator through
``torch.library.register_autograd``. The ``_out`` operators mutate caller tensors and get a fake
kernel but no autograd. Operators returning integers computed from their tensors' values get a
fake kernel that says so (:func:`data_dependent`).
"""
from __future__ import annotations

from typing import Callable

import torch
from torch._subclasses.fake_tensor import DataDependentOutputException

from ._convert import Operators

#: the operators, with int64 indices, strided tensors and integer seeds converted on the way in
ops = Operators()

#: operator name -> fake kernel
FAKES: dict[str, Callable] = {}
#: operators whose int[] outputs depend on their tensors' values: no fake kernel can give them
DATA_DEPENDENT: list[str] = []
#: forward name -> (backward operator, setup_context, backward function)
AUTOGRAD_PAIRS: dict[str, tuple[str, Callable, Callable]] = {}


def has_kernel(name: str, key: str = "CPU") -> bool:
    """Whether the operator vrel::name has a kernel for the dispatch key in this build."""
    return torch._C._dispatch_has_kernel_for_dispatch_key(f"vrel::{name}", key)


def fake(*names: str):
    """Decorator: the fake kernel of the named operators (output shapes from input shapes)."""
    def declare(function):
        for name in names:
            FAKES[name] = function
        return function
    return declare


def out_operators(*names: str) -> None:
    """The _out operators write caller tensors in place and return nothing."""
    for name in names:
        FAKES[name] = _no_output


def _no_output(*_args):
    return None


class DataDependentIntegers(DataDependentOutputException):
    """Raised by the fake kernel of an operator whose int[] output depends on tensor values.

    A fake kernel cannot return those integers: it has no values to compute them from, and an
    ``int[]`` return cannot carry symbolic integers in their place (the dispatcher refuses a
    list of SymInt for it). Constant integers would be wrong for every other input, and
    torch.compile would bake them into the graph. PyTorch's own exception for a data-dependent
    non-tensor output makes torch.compile break the graph at the call and run it eagerly, and
    tells a FakeTensorMode caller why the call cannot be traced.
    """

    def __str__(self):
        return (f"{self.func} returns integers computed from its tensors' values; fake tensors "
                "have none, so call it on real tensors (torch.compile runs it eagerly, outside "
                "the graph)")


def data_dependent(*names: str) -> None:
    """The operators whose int[] outputs (receipts, prefixes, metadata) depend on the values of
    their tensor inputs: their fake kernel raises :class:`DataDependentIntegers`."""
    DATA_DEPENDENT.extend(names)


def _refusal(name: str) -> Callable:
    def refuse(*_args):
        raise DataDependentIntegers(getattr(torch.ops.vrel, name).default)
    return refuse


def autograd(name: str, backward_operator: str, setup_context: Callable):
    """Decorator: the backward function pairing the forward ``name`` with its backward operator.

    ``setup_context(ctx, inputs, output)`` saves what the backward operator needs for the
    gradients ``ctx.needs_input_grad`` asks for; the backward function returns one gradient per
    forward argument (None for non-tensors, indices and gradients nobody asked for).
    """
    def declare(function):
        AUTOGRAD_PAIRS[name] = (backward_operator, setup_context, function)
        return function
    return declare


# ---- double backward --------------------------------------------------------------------------
# The backward operators have no autograd of their own. When a gradient is itself differentiated
# (create_graph=True, a gradient penalty, a Hessian-vector product, torch.func), an operator whose
# backward is multilinear in its inputs differentiates it through a PyTorch expression of its
# forward; every other operator's gradients raise "vrel.<name> does not support double backward"
# as soon as something differentiates them.


def double_backward_message(name: str) -> str:
    return f"vrel.{name} does not support double backward"


def _builds_graph(tensors) -> bool:
    return torch.is_grad_enabled() and any(
        isinstance(t, torch.Tensor) and t.requires_grad for t in tensors)


class _Refuse(torch.autograd.Function):
    """The gradients of a backward operator, tied to what they were computed from (the
    cotangents and saved inputs that require grad) so that differentiating them reaches this
    node, which raises the double-backward error."""

    @staticmethod
    def forward(message, count, *tensors):
        return tuple(t.clone() for t in tensors[:count])

    @staticmethod
    def setup_context(ctx, inputs, output):
        ctx.message = inputs[0]

    @staticmethod
    def backward(ctx, *_grads):
        raise RuntimeError(ctx.message)


def _once_differentiable(name, backward):
    """``backward`` run without recording; if a graph of its results is being built, they raise
    the double-backward error when differentiated."""
    def wrapped(ctx, *grads):
        with torch.no_grad():
            outputs = backward(ctx, *grads)
        anchors = [t for t in (*grads, *ctx.saved_tensors)
                   if isinstance(t, torch.Tensor) and t.requires_grad]
        if not (torch.is_grad_enabled() and anchors):
            return outputs
        single = not isinstance(outputs, tuple)
        outputs = (outputs,) if single else outputs
        slots = [i for i, o in enumerate(outputs) if isinstance(o, torch.Tensor)]
        raising = _Refuse.apply(double_backward_message(name), len(slots),
                                *[outputs[i] for i in slots], *anchors)
        result = list(outputs)
        for i, tensor in zip(slots, raising):
            result[i] = tensor
        return result[0] if single else tuple(result)
    return wrapped


class _MultilinearBackward(torch.autograd.Function):
    """A backward operator's call, differentiable: its vector-Jacobian product is taken through
    ``reference``, the forward written in PyTorch operations (exact for a forward that is
    multilinear in its inputs), so that any order of derivative follows."""

    @staticmethod
    def forward(compute, reference, count, real, *tensors):
        return tuple(compute(*tensors))

    @staticmethod
    def setup_context(ctx, inputs, output):
        _compute, ctx.reference, ctx.count, ctx.real = inputs[:4]
        ctx.save_for_backward(*inputs[4:])

    @staticmethod
    def backward(ctx, *cotangents):
        tensors = ctx.saved_tensors
        needs = ctx.needs_input_grad[4:]
        with torch.enable_grad():
            # Fresh views as the points of differentiation: a derivative taken at a view sees only
            # the paths through it, not those through the cotangent's own history back to the
            # same primal, and it stays connected to that history for higher orders.
            leaves = [t.view_as(t) if t.requires_grad else t.detach().requires_grad_()
                      for t in tensors]
            primals, grads = leaves[:ctx.count], leaves[ctx.count:]
            outputs = ctx.reference(*primals)
            outputs = outputs if isinstance(outputs, tuple) else (outputs,)
            first = torch.autograd.grad(outputs, primals, grads, create_graph=True,
                                        allow_unused=True, materialize_grads=True)
            pairs = [(f, u) for f, u, r in zip(first, cotangents, ctx.real)
                     if r and u is not None and f.requires_grad]
            targets = [t for t, n in zip(leaves, needs) if n]
            if not pairs or not targets:
                return (None,) * (4 + len(tensors))
            second = iter(torch.autograd.grad([f for f, _ in pairs], targets,
                                              [u for _, u in pairs], allow_unused=True,
                                              create_graph=torch.is_grad_enabled()))
        return (None,) * 4 + tuple(next(second) if n else None for n in needs)


def multilinear(compute, reference, primals, grads, real=None):
    """``compute(*primals, *grads)``, the backward operator's gradients; differentiable through
    ``reference(*primals)`` when a graph of them is being built. ``real`` marks the outputs that
    are gradients (False for a [0] placeholder of an unwanted one)."""
    tensors = (*primals, *grads)
    if not _builds_graph(tensors):
        return tuple(compute(*tensors))
    real = tuple(real) if real is not None else (True,) * len(primals)
    return _MultilinearBackward.apply(compute, reference, len(primals), real, *tensors)


def batch_rows(offsets: torch.Tensor, rows: int) -> torch.Tensor:
    """The batch element of each of ``rows`` packed rows."""
    counts = (offsets[1:] - offsets[:-1]).long()
    return torch.repeat_interleave(torch.arange(counts.shape[0], device=offsets.device), counts,
                                   output_size=rows)


def homogeneous(points: torch.Tensor) -> torch.Tensor:
    return torch.cat([points, points.new_ones(points.shape[:-1] + (1,))], dim=-1)


#: operators whose gradients can be differentiated again (multilinear forwards)
DOUBLE_BACKWARD = ("gather_faces", "sample_surface", "transform_points", "interpolate",
                   "blend_shapes", "skin_lbs")

_FUNCTORCH: dict = {}


def _functorch_form(name: str, function):
    """The operator as an autograd.Function with the same setup and backward as its registered
    pairing: torch.func transforms accept it, where they refuse an operator's registered
    autograd."""
    _backward, setup, _function = AUTOGRAD_PAIRS[name]
    op = getattr(ops, name)
    return type(f"Functorch_{name}", (torch.autograd.Function,), {
        "forward": staticmethod(lambda *args: op(*args)),
        "setup_context": staticmethod(setup),
        "backward": staticmethod(function),
    })


def call(name: str, *args):
    """Calls vrel::name; under a torch.func transform a differentiable operator goes through
    its autograd.Function form."""
    form = _FUNCTORCH.get(name)
    if form is not None and torch._C._are_functorch_transforms_active():
        return form.apply(*args)
    return getattr(ops, name)(*args)


def register() -> tuple[list[str], list[str]]:
    """Registers the fake kernels and autograd pairs of every bound operator.

    Returns the forward names that were paired for autograd and those given a fake kernel that
    computes output shapes (not the refusals of :func:`data_dependent`).
    """
    ops.bind_all()
    paired, faked = [], []
    for name, function in FAKES.items():
        if has_kernel(name):
            torch.library.register_fake(f"vrel::{name}", function)
            faked.append(name)
    for name in DATA_DEPENDENT:
        if has_kernel(name):
            torch.library.register_fake(f"vrel::{name}", _refusal(name))
    for name, (backward, setup, function) in AUTOGRAD_PAIRS.items():
        if has_kernel(name) and has_kernel(backward):
            if name not in DOUBLE_BACKWARD:
                function = _once_differentiable(name, function)
            torch.library.register_autograd(f"vrel::{name}", function, setup_context=setup)
            _FUNCTORCH[name] = _functorch_form(name, function)
            paired.append(name)
    return paired, faked


# ---- helpers of the family modules ----------------------------------------------------------

def whole(count: int) -> torch.Tensor:
    """Offsets [0, count]: one batch element holding every row. A row count past int32 cannot be
    an offset: the clamped one is left for the core to refuse."""
    return torch.tensor([0, min(count, 2 ** 31 - 1)], dtype=torch.int32)


def or_whole(offsets, rows: torch.Tensor) -> torch.Tensor:
    """The given offsets, or one batch element holding every row of ``rows``."""
    return whole(len(rows)) if offsets is None else offsets


def batch_count(offsets: torch.Tensor) -> int:
    return max(offsets.shape[0] - 1, 0) if offsets.dim() == 1 else 0


def zeros_if_none(grad, like):
    return torch.zeros_like(like) if grad is None else grad.contiguous()


def wanted(reference, primal, need: bool):
    """A fake gradient: the primal's shape when wanted, else [0], in the reference's dtype."""
    return reference.new_empty(primal.shape if need else (0,))


def like_pair(reference, first, second):
    """Two fake gradients shaped like ``first`` and ``second``."""
    return reference.new_empty(first.shape), reference.new_empty(second.shape)


def save_inputs(ctx, inputs, output):
    """setup_context of the forwards whose backward operator reads every input: saves the tensor
    inputs, and the other inputs as ``ctx.scalars``."""
    ctx.save_for_backward(*[x for x in inputs if isinstance(x, torch.Tensor)])
    ctx.scalars = [x for x in inputs if not isinstance(x, torch.Tensor)]


def needed(grads, needs):
    """The gradients whose inputs need one; None for the others."""
    return tuple(g if n else None for g, n in zip(grads, needs))
