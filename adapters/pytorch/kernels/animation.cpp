// Kernels of the animation family: Rodrigues rotations, forward kinematics, blend shapes, linear
// blend skinning and barycentric evaluation. They run inside the CUDA context scope, and pass the
// workspace descriptor even when its byte count is 0.
#include <limits>

#include "adapter.hpp"
#include "split.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors3 = std::tuple<Tensor, Tensor, Tensor>;

// ---- Rodrigues ----------------------------------------------------------------------------

std::uint64_t rodrigues_bytes(Call &call, const Tensor &axis_angle) {
  return query_bytes(call, vrel_transforms_rodrigues_workspace,
                     dtype_code(axis_angle, "axis_angle"), numel_of(axis_angle) / 3);
}

Tensor rodrigues(Tensor axis_angle) {
  return scoped(axis_angle, [&] {
    Call call(axis_angle);
    Workspace ws = make_workspace(axis_angle, rodrigues_bytes(call, axis_angle));
    std::vector<std::int64_t> sizes = sizes_of(axis_angle);
    sizes.push_back(3);  // [..., 3] becomes [..., 3, 3]
    Tensor output = new_empty(axis_angle, sizes);
    call.check(vrel_transforms_rodrigues(call.in(axis_angle, "axis_angle"), call.context(),
                                         call.out(output, "output"), ws.get(), call.diag()));
    return output;
  });
}

Tensor rodrigues_backward(Tensor axis_angle, Tensor grad_rotation) {
  return scoped(axis_angle, [&] {
    Call call(axis_angle);
    Workspace ws = make_workspace(axis_angle, rodrigues_bytes(call, axis_angle));
    Tensor grad_axis_angle = new_empty(axis_angle, sizes_of(axis_angle));
    const VrelTensorView *axis = call.in(axis_angle, "axis_angle");
    VrelTensorView *out = call.out(grad_axis_angle, "grad_axis_angle");
    call.check(vrel_transforms_rodrigues_backward(axis, call.in(grad_rotation, "grad_rotation"),
                                                  call.context(), out, ws.get(), call.diag()));
    return grad_axis_angle;
  });
}

void rodrigues_out(Tensor axis_angle, Tensor output, Tensor workspace) {
  scoped(axis_angle, [&] {
    Call call(axis_angle);
    VrelBufferDescriptor ws = caller_workspace(workspace);
    call.check(vrel_transforms_rodrigues(call.in(axis_angle, "axis_angle"), call.context(),
                                         call.out(output, "output"), &ws, call.diag()));
    return 0;
  });
}

// ---- forward kinematics -------------------------------------------------------------------

std::uint64_t kinematics_bytes(Call &call, const Tensor &local) {
  return query_bytes(call, vrel_skeleton_forward_kinematics_workspace, dtype_code(local, "local"),
                     extent(local, 0), extent(local, 1));
}

Tensor forward_kinematics(Tensor local, Tensor parents) {
  return scoped(local, [&] {
    Call call(local);
    Workspace ws = make_workspace(local, kinematics_bytes(call, local));
    Tensor world = new_empty(local, sizes_of(local));
    call.check(vrel_skeleton_forward_kinematics(call.in(local, "local"),
                                                call.in(parents, "parents"), call.context(),
                                                call.out(world, "world"), ws.get(), call.diag()),
               "animation tensor",
               shape_context({{"local", &local, "BJ44"}, {"parents", &parents, "J"}}));
    return world;
  });
}

Tensor forward_kinematics_backward(Tensor local, Tensor parents, Tensor grad_world) {
  return scoped(local, [&] {
    Call call(local);
    Workspace ws = make_workspace(local, kinematics_bytes(call, local));
    Tensor grad_local = new_empty(local, sizes_of(local));
    call.check(
        vrel_skeleton_forward_kinematics_backward(
            call.in(local, "local"), call.in(parents, "parents"), call.in(grad_world, "grad_world"),
            call.context(), call.out(grad_local, "grad_local"), ws.get(), call.diag()),
        "animation tensor",
        shape_context({{"local", &local, "BJ44"},
                       {"parents", &parents, "J"},
                       {"grad_world", &grad_world, "BJ44"}}));
    return grad_local;
  });
}

