"""Animation: rotations, forward kinematics, blend shapes, skinning and barycentric landmarks."""
from __future__ import annotations

from ._registry import ops, fake, autograd, out_operators, wanted, save_inputs, needed

__all__ = ["rodrigues", "forward_kinematics", "blend_shapes", "skin_lbs", "evaluate_barycentric"]


def rodrigues(axis_angle):
    """Rotation matrices [..., 3, 3] from axis-angle vectors [..., 3]. Differentiable."""
    return ops.rodrigues(axis_angle)


@fake("rodrigues")
def _(axis_angle):
    return axis_angle.new_empty(tuple(axis_angle.shape) + (3,))


@fake("rodrigues_backward", "forward_kinematics_backward")
def _(primal, *_rest):
    return primal.new_empty(primal.shape)


@autograd("rodrigues", "rodrigues_backward", save_inputs)
def _(ctx, grad_rotation):
    (axis_angle,) = ctx.saved_tensors
    return ops.rodrigues_backward(axis_angle, grad_rotation.contiguous())


def forward_kinematics(local, parents):
    """World transforms [B,J,4,4] from local joint transforms [B,J,4,4] and parents [J] int32
    (-1 for a root). Differentiable in ``local``."""
    return ops.forward_kinematics(local, parents)


@fake("forward_kinematics")
def _(local, parents):
    return local.new_empty(local.shape)


@autograd("forward_kinematics", "forward_kinematics_backward", save_inputs)
def _(ctx, grad_world):
    local, parents = ctx.saved_tensors
    return ops.forward_kinematics_backward(local, parents, grad_world.contiguous()), None


def blend_shapes(template_vertices, deltas, weights):
    """template [V,3] + sum_k weights[b,k] * deltas[k]: returns [B,V,3]. Differentiable."""
    return ops.blend_shapes(template_vertices, deltas, weights)


@fake("blend_shapes")
def _(template_vertices, deltas, weights):
    return template_vertices.new_empty((weights.shape[0], template_vertices.shape[0], 3))


@fake("blend_shapes_backward")
def _(template_vertices, deltas, weights, grad_vertices, need_template,
                                need_deltas, need_weights):
    return (wanted(template_vertices, template_vertices, need_template),
            wanted(template_vertices, deltas, need_deltas),
            wanted(template_vertices, weights, need_weights))


@autograd("blend_shapes", "blend_shapes_backward", save_inputs)
def _(ctx, grad_vertices):
    template, deltas, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = ops.blend_shapes_backward(template, deltas, weights, grad_vertices.contiguous(),
                                       *needs)
    return needed(grads, needs)


def skin_lbs(vertices, transforms, weights):
    """Linear blend skinning of [B,V,3] vertices by [B,J,4,4] transforms with [V,J] weights.
    Differentiable in all three."""
    return ops.skin_lbs(vertices, transforms, weights)


@fake("skin_lbs")
def _(vertices, transforms, weights):
    return vertices.new_empty((vertices.shape[0], vertices.shape[1], 3))


@fake("skin_lbs_backward")
def _(vertices, transforms, weights, grad_output, need_vertices,
                            need_transforms, need_weights):
    return (wanted(vertices, vertices, need_vertices),
            wanted(vertices, transforms, need_transforms),
            wanted(vertices, weights, need_weights))


@autograd("skin_lbs", "skin_lbs_backward", save_inputs)
def _(ctx, grad_output):
    vertices, transforms, weights = ctx.saved_tensors
    needs = ctx.needs_input_grad[:3]
    grads = ops.skin_lbs_backward(vertices, transforms, weights, grad_output.contiguous(), *needs)
    return needed(grads, needs)


def evaluate_barycentric(vertices, faces, face_index, barycentric):
    """Landmarks [B,L,3] at barycentric [L,3] positions on faces ``face_index`` [L] of the
    [B,V,3] meshes. Differentiable in ``vertices`` and ``barycentric``."""
    return ops.evaluate_barycentric(vertices, faces, face_index, barycentric)


@fake("evaluate_barycentric")
def _(vertices, faces, face_index, barycentric):
    return vertices.new_empty((vertices.shape[0], face_index.shape[0], 3))


@fake("evaluate_barycentric_backward")
def _(vertices, faces, face_index, barycentric, grad_output,
                                        need_vertices, need_barycentric):
    return (wanted(vertices, vertices, need_vertices),
            wanted(vertices, barycentric, need_barycentric))


@autograd("evaluate_barycentric", "evaluate_barycentric_backward", save_inputs)
def _(ctx, grad_output):
    vertices, faces, face_index, barycentric = ctx.saved_tensors
    need_v, need_b = ctx.needs_input_grad[0], ctx.needs_input_grad[3]
    grad_v, grad_b = ops.evaluate_barycentric_backward(
        vertices, faces, face_index, barycentric, grad_output.contiguous(), need_v, need_b)
    return (grad_v if need_v else None), None, None, (grad_b if need_b else None)


out_operators("blend_shapes_out", "rodrigues_out", "forward_kinematics_out", "skin_lbs_out", "evaluate_barycentric_out")
