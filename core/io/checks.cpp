#include "io/checks.hpp"

namespace vrel::io {

VrelStatus invalid(VrelDiagnostic* diag, const char* message) noexcept {
  return abi::diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, message);
}

VrelStatus report(VrelDiagnostic* diag, const ParseResult& result) noexcept {
  return result.ok() ? VREL_STATUS_OK : abi::diag_write(diag, result.status, result.message);
}

VrelStatus optional_context(const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept {
  return context == nullptr ? VREL_STATUS_OK : vrel_validate_execution_context(context, diag);
}

}  // namespace vrel::io
