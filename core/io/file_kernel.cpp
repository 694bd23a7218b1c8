#include "io/file_kernel.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vrel::io {
namespace {

constexpr ParseResult io_error(const char* message) { return {VREL_STATUS_IO_ERROR, message}; }

struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// Opens `path` for reading without blocking (a FIFO with no writer would wait forever in a plain
// open) and keeps it only when it is a regular file: a device such as /dev/zero has no end and a
// FIFO or socket no size. Sets `other_kind` when the path opened but is not a regular file.
int open_regular_fd(const char* path, bool* other_kind) noexcept {
  *other_kind = false;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *other_kind = true;
    close(fd);
    return -1;
  }
  return fd;
}

std::FILE* open_regular(const char* path, bool* other_kind) noexcept {
  const int fd = open_regular_fd(path, other_kind);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

ParseResult read_whole_file(const char* path, FileBytes& bytes) noexcept {
  bool other_kind = false;
  const FileCloser closer{open_regular(path, &other_kind)};
  std::FILE* const file = closer.file;
  if (other_kind) return io_error("the path does not name a readable file");
  if (file == nullptr) return io_error("the file cannot be opened for reading");
  if (fseeko(file, 0, SEEK_END) != 0) return io_error("the file size cannot be determined");
  const off_t end = ftello(file);
  if (end < 0 || fseeko(file, 0, SEEK_SET) != 0)
    return io_error("the file size cannot be determined");
  const uint64_t size = static_cast<uint64_t>(end);
  if (size > kMaxFileSize) return io_error("files larger than 2^31 - 1 bytes cannot be read");
  char* data = static_cast<char*>(std::malloc(size + 1));
  if (data == nullptr) return io_error("the file buffer cannot be allocated");
  if (std::fread(data, 1, size, file) != size) {
    std::free(data);
    return io_error("the file cannot be read in full");
  }
  data[size] = '\0';
  bytes.data = data;
  bytes.size = size;
  return {};
}

FileView::~FileView() {
  if (mapped_) munmap(const_cast<char*>(data_), size_);
  std::free(owned_);
}

ParseResult view_whole_file(const char* path, FileView& view) noexcept {
  bool other_kind = false;
  const FdCloser closer{open_regular_fd(path, &other_kind)};
  if (other_kind) return io_error("the path does not name a readable file");
  if (closer.fd < 0) return io_error("the file cannot be opened for reading");
  struct stat info;
  if (fstat(closer.fd, &info) != 0 || info.st_size < 0)
    return io_error("the file size cannot be determined");
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size > kMaxFileSize) return io_error("files larger than 2^31 - 1 bytes cannot be read");
  if (size == 0) return {};
  // No MAP_POPULATE: a probe reads only the header, and a read's walk faults the cached pages in
  // a block at a time, which costs less than entering every page up front.
  void* const mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, closer.fd, 0);
  if (mapped != MAP_FAILED) {
    view.data_ = static_cast<const char*>(mapped);
    view.size_ = size;
    view.mapped_ = true;
    return {};
  }
  // A file system without mappings: read the file as read_whole_file does.
  FileBytes bytes;
  if (const ParseResult result = read_whole_file(path, bytes); !result.ok()) return result;
  view.owned_ = bytes.data;
  view.data_ = bytes.data;
  view.size_ = bytes.size;
  return {};
}

}  // namespace vrel::io
