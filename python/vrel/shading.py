"""Shading: a principled BRDF with its exact Jacobian, and the loss curves that drive its diffuse
term.

Everything is float64. A loss curve describes, for one value of a material coordinate u in
[0, 1], the energy that the specular lobe loses as two channels (Fresnel reflectance 0 and 1) of
the cosine on a logarithmic cosine axis; :func:`loss_curve` makes the rows, :func:`loss_query`
looks them up and integrates their cosine-weighted means, and the principled functions consume
them. The derivative in roughness flows through the curves as their u-derivative (the ``partial``
rows) divided by ``width``, the span of roughness that u covers (u = (roughness - r0) / width).
:func:`opaque_samples` and :func:`opaque_albedo` shade the nodes of the opaque quadrature with the
same BRDF and integrate them per pixel.

Example: curves at u(roughness), their means, and the BRDF of one point lit by two lights, with
gradients in roughness through the whole chain.

    >>> f64 = torch.float64
    >>> logs = torch.tensor([-2.0, -1.0, 0.0], dtype=f64)
    >>> cn = logs.exp()
    >>> controls = torch.full((1, 7, 4), -0.5, dtype=f64)
    >>> controls[:, 1:6:2] -= 0.7                         # channel 1 below channel 0
    >>> roughness = torch.tensor([0.5], dtype=f64, requires_grad=True)
    >>> u = (roughness - 0.2) / 0.8                       # width 0.8
    >>> curve, partial = vrel.loss_curve(logs, controls, u)
    >>> none = torch.zeros(0, dtype=f64)
    >>> _, mean = vrel.loss_query(cn, logs, vrel.loss_weights(logs), curve, partial, none,
    ...                           torch.zeros(0, dtype=torch.int32), u=u)
    >>> z = torch.tensor([[0.0, 0.0, 1.0]], dtype=f64)
    >>> output, jacobian = vrel.principled_groups(
    ...     cn, logs, curve, partial, mean, torch.tensor([0.8], dtype=f64), z, z,
    ...     torch.tensor([[[0.3, 0.0, 1.0], [0.0, 0.5, 1.0]]], dtype=f64),
    ...     torch.full((1, 3), 0.5, dtype=f64), roughness, torch.full((1, 3), 0.04, dtype=f64))
    >>> output.shape, jacobian.shape
    (torch.Size([1, 2, 3]), torch.Size([1, 2, 3, 16]))
    >>> output.sum().backward()                           # roughness.grad includes the curves
"""
from __future__ import annotations

import torch

from ._registry import autograd, fake, ops

__all__ = ["loss_curve", "loss_weights", "loss_query", "principled_pairs", "principled_groups",
           "principled_shared_groups", "unit_newton", "unit_vectors", "ordered_rgba", "delta_brdf",
           "opaque_samples", "opaque_albedo"]


def _row_length(nodes: int) -> int:
    return 10 * nodes - 6


# ---- loss curves ----------------------------------------------------------------------------

def loss_curve(axis, controls, u):
    """Loss-curve rows for B coordinates u.

    Args:
        axis: [N] float64 log-cosine axis, each <= 0 and strictly increasing (1 <= N <= 512).
        controls: [B, 2N+1, 4] float64, per row 2N+1 cubic Bezier quadruples over u of the
            logarithm of the node values (channel 0 and 1 per node, then channel 0 at cosine 0),
            each in [-745, 0].
        u: [B] float64 in [0, 1], B <= 32.

    Returns:
        (curve, partial), both [B, 10N-6]: node values, values at cosine 0 and the cubic Bezier
        segments between nodes (monotone where the node values are), and their exact derivative
        in u. Differentiable in ``u`` through ``curve``; ``partial`` is itself a derivative and
        carries no gradient.

    Example:
        >>> axis = torch.tensor([-2.0, -1.0, 0.0], dtype=torch.float64)
        >>> controls = torch.full((1, 7, 4), -0.5, dtype=torch.float64)
        >>> curve, partial = vrel.loss_curve(axis, controls, torch.tensor([0.3], dtype=torch.float64))
        >>> curve.shape
        torch.Size([1, 24])
    """
    return ops.shading_loss_curve(axis, controls, u)


