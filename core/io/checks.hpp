// Checks and sentences that the io exports share.
#pragma once

#include <cstdint>

#include "abi/status.hpp"
#include "io/ply_header.hpp"
#include "vrel/vrel.h"

namespace vrel::io {

inline constexpr uint32_t kPlyInfoSize = 40;
inline constexpr uint32_t kFileBufferSize = 64;
inline constexpr const char* kNullPath = "file path is null";
inline constexpr const char* kNullInfo = "PLY info pointer is null";
inline constexpr const char* kInfoSize = "PLY info struct_size must be 40";

static_assert(sizeof(VrelPlyInfo) == kPlyInfoSize, "PlyInfo is 40 bytes");

// Status 1 with `message`.
VrelStatus invalid(VrelDiagnostic* diag, const char* message) noexcept;

// The status and sentence of a parse (or file read) result.
VrelStatus report(VrelDiagnostic* diag, const ParseResult& result) noexcept;

// A null context passes; any other is validated.
VrelStatus optional_context(const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept;

}  // namespace vrel::io
