// Whole-file reads: the only memory the core allocates on a caller's behalf.
#pragma once

#include <cstdint>

#include "io/ply_header.hpp"

namespace vrel::io {

// The largest file a read accepts (the buffer size is a signed 32-bit quantity for callers).
inline constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu;

struct FileBytes {
  char* data = nullptr;  // size + 1 bytes from std::malloc, NUL after the last file byte
  uint64_t size = 0;
};

// Reads the file at `path` whole. The size is taken as a 64-bit position and a file above
// kMaxFileSize is refused before anything is allocated. Status 5 for every failure; `bytes` is
// set only on success and then owns memory for std::free.
ParseResult read_whole_file(const char* path, FileBytes& bytes) noexcept;

}  // namespace vrel::io
