// vrel_io_file_read_all and vrel_io_file_release: whole-file reads into core-allocated memory.
#include <cstdlib>

#include "io/checks.hpp"
#include "io/file_kernel.hpp"

using namespace vrel::io;
using vrel::abi::diag_reset;

extern "C" VREL_API VrelStatus vrel_io_file_read_all(
    const char* path, const VrelExecutionContext* context, VrelBufferDescriptor* buffer,
    VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, kNullPath);
  if (buffer == nullptr) return invalid(diag, "file buffer descriptor pointer is null");
  if (buffer->struct_size != kFileBufferSize)
    return invalid(diag, "file buffer descriptor struct_size must be 64");
  FileBytes bytes;
  VREL_TRY(report(diag, read_whole_file(path, bytes)));
  buffer->data = bytes.data;
  buffer->capacity = bytes.size;
  buffer->alignment = 1;
  buffer->device_type = VREL_DEVICE_CPU;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_io_file_release(
    VrelBufferDescriptor* buffer) noexcept {
  if (buffer == nullptr || buffer->struct_size != kFileBufferSize)
    return VREL_STATUS_INVALID_ARGUMENT;
  std::free(buffer->data);
  buffer->data = nullptr;
  buffer->capacity = 0;
  return VREL_STATUS_OK;
}