@fake("shading_loss_curve")
def _(axis, controls, u):
    shape = (u.shape[0], _row_length(axis.shape[0]))
    return u.new_empty(shape), u.new_empty(shape)


@fake("shading_loss_curve_backward")
def _(partial, gradient):
    return partial.new_empty((partial.shape[0],))


def _setup_loss_curve(ctx, inputs, output):
    ctx.mark_non_differentiable(output[1])
    ctx.save_for_backward(output[1] if ctx.needs_input_grad[2] else None)


@autograd("shading_loss_curve", "shading_loss_curve_backward", _setup_loss_curve)
def _(ctx, grad_curve, _grad_partial):
    (partial,) = ctx.saved_tensors
    if partial is None or grad_curve is None:
        return None, None, None
    return None, None, ops.shading_loss_curve_backward(partial, grad_curve.contiguous())


def loss_weights(logs, order: int = 24):
    """The ``weights`` [N-1, 4] of :func:`loss_query` for the log-cosine axis ``logs`` [N]:
    weights[k, l] = integral over t in [0, 1] of the cubic Bernstein polynomial l times
    (mu(t) / cn[k+1])^2, mu(t) = exp(logs[k] + t (logs[k+1] - logs[k])), by Gauss-Legendre
    quadrature of the given order (exact to rounding for the usual axes).

    Example: the four Bernstein weights of a segment sum to the integral of (mu / cn[k+1])^2,
    (1 - exp(-2 d)) / (2 d) for a segment of length d on the log axis.

        >>> logs = torch.tensor([-2.0, -1.0, 0.0], dtype=torch.float64)
        >>> weights = vrel.loss_weights(logs)
        >>> weights.shape
        torch.Size([2, 4])
        >>> torch.allclose(weights.sum(1), (1 - torch.tensor(-2.0).exp().double()) / 2)
        True
    """
    k = torch.arange(1, order, dtype=torch.float64)
    beta = k / torch.sqrt(4 * k * k - 1)
    nodes, vectors = torch.linalg.eigh(torch.diag(beta, 1) + torch.diag(beta, -1))
    t = (nodes + 1) / 2                     # Golub-Welsch nodes and weights moved to [0, 1]
    w = vectors[0] ** 2
    s = 1 - t
    basis = torch.stack([s ** 3, 3 * s * s * t, 3 * s * t * t, t ** 3], dim=-1)
    d = (logs[1:] - logs[:-1]).to(torch.float64)
    decay = torch.exp(2 * (t[None, :] - 1) * d[:, None])
    return torch.einsum("i,il,ki->kl", w, basis, decay).to(logs.dtype)


def loss_query(cn, logs, weights, curve, partial, cosine, owners, u=None):
    """Looks loss curves up at Q cosines and integrates the cosine-weighted mean of every row.

    Args:
        cn, logs: [N] cosine nodes (strictly increasing in (0, 1], the last exactly 1) and their
            logarithms.
        weights: [N-1, 4] non-negative, from :func:`loss_weights`.
        curve, partial: [B, 10N-6] rows from :func:`loss_curve`.
        cosine: [Q] float64 in [0, 1]; owners: [Q] int32 row of each query (Q <= 1056).
        u: [B], the coordinates that made the rows, through which gradients flow in u; required
            when the rows require grad (the rows themselves receive no gradient).

    Returns:
        (query [Q, 6], mean [B, 4]): per query the two channel values, their u-derivatives and
        their slopes in the cosine; per row the integrals of 2 mu E(mu) over [0, 1] of both
        channels and of both partial channels. Differentiable in ``cosine`` and, when given, in
        ``u``, through the value columns 0 and 1 of both outputs (the other columns are
        derivatives and carry no gradient).

    Example: rows whose node values are all the same give that value back at any cosine, with
    zero slope, and (channel 0, which also holds it at cosine 0) as their cosine-weighted mean;
    the whole chain, with gradients in u, is in ``help(vrel.shading)``.

        >>> f64 = torch.float64
        >>> logs = torch.tensor([-2.0, -1.0, 0.0], dtype=f64)
        >>> controls = torch.full((1, 7, 4), -0.5, dtype=f64)
        >>> curve, partial = vrel.loss_curve(logs, controls, torch.tensor([0.3], dtype=f64))
        >>> query, mean = vrel.loss_query(logs.exp(), logs, vrel.loss_weights(logs), curve,
        ...                               partial, torch.tensor([0.25, 1.0], dtype=f64),
        ...                               torch.zeros(2, dtype=torch.int32))
        >>> value = torch.tensor(-0.5, dtype=f64).exp()
        >>> torch.allclose(query[:, :2], value), bool((query[:, 4:] == 0).all())
        (True, True)
        >>> torch.allclose(mean[:, 0], value)
        True
    """
    if u is None:
        if torch.is_grad_enabled() and (curve.requires_grad or partial.requires_grad):
            raise ValueError("loss_query differentiates in the u that made the rows, not in the "
                             "rows: pass u=...")
        return ops.shading_loss_query(cn, logs, weights, curve, partial, cosine, owners)
    return _LossQueryInU.apply(cn, logs, weights, curve.detach(), partial.detach(), cosine,
                               owners, u)


