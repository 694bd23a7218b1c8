"""Analytic opaque rendering: exact per-pixel coverage, exact depth-resolved colour, and per-pixel
quadrature rules over the visible parts of the triangles.

Every pixel value is a closed-form integral over convex polygons (no sampling, no blur), so images
are anti-aliased by construction and the vertex gradients are exact. Vertices are in pixel units of
the image plane: pixel (row j, column i) is the square [ox + i, ox + i + 1] x [oy + j, oy + j + 1].

The core renders at most 32 candidate faces (faces whose bounding box meets the pixel) per pixel.
The functions here count the candidates beforehand and render every pixel above that as 2 x 2
sub-squares, recursively: coverage and colour integrals are additive over disjoint squares, so the
result stays exact up to rounding and the gradients follow through autograd.
"""
from __future__ import annotations

import torch

from ._registry import autograd, call, fake, like_pair, needed, ops, zeros_if_none

__all__ = ["opaque_coverage", "opaque_integrate", "opaque_quadrature",
           "opaque_material_quadrature", "opaque_boundary_quadrature"]

#: the core's fixed workspace of coverage and of colour integration, in bytes
COVERAGE_WORKSPACE_BYTES = 596_992
INTEGRATE_WORKSPACE_BYTES = 1_047_584
#: the largest byte budget an operator accepts
MAX_BUDGET = 67_108_864
CANDIDATE_CAPACITY = 32
#: quadrature nodes per pixel
QUADRATURE_SLOTS = 800
#: the budget a quadrature call keeps for its workspace: the CPU's 1,047,584-byte block, or the
#: 4 MiB scratch a CUDA call over several pixels takes when the budget allows
QUADRATURE_RESERVE = 4_194_304
#: sub-square levels tried for a pixel above the candidate capacity (1/16 pixel at the last)
REFINE_DEPTH = 4


def _dense(t: torch.Tensor) -> torch.Tensor:
    """A copy with C-order strides: an incoming gradient may be expanded (stride 0), which
    ``contiguous()`` keeps for dimensions of size 1 and the core refuses."""
    out = t.new_empty(t.shape)
    out.copy_(t)
    return out


def _element_size(t: torch.Tensor) -> int:
    return 4 if t.dtype == torch.float32 else 8


def _coverage_budget(vertices, elements: int) -> int:
    return min(MAX_BUDGET, COVERAGE_WORKSPACE_BYTES + elements * _element_size(vertices))


def _integrate_budget(vertices, h: int, w: int) -> int:
    return min(MAX_BUDGET, INTEGRATE_WORKSPACE_BYTES + 4 * h * w * _element_size(vertices))


# ---- fake kernels and autograd pairs ---------------------------------------------------------

@fake("opaque_coverage")
def _(vertices, faces, h, w, ox, oy, limit):
    return vertices.new_empty((h, w))


@fake("opaque_coverage_backward")
def _(vertices, faces, gradient, h, w, ox, oy, limit):
    return vertices.new_empty(vertices.shape)


@fake("opaque_integrate")
def _(vertices, faces, colour, h, w, ox, oy, limit):
    return vertices.new_empty((h, w, 4))


@fake("opaque_integrate_backward")
def _(vertices, faces, colour, gradient, h, w, ox, oy, limit):
    return like_pair(vertices, vertices, colour)


def _setup_coverage(ctx, inputs, output):
    vertices, faces, h, w, ox, oy, _limit = inputs
    ctx.image = (h, w, ox, oy)
    if ctx.needs_input_grad[0]:
        ctx.save_for_backward(vertices, faces)


@autograd("opaque_coverage", "opaque_coverage_backward", _setup_coverage)
def _(ctx, grad):
    if not ctx.needs_input_grad[0]:
        return (None,) * 7
    vertices, faces = ctx.saved_tensors
    limit = _coverage_budget(vertices, vertices.numel())
    grad_vertices = ops.opaque_coverage_backward(vertices, faces, _dense(grad), *ctx.image,
                                                 limit)
    return grad_vertices, None, None, None, None, None, None


