// The three exported validators of the descriptors, and the view arithmetic the frame uses.
#include "abi/descriptors.hpp"

#include "abi/status.hpp"

namespace vrel::abi {

std::size_t dtype_size(uint32_t dtype) noexcept {
  switch (dtype) {
    case VREL_DTYPE_FLOAT32: return 4;
    case VREL_DTYPE_FLOAT64: return 8;
    case VREL_DTYPE_INT32: return 4;
    case VREL_DTYPE_UINT32: return 4;
    case VREL_DTYPE_BOOL: return 1;
    default: return 0;
  }
}

uint64_t element_count(const VrelTensorView& view) noexcept {
  uint64_t count = 1;
  for (uint32_t i = 0; i < view.rank; ++i) count *= static_cast<uint64_t>(view.shape[i]);
  return count;
}

uint64_t byte_count(const VrelTensorView& view) noexcept {
  return element_count(view) * dtype_size(view.dtype);
}

ByteRange byte_range(const VrelTensorView& view) noexcept {
  if (view.data == nullptr) return {};
  return {reinterpret_cast<uintptr_t>(view.data) + view.byte_offset, byte_count(view)};
}

namespace {

VrelStatus check_device(uint32_t device_type, int32_t device_index, VrelDiagnostic* diag) noexcept {
  if (device_type != VREL_DEVICE_CPU && device_type != VREL_DEVICE_CUDA)
    return diag_write(diag, VREL_STATUS_UNSUPPORTED, "device type is not supported by ABI v1");
  if (device_index < 0)
    return diag_write(diag, VREL_STATUS_INVALID_ARGUMENT, "device index must be nonnegative");
  if (device_type == VREL_DEVICE_CPU && device_index != 0)
    return diag_write(diag, VREL_STATUS_INVALID_ARGUMENT,
                      "the ABI v1 CPU device index must be zero");
  return VREL_STATUS_OK;
}

VrelStatus fail(VrelDiagnostic* diag, VrelStatus status, const char* message) noexcept {
  return diag_write(diag, status, message);
}

// Shape, density and address checks of a view whose header, flags, dtype and device passed.
VrelStatus check_layout(const VrelTensorView& v, VrelDiagnostic* diag) noexcept {
  constexpr VrelStatus kInvalid = VREL_STATUS_INVALID_ARGUMENT;
  constexpr VrelStatus kOverflow = VREL_STATUS_OVERFLOW;
  const uint64_t element_size = dtype_size(v.dtype);
  if (v.rank > VREL_MAX_TENSOR_RANK)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "tensor rank exceeds the ABI v1 maximum");
  uint64_t count = 1;
  if (v.rank == 0) {
    if (v.shape != nullptr || v.strides != nullptr)
      return fail(diag, kInvalid, "rank-zero tensors require null shape and stride pointers");
  } else {
    if (v.shape == nullptr || v.strides == nullptr)
      return fail(diag, kInvalid, "positive-rank tensors require shape and stride arrays");
    bool has_zero = false;
    for (uint32_t i = 0; i < v.rank; ++i) {
      if (v.shape[i] < 0) return fail(diag, kInvalid, "tensor extents must be nonnegative");
      has_zero = has_zero || v.shape[i] == 0;
    }
    if (has_zero) {
      count = 0;
    } else {
      for (uint32_t i = 0; i < v.rank; ++i)
        if (__builtin_mul_overflow(count, static_cast<uint64_t>(v.shape[i]), &count))
          return fail(diag, kOverflow, "tensor element count overflows 64-bit capacity");
      uint64_t bytes = 0;
      if (__builtin_mul_overflow(count, element_size, &bytes))
        return fail(diag, kOverflow, "tensor byte count overflows 64-bit capacity");
    }
    uint64_t expected = 1;
    for (uint32_t i = v.rank; i-- > 0;) {
      const int64_t extent = v.shape[i];
      if (v.strides[i] <= 0) return fail(diag, kInvalid, "tensor element strides must be positive");
      if (extent > 1) {
        if (expected > static_cast<uint64_t>(INT64_MAX))
          return fail(diag, kOverflow, "dense tensor stride exceeds signed 64-bit capacity");
        if (static_cast<uint64_t>(v.strides[i]) != expected)
          return fail(diag, VREL_STATUS_UNSUPPORTED,
                      "ABI v1 accepts only dense C-contiguous tensor views");
      }
      if (extent != 0 && __builtin_mul_overflow(expected, static_cast<uint64_t>(extent), &expected))
        return fail(diag, kOverflow, "dense tensor stride arithmetic overflowed");
    }
  }
  const uint64_t bytes = count * element_size;
  uint64_t end = 0;
  if (__builtin_add_overflow(v.byte_offset, bytes, &end))
    return fail(diag, kOverflow, "tensor byte offset and extent overflow 64-bit capacity");
  if (v.byte_offset % element_size != 0)
    return fail(diag, kInvalid, "tensor byte offset is not aligned to its dtype");
  if (count > 0 && v.data == nullptr)
    return fail(diag, kInvalid, "nonempty tensor view has a null data pointer");
  if (v.data == nullptr) {
    if (v.byte_offset != 0)
      return fail(diag, kInvalid, "a null tensor data pointer requires a zero byte offset");
    return VREL_STATUS_OK;
  }
  uint64_t first = 0;
  if (__builtin_add_overflow(reinterpret_cast<uint64_t>(v.data), v.byte_offset, &first))
    return fail(diag, kOverflow, "tensor data pointer plus byte offset overflows");
  uint64_t last = 0;
  if (bytes > 0 && __builtin_add_overflow(first, bytes - 1, &last))
    return fail(diag, kOverflow, "tensor addressable byte range overflows");
  // Element addresses are formed by pointer arithmetic, whose offsets are signed: no storage lies
  // at or past 2^63, so a range reaching there (an offset of 2^63 + 8 from a heap address, say)
  // is refused like one that wraps.
  constexpr uint64_t kAddressLimit = static_cast<uint64_t>(INT64_MAX);
  if (first > kAddressLimit)
    return fail(diag, kOverflow, "tensor data pointer plus byte offset overflows");
  if (bytes > 0 && last > kAddressLimit)
    return fail(diag, kOverflow, "tensor addressable byte range overflows");
  // Kernels read and write through typed pointers: an element address that is not a multiple of
  // the element size would be undefined behaviour, so it is refused like a misaligned offset.
  if (first % element_size != 0)
    return fail(diag, kInvalid, "tensor data pointer is not aligned to its dtype");
  return VREL_STATUS_OK;
}

}  // namespace
}  // namespace vrel::abi

