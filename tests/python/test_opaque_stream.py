"""The resumable opaque operators: whole-pixel streams against colour integration, partitions
against batches, gradients against finite differences, and the adapter's own checks."""
import pytest
import torch
from torch._subclasses.fake_tensor import DataDependentOutputException, FakeTensorMode

import vrel

ops = torch.ops.vrel
F64 = torch.float64
LIMIT = 1 << 22


def scene():
    """Two interpenetrating triangles over the pixel [0.25, 1.25]^2 and a cut line on face 0."""
    v = torch.tensor([[-0.5, -0.2, 0.5], [2.0, 0.1, 2.5], [0.4, 2.2, 1.0],
                      [0.0, 1.8, 2.0], [1.9, 1.6, 0.2], [1.0, -0.6, 1.5]], dtype=F64)
    f = torch.tensor([[0, 1, 2], [3, 4, 5]], dtype=torch.int32)
    cuts = torch.tensor([[[0.7], [-0.3], [-0.2]], [[0.0], [0.0], [0.0]]], dtype=F64)
    return v, f, cuts, (0.25, 0.25)


def barycentric_integrals(v, f, origin, face):
    """The integral of each corner barycentric of `face` over its visible part of the pixel."""
    colour = torch.zeros(f.shape[0], 3, 3, dtype=F64)
    colour[face] = torch.eye(3, dtype=F64)
    return vrel.opaque_integrate(v, f, colour, 1, 1, origin)[0, 0, :3]


@pytest.mark.parametrize("rule", range(5))
def test_whole_pixel_streams_integrate_the_visible_barycentrics(rule):
    v, f, cuts, origin = scene()
    owners, nodes = vrel.opaque_pixel_nodes(v, f, cuts, origin, rule)
    assert (owners >= 0).all()
    for face in range(f.shape[0]):
        mine = nodes[owners == face]
        sums = (mine[:, 3:4] * mine[:, :3]).sum(0)
        torch.testing.assert_close(sums, barycentric_integrals(v, f, origin, face), rtol=0,
                                   atol=1e-12)


def test_streams_span_rows_and_resume_from_receipts():
    v, f, cuts, origin = scene()
    cursor, rows = (0, 0, 0, 0), []
    while True:
        owners, nodes, receipt = vrel.opaque_batch(v, f, cuts, origin, cursor, rule=4)
        rows.append(nodes[0, :receipt[5]])
        assert receipt[1] == cursor[1] + 1 and receipt[0] == cursor[0] + receipt[4]
        if receipt[7]:
            break
        cursor = tuple(receipt[:4])
    assert len(rows) > 1
    assert torch.equal(torch.cat(rows), vrel.opaque_pixel_nodes(v, f, cuts, origin, 4)[1])


@pytest.mark.parametrize("width", [52, 64, 80])
def test_partitions_emit_the_batch_nodes(width):
    v, f, cuts, origin = scene()
    rows, meta = vrel.opaque_partition_prepare(v, f, cuts, origin, width)
    step = meta[6]
    emitted = []
    for begin in range(0, meta[0], step):
        owners, nodes = vrel.opaque_partition_emit(rows, min(meta[0], begin + step), begin, width)
        emitted.append(nodes[0, owners[0] >= 0])
    batches = vrel.opaque_pixel_nodes(v, f, cuts, origin, {52: 2, 64: 3, 80: 4}[width])[1]
    assert torch.equal(torch.cat(emitted), batches)


def test_pixel_nodes_gradcheck():
    v, f, cuts, origin = scene()
    weights = torch.linspace(-1, 1, 4, dtype=F64)

    def value(vertices, c):
        return (vrel.opaque_pixel_nodes(vertices, f, c, origin, 3)[1] * weights).sum()

    assert torch.autograd.gradcheck(value, (v.requires_grad_(), cuts.requires_grad_()),
                                    eps=1e-6, atol=1e-6)


