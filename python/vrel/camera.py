"""Cameras: view and projection matrices for :func:`vrel.render_mesh`.

Conventions (every camera, rendering and texturing helper of vrel follows them)
--------------------------------------------------------------------------------

World and camera space
    Right-handed. A *view* matrix maps world space to camera space, where the camera sits at the
    origin looking down -z, with x to the right and y up. Angles are in radians.

Matrices
    ``[..., 4, 4]`` for column vectors, ``p' = M @ (x, y, z, 1)``, the translation in the last
    column: the layout :func:`vrel.transform_points` takes. Leading dimensions are batch
    dimensions; every helper here broadcasts its arguments over them, and scalar arguments give
    a single ``[4, 4]`` matrix. The helpers are plain PyTorch, so gradients flow to tensor
    arguments (eye, target, field of view, focal lengths, ...).

Clip space and NDC
    A *projection* matrix maps camera space to clip space ``(X, Y, Z, W)``; normalized device
    coordinates are ``(X, Y, Z) / W``: x to the right and y up, both spanning [-1, 1] across the
    image, and z from -1 on the near plane to +1 on the far plane (smaller is nearer; this is the
    depth that :func:`vrel.rasterize` interpolates and reports). For the perspective matrices
    ``W = -z``, the distance in front of the camera.

Near plane
    The plane ``Z = -W`` of clip space (NDC z = -1); for a perspective camera it is ``W = near``.
    :func:`vrel.render_mesh` clips every triangle against it, so nothing behind the near plane
    (and nothing behind the camera) is ever rasterized. Nothing is clipped at the far plane.

Pixels
    An image of H rows and W columns, row 0 at the top. Continuous pixel coordinates
    ``(px, py)``: px to the right, py down, ``(0, 0)`` the top-left corner of the image; pixel
    (row i, column j) has its centre at ``(j + 0.5, i + 0.5)``. NDC x maps to
    ``px = (x + 1) * W / 2`` and NDC y to ``py = (1 - y) * H / 2``, as in :func:`vrel.rasterize`.
    Screen-space derivatives (:func:`vrel.interpolate_attributes`) are per pixel step along px
    (one column to the right) and along py (one row down).

Pinhole intrinsics
    ``fx, fy, cx, cy`` in pixels of the same convention: a camera-space point ``(x, y, z)``
    (``z < 0``) lands at ``px = cx + fx * x / -z`` and ``py = cy - fy * y / -z``. Calibrations
    that put pixel centres on integers (the first pixel centred at (0, 0)) need 0.5 added to
    ``cx`` and ``cy``.

Texture coordinates
    ``(u, v)``: u across the texture's width, v down its rows, [0, 1] spanning the texture (the
    convention of :func:`vrel.texture`). Coordinates whose v runs up need ``v = 1 - v``.

Example::

    view = vrel.camera.look_at(eye=[0.0, 1.0, 3.0], target=[0.0, 0.0, 0.0])
    projection = vrel.camera.perspective(fov_y=0.8, aspect=4 / 3, near=0.1, far=20.0)
    fragments = vrel.render_mesh(vertices, faces, vrel.camera.Camera(view, projection),
                                 image_size=(240, 320))
"""
from __future__ import annotations

import math
from typing import NamedTuple

import torch

__all__ = ["Camera", "look_at", "perspective", "orthographic", "from_intrinsics"]


class Camera(NamedTuple):
    """A view and a projection matrix, each ``[4, 4]`` or ``[B, 4, 4]``.

    ``camera.matrix`` is ``projection @ view``, the clip-from-world matrix that
    :func:`vrel.render_mesh` applies (it also accepts that matrix directly). Conventions:
    :mod:`vrel.camera`.
    """

    view: torch.Tensor
    projection: torch.Tensor

    @property
    def matrix(self) -> torch.Tensor:
        """Clip-from-world matrix ``projection @ view``, ``[..., 4, 4]``, in the promoted dtype
        of the two."""
        dtype = torch.promote_types(self.projection.dtype, self.view.dtype)
        return self.projection.to(dtype) @ self.view.to(dtype)


def _floats(*values):
    """Tensors of one floating dtype, broadcast together: the promoted dtype of the tensor
    arguments (the default float dtype when none is floating); numbers and sequences are
    converted straight into it, so that 0.1 stays 0.1 in float64."""
    dtype = None
    for v in values:
        if isinstance(v, torch.Tensor):
            dtype = v.dtype if dtype is None else torch.promote_types(dtype, v.dtype)
    if dtype is None or not dtype.is_floating_point:
        dtype = torch.get_default_dtype()
    device = next((v.device for v in values if isinstance(v, torch.Tensor)), None)
    return torch.broadcast_tensors(*[torch.as_tensor(v, dtype=dtype, device=device)
                                     for v in values])


