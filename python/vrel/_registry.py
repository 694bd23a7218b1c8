"""Registration machinery shared by the family modules (mesh.py, render.py, ...).

A family module declares, beside each wrapper, the fake kernel of every operator it binds
(``@fake``) and the autograd pair of every differentiable forward (``@autograd``). Importing the
package runs :func:`register` once, after all family modules: it gives every bound operator its
fake kernel through ``torch.library.register_fake`` (so that forward and backward passes trace
under ``torch.compile``) and pairs every bound forward with its backward operator through
``torch.library.register_autograd``. The ``_out`` operators mutate caller tensors and get a fake
kernel but no autograd.
"""
from __future__ import annotations

from typing import Callable

import torch

ops = torch.ops.vrel

#: operator name -> fake kernel
FAKES: dict[str, Callable] = {}
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


def register() -> tuple[list[str], list[str]]:
    """Registers the fake kernels and autograd pairs of every bound operator.

    Returns the forward names that were paired for autograd and those given a fake kernel.
    """
    paired, faked = [], []
    for name, function in FAKES.items():
        if has_kernel(name):
            torch.library.register_fake(f"vrel::{name}", function)
            faked.append(name)
    for name, (backward, setup, function) in AUTOGRAD_PAIRS.items():
        if has_kernel(name) and has_kernel(backward):
            torch.library.register_autograd(f"vrel::{name}", function, setup_context=setup)
            paired.append(name)
    return paired, faked


# ---- helpers of the family modules ----------------------------------------------------------

def whole(count: int) -> torch.Tensor:
    """Offsets [0, count]: one batch element holding every row."""
    return torch.tensor([0, count], dtype=torch.int32)


def or_whole(offsets, rows: torch.Tensor) -> torch.Tensor:
    """The given offsets, or one batch element holding every row of ``rows``."""
    return whole(rows.shape[0]) if offsets is None else offsets


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