void forward_kinematics_out(Tensor local, Tensor parents, Tensor output, Tensor workspace) {
  scoped(local, [&] {
    Call call(local);
    VrelBufferDescriptor ws = caller_workspace(workspace);
    call.check(
        vrel_skeleton_forward_kinematics(call.in(local, "local"), call.in(parents, "parents"),
                                         call.context(), call.out(output, "output"), &ws,
                                         call.diag()),
        "animation tensor",
        shape_context(
            {{"local", &local, "BJ44"}, {"parents", &parents, "J"}, {"output", &output, "BJ44"}}));
    return 0;
  });
}

// ---- blend shapes -------------------------------------------------------------------------

std::uint64_t blend_bytes(Call &call, const Tensor &template_vertices, const Tensor &deltas,
                          const Tensor &weights) {
  return query_bytes(call, vrel_mesh_blend_shapes_workspace,
                     dtype_code(template_vertices, "template_vertices"), extent(weights, 0),
                     extent(template_vertices, 0), extent(deltas, 0));
}

Tensor blend_shapes(Tensor template_vertices, Tensor deltas, Tensor weights) {
  return scoped(template_vertices, [&] {
    Call call(template_vertices);
    Workspace ws =
        make_workspace(template_vertices, blend_bytes(call, template_vertices, deltas, weights));
    Tensor output =
        new_empty(template_vertices, {extent(weights, 0), extent(template_vertices, 0), 3});
    call.check(
        vrel_mesh_blend_shapes(call.in(template_vertices, "template_vertices"),
                               call.in(deltas, "deltas"), call.in(weights, "weights"),
                               call.context(), call.out(output, "output"), ws.get(), call.diag()),
        "animation tensor",
        shape_context({{"template_vertices", &template_vertices, "V3"},
                       {"deltas", &deltas, "KV3"},
                       {"weights", &weights, "BK"}}));
    return output;
  });
}

Tensors3 blend_shapes_backward(Tensor template_vertices, Tensor deltas, Tensor weights,
                               Tensor grad_vertices, bool need_template, bool need_deltas,
                               bool need_weights) {
  return scoped(template_vertices, [&] {
    Call call(template_vertices);
    Workspace ws =
        make_workspace(template_vertices, blend_bytes(call, template_vertices, deltas, weights));
    Tensor grad_template = empty_or_like(template_vertices, need_template);
    Tensor grad_deltas = empty_or_like(template_vertices, deltas, need_deltas);
    Tensor grad_weights = empty_or_like(template_vertices, weights, need_weights);
    const VrelTensorView *t = call.in(template_vertices, "template_vertices");
    const VrelTensorView *d = call.in(deltas, "deltas");
    const VrelTensorView *w = call.in(weights, "weights");
    const VrelTensorView *g = call.in(grad_vertices, "grad_vertices");
    VrelTensorView *gt = call.out_if(grad_template, need_template, "grad_template");
    VrelTensorView *gd = call.out_if(grad_deltas, need_deltas, "grad_deltas");
    VrelTensorView *gw = call.out_if(grad_weights, need_weights, "grad_weights");
    call.check(vrel_mesh_blend_shapes_backward(t, d, w, g, call.context(), gt, gd, gw, ws.get(),
                                               call.diag()),
               "animation tensor",
               shape_context({{"template_vertices", &template_vertices, "V3"},
                              {"deltas", &deltas, "KV3"},
                              {"weights", &weights, "BK"},
                              {"grad_vertices", &grad_vertices, "BV3"}}));
    return Tensors3{grad_template, grad_deltas, grad_weights};
  });
}

void blend_shapes_out(Tensor template_vertices, Tensor deltas, Tensor weights, Tensor output,
                      Tensor workspace) {
  scoped(template_vertices, [&] {
    Call call(template_vertices);
    VrelBufferDescriptor ws = caller_workspace(workspace);
    call.check(vrel_mesh_blend_shapes(call.in(template_vertices, "template_vertices"),
                                      call.in(deltas, "deltas"), call.in(weights, "weights"),
                                      call.context(), call.out(output, "output"), &ws, call.diag()),
               "animation tensor",
               shape_context({{"template_vertices", &template_vertices, "V3"},
                              {"deltas", &deltas, "KV3"},
                              {"weights", &weights, "BK"},
                              {"output", &output, "BV3"}}));
    return 0;
  });
}