def _matrix(rows) -> torch.Tensor:
    """Stacks a 4x4 nested list of broadcast tensors (or Python zeros/ones) into [..., 4, 4]."""
    like = next(x for row in rows for x in row if isinstance(x, torch.Tensor))
    entries = [x if isinstance(x, torch.Tensor) else torch.full_like(like, float(x))
               for row in rows for x in row]
    return torch.stack(entries, dim=-1).reshape(like.shape + (4, 4))


def look_at(eye, target, up=(0.0, 1.0, 0.0)) -> torch.Tensor:
    """View matrix ``[..., 4, 4]`` of a camera at ``eye`` looking at ``target``.

    ``eye``, ``target`` and ``up`` are ``[..., 3]`` (tensors or sequences; they broadcast). The
    camera's -z axis points from ``eye`` to ``target``; its y axis is the part of ``up``
    orthogonal to that direction. Raises ValueError when ``eye`` equals ``target`` or ``up`` is
    parallel to the viewing direction. Differentiable in all three. Conventions:
    :mod:`vrel.camera`.

    Example:
        >>> view = vrel.camera.look_at([3.0, 0.0, 0.0], [0.0, 0.0, 0.0])  # on the +x axis
        >>> (view @ torch.tensor([0.0, 0.0, 0.0, 1.0])).tolist()   # the target: 3 ahead, on -z
        [0.0, 0.0, -3.0, 1.0]
        >>> (view @ torch.tensor([0.0, 0.0, 1.0, 1.0])).tolist()   # world +z: to the left
        [-1.0, 0.0, -3.0, 1.0]
        >>> vrel.camera.look_at(torch.rand(10, 3) + 2.0, [0.0, 0.0, 0.0]).shape   # a batch
        torch.Size([10, 4, 4])
    """
    eye, target, up = _floats(eye, target, up)
    if eye.shape[-1:] != (3,):
        raise ValueError(f"eye, target and up must be [..., 3]; got shape {tuple(eye.shape)}")
    backward = eye - target  # the camera's +z axis, before normalisation
    right = torch.linalg.cross(up, backward, dim=-1)
    length_z = backward.norm(dim=-1, keepdim=True)
    length_x = right.norm(dim=-1, keepdim=True)
    if bool((length_z == 0).any()):
        raise ValueError("look_at: eye and target must differ")
    if bool((length_x <= 1e-7 * length_z * up.norm(dim=-1, keepdim=True)).any()):
        raise ValueError("look_at: up must not be parallel to the viewing direction")
    z = backward / length_z
    x = right / length_x
    y = torch.linalg.cross(z, x, dim=-1)
    rotation = torch.stack([x, y, z], dim=-2)  # rows: the camera axes in world space
    translation = -(rotation @ eye.unsqueeze(-1))
    top = torch.cat([rotation, translation], dim=-1)
    bottom = torch.zeros_like(top[..., :1, :])
    bottom[..., 0, 3] = 1.0
    return torch.cat([top, bottom], dim=-2)


def _depth_rows(near, far):
    """Third-row entries (A, B) mapping camera z = -near to NDC -1 and z = -far to +1
    (far may be +inf: B/z then tends to the limit A = -1, B = -2 near)."""
    if isinstance(far, (int, float)) and math.isinf(far) and far > 0:
        return -torch.ones_like(near), -2.0 * near
    return (far + near) / (near - far), 2.0 * far * near / (near - far)