def _setup_integrate(ctx, inputs, output):
    vertices, faces, colour, h, w, ox, oy, _limit = inputs
    ctx.image = (h, w, ox, oy)
    if ctx.needs_input_grad[0] or ctx.needs_input_grad[2]:
        ctx.save_for_backward(vertices, faces, colour)


@autograd("opaque_integrate", "opaque_integrate_backward", _setup_integrate)
def _(ctx, grad):
    if not (ctx.needs_input_grad[0] or ctx.needs_input_grad[2]):
        return (None,) * 8
    vertices, faces, colour = ctx.saved_tensors
    h, w = ctx.image[0], ctx.image[1]
    grads = ops.opaque_integrate_backward(vertices, faces, colour, _dense(grad), *ctx.image,
                                          _integrate_budget(vertices, h, w))
    return needed((grads[0], None, grads[1]), ctx.needs_input_grad[:3]) + (None,) * 5


@fake("opaque_quadrature", "opaque_material_quadrature")
def _(vertices, faces, cuts, h, w, ox, oy, limit):
    return _quadrature_outputs(vertices, h * w)


@fake("opaque_boundary_quadrature")
def _(vertices, faces, cuts, h, w, ox, oy, edge, limit):
    return _quadrature_outputs(vertices, h * w)


@fake("opaque_quadrature_backward", "opaque_material_quadrature_backward")
def _(vertices, faces, cuts, gradient, h, w, ox, oy, limit):
    return like_pair(vertices, vertices, cuts)


def _quadrature_outputs(vertices, pixels):
    return (vertices.new_empty((pixels, QUADRATURE_SLOTS), dtype=torch.int32),
            vertices.new_empty((pixels, QUADRATURE_SLOTS, 4)))


def _setup_quadrature(ctx, inputs, output):
    vertices, faces, cuts, h, w, ox, oy, _limit = inputs
    ctx.image = (h, w, ox, oy)
    if ctx.needs_input_grad[0] or ctx.needs_input_grad[2]:
        ctx.save_for_backward(vertices, faces, cuts)


def _quadrature_backward(backward_operator):
    """The backward of a quadrature forward: the nodes' cotangent through the backward operator
    (the owners are face indices and carry none)."""
    def backward(ctx, _grad_owners, grad_nodes):
        if not (ctx.needs_input_grad[0] or ctx.needs_input_grad[2]):
            return (None,) * 8
        vertices, faces, cuts = ctx.saved_tensors
        gradient = _dense(zeros_if_none(grad_nodes, vertices.new_empty(
            (ctx.image[0] * ctx.image[1], QUADRATURE_SLOTS, 4))))
        grads = getattr(ops, backward_operator)(vertices, faces, cuts, gradient, *ctx.image,
                                                MAX_BUDGET)
        return needed((grads[0], None, grads[1]), ctx.needs_input_grad[:3]) + (None,) * 5
    return backward


autograd("opaque_quadrature", "opaque_quadrature_backward", _setup_quadrature)(
    _quadrature_backward("opaque_quadrature_backward"))
autograd("opaque_material_quadrature", "opaque_material_quadrature_backward", _setup_quadrature)(
    _quadrature_backward("opaque_material_quadrature_backward"))


# ---- candidate counts and sub-square refinement ----------------------------------------------

