// The io exports: whole-file reads and PLY probing and reading. Each export runs its argument
// checks in order, then the header parse and, for a read, a checking and a writing body walk.
#include <cstdlib>

#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "abi/status.hpp"
#include "io/file.hpp"
#include "io/ply_body.hpp"
#include "io/ply_header.hpp"
#include "vrel/vrel.h"

namespace {

using vrel::abi::diag_reset;
using vrel::abi::diag_write;
using namespace vrel::io;

constexpr uint32_t kPlyInfoSize = 40;
constexpr uint32_t kFileBufferSize = 64;

static_assert(sizeof(VrelPlyInfo) == 40, "PlyInfo is 40 bytes");

VrelStatus invalid(VrelDiagnostic* diag, const char* message) {
  return diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, message);
}
VrelStatus report(VrelDiagnostic* diag, const ParseResult& result) {
  return result.ok() ? VREL_STATUS_OK : diag_write(diag, result.status, result.message);
}

VrelStatus optional_context(const VrelExecutionContext* context, VrelDiagnostic* diag) {
  return context == nullptr ? VREL_STATUS_OK : vrel_validate_execution_context(context, diag);
}

// The memory arguments shared by probe and read.
VrelStatus ply_arguments(const char* data, int64_t size, const VrelPlyInfo* info, VrelDiagnostic* diag) {
  if (data == nullptr) return invalid(diag, "PLY data pointer is null");
  if (size < 0) return invalid(diag, "PLY data size must be nonnegative");
  if (info == nullptr) return invalid(diag, "PLY info pointer is null");
  if (info->struct_size != kPlyInfoSize) return invalid(diag, "PLY info struct_size must be 40");
  return VREL_STATUS_OK;
}

// The read's own rules for a view it stores into, all status 1: present, exactly 96 bytes, [N,3]
// with the given dtype rule. They come before the general validation, so that a view breaking one
// of them reports status 1 whatever else is wrong with it.
VrelStatus target_view(const VrelTensorView* view, bool floating, const char* message,
                       VrelDiagnostic* diag) {
  if (view == nullptr || view->struct_size != vrel::abi::kTensorViewSize) return invalid(diag, message);
  if (view->rank != 2 || view->shape == nullptr || view->shape[1] != 3) return invalid(diag, message);
  const bool dtype_ok = floating ? view->dtype == VREL_DTYPE_FLOAT32 || view->dtype == VREL_DTYPE_FLOAT64
                                 : view->dtype == VREL_DTYPE_INT32;
  return dtype_ok ? VREL_STATUS_OK : invalid(diag, message);
}

// A view the read stores into must also be a valid descriptor (dense, addressable) of CPU memory
// that is not marked read-only.
VrelStatus writable(const VrelTensorView* view, VrelDiagnostic* diag) {
  VREL_TRY(vrel_validate_tensor_view(view, diag));
  if (view->device_type != VREL_DEVICE_CPU)
    return diag_write(diag, VREL_STATUS_UNSUPPORTED, "io.ply_read stores only into CPU views");
  if ((view->flags & VREL_TENSOR_READ_ONLY) != 0)
    return invalid(diag, "io.ply_read cannot store into a read-only view");
  return VREL_STATUS_OK;
}

void fill_info(const PlyHeader& header, VrelPlyInfo* info) {
  info->format = header.format;
  info->reserved_word = 0;
  info->vertex_count = static_cast<uint64_t>(header.vertex_count());
  info->face_count = static_cast<uint64_t>(header.face_count());
  info->header_size = header.header_size;
}

