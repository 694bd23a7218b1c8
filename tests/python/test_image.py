"""The image operators from PyTorch: the transfer against mpmath at 50 digits, the Gaussian taps
against a plain PyTorch reference, float64 gradchecks, opcheck, and the adapter's own checks."""
from __future__ import annotations

import math

import mpmath
import pytest
import torch
from torch.autograd import gradcheck

import vrel

F64 = torch.float64
mpmath.mp.dps = 50


def transfer_reference(x: float, mode: int) -> float:
    """The formulas with the double constants taken exactly, at 50 digits, rounded once."""
    v = mpmath.mpf(x)
    if mode == vrel.SRGB_TO_LINEAR:
        y = v / mpmath.mpf(12.92) if x <= 0.04045 else (
            ((v + mpmath.mpf(0.055)) / mpmath.mpf(1.055)) ** (mpmath.mpf(12) / 5))
    else:
        y = mpmath.mpf(12.92) * v if x <= 0.0031308 else (
            mpmath.mpf(1.055) * v ** (mpmath.mpf(5) / 12) - mpmath.mpf(0.055))
    return float(y)


def ulps(a: float, b: float) -> float:
    return abs(a - b) / math.ulp(max(abs(b), 5e-324))


@pytest.mark.parametrize("mode", [vrel.SRGB_TO_LINEAR, vrel.LINEAR_TO_SRGB])
def test_transfer_matches_mpmath_within_two_ulps(mode):
    generator = torch.Generator().manual_seed(mode)
    x = torch.cat([torch.rand(400, generator=generator, dtype=F64) * 1.2 - 0.1,
                   torch.tensor([0.04045, math.nextafter(0.04045, 1), 0.0031308,
                                 math.nextafter(0.0031308, 1), 1.0, 2.0 ** 425, 1e-300, 7e5],
                                dtype=F64)])
    y = vrel.srgb_transfer(x, mode)
    worst = max(ulps(got, transfer_reference(value, mode))
                for value, got in zip(x.tolist(), y.tolist()))
    assert worst <= 2, worst


def test_transfer_round_trips_and_keeps_float32():
    x = torch.linspace(0, 1, 1001, dtype=F64)
    back = vrel.srgb_transfer(vrel.srgb_transfer(x, vrel.LINEAR_TO_SRGB), vrel.SRGB_TO_LINEAR)
    torch.testing.assert_close(back, x, rtol=4e-16, atol=1e-18)
    x32 = x.float()[:1001].reshape(7, 11, 13)
    y32 = vrel.srgb_transfer(x32, vrel.SRGB_TO_LINEAR)
    assert y32.dtype == torch.float32 and y32.shape == (7, 11, 13)
    assert torch.equal(y32, vrel.srgb_transfer(x32.double(), vrel.SRGB_TO_LINEAR).float())


def test_gaussian_weights_match_the_normalised_exponential():
    sigma = torch.tensor([0.1, 0.7, 3.0, 32.0], dtype=F64)
    w = vrel.gaussian_weights(sigma, 5)
    offsets = torch.arange(-5, 6, dtype=F64)
    expected = torch.exp(-0.5 * (offsets / sigma[:, None]) ** 2)
    expected /= expected.sum(dim=1, keepdim=True)
    torch.testing.assert_close(w, expected, rtol=1e-14, atol=1e-300)
    assert torch.equal(w, w.flip(1))
    assert vrel.gaussian_weights(torch.tensor(2.0), 0).tolist() == [1.0]


def test_gradients_in_float64():
    sigma = torch.tensor([0.4, 1.3, 6.0], dtype=F64, requires_grad=True)
    assert gradcheck(lambda s: vrel.gaussian_weights(s, 4), (sigma,), eps=1e-6, atol=1e-7)
    scalar = torch.tensor(2.2, dtype=F64, requires_grad=True)
    assert gradcheck(lambda s: vrel.gaussian_weights(s, 2), (scalar,), eps=1e-6, atol=1e-7)
    # Away from the segment boundaries, where the derivative jumps.
    x = torch.tensor([[-0.3, 0.002, 0.02], [0.3, 0.8, 1.7]], dtype=F64, requires_grad=True)
    for mode in (vrel.SRGB_TO_LINEAR, vrel.LINEAR_TO_SRGB):
        assert gradcheck(lambda v: vrel.srgb_transfer(v, mode), (x,), eps=1e-7, atol=1e-7)


def test_opcheck():
    sigma = torch.tensor([0.5, 2.0], dtype=F64, requires_grad=True)
    torch.library.opcheck(torch.ops.vrel.image_gaussian_weights.default, (sigma, 3))
    x = torch.rand(3, 4, dtype=F64, requires_grad=True)
    torch.library.opcheck(torch.ops.vrel.image_transfer.default, (x, 1))


def test_adapter_checks():
    with pytest.raises(RuntimeError, match=r"^vrel-internal: Gaussian radius outside \[0,32\]"):
        vrel.gaussian_weights(torch.tensor([1.0]), 33)
    with pytest.raises(RuntimeError, match=r"^vrel-internal: Gaussian radius outside \[0,32\]"):
        torch.ops.vrel.image_gaussian_weights_backward(torch.ones(1), torch.ones(1, 3), -1)
    with pytest.raises(RuntimeError, match="^vrel-internal: Gaussian sigma must be scalar or rank one"):
        vrel.gaussian_weights(torch.ones(2, 2), 1)
    for mode in (2, -1):
        with pytest.raises(RuntimeError, match="^vrel-internal: unknown image transfer mode"):
            vrel.srgb_transfer(torch.ones(3), mode)
    with pytest.raises(RuntimeError, match=r"^vrel-status:1:.*Gaussian sigma outside represented"):
        vrel.gaussian_weights(torch.tensor([0.09]), 2)
    with pytest.raises(RuntimeError, match="^vrel-status:1:.*image floating inputs must be finite"):
        vrel.srgb_transfer(torch.tensor([0.5, float("nan")]), 0)
