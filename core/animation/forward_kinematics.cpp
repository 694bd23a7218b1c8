// Forward kinematics: per-joint local 4x4 transforms composed along a skeleton hierarchy.
#include <cstring>

#include "animation/checks.hpp"
#include "animation/forward_kinematics_kernel.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kLocalDtype = "FK local requires float32 or float64";
constexpr const char* kCudaLocalDtype = "FK requires floating local transforms";
constexpr const char* kNoCotangent = "FK backward requires cotangent";
constexpr const char* kWorkspaceSmall = "FK workspace is too small";
constexpr const char* kWorkspaceAlignment = "FK workspace requires 8-byte alignment";
constexpr const char* kParentIndex = "invalid skeleton parent index";
constexpr const char* kCycle = "skeleton hierarchy contains a cycle";
constexpr const char* kProductOverflow = "FK matrix product overflow";

// (128 B + 8) J bytes for float32, (256 B + 8) J for float64: order and visited (J int32 each),
// then the world matrices and the world cotangents (B x J x 16 elements each).
VrelStatus answer(const Counts& counts, uint32_t dtype, uint64_t* bytes, uint64_t* alignment,
                  VrelDiagnostic* diag) noexcept {
  const int64_t batch = counts.value[0], joints = counts.value[1];
  if (batch > 2147483647 || joints > 2147483647 || batch * joints > 3074457345618258602)
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "animation counts overflow");
  const uint64_t per_batch = dtype == VREL_DTYPE_FLOAT32 ? 128 : 256;
  uint64_t per_joint = 0, total = 0;
  if (!__builtin_mul_overflow(per_batch, static_cast<uint64_t>(batch), &per_joint) &&
      !__builtin_add_overflow(per_joint, 8u, &per_joint) &&
      !__builtin_mul_overflow(per_joint, static_cast<uint64_t>(joints), &total)) {
    *bytes = total;
    *alignment = 8;
    return VREL_STATUS_OK;
  }
  return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "FK workspace extent overflow");
}

constexpr Query kQuery{provider::operation::kForwardKinematics, answer,
                       "CUDA provider lacks requested pose operation", false, true};

// The CPU workspace: the query's bytes, 8-byte aligned in declaration and address.
VrelStatus consume_workspace(const Checks& c, const VrelBufferDescriptor* workspace,
                             const Counts& counts, uint64_t* required) noexcept {
  uint64_t alignment = 1;
  VREL_TRY(answer(counts, c.dtype(), required, &alignment, c.diag()));
  if (*required == 0) return VREL_STATUS_OK;
  if (workspace == nullptr || workspace->capacity < *required)
    return c.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, kWorkspaceSmall);
  if (workspace->alignment < 8 || reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return c.fail(VREL_STATUS_INVALID_ARGUMENT, kWorkspaceAlignment);
  return VREL_STATUS_OK;
}

// The workspace layout, in order.
template <typename T>
struct Scratch {
  int32_t* order;
  int32_t* visited;
  T* world;
  T* world_grad;
  Scratch(const VrelBufferDescriptor* workspace, int64_t batch, int64_t joints) noexcept {
    auto* base = static_cast<unsigned char*>(workspace->data);
    order = reinterpret_cast<int32_t*>(base);
    visited = order + joints;
    world = reinterpret_cast<T*>(base + 8 * joints);
    world_grad = world + batch * joints * 16;
  }
};