@fake("shading_loss_query")
def _(cn, logs, weights, curve, partial, cosine, owners):
    return curve.new_empty((cosine.shape[0], 6)), curve.new_empty((curve.shape[0], 4))


@fake("shading_loss_query_backward")
def _(query, mean, owners, gradient, mean_gradient):
    return query.new_empty((query.shape[0],)), query.new_empty((mean.shape[0],))


def _query_backward(query, mean, owners, grad_query, grad_mean):
    """The core's backward on the value columns: (cosine gradient, u gradient)."""
    g = torch.zeros_like(query[:, :2]) if grad_query is None else grad_query[:, :2].contiguous()
    m = torch.zeros_like(mean[:, :2]) if grad_mean is None else grad_mean[:, :2].contiguous()
    return ops.shading_loss_query_backward(query, mean, owners, g, m)


def _setup_loss_query(ctx, inputs, output):
    ctx.save_for_backward(*((output[0], output[1], inputs[6]) if ctx.needs_input_grad[5] else ()))


# The operator itself differentiates in the cosines; the rows receive no gradient (the core's
# backward gives the gradient in u instead, which loss_query(..., u=u) routes to u).
@autograd("shading_loss_query", "shading_loss_query_backward", _setup_loss_query)
def _(ctx, grad_query, grad_mean):
    if not ctx.needs_input_grad[5]:
        return (None,) * 7
    query, mean, owners = ctx.saved_tensors
    cosine_grad, _u = _query_backward(query, mean, owners, grad_query, grad_mean)
    return (None,) * 5 + (cosine_grad, None)


class _LossQueryInU(torch.autograd.Function):
    """The loss query with the coordinates u as an input, so that the u gradient of the core's
    backward reaches them (the rows themselves receive none)."""

    @staticmethod
    def forward(ctx, cn, logs, weights, curve, partial, cosine, owners, u):
        query, mean = ops.shading_loss_query(cn, logs, weights, curve, partial, cosine, owners)
        ctx.save_for_backward(query, mean, owners)
        return query, mean

    @staticmethod
    def backward(ctx, grad_query, grad_mean):
        query, mean, owners = ctx.saved_tensors
        cosine_grad, u_grad = _query_backward(query, mean, owners, grad_query, grad_mean)
        needs = ctx.needs_input_grad
        return ((None,) * 5 + (cosine_grad if needs[5] else None, None,
                               u_grad if needs[7] else None))


# ---- principled BRDF ------------------------------------------------------------------------

