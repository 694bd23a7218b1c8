"""Resumable opaque quadrature: one pixel's nodes delivered in 800-slot rows.

A pixel's work is an ordered list of work items (the units of the quadrature's decomposition, or
for boundary streams the visible intervals of one pixel side, split at cut lines). Each call
emits the items from a cursor ``(begin, batch, slots, blocks)`` into one row of owners [1,800]
and nodes [1,800,4] (``l0, l1, l2, weight``, used slots first) and returns a receipt of eight
ints: the next cursor, then the items and nodes of this call, the pixel's item count and a done
flag. Starting from ``(0, 0, 0, 0)`` and resuming from each receipt emits every node of the
pixel exactly once.

The receipts, prefixes and partition metadata are integers computed from the geometry: the
operators returning them cannot be traced with fake tensors, and torch.compile runs them eagerly
(a graph break at each call). Partition emission returns only tensors of fixed shapes and traces.

Rules: 0 DEFAULT (the material quadrature's own nodes), 1 SH_BILINEAR25 (the lowest orders),
2, 3, 4 (the highest orders, streamed over several rows; slot widths 52, 64, 80). The pixel is the
square ``[ox, ox + 1] x [oy, oy + 1]``.
"""
from __future__ import annotations

import torch

from ._registry import data_dependent, fake, ops

__all__ = ["opaque_batch", "opaque_batch_backward", "opaque_prefix_backward",
           "opaque_boundary_stream", "opaque_partition_prepare", "opaque_partition_emit",
           "opaque_pixel_nodes"]

#: the core's workspace of every batch operation, in bytes
BATCH_WORKSPACE_BYTES = 1_047_584
MAX_BUDGET = 67_108_864
SLOTS = 800
#: slot width of each rule: how many rows (calls) a pixel's stream may take
RULE_WIDTHS = (16, 16, 52, 64, 80)
START = (0, 0, 0, 0)


def _row_budget(vertices) -> int:
    return BATCH_WORKSPACE_BYTES + SLOTS * (4 * vertices.element_size() + 4)


def _gradient_budget(vertices, cuts) -> int:
    return min(MAX_BUDGET, BATCH_WORKSPACE_BYTES
               + vertices.element_size() * (vertices.numel() + cuts.numel()))


def _origin(origin) -> tuple[float, float]:
    return float(origin[0]), float(origin[1])


def opaque_batch(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                 origin: tuple[float, float], cursor=START, rule: int = 0):
    """One batch call: the nodes of the next work items of one pixel, in one 800-slot row.

    Args:
        vertices: [V,3] float32 or float64 in pixel units; z is the depth (smaller is nearer).
        faces: [F,3] int32.
        cuts: per-face cut lines, [F,3,K] (K <= 16; 40 for rule 4) or, for rule 0 only, the
            packed [F,1,3K+6]; [F,3,0] for none.
        origin: (ox, oy), the pixel's lower corner.
        cursor: (begin, batch, slots, blocks): (0, 0, 0, 0) first, then the receipt's first four.
        rule: 0 to 4.

    Returns:
        owners [1,800] int32 (-1 when empty), nodes [1,800,4] (l0, l1, l2, weight) and the
        receipt, a list of eight ints (next cursor, items, nodes, total items, done).

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes, receipt = vrel.opaque_batch(v, f, v.new_zeros(1, 3, 0), (0.0, 0.0))
        >>> receipt[7], round(float(nodes[0, :, 3].sum()), 12)  # done; the weights sum to 1
        (1, 1.0)
    """
    ox, oy = _origin(origin)
    return ops.opaque_material_batch_rule(vertices, faces, cuts, ox, oy, *map(int, cursor),
                                          _row_budget(vertices), int(rule))


def opaque_batch_backward(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                          gradient: torch.Tensor, origin: tuple[float, float], cursor=START,
                          rule: int = 0, derivatives: int = 3):
    """Vector-Jacobian product of one batch call's row.

    Args:
        gradient: [1,800,4], the cotangents of the row the forward call with the same cursor
            returned.
        derivatives: bit 0 the vertex gradient, bit 1 the cut gradient (a cleared bit returns
            zeros).
        Others as for :func:`opaque_batch`.

    Returns:
        The vertex gradient [V,3], the cut gradient (the cuts' shape) and the receipt. The
        gradients of a whole stream are the sums over its calls.

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> g = torch.zeros(1, 800, 4, dtype=torch.float64)
        >>> gv, gc, receipt = vrel.opaque_batch_backward(v, f, v.new_zeros(1, 3, 0), g, (0, 0))
        >>> gv.shape
        torch.Size([3, 3])
    """
    ox, oy = _origin(origin)
    return ops.opaque_material_batch_rule_backward(
        vertices, faces, cuts, gradient, ox, oy, *map(int, cursor),
        _gradient_budget(vertices, cuts), int(rule), int(derivatives))


