// The shading family's shared checks and sentences: the device rule, the tensor rules with their
// two "curve tensor ..." sentences, the generic workspace query of the CUDA provider, and the
// scratch check that every principled and loss-curve export runs over its views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/provider_table.hpp"
#include "abi/status.hpp"
#include "vrel/vrel.h"

namespace vrel::shading {

inline constexpr const char* kDeviceUnsupported = "curve device unsupported";
inline constexpr const char* kTensorRules = "curve tensor dtype/rank/device/flags invalid";
inline constexpr const char* kTensorShape = "curve tensor shape invalid";

using Dims = std::initializer_list<int64_t>;
using Views = std::initializer_list<const VrelTensorView*>;

// Extent `i` of a view whose rank has been checked.
inline int64_t dim(const VrelTensorView* view, uint32_t i) noexcept { return view->shape[i]; }

// Typed element 0 of a checked float64 view.
inline const double* doubles(const VrelTensorView* view) noexcept {
  return abi::data_of<double>(*view);
}
inline double* out_doubles(const VrelTensorView* view) noexcept {
  return abi::mutable_data_of<double>(*view);
}

class Checks {
 public:
  explicit Checks(VrelDiagnostic* diag) noexcept : diag_(diag) {}

  VrelStatus fail(VrelStatus status, const char* message) const noexcept {
    return abi::diag_write(diag_, status, message);
  }
  VrelDiagnostic* diag() const noexcept { return diag_; }

  // Reset, vrel_validate_execution_context, and the device rule: the CPU or CUDA, else status 1
  // "curve device unsupported".
  VrelStatus begin(const VrelExecutionContext* context) noexcept;
  bool cuda() const noexcept { return context_->device_type == VREL_DEVICE_CUDA; }
  const VrelExecutionContext* context() const noexcept { return context_; }

  // vrel_validate_tensor_view (its status and sentence).
  VrelStatus validate(const VrelTensorView* view) const noexcept {
    return vrel_validate_tensor_view(view, diag_);
  }
  VrelStatus validate_all(Views views) const noexcept;

  // A float64 tensor: validation, then dtype, rank, the context's device type and index and the
  // access flag (an input without, an output with VREL_TENSOR_OUTPUT) under `rules`, then the
  // extents under `shape` (kAny leaves one free).
  VrelStatus tensor(const VrelTensorView* view, Dims dims, bool output,
                    uint32_t dtype = VREL_DTYPE_FLOAT64, const char* rules = kTensorRules,
                    const char* shape = kTensorShape) const noexcept;
  VrelStatus input(const VrelTensorView* view, Dims dims) const noexcept {
    return tensor(view, dims, false);
  }
  VrelStatus output(const VrelTensorView* view, Dims dims) const noexcept {
    return tensor(view, dims, true);
  }

  // The scratch check over `inputs` then `outputs`: no workspace (3, "curve requires caller
  // scratch"); vrel_validate_buffer; another device than the context's, a declared alignment
  // below 8 or a data pointer not a multiple of 8 (1, "curve scratch device/alignment invalid");
  // capacity below `required` (3, "curve scratch too small"); a view overlapping
  // [data, data + required) (1, "curve scratch aliases tensor"); two views of which one is an
  // output overlapping (1, "curve output aliases tensor").
  VrelStatus scratch(const VrelBufferDescriptor* workspace, uint64_t required, Views inputs,
                     Views outputs) const noexcept;

 private:
  VrelDiagnostic* diag_;
  const VrelExecutionContext* context_ = nullptr;
};

inline constexpr int64_t kAny = -1;

// The provider's generic workspace-query entry for `operation` with float64 data; a missing
// provider or entry is status 2 `missing`.
VrelStatus provider_query(uint64_t operation, const uint64_t* counts, uint64_t count_number,
                          const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
                          const char* missing, VrelDiagnostic* diag) noexcept;

// Every element of a checked float64 view is finite.
bool all_finite(const VrelTensorView* view) noexcept;

// Domain rules of the loss-curve inputs, shared by every export that evaluates the BRDF.
// Cosine nodes in (0, 1], strictly increasing; their logarithms <= 0, strictly increasing, with
// finite differences. (The last node must also be exactly 1; callers say so separately.)
bool axis_in_domain(const double* cn, const double* logs, int64_t nodes) noexcept;
// Per row: width > 0, mean column 0 in (0, 1], mean column 1 in (0, column 0].
bool means_in_domain(const double* mean, const double* width, int64_t rows) noexcept;
// Every channel pair (c0, c1) of `values` entries satisfies 0 <= c1 <= c0 <= 1.
bool curve_pairs_in_domain(const double* curve, int64_t values) noexcept;

inline bool all_zero3(const double* v) noexcept {
  return v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0;
}
// Every one of the n values lies in [0, 1].
inline bool within_unit(const double* x, int64_t n) noexcept {
  for (int64_t i = 0; i < n; ++i)
    if (!(x[i] >= 0.0 && x[i] <= 1.0)) return false;
  return true;
}

// Whether the provider has the entry `Field` (its table covers it and it is not null).
template <auto Field>
bool provides() noexcept {
  return provider::entry<Field>(provider::operations(), true) != nullptr;
}

// Forwards to the provider entry `Field` when the table's size word covers it and the entry is
// present, else status 2 `missing` (also without a provider).
template <auto Field, typename... Args>
VrelStatus forward(const char* missing, VrelDiagnostic* diag, Args... args) noexcept {
  const auto fn = provider::entry<Field>(provider::operations(), true);
  if (fn == nullptr) return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, missing);
  return fn(args...);
}

}  // namespace vrel::shading