def candidate_counts(vertices, faces, h: int, w: int, ox: float = 0.0, oy: float = 0.0):
    """Number of faces whose x/y bounding box meets each pixel, [h, w] int64.

    A 2-D prefix sum of the faces' pixel rectangles. Boxes within 1e-9 pixels of a pixel border
    count for the pixel beyond it too, so the count never falls below the core's own.
    """
    with torch.no_grad():
        corners = vertices.detach().to(torch.float64)[faces.long()][..., :2]  # [F,3,2]
        lo, hi = corners.amin(dim=1), corners.amax(dim=1)
        first_col = torch.ceil(lo[:, 0] - ox - 1 - 1e-9).clamp(0, w).long()
        last_col = torch.floor(hi[:, 0] - ox + 1e-9).clamp(-1, w - 1).long()
        first_row = torch.ceil(lo[:, 1] - oy - 1 - 1e-9).clamp(0, h).long()
        last_row = torch.floor(hi[:, 1] - oy + 1e-9).clamp(-1, h - 1).long()
        keep = (first_col <= last_col) & (first_row <= last_row)
        r0, r1, c0, c1 = first_row[keep], last_row[keep] + 1, first_col[keep], last_col[keep] + 1
        diff = torch.zeros((h + 1) * (w + 1), dtype=torch.int64, device=r0.device)
        ones = torch.ones_like(r0)
        for rows, cols, sign in ((r0, c0, 1), (r0, c1, -1), (r1, c0, -1), (r1, c1, 1)):
            diff.index_add_(0, rows * (w + 1) + cols, sign * ones)
        return diff.view(h + 1, w + 1).cumsum(0).cumsum(1)[:h, :w]


def _faces_meeting(vertices, faces, x0, x1, y0, y1):
    """The rows of `faces` whose triangles may meet [x0, x1] x [y0, y1]: their boxes meet it and
    no edge line of theirs has the whole square strictly outside (both tests a little widened).

    A face that only touches the square, or misses it, adds no area there and no derivative, so
    leaving it out changes the result by rounding at most; near a silhouette, where thin faces
    have large boxes, this is what lets the sub-squares fall within capacity.
    """
    with torch.no_grad():
        corners = vertices.detach().to(torch.float64)[faces.long()][..., :2]  # [F,3,2]
        lo, hi = corners.amin(dim=1), corners.amax(dim=1)
        meet = ((lo[:, 0] <= x1 + 1e-9) & (hi[:, 0] >= x0 - 1e-9) &
                (lo[:, 1] <= y1 + 1e-9) & (hi[:, 1] >= y0 - 1e-9))
        start, end = corners, corners.roll(-1, dims=1)
        edge = end - start  # [F,3,2]
        doubled = (edge[:, 0, 0] * (-edge[:, 2, 1]) - edge[:, 0, 1] * (-edge[:, 2, 0]))
        sign = torch.sign(doubled)[:, None, None]  # 0 for a degenerate face: never separated
        square = corners.new_tensor([[x0, y0], [x1, y0], [x1, y1], [x0, y1]])  # [4,2]
        rel = square[None, None] - start[:, :, None]  # [F,3,4,2]
        cross = edge[..., None, 0] * rel[..., 1] - edge[..., None, 1] * rel[..., 0]  # [F,3,4]
        length = edge.norm(dim=-1, keepdim=True).clamp_min(1e-300)
        outside = (sign * cross / length < -1e-9).all(dim=-1).any(dim=-1)
        return (meet & ~outside).nonzero().flatten()