_PREFIX = {2: "opaque_material_prefix_backward", 3: "opaque_material_prefix_backward64",
           4: "opaque_material_prefix_backward80"}


def opaque_prefix_backward(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                           gradient: torch.Tensor, origin: tuple[float, float], cursor=START,
                           prefix=(0, 0), rule: int = 2, derivatives: int = 3):
    """The batch backward of one call of a stream, checked against the stream's prefix.

    The prefix ``(face, seen)`` records where the stream stands: ``(0, 0)`` starts it (cursor
    begin 0) and each call returns the updated prefix, which the next call must continue (its
    cursor begin equal to ``seen``, on the same pixel), else the call fails. The core accumulates
    into the caller's gradients; here every call gets new ones, so each returns its own products:
    the sum over the calls is the backward of the whole stream.

    Args:
        prefix: (face, seen), (0, 0) for the first call.
        rule: 2, 3 or 4.
        Others as for :func:`opaque_batch_backward`.

    Returns:
        The vertex gradient, the cut gradient, the receipt and the new prefix (two ints).

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> g = torch.ones(1, 800, 4, dtype=torch.float64)
        >>> gv, gc, receipt, prefix = vrel.opaque_prefix_backward(v, f, v.new_zeros(1, 3, 0), g,
        ...                                                       (0, 0))
        >>> prefix[1] == receipt[0]  # the work items accumulated so far
        True
    """
    ox, oy = _origin(origin)
    return getattr(ops, _PREFIX[int(rule)])(
        vertices, faces, cuts, gradient, ox, oy, *map(int, cursor),
        _gradient_budget(vertices, cuts), int(derivatives), int(prefix[0]), int(prefix[1]))


def opaque_boundary_stream(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                           origin: tuple[float, float], edge: int, cursor=START,
                           width: int = 64):
    """One call of a boundary stream: nodes along one side of the pixel.

    The work items are the intervals of side ``edge`` (0 bottom, 1 right, 2 top, 3 left) where a
    face is the visible surface, split where the face's cut lines cross the side, each with the
    8-point Gauss-Legendre rule; weights are lengths.

    Args:
        edge: 0 to 3.
        width: 64 or 80 (the stream's bounds).
        Others as for :func:`opaque_batch`.

    Returns:
        owners [1,800], nodes [1,800,4] and the receipt.

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes, receipt = vrel.opaque_boundary_stream(v, f, v.new_zeros(1, 3, 0),
        ...                                                      (0, 0), edge=0)
        >>> round(float(nodes[0, :, 3].sum()), 12)  # the bottom side is covered: length 1
        1.0
    """
    ox, oy = _origin(origin)
    name = "opaque_boundary_batch64" if int(width) == 64 else "opaque_boundary_batch80"
    return getattr(ops, name)(vertices, faces, cuts, ox, oy, int(edge), *map(int, cursor),
                              _row_budget(vertices))


_SUFFIX = {52: "", 64: "64", 80: "80"}


def opaque_partition_prepare(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                             origin: tuple[float, float], width: int = 52):
    """Prepares all of a pixel's nodes (float64) as partition rows for cheap emission.

    Args:
        vertices: [V,3] float64. cuts: [F,3,K] float64 (K <= 16; 40 for width 80).
        width: 52, 64 or 80: the rule 2, 3 or 4 and R = 32 * width rows.

    Returns:
        rows [R,17] float64 (blocks of up to four nodes: column 0 is 4 * owner + nodes - 1) and
        the metadata, eight ints: rows used, nodes, units, cut units, plain units, width, emit's
        begin step, candidates.

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> rows, meta = vrel.opaque_partition_prepare(v, f, v.new_zeros(1, 3, 0), (0, 0))
        >>> rows.shape, meta[5]
        (torch.Size([1664, 17]), 52)
    """
    ox, oy = _origin(origin)
    rows = 32 * int(width)
    budget = BATCH_WORKSPACE_BYTES + max(278_528, rows * 17 * 8)
    return getattr(ops, "opaque_partition_prepare" + _SUFFIX[int(width)])(
        vertices, faces, cuts, ox, oy, budget)