// ---- linear blend skinning ----------------------------------------------------------------

std::uint64_t skin_bytes(Call &call, const Tensor &vertices, const Tensor &transforms) {
  return query_bytes(call, vrel_mesh_skin_lbs_workspace, dtype_code(vertices, "vertices"),
                     extent(vertices, 0), extent(vertices, 1), extent(transforms, 1));
}

Tensor skin_lbs(Tensor vertices, Tensor transforms, Tensor weights) {
  return scoped(vertices, [&] {
    Call call(vertices);
    const std::uint64_t bytes = skin_bytes(call, vertices, transforms);
    Workspace ws = make_workspace(vertices, bytes);
    const std::int64_t B = extent(vertices, 0);
    Tensor output = new_empty(vertices, {B, extent(vertices, 1), 3});
    const VrelTensorView *v = call.in(vertices, "vertices"), *t = call.in(transforms, "transforms"),
                         *w = call.in(weights, "weights");
    VrelTensorView *out = call.out(output, "output");
    // Batch elements are independent: one range of them per thread (no scratch is shared).
    const std::int64_t n = extent(vertices, 1) * B >= 32768 ? split::parts_for(vertices, B, 1) : 1;
    if (n > 1 && bytes == 0 && split::cuttable(v, B) && split::cuttable(t, B) &&
        split::cuttable(out, B)) {
      std::vector<split::Part> parts(n);
      for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t begin = split::first_row(k, n, B), end = split::first_row(k + 1, n, B);
        parts[k].rows(v, begin, end);
        parts[k].rows(t, begin, end);
        parts[k].rows(out, begin, end);
      }
      if (split::run(parts, [&](split::Part &part, std::int64_t) {
            return vrel_mesh_skin_lbs(&part.views[0], &part.views[1], w, call.context(),
                                      &part.views[2], ws.get(), &part.diag);
          }))
        return output;
    }
    call.check(vrel_mesh_skin_lbs(v, t, w, call.context(), out, ws.get(), call.diag()),
               "animation tensor",
               shape_context({{"vertices", &vertices, "BV3"},
                              {"transforms", &transforms, "BJ44"},
                              {"weights", &weights, "VJ"}}));
    return output;
  });
}

Tensors3 skin_lbs_backward(Tensor vertices, Tensor transforms, Tensor weights, Tensor grad_output,
                           bool need_vertices, bool need_transforms, bool need_weights) {
  return scoped(vertices, [&] {
    Call call(vertices);
    Workspace ws = make_workspace(vertices, skin_bytes(call, vertices, transforms));
    Tensor grad_vertices = empty_or_like(vertices, need_vertices);
    Tensor grad_transforms = empty_or_like(vertices, transforms, need_transforms);
    Tensor grad_weights = empty_or_like(vertices, weights, need_weights);
    const VrelTensorView *v = call.in(vertices, "vertices");
    const VrelTensorView *t = call.in(transforms, "transforms");
    const VrelTensorView *w = call.in(weights, "weights");
    const VrelTensorView *g = call.in(grad_output, "grad_output");
    VrelTensorView *gv = call.out_if(grad_vertices, need_vertices, "grad_vertices");
    VrelTensorView *gt = call.out_if(grad_transforms, need_transforms, "grad_transforms");
    VrelTensorView *gw = call.out_if(grad_weights, need_weights, "grad_weights");
    // The vertex and transform gradients of a batch element depend on that element alone: one
    // range of batch elements per thread. The weight gradient sums over the batch: one more part
    // computes it whole, beside the others (the core sums each gradient in the same order
    // whichever others it is asked for).
    const std::int64_t B = extent(vertices, 0);
    const bool by_batch = need_vertices || need_transforms;
    const std::int64_t threads =
        extent(vertices, 1) * B >= 32768 ? split::parts_for(vertices, B + need_weights, 1) : 1;
    const std::int64_t n = std::min<std::int64_t>(B, threads - need_weights);
    if (threads > 1 && by_batch && n >= 1 && ws.or_null() == nullptr && split::cuttable(v, B) &&
        split::cuttable(t, B) && split::cuttable(g, B) &&
        (gv == nullptr || split::cuttable(gv, B)) && (gt == nullptr || split::cuttable(gt, B))) {
      std::vector<split::Part> parts(n + need_weights);
      for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t begin = split::first_row(k, n, B), end = split::first_row(k + 1, n, B);
        for (const VrelTensorView *view : {v, t, g}) parts[k].rows(view, begin, end);
        parts[k].rows(gv != nullptr ? gv : v, begin, end);
        parts[k].rows(gt != nullptr ? gt : t, begin, end);
      }
      if (split::run(parts, [&](split::Part &part, std::int64_t k) {
            if (k == n)  // the weight gradient, whole
              return vrel_mesh_skin_lbs_backward(v, t, w, g, call.context(), nullptr, nullptr, gw,
                                                 nullptr, &part.diag);
            const auto &x = part.views;
            return vrel_mesh_skin_lbs_backward(
                &x[0], &x[1], w, &x[2], call.context(), gv != nullptr ? &x[3] : nullptr,
                gt != nullptr ? &x[4] : nullptr, nullptr, nullptr, &part.diag);
          }))
        return Tensors3{grad_vertices, grad_transforms, grad_weights};
    }
    call.check(
        vrel_mesh_skin_lbs_backward(v, t, w, g, call.context(), gv, gt, gw, ws.get(), call.diag()),
        "animation tensor",
        shape_context({{"vertices", &vertices, "BV3"},
                       {"transforms", &transforms, "BJ44"},
                       {"weights", &weights, "VJ"},
                       {"grad_output", &grad_output, "BV3"}}));
    return Tensors3{grad_vertices, grad_transforms, grad_weights};
  });
}