def test_prefix_calls_sum_to_the_whole_backward():
    v, f, cuts, origin = scene()
    cursor, prefix = (0, 0, 0, 0), (0, 0)
    total = torch.zeros_like(v)
    reference = torch.zeros_like(v)
    while True:
        _, nodes, receipt = vrel.opaque_batch(v, f, cuts, origin, cursor, rule=2)
        g = torch.ones(1, 800, 4, dtype=F64)
        gv, _, r, prefix = vrel.opaque_prefix_backward(v, f, cuts, g, origin, cursor, prefix)
        total += gv
        reference += vrel.opaque_batch_backward(v, f, cuts, g, origin, cursor, rule=2)[0]
        assert r == receipt and prefix[1] == receipt[0]
        if receipt[7]:
            break
        cursor = tuple(receipt[:4])
    torch.testing.assert_close(total, reference, rtol=0, atol=1e-12)
    # A prefix that does not continue where it stopped fails in the core.
    with pytest.raises(RuntimeError, match="vrel-status:4:"):
        vrel.opaque_prefix_backward(v, f, cuts, torch.ones(1, 800, 4, dtype=F64), origin,
                                    (0, 0, 0, 0), prefix)


def test_boundary_streams_cover_each_side():
    v, f, cuts, origin = scene()
    for edge in range(4):
        for width in (64, 80):
            _, nodes, receipt = vrel.opaque_boundary_stream(v, f, cuts, origin, edge,
                                                            width=width)
            assert receipt[7] == 1
            # The two triangles cover every side of the pixel (some parts hidden).
            assert abs(float(nodes[0, :, 3].sum()) - 1) < 1e-12


