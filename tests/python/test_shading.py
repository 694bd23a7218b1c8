"""The shading family from PyTorch: loss curves, queries and the principled BRDF against plain
PyTorch references, float64 gradchecks through vrel's autograd pairing (the roughness through the
whole curve chain), and the adapter-side checks."""
from __future__ import annotations

import math

import pytest
import torch
from torch.autograd import gradcheck

import vrel

F64 = torch.float64
ROUGHNESS_0, WIDTH = 0.2, 0.8  # u = (roughness - 0.2) / 0.8


def bernstein(t):
    s = 1 - t
    return torch.stack([s ** 3, 3 * s * s * t, 3 * s * t * t, t ** 3], dim=-1)


def axis_of(nodes=5):
    x = torch.linspace(0, 1, nodes, dtype=F64)
    logs = -3.0 * (1 - x) * (1 - 0.4 * x)
    logs[-1] = 0.0
    cn = logs.exp()
    cn[-1] = 1.0
    return cn, logs


def controls_of(batch, nodes, seed=0):
    g = torch.Generator().manual_seed(seed)
    x = torch.linspace(0, 1, nodes, dtype=F64).repeat_interleave(2)
    base = torch.cat([-0.1 - 1.2 * (1 - x) ** 2, torch.tensor([-1.8], dtype=F64)])
    c = base[None, :, None] - 0.3 * torch.rand(batch, 2 * nodes + 1, 4, generator=g, dtype=F64)
    c[:, 1:2 * nodes:2] = c[:, 0:2 * nodes:2] - math.log(2.0)  # channel 1 = channel 0 halved
    return c


def weights_of(logs):
    """weights[k, l]: Bernstein l times (mu / cn[k+1])^2 over interval k (Gauss-Legendre)."""
    import numpy
    x, w = numpy.polynomial.legendre.leggauss(24)
    t = torch.tensor((x + 1) / 2, dtype=F64)
    w = torch.tensor(w / 2, dtype=F64)
    d = logs[1:] - logs[:-1]
    decay = torch.exp(2 * (t[None, :] - 1) * d[:, None])  # (mu / cn[k+1])^2 at the nodes
    return torch.einsum("i,il,ki->kl", w, bernstein(t), decay)


def test_loss_weights_and_the_module_example():
    _, logs = axis_of(7)
    torch.testing.assert_close(vrel.loss_weights(logs), weights_of(logs), rtol=1e-14, atol=0)
    import doctest
    import importlib
    module = importlib.import_module("vrel.shading")
    result = doctest.testmod(module, extraglobs={"torch": torch, "vrel": vrel})
    assert result.failed == 0 and result.attempted >= 10


def lookup(cn, logs, row, mu):
    """Both channels of a curve row at cosines mu (plain PyTorch)."""
    n = cn.shape[0]
    linear = row[2 * n:2 * n + 2] + (row[0:2] - row[2 * n:2 * n + 2]) * (mu / cn[0])[:, None]
    if n == 1:
        return linear
    c = (torch.searchsorted(cn, mu, right=True) - 1).clamp(0, n - 2)
    t = ((torch.log(mu.clamp_min(1e-300)) - logs[c]) / (logs[c + 1] - logs[c]))
    controls = row[2 * n + 2:].reshape(n - 1, 4, 2)[c]
    bez = (bernstein(t)[..., None] * controls).sum(dim=1)
    return torch.where((mu < cn[0])[:, None], linear, bez)


def chain(roughness, batch_nodes=5, seed=0):
    """Curves and means at u(roughness), as the principled functions consume them."""
    cn, logs = axis_of(batch_nodes)
    u = (roughness - ROUGHNESS_0) / WIDTH
    curve, partial = vrel.loss_curve(logs, controls_of(u.shape[0], batch_nodes, seed), u)
    empty = torch.zeros(0, dtype=F64)
    _query, mean = vrel.loss_query(cn, logs, weights_of(logs), curve, partial, empty,
                                   torch.zeros(0, dtype=torch.int32), u=u)
    return cn, logs, curve, partial, mean, torch.full((u.shape[0],), WIDTH, dtype=F64)


def scene(points=3, lights=2, seed=1):
    g = torch.Generator().manual_seed(seed)
    def up(*shape, spread=1.0):
        v = (torch.rand(*shape, 3, generator=g, dtype=F64) - 0.5) * spread
        v[..., 2] = v[..., 2].abs() + 0.5
        return v
    return dict(normal=up(points, spread=0.5), view=up(points, spread=2.0),
                light=up(points, lights, spread=2.0),
                albedo=torch.rand(points, 3, generator=g, dtype=F64),
                roughness=0.3 + 0.6 * torch.rand(points, generator=g, dtype=F64),
                f0=0.3 * torch.rand(points, 3, generator=g, dtype=F64))


