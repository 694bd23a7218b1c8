// The image family's shared checks and sentences: the context and device rule, the per-view
// rules, the workspace rules (worded per operation), the alias rule and the CUDA workspace
// question. CUDA requests are forwarded with frame::forward_entry (the size-word rule applies).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "vrel/vrel.h"

namespace vrel::image {

inline constexpr const char* kDevice = "image transfer supports CPU or CUDA";
inline constexpr const char* kNotFinite = "image floating inputs must be finite";

using Views = std::initializer_list<const VrelTensorView*>;

// The sentences of the workspace rules, which each operation words in its own way.
struct WorkspaceMessages {
  const char* device;     // another device than the context's (1)
  const char* too_small;  // capacity below the requirement (3)
  const char* alignment;  // declared alignment or address below the requirement (1)
  const char* aliases;    // the required span overlaps a tensor (1)
  const char* missing;    // no workspace although bytes are required (3)
};

// What the provider's workspace-query entry is asked for an operation.
struct ProviderQuery {
  uint64_t operation_id;     // 19 transfer, 20 Gaussian weights
  std::size_t last_entry;    // offset of the family's last entry: a table short of it lacks it
  const char* lacks_family;  // that case, and a table without the workspace-query entry (2)
};

using frame::Table;

// Asks the provider for the device workspace of `counts` (the context names CUDA).
VrelStatus provider_query(const ProviderQuery& query, const uint64_t* counts, uint64_t count_number,
                          uint32_t dtype, const VrelExecutionContext* context, uint64_t* bytes,
                          uint64_t* alignment, VrelDiagnostic* diag) noexcept;

// Context validation, then the CPU-or-CUDA rule (2).
VrelStatus context_rule(const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept;

// Reset, then the context rule.
inline VrelStatus begin(const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept {
  VREL_TRY(abi::diag_reset(diag));
  return context_rule(context, diag);
}

class Checks {
 public:
  explicit Checks(VrelDiagnostic* diag) noexcept : diag_(diag) {}

  VrelStatus fail(VrelStatus status, const char* message) const noexcept {
    return abi::diag_write(diag_, status, message);
  }
  VrelDiagnostic* diag() const noexcept { return diag_; }
  const VrelExecutionContext* context() const noexcept { return context_; }
  bool cuda() const noexcept { return context_->device_type == VREL_DEVICE_CUDA; }

  VrelStatus begin(const VrelExecutionContext* context) noexcept {
    context_ = context;
    return image::begin(context, diag_);
  }
  // The two halves of begin(), for an operation that checks its scalars in between.
  VrelStatus reset() const noexcept { return abi::diag_reset(diag_); }
  VrelStatus use_context(const VrelExecutionContext* context) noexcept {
    context_ = context;
    return context_rule(context, diag_);
  }

  // One view: vrel_validate_tensor_view, a float32/float64 dtype, the context's device, and the
  // output flag exactly on outputs. All status 1 but the validator's own.
  VrelStatus tensor(const VrelTensorView* view, bool is_output) const noexcept;

  // `view` has the rank and dtype of `reference`, then its extents.
  VrelStatus like(const VrelTensorView* view, const VrelTensorView* reference) const noexcept;

  // A workspace of `bytes` at `alignment`: when given, it is validated and must be on the
  // context's device, cover the bytes, be aligned, and its span may not overlap `tensors`; when
  // not given, `bytes` must be 0.
  VrelStatus workspace(const VrelBufferDescriptor* workspace, uint64_t bytes, uint64_t alignment,
                       Views tensors, const WorkspaceMessages& messages) const noexcept;

  // No output overlaps an input (1, `message`).
  VrelStatus no_alias(Views outputs, Views inputs, const char* message) const noexcept;

  // Every element of a floating view is finite (1, "image floating inputs must be finite").
  VrelStatus finite(const VrelTensorView* view) const noexcept;

 private:
  VrelDiagnostic* diag_;
  const VrelExecutionContext* context_ = nullptr;
};

}  // namespace vrel::image
