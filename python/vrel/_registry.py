"""Autograd pairing and fake (meta) kernels of the vrel operators.

Every functional forward operator with a kernel is paired with its backward operator through
``torch.library.register_autograd``. Forwards whose output shapes follow from their inputs, their
backward operators and the ``_out`` operators get a ``torch.library.register_fake`` kernel, so
that forward and backward passes trace under ``torch.compile``. The ``_out`` operators mutate
caller tensors and get no autograd.
"""
from __future__ import annotations

import torch

_ops = torch.ops.vrel


def has_kernel(name: str, key: str = "CPU") -> bool:
    """Whether the operator vrel::name has a kernel for the dispatch key in this build."""
    return torch._C._dispatch_has_kernel_for_dispatch_key(f"vrel::{name}", key)


def _zeros_if_none(grad, like):
    return torch.zeros_like(like) if grad is None else grad.contiguous()


def _batch_count(offsets: torch.Tensor) -> int:
    return max(offsets.shape[0] - 1, 0) if offsets.dim() == 1 else 0


# ---- fake kernels ---------------------------------------------------------------------------

def _fake_face_geometry(vertices, faces, eps):
    f = faces.shape[0]
    return (vertices.new_empty((f, 3)), vertices.new_empty((f,)),
            vertices.new_empty((f,), dtype=torch.bool))


def _fake_vertex_normals(vertices, faces, eps, weighting):
    return vertices.new_empty((vertices.shape[0], 3))


def _fake_gather_faces(vertices, faces):
    return vertices.new_empty((faces.shape[0], 3, 3))


def _fake_build_edge_topology(faces, face_offsets):
    f = faces.shape[0]
    return (faces.new_empty((_batch_count(face_offsets) + 1,)), faces.new_empty((3 * f, 2)),
            faces.new_empty((3 * f + 1,)), faces.new_empty((3 * f,)))


def _fake_mesh_validate(vertices, faces, vertex_offsets, face_offsets, eps, flags):
    return vertices.new_empty((7,), dtype=torch.int64)


def _fake_sample_surface(vertices, faces, vertex_offsets, face_offsets, sample_count, rng_key,
                         rng_counter, eps):
    b, s = _batch_count(vertex_offsets), max(sample_count, 0)
    return (vertices.new_empty((b, s, 3)), vertices.new_empty((b, s), dtype=torch.int32),
            vertices.new_empty((b, s, 3)), vertices.new_empty((2,), dtype=torch.uint32))


def _fake_transform_points(points, matrices, point_offsets):
    return points.new_empty((points.shape[0], 4))


def _fake_perspective_divide(homogeneous, eps):
    p = homogeneous.shape[0]
    return homogeneous.new_empty((p, 3)), homogeneous.new_empty((p,), dtype=torch.bool)


def _fake_knn(query, reference, query_offsets, reference_offsets, neighbor_count):
    shape = (query.shape[0], max(neighbor_count, 0))
    return (query.new_empty(shape), query.new_empty(shape, dtype=torch.int32),
            query.new_empty(shape, dtype=torch.bool))


def _fake_closest_point_on_mesh(points, vertices, faces, point_offsets, vertex_offsets,
                                face_offsets, eps):
    p = points.shape[0]
    return (points.new_empty((p,)), points.new_empty((p,), dtype=torch.int32),
            points.new_empty((p, 3)), points.new_empty((p, 3)),
            points.new_empty((p,), dtype=torch.bool))


def _fragments(ndc, vertex_offsets, h, w, k):
    shape = (_batch_count(vertex_offsets), max(h, 0), max(w, 0), max(k, 0))
    return (ndc.new_empty(shape, dtype=torch.int32), ndc.new_empty(shape + (3,)),
            ndc.new_empty(shape), ndc.new_empty(shape))


def _fake_rasterize(ndc, faces, vertex_offsets, face_offsets, h, w, k, blur, cull, eps):
    return _fragments(ndc, vertex_offsets, h, w, k)


def _fake_rasterize_window(ndc, faces, vertex_offsets, face_offsets, gh, gw, r0, c0, h, w, k,
                           blur, cull, eps):
    return _fragments(ndc, vertex_offsets, h, w, k)


def _fake_interpolate(face_index, barycentric, face_attributes):
    return barycentric.new_empty(tuple(face_index.shape) + (face_attributes.shape[2],))


