// Checks shared by the shading utilities (unit Newton, unit vectors, ordered RGBA, delta BRDF):
// the curve-family device rule, the workspace rule with its 8-byte scratch, the float64 tensor
// rule and the scratch check, with their sentences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "vrel/vrel.h"

namespace vrel::shading {

// Every utility asks for 8 bytes of scratch at alignment 8.
inline constexpr uint64_t kUtilityScratch = 8;

using frame::Table;

// Whether the provider has the entry `Field` (its table covers it and it is not null).
template <auto Field>
bool provides() noexcept {
  return provider::entry<Field>(provider::operations(), true) != nullptr;
}

// What differs between the utilities' workspace rules.
struct Utility {
  bool (*provided)() noexcept;   // provides<&Table::operation>
  const char* count_message;     // a count beyond the limit or a null result (1)
  const char* provider_message;  // CUDA: the provider lacks the entry (2)
};

using Views = std::initializer_list<const VrelTensorView*>;
using Dims = std::initializer_list<int64_t>;

class UtilityChecks {
 public:
  explicit UtilityChecks(VrelDiagnostic* diag) noexcept : diag_(diag) {}

  VrelStatus fail(VrelStatus status, const char* message) const noexcept {
    return abi::diag_write(diag_, status, message);
  }
  bool cuda() const noexcept { return context_->device_type == VREL_DEVICE_CUDA; }

  // Reset, context validation, then CPU or CUDA (1, "curve device unsupported").
  VrelStatus begin(const VrelExecutionContext* context) noexcept;

  // vrel_validate_tensor_view over every view, in order.
  VrelStatus validate(Views views) const noexcept;

  // The workspace rule: counts within the operation's limits and both result pointers present
  // (1, count message); on CUDA the provider must have the operation's entry (2, provider
  // message); the answer is 8 bytes at alignment 8.
  VrelStatus workspace_rule(const Utility& utility, bool counts_valid, uint64_t* bytes,
                            uint64_t* alignment) const noexcept;

  // float64, the rank of `dims`, the context's device type and index, the output flag exactly
  // on outputs (1, "curve tensor dtype/rank/device/flags invalid"); then the extents (1, "curve
  // tensor shape invalid").
  VrelStatus tensor(const VrelTensorView* view, Dims dims, bool is_output) const noexcept;

  // The scratch check over `views`, of which the last `outputs` are outputs.
  VrelStatus scratch(const VrelBufferDescriptor* workspace, Views views,
                     std::size_t outputs) const noexcept;

  // Forwards to the provider's entry `Field` (2, provider message, when it lacks it).
  template <auto Field, typename... Args>
  VrelStatus forward(const Utility& utility, Args... args) const noexcept {
    return frame::forward_entry<Field>(utility.provider_message, true, diag_, args...);
  }

 private:
  VrelDiagnostic* diag_;
  const VrelExecutionContext* context_ = nullptr;
};

}  // namespace vrel::shading
