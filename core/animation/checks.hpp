// The animation family's argument checks: one sequence for the CPU and one for CUDA requests,
// with the family's own sentences, shared by the five operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "vrel/vrel.h"

namespace vrel::animation {

namespace frame = vrel::frame;

// Wildcard extent.
inline constexpr int64_t kAny = -1;

// Expected extents of a tensor; its length is the required rank.
struct Shape {
  int64_t extent[VREL_MAX_TENSOR_RANK] = {};
  uint32_t rank = 0;

  Shape() = default;
  Shape(std::initializer_list<int64_t> extents) noexcept {
    for (const int64_t e : extents) extent[rank++] = e;
  }
  // The extents of a view followed by `extra` (rank permitting); free extents when the view has
  // no shape array (its validation fails later).
  static Shape of(const VrelTensorView& view, std::initializer_list<int64_t> extra = {}) noexcept {
    Shape s;
    for (uint32_t i = 0; i < view.rank && s.rank < VREL_MAX_TENSOR_RANK; ++i)
      s.extent[s.rank++] = view.shape != nullptr ? view.shape[i] : kAny;
    for (const int64_t e : extra)
      if (s.rank < VREL_MAX_TENSOR_RANK) s.extent[s.rank++] = e;
    return s;
  }
};

using frame::Views;

// Extent `i` of a view whose shape has been checked.
inline int64_t dim(const VrelTensorView* view, uint32_t i) noexcept { return view->shape[i]; }

// Typed data of an optional output, null when the output is not requested.
template <typename T>
T* data_or_null(const VrelTensorView* view) noexcept {
  return view != nullptr ? abi::mutable_data_of<T>(*view) : nullptr;
}

// Counts handed to a workspace query (as the query's signed 64-bit arguments).
struct Counts {
  int64_t value[3] = {};
  uint32_t number = 0;
  Counts(std::initializer_list<int64_t> values) noexcept {
    for (const int64_t v : values) value[number++] = v;
  }
};

// The parts of a workspace query that differ between operations.
struct Query {
  uint64_t operation_id;  // id passed to the provider's workspace-query entry
  // Count rules and the CPU answer, given valid result pointers and nonnegative counts.
  VrelStatus (*cpu_answer)(const Counts& counts, uint32_t dtype, uint64_t* bytes,
                           uint64_t* alignment, VrelDiagnostic* diag) noexcept;
  const char* missing;       // provider without the workspace-query entry (status 2)
  bool leading_one;          // the provider receives [1, counts...] (Rodrigues)
  bool separate_null_bytes;  // a null byte-count pointer has its own sentence (FK)
};

// Runs a whole workspace query: reset, context, the CUDA branch, result pointers, counts.
VrelStatus run_query(const Query& query, const Counts& counts, uint32_t dtype,
                     const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                     VrelDiagnostic* diag) noexcept;

// The shared overflow rule of the mesh-deformation queries, counts (B, V, K) in query order.
bool deformation_counts_overflow(const Counts& counts) noexcept;

class Checks {
 public:
  explicit Checks(VrelDiagnostic* diag) noexcept;

  VrelStatus fail(VrelStatus status, const char* message) const noexcept {
    return f_.fail(status, message);
  }

  // Reset, then the context; remembers whether the request goes to CUDA.
  VrelStatus begin(const VrelExecutionContext* context) noexcept;
  bool cuda() const noexcept { return context_->device_type == VREL_DEVICE_CUDA; }

  // A view's versioned header before any other field of it is read: the validator's status and
  // sentence for a short record or another major version. Null passes.
  VrelStatus header(const VrelTensorView* view) const noexcept;

  // CPU: a supplied workspace must be a valid buffer on the context's device; either fault is
  // status 1 with the family's sentence.
  VrelStatus cpu_workspace(const VrelBufferDescriptor* workspace) const noexcept;

  // The first floating input: null (the validator's sentence) or not float32/float64. Remembers
  // its dtype as the operation's floating dtype.
  VrelStatus floating(const VrelTensorView* view, const char* cpu_message,
                      const char* cuda_message) noexcept;
  uint32_t dtype() const noexcept { return dtype_; }

  // One tensor: rank, extents, validation, device, dtype, access flag, and on the CPU the
  // finiteness of floating inputs. `null_message` is the sentence for a null view (null: the
  // validator's own).
  VrelStatus input(const VrelTensorView* view, const Shape& shape, uint32_t dtype,
                   const char* null_message = nullptr) const noexcept;
  VrelStatus output(const VrelTensorView* view, const Shape& shape) const noexcept;
  VrelStatus optional_output(const VrelTensorView* view, const Shape& shape) const noexcept {
    return view == nullptr ? VREL_STATUS_OK : output(view, shape);
  }
  // At least one of the gradient outputs is present.
  VrelStatus any_gradient(Views gradients) const noexcept;

  // CPU alias rules; `required` bytes of the workspace are the span it may not share.
  VrelStatus no_alias(Views outputs, Views inputs, const VrelBufferDescriptor* workspace,
                      uint64_t required) const noexcept;

  // CUDA: the scratch against the provider's answer for `counts`, then the forwarding.
  VrelStatus cuda_scratch(const Query& query, const Counts& counts,
                          const VrelBufferDescriptor* workspace) const noexcept;

  // CPU: every element of the outputs is finite after the kernel.
  VrelStatus finite_outputs(Views outputs) const noexcept;

  VrelDiagnostic* diag() const noexcept { return f_.diag(); }
  const VrelExecutionContext* context() const noexcept { return context_; }

 private:
  VrelStatus tensor(const VrelTensorView* view, const Shape& shape, uint32_t dtype, bool is_output,
                    const char* null_message) const noexcept;

  frame::Frame f_;
  const VrelExecutionContext* context_ = nullptr;
  uint32_t dtype_ = 0;
};

}  // namespace vrel::animation