def test_adapter_checks():
    v, f, cuts, origin = scene()
    g = torch.zeros(1, 800, 4, dtype=F64)
    rows = torch.zeros(1664, 17, dtype=F64)
    cases = [
        (lambda: ops.opaque_material_batch_rule(v, f, cuts, 0.0, 0.0, 0, 0, 0, 0, LIMIT, 5),
         "opaque batch rule"),
        (lambda: ops.opaque_material_batch(v, f[:, :2], cuts, 0.0, 0.0, 0, 0, 0, 0, LIMIT),
         "opaque batch shapes"),
        (lambda: ops.opaque_material_batch(v, f, cuts, 0.0, 0.0, -1, 0, 0, 0, LIMIT),
         "opaque batch cursor/budget"),
        (lambda: ops.opaque_material_batch(v, f, cuts, 0.0, 0.0, 0, 16, 0, 0, LIMIT),
         "opaque batch cursor/budget"),
        (lambda: ops.opaque_material_batch(v, f, cuts, 0.0, 0.0, 0, 0, 0, 0, 1_047_584 + 28_799),
         "opaque batch workspace/output budget"),
        (lambda: ops.opaque_material_prefix_backward(v, f, cuts, g, 0.0, 0.0, 0, 0, 0, 0, LIMIT,
                                                     3, 513, 0),
         "prefix range"),
        (lambda: ops.opaque_boundary_batch64(v, f, cuts, 0.0, 0.0, 4, 0, 0, 0, 0, LIMIT),
         "boundary stream edge/gradient"),
        (lambda: ops.opaque_boundary_batch80(v, f, cuts, 0.0, 0.0, 0, 2561, 0, 0, 0, LIMIT),
         "opaque batch cursor/budget"),
        (lambda: ops.opaque_partition_emit(rows, 64, 16), "partition range"),
        (lambda: ops.opaque_partition_emit80(torch.zeros(2560, 17, dtype=F64), 64, 32),
         "partition range"),
        (lambda: ops.opaque_partition_prepare(v, f, cuts, 0.0, 0.0, 1_047_584 + 278_527),
         "partition storage budget"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError, match="vrel-internal: " + message):
            call()
    # The worked partition ranges pass the adapter (rows of zeros: one-node blocks of face 0).
    owners, _ = ops.opaque_partition_emit(rows, 64, 32)
    assert int((owners >= 0).sum()) == 32
    owners, _ = ops.opaque_partition_emit80(torch.zeros(2560, 17, dtype=F64), 64, 28)
    assert int((owners >= 0).sum()) == 36
    # Core checks come through as status errors.
    packed = torch.zeros(2, 1, 6, dtype=F64)
    with pytest.raises(RuntimeError, match="vrel-status:1: opaque batch rule requires DEFAULT"):
        ops.opaque_material_batch_rule(v, f, packed, 0.0, 0.0, 0, 0, 0, 0, LIMIT, 1)
    with pytest.raises(RuntimeError, match="vrel-status:1: opaque batch cursor/receipt"):
        ops.opaque_material_batch(v, f, cuts, 0.0, 0.0, 0, 1, 0, 0, LIMIT)


# ---- fake tensors and torch.compile -----------------------------------------------------------

def test_partition_emission_traces_with_fake_tensors():
    v, f, cuts, origin = scene()
    for width in (52, 64, 80):
        rows, meta = vrel.opaque_partition_prepare(v, f, cuts, origin, width)
        op = getattr(ops, "opaque_partition_emit" + {52: "", 64: "64", 80: "80"}[width])
        torch.library.opcheck(op, (rows, min(meta[0], meta[6]), 0),
                              test_utils=("test_schema", "test_faketensor"))

    def emitted_weight(r):
        return vrel.opaque_partition_emit(r, 32, 0)[1][0, :, 3].sum() * 2

    rows = vrel.opaque_partition_prepare(v, f, cuts, origin)[0]
    compiled = torch.compile(emitted_weight, backend="eager", fullgraph=True)
    assert torch.equal(compiled(rows), emitted_weight(rows))


def test_receipt_operators_refuse_fake_tensors_and_run_eagerly_under_compile():
    v, f, cuts, origin = scene()
    g = torch.zeros(1, 800, 4, dtype=F64)
    cursor = (0.25, 0.25, 0, 0, 0, 0)
    calls = {
        "opaque_material_batch": (v, f, cuts, *cursor, LIMIT),
        "opaque_material_batch_rule": (v, f, cuts, *cursor, LIMIT, 2),
        "opaque_material_batch_backward": (v, f, cuts, g, *cursor, LIMIT),
        "opaque_material_batch_rule_backward": (v, f, cuts, g, *cursor, LIMIT, 2, 3),
        "opaque_boundary_batch64": (v, f, cuts, 0.25, 0.25, 0, 0, 0, 0, 0, LIMIT),
        "opaque_partition_prepare": (v, f, cuts, 0.25, 0.25, LIMIT),
    }
    for suffix in ("", "64", "80"):
        calls["opaque_material_prefix_backward" + suffix] = (v, f, cuts, g, *cursor, LIMIT, 3,
                                                             0, 0)
    calls["opaque_boundary_batch80"] = calls["opaque_boundary_batch64"]
    calls["opaque_partition_prepare64"] = calls["opaque_partition_prepare80"] = \
        calls["opaque_partition_prepare"]
    # Every opaque operator traces: a fake kernel for shapes, or a refusal for receipts.
    bound = {name[len("vrel::"):] for name in torch._C._dispatch_get_all_op_names()
             if name.startswith("vrel::opaque_") and vrel._registry.has_kernel(name[6:])}
    assert bound - set(vrel.FAKE_OPERATORS) == set(calls)
    for name, args in calls.items():
        getattr(ops, name)(*args)  # the arguments are valid
        with FakeTensorMode() as mode:
            fakes = [mode.from_tensor(a) if isinstance(a, torch.Tensor) else a for a in args]
            with pytest.raises(DataDependentOutputException, match="computed from its tensors"):
                getattr(ops, name)(*fakes)

    def weighted(vertices):
        _, nodes, receipt = vrel.opaque_batch(vertices, f, cuts, origin)
        return nodes[0, :, 3].sum() * receipt[5]

    with pytest.raises(torch._dynamo.exc.Unsupported, match="Data dependent operator"):
        torch.compile(weighted, backend="eager", fullgraph=True)(v)
    # The receipt comes from each call's own vertices, never a value fixed at trace time.
    compiled = torch.compile(weighted, backend="eager")
    moved = v.clone()
    moved[4, 0] = 0.9  # face 1 now covers less of the pixel: fewer nodes
    assert weighted(moved) != weighted(v)
    for vertices in (v, moved):
        assert torch.equal(compiled(vertices), weighted(vertices))