_PRINCIPLED_DOC = """{summary}

    Args:
        cn, logs: [N] cosine nodes and their logarithms, as for :func:`loss_query`.
        curve, partial: [{rows}, 10N-6] loss-curve rows and their u-derivatives.
        mean: [{rows}, 4] the row means from :func:`loss_query` (columns 0 and 1 in (0, 1],
            column 1 at most column 0; columns 2 and 3 their u-derivatives).
        width: [{rows}] positive: the span of roughness that u covers, d roughness / du.
        normal, view: [P, 3] shading normal and direction towards the viewer.
        light: [P, L, 3] directions towards the lights (L <= 1024, P*L <= 1024).
        albedo, f0: [P, 3] in [0, 1]; roughness: [P] in (0, 1].
        two_sided: flip the normal towards the viewer.
        derivatives: also compute the Jacobian; None (default) computes it when a gradient is
            needed.

    Returns:
        (output [P, L, 3], jacobian [P, L, 3, 16], or [0] without derivatives): the BRDF per
        channel (no cosine factor; exactly 0 for a light or view below the surface) and
        d output / d (normal xyz, view xyz, light xyz, albedo rgb, roughness, f0 rgb).
        Differentiable in normal, view, light, albedo, roughness and f0 through the Jacobian;
        the roughness gradient already contains the dependence of the curves and means on
        roughness, so the curve inputs receive none.

    Example: one point lit from above and from below the surface (the whole chain, with
    gradients in roughness, is in ``help(vrel.shading)``).

        >>> f64 = torch.float64
        >>> logs = torch.tensor([-2.0, -1.0, 0.0], dtype=f64)
        >>> cn, u = logs.exp(), torch.tensor([0.375], dtype=f64)
        >>> curve, partial = vrel.loss_curve(logs, torch.full((1, 7, 4), -0.5, dtype=f64), u)
        >>> _, mean = vrel.loss_query(cn, logs, vrel.loss_weights(logs), curve, partial,
        ...                           torch.zeros(0, dtype=f64), torch.zeros(0, dtype=torch.int32))
        >>> z = torch.tensor([[0.0, 0.0, 1.0]], dtype=f64)
        >>> light = torch.tensor([[[0.3, 0.0, 1.0], [0.0, 0.0, -1.0]]], dtype=f64)
        >>> output, jacobian = vrel.{name}(
        ...     cn, logs, curve, partial, mean, torch.tensor([0.8], dtype=f64), z, z, light,
        ...     torch.full((1, 3), 0.5, dtype=f64), torch.tensor([0.5], dtype=f64),
        ...     torch.full((1, 3), 0.04, dtype=f64))
        >>> bool((output[0, 0] > 0).all()), output[0, 1].tolist()
        (True, [0.0, 0.0, 0.0])
        >>> jacobian.shape                        # nothing needs a gradient: no Jacobian
        torch.Size([0])
    """


def _principled(op, name, rows, summary):
    def wrapper(cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0,
                two_sided: bool = False, derivatives: bool | None = None):
        if derivatives is None:
            derivatives = torch.is_grad_enabled() and any(
                t.requires_grad for t in (normal, view, light, albedo, roughness, f0))
        return op(cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness,
                  f0, bool(two_sided), bool(derivatives))
    wrapper.__name__ = wrapper.__qualname__ = name
    wrapper.__doc__ = _PRINCIPLED_DOC.format(summary=summary, rows=rows, name=name)
    return wrapper


principled_pairs = _principled(
    ops.shading_principled_pairs, "principled_pairs", "P",
    "Principled BRDF of every (point, light) pair, one curve row per point; P <= 8 (4 with "
    "derivatives).")
principled_groups = _principled(
    ops.shading_principled_groups, "principled_groups", "P",
    "Principled BRDF of every (point, light) pair, one curve row per point; P <= 128.")
principled_shared_groups = _principled(
    ops.shading_principled_shared_groups, "principled_shared_groups", "1",
    "Principled BRDF of every (point, light) pair, one curve row shared by all points; "
    "P <= 128.")


@fake("shading_principled_pairs", "shading_principled_groups", "shading_principled_shared_groups")
def _(cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0,
      two_sided, derivatives):
    p, l = normal.shape[0], light.shape[1]
    return (normal.new_empty((p, l, 3)),
            normal.new_empty((p, l, 3, 16) if derivatives else (0,)))


@fake("shading_principled_pairs_backward", "shading_principled_groups_backward")
def _(jacobian, gradient):
    return jacobian.new_empty((jacobian.shape[0], 16)), jacobian.new_empty(gradient.shape)