def _render(core, vertices, faces, colour, h, w, ox, oy, channels, depth, name=None):
    """Renders an h x w window: rows without an over-capacity pixel in few core calls, the rest in
    runs of pixels within capacity, and each pixel above capacity as 2 x 2 sub-squares. `name`
    maps a pixel's lower corner to its (row, column) in the caller's image, for messages."""
    if name is None:
        def name(x, y, x0=ox, y0=oy):
            return int(round(y - y0)), int(round(x - x0))
    counts = candidate_counts(vertices, faces, h, w, ox, oy)
    over = counts > CANDIDATE_CAPACITY

    def window(hh, ww, x, y):
        return _window(core, vertices, faces, colour, hh, ww, x, y, channels, depth, name)

    if not bool(over.any()):
        return _rows(window, vertices, h, w, ox, oy, channels)
    shape = (h, w) if channels == 1 else (h, w, channels)
    out = vertices.new_zeros(shape)
    bad_rows = over.any(dim=1).tolist()
    j = 0
    while j < h:
        if not bad_rows[j]:
            k = j
            while k < h and not bad_rows[k]:
                k += 1
            out[j:k] = _rows(window, vertices, k - j, w, ox, oy + j, channels)
            j = k
            continue
        row = over[j].tolist()
        i = 0
        while i < w:
            k = i
            while k < w and not row[k]:
                k += 1
            if k > i:
                out[j:j + 1, i:k] = window(1, k - i, ox + i, oy + j)
                i = k
                continue
            out[j, i] = _refine(core, vertices, faces, colour, ox + i, oy + j, channels, depth,
                                name(ox + i, oy + j), "candidate capacity")
            i += 1
        j += 1
    return out