VrelStatus order_joints(const Checks& c, const int32_t* parents, int64_t joints, int32_t* order,
                        int32_t* visited) noexcept {
  switch (evaluation_order(parents, joints, order, visited)) {
    case OrderFault::kNone: return VREL_STATUS_OK;
    case OrderFault::kParent: return c.fail(VREL_STATUS_INVALID_ARGUMENT, kParentIndex);
    case OrderFault::kCycle: break;
  }
  return c.fail(VREL_STATUS_INVALID_ARGUMENT, kCycle);
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* local, const VrelTensorView* parents,
                       const VrelTensorView* world,
                       const VrelBufferDescriptor* workspace) noexcept {
  const int64_t batch = dim(local, 0), joints = dim(local, 1);
  const Scratch<T> s(workspace, batch, joints);
  const int32_t* p = abi::data_of<int32_t>(*parents);
  VREL_TRY(order_joints(c, p, joints, s.order, s.visited));
  if (!fk_world(abi::data_of<T>(*local), p, s.order, batch, joints, s.world))
    return c.fail(VREL_STATUS_OVERFLOW, kProductOverflow);
  if (batch > 0)
    std::memcpy(abi::mutable_data_of<T>(*world), s.world,
                static_cast<std::size_t>(batch * joints * 16) * sizeof(T));
  return c.finite_outputs({world});
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* local, const VrelTensorView* parents,
                        const VrelTensorView* grad_world, const VrelTensorView* grad_local,
                        const VrelBufferDescriptor* workspace) noexcept {
  const int64_t batch = dim(local, 0), joints = dim(local, 1);
  const Scratch<T> s(workspace, batch, joints);
  const int32_t* p = abi::data_of<int32_t>(*parents);
  const T* l = abi::data_of<T>(*local);
  VREL_TRY(order_joints(c, p, joints, s.order, s.visited));
  if (!fk_world(l, p, s.order, batch, joints, s.world))
    return c.fail(VREL_STATUS_OVERFLOW, kProductOverflow);
  fk_backward(l, p, s.order, s.world, abi::data_of<T>(*grad_world), batch, joints, s.world_grad,
              abi::mutable_data_of<T>(*grad_local));
  return c.finite_outputs({grad_local});
}

// The checks both exports share, up to the backend choice.
VrelStatus common(Checks& c, const VrelTensorView* local, const VrelTensorView* parents,
                  const VrelExecutionContext* context,
                  const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(c.floating(local, kLocalDtype, kCudaLocalDtype));
  VREL_TRY(c.input(local, {kAny, kAny, 4, 4}, c.dtype()));
  return c.input(parents, {dim(local, 1)}, VREL_DTYPE_INT32);
}

}  // namespace
}  // namespace vrel::animation

using namespace vrel::animation;

extern "C" VREL_API VrelStatus vrel_skeleton_forward_kinematics(
    const VrelTensorView* local, const VrelTensorView* parents, const VrelExecutionContext* context,
    const VrelTensorView* world, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(common(c, local, parents, context, workspace));
  const int64_t batch = dim(local, 0), joints = dim(local, 1);
  VREL_TRY(c.output(world, {batch, joints, 4, 4}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {batch, joints}, workspace));
    return frame::forward_entry<&frame::Table::forward_kinematics>(
        "CUDA FK unavailable", true, diag, local, parents, context, world, workspace, diag);
  }
  uint64_t required = 0;
  VREL_TRY(consume_workspace(c, workspace, {batch, joints}, &required));
  VREL_TRY(c.no_alias({world}, {local, parents}, workspace, required));
  if (joints == 0) return VREL_STATUS_OK;
  return frame::with_floating(c.dtype(), [&](auto t) {
    return forward_cpu<decltype(t)>(c, local, parents, world, workspace);
  });
}

extern "C" VREL_API VrelStatus vrel_skeleton_forward_kinematics_backward(
    const VrelTensorView* local, const VrelTensorView* parents, const VrelTensorView* grad_world,
    const VrelExecutionContext* context, const VrelTensorView* grad_local,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(common(c, local, parents, context, workspace));
  const int64_t batch = dim(local, 0), joints = dim(local, 1);
  // The gradient output is checked before the cotangent, as the forward checks its output.
  VREL_TRY(c.output(grad_local, {batch, joints, 4, 4}));
  VREL_TRY(c.input(grad_world, {batch, joints, 4, 4}, c.dtype(), kNoCotangent));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {batch, joints}, workspace));
    return frame::forward_entry<&frame::Table::forward_kinematics_backward>(
        "CUDA FK backward unavailable", true, diag, local, parents, grad_world, context, grad_local,
        workspace, diag);
  }
  uint64_t required = 0;
  VREL_TRY(consume_workspace(c, workspace, {batch, joints}, &required));
  VREL_TRY(c.no_alias({grad_local}, {local, parents, grad_world}, workspace, required));
  if (joints == 0) return VREL_STATUS_OK;
  return frame::with_floating(c.dtype(), [&](auto t) {
    return backward_cpu<decltype(t)>(c, local, parents, grad_world, grad_local, workspace);
  });
}

extern "C" VREL_API VrelStatus vrel_skeleton_forward_kinematics_workspace(
    int64_t batch, int64_t joints, uint32_t dtype, const VrelExecutionContext* context,
    uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  return run_query(kQuery, {batch, joints}, dtype, context, bytes, alignment, diag);
}