void skin_lbs_out(Tensor vertices, Tensor transforms, Tensor weights, Tensor output,
                  Tensor workspace) {
  scoped(vertices, [&] {
    Call call(vertices);
    VrelBufferDescriptor ws = caller_workspace(workspace);
    call.check(vrel_mesh_skin_lbs(call.in(vertices, "vertices"), call.in(transforms, "transforms"),
                                  call.in(weights, "weights"), call.context(),
                                  call.out(output, "output"), &ws, call.diag()),
               "animation tensor",
               shape_context({{"vertices", &vertices, "BV3"},
                              {"transforms", &transforms, "BJ44"},
                              {"weights", &weights, "VJ"},
                              {"output", &output, "BV3"}}));
    return 0;
  });
}

// ---- barycentric evaluation ---------------------------------------------------------------

std::uint64_t landmark_bytes(Call &call, const Tensor &vertices, const Tensor &face_index) {
  return query_bytes(call, vrel_mesh_evaluate_barycentric_workspace,
                     dtype_code(vertices, "vertices"), extent(vertices, 0), extent(vertices, 1),
                     extent(face_index, 0));
}

Tensor evaluate_barycentric(Tensor vertices, Tensor faces, Tensor face_index, Tensor barycentric) {
  return scoped(vertices, [&] {
    Call call(vertices);
    Workspace ws = make_workspace(vertices, landmark_bytes(call, vertices, face_index));
    Tensor output = new_empty(vertices, {extent(vertices, 0), extent(face_index, 0), 3});
    call.check(vrel_mesh_evaluate_barycentric(
                   call.in(vertices, "vertices"), call.in(faces, "faces"),
                   call.in(face_index, "face_index"), call.in(barycentric, "barycentric"),
                   call.context(), call.out(output, "output"), ws.get(), call.diag()),
               "animation tensor",
               shape_context({{"vertices", &vertices, "BV3"},
                              {"faces", &faces, "F3"},
                              {"face_index", &face_index, "L"},
                              {"barycentric", &barycentric, "L3"}}));
    return output;
  });
}