def pyramid_levels(height: int, width: int, levels: int) -> list[tuple[int, int]]:
    """The (height, width) of each level of a packed mip pyramid (levels 0: the full chain)."""
    full = 1 + max(height, width).bit_length() - 1 if max(height, width) >= 1 else 0
    count = full if levels == 0 else min(levels, full)
    sizes, h, w = [], height, width
    for _ in range(count):
        sizes.append((h, w))
        h, w = (1 if h < 2 else h // 2), (1 if w < 2 else w // 2)
    return sizes


def _fake_texture_pyramid(texture, levels):
    h, w, c = texture.shape
    sizes = pyramid_levels(h, w, levels)
    total = sum(a * b * c for a, b in sizes)
    return texture.new_empty((total,)), texture.new_empty((len(sizes) + 1,), dtype=torch.int32)


def _fake_texture(pyramid, level_offsets, h, w, c, coordinates, derivatives, lod, has_derivatives,
                  has_lod, filter, mip_filter, wrap_u, wrap_v, border, has_border):
    return pyramid.new_empty((coordinates.shape[0], c))


def _fake_rodrigues(axis_angle):
    return axis_angle.new_empty(tuple(axis_angle.shape) + (3,))


def _fake_forward_kinematics(local, parents):
    return local.new_empty(local.shape)


def _fake_blend_shapes(template_vertices, deltas, weights):
    return template_vertices.new_empty((weights.shape[0], template_vertices.shape[0], 3))


def _fake_skin_lbs(vertices, transforms, weights):
    return vertices.new_empty((vertices.shape[0], vertices.shape[1], 3))


def _fake_evaluate_barycentric(vertices, faces, face_index, barycentric):
    return vertices.new_empty((vertices.shape[0], face_index.shape[0], 3))


# The backward operators need fake kernels too: torch.compile traces the backward pass of a
# differentiable call through them. Gradients take the shape of their primal input (or [0] when
# a need flag is false) and the dtype of the floating reference tensor.

def _fake_grad_vertices(vertices, *_rest):
    return vertices.new_empty((vertices.shape[0], 3))


def _fake_like_pair(reference, first, second):
    return reference.new_empty(first.shape), reference.new_empty(second.shape)


def _fake_transform_points_backward(points, matrices, point_offsets, grad_homogeneous):
    return _fake_like_pair(points, points, matrices)


def _fake_perspective_divide_backward(homogeneous, eps, grad_ndc):
    return homogeneous.new_empty(homogeneous.shape)


def _fake_knn_backward(query, reference, reference_index, valid, grad_distance_squared):
    return _fake_like_pair(query, query, reference)


def _fake_closest_point_on_mesh_backward(points, vertices, faces, face_index, barycentric,
                                         closest, valid, grad_distance_squared):
    return _fake_like_pair(points, points, vertices)


def _fake_rasterize_backward(ndc, faces, h, w, face_index, grad_barycentric, grad_depth,
                             grad_signed_distance):
    return ndc.new_empty(ndc.shape)


def _fake_interpolate_backward(face_index, barycentric, face_attributes, grad_attributes):
    return _fake_like_pair(barycentric, barycentric, face_attributes)


def _fake_texture_pyramid_backward(level_offsets, h, w, c, grad_pyramid):
    return grad_pyramid.new_empty((max(h, 0), max(w, 0), max(c, 0)))


def _fake_texture_backward(pyramid, level_offsets, h, w, coordinates, *_rest):
    return _fake_like_pair(pyramid, pyramid, coordinates)


def _fake_same_shape(primal, *_rest):
    return primal.new_empty(primal.shape)


def _wanted(reference, primal, need):
    return reference.new_empty(primal.shape if need else (0,))


def _fake_blend_shapes_backward(template_vertices, deltas, weights, grad_vertices, need_template,
                                need_deltas, need_weights):
    return (_wanted(template_vertices, template_vertices, need_template),
            _wanted(template_vertices, deltas, need_deltas),
            _wanted(template_vertices, weights, need_weights))


def _fake_skin_lbs_backward(vertices, transforms, weights, grad_output, need_vertices,
                            need_transforms, need_weights):
    return (_wanted(vertices, vertices, need_vertices),
            _wanted(vertices, transforms, need_transforms),
            _wanted(vertices, weights, need_weights))


def _fake_evaluate_barycentric_backward(vertices, faces, face_index, barycentric, grad_output,
                                        need_vertices, need_barycentric):
    return (_wanted(vertices, vertices, need_vertices),
            _wanted(vertices, barycentric, need_barycentric))


def _fake_out(*_args):
    """The _out operators write caller tensors in place and return nothing."""
    return None


_FAKES = {
    "face_geometry": _fake_face_geometry,
    "vertex_normals": _fake_vertex_normals,
    "gather_faces": _fake_gather_faces,
    "build_edge_topology": _fake_build_edge_topology,
    "mesh_validate": _fake_mesh_validate,
    "sample_surface": _fake_sample_surface,
    "transform_points": _fake_transform_points,
    "perspective_divide": _fake_perspective_divide,
    "knn": _fake_knn,
    "closest_point_on_mesh": _fake_closest_point_on_mesh,
    "rasterize": _fake_rasterize,
    "rasterize_window": _fake_rasterize_window,
    "interpolate": _fake_interpolate,
    "texture_pyramid": _fake_texture_pyramid,
    "texture": _fake_texture,
    "rodrigues": _fake_rodrigues,
    "forward_kinematics": _fake_forward_kinematics,
    "blend_shapes": _fake_blend_shapes,
    "skin_lbs": _fake_skin_lbs,
    "evaluate_barycentric": _fake_evaluate_barycentric,
    "face_geometry_backward": _fake_grad_vertices,
    "vertex_normals_backward": _fake_grad_vertices,
    "gather_faces_backward": _fake_grad_vertices,
    "sample_surface_backward": _fake_grad_vertices,
    "transform_points_backward": _fake_transform_points_backward,
    "perspective_divide_backward": _fake_perspective_divide_backward,
    "knn_backward": _fake_knn_backward,
    "closest_point_on_mesh_backward": _fake_closest_point_on_mesh_backward,
    "rasterize_backward": _fake_rasterize_backward,
    "interpolate_backward": _fake_interpolate_backward,
    "texture_pyramid_backward": _fake_texture_pyramid_backward,
    "texture_backward": _fake_texture_backward,
    "rodrigues_backward": _fake_same_shape,
    "forward_kinematics_backward": _fake_same_shape,
    "blend_shapes_backward": _fake_blend_shapes_backward,
    "skin_lbs_backward": _fake_skin_lbs_backward,
    "evaluate_barycentric_backward": _fake_evaluate_barycentric_backward,
}
_FAKES.update({name: _fake_out for name in (
    "face_geometry_out", "vertex_normals_out", "gather_faces_out", "transform_points_out",
    "perspective_divide_out", "knn_out", "closest_point_on_mesh_out", "sample_surface_out",
    "rasterize_out", "interpolate_out", "blend_shapes_out", "rodrigues_out",
    "forward_kinematics_out", "skin_lbs_out", "evaluate_barycentric_out")})

# ---- double backward --------------------------------------------------------------------------
# The backward operators have no autograd of their own. When a gradient is itself differentiated
# (create_graph=True, a gradient penalty, a Hessian-vector product, torch.func), an operator whose
# backward is multilinear in its inputs differentiates it through a PyTorch expression of its
# forward; every other operator's gradients raise "vrel.<name> does not support double backward"
# as soon as something differentiates them.


def double_backward_message(name: str) -> str:
    return f"vrel.{name} does not support double backward"


def _builds_graph(tensors) -> bool:
    return torch.is_grad_enabled() and any(
        isinstance(t, torch.Tensor) and t.requires_grad for t in tensors)


class _Refuse(torch.autograd.Function):
    """The gradients of a backward operator, tied to what they were computed from (the
    cotangents and saved inputs that require grad) so that differentiating them reaches this
    node, which raises the double-backward error."""

    @staticmethod
    def forward(message, count, *tensors):
        return tuple(t.clone() for t in tensors[:count])

    @staticmethod
    def setup_context(ctx, inputs, output):
        ctx.message = inputs[0]

    @staticmethod
    def backward(ctx, *_grads):
        raise RuntimeError(ctx.message)


def _once_differentiable(name, backward):
    """``backward`` run without recording; if a graph of its results is being built, they raise
    the double-backward error when differentiated."""
    def wrapped(ctx, *grads):
        with torch.no_grad():
            outputs = backward(ctx, *grads)
        anchors = [t for t in (*grads, *ctx.saved_tensors)
                   if isinstance(t, torch.Tensor) and t.requires_grad]
        if not (torch.is_grad_enabled() and anchors):
            return outputs
        single = not isinstance(outputs, tuple)
        outputs = (outputs,) if single else outputs
        slots = [i for i, o in enumerate(outputs) if isinstance(o, torch.Tensor)]
        raising = _Refuse.apply(double_backward_message(name), len(slots),
                                *[outputs[i] for i in slots], *anchors)
        result = list(outputs)
        for i, tensor in zip(slots, raising):
            result[i] = tensor
        return result[0] if single else tuple(result)
    return wrapped


class _MultilinearBackward(torch.autograd.Function):
    """A backward operator's call, differentiable: its vector-Jacobian product is taken through
    ``reference``, the forward written in PyTorch operations (exact for a forward that is
    multilinear in its inputs), so that any order of derivative follows."""

    @staticmethod
    def forward(compute, reference, count, real, *tensors):
        return tuple(compute(*tensors))

    @staticmethod
    def setup_context(ctx, inputs, output):
        _compute, ctx.reference, ctx.count, ctx.real = inputs[:4]
        ctx.save_for_backward(*inputs[4:])

    @staticmethod
    def backward(ctx, *cotangents):
        tensors = ctx.saved_tensors
        needs = ctx.needs_input_grad[4:]
        with torch.enable_grad():
            # Fresh views as the points of differentiation: a derivative taken at a view sees only
            # the paths through it, not those through the cotangent's own history back to the
            # same primal, and it stays connected to that history for higher orders.
            leaves = [t.view_as(t) if t.requires_grad else t.detach().requires_grad_()
                      for t in tensors]
            primals, grads = leaves[:ctx.count], leaves[ctx.count:]
            outputs = ctx.reference(*primals)
            outputs = outputs if isinstance(outputs, tuple) else (outputs,)
            first = torch.autograd.grad(outputs, primals, grads, create_graph=True,
                                        allow_unused=True, materialize_grads=True)
            pairs = [(f, u) for f, u, r in zip(first, cotangents, ctx.real)
                     if r and u is not None and f.requires_grad]
            targets = [t for t, n in zip(leaves, needs) if n]
            if not pairs or not targets:
                return (None,) * (4 + len(tensors))
            second = iter(torch.autograd.grad([f for f, _ in pairs], targets,
                                              [u for _, u in pairs], allow_unused=True,
                                              create_graph=torch.is_grad_enabled()))
        return (None,) * 4 + tuple(next(second) if n else None for n in needs)


def _multilinear(compute, reference, primals, grads, real=None):
    """``compute(*primals, *grads)``, the backward operator's gradients; differentiable through
    ``reference(*primals)`` when a graph of them is being built. ``real`` marks the outputs that
    are gradients (False for a [0] placeholder of an unwanted one)."""
    tensors = (*primals, *grads)
    if not _builds_graph(tensors):
        return tuple(compute(*tensors))
    real = tuple(real) if real is not None else (True,) * len(primals)
    return _MultilinearBackward.apply(compute, reference, len(primals), real, *tensors)


def _batch_rows(offsets: torch.Tensor, rows: int) -> torch.Tensor:
    """The batch element of each of ``rows`` packed rows."""
    counts = (offsets[1:] - offsets[:-1]).long()
    return torch.repeat_interleave(torch.arange(counts.shape[0], device=offsets.device), counts,
                                   output_size=rows)


def _homogeneous(points: torch.Tensor) -> torch.Tensor:
    return torch.cat([points, points.new_ones(points.shape[:-1] + (1,))], dim=-1)


# ---- autograd pairs -------------------------------------------------------------------------
# Each entry: (setup_context, backward). setup_context saves what the backward operator needs;
# backward returns one gradient per forward argument (None for non-tensors and indices).


def _save_inputs(ctx, inputs, output):
    ctx.save_for_backward(*[x for x in inputs if isinstance(x, torch.Tensor)])
    ctx.scalars = [x for x in inputs if not isinstance(x, torch.Tensor)]


def _setup_face_geometry(ctx, inputs, output):
    vertices, faces, eps = inputs
    ctx.save_for_backward(vertices, faces)
    ctx.eps = eps
    ctx.mark_non_differentiable(output[2])


def _backward_face_geometry(ctx, grad_normals, grad_areas, _grad_valid):
    vertices, faces = ctx.saved_tensors
    f = faces.shape[0]
    has_n, has_a = grad_normals is not None, grad_areas is not None
    if not (has_n or has_a):
        return None, None, None
    gn = grad_normals.contiguous() if has_n else vertices.new_zeros((f, 3))
    ga = grad_areas.contiguous() if has_a else vertices.new_zeros((f,))
    grad = _ops.face_geometry_backward(vertices, faces, ctx.eps, gn, ga, has_n, has_a)
    return grad, None, None


def _backward_vertex_normals(ctx, grad_normals):
    vertices, faces = ctx.saved_tensors
    eps, weighting = ctx.scalars
    grad = _ops.vertex_normals_backward(vertices, faces, eps, weighting, grad_normals.contiguous())
    return grad, None, None, None


def _backward_gather_faces(ctx, grad_gathered):
    vertices, faces = ctx.saved_tensors
    (grad,) = _multilinear(
        lambda v, g: (_ops.gather_faces_backward(v, faces, g),),
        lambda v: v[faces.long()], (vertices,), (grad_gathered.contiguous(),))
    return grad, None


def _setup_sample_surface(ctx, inputs, output):
    vertices, faces = inputs[0], inputs[1]
    _points, face_index, barycentric, next_counter = output
    ctx.save_for_backward(vertices, faces, face_index, barycentric)
    ctx.mark_non_differentiable(face_index, barycentric, next_counter)


def _backward_sample_surface(ctx, grad_points, *_unused):
    vertices, faces, face_index, barycentric = ctx.saved_tensors
    corners = faces.long()[face_index.long()]  # [B,S,3] vertex rows
    (grad,) = _multilinear(
        lambda v, g: (_ops.sample_surface_backward(v, faces, face_index, barycentric, g),),
        lambda v: torch.einsum("bsk,bskc->bsc", barycentric.to(v.dtype), v[corners]),
        (vertices,), (_zeros_if_none(grad_points, barycentric),))
    return (grad,) + (None,) * 7


def _backward_transform_points(ctx, grad_homogeneous):
    points, matrices, offsets = ctx.saved_tensors

    def reference(p, m):
        return torch.einsum("prc,pc->pr", m[_batch_rows(offsets, p.shape[0])], _homogeneous(p))

    grad_points, grad_matrices = _multilinear(
        lambda p, m, g: _ops.transform_points_backward(p, m, offsets, g), reference,
        (points, matrices), (grad_homogeneous.contiguous(),))
    return grad_points, grad_matrices, None


def _setup_perspective_divide(ctx, inputs, output):
    _save_inputs(ctx, inputs, output)
    ctx.mark_non_differentiable(output[1])


def _backward_perspective_divide(ctx, grad_ndc, _grad_valid):
    (homogeneous,) = ctx.saved_tensors
    (eps,) = ctx.scalars
    if grad_ndc is None:
        return None, None
    return _ops.perspective_divide_backward(homogeneous, eps, grad_ndc.contiguous()), None


def _setup_knn(ctx, inputs, output):
    query, reference = inputs[0], inputs[1]
    _distance, index, valid = output
    ctx.save_for_backward(query, reference, index, valid)
    ctx.mark_non_differentiable(index, valid)


def _backward_knn(ctx, grad_distance, *_unused):
    query, reference, index, valid = ctx.saved_tensors
    if grad_distance is None:
        return (None,) * 5
    grad_query, grad_reference = _ops.knn_backward(query, reference, index, valid,
                                                   grad_distance.contiguous())
    return grad_query, grad_reference, None, None, None


def _setup_closest_point(ctx, inputs, output):
    points, vertices, faces = inputs[0], inputs[1], inputs[2]
    _distance, face_index, barycentric, closest, valid = output
    ctx.save_for_backward(points, vertices, faces, face_index, barycentric, closest, valid)
    ctx.mark_non_differentiable(face_index, barycentric, closest, valid)


def _backward_closest_point(ctx, grad_distance, *_unused):
    points, vertices, faces, face_index, barycentric, closest, valid = ctx.saved_tensors
    if grad_distance is None:
        return (None,) * 7
    grad_points, grad_vertices = _ops.closest_point_on_mesh_backward(
        points, vertices, faces, face_index, barycentric, closest, valid,
        grad_distance.contiguous())
    return (grad_points, grad_vertices) + (None,) * 5


def _setup_rasterize(ctx, inputs, output):
    ndc, faces = inputs[0], inputs[1]
    ctx.image = (inputs[4], inputs[5])
    face_index, barycentric, depth, distance = output
    ctx.save_for_backward(ndc, faces, face_index, barycentric, depth, distance)
    ctx.mark_non_differentiable(face_index)


def _backward_rasterize(ctx, _grad_index, grad_barycentric, grad_depth, grad_distance):
    ndc, faces, face_index, barycentric, depth, distance = ctx.saved_tensors
    grad = _ops.rasterize_backward(ndc, faces, ctx.image[0], ctx.image[1], face_index,
                                   _zeros_if_none(grad_barycentric, barycentric),
                                   _zeros_if_none(grad_depth, depth),
                                   _zeros_if_none(grad_distance, distance))
    return (grad,) + (None,) * 9


def _backward_interpolate(ctx, grad_attributes):
    face_index, barycentric, face_attributes = ctx.saved_tensors

    def reference(b, a):
        covered = (face_index >= 0).unsqueeze(-1)
        corners = a[face_index.clamp(min=0).long()]  # [..., 3, C]
        return torch.where(covered, torch.einsum("...j,...jc->...c", b, corners), 0)

    grad_barycentric, grad_attributes_in = _multilinear(
        lambda b, a, g: _ops.interpolate_backward(face_index, b, a, g), reference,
        (barycentric, face_attributes), (grad_attributes.contiguous(),))
    return None, grad_barycentric, grad_attributes_in


def _setup_texture_pyramid(ctx, inputs, output):
    texture, _levels = inputs
    ctx.shape = tuple(texture.shape)
    ctx.save_for_backward(output[1])
    ctx.mark_non_differentiable(output[1])


def _backward_texture_pyramid(ctx, grad_pyramid, _grad_offsets):
    (level_offsets,) = ctx.saved_tensors
    h, w, c = ctx.shape
    return _ops.texture_pyramid_backward(level_offsets, h, w, c, grad_pyramid.contiguous()), None


def _setup_texture(ctx, inputs, output):
    (pyramid, level_offsets, h, w, _c, coordinates, derivatives, lod, has_derivatives, has_lod,
     filter_, mip_filter, wrap_u, wrap_v, border, has_border) = inputs
    ctx.save_for_backward(pyramid, level_offsets, coordinates, derivatives, lod, border)
    ctx.scalars = (h, w, has_derivatives, has_lod, filter_, mip_filter, wrap_u, wrap_v,
                   has_border)


def _backward_texture(ctx, grad_samples):
    pyramid, level_offsets, coordinates, derivatives, lod, border = ctx.saved_tensors
    h, w, has_d, has_lod, filter_, mip_filter, wrap_u, wrap_v, has_border = ctx.scalars
    grad_pyramid, grad_coordinates = _ops.texture_backward(
        pyramid, level_offsets, h, w, coordinates, derivatives, lod, has_d, has_lod, filter_,
        mip_filter, wrap_u, wrap_v, border, has_border, grad_samples.contiguous())
    return (grad_pyramid, None, None, None, None, grad_coordinates) + (None,) * 10


def _backward_rodrigues(ctx, grad_rotation):
    (axis_angle,) = ctx.saved_tensors
    return _ops.rodrigues_backward(axis_angle, grad_rotation.contiguous())


def _backward_forward_kinematics(ctx, grad_world):
    local, parents = ctx.saved_tensors
    return _ops.forward_kinematics_backward(local, parents, grad_world.contiguous()), None


def _needed(grads, needs):
    return tuple(g if n else None for g, n in zip(grads, needs))


def _backward_blend_shapes(ctx, grad_vertices):
    template, deltas, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = _multilinear(
        lambda t, d, w, g: _ops.blend_shapes_backward(t, d, w, g, *needs),
        lambda t, d, w: t + torch.einsum("bk,kvc->bvc", w, d),
        (template, deltas, weights), (grad_vertices.contiguous(),), needs)
    return _needed(grads, needs)


def _backward_skin_lbs(ctx, grad_output):
    vertices, transforms, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = _multilinear(
        lambda v, t, w, g: _ops.skin_lbs_backward(v, t, w, g, *needs),
        lambda v, t, w: torch.einsum("vj,bjrc,bvc->bvr", w, t[:, :, :3, :], _homogeneous(v)),
        (vertices, transforms, weights), (grad_output.contiguous(),), needs)
    return _needed(grads, needs)


def _backward_evaluate_barycentric(ctx, grad_output):
    vertices, faces, face_index, barycentric = ctx.saved_tensors
    need_v, need_b = ctx.needs_input_grad[0], ctx.needs_input_grad[3]
    grad_v, grad_b = _ops.evaluate_barycentric_backward(
        vertices, faces, face_index, barycentric, grad_output.contiguous(), need_v, need_b)
    return (grad_v if need_v else None), None, None, (grad_b if need_b else None)


# forward name: (backward operator, setup_context, backward function)
AUTOGRAD_PAIRS = {
    "face_geometry": ("face_geometry_backward", _setup_face_geometry, _backward_face_geometry),
    "vertex_normals": ("vertex_normals_backward", _save_inputs, _backward_vertex_normals),
    "gather_faces": ("gather_faces_backward", _save_inputs, _backward_gather_faces),
    "sample_surface": ("sample_surface_backward", _setup_sample_surface, _backward_sample_surface),
    "transform_points": ("transform_points_backward", _save_inputs, _backward_transform_points),
    "perspective_divide": ("perspective_divide_backward", _setup_perspective_divide,
                           _backward_perspective_divide),
    "knn": ("knn_backward", _setup_knn, _backward_knn),
    "closest_point_on_mesh": ("closest_point_on_mesh_backward", _setup_closest_point,
                              _backward_closest_point),
    "rasterize": ("rasterize_backward", _setup_rasterize, _backward_rasterize),
    "interpolate": ("interpolate_backward", _save_inputs, _backward_interpolate),
    "texture_pyramid": ("texture_pyramid_backward", _setup_texture_pyramid,
                        _backward_texture_pyramid),
    "texture": ("texture_backward", _setup_texture, _backward_texture),
    "rodrigues": ("rodrigues_backward", _save_inputs, _backward_rodrigues),
    "forward_kinematics": ("forward_kinematics_backward", _save_inputs,
                           _backward_forward_kinematics),
    "blend_shapes": ("blend_shapes_backward", _save_inputs, _backward_blend_shapes),
    "skin_lbs": ("skin_lbs_backward", _save_inputs, _backward_skin_lbs),
    "evaluate_barycentric": ("evaluate_barycentric_backward", _save_inputs,
                             _backward_evaluate_barycentric),
}


#: operators whose gradients can be differentiated again (multilinear forwards)
DOUBLE_BACKWARD = ("gather_faces", "sample_surface", "transform_points", "interpolate",
                   "blend_shapes", "skin_lbs")


_FUNCTORCH: dict = {}


def _functorch_form(name: str, function):
    """The operator as an autograd.Function with the same setup and backward as its registered
    pairing: torch.func transforms accept it, where they refuse an operator's registered
    autograd."""
    _backward, setup, _function = AUTOGRAD_PAIRS[name]
    op = getattr(_ops, name)
    return type(f"Functorch_{name}", (torch.autograd.Function,), {
        "forward": staticmethod(lambda *args: op(*args)),
        "setup_context": staticmethod(setup),
        "backward": staticmethod(function),
    })


def call(name: str, *args):
    """Calls vrel::name; under a torch.func transform a differentiable operator goes through
    its autograd.Function form."""
    form = _FUNCTORCH.get(name)
    if form is not None and torch._C._are_functorch_transforms_active():
        return form.apply(*args)
    return getattr(_ops, name)(*args)


def register() -> tuple[list[str], list[str]]:
    """Registers the autograd pairs and fake kernels of every bound forward operator.

    Returns the forward names that were paired for autograd and those given a fake kernel.
    """
    paired, faked = [], []
    for name, fake in _FAKES.items():
        if has_kernel(name):
            torch.library.register_fake(f"vrel::{name}", fake)
            faked.append(name)
    for name, (backward, setup, function) in AUTOGRAD_PAIRS.items():
        if has_kernel(name) and has_kernel(backward):
            if name not in DOUBLE_BACKWARD:
                function = _once_differentiable(name, function)
            torch.library.register_autograd(f"vrel::{name}", function, setup_context=setup)
            _FUNCTORCH[name] = _functorch_form(name, function)
            paired.append(name)
    return paired, faked
