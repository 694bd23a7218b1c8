#include "abi/status.hpp"

#include <cstring>

namespace vrel::abi {

bool reserved_zero(const uint64_t* words, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i)
    if (words[i] != 0) return false;
  return true;
}

VrelStatus diag_reset(VrelDiagnostic* diag) noexcept {
  if (diag == nullptr) return VREL_STATUS_OK;
  if (diag->struct_size < kDiagnosticSize || !major_is_v1(diag->abi_version))
    return VREL_STATUS_ABI_MISMATCH;
  if (!reserved_zero(diag->reserved, 4)) return VREL_STATUS_INVALID_ARGUMENT;
  diag->message_required = 0;
  if (diag->message != nullptr && diag->message_capacity > 0) diag->message[0] = '\0';
  return VREL_STATUS_OK;
}

VrelStatus diag_write(VrelDiagnostic* diag, VrelStatus status, const char* message) noexcept {
  if (diag == nullptr) return status;
  const std::size_t length = std::strlen(message);
  diag->message_required = length + 1;
  if (diag->message == nullptr || diag->message_capacity == 0) return status;
  const std::size_t n = diag->message_capacity - 1 < length ? diag->message_capacity - 1 : length;
  std::memcpy(diag->message, message, n);
  diag->message[n] = '\0';
  return status;
}

VrelStatus check_header(const void* record, uint32_t struct_size, uint32_t abi_version,
                        uint32_t min_size, const char* null_message,
                        VrelDiagnostic* diag) noexcept {
  if (record == nullptr) return diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, null_message);
  if (struct_size < min_size)
    return diag_write(diag, VREL_STATUS_ABI_MISMATCH,
                      "structure is smaller than the ABI v1 minimum");
  if (!major_is_v1(abi_version))
    return diag_write(diag, VREL_STATUS_ABI_MISMATCH,
                      "structure uses an incompatible ABI major version");
  return VREL_STATUS_OK;
}

}  // namespace vrel::abi

extern "C" VREL_API uint32_t vrel_get_abi_version(void) noexcept {
  return VREL_ABI_VERSION;
}
