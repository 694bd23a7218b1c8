// Status codes, the Diagnostic record and versioned headers: the pieces every export uses first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vrel/vrel.h"

// Runs a check that returns a VrelStatus and returns that status from the caller when it is not
// VREL_STATUS_OK. Every export is written as a column of these, one check per line.
#define VREL_TRY(expr)                                                     \
  do {                                                                     \
    if (const VrelStatus vrel_try_status_ = (expr); vrel_try_status_ != 0) \
      return vrel_try_status_;                                             \
  } while (0)

namespace vrel::abi {

inline constexpr uint32_t kDiagnosticSize = 64;
inline constexpr uint32_t kContextSize = 64;
inline constexpr uint32_t kBufferSize = 64;
inline constexpr uint32_t kTensorViewSize = 96;

// Resets a Diagnostic as the first step of an export: null is fine (0), a bad header is 6 and a
// nonzero reserved word is 1, both leaving the record untouched.
VrelStatus diag_reset(VrelDiagnostic* diag) noexcept;

// Records `message` for `status` and returns `status`, so a failing check is one return.
// Does not look at the header: it relies on a preceding reset (or on the caller).
VrelStatus diag_write(VrelDiagnostic* diag, VrelStatus status, const char* message) noexcept;

// Versioned-header check: null record (1, `null_message`), size below `min_size` (6), major
// version other than 1 (6). The size test comes before the version test.
VrelStatus check_header(const void* record, uint32_t struct_size, uint32_t abi_version,
                        uint32_t min_size, const char* null_message, VrelDiagnostic* diag) noexcept;

// True when all `count` consecutive 64-bit words are zero.
bool reserved_zero(const uint64_t* words, std::size_t count) noexcept;

inline bool major_is_v1(uint32_t abi_version) noexcept {
  return abi_version >= 0x10000u && abi_version <= 0x1FFFFu;
}

}  // namespace vrel::abi
