"""The demo's second act: every pixel an exact area integral, and a fit with exact gradients.

1. Exact render: the mesh projected to pixel units, each face given per-corner colours from a
   Lambert shading of the vertex normals, and integrated over every pixel with
   vrel.opaque_integrate (visible colour and coverage, nearest surface first), then encoded to sRGB
   with vrel.srgb_transfer. The rasterizer's render of the same colours (one sample at each pixel
   centre) is written beside it, with a zoomed crop of a silhouette edge from each.
2. Exact fit: the first act's sphere, from the same start, for the same number of steps, fitted to
   the blob's exact coverage with vrel.opaque_coverage, whose vertex gradients are exact (no blur
   radius, no sigmoid temperature).
"""
from __future__ import annotations

import torch

import vrel
from vrel.loss import laplacian_smoothing

BACKGROUND = (0.08, 0.09, 0.12)
BASE_COLOUR = (0.85, 0.55, 0.35)
LIGHT = (0.4, 0.8, 0.6)


def to_pixels(vertices: torch.Tensor, camera: vrel.camera.Camera, size: int) -> torch.Tensor:
    """[V,3]: x and y in pixel units of a size x size image (pixel (row j, column i) is the square
    [i, i+1] x [j, j+1], rows from the top, as the rasterizer places them) and the NDC depth, which
    is affine in screen space over each triangle. Differentiable in the vertices."""
    clip = torch.cat([vertices, vertices.new_ones(vertices.shape[0], 1)], 1) @ camera.matrix.T
    ndc = clip[:, :3] / clip[:, 3:]
    return torch.stack([(ndc[:, 0] + 1.0) * (size / 2.0), (1.0 - ndc[:, 1]) * (size / 2.0),
                        ndc[:, 2]], dim=1)


def front_faces(pixels: torch.Tensor, faces: torch.Tensor) -> torch.Tensor:
    """The faces of a closed, outward-wound mesh that face the camera. The first surface a ray
    meets on a closed mesh is always one it enters, so these alone cover the same pixels with the
    same visible colour; dropping the others halves the candidates per pixel."""
    with torch.no_grad():
        p = pixels[faces.long()][..., :2]
        e1, e2 = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0]
        # Rows run down the image, so an outward face seen from outside winds clockwise here.
        facing = (e1[:, 0] * e2[:, 1] - e1[:, 1] * e2[:, 0]) < 0
    return faces[facing]


def vertex_colours(vertices: torch.Tensor, faces: torch.Tensor) -> torch.Tensor:
    """[V,3] linear RGB: a Lambert term of the outward vertex normals on the base colour."""
    normals = vrel.vertex_normals(vertices, faces, 1e-12, vrel.WEIGHTING_AREA)
    if ((vertices - vertices.mean(dim=0)) * normals).sum() < 0:
        normals = -normals
    light = torch.tensor(LIGHT, dtype=vertices.dtype)
    lambert = (normals @ (light / light.norm())).clamp_min(0.0)
    return (0.15 + 0.85 * lambert)[:, None] * torch.tensor(BASE_COLOUR, dtype=vertices.dtype)


def exact_render(vertices, faces, camera, size):
    """The exact render: returns the sRGB image [H,W,3], the [H,W,4] integrals (visible colour,
    coverage) and the pixel-unit vertices."""
    with torch.no_grad():
        colours = vertex_colours(vertices, faces)
        pixels = to_pixels(vertices, camera, size)
        front = front_faces(pixels, faces)
        integrals = vrel.opaque_integrate(pixels, front, colours[front.long()], size, size)
        background = torch.tensor(BACKGROUND, dtype=vertices.dtype)
        linear = integrals[..., :3] + (1.0 - integrals[..., 3:]) * background
        image = vrel.srgb_transfer(linear.clamp(0.0, 1.0), vrel.LINEAR_TO_SRGB)
    return image, integrals, pixels


def raster_render(vertices, faces, camera, size):
    """The rasterizer's render of the same colours, sampled at pixel centres: the sRGB image
    [H,W,3] and the covered pixels [H,W]."""
    with torch.no_grad():
        fragments = vrel.render_mesh(vertices, faces, camera, size, 1, cull_mode=vrel.CULL_NONE)
        colour = vrel.interpolate_attributes(fragments, vertex_colours(vertices, faces))[0, :, :, 0]
        covered = fragments.face_index[0, :, :, 0] >= 0
        background = torch.tensor(BACKGROUND, dtype=vertices.dtype)
        linear = torch.where(covered[..., None], colour, background)
        image = vrel.srgb_transfer(linear.clamp(0.0, 1.0), vrel.LINEAR_TO_SRGB)
    return image, covered


def edge_window(covered: torch.Tensor, size: int) -> tuple[slice, slice]:
    """A window of about size/16 pixels (at least 8) centred on the silhouette where a row a
    third of the way down leaves the mesh for the last time."""
    side = max(8, size // 16)
    row = size // 3
    columns = covered[row].nonzero().flatten()
    while len(columns) == 0 and row < size - 1:
        row += 1
        columns = covered[row].nonzero().flatten()
    column = int(columns[-1]) if len(columns) else size // 2
    top = min(max(row - side // 2, 0), size - side)
    left = min(max(column - side // 2, 0), size - side)
    return slice(top, top + side), slice(left, left + side)


def exact_fit(base, sphere_faces, target, camera, fit_size, iterations, progress):
    """The sphere's vertex offsets fitted by Adam to `target` (the blob's exact coverage) with the
    same step size and smoothing weight as the first act; returns the fitted vertices and the
    image loss per step."""
    offsets = torch.zeros_like(base, requires_grad=True)
    optimiser = torch.optim.Adam([offsets], lr=0.01)
    losses = []
    for step in range(1, iterations + 1):
        optimiser.zero_grad()
        current = base + offsets
        pixels = to_pixels(current, camera, fit_size)
        coverage = vrel.opaque_coverage(pixels, front_faces(pixels, sphere_faces), fit_size,
                                        fit_size)
        image_loss = ((coverage - target) ** 2).mean()
        loss = image_loss + 0.5 * laplacian_smoothing(current, sphere_faces)
        loss.backward()
        optimiser.step()
        losses.append(image_loss.item())
        print(progress(step, iterations, losses[-1], "exact fit"), end="", flush=True)
        if step % 50 == 0 or step == iterations:
            print()
    return (base + offsets).detach(), losses


def exact_coverage(vertices, faces, camera, size) -> torch.Tensor:
    """The exact silhouette [size, size] of a closed mesh."""
    with torch.no_grad():
        pixels = to_pixels(vertices, camera, size)
        return vrel.opaque_coverage(pixels, front_faces(pixels, faces), size, size)
