// Blend shapes: a template mesh plus weighted per-shape vertex offsets.
#include "animation/blend_shapes_kernel.hpp"
#include "animation/checks.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kTemplateDtype = "template must be float32 or float64";
constexpr const char* kCudaTemplateDtype = "animation requires floating template";
constexpr const char* kNoCotangent = "blend backward requires cotangent";

VrelStatus answer(const Counts& counts, uint32_t, uint64_t* bytes, uint64_t* alignment,
                  VrelDiagnostic* diag) noexcept {
  if (deformation_counts_overflow(counts))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "animation counts overflow");
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

constexpr Query kQuery{provider::operation::kBlendShapes, answer,
                       "CUDA provider lacks animation blend shapes", false, false};

// template [V,3], deltas [K,V,3], weights [B,K].
VrelStatus inputs(Checks& c, const VrelTensorView* tmpl, const VrelTensorView* deltas,
                  const VrelTensorView* weights, const VrelExecutionContext* context,
                  const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(c.floating(tmpl, kTemplateDtype, kCudaTemplateDtype));
  VREL_TRY(c.input(tmpl, {kAny, 3}, c.dtype()));
  VREL_TRY(c.input(deltas, {kAny, dim(tmpl, 0), 3}, c.dtype()));
  return c.input(weights, {kAny, dim(deltas, 0)}, c.dtype());
}

struct Sizes {
  int64_t batch, rows, shapes;
};
Sizes sizes(const VrelTensorView* tmpl, const VrelTensorView* weights) noexcept {
  return {dim(weights, 0), dim(tmpl, 0), dim(weights, 1)};
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* tmpl, const VrelTensorView* deltas,
                       const VrelTensorView* weights, const VrelTensorView* output) noexcept {
  const Sizes n = sizes(tmpl, weights);
  blend_forward(abi::data_of<T>(*tmpl), abi::data_of<T>(*deltas), abi::data_of<T>(*weights),
                n.batch, n.rows, n.shapes, abi::mutable_data_of<T>(*output));
  return c.finite_outputs({output});
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* tmpl, const VrelTensorView* deltas,
                        const VrelTensorView* weights, const VrelTensorView* grad_output,
                        const VrelTensorView* grad_template, const VrelTensorView* grad_deltas,
                        const VrelTensorView* grad_weights) noexcept {
  const Sizes n = sizes(tmpl, weights);
  blend_backward(abi::data_of<T>(*deltas), abi::data_of<T>(*weights), abi::data_of<T>(*grad_output),
                 n.batch, n.rows, n.shapes, data_or_null<T>(grad_template),
                 data_or_null<T>(grad_deltas), data_or_null<T>(grad_weights));
  return c.finite_outputs({grad_template, grad_deltas, grad_weights});
}

}  // namespace
}  // namespace vrel::animation

using namespace vrel::animation;

extern "C" VREL_API VrelStatus vrel_mesh_blend_shapes(
    const VrelTensorView* template_vertices, const VrelTensorView* deltas,
    const VrelTensorView* weights, const VrelExecutionContext* context,
    const VrelTensorView* output, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, template_vertices, deltas, weights, context, workspace));
  const Sizes n = sizes(template_vertices, weights);
  VREL_TRY(c.output(output, {n.batch, n.rows, 3}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.shapes}, workspace));
    return frame::forward_entry<&frame::Table::blend_shapes>("CUDA blend unavailable", true, diag,
                                                             template_vertices, deltas, weights,
                                                             context, output, workspace, diag);
  }
  VREL_TRY(c.no_alias({output}, {template_vertices, deltas, weights}, workspace, 0));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return forward_cpu<decltype(t)>(c, template_vertices, deltas, weights, output);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_blend_shapes_backward(
    const VrelTensorView* template_vertices, const VrelTensorView* deltas,
    const VrelTensorView* weights, const VrelTensorView* grad_output,
    const VrelExecutionContext* context, const VrelTensorView* grad_template,
    const VrelTensorView* grad_deltas, const VrelTensorView* grad_weights,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, template_vertices, deltas, weights, context, workspace));
  const Sizes n = sizes(template_vertices, weights);
  VREL_TRY(c.input(grad_output, {n.batch, n.rows, 3}, c.dtype(), kNoCotangent));
  VREL_TRY(c.any_gradient({grad_template, grad_deltas, grad_weights}));
  VREL_TRY(c.optional_output(grad_template, {n.rows, 3}));
  VREL_TRY(c.optional_output(grad_deltas, {n.shapes, n.rows, 3}));
  VREL_TRY(c.optional_output(grad_weights, {n.batch, n.shapes}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.shapes}, workspace));
    return frame::forward_entry<&frame::Table::blend_shapes_backward>(
        "CUDA blend backward unavailable", true, diag, template_vertices, deltas, weights,
        grad_output, context, grad_template, grad_deltas, grad_weights, workspace, diag);
  }
  VREL_TRY(c.no_alias({grad_template, grad_deltas, grad_weights},
                      {template_vertices, deltas, weights, grad_output}, workspace, 0));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return backward_cpu<decltype(t)>(c, template_vertices, deltas, weights, grad_output,
                                     grad_template, grad_deltas, grad_weights);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_blend_shapes_workspace(
    int64_t batch, int64_t vertex_count, int64_t shape_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  return run_query(kQuery, {batch, vertex_count, shape_count}, dtype, context, bytes, alignment,
                   diag);
}
