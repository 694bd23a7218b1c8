#include "io/file_kernel.hpp"

#include <sys/stat.h>

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

}  // namespace

ParseResult read_whole_file(const char* path, FileBytes& bytes) noexcept {
  const FileCloser closer{std::fopen(path, "rb")};
  std::FILE* const file = closer.file;
  if (file == nullptr) return io_error("the file cannot be opened for reading");
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))
    return io_error("the path does not name a readable file");
  if (fseeko(file, 0, SEEK_END) != 0) return io_error("the file size cannot be determined");
  const off_t end = ftello(file);
  if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) return io_error("the file size cannot be determined");
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

}  // namespace vrel::io
