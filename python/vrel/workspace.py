"""Workspace sizes of the ``_out`` operators."""
from __future__ import annotations

from ._registry import ops

__all__ = ["workspace_sizes"]


def workspace_sizes(vertex_count=0, face_count=0, point_count=0, neighbor_count=0,
                    sample_count=0, batch_count=1, image_height=0, image_width=0,
                    faces_per_pixel=0, double_precision=False):
    """Workspace bytes the ``_out`` operators need on the CPU for the given sizes.

    The ``torch.ops.vrel.*_out`` operators write into caller tensors and take a caller workspace;
    this reports its size for each of them.

    Args:
        vertex_count, face_count, point_count, neighbor_count, sample_count, batch_count,
        image_height, image_width, faces_per_pixel: the sizes of the call.
        double_precision: float64 data instead of float32.

    Returns:
        Six byte counts: for vertex normals, transform points, perspective divide, closest point
        on mesh, sample surface and rasterize, in that order. The closest-point size is its
        spatial index over the faces; with a smaller workspace the search is exhaustive, with the
        same results.

    Example:
        >>> vrel.workspace_sizes(vertex_count=100, face_count=50)
        (1200, 0, 0, 10880, 400, 0)
    """
    return ops.workspace_sizes(vertex_count, face_count, point_count, neighbor_count,
                               sample_count, batch_count, image_height, image_width,
                               faces_per_pixel, bool(double_precision))
