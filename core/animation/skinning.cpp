// Linear blend skinning: vertices moved by a weighted sum of per-joint affine transforms.
#include "animation/checks.hpp"
#include "animation/skinning_kernel.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kVerticesDtype = "vertices require float32 or float64";
constexpr const char* kCudaVerticesDtype = "animation requires floating vertices";
constexpr const char* kNoCotangent = "skinning backward requires cotangent";
constexpr const char* kNoJoints = "nonempty skinning vertices require at least one joint";

VrelStatus answer(const Counts& counts, uint32_t, uint64_t* bytes, uint64_t* alignment,
                  VrelDiagnostic* diag) noexcept {
  if (deformation_counts_overflow(counts))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "animation counts overflow");
  if (counts.value[1] > 0 && counts.value[2] == 0)
    return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, kNoJoints);
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

constexpr Query kQuery{provider::operation::kSkinLbs, answer,
                       "CUDA provider lacks requested animation operation", false, false};

struct Sizes {
  int64_t batch, rows, joints;
};
Sizes sizes(const VrelTensorView* vertices, const VrelTensorView* transforms) noexcept {
  return {dim(vertices, 0), dim(vertices, 1), dim(transforms, 1)};
}

// vertices [B,V,3], transforms [B,J,4,4], weights [V,J]; then the joint rule.
VrelStatus inputs(Checks& c, const VrelTensorView* vertices, const VrelTensorView* transforms,
                  const VrelTensorView* weights, const VrelExecutionContext* context,
                  const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(c.floating(vertices, kVerticesDtype, kCudaVerticesDtype));
  VREL_TRY(c.input(vertices, {kAny, kAny, 3}, c.dtype()));
  VREL_TRY(c.input(transforms, {dim(vertices, 0), kAny, 4, 4}, c.dtype()));
  VREL_TRY(c.input(weights, {dim(vertices, 1), dim(transforms, 1)}, c.dtype()));
  const Sizes n = sizes(vertices, transforms);
  if (n.rows > 0 && n.joints == 0) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kNoJoints);
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* vertices,
                       const VrelTensorView* transforms, const VrelTensorView* weights,
                       const VrelTensorView* output) noexcept {
  const Sizes n = sizes(vertices, transforms);
  skin_forward_isa(abi::data_of<T>(*vertices), abi::data_of<T>(*transforms),
                   abi::data_of<T>(*weights), n.batch, n.rows, n.joints,
                   abi::mutable_data_of<T>(*output), math::best_isa());
  return c.finite_outputs({output});
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* vertices,
                        const VrelTensorView* transforms, const VrelTensorView* weights,
                        const VrelTensorView* grad_output, const VrelTensorView* grad_vertices,
                        const VrelTensorView* grad_transforms,
                        const VrelTensorView* grad_weights) noexcept {
  const Sizes n = sizes(vertices, transforms);
  skin_backward(abi::data_of<T>(*vertices), abi::data_of<T>(*transforms), abi::data_of<T>(*weights),
                abi::data_of<T>(*grad_output), n.batch, n.rows, n.joints,
                data_or_null<T>(grad_vertices), data_or_null<T>(grad_transforms),
                data_or_null<T>(grad_weights));
  return c.finite_outputs({grad_vertices, grad_transforms, grad_weights});
}

}  // namespace
}  // namespace vrel::animation

using namespace vrel::animation;

extern "C" VREL_API VrelStatus vrel_mesh_skin_lbs(
    const VrelTensorView* vertices, const VrelTensorView* transforms, const VrelTensorView* weights,
    const VrelExecutionContext* context, const VrelTensorView* output,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, vertices, transforms, weights, context, workspace));
  const Sizes n = sizes(vertices, transforms);
  VREL_TRY(c.output(output, {n.batch, n.rows, 3}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.joints}, workspace));
    return frame::forward_entry<&frame::Table::skin_lbs>("CUDA skinning unavailable", true, diag,
                                                         vertices, transforms, weights, context,
                                                         output, workspace, diag);
  }
  VREL_TRY(c.no_alias({output}, {vertices, transforms, weights}, workspace, 0));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return forward_cpu<decltype(t)>(c, vertices, transforms, weights, output);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_skin_lbs_backward(
    const VrelTensorView* vertices, const VrelTensorView* transforms, const VrelTensorView* weights,
    const VrelTensorView* grad_output, const VrelExecutionContext* context,
    const VrelTensorView* grad_vertices, const VrelTensorView* grad_transforms,
    const VrelTensorView* grad_weights, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, vertices, transforms, weights, context, workspace));
  const Sizes n = sizes(vertices, transforms);
  VREL_TRY(c.input(grad_output, {n.batch, n.rows, 3}, c.dtype(), kNoCotangent));
  VREL_TRY(c.any_gradient({grad_vertices, grad_transforms, grad_weights}));
  VREL_TRY(c.optional_output(grad_vertices, {n.batch, n.rows, 3}));
  VREL_TRY(c.optional_output(grad_transforms, {n.batch, n.joints, 4, 4}));
  VREL_TRY(c.optional_output(grad_weights, {n.rows, n.joints}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.joints}, workspace));
    return frame::forward_entry<&frame::Table::skin_lbs_backward>(
        "CUDA skinning backward unavailable", true, diag, vertices, transforms, weights,
        grad_output, context, grad_vertices, grad_transforms, grad_weights, workspace, diag);
  }
  VREL_TRY(c.no_alias({grad_vertices, grad_transforms, grad_weights},
                      {vertices, transforms, weights, grad_output}, workspace, 0));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return backward_cpu<decltype(t)>(c, vertices, transforms, weights, grad_output, grad_vertices,
                                     grad_transforms, grad_weights);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_skin_lbs_workspace(
    int64_t batch, int64_t vertex_count, int64_t joint_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  return run_query(kQuery, {batch, vertex_count, joint_count}, dtype, context, bytes, alignment,
                   diag);
}
