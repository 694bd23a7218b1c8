// The PLY exports: probing and reading from memory or from a file. Each export runs its argument
// checks in order, then the header parse and, for a read, a checking and a writing body walk.
#include "abi/descriptors.hpp"
#include "abi/frame.hpp"
#include "io/checks.hpp"
#include "io/file_kernel.hpp"
#include "io/ply_body.hpp"
#include "io/ply_header.hpp"

namespace {

using vrel::abi::diag_reset;
using vrel::abi::diag_write;
using namespace vrel::io;

// The memory arguments shared by probe and read.
VrelStatus ply_arguments(const char* data, int64_t size, const VrelPlyInfo* info,
                         VrelDiagnostic* diag) {
  if (data == nullptr) return invalid(diag, "PLY data pointer is null");
  if (size < 0) return invalid(diag, "PLY data size must be nonnegative");
  if (info == nullptr) return invalid(diag, kNullInfo);
  if (info->struct_size != kPlyInfoSize) return invalid(diag, kInfoSize);
  return VREL_STATUS_OK;
}

// The read's own rules for a view it stores into, all status 1: present, exactly 96 bytes, [N,3]
// with the given dtype rule. They come before the general validation, so that a view breaking one
// of them reports status 1 whatever else is wrong with it.
VrelStatus target_view(const VrelTensorView* view, bool floating, const char* message,
                       VrelDiagnostic* diag) {
  if (view == nullptr || view->struct_size != vrel::abi::kTensorViewSize)
    return invalid(diag, message);
  // The version is the other half of the header: checked before any other field is read.
  VREL_TRY(vrel::abi::check_header(view, view->struct_size, view->abi_version,
                                   vrel::abi::kTensorViewSize, message, diag));
  if (view->rank != 2 || view->shape == nullptr || view->shape[1] != 3)
    return invalid(diag, message);
  const bool dtype_ok = floating
                            ? view->dtype == VREL_DTYPE_FLOAT32 || view->dtype == VREL_DTYPE_FLOAT64
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
                     const VrelTensorView* vertices, const VrelTensorView* faces,
                     VrelDiagnostic* diag) {
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
  VREL_TRY(
      target_view(vertices, true, "vertices must be a [V,3] float32 or float64 tensor view", diag));
  VREL_TRY(target_view(faces, false, "faces must be a [F,3] int32 tensor view", diag));
  VREL_TRY(optional_context(context, diag));

  PlyHeader header;
  VREL_TRY(report(diag, parse_header(data, size, header)));
  if (static_cast<uint64_t>(header.vertex_count()) != info->vertex_count ||
      static_cast<uint64_t>(header.face_count()) != info->face_count)
    return invalid(diag, "the PLY counts differ from those of the info record");
  if (vertices->shape[0] != header.vertex_count())
    return invalid(diag, "vertices must have one row per PLY vertex");
  if (faces->shape[0] != header.face_count())
    return invalid(diag, "faces must have one row per PLY face");
  // The validation also refuses a null data pointer in a view with rows to store.
  VREL_TRY(writable(vertices, diag));
  VREL_TRY(writable(faces, diag));
  const vrel::abi::ByteRange source{reinterpret_cast<uintptr_t>(data), static_cast<uint64_t>(size)};
  const vrel::abi::ByteRange vertex_bytes = vrel::abi::byte_range(*vertices);
  const vrel::abi::ByteRange face_bytes = vrel::abi::byte_range(*faces);
  if (vertex_bytes.overlaps(face_bytes) || vertex_bytes.overlaps(source) ||
      face_bytes.overlaps(source))
    return invalid(diag, "the vertices and faces views may not overlap each other or the PLY data");
  return vrel::frame::with_floating(vertices->dtype, [&](auto t) {
    return read_body<decltype(t)>(header, data, size, vertices, faces, diag);
  });
}

// Runs `use(bytes)` on the whole file at `path`, lent for the call.
template <typename Use>
VrelStatus with_file(const char* path, VrelDiagnostic* diag, Use use) {
  FileView bytes;
  VREL_TRY(report(diag, view_whole_file(path, bytes)));
  return use(bytes);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_io_ply_probe(
    const char* data, int64_t size, const VrelExecutionContext* context, VrelPlyInfo* info,
    VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  return probe(data, size, context, info, diag);
}

extern "C" VREL_API VrelStatus vrel_io_ply_read(
    const char* data, int64_t size, const VrelPlyInfo* info, const VrelExecutionContext* context,
    const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelBufferDescriptor* /*workspace*/, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  return read(data, size, info, context, vertices, faces, diag);
}

extern "C" VREL_API VrelStatus vrel_io_ply_read_workspace(
    const VrelPlyInfo* info, const VrelExecutionContext* /*context*/, uint64_t* bytes,
    uint64_t* alignment) noexcept {
  if (info == nullptr || info->struct_size != kPlyInfoSize || bytes == nullptr ||
      alignment == nullptr)
    return VREL_STATUS_INVALID_ARGUMENT;
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_io_ply_probe_file(
    const char* path, const VrelExecutionContext* context, VrelPlyInfo* info,
    VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, kNullPath);
  if (info == nullptr) return invalid(diag, kNullInfo);
  if (info->struct_size != kPlyInfoSize) return invalid(diag, kInfoSize);
  return with_file(path, diag, [&](const FileView& bytes) {
    return probe(bytes.data(), static_cast<int64_t>(bytes.size()), nullptr, info, diag);
  });
}

extern "C" VREL_API VrelStatus vrel_io_ply_read_file(
    const char* path, const VrelExecutionContext* context, VrelPlyInfo* info,
    const VrelTensorView* vertices, const VrelTensorView* faces, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(optional_context(context, diag));
  if (path == nullptr) return invalid(diag, kNullPath);
  if (info == nullptr) return invalid(diag, kNullInfo);
  return with_file(path, diag, [&](const FileView& bytes) {
    VrelPlyInfo probed{};
    probed.struct_size = kPlyInfoSize;
    const int64_t size = static_cast<int64_t>(bytes.size());
    VREL_TRY(probe(bytes.data(), size, nullptr, &probed, diag));
    VREL_TRY(read(bytes.data(), size, &probed, nullptr, vertices, faces, diag));
    probed.abi_version = VREL_ABI_VERSION;
    *info = probed;
    return VREL_STATUS_OK;
  });
}
