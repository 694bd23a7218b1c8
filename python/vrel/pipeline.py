"""From a mesh and a camera to an image: rendering, attribute interpolation and texturing.

:func:`render_mesh` takes world-space vertices through a camera into clip space, clips the
triangles against the near plane, rasterizes them and returns :class:`Fragments` that name the
original faces with perspective-correct barycentrics. :func:`interpolate_attributes` blends
per-vertex or per-corner attributes over the fragments and, on request, returns their analytic
screen-space derivatives, which :class:`Texture` turns into a mip level of detail. Every step is
differentiable (vertices, camera matrices, attributes, texture images and coordinates) and runs
on the vrel operators (``torch.ops.vrel``). Conventions: :mod:`vrel.camera`.
"""
from __future__ import annotations

import dataclasses
import functools

import torch

from .camera import Camera
from .render import CULL_NONE, interpolate, rasterize
from .textures import FILTER_LINEAR, MIP_LINEAR, WRAP_BORDER, WRAP_REPEAT, texture, texture_pyramid
from .transforms import perspective_divide, transform_points

__all__ = ["Fragments", "render_mesh", "interpolate_attributes", "Texture"]


@dataclasses.dataclass(frozen=True)
class _Pieces:
    """The triangles that were rasterized ("pieces"): every face in front of the near plane as
    it is, and the one or two triangles left of each face that crosses it. A clipped piece's
    corners are convex combinations of its face's corners in clip space:
    ``piece corner k = sum_j weights[row, k, j] * face corner j``."""

    face: torch.Tensor | None   # [P] int64 face row (within its batch element); None: P = B*F
                                # pieces that are the faces themselves, in order
    screen: torch.Tensor        # [P,3,2] corner pixel coordinates (px, py)
    w: torch.Tensor             # [P,3] corner clip-space W
    clip_row: torch.Tensor      # [P] int64 row of clip_weights, -1 for an unclipped face
    clip_weights: torch.Tensor  # [Pc,3,3]