def _setup_principled(ctx, inputs, output):
    ctx.derivatives = inputs[13]
    ctx.mark_non_differentiable(output[1])
    ctx.save_for_backward(output[1] if any(ctx.needs_input_grad[6:12]) else None)


def _principled_backward(backward):
    def function(ctx, grad_output, _grad_jacobian):
        (jacobian,) = ctx.saved_tensors
        if jacobian is None or grad_output is None:
            return (None,) * 14
        if not ctx.derivatives:
            raise RuntimeError("gradients of the principled BRDF need derivatives=True "
                               "(the Jacobian)")
        point, light = backward(jacobian, grad_output.contiguous())
        grads = (point[:, 0:3], point[:, 3:6], light, point[:, 9:12], point[:, 12],
                 point[:, 13:16])
        needs = ctx.needs_input_grad[6:12]
        return ((None,) * 6 + tuple(g if n else None for g, n in zip(grads, needs)) +
                (None, None))
    return function


autograd("shading_principled_pairs", "shading_principled_pairs_backward", _setup_principled)(
    _principled_backward(ops.shading_principled_pairs_backward))
autograd("shading_principled_groups", "shading_principled_groups_backward", _setup_principled)(
    _principled_backward(ops.shading_principled_groups_backward))
autograd("shading_principled_shared_groups", "shading_principled_groups_backward",
         _setup_principled)(_principled_backward(ops.shading_principled_groups_backward))


# ---- shading utilities ----------------------------------------------------------------------
# Small kernels that expose the family's numerical building blocks one by one, with fixed
# orders of operations so that other code can reproduce them bit for bit. Not differentiable
# (delta_brdf returns the gradient with respect to the incoming radiance itself).


def unit_newton(input):
    """Six Newton steps r = (r + x/r) / 2 from r = 1.5 for each x of a float64 [n] tensor.

    Every x must be finite in (0, 4] and n at most 1048576. This is sqrt(x) to rounding only where
    six steps converge (x roughly above 0.2); below that it is the iteration's value, by design.

    Example:
        >>> vrel.unit_newton(torch.tensor([4.0, 2.0], dtype=torch.float64)).tolist()
        [2.0, 1.414213562373095]
    """
    return ops.shading_unit_newton(input)


@fake("shading_unit_newton", "shading_unit_vectors")
def _(input):
    return input.new_empty(input.shape)


def unit_vectors(input):
    """Robust unit vectors of the rows of a float64 [n, 3] tensor (finite, not all zero).

    Each row is divided by its largest absolute component before the Newton square root of the
    sum of squares, so tiny and huge vectors normalise without underflow or overflow.

    Example:
        >>> vrel.unit_vectors(torch.tensor([[0.0, 0.0, -5.0]], dtype=torch.float64)).tolist()
        [[0.0, 0.0, -1.0]]
    """
    return ops.shading_unit_vectors(input)


def ordered_rgba(carry, values):
    """carry [4] plus the rows of values [n, 4] (n <= 800), one row at a time in row order.

    Float64 and finite; returns [4]. The fixed left-to-right order is the point: no pairwise or
    vectorised reordering.

    Example:
        >>> vrel.ordered_rgba(torch.zeros(4, dtype=torch.float64),
        ...                   torch.ones(3, 4, dtype=torch.float64)).tolist()
        [3.0, 3.0, 3.0, 3.0]
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

    Example (one light overhead, one below the surface):
        >>> f64 = torch.float64
        >>> normal = torch.tensor([[0.0, 0.0, 2.0]], dtype=f64)
        >>> direction = torch.tensor([[[0.0, 0.0, 1.0], [0.0, 0.0, -1.0]]], dtype=f64)
        >>> brdf = torch.full((1, 2, 3), 0.5, dtype=f64)
        >>> incoming = torch.ones(1, 2, 3, dtype=f64)
        >>> radiance, gradient = vrel.delta_brdf(normal, brdf, direction, incoming,
        ...                                      torch.ones(1, 3, dtype=f64))
        >>> radiance.tolist(), gradient[0, :, 0].tolist()
        ([[0.5, 0.5, 0.5]], [0.5, 0.0])
    """
    return ops.shading_delta_brdf(normal, brdf, direction, incoming, cotangent)