Tensors2 evaluate_barycentric_backward(Tensor vertices, Tensor faces, Tensor face_index,
                                       Tensor barycentric, Tensor grad_output, bool need_vertices,
                                       bool need_barycentric) {
  return scoped(vertices, [&] {
    Call call(vertices);
    Workspace ws = make_workspace(vertices, landmark_bytes(call, vertices, face_index));
    Tensor grad_vertices = empty_or_like(vertices, need_vertices);
    Tensor grad_barycentric = empty_or_like(vertices, barycentric, need_barycentric);
    const VrelTensorView *v = call.in(vertices, "vertices");
    const VrelTensorView *f = call.in(faces, "faces");
    const VrelTensorView *i = call.in(face_index, "face_index");
    const VrelTensorView *b = call.in(barycentric, "barycentric");
    const VrelTensorView *g = call.in(grad_output, "grad_output");
    VrelTensorView *gv = call.out_if(grad_vertices, need_vertices, "grad_vertices");
    VrelTensorView *gb = call.out_if(grad_barycentric, need_barycentric, "grad_barycentric");
    call.check(vrel_mesh_evaluate_barycentric_backward(v, f, i, b, g, call.context(), gv, gb,
                                                       ws.get(), call.diag()),
               "animation tensor",
               shape_context({{"vertices", &vertices, "BV3"},
                              {"faces", &faces, "F3"},
                              {"face_index", &face_index, "L"},
                              {"barycentric", &barycentric, "L3"},
                              {"grad_output", &grad_output, "BL3"}}));
    return Tensors2{grad_vertices, grad_barycentric};
  });
}

void evaluate_barycentric_out(Tensor vertices, Tensor faces, Tensor face_index, Tensor barycentric,
                              Tensor output, Tensor workspace) {
  scoped(vertices, [&] {
    Call call(vertices);
    VrelBufferDescriptor ws = caller_workspace(workspace);
    call.check(vrel_mesh_evaluate_barycentric(
                   call.in(vertices, "vertices"), call.in(faces, "faces"),
                   call.in(face_index, "face_index"), call.in(barycentric, "barycentric"),
                   call.context(), call.out(output, "output"), &ws, call.diag()),
               "animation tensor",
               shape_context({{"vertices", &vertices, "BV3"},
                              {"faces", &faces, "F3"},
                              {"face_index", &face_index, "L"},
                              {"barycentric", &barycentric, "L3"},
                              {"output", &output, "BL3"}}));
    return 0;
  });
}

// ---- workspace sizes for the _out operators -----------------------------------------------

std::int64_t animation_workspace_size(Tensor reference, std::int64_t operation, std::int64_t B,
                                      std::int64_t V, std::int64_t K) {
  return scoped(reference, [&] {
    Call call(reference);
    const std::uint32_t dtype = dtype_code(reference, "reference");
    std::uint64_t bytes = 0;
    switch (operation) {
      case 1: bytes = query_bytes(call, vrel_mesh_blend_shapes_workspace, dtype, B, V, K); break;
      case 2: bytes = query_bytes(call, vrel_transforms_rodrigues_workspace, dtype, V); break;
      case 3:
        bytes = query_bytes(call, vrel_skeleton_forward_kinematics_workspace, dtype, B, V);
        break;
      case 4: bytes = query_bytes(call, vrel_mesh_skin_lbs_workspace, dtype, B, V, K); break;
      case 5:
        bytes = query_bytes(call, vrel_mesh_evaluate_barycentric_workspace, dtype, B, V, K);
        break;
      default: internal_error("unknown animation workspace operation");
    }
    require(bytes <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
            "animation workspace exceeds tensor extent");
    return static_cast<std::int64_t>(bytes);
  });
}

}  // namespace

std::span<const KernelBinding> animation_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(rodrigues),
      VREL_BIND(rodrigues_backward),
      VREL_BIND(rodrigues_out),
      VREL_BIND(forward_kinematics),
      VREL_BIND(forward_kinematics_backward),
      VREL_BIND(forward_kinematics_out),
      VREL_BIND(blend_shapes),
      VREL_BIND(blend_shapes_backward),
      VREL_BIND(blend_shapes_out),
      VREL_BIND(skin_lbs),
      VREL_BIND(skin_lbs_backward),
      VREL_BIND(skin_lbs_out),
      VREL_BIND(evaluate_barycentric),
      VREL_BIND(evaluate_barycentric_backward),
      VREL_BIND(evaluate_barycentric_out),
      KernelBinding{"_animation_workspace_size", TORCH_BOX(&animation_workspace_size)},
  };
  return bindings;
}

}  // namespace vrel::adapter
