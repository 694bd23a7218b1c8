"""Shading operators (float64)."""
from __future__ import annotations

from ._registry import ops, fake

__all__ = ["unit_newton", "unit_vectors", "ordered_rgba", "delta_brdf"]

# ---- shading utilities ----------------------------------------------------------------------
# Small kernels that expose the family's numerical building blocks one by one, with fixed
# orders of operations so that other code can reproduce them bit for bit. Not differentiable
# (delta_brdf returns the gradient with respect to the incoming radiance itself).


def unit_newton(input):
    """Six Newton steps r = (r + x/r) / 2 from r = 1.5 for each x of a float64 [n] tensor.

    Every x must be finite in (0, 4] and n at most 1048576. This is sqrt(x) to rounding only where
    six steps converge (x roughly above 0.2); below that it is the iteration's value, by design.

    Example::

        >>> vrel.unit_newton(torch.tensor([4.0, 2.0], dtype=torch.float64))  # [2.0, 1.41421...]
    """
    return ops.shading_unit_newton(input)


@fake("shading_unit_newton", "shading_unit_vectors")
def _(input):
    return input.new_empty(input.shape)


def unit_vectors(input):
    """Robust unit vectors of the rows of a float64 [n, 3] tensor (finite, not all zero).

    Each row is divided by its largest absolute component before the Newton square root of the
    sum of squares, so tiny and huge vectors normalise without underflow or overflow.

    Example::

        >>> vrel.unit_vectors(torch.tensor([[0.0, 0.0, -5.0]], dtype=torch.float64))  # [[0, 0, -1]]
    """
    return ops.shading_unit_vectors(input)


def ordered_rgba(carry, values):
    """carry [4] plus the rows of values [n, 4] (n <= 800), one row at a time in row order.

    Float64 and finite; returns [4]. The fixed left-to-right order is the point: no pairwise or
    vectorised reordering.

    Example::

        >>> vrel.ordered_rgba(torch.zeros(4, dtype=torch.float64),
        ...                   torch.ones(3, 4, dtype=torch.float64))  # [3, 3, 3, 3]
    """
    return ops.shading_ordered_rgba(carry, values)


@fake("shading_ordered_rgba")
def _(carry, values):
    return carry.new_empty((4,))


def delta_brdf(normal, brdf, direction, incoming, cotangent):
    """Radiance of delta lights through a BRDF, and its gradient in the incoming radiance.

    normal [B,3] (not all zero), brdf [B,D,3] (>= 0), direction [B,D,3] (towards the light, not
    normalised), incoming [B,D,3] (>= 0) and cotangent [B,3], float64 with B <= 128 and D <= 8.
    With n the unit normal and w = max(n . direction, 0), returns
    ``radiance[b,c] = sum_d brdf[b,d,c] * incoming[b,d,c] * w`` (a fixed pairwise sum over d) and
    ``incoming_gradient[b,d,c] = cotangent[b,c] * w * brdf[b,d,c]``. Lights below the surface
    contribute 0 and get a 0 gradient.

    Example::

        >>> radiance, gradient = vrel.delta_brdf(normal, brdf, direction, incoming, cotangent)
    """
    return ops.shading_delta_brdf(normal, brdf, direction, incoming, cotangent)


@fake("shading_delta_brdf")
def _(normal, brdf, direction, incoming, cotangent):
    return normal.new_empty((brdf.shape[0], 3)), normal.new_empty(tuple(brdf.shape))

# ---- end of the shading utilities -----------------------------------------------------------
