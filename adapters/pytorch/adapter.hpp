// Shared pieces of every _torch kernel: tensor marshalling into the core's descriptors, output and
// workspace allocation through aten::new_empty, the per-call Diagnostic and the error formats.
// Everything here lives on the kernel's stack for one call; nothing is cached between calls
// except the current-stream lookup of cuda_scope.hpp.
#pragma once

#include <torch/csrc/stable/library.h>
#include <torch/csrc/stable/tensor.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "cuda_scope.hpp"
#include "errors.hpp"
#include "vrel/vrel.h"

// Core exports are referenced weakly, so the module loads against any core build: a kernel is
// bound only when every export it calls is present in libvrel_core (registration.cpp). The exports
// are those named in operators.def, listed by the build in core_exports.inc.
#define VREL_ADAPTER_PRAGMA(text) _Pragma(#text)
#define VREL_CORE_EXPORT(name) VREL_ADAPTER_PRAGMA(weak name)
#include "core_exports.inc"
#undef VREL_CORE_EXPORT

namespace vrel::adapter {

using torch::headeronly::ScalarType;
using torch::stable::Tensor;

// The stable-ABI version this module targets (2.10): it is passed to the dispatcher and to the
// kernel registration, so PyTorch treats the module as built against 2.10.
inline constexpr std::uint64_t kTargetVersion = TORCH_TARGET_VERSION;

inline constexpr int kArenaViews = 24;
inline constexpr int kArenaRank = 64;
inline constexpr std::size_t kMessageBytes = 512;

// The ABI dtype code of a tensor. A dtype outside the ABI raises the status error (2) naming
// `name` (the operator argument, when known), the dtype it takes and the dtype received.
std::uint32_t dtype_code(const Tensor &tensor, const char *name = nullptr);

// A tensor argument and its shape pattern, one character per dimension: a digit is a fixed
// extent, a letter an extent shared by every tensor that names it (taken from the first one).
struct Shaped {
  const char *name;
  const Tensor *tensor;
  const char *pattern;
};
// The first of `tensors` (in the core's check order) whose rank or extents break its pattern, as
// "deltas must be [K, V, 3] with V = 4 from template_vertices; received [2, 5, 3]"; empty when all
// fit. Context for the core's shape sentences that name no tensor.
std::string shape_context(std::initializer_list<Shaped> tensors);

// The ExecutionContext of a call's reference tensor: the CPU, or the tensor's CUDA device with the
// caller's current stream on it.
VrelExecutionContext context_for(const Tensor &reference);

// aten::new_empty on the reference tensor (so the result lives on its device); the dtype is the
// reference's unless one is given.
Tensor new_empty(const Tensor &reference, std::span<const std::int64_t> sizes,
                 std::optional<ScalarType> dtype = std::nullopt);
inline Tensor new_empty(const Tensor &reference, std::initializer_list<std::int64_t> sizes,
                        std::optional<ScalarType> dtype = std::nullopt) {
  return new_empty(reference, std::span<const std::int64_t>(sizes.begin(), sizes.size()), dtype);
}

// Fills a tensor with zeros in place (aten::zero_), on its own device and stream.
void zero_(const Tensor &tensor);

// A tensor with the reference's sizes when wanted, else a [0] tensor (a gradient nobody asked for).
Tensor empty_or_like(const Tensor &reference, bool wanted);
// The same with the sizes of `like` (a gradient of another input), on the reference's device and
// in its dtype.
Tensor empty_or_like(const Tensor &reference, const Tensor &like, bool wanted);

std::vector<std::int64_t> sizes_of(const Tensor &tensor);
std::int64_t size_of(const Tensor &tensor, std::int64_t dim);
std::int64_t numel_of(const Tensor &tensor);
// Size of a dimension, or 0 when the tensor has no such dimension (the core then reports the
// shape).
std::int64_t extent(const Tensor &tensor, std::int64_t dim);
std::int64_t dim_of(const Tensor &tensor);
bool is_cuda(const Tensor &tensor);
ScopeTensor scope_tensor(const Tensor &tensor);

// Stores the shape and stride arrays of the views borrowed in one call.
class BorrowedViewArena {
 public:
  BorrowedViewArena() = default;
  BorrowedViewArena(const BorrowedViewArena &) = delete;
  BorrowedViewArena &operator=(const BorrowedViewArena &) = delete;
  // The only way a kernel makes a view. flags: VREL_TENSOR_READ_ONLY or VREL_TENSOR_OUTPUT.
  // `name` is the operator argument, named in the refusals of its dtype or layout (strides of
  // extent-0 and extent-1 dimensions are made 1; a zero or non-dense stride elsewhere is refused
  // with the core's sentence and the remedy).
  VrelTensorView borrow(const Tensor &tensor, std::uint32_t flags, bool mutable_data,
                        const char *name = nullptr);
  int count() const { return count_; }

