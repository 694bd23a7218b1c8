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

// The bytes of a whole file, lent for the duration of one call: a read-only private mapping of
// the file's cached pages (no copy, and no fresh memory to fault in), or memory read as by
// read_whole_file where the file cannot be mapped. An empty file has non-null empty data.
// A file that another process truncates while it is mapped cannot be read past its new end: the
// system then stops the process (SIGBUS), as for any mapped read.
class FileView {
 public:
  FileView() = default;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView();

  const char* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  friend ParseResult view_whole_file(const char* path, FileView& view) noexcept;
  const char* data_ = "";
  uint64_t size_ = 0;
  bool mapped_ = false;
  char* owned_ = nullptr;  // from std::malloc when the file could not be mapped
};

// Opens `path` with the checks and statuses of read_whole_file and lends its bytes to `view`.
ParseResult view_whole_file(const char* path, FileView& view) noexcept;

}  // namespace vrel::io