def perspective(fov_y, aspect, near, far) -> torch.Tensor:
    """Perspective projection ``[..., 4, 4]``.

    ``fov_y`` is the vertical field of view (radians), ``aspect`` the image width over its
    height, ``near`` and ``far`` the distances of the clipping planes (``0 < near < far``;
    ``far`` may be ``math.inf``). Arguments broadcast; tensor arguments get gradients. The near
    plane maps to NDC z = -1 and the far plane to +1. Conventions: :mod:`vrel.camera`.

    Example:
        >>> projection = vrel.camera.perspective(torch.pi / 2, 2.0, 1.0, 3.0)  # 90 degrees, 2:1
        >>> corner = projection @ torch.tensor([2.0, 1.0, -1.0, 1.0])  # near plane, top right
        >>> (corner[:3] / corner[3]).round(decimals=5).tolist()
        [1.0, 1.0, -1.0]
        >>> far = projection @ torch.tensor([0.0, 0.0, -3.0, 1.0])
        >>> (far[:3] / far[3]).tolist()
        [0.0, 0.0, 1.0]
        >>> vrel.camera.perspective(torch.tensor([0.5, 1.0]), 1.0, 0.1, 10.0).shape  # two fovs
        torch.Size([2, 4, 4])
    """
    infinite = isinstance(far, (int, float)) and math.isinf(far)
    if infinite:
        fov_y, aspect, near = _floats(fov_y, aspect, near)
    else:
        fov_y, aspect, near, far = _floats(fov_y, aspect, near, far)
    f = 1.0 / torch.tan(fov_y / 2.0)
    a, b = _depth_rows(near, math.inf if infinite else far)
    return _matrix([[f / aspect, 0, 0, 0],
                    [0, f, 0, 0],
                    [0, 0, a, b],
                    [0, 0, -1, 0]])


def orthographic(left, right, bottom, top, near, far) -> torch.Tensor:
    """Orthographic projection ``[..., 4, 4]`` of the camera-space box
    ``[left, right] x [bottom, top] x [-far, -near]`` onto NDC ``[-1, 1]^3`` (W stays 1).

    Arguments broadcast; tensor arguments get gradients. Conventions: :mod:`vrel.camera`.

    Example:
        >>> projection = vrel.camera.orthographic(-2.0, 2.0, -1.0, 1.0, 1.0, 5.0)
        >>> (projection @ torch.tensor([2.0, 1.0, -5.0, 1.0])).tolist()    # far top right
        [1.0, 1.0, 1.0, 1.0]
        >>> (projection @ torch.tensor([-2.0, -1.0, -1.0, 1.0])).tolist()  # near bottom left
        [-1.0, -1.0, -1.0, 1.0]
    """
    left, right, bottom, top, near, far = _floats(left, right, bottom, top, near, far)
    width, height, depth = right - left, top - bottom, far - near
    return _matrix([[2.0 / width, 0, 0, -(right + left) / width],
                    [0, 2.0 / height, 0, -(top + bottom) / height],
                    [0, 0, -2.0 / depth, -(far + near) / depth],
                    [0, 0, 0, 1]])


def from_intrinsics(fx, fy, cx, cy, width, height, near, far) -> torch.Tensor:
    """Perspective projection ``[..., 4, 4]`` of a pinhole camera with focal lengths ``fx``,
    ``fy`` and principal point ``(cx, cy)`` in pixels, for an image ``width`` x ``height``.

    A camera-space point ``(x, y, z)`` lands at pixel ``px = cx + fx * x / -z``,
    ``py = cy - fy * y / -z`` (py down, the top-left image corner at (0, 0), pixel centres at
    half-integers). Depth maps as in :func:`perspective` (``far`` may be ``math.inf``), which
    this equals for ``fx = fy = height / (2 tan(fov_y / 2))`` and ``(cx, cy)`` the image centre.
    Arguments broadcast; tensor arguments get gradients. Conventions: :mod:`vrel.camera`.

    Example:
        >>> fx, fy, cx, cy, width, height = 100.0, 100.0, 75.0, 75.0, 200, 100
        >>> projection = vrel.camera.from_intrinsics(fx, fy, cx, cy, width, height, 0.1, 10.0)
        >>> clip = projection @ torch.tensor([1.0, 0.5, -2.0, 1.0])
        >>> x, y = (clip[:2] / clip[3]).tolist()
        >>> [(x + 1) * width / 2, (1 - y) * height / 2]  # cx + fx * 1/2, cy - fy * 0.5/2
        [125.0, 50.0]
    """
    infinite = isinstance(far, (int, float)) and math.isinf(far)
    if infinite:
        fx, fy, cx, cy, width, height, near = _floats(fx, fy, cx, cy, width, height, near)
    else:
        fx, fy, cx, cy, width, height, near, far = _floats(fx, fy, cx, cy, width, height, near,
                                                           far)
    a, b = _depth_rows(near, math.inf if infinite else far)
    return _matrix([[2.0 * fx / width, 0, 1.0 - 2.0 * cx / width, 0],
                    [0, 2.0 * fy / height, 2.0 * cy / height - 1.0, 0],
                    [0, 0, a, b],
                    [0, 0, -1, 0]])
