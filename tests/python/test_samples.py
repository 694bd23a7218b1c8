"""The sample table (samples.py) drives, for every differentiable operator, the comparison with a
plain PyTorch reference, a float64 gradcheck through the autograd pairing, and opcheck."""
from __future__ import annotations

import pytest
import torch
from torch.autograd import gradcheck

import vrel
from samples import SAMPLES


def _call(name, args, sample):
    out = getattr(torch.ops.vrel, name)(*args)
    out = out if isinstance(out, tuple) else (out,)
    out = tuple(out[k] for k in sample.outputs)
    return sample.select(*out) if sample.select else out


def test_every_paired_operator_has_a_sample():
    assert set(SAMPLES) == set(vrel.AUTOGRAD_OPERATORS)


@pytest.mark.parametrize("name", sorted(n for n, s in SAMPLES.items() if s.reference))
def test_operator_matches_its_reference(name):
    sample = SAMPLES[name]
    args = sample.inputs()
    expected = sample.reference(*args)
    expected = expected if isinstance(expected, tuple) else (expected,)
    for actual, wanted in zip(_call(name, args, sample), expected, strict=True):
        torch.testing.assert_close(actual, wanted)


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_gradcheck(name):
    sample = SAMPLES[name]
    args = list(sample.inputs())

    def function(*differentiable):
        for i, x in zip(sample.differentiable, differentiable):
            args[i] = x
        return _call(name, args, sample)

    inputs = tuple(args[i].detach().requires_grad_() for i in sample.differentiable)
    assert gradcheck(function, inputs, eps=1e-6, atol=sample.atol, rtol=sample.rtol)


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_opcheck(name):
    sample = SAMPLES[name]
    args = list(sample.inputs())
    for i in sample.differentiable:
        args[i] = args[i].detach().requires_grad_()
    torch.library.opcheck(getattr(torch.ops.vrel, name), tuple(args),
                          test_utils=("test_schema", "test_autograd_registration",
                                      "test_faketensor"))
