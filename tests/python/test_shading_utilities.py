"""The shading utilities from PyTorch against plain Python references of their fixed orders, and
the adapter's shape checks."""
from __future__ import annotations

import pytest
import torch

import vrel

F64 = torch.float64


def newton6(x: float) -> float:
    r = 1.5
    for _ in range(6):
        r = (r + x / r) * 0.5
    return r


def robust_unit(v):
    m = max(abs(c) for c in v)
    a, b, c = (x / m for x in v)
    r = newton6(a * a + b * b + c * c)
    return [a / r, b / r, c / r]


def pairwise(values):
    while len(values) > 1:
        values = [values[i] + values[i + 1] for i in range(0, len(values) - 1, 2)] + (
            [values[-1]] if len(values) % 2 else [])
    return values[0] if values else 0.0


def test_unit_newton_and_unit_vectors_follow_their_iterations():
    x = torch.tensor([4.0, 1e-3, 0.5, 3.3], dtype=F64)
    assert vrel.unit_newton(x).tolist() == [newton6(v) for v in x.tolist()]
    rows = torch.tensor([[0, 0, -5], [3e-300, -4e-300, 1e-300], [1, 2, 2]], dtype=F64)
    assert vrel.unit_vectors(rows).tolist() == [robust_unit(r) for r in rows.tolist()]
    assert vrel.unit_vectors(rows)[0].tolist() == [0.0, 0.0, -1.0]


def test_ordered_rgba_adds_rows_in_order():
    big = 2.0 ** 53
    carry = torch.tensor([big, 0.5, 0.0, -1.0], dtype=F64)
    values = torch.tensor([[1, 1, 1, 1], [1, 2, 3, 4], [-big, 0, 0, 0.25]], dtype=F64)
    expected = carry.tolist()
    for row in values.tolist():
        expected = [e + v for e, v in zip(expected, row)]
    assert vrel.ordered_rgba(carry, values).tolist() == expected
    assert vrel.ordered_rgba(carry, values)[0] == 0.0  # ((2^53 + 1) + 1) - 2^53 in row order
    assert vrel.ordered_rgba(carry, torch.zeros(0, 4, dtype=F64)).tolist() == carry.tolist()


def test_delta_brdf_matches_the_reference():
    generator = torch.Generator().manual_seed(3)
    b, d = 3, 5
    normal = torch.randn(b, 3, generator=generator, dtype=F64)
    brdf = torch.rand(b, d, 3, generator=generator, dtype=F64)
    direction = torch.randn(b, d, 3, generator=generator, dtype=F64)
    incoming = torch.rand(b, d, 3, generator=generator, dtype=F64) * 4
    cotangent = torch.randn(b, 3, generator=generator, dtype=F64)
    radiance, gradient = vrel.delta_brdf(normal, brdf, direction, incoming, cotangent)
    for p in range(b):
        n = robust_unit(normal[p].tolist())
        for c in range(3):
            terms = []
            for k in range(d):
                l = direction[p, k].tolist()
                w = max((n[0] * l[0] + n[1] * l[1]) + n[2] * l[2], 0.0)
                terms.append(brdf[p, k, c].item() * incoming[p, k, c].item() * w)
                assert gradient[p, k, c].item() == cotangent[p, c].item() * w * brdf[p, k, c].item()
            assert radiance[p, c].item() == pairwise(terms)


def test_adapter_shape_checks_and_core_domain():
    cases = [
        (lambda: vrel.unit_newton(torch.ones(2, 2, dtype=F64)), "unit Newton shape invalid"),
        (lambda: vrel.unit_vectors(torch.ones(2, 4, dtype=F64)), "unit vectors shape invalid"),
        (lambda: vrel.ordered_rgba(torch.ones(3, dtype=F64), torch.ones(2, 4, dtype=F64)),
         "ordered RGBA shape invalid"),
        (lambda: vrel.delta_brdf(torch.ones(2, 3, dtype=F64), torch.ones(1, 2, 3, dtype=F64),
                                 torch.ones(1, 2, 3, dtype=F64), torch.ones(1, 2, 3, dtype=F64),
                                 torch.ones(1, 3, dtype=F64)), "delta BRDF shape invalid"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError, match=f"^vrel-internal: {message}"):
            call()
    with pytest.raises(RuntimeError, match=r"^vrel-status:1:.*unit Newton input must be finite in \(0,4\]"):
        vrel.unit_newton(torch.tensor([0.0], dtype=F64))
    with pytest.raises(RuntimeError, match="^vrel-status:1:.*curve tensor dtype/rank/device/flags invalid"):
        vrel.unit_newton(torch.ones(3))
    with pytest.raises(RuntimeError, match="^vrel-status:1:.*ordered RGBA count/results invalid"):
        vrel.ordered_rgba(torch.ones(4, dtype=F64), torch.ones(801, 4, dtype=F64))