@fake("shading_delta_brdf")
def _(normal, brdf, direction, incoming, cotangent):
    return normal.new_empty((brdf.shape[0], 3)), normal.new_empty(tuple(brdf.shape))

# ---- end of the shading utilities -----------------------------------------------------------


# ---- shading at the opaque quadrature's nodes -----------------------------------------------


def opaque_samples(owners, q, world, faces, clip, normals, camera, cn, logs, curve, partial, mean,
                   width, albedo, roughness, f0, direction, incoming):
    """Principled shading at the nodes of the opaque quadrature, per node and per pixel.

    Every used slot of C pixels (1 <= C <= 16, 800 slots each) is lifted to its owner face's
    surface with perspective-correct barycentrics (the screen barycentrics divided by each
    corner's clip w, renormalised); the principled BRDF (one-sided) is evaluated there for one
    directional light, with the view towards ``camera``; the node weights integrate the result.

    Args:
        owners: [C, 800] int32 owner face per slot, -1 for an empty slot (the quadrature's output).
        q: [C, 800, 4] float64 (l0, l1, l2, weight) per slot: screen barycentrics and the weight
            in pixel-area units (the quadrature's output).
        world: [V, 3] world positions; faces: [F, 3] int32; clip: [V, 4] clip-space positions
            (only w is read; positive at the corners of owner faces); normals: [F, 3, 3] corner
            normals; camera: [3] the camera position.
        cn, logs, curve, partial, mean, width: one loss-curve row ([N], [N], [1, 10N-6],
            [1, 10N-6], [1, 4], [1]) as for :func:`principled_shared_groups`.
        albedo, roughness, f0: [3], [1], [3], one material for every face.
        direction: [3] towards the light (any length); incoming: [3] its radiance (>= 0).

    Returns:
        (node_samples [C, 800, 4], pixel_results [C, 4]): per slot the shaded radiance
        ``brdf * incoming * max(n . l, 0)`` times the weight in channels 0-2 and the weight in
        channel 3 (zeros for empty slots); per pixel the pairwise sums of those over the 800
        slots: the pixel colour and the visible area. Not differentiable; :func:`opaque_albedo`
        gives the albedo gradient.

    Example: one node at the centroid of a triangle facing the camera, weight 1, lit from the
    camera's side:
        >>> f64 = torch.float64
        >>> world = torch.tensor([[-1.0, -1.0, -2.0], [1.0, -1.0, -2.0], [0.0, 1.0, -2.0]],
        ...                      dtype=f64)
        >>> clip = torch.cat([world, torch.full((3, 1), 2.0, dtype=f64)], 1)  # w = 2
        >>> normals = torch.tensor([0.0, 0.0, 1.0], dtype=f64).expand(1, 3, 3).contiguous()
        >>> owners = torch.full((1, 800), -1, dtype=torch.int32)
        >>> owners[0, 0] = 0
        >>> q = torch.zeros(1, 800, 4, dtype=f64)
        >>> q[0, 0] = torch.tensor([1 / 3, 1 / 3, 1 / 3, 1.0])
        >>> curve = torch.tensor([[0.9, 0.5, 0.9, 0.5]], dtype=f64)       # N = 1: flat curve
        >>> samples, pixels = vrel.opaque_samples(
        ...     owners, q, world, torch.tensor([[0, 1, 2]], dtype=torch.int32), clip, normals,
        ...     torch.zeros(3, dtype=f64), torch.ones(1, dtype=f64), torch.zeros(1, dtype=f64),
        ...     curve, torch.zeros_like(curve), torch.tensor([[0.9, 0.5, 0.0, 0.0]], dtype=f64),
        ...     torch.ones(1, dtype=f64), torch.full((3,), 0.5, dtype=f64),
        ...     torch.tensor([0.5], dtype=f64), torch.full((3,), 0.04, dtype=f64),
        ...     torch.tensor([0.0, 0.0, 1.0], dtype=f64), torch.ones(3, dtype=f64))
        >>> samples.shape, pixels.shape, pixels[0, 3].item()
        (torch.Size([1, 800, 4]), torch.Size([1, 4]), 1.0)
        >>> bool((pixels[0, :3] == samples[0, 0, :3]).all())   # one node: its sample
        True
    """
    return ops.shading_opaque_samples(owners, q, world, faces, clip, normals, camera, cn, logs,
                                      curve, partial, mean, width, albedo, roughness, f0,
                                      direction, incoming)