def opaque_partition_emit(rows: torch.Tensor, count: int, begin: int, width: int = 52):
    """Emits rows ``begin .. count-1`` of a prepared partition into one 800-slot row.

    ``begin`` is a multiple of 32 (28 for width 80). Emitting from 0, step, 2 step, ... with
    ``count = min(used, begin + step)`` gives the batch nodes of the same rule bit for bit.

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> rows, meta = vrel.opaque_partition_prepare(v, f, v.new_zeros(1, 3, 0), (0, 0))
        >>> owners, nodes = vrel.opaque_partition_emit(rows, min(meta[0], 32), 0)
        >>> int((owners >= 0).sum()) == min(meta[1], 128)
        True
    """
    return getattr(ops, "opaque_partition_emit" + _SUFFIX[int(width)])(rows, int(count),
                                                                      int(begin))


data_dependent("opaque_material_batch", "opaque_material_batch_rule",
               "opaque_material_batch_backward", "opaque_material_batch_rule_backward",
               "opaque_material_prefix_backward", "opaque_material_prefix_backward64",
               "opaque_material_prefix_backward80", "opaque_boundary_batch64",
               "opaque_boundary_batch80", "opaque_partition_prepare",
               "opaque_partition_prepare64", "opaque_partition_prepare80")


@fake("opaque_partition_emit", "opaque_partition_emit64", "opaque_partition_emit80")
def _(rows, count, begin):
    return (rows.new_empty((1, SLOTS), dtype=torch.int32),
            rows.new_empty((1, SLOTS, 4), dtype=torch.float64))


class _PixelNodes(torch.autograd.Function):
    """All nodes of a pixel through batch calls; the backward runs the batch backward per row."""

    @staticmethod
    def forward(ctx, vertices, cuts, faces, origin, rule):
        owners, nodes, cursors, used = [], [], [], []
        cursor = START
        for _ in range(RULE_WIDTHS[rule]):
            row_owners, row_nodes, receipt = opaque_batch(vertices, faces, cuts, origin, cursor,
                                                          rule)
            count = receipt[5]
            owners.append(row_owners[0, :count])
            nodes.append(row_nodes[0, :count])
            cursors.append(cursor)
            used.append(count)
            if receipt[7]:
                break
            cursor = tuple(receipt[:4])
        ctx.save_for_backward(vertices, cuts, faces)
        ctx.stream = (origin, rule, cursors, used)
        ctx.mark_non_differentiable(owners[0])
        return torch.cat(owners), torch.cat(nodes)

    @staticmethod
    def backward(ctx, _grad_owners, grad_nodes):
        vertices, cuts, faces = ctx.saved_tensors
        origin, rule, cursors, used = ctx.stream
        grad_vertices = torch.zeros_like(vertices)
        grad_cuts = torch.zeros_like(cuts)
        at = 0
        for cursor, count in zip(cursors, used):
            row = grad_nodes.new_zeros(1, SLOTS, 4)
            row[0, :count] = grad_nodes[at:at + count]
            at += count
            gv, gc, _ = opaque_batch_backward(vertices, faces, cuts, row, origin, cursor, rule)
            grad_vertices += gv
            grad_cuts += gc
        return grad_vertices, grad_cuts, None, None, None


def opaque_pixel_nodes(vertices: torch.Tensor, faces: torch.Tensor, cuts: torch.Tensor,
                       origin: tuple[float, float], rule: int = 0):
    """Every quadrature node of one pixel, driven through as many batch calls as it takes.

    Args:
        vertices, faces, cuts, origin, rule: as for :func:`opaque_batch`.

    Returns:
        owners [N] int32 and nodes [N,4] (l0, l1, l2, weight): the concatenated used slots of
        every row, in order. ``nodes`` is differentiable with respect to ``vertices`` and
        ``cuts`` (the backward runs the batch backward of every row).

    Example:
        >>> v = torch.tensor([[-1.0, -1, 1], [3, -1, 1], [-1, 3, 1]], dtype=torch.float64,
        ...                  requires_grad=True)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes = vrel.opaque_pixel_nodes(v, f, v.new_zeros(1, 3, 0), (0, 0), rule=3)
        >>> round(float(nodes[:, 3].detach().sum()), 12)
        1.0
        >>> (nodes[:, 3] * nodes[:, 1]).sum().backward()  # d(integral of l1)/d(vertices)
    """
    ox, oy = _origin(origin)
    return _PixelNodes.apply(vertices, cuts, faces, (ox, oy), int(rule))