def reference_brdf(cn, logs, curve, mean, s):
    n = torch.nn.functional.normalize(s["normal"], dim=-1)[:, None]
    v = torch.nn.functional.normalize(s["view"], dim=-1)[:, None]
    l = torch.nn.functional.normalize(s["light"], dim=-1)
    h = torch.nn.functional.normalize(v + l, dim=-1)
    shape = l.shape[:2]
    nv, nl = (n * v).sum(-1).expand(shape), (n * l).sum(-1)
    nh, vh = (n * h).sum(-1).clamp(max=1), (v * h).sum(-1).clamp(max=1)
    a2 = s["roughness"][:, None] ** 4
    d = a2 / (math.pi * (nh * nh * (a2 - 1) + 1) ** 2)
    vis = 0.5 / (nl * torch.sqrt(nv * nv * (1 - a2) + a2) + nv * torch.sqrt(nl * nl * (1 - a2) + a2))
    out = torch.zeros(*shape, 3, dtype=F64)
    for p in range(shape[0]):
        ev, el = lookup(cn, logs, curve[p], nv[p].clamp(0, 1)), lookup(cn, logs, curve[p], nl[p].clamp(0, 1))
        f = s["f0"][p]
        mix = lambda e: (1 - f) * e[:, 0:1] + f * e[:, 1:2]
        fresnel = f + (1 - f) * (1 - vh[p])[:, None] ** 5
        out[p] = (s["albedo"][p] * mix(ev) * mix(el) / (math.pi * ((1 - f) * mean[p, 0] + f * mean[p, 1]))
                  + (d * vis)[p][:, None] * fresnel)
    return torch.where(((nv > 0) & (nl > 0))[..., None], out, torch.zeros_like(out))


def test_loss_curve_query_and_means_match_plain_pytorch():
    cn, logs = axis_of(6)
    u = torch.tensor([0.25, 0.8], dtype=F64)
    curve, partial = vrel.loss_curve(logs, controls_of(2, 6), u)
    mu = torch.tensor([0.0, 0.02, 0.3, 0.77, 1.0], dtype=F64)
    owners = torch.tensor([0, 1, 1, 0, 1], dtype=torch.int32)
    query, mean = vrel.loss_query(cn, logs, weights_of(logs), curve, partial, mu, owners)
    for q in range(5):
        b = owners[q].item()
        torch.testing.assert_close(query[q, 0:2], lookup(cn, logs, curve[b], mu[q:q + 1])[0])
        torch.testing.assert_close(query[q, 2:4], lookup(cn, logs, partial[b], mu[q:q + 1])[0])
    # The means against a dense quadrature of 2 mu E(mu).
    grid = torch.linspace(0, 1, 200001, dtype=F64)
    for b in range(2):
        e = lookup(cn, logs, curve[b], grid)
        integral = torch.trapezoid(2 * grid[:, None] * e, grid, dim=0)
        torch.testing.assert_close(mean[b, 0:2], integral, atol=1e-8, rtol=0)


def test_principled_matches_plain_pytorch_and_the_variants_agree():
    s = scene(4, 3)
    cn, logs, curve, partial, mean, width = chain(s["roughness"])
    args = (cn, logs, curve, partial, mean, width, s["normal"], s["view"], s["light"],
            s["albedo"], s["roughness"], s["f0"])
    output, jacobian = vrel.principled_groups(*args)
    assert jacobian.shape == (0,)
    torch.testing.assert_close(output, reference_brdf(cn, logs, curve, mean, s), rtol=1e-12,
                               atol=0)
    pairs, pairs_jacobian = vrel.principled_pairs(*args, derivatives=True)
    groups, groups_jacobian = vrel.principled_groups(*args, derivatives=True)
    assert torch.equal(pairs, output) and torch.equal(groups, output)
    assert torch.equal(pairs_jacobian, groups_jacobian) and pairs_jacobian.shape == (4, 3, 3, 16)
    shared_args = (cn, logs, curve[:1], partial[:1], mean[:1], width[:1]) + args[6:]
    same_rows = (cn, logs, curve[:1].expand(4, -1).contiguous(), partial[:1].expand(4, -1).contiguous(),
                 mean[:1].expand(4, -1).contiguous(), width[:1].expand(4).contiguous()) + args[6:]
    assert torch.equal(vrel.principled_shared_groups(*shared_args)[0],
                       vrel.principled_groups(*same_rows)[0])


def test_principled_gradients_through_the_whole_curve_chain():
    s = scene(2, 2, seed=3)
    names = ("normal", "view", "light", "albedo", "roughness", "f0")

    def brdf(normal, view, light, albedo, roughness, f0):
        cn, logs, curve, partial, mean, width = chain(roughness)
        return vrel.principled_groups(cn, logs, curve, partial, mean, width, normal, view, light,
                                      albedo, roughness, f0, two_sided=True)[0]

    inputs = tuple(s[k].clone().requires_grad_() for k in names)
    assert gradcheck(brdf, inputs, eps=1e-6, atol=1e-6, rtol=1e-5)