class Fragments:
    """The fragments of :func:`render_mesh`, K depth-ordered layers per pixel.

    Attributes:
        face_index: ``[B,H,W,K]`` int32: the row of ``faces`` covering the fragment, -1 for an
            empty layer. A face clipped into two triangles may fill two layers of one pixel when
            both lie within the blur radius.
        barycentric: ``[B,H,W,K,3]``: weights of the face's three corners (zeros when empty);
            perspective-correct unless the render asked for screen-space weights.
        depth: ``[B,H,W,K]``: NDC z (smaller is nearer; +inf when empty).
        signed_distance: ``[B,H,W,K]``: squared pixel distance to the rasterized triangle's
            boundary, negative inside (+inf when empty). For a clipped face that triangle is the
            clipped part, whose boundary includes the cut along the near plane.
        perspective_correct: whether ``barycentric`` is perspective-correct.

    ``face_index`` and ``barycentric`` are computed on first use, so that a render that only
    needs depths or signed distances (a soft silhouette) does not pay for them.
    Conventions: :mod:`vrel.camera`.
    """

    def __init__(self, piece_index, screen_barycentric, depth, signed_distance,
                 perspective_correct, faces, vertex_count, pieces):
        self.depth, self.signed_distance = depth, signed_distance
        self.perspective_correct = perspective_correct
        self._piece_index, self._screen_barycentric = piece_index, screen_barycentric
        self._faces, self._vertex_count, self._pieces = faces, vertex_count, pieces
        self._valid = piece_index >= 0

    def __repr__(self) -> str:
        b, h, w, k = self._piece_index.shape
        return (f"Fragments(batch={b}, height={h}, width={w}, layers={k}, "
                f"covered={int(self._valid.sum())}, perspective_correct="
                f"{self.perspective_correct})")

    @functools.cached_property
    def face_index(self) -> torch.Tensor:
        face = self._pieces.face
        if face is None:  # pieces are the faces: only the batch elements' offsets to remove
            batch, faces = self._piece_index.shape[0], self._faces.shape[0]
            if batch == 1:
                return self._piece_index
            shift = torch.arange(batch, device=self._valid.device, dtype=torch.int32)
            return torch.where(self._valid, self._piece_index - faces * shift[:, None, None, None],
                               -1)
        index = torch.full_like(self._piece_index, -1)
        index[self._valid] = face[self._piece_index[self._valid].long()].to(torch.int32)
        return index

    @functools.cached_property
    def barycentric(self) -> torch.Tensor:
        b = self._screen_barycentric
        if not self.perspective_correct and self._pieces.clip_weights.shape[0] == 0:
            return b
        piece = self._piece_index[self._valid].long()
        weights = b[self._valid]
        if self.perspective_correct:
            weights, _ = _perspective(weights, self._pieces.w[piece])
        weights = _through_clip_weights(weights, piece, self._pieces, "pkj,pk->pj")
        return torch.zeros_like(b).index_put((self._valid,), weights)

    def barycentric_derivatives(self) -> torch.Tensor:
        """``[B,H,W,K,3,2]``: derivatives of ``barycentric`` along px (one column right) and py
        (one row down), exact for the rasterized triangle's plane; zeros for empty fragments.
        Differentiable. Conventions: :mod:`vrel.camera`."""
        b = self._screen_barycentric
        piece = self._piece_index[self._valid].long()
        s = self._pieces.screen[piece]  # [N,3,2]
        x, y = s[..., 0], s[..., 1]
        # b_k is the signed area of the sub-triangle opposite corner k over the whole area; each
        # is affine in the pixel position with gradient perp(s_{k+1} - s_{k+2}) / area.
        nxt, prv = [1, 2, 0], [2, 0, 1]
        area = (x[:, 1] - x[:, 0]) * (y[:, 2] - y[:, 0]) - (y[:, 1] - y[:, 0]) * (x[:, 2] - x[:, 0])
        grad = torch.stack([y[:, nxt] - y[:, prv], x[:, prv] - x[:, nxt]], dim=-1)
        grad = grad / area[:, None, None]
        if self.perspective_correct:
            # b'_k = q_k / S with q_k = b_k / w_k and S = sum q: the quotient rule.
            w = self._pieces.w[piece]
            corrected, total = _perspective(b[self._valid], w)
            gq = grad / w[..., None]
            usable = total > 0
            total = torch.where(usable, total, torch.ones_like(total))
            product = (gq - corrected[..., None] * gq.sum(-2, keepdim=True)) / total[..., None]
            grad = torch.where(usable[..., None], product, grad)
        grad = _through_clip_weights(grad, piece, self._pieces, "pkj,pka->pja")
        return b.new_zeros(tuple(b.shape) + (2,)).index_put((self._valid,), grad)


def _perspective(screen, w):
    """Perspective-correct weights from screen-space weights [N,3] and corner W [N,3], and the
    normaliser [N,1]. Linear in 3-D is linear in screen space after dividing by W: weigh by
    1 / W and renormalise. Blurred fragments far outside a triangle may reach its horizon
    (normaliser <= 0); they keep their screen-space weights."""
    q = screen / w
    total = q.sum(-1, keepdim=True)
    usable = total > 0
    corrected = q / torch.where(usable, total, torch.ones_like(total))
    return torch.where(usable, corrected, screen), total


def _through_clip_weights(values, piece, pieces, equation):
    """Re-expresses per-piece corner weights (or their derivatives) [N,3(,2)] of the fragments
    on pieces [N] in terms of their face's corners; unclipped pieces pass through unchanged."""
    if pieces.clip_weights.shape[0] == 0:
        return values
    row = pieces.clip_row[piece]
    clipped = row >= 0
    weights = pieces.clip_weights[row[clipped]]
    return values.index_put((clipped,), torch.einsum(equation, weights, values[clipped]))


def _image_size(image_size) -> tuple[int, int]:
    if isinstance(image_size, int):
        return image_size, image_size
    height, width = (int(n) for n in image_size)
    return height, width


