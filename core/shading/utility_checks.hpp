// Checks of the shading utilities (unit Newton, unit vectors, ordered RGBA, delta BRDF): the
// family's checks with the utilities' fixed 8-byte workspace rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "shading/checks.hpp"
#include "vrel/vrel.h"

namespace vrel::shading {

// Every utility asks for 8 bytes of scratch at alignment 8.
inline constexpr uint64_t kUtilityScratch = 8;

using frame::Table;

// What differs between the utilities' workspace rules.
struct Utility {
  bool (*provided)() noexcept;   // provides<&Table::operation>
  const char* count_message;     // a count beyond the limit or a null result (1)
  const char* provider_message;  // CUDA: the provider lacks the entry (2)
};

// The utilities' checks are the family's (device rule, float64 tensors, the scratch check with
// kUtilityScratch bytes) plus the fixed 8-byte workspace rule and forwarding with each utility's
// provider sentence.
class UtilityChecks : public Checks {
 public:
  using Checks::Checks;

  // The workspace rule: counts within the operation's limits and both result pointers present
  // (1, count message); on CUDA the provider must have the operation's entry (2, provider
  // message); the answer is 8 bytes at alignment 8.
  VrelStatus workspace_rule(const Utility& utility, bool counts_valid, uint64_t* bytes,
                            uint64_t* alignment) const noexcept;

  // The scratch check of the family over kUtilityScratch bytes.
  VrelStatus scratch(const VrelBufferDescriptor* workspace, Views inputs,
                     Views outputs) const noexcept {
    return Checks::scratch(workspace, kUtilityScratch, inputs, outputs);
  }

  // Forwards to the provider's entry `Field` (2, provider message, when it lacks it).
  template <auto Field, typename... Args>
  VrelStatus forward(const Utility& utility, Args... args) const noexcept {
    return frame::forward_entry<Field>(utility.provider_message, true, diag(), args...);
  }
};

}  // namespace vrel::shading