using namespace vrel::abi;

extern "C" VREL_API VrelStatus vrel_validate_tensor_view(
    const VrelTensorView* view, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(check_header(view, view ? view->struct_size : 0, view ? view->abi_version : 0,
                        kTensorViewSize, "tensor view pointer is null", diag));
  if (view->reserved_word != 0 || !reserved_zero(view->reserved, 4))
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT, "tensor view reserved fields must be zero");
  if (view->flags > 3)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "tensor view contains an unsupported flag");
  if (view->flags == 3)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "tensor view cannot be both read-only and an output");
  if (dtype_size(view->dtype) == 0)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "tensor dtype is not supported by ABI v1");
  VREL_TRY(check_device(view->device_type, view->device_index, diag));
  return check_layout(*view, diag);
}

extern "C" VREL_API VrelStatus vrel_validate_execution_context(
    const VrelExecutionContext* context, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(check_header(context, context ? context->struct_size : 0,
                        context ? context->abi_version : 0, kContextSize,
                        "execution context pointer is null", diag));
  if (context->reserved_word != 0 || !reserved_zero(context->reserved, 4))
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "execution context reserved fields must be zero");
  if (context->flags > 1)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "execution context contains an unsupported flag");
  VREL_TRY(check_device(context->device_type, context->device_index, diag));
  if (context->device_type == VREL_DEVICE_CPU && context->stream != 0)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "CPU execution does not accept a stream handle");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_validate_buffer(
    const VrelBufferDescriptor* buffer, VrelDiagnostic* diag) noexcept {
  VREL_TRY(diag_reset(diag));
  VREL_TRY(check_header(buffer, buffer ? buffer->struct_size : 0, buffer ? buffer->abi_version : 0,
                        kBufferSize, "buffer descriptor pointer is null", diag));
  if (buffer->reserved_word != 0 || !reserved_zero(buffer->reserved, 2))
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "buffer descriptor reserved fields must be zero");
  if (buffer->flags != 0)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "buffer descriptor contains an unsupported flag");
  VREL_TRY(check_device(buffer->device_type, buffer->device_index, diag));
  if (buffer->alignment == 0 || (buffer->alignment & (buffer->alignment - 1)) != 0)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "buffer alignment must be a nonzero power of two");
  if (buffer->capacity > 0 && buffer->data == nullptr)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "a buffer with nonzero capacity requires a data pointer");
  if (buffer->data != nullptr && reinterpret_cast<uintptr_t>(buffer->data) % buffer->alignment != 0)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "buffer data pointer does not satisfy the declared alignment");
  return VREL_STATUS_OK;
}