 private:
  std::int64_t shapes_[kArenaViews][kArenaRank] = {};
  std::int64_t strides_[kArenaViews][kArenaRank] = {};
  std::int32_t count_ = 0;
};

// A caller-visible scratch tensor and its BufferDescriptor.
struct Workspace {
  Tensor tensor;
  VrelBufferDescriptor descriptor;
  // The descriptor, or null when the byte count is 0 (the pattern of most families).
  VrelBufferDescriptor *or_null() { return descriptor.capacity == 0 ? nullptr : &descriptor; }
  VrelBufferDescriptor *get() { return &descriptor; }
};

// The workspace descriptor of a uint8 tensor: capacity = the byte count, alignment 8, data null
// when the byte count is 0.
VrelBufferDescriptor workspace_descriptor(const Tensor &workspace, std::uint64_t bytes);
// Allocates [bytes] uint8 on the reference's device (a zero-element tensor when bytes is 0).
Workspace make_workspace(const Tensor &reference, std::uint64_t bytes);
// The descriptor of a caller's workspace tensor (the _out operators): capacity = its byte count.
// The tensor must be dense: an expanded or strided tensor has more elements than bytes of memory
// behind its data pointer, and the core would write past them.
VrelBufferDescriptor caller_workspace(const Tensor &workspace);

// Whether the tensor's elements fill one dense block in C order (dimensions of extent 0 or 1 put
// no constraint on their stride).
bool is_dense(const Tensor &tensor);

// One kernel call: the arena, the 512-byte Diagnostic, the context and the borrowed views.
class Call {
 public:
  explicit Call(const Tensor &reference);
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  VrelExecutionContext *context() { return &context_; }
  VrelDiagnostic *diag() { return &diagnostic_; }
  const char *message() const { return message_; }

  // Borrowed views keep stable addresses until the call ends. `name`: the operator argument.
  const VrelTensorView *in(const Tensor &tensor, const char *name = nullptr);
  VrelTensorView *out(const Tensor &tensor, const char *name = nullptr);
  // Borrows the tensor in any case (one arena slot) and passes null when it is not wanted.
  const VrelTensorView *in_if(const Tensor &tensor, bool wanted, const char *name = nullptr);
  VrelTensorView *out_if(const Tensor &tensor, bool wanted, const char *name = nullptr);

  // Raises the status error for a nonzero status.
  void check(VrelStatus status) const {
    if (status != VREL_STATUS_OK) status_error(status, message_);
  }
  // As check(), adding `context` in parentheses after the core's sentence when the sentence
  // contains `about` (the sentence itself and its status prefix are kept intact).
  void check(VrelStatus status, const char *about, const std::string &context) const {
    if (status == VREL_STATUS_OK) return;
    if (context.empty() || std::strstr(message_, about) == nullptr) status_error(status, message_);
    status_error(status, (std::string(message_) + " (" + context + ")").c_str());
  }

 private:
  BorrowedViewArena arena_;
  VrelTensorView views_[kArenaViews] = {};
  char message_[kMessageBytes] = {};
  VrelDiagnostic diagnostic_{};
  VrelExecutionContext context_{};
};

// Runs a workspace query of the form (counts..., dtype, context, &bytes, &alignment, diag) and
// returns the byte count; a core failure raises the status error.
template <typename Query, typename... Counts>
std::uint64_t query_bytes(Call &call, Query query, std::uint32_t dtype, Counts... counts) {
  std::uint64_t bytes = 0, alignment = 0;
  call.check(query(static_cast<std::int64_t>(counts)..., dtype, call.context(), &bytes, &alignment,
                   call.diag()));
  return bytes;
}

// A schema int passed where the core takes a 32-bit enum or flag word. Values outside uint32 become
// 0xFFFFFFFF, which no enumeration or flag set accepts, so they are refused by the core's own check
// instead of being truncated into a valid value.
inline std::uint32_t as_u32(std::int64_t value) {
  return (value < 0 || value > 0xFFFFFFFFll) ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

// Runs a kernel body inside the CudaContextScope of the reference tensor (inert on the CPU), then
// raises the internal error when restoring the caller's context failed.
template <typename Body>
auto scoped(const Tensor &reference, Body body) {
  CudaContextScope scope;
  scope.enter(scope_tensor(reference));
  auto result = body();
  if (const char *message = scope.leave()) internal_error(message);
  return result;
}

// One binding of the registration table: an operator name and its boxed kernel. Which core exports
// the kernel calls is written once, in operators.def.
struct KernelBinding {
  const char *name;
  void (*kernel)(StableIValue *, std::uint64_t, std::uint64_t);
};

template <typename... F>
bool present(F *...exports) {
  return ((exports != nullptr) && ...);
}

// The bindings of each family (kernels_<family>.cpp).
std::span<const KernelBinding> mesh_bindings();
std::span<const KernelBinding> io_bindings();
std::span<const KernelBinding> transforms_bindings();
std::span<const KernelBinding> render_bindings();
std::span<const KernelBinding> texture_bindings();
std::span<const KernelBinding> points_bindings();
std::span<const KernelBinding> animation_bindings();
std::span<const KernelBinding> image_bindings();
std::span<const KernelBinding> shading_utility_bindings();
std::span<const KernelBinding> shading_bindings();
std::span<const KernelBinding> opaque_bindings();
std::span<const KernelBinding> opaque_stream_bindings();
std::span<const KernelBinding> workspace_bindings();

}  // namespace vrel::adapter

#define VREL_BIND(name) \
  ::vrel::adapter::KernelBinding { #name, TORCH_BOX(&name) }