def test_loss_curve_and_query_gradients_in_u_and_cosine():
    cn, logs = axis_of(5)
    controls, weights = controls_of(2, 5, seed=4), weights_of(logs)
    owners = torch.tensor([0, 1, 0], dtype=torch.int32)

    def curve_of(u):
        return vrel.loss_curve(logs, controls, u)[0]

    def query_of(u, cosine):
        curve, partial = vrel.loss_curve(logs, controls, u)
        query, mean = vrel.loss_query(cn, logs, weights, curve.detach(), partial, cosine, owners,
                                      u=u)
        return query[:, :2], mean[:, :2]

    u = torch.tensor([0.3, 0.7], dtype=F64, requires_grad=True)
    cosine = torch.tensor([0.1, 0.5, 0.9], dtype=F64, requires_grad=True)
    assert gradcheck(curve_of, (u,), eps=1e-6, atol=1e-7)
    assert gradcheck(query_of, (u, cosine), eps=1e-6, atol=1e-7)


def test_principled_backward_needs_the_jacobian_and_adapter_checks_name_the_rule():
    s = scene(2, 1)
    cn, logs, curve, partial, mean, width = chain(s["roughness"])
    albedo = s["albedo"].clone().requires_grad_()
    output, _ = vrel.principled_groups(cn, logs, curve, partial, mean, width, s["normal"], s["view"],
                                       s["light"], albedo, s["roughness"], s["f0"],
                                       derivatives=False)
    with pytest.raises(RuntimeError, match="need derivatives=True"):
        output.sum().backward()
    with pytest.raises(RuntimeError, match="^vrel-internal: Principled extent ranks invalid$"):
        vrel.principled_groups(cn, logs, curve, partial, mean, width, s["normal"], s["view"],
                               s["light"][0], s["albedo"], s["roughness"], s["f0"])
    with pytest.raises(RuntimeError, match="^vrel-internal: Principled Jacobian rank invalid$"):
        torch.ops.vrel.shading_principled_groups_backward(torch.zeros(2, 1, 3, dtype=F64),
                                                          torch.zeros(2, 1, 3, dtype=F64))
    with pytest.raises(RuntimeError, match="^vrel-internal: curve axis/u shape invalid$"):
        vrel.loss_curve(logs, controls_of(33, 5), torch.zeros(33, dtype=F64))
    with pytest.raises(RuntimeError, match="^vrel-internal: curve partial shape invalid$"):
        torch.ops.vrel.shading_loss_curve_backward(partial[:, :7], partial[:, :7])
    with pytest.raises(RuntimeError, match="^vrel-internal: query extent ranks invalid$"):
        vrel.loss_query(cn[None], logs, weights_of(logs), curve, partial, cn, torch.zeros(5, dtype=torch.int32))
    with pytest.raises(RuntimeError, match="^vrel-internal: query backward extent ranks invalid$"):
        torch.ops.vrel.shading_loss_query_backward(mean[0], mean, torch.zeros(0, dtype=torch.int32),
                                                   mean[0], mean[:, :2])
    # Core checks come back with their status.
    with pytest.raises(RuntimeError, match="^vrel-status:1: Principled roughness domain"):
        vrel.principled_groups(cn, logs, curve, partial, mean, width, s["normal"], s["view"],
                               s["light"], s["albedo"], torch.zeros(2, dtype=F64), s["f0"])


def test_opcheck_of_the_fake_kernels_and_autograd_registrations():
    s = scene(2, 2)
    cn, logs, curve, partial, mean, width = (x.detach() for x in chain(s["roughness"]))
    u = torch.tensor([0.3, 0.6], dtype=F64)
    direct = dict(s, albedo=s["albedo"].clone().requires_grad_())
    args = (cn, logs, curve, partial, mean, width, direct["normal"], direct["view"],
            direct["light"], direct["albedo"], direct["roughness"], direct["f0"])
    cases = [
        (torch.ops.vrel.shading_principled_groups, args + (False, True)),
        (torch.ops.vrel.shading_principled_shared_groups,
         (cn, logs, curve[:1], partial[:1], mean[:1], width[:1]) + args[6:] + (True, True)),
        (torch.ops.vrel.shading_loss_curve, (logs, controls_of(2, 5), u.requires_grad_())),
        (torch.ops.vrel.shading_loss_query,
         (cn, logs, weights_of(logs), curve, partial,
          torch.tensor([0.2, 0.9], dtype=F64, requires_grad=True),
          torch.tensor([1, 0], dtype=torch.int32))),
    ]
    for op, op_args in cases:
        torch.library.opcheck(op, op_args, test_utils=("test_schema", "test_autograd_registration",
                                                       "test_faketensor"))