VrelStatus probe(const char* data, int64_t size, const VrelExecutionContext* context,
                 VrelPlyInfo* info, VrelDiagnostic* diag) {
  VREL_TRY(ply_arguments(data, size, info, diag));
  VREL_TRY(optional_context(context, diag));
  PlyHeader header;
  VREL_TRY(report(diag, parse_header(data, size, header)));
  fill_info(header, info);
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus read_body(const PlyHeader& header, const char* data, int64_t size,
                     const VrelTensorView* vertices, const VrelTensorView* faces, VrelDiagnostic* diag) {
  VREL_TRY(report(diag, walk_body<T>(header, data, size, PlyTargets<T>{})));
  const PlyTargets<T> targets{
      header.vertex_count() > 0 ? vrel::abi::mutable_data_of<T>(*vertices) : nullptr,
      header.face_count() > 0 ? vrel::abi::mutable_data_of<int32_t>(*faces) : nullptr};
  return report(diag, walk_body<T>(header, data, size, targets));
}

VrelStatus read(const char* data, int64_t size, const VrelPlyInfo* info,
                const VrelExecutionContext* context, const VrelTensorView* vertices,
                const VrelTensorView* faces, VrelDiagnostic* diag) {
  VREL_TRY(ply_arguments(data, size, info, diag));
  VREL_TRY(target_view(vertices, true, "vertices must be a [V,3] float32 or float64 tensor view", diag));
  VREL_TRY(target_view(faces, false, "faces must be a [F,3] int32 tensor view", diag));
  VREL_TRY(optional_context(context, diag));

  PlyHeader header;
  VREL_TRY(report(diag, parse_header(data, size, header)));
  if (static_cast<uint64_t>(header.vertex_count()) != info->vertex_count ||
      static_cast<uint64_t>(header.face_count()) != info->face_count)
    return invalid(diag, "the PLY counts differ from those of the info record");
  if (vertices->shape[0] != header.vertex_count())
    return invalid(diag, "vertices must have one row per PLY vertex");
  if (faces->shape[0] != header.face_count()) return invalid(diag, "faces must have one row per PLY face");
  // The validation also refuses a null data pointer in a view with rows to store.
  VREL_TRY(writable(vertices, diag));
  VREL_TRY(writable(faces, diag));
  const vrel::abi::ByteRange source{reinterpret_cast<uintptr_t>(data), static_cast<uint64_t>(size)};
  const vrel::abi::ByteRange vertex_bytes = vrel::abi::byte_range(*vertices);
  const vrel::abi::ByteRange face_bytes = vrel::abi::byte_range(*faces);
  if (vertex_bytes.overlaps(face_bytes) || vertex_bytes.overlaps(source) || face_bytes.overlaps(source))
    return invalid(diag, "the vertices and faces views may not overlap each other or the PLY data");
  return vrel::frame::with_floating(vertices->dtype, [&](auto t) { return read_body<decltype(t)>(header, data, size, vertices, faces, diag); });
}

// Runs `use(bytes)` on the whole file at `path` and frees the bytes afterwards.
template <typename Use>
VrelStatus with_file(const char* path, VrelDiagnostic* diag, Use use) {
  FileBytes bytes;
  VREL_TRY(report(diag, read_whole_file(path, bytes)));
  const VrelStatus status = use(bytes);
  std::free(bytes.data);
  return status;
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_io_file_read_all(const char* path, const VrelExecutionContext* context,
                                                     VrelBufferDescriptor* buffer,
                                                     VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, "file path is null");
  if (buffer == nullptr) return invalid(diag, "file buffer descriptor pointer is null");
  if (buffer->struct_size != kFileBufferSize) return invalid(diag, "file buffer descriptor struct_size must be 64");
  FileBytes bytes;
  VREL_TRY(report(diag, read_whole_file(path, bytes)));
  buffer->data = bytes.data;
  buffer->capacity = bytes.size;
  buffer->alignment = 1;
  buffer->device_type = VREL_DEVICE_CPU;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_io_file_release(VrelBufferDescriptor* buffer) noexcept {
  if (buffer == nullptr || buffer->struct_size != kFileBufferSize) return VREL_STATUS_INVALID_ARGUMENT;
  std::free(buffer->data);
  buffer->data = nullptr;
  buffer->capacity = 0;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_io_ply_probe(const char* data, int64_t size,
                                                 const VrelExecutionContext* context, VrelPlyInfo* info,
                                                 VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  return probe(data, size, context, info, diag);
}

extern "C" VREL_API VrelStatus vrel_io_ply_read(const char* data, int64_t size, const VrelPlyInfo* info,
                                                const VrelExecutionContext* context,
                                                const VrelTensorView* vertices, const VrelTensorView* faces,
                                                const VrelBufferDescriptor* /*workspace*/,
                                                VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  return read(data, size, info, context, vertices, faces, diag);
}

extern "C" VREL_API VrelStatus vrel_io_ply_read_workspace(const VrelPlyInfo* info,
                                                          const VrelExecutionContext* /*context*/,
                                                          uint64_t* bytes, uint64_t* alignment) noexcept {
  if (info == nullptr || info->struct_size != kPlyInfoSize || bytes == nullptr || alignment == nullptr)
    return VREL_STATUS_INVALID_ARGUMENT;
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_io_ply_probe_file(const char* path, const VrelExecutionContext* context,
                                                      VrelPlyInfo* info, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, "file path is null");
  if (info == nullptr) return invalid(diag, "PLY info pointer is null");
  if (info->struct_size != kPlyInfoSize) return invalid(diag, "PLY info struct_size must be 40");
  return with_file(path, diag, [&](const FileBytes& bytes) {
    return probe(bytes.data, static_cast<int64_t>(bytes.size), nullptr, info, diag);
  });
}

extern "C" VREL_API VrelStatus vrel_io_ply_read_file(const char* path, const VrelExecutionContext* context,
                                                     VrelPlyInfo* info, const VrelTensorView* vertices,
                                                     const VrelTensorView* faces,
                                                     VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, "file path is null");
  if (info == nullptr) return invalid(diag, "PLY info pointer is null");
  return with_file(path, diag, [&](const FileBytes& bytes) {
    VrelPlyInfo probed{};
    probed.struct_size = kPlyInfoSize;
    const int64_t size = static_cast<int64_t>(bytes.size);
    VREL_TRY(probe(bytes.data, size, nullptr, &probed, diag));
    VREL_TRY(read(bytes.data, size, &probed, nullptr, vertices, faces, diag));
    probed.abi_version = VREL_ABI_VERSION;
    *info = probed;
    return VREL_STATUS_OK;
  });
}