def _rows(window, vertices, h, w, ox, oy, channels):
    """Rows within capacity, in bands whose output fits the largest byte budget."""
    per_row = w * channels * _element_size(vertices)
    band = max(1, (MAX_BUDGET - INTEGRATE_WORKSPACE_BYTES) // per_row)
    if band >= h:
        return window(h, w, ox, oy)
    return torch.cat([window(min(band, h - j), w, ox, oy + j) for j in range(0, h, band)])


def _window(core, vertices, faces, colour, h, w, ox, oy, channels, depth, name):
    """One core call; when it runs out of polygon, piece or step capacity (thin faces sharing
    edges leave many sliver pieces), the window is halved until the failing pixel is alone, and
    that pixel is rendered as sub-squares."""
    try:
        return core(vertices, faces, colour, h, w, ox, oy)
    except RuntimeError as error:
        if not str(error).startswith("vrel-status:4:"):
            raise
        failure = str(error)
    if h * w == 1:
        pixel = _refine(core, vertices, faces, colour, ox, oy, channels, depth, name(ox, oy),
                        failure)
        return pixel.reshape((1, 1) if channels == 1 else (1, 1, channels))
    if h >= w:
        top = h // 2
        return torch.cat([_window(core, vertices, faces, colour, top, w, ox, oy, channels, depth,
                                  name),
                          _window(core, vertices, faces, colour, h - top, w, ox, oy + top,
                                  channels, depth, name)], 0)
    left = w // 2
    return torch.cat([_window(core, vertices, faces, colour, h, left, ox, oy, channels, depth,
                              name),
                      _window(core, vertices, faces, colour, h, w - left, ox + left, oy, channels,
                              depth, name)], 1)


def _refine(core, vertices, faces, colour, x, y, channels, depth, pixel, failure):
    """The pixel [x, x+1] x [y, y+1] as the sum of its four half-size sub-squares, each rendered
    with the coordinates scaled by 2 (their integrals are a quarter of the scaled ones)."""
    if depth >= REFINE_DEPTH:
        if failure == "candidate capacity":
            failure = ("vrel-status:4: opaque candidate capacity 32 exceeded; no partial output is "
                       "valid")
        raise RuntimeError(
            f"{failure} (pixel row {pixel[0]}, column {pixel[1]}, still in sub-squares of "
            f"1/{2 ** depth} pixel)")
    rows = _faces_meeting(vertices, faces, x, x + 1, y, y + 1)
    sub_faces = faces[rows]
    sub_colour = None if colour is None else colour[rows]
    scale = vertices.new_tensor([2.0, 2.0, 1.0])
    sub = _render(core, vertices * scale, sub_faces, sub_colour, 2, 2, 2 * x, 2 * y, channels,
                  depth + 1, lambda _x, _y: pixel)
    return sub.sum(dim=(0, 1)) / 4


# ---- public functions -------------------------------------------------------------------------

def opaque_coverage(vertices: torch.Tensor, faces: torch.Tensor, height: int, width: int,
                    origin: tuple[float, float] = (0.0, 0.0), limit: int | None = None):
    """Exact coverage image [height, width]: the area of the union of the triangles in each pixel.

    Args:
        vertices: [V,3] float32 or float64, in pixel units (x right, y down the rows; z unused).
            Every coordinate finite with magnitude at most 2**20.
        faces: [F,3] int32 vertex indices; winding does not matter.
        height, width: the image extents, each in [1, 2**20].
        origin: (ox, oy), the image-plane position of pixel (0, 0)'s lower corner.
        limit: byte budget of each core call (workspace plus output), at most 64 MiB. By default
            each call gets exactly what it needs.

    Returns:
        [height, width] tensor of the vertex dtype with values in [0, 1]; differentiable in the x
        and y of ``vertices`` (the z gradient is zero).

    Pixels whose candidates (faces whose bounding box meets the pixel) exceed 32 are rendered as
    2 x 2 sub-squares, recursively down to 1/16 pixel, each with only the faces that may meet it;
    so is a pixel whose evaluation runs out of polygon or piece capacity (the failing window is
    halved until the pixel is found). Beyond that depth (more than 32 faces sharing a vertex,
    say) a RuntimeError names the pixel. The refinement depends on the data, so this function
    does not trace under ``torch.compile``; ``torch.ops.vrel.opaque_coverage`` does.

    Example:
        >>> v = torch.tensor([[0.5, 0.5, 0], [3.5, 0.5, 0], [0.5, 2.5, 0]], dtype=torch.float64,
        ...                  requires_grad=True)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> image = vrel.opaque_coverage(v, f, 3, 4)
        >>> image.sum().backward()  # d(total area)/d(vertices)
    """
    ox, oy = float(origin[0]), float(origin[1])

    def window(v, f, _colour, h, w, x, y):
        budget = limit if limit is not None else _coverage_budget(v, h * w)
        return call("opaque_coverage", v, f, h, w, x, y, budget)

    return _render(window, vertices, faces, None, int(height), int(width), ox, oy, 1, 0)


def opaque_integrate(vertices: torch.Tensor, faces: torch.Tensor, colour: torch.Tensor,
                     height: int, width: int, origin: tuple[float, float] = (0.0, 0.0),
                     limit: int | None = None):
    """Exact depth-resolved colour [height, width, 4] of opaque triangles with per-corner colours.

    Channels 0-2 hold the integral over each pixel of the colour interpolated linearly across the
    nearest triangle (smaller z is nearer; coplanar overlaps go to the lower face index), channel 3
    the visible area (the coverage). Divide channels 0-2 by channel 3 for the mean colour.

    Args:
        vertices: [V,3] float32 or float64 in pixel units; z is the depth, interpolated affinely
            in screen space, so interpenetrating triangles are split along their line of equal
            depth.
        faces: [F,3] int32.
        colour: [F,3,3] of the vertex dtype: colour[f, k, c] is channel c at corner k of face f.
        height, width, origin, limit: as for :func:`opaque_coverage` (the budget covers the
            workspace and the [height, width, 4] output).

    Returns:
        [height, width, 4] tensor of the vertex dtype, differentiable in ``vertices`` (x, y and z)
        and ``colour``.

    Example:
        >>> v = torch.tensor([[0, 0, 1], [4, 0, 1], [0, 4, 2]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> rgb = torch.rand(1, 3, 3, dtype=torch.float64, requires_grad=True)
        >>> out = vrel.opaque_integrate(v, f, rgb, 4, 4)
        >>> colour_image = out[..., :3]
    """
    ox, oy = float(origin[0]), float(origin[1])

    def window(v, f, c, h, w, x, y):
        budget = limit if limit is not None else _integrate_budget(v, h, w)
        return call("opaque_integrate", v, f, c, h, w, x, y, budget)

    return _render(window, vertices, faces, colour, int(height), int(width), ox, oy, 4, 0)


# ---- quadrature -------------------------------------------------------------------------------

_QUADRATURE_DOC = """
    Args:
        vertices: [V,3] float32 or float64 in pixel units, as for :func:`opaque_integrate` (z is
            the depth; smaller is nearer).
        faces: [F,3] int32.
        cuts: per-face cut lines that no quadrature piece straddles, of the vertex dtype: [F,3,K]
            with K <= 16 (line k of face f is ``c0*l0 + c1*l1 + c2*l2 = 0`` in the face's
            barycentric coordinates, ``c = cuts[f, :, k]``), or packed [F,1,3K+6] with K <= 15
            (six per-corner coordinates u0, v0, u1, v1, u2, v2, then lines ``a*u + b*v + c = 0``).
            None: no cuts ([F,3,0]).
        height, width: the image extents, each in [1, 2**20].
        origin: (ox, oy), the image-plane position of pixel (0, 0)'s lower corner.
        limit: byte budget of each core call (workspace plus output), at most 64 MiB. By default
            the image is rendered in tiles that each fit 64 MiB.

    Returns:
        (owners, nodes): owners [height*width, 800] int32, the face of each node of pixel
        p = row*width + column (-1 for an unused slot); nodes [height*width, 800, 4] of the
        vertex dtype, (l0, l1, l2, weight) per node: its barycentric coordinates in the owner
        face and its weight in pixel-area units (0 for an unused slot). The nodes are
        differentiable in ``vertices`` and ``cuts``.

    A pixel with more than 32 candidate faces, or whose pieces cannot get the lowest rule orders
    within 800 slots, raises a RuntimeError (status 4).
"""


def _tiles(vertices, height: int, width: int, limit):
    """Windows (row, column, rows, columns) covering the image, each of whose outputs fits the
    budget beside the workspace reserve."""
    per_pixel = QUADRATURE_SLOTS * 4 * (_element_size(vertices) + 1)
    budget = MAX_BUDGET if limit is None else int(limit)
    cap = max(1, (budget - QUADRATURE_RESERVE) // per_pixel)
    columns = min(width, cap)
    rows = max(1, min(height, cap // columns))
    return [(j, i, min(rows, height - j), min(columns, width - i))
            for j in range(0, height, rows) for i in range(0, width, columns)]


def _quadrature(name, vertices, faces, cuts, height, width, origin, limit, *extra):
    if cuts is None:
        cuts = vertices.new_zeros((faces.shape[0], 3, 0))
    ox, oy = float(origin[0]), float(origin[1])
    height, width = int(height), int(width)
    budget = MAX_BUDGET if limit is None else int(limit)
    tiles = _tiles(vertices, height, width, limit)
    if len(tiles) == 1:
        return call(name, vertices, faces, cuts, height, width, ox, oy, *extra, budget)
    bands, band, row = [], [], 0
    for j, i, rows, columns in tiles:
        owners, nodes = call(name, vertices, faces, cuts, rows, columns, ox + i, oy + j, *extra,
                             budget)
        band.append((owners.view(rows, columns, QUADRATURE_SLOTS),
                     nodes.view(rows, columns, QUADRATURE_SLOTS, 4)))
        if i + columns == width:
            bands.append(tuple(torch.cat(parts, 1) for parts in zip(*band)))
            band = []
    owners, nodes = (torch.cat(parts, 0) for parts in zip(*bands))
    return (owners.reshape(height * width, QUADRATURE_SLOTS),
            nodes.reshape(height * width, QUADRATURE_SLOTS, 4))


def opaque_quadrature(vertices: torch.Tensor, faces: torch.Tensor,
                      cuts: torch.Tensor | None = None, *, height: int, width: int,
                      origin: tuple[float, float] = (0.0, 0.0), limit: int | None = None):
    """Per-pixel quadrature rules over the visible parts of the triangles.

    For every pixel, up to 800 nodes over the visible (depth-resolved) pieces of the faces, such
    that ``sum(weight * f(node))`` over a pixel's nodes integrates a per-face function f over the
    pixel: exactly for polynomials in position up to degree 8 on pieces no cut crosses and up to
    degree 39 (25 where many pieces share the pixel) on pieces that cuts divide. The weights of a
    pixel sum to its coverage.
{doc}
    Example:
        >>> v = torch.tensor([[-1, -1, 1], [5, -1, 1], [-1, 5, 1]], dtype=torch.float64,
        ...                  requires_grad=True)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes = vrel.opaque_quadrature(v, f, height=2, width=2)
        >>> owners.shape, nodes.shape
        (torch.Size([4, 800]), torch.Size([4, 800, 4]))
        >>> area = nodes[..., 3].sum(dim=1)  # each pixel's covered area
        >>> torch.allclose(area, torch.ones(4, dtype=torch.float64))
        True
        >>> x = nodes[..., :3] @ v[:, 0]  # x of every node (face 0 owns them all)
        >>> (nodes[..., 3] * x).sum().backward()  # gradients reach the vertices
    """
    return _quadrature("opaque_quadrature", vertices, faces, cuts, height, width, origin, limit)


def opaque_material_quadrature(vertices: torch.Tensor, faces: torch.Tensor,
                               cuts: torch.Tensor | None = None, *, height: int, width: int,
                               origin: tuple[float, float] = (0.0, 0.0),
                               limit: int | None = None):
    """Per-pixel quadrature rules for material evaluation.

    As :func:`opaque_quadrature` with one difference in the node budget: without cut lines
    (K = 0), when the pixel's pieces fit, each uncut piece takes a 44-node rule exact to degree
    14 instead of the Gauss product.
{doc}
    Example:
        >>> v = torch.tensor([[-1, -1, 1], [5, -1, 1], [-1, 5, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes = vrel.opaque_material_quadrature(v, f, height=1, width=1)
        >>> round(float(nodes[0, :, 3].sum()), 12)  # the pixel's covered area
        1.0
    """
    return _quadrature("opaque_material_quadrature", vertices, faces, cuts, height, width, origin,
                       limit)


def opaque_boundary_quadrature(vertices: torch.Tensor, faces: torch.Tensor,
                               cuts: torch.Tensor | None = None, *, edge: int, height: int,
                               width: int, origin: tuple[float, float] = (0.0, 0.0),
                               limit: int | None = None):
    """Quadrature nodes along one edge of every pixel: 0 bottom, 1 right, 2 top, 3 left.

    Same outputs and layout as :func:`opaque_quadrature`, the weights in units of pixel edge
    length: an 8-point Gauss-Legendre rule per interval where a face is visible, split where the
    face's cut lines cross the edge so that no rule straddles a cut. Not differentiable. An edge
    outside 0..3 raises "opaque boundary edge".
{doc}
    Example:
        >>> v = torch.tensor([[-1, -1, 1], [5, -1, 1], [-1, 5, 1]], dtype=torch.float64)
        >>> f = torch.tensor([[0, 1, 2]], dtype=torch.int32)
        >>> owners, nodes = vrel.opaque_boundary_quadrature(v, f, edge=0, height=1, width=1)
        >>> round(float(nodes[0, :, 3].sum()), 12)  # the whole bottom edge is covered
        1.0
        >>> try:
        ...     vrel.opaque_boundary_quadrature(v, f, edge=4, height=1, width=1)
        ... except RuntimeError as error:
        ...     print(error)
        vrel-internal: opaque boundary edge
    """
    return _quadrature("opaque_boundary_quadrature", vertices, faces, cuts, height, width, origin,
                       limit, int(edge))


for _function in (opaque_quadrature, opaque_material_quadrature, opaque_boundary_quadrature):
    _function.__doc__ = _function.__doc__.replace("{doc}", _QUADRATURE_DOC)
