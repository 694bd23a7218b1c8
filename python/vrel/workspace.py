"""Workspace sizes of the ``_out`` operators."""
from __future__ import annotations

from ._registry import ops

__all__ = ["workspace_sizes"]


def workspace_sizes(vertex_count=0, face_count=0, point_count=0, neighbor_count=0,
                    sample_count=0, batch_count=1, image_height=0, image_width=0,
                    faces_per_pixel=0, double_precision=False):
    """Workspace bytes of the ``_out`` operators on the CPU, in this order: vertex normals,
    transform points, perspective divide, closest point on mesh, sample surface, rasterize."""
    return ops.workspace_sizes(vertex_count, face_count, point_count, neighbor_count,
                               sample_count, batch_count, image_height, image_width,
                               faces_per_pixel, bool(double_precision))
