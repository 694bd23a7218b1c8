"""Image operations: normalised Gaussian filter taps and the sRGB transfer.

Both compute in float64 with the core's own exponential and rational powers, so the results are
the same bits on every platform; float32 tensors get the float64 result rounded once.
"""
from __future__ import annotations

from ._registry import ops, fake, autograd

__all__ = ["SRGB_TO_LINEAR", "LINEAR_TO_SRGB", "gaussian_weights", "srgb_transfer"]

SRGB_TO_LINEAR = 0  #: decode sRGB-encoded values to linear light
LINEAR_TO_SRGB = 1  #: encode linear light as sRGB


def gaussian_weights(sigma, radius: int):
    """Normalised 1-D Gaussian filter taps of ``radius`` for each standard deviation.

    ``sigma`` is a float32 or float64 scalar tensor or [N] tensor with every value in [0.1, 32];
    ``radius`` r lies in [0, 32]. Returns [n] or [N, n] taps (n = 2r + 1, same dtype): tap k is
    exp(-((k - r)/sigma)^2 / 2) divided by the sum of all n values (a fixed pairwise sum), so the
    taps are symmetric bit for bit and sum to 1 within rounding. Differentiable in ``sigma``.

    Example::

        >>> w = vrel.gaussian_weights(torch.tensor([1.0, 2.5], dtype=torch.float64), 3)
        >>> w.shape
        torch.Size([2, 7])
    """
    return ops.image_gaussian_weights(sigma, int(radius))


def _save_sigma(ctx, inputs, output):
    sigma, radius = inputs
    ctx.radius = radius
    if ctx.needs_input_grad[0]:
        ctx.save_for_backward(sigma)


@fake("image_gaussian_weights")
def _(sigma, radius):
    return sigma.new_empty(tuple(sigma.shape) + (2 * radius + 1,))


@fake("image_gaussian_weights_backward")
def _(sigma, grad_weights, radius):
    return sigma.new_empty(sigma.shape)


@autograd("image_gaussian_weights", "image_gaussian_weights_backward", _save_sigma)
def _(ctx, grad_weights):
    (sigma,) = ctx.saved_tensors
    return ops.image_gaussian_weights_backward(sigma, grad_weights.contiguous(), ctx.radius), None


def srgb_transfer(input, transfer: int = SRGB_TO_LINEAR):
    """Elementwise sRGB transfer of a float32 or float64 tensor of any shape (finite values).

    ``transfer`` SRGB_TO_LINEAR (0): x <= 0.04045 gives x / 12.92, else ((x + 0.055)/1.055)^2.4;
    LINEAR_TO_SRGB (1): x <= 0.0031308 gives 12.92 x, else 1.055 x^(1/2.4) - 0.055. Returns a
    tensor of the input's shape and dtype. Differentiable in ``input``.

    Example::

        >>> linear = vrel.srgb_transfer(torch.tensor([0.0, 0.5, 1.0]), vrel.SRGB_TO_LINEAR)
        >>> back = vrel.srgb_transfer(linear, vrel.LINEAR_TO_SRGB)  # [0.0, 0.5, 1.0]
    """
    return ops.image_transfer(input, int(transfer))


def _save_input(ctx, inputs, output):
    input, transfer = inputs
    ctx.transfer = transfer
    if ctx.needs_input_grad[0]:
        ctx.save_for_backward(input)


@fake("image_transfer", "image_transfer_backward")
def _(input, *_rest):
    return input.new_empty(input.shape)


@autograd("image_transfer", "image_transfer_backward", _save_input)
def _(ctx, grad_output):
    (input,) = ctx.saved_tensors
    return ops.image_transfer_backward(input, grad_output.contiguous(), ctx.transfer), None