def opaque_albedo(owners, q, world, faces, clip, normals, camera, cn, logs, curve, partial, mean,
                  width, albedo, roughness, f0, direction, incoming, cotangent):
    """:func:`opaque_samples` and the albedo gradient of the pixel colours.

    ``cotangent`` [C, 3] weights the pixel colours (channels 0-2 of the pixel results). Returns
    (node_samples [C, 800, 4], pixel_results [C, 4], albedo_gradient [C, 3]), the first two as
    :func:`opaque_samples` gives them. Albedo channel c acts on colour channel c alone, so
    ``albedo_gradient[p, c] = cotangent[p, c] * d colour[p, c] / d albedo[c]``, the derivative
    taken exactly from the BRDF's Jacobian; ``albedo_gradient.sum(0)`` is the gradient of
    ``(cotangent * colour).sum()`` with respect to ``albedo``.

    Example: the gradient of the summed colour of the single-node pixel of :func:`opaque_samples`;
    the colour is linear in albedo, so a step of the albedo moves it by step times the gradient.
        >>> f64 = torch.float64
        >>> world = torch.tensor([[-1.0, -1.0, -2.0], [1.0, -1.0, -2.0], [0.0, 1.0, -2.0]],
        ...                      dtype=f64)
        >>> clip = torch.cat([world, torch.full((3, 1), 2.0, dtype=f64)], 1)
        >>> normals = torch.tensor([0.0, 0.0, 1.0], dtype=f64).expand(1, 3, 3).contiguous()
        >>> owners = torch.full((1, 800), -1, dtype=torch.int32)
        >>> owners[0, 0] = 0
        >>> q = torch.zeros(1, 800, 4, dtype=f64)
        >>> q[0, 0] = torch.tensor([1 / 3, 1 / 3, 1 / 3, 1.0])
        >>> curve = torch.tensor([[0.9, 0.5, 0.9, 0.5]], dtype=f64)
        >>> def shade(albedo):
        ...     return vrel.opaque_albedo(
        ...         owners, q, world, torch.tensor([[0, 1, 2]], dtype=torch.int32), clip, normals,
        ...         torch.zeros(3, dtype=f64), torch.ones(1, dtype=f64), torch.zeros(1, dtype=f64),
        ...         curve, torch.zeros_like(curve), torch.tensor([[0.9, 0.5, 0, 0]], dtype=f64),
        ...         torch.ones(1, dtype=f64), albedo, torch.tensor([0.5], dtype=f64),
        ...         torch.full((3,), 0.04, dtype=f64), torch.tensor([0.0, 0.0, 1.0], dtype=f64),
        ...         torch.ones(3, dtype=f64), torch.ones(1, 3, dtype=f64))
        >>> _, pixels, gradient = shade(torch.full((3,), 0.5, dtype=f64))
        >>> _, moved, _ = shade(torch.full((3,), 0.6, dtype=f64))
        >>> torch.allclose(moved[0, :3] - pixels[0, :3], 0.1 * gradient[0])
        True
    """
    return ops.shading_opaque_albedo(owners, q, world, faces, clip, normals, camera, cn, logs,
                                     curve, partial, mean, width, albedo, roughness, f0,
                                     direction, incoming, cotangent)


@fake("shading_opaque_samples")
def _(owners, q, *rest):
    return q.new_empty((q.shape[0], 800, 4)), q.new_empty((q.shape[0], 4))


@fake("shading_opaque_albedo")
def _(owners, q, *rest):
    return (q.new_empty((q.shape[0], 800, 4)), q.new_empty((q.shape[0], 4)),
            q.new_empty((q.shape[0], 3)))