def _clip_matrices(camera, like) -> torch.Tensor:
    matrix = camera.matrix if isinstance(camera, Camera) else torch.as_tensor(camera)
    if matrix.dim() == 2:
        matrix = matrix.unsqueeze(0)
    if matrix.dim() != 3 or matrix.shape[1:] != (4, 4):
        raise ValueError("camera must be a vrel.camera.Camera or a [4,4] or [B,4,4] "
                         f"clip-from-world matrix; got shape {tuple(matrix.shape)}")
    return matrix.to(dtype=like.dtype, device=like.device)


def _near_clip(corners):
    """Clips triangles against the near plane Z + W >= 0.

    ``corners`` [N,3,4] holds the clip-space corners of the faces that cross the plane. Returns
    (face [Pc] rows into ``corners``, weights [Pc,3,3]): a face with one corner in front becomes
    one triangle, a face with two becomes two; the cut points lie on the edges at the parameter
    where the plane distance Z + W vanishes, so the weights are differentiable in the corners.
    Winding is kept, so culling sees the original orientation.
    """
    distance = corners[..., 2] + corners[..., 3]
    inside = distance >= 0
    eye = torch.eye(3, dtype=corners.dtype, device=corners.device)
    rows = torch.arange(corners.shape[0], device=corners.device)

    def cut(sel, frm, to):
        # the point on edge frm -> to (frm in front, to behind) where the distance vanishes
        d_from, d_to = distance[sel, frm], distance[sel, to]
        t = d_from / (d_from - d_to)
        return eye[frm] + t[:, None] * (eye[to] - eye[frm])

    one = inside.sum(-1) == 1
    single, pair = rows[one], rows[~one]
    # One corner i in front: the triangle (i, cut(i, j), cut(i, k)).
    i = torch.argmax(inside[single].to(torch.int8), dim=-1)
    j, k = (i + 1) % 3, (i + 2) % 3
    triangle = torch.stack([eye[i], cut(single, i, j), cut(single, i, k)], dim=1)
    # One corner k behind: the quad (i, j, cut(j, k), cut(i, k)) as two triangles.
    k = torch.argmax((~inside[pair]).to(torch.int8), dim=-1)
    i, j = (k + 1) % 3, (k + 2) % 3
    cut_jk, cut_ik = cut(pair, j, k), cut(pair, i, k)
    first_half = torch.stack([eye[i], eye[j], cut_jk], dim=1)
    second_half = torch.stack([eye[i], cut_jk, cut_ik], dim=1)
    face = torch.cat([single, pair, pair])
    weights = torch.cat([triangle, first_half, second_half])
    return face, weights


def render_mesh(vertices, faces, camera, image_size, faces_per_pixel: int = 1, *,
                perspective_correct: bool = True, blur_radius_px: float = 0.0,
                cull_mode: int = CULL_NONE, eps: float = 1e-12) -> Fragments:
    """Renders a triangle mesh through a camera into ``faces_per_pixel`` fragment layers.

    Args:
        vertices: ``[V,3]`` or ``[B,V,3]`` float32/float64 world-space positions.
        faces: ``[F,3]`` integer vertex indices, shared by every batch element.
        camera: a :class:`vrel.camera.Camera` or a clip-from-world matrix, ``[4,4]`` or
            ``[B,4,4]`` (converted to the vertex dtype). Vertices and cameras broadcast over B.
        image_size: ``H`` (square) or ``(H, W)`` in pixels.
        faces_per_pixel: K, the number of depth layers kept per pixel.
        perspective_correct: barycentrics interpolate linearly in 3-D (True) or in screen space
            as :func:`vrel.rasterize` reports them (False; then the barycentrics of faces in
            front of the near plane are exactly that operator's).
        blur_radius_px, cull_mode, eps: passed to :func:`vrel.rasterize` (``vrel.CULL_*``;
            orientation is judged on screen, clipping keeps it).

    The vertices go to clip space with :func:`vrel.transform_points`; every face crossing the
    near plane (``Z + W = 0``, i.e. ``W = near`` for a perspective camera) is cut there in clip
    space, leaving one or two triangles whose corners are differentiable combinations of the
    face's corners, and faces entirely behind it are dropped, so no fragment ever comes from
    behind the near plane. The rest is divided by W (:func:`vrel.perspective_divide`) and
    rasterized (:func:`vrel.rasterize`); the fragments name the original faces and weigh their
    corners. Differentiable in ``vertices`` and the camera matrices through the barycentrics,
    depth and signed distances. Conventions: :mod:`vrel.camera`.

    Returns:
        :class:`Fragments`.

    Example:
        >>> vertices, faces = vrel.shapes.plane()            # the square [-1, 1]^2 at z = 0
        >>> camera = vrel.camera.Camera(vrel.camera.look_at([0.1, 0.0, 3.0], [0.1, 0.0, 0.0]),
        ...                             vrel.camera.perspective(0.8, 1.0, 0.1, 10.0))
        >>> fragments = vrel.render_mesh(vertices, faces, camera, 8)
        >>> fragments
        Fragments(batch=1, height=8, width=8, layers=1, covered=36, perspective_correct=True)
        >>> fragments.face_index[0, :, :, 0]                 # the face seen in each pixel
        tensor([[-1, -1, -1, -1, -1, -1, -1, -1],
                [-1,  1,  1,  1,  1,  1,  0, -1],
                [-1,  1,  1,  1,  1,  0,  0, -1],
                [-1,  1,  1,  1,  0,  0,  0, -1],
                [-1,  1,  1,  0,  0,  0,  0, -1],
                [-1,  1,  0,  0,  0,  0,  0, -1],
                [-1,  0,  0,  0,  0,  0,  0, -1],
                [-1, -1, -1, -1, -1, -1, -1, -1]], dtype=torch.int32)
    """
    height, width = _image_size(image_size)
    if vertices.dim() == 2:
        vertices = vertices.unsqueeze(0)
    if vertices.dim() != 3 or vertices.shape[-1] != 3:
        raise ValueError(f"vertices must be [V,3] or [B,V,3]; got shape {tuple(vertices.shape)}")
    if faces.dim() != 2 or faces.shape[1] != 3 or faces.dtype.is_floating_point:
        raise ValueError(f"faces must be an [F,3] integer tensor; got {tuple(faces.shape)} "
                         f"{faces.dtype}")
    vertex_count, face_count = vertices.shape[1], faces.shape[0]
    faces = faces.long()
    if face_count and (int(faces.min()) < 0 or int(faces.max()) >= vertex_count):
        raise ValueError(f"faces must index the {vertex_count} vertices")
    matrices = _clip_matrices(camera, vertices)
    batch = max(vertices.shape[0], matrices.shape[0])
    if {vertices.shape[0], matrices.shape[0]} - {1, batch}:
        raise ValueError(f"{vertices.shape[0]} vertex sets and {matrices.shape[0]} cameras do "
                         "not broadcast")
    device = vertices.device
    points = vertices.expand(batch, -1, -1).reshape(batch * vertex_count, 3).contiguous()
    matrices = matrices.expand(batch, -1, -1).contiguous()
    per_element = torch.arange(batch + 1, device=device, dtype=torch.int32) * vertex_count
    clip = transform_points(points, matrices, per_element)

    # Faces wholly in front of the near plane stay; those crossing it are cut; the rest go.
    global_faces = (faces.unsqueeze(0) + (torch.arange(batch, device=device) * vertex_count)
                    [:, None, None]).reshape(-1, 3)
    in_front = (clip[:, 2] + clip[:, 3]) >= 0
    corners_in_front = in_front[global_faces].sum(-1)
    kept = torch.nonzero(corners_in_front == 3).squeeze(1)
    crossing = torch.nonzero((corners_in_front > 0) & (corners_in_front < 3)).squeeze(1)

    clipped_face, clip_weights = _near_clip(clip[global_faces[crossing]])
    clipped_face = crossing[clipped_face]
    piece_face = torch.cat([kept, clipped_face])  # global face row of every piece
    piece_vertices = torch.cat([global_faces[kept], clip.shape[0] + torch.arange(
        3 * clipped_face.shape[0], device=device).reshape(-1, 3)])
    clip_row = torch.cat([torch.full_like(kept, -1),
                          torch.arange(clipped_face.shape[0], device=device)])
    # Vertices behind the plane are referenced by no rasterized triangle; give them W = 1 so
    # that the divide stays finite in value and gradient.
    homogeneous = torch.where(in_front[:, None], clip, clip.new_tensor([0.0, 0.0, 0.0, 1.0]))
    vertex_batch = torch.arange(batch, device=device).repeat_interleave(vertex_count)
    if clipped_face.shape[0]:
        cut_corners = torch.einsum("pkj,pjc->pkc", clip_weights, clip[global_faces[clipped_face]])
        homogeneous = torch.cat([homogeneous, cut_corners.reshape(-1, 4)])
        vertex_batch = torch.cat([vertex_batch,
                                  (clipped_face // face_count).repeat_interleave(3)])
        # The rasterizer wants each batch element's vertices and faces contiguous.
        vertex_order = torch.argsort(vertex_batch, stable=True)
        renumber = torch.empty_like(vertex_order)
        renumber[vertex_order] = torch.arange(vertex_order.shape[0], device=device)
        homogeneous, vertex_batch = homogeneous[vertex_order], vertex_batch[vertex_order]
        piece_order = torch.argsort(piece_face // face_count, stable=True)
        piece_face, clip_row = piece_face[piece_order], clip_row[piece_order]
        piece_vertices = renumber[piece_vertices[piece_order]]

    def offsets(batch_ids):
        counts = torch.bincount(batch_ids, minlength=batch)
        return torch.cat([counts.new_zeros(1), counts.cumsum(0)]).to(torch.int32)

    ndc, _valid = perspective_divide(homogeneous.contiguous(), eps)
    piece_index, screen_barycentric, depth, signed_distance = rasterize(
        ndc, piece_vertices.to(torch.int32).contiguous(), offsets(vertex_batch),
        offsets(piece_face // face_count if face_count else piece_face), height, width,
        faces_per_pixel, blur_radius_px, cull_mode, eps)

    unchanged = clipped_face.shape[0] == 0 and kept.shape[0] == batch * face_count
    pixels = torch.stack([(ndc[:, 0] + 1.0) * (width / 2.0), (1.0 - ndc[:, 1]) * (height / 2.0)],
                         dim=-1)
    pieces = _Pieces(None if unchanged else piece_face % max(face_count, 1),
                     pixels[piece_vertices], homogeneous[piece_vertices][..., 3], clip_row,
                     clip_weights)
    return Fragments(piece_index, screen_barycentric, depth, signed_distance, perspective_correct,
                     faces, vertex_count, pieces)


def interpolate_attributes(fragments: Fragments, attributes, *, per_corner: bool = False,
                           derivatives: bool = False):
    """Blends attributes over the fragments with their barycentrics.

    Args:
        fragments: the result of :func:`render_mesh`.
        attributes: per vertex, ``[V,C]`` or ``[B,V,C]``; or with ``per_corner``, per face
            corner, ``[F,3,C]`` or ``[B,F,3,C]`` (seams: corners of one vertex may differ).
            Converted to the fragments' dtype.
        derivatives: also return the screen-space derivatives of the interpolated attributes.

    Returns:
        ``[B,H,W,K,C]`` values (zeros for empty fragments), and with ``derivatives`` also
        ``[B,H,W,K,C,2]``: d value / d px and d value / d py (one pixel right, one pixel down),
        computed analytically from each triangle's plane. For texture coordinates these are
        what :meth:`Texture.sample` takes. Differentiable in ``attributes`` and, through the
        fragments, in the vertices and camera. Conventions: :mod:`vrel.camera`.

    Example:
        >>> vertices, faces = vrel.shapes.plane()            # the square [-1, 1]^2 at z = 0
        >>> camera = vrel.camera.Camera(                     # 4 x 4 world units onto 8 x 8 px
        ...     vrel.camera.look_at([0.0, 0.0, 3.0], [0.0, 0.0, 0.0]),
        ...     vrel.camera.orthographic(-2.0, 2.0, -2.0, 2.0, 1.0, 5.0))
        >>> fragments = vrel.render_mesh(vertices, faces, camera, 8)
        >>> vertex_uv = torch.stack([(vertices[:, 0] + 1) / 2, (1 - vertices[:, 1]) / 2], dim=-1)
        >>> uv, duv = vrel.interpolate_attributes(fragments, vertex_uv, derivatives=True)
        >>> uv.shape, duv.shape
        (torch.Size([1, 8, 8, 1, 2]), torch.Size([1, 8, 8, 1, 2, 2]))
        >>> uv[0, 3, 3, 0].tolist()                          # at the centre of row 3, column 3
        [0.375, 0.375]
        >>> duv[0, 3, 3, 0].tolist()     # rows u, v; columns d/dpx, d/dpy: the square spans 4 px
        [[0.25, 0.0], [0.0, 0.25]]
        >>> vrel.Texture(torch.rand(16, 16, 3)).sample(uv, duv).shape           # [B,H,W,K,C]
        torch.Size([1, 8, 8, 1, 3])
    """
    faces, face_count = fragments._faces, fragments._faces.shape[0]
    batch = fragments.face_index.shape[0]
    if per_corner:
        if attributes.dim() not in (3, 4) or tuple(attributes.shape[-3:-1]) != (face_count, 3):
            raise ValueError(f"per-corner attributes must be [F,3,C] or [B,F,3,C] with F = "
                             f"{face_count}; got shape {tuple(attributes.shape)}")
        corner = attributes
    else:
        if attributes.dim() not in (2, 3) or attributes.shape[-2] != fragments._vertex_count:
            raise ValueError(f"attributes must be [V,C] or [B,V,C] with V = "
                             f"{fragments._vertex_count}; got shape {tuple(attributes.shape)}")
        corner = attributes[..., faces, :]
    corner = corner.to(fragments.barycentric.dtype)
    face_index = fragments.face_index
    if corner.dim() == 4:
        if corner.shape[0] not in (1, batch):
            raise ValueError(f"attributes carry {corner.shape[0]} batch elements; the fragments "
                             f"{batch}")
        if corner.shape[0] == batch and batch > 1:
            shift = torch.arange(batch, device=face_index.device, dtype=torch.int32) * face_count
            face_index = torch.where(face_index >= 0, face_index + shift[:, None, None, None], -1)
            corner = corner.reshape(batch * face_count, 3, -1)
        else:
            corner = corner[0]
    corner = corner.contiguous()
    values = interpolate(face_index, fragments.barycentric.contiguous(), corner)
    if not derivatives:
        return values
    grad = fragments.barycentric_derivatives()
    slopes = [interpolate(face_index, grad[..., axis].contiguous(), corner)
              for axis in range(2)]
    return values, torch.stack(slopes, dim=-1)


class Texture:
    """A texture image and its mip pyramid, sampled with one call.

    Args:
        image: ``[H,W,C]`` (channels last), ``[C,H,W]`` (channels first) or ``[H,W]``, float32
            or float64, 1 to 4 channels. The layout follows from which end has 1 to 4 entries;
            when both ends do (say ``[3,4,3]``) it is ambiguous and refused unless ``layout``
            is given.
        layout: ``"HWC"`` or ``"CHW"`` to state the layout explicitly.
        levels: mip levels to build (0: the full chain).
        filter, mip_filter, wrap_u, wrap_v, border: as in :func:`vrel.texture` (``vrel.FILTER_*``,
            ``vrel.MIP_*``, ``vrel.WRAP_*``; ``border`` [C] is required for ``WRAP_BORDER``).

    The pyramid is built once (:func:`vrel.texture_pyramid`) and stays differentiable in
    ``image``; build a new Texture after changing the image. Coordinates follow the texture
    convention of :mod:`vrel.camera` (v down the rows).

    Example::

        texture = vrel.Texture(torch.rand(256, 256, 3))
        uv, duv = vrel.interpolate_attributes(fragments, vertex_uv, derivatives=True)
        colour = texture.sample(uv, duv)                                   # [B,H,W,K,3]
    """

    def __init__(self, image, layout: str | None = None, levels: int = 0, *,
                 filter: int = FILTER_LINEAR, mip_filter: int = MIP_LINEAR,
                 wrap_u: int = WRAP_REPEAT, wrap_v: int = WRAP_REPEAT, border=None):
        image = torch.as_tensor(image)
        if image.dim() == 2 and layout is None:
            image = image.unsqueeze(-1)
        elif layout is None:
            if image.dim() != 3:
                raise ValueError(f"a texture image is [H,W,C], [C,H,W] or [H,W]; got shape "
                                 f"{tuple(image.shape)}")
            last, first = 1 <= image.shape[2] <= 4, 1 <= image.shape[0] <= 4
            if last and first:
                raise ValueError(f"texture image shape {tuple(image.shape)} is ambiguous: pass "
                                 "layout='HWC' (channels last) or layout='CHW' (channels first)")
            if not (last or first):
                raise ValueError(f"texture image shape {tuple(image.shape)} has no channel "
                                 "dimension of 1 to 4 entries at either end")
            layout = "HWC" if last else "CHW"
        if layout not in (None, "HWC", "CHW"):
            raise ValueError(f"layout must be 'HWC' or 'CHW'; got {layout!r}")
        if layout is not None and image.dim() != 3:
            raise ValueError(f"layout {layout} needs a rank-3 image; got shape "
                             f"{tuple(image.shape)}")
        if layout == "CHW":
            image = image.permute(1, 2, 0)
        if not 1 <= image.shape[2] <= 4:
            raise ValueError(f"a texture carries 1 to 4 channels; got {image.shape[2]}")
        if not image.dtype.is_floating_point:
            raise ValueError(f"a texture image must be float32 or float64; got {image.dtype}")
        self.height, self.width, self.channels = (int(n) for n in image.shape)
        self.pyramid, self.level_offsets = texture_pyramid(image.contiguous(), levels)
        self.settings = {"filter": filter, "mip_filter": mip_filter, "wrap_u": wrap_u,
                         "wrap_v": wrap_v}
        if border is None and WRAP_BORDER in (wrap_u, wrap_v):
            raise ValueError("the border wrap mode needs a border value [C]")
        self.border = None if border is None else torch.as_tensor(border).to(self.pyramid)

    def sample(self, uv, derivatives=None, lod=None) -> torch.Tensor:
        """Samples the texture at ``uv`` ``[..., 2]``: returns ``[..., C]``.

        ``derivatives`` (exclusive with ``lod``) chooses the mip level: ``[..., 2, 2]`` as
        :func:`interpolate_attributes` returns them ((du, dv) along (px, py)), or ``[..., 4]``
        packed as :func:`vrel.texture` takes them (du/dx, dv/dx, du/dy, dv/dy). ``lod``
        ``[...]`` gives the level explicitly; with neither, level 0 is read. Differentiable in
        ``uv`` and the image (not in ``derivatives`` or ``lod``). Conventions: :mod:`vrel.camera`.
        """
        uv = torch.as_tensor(uv)
        if uv.shape[-1:] != (2,):
            raise ValueError(f"uv must be [..., 2]; got shape {tuple(uv.shape)}")
        leading = tuple(uv.shape[:-1])
        coordinates = uv.to(self.pyramid.dtype).reshape(-1, 2).contiguous()
        packed = None
        if derivatives is not None:
            derivatives = torch.as_tensor(derivatives).to(self.pyramid.dtype)
            if tuple(derivatives.shape) == leading + (2, 2):
                derivatives = derivatives.transpose(-1, -2)  # to (du/dx, dv/dx), (du/dy, dv/dy)
            elif tuple(derivatives.shape) != leading + (4,):
                raise ValueError(f"derivatives must be [..., 2, 2] or [..., 4] matching uv "
                                 f"{tuple(uv.shape)}; got {tuple(derivatives.shape)}")
            packed = derivatives.reshape(-1, 4).contiguous()
        if lod is not None:
            lod = torch.as_tensor(lod).to(self.pyramid.dtype)
            if tuple(lod.shape) != leading:
                raise ValueError(f"lod must match uv's leading shape {leading}; got "
                                 f"{tuple(lod.shape)}")
            lod = lod.reshape(-1).contiguous()
        samples = texture(self.pyramid, self.level_offsets, self.height, self.width,
                          self.channels, coordinates, derivatives=packed, lod=lod,
                          border=self.border, **self.settings)
        return samples.reshape(leading + (self.channels,))

    __call__ = sample
