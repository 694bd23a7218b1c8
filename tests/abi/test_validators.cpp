// The three descriptor validators: each rule, its code and its message, and their order.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/views.hpp"

using namespace vrel::test;

namespace {

struct ViewCase {
  std::vector<int64_t> shape;
  std::vector<int64_t> strides;
  uint32_t dtype = VREL_DTYPE_FLOAT32;
  uint64_t byte_offset = 0;
  bool null_data = false;
};

// Validates a view built from the case over a real buffer (or null data).
std::pair<VrelStatus, std::string> validate(const ViewCase& c) {
  static double storage[64];
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = c.null_data ? nullptr : storage;
  v.byte_offset = c.byte_offset;
  v.rank = static_cast<uint32_t>(c.shape.size());
  v.shape = c.shape.empty() ? nullptr : c.shape.data();
  v.strides = c.strides.empty() ? nullptr : c.strides.data();
  v.dtype = c.dtype;
  v.device_type = VREL_DEVICE_CPU;
  Diag diag;
  const VrelStatus st = vrel_validate_tensor_view(&v, diag);
  return {st, diag.text()};
}

VrelTensorView base_view() {
  static float storage[8];
  static const int64_t shape[1] = {8};
  static const int64_t strides[1] = {1};
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = storage;
  v.rank = 1;
  v.shape = shape;
  v.strides = strides;
  v.dtype = VREL_DTYPE_FLOAT32;
  v.device_type = VREL_DEVICE_CPU;
  return v;
}

std::pair<VrelStatus, std::string> validate(const VrelTensorView& v) {
  Diag diag;
  const VrelStatus st = vrel_validate_tensor_view(&v, diag);
  return {st, diag.text()};
}

}  // namespace

TEST(TensorView, ShapesAndStrides) {
  using R = std::pair<VrelStatus, std::string>;
  const R ok{VREL_STATUS_OK, ""};
  // A scalar has one element, so null data is refused.
  EXPECT_EQ(validate(ViewCase{{}, {}, VREL_DTYPE_FLOAT32, 0, true}),
            R(1, "nonempty tensor view has a null data pointer"));
  EXPECT_EQ(validate(ViewCase{{}, {}}), ok);
  // Empty views may have null data, but then no offset.
  // The extent-0 dimension's stride is free; the extent-3 one must still be dense.
  EXPECT_EQ(validate(ViewCase{{0, 3}, {5, 1}, VREL_DTYPE_FLOAT32, 0, true}), ok);
  EXPECT_EQ(validate(ViewCase{{0, 3}, {5, 9}, VREL_DTYPE_FLOAT32, 0, true}).first,
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(validate(ViewCase{{0, 3}, {3, 1}, VREL_DTYPE_FLOAT32, 4, true}),
            R(1, "a null tensor data pointer requires a zero byte offset"));
  // The stride of an extent-1 dimension is free; other strides must be dense.
  EXPECT_EQ(validate(ViewCase{{2, 1, 3}, {3, 7, 1}}), ok);
  EXPECT_EQ(validate(ViewCase{{2, 1, 3}, {3, 3, 1}}), ok);
  EXPECT_EQ(validate(ViewCase{{2, 1, 3}, {4, 3, 1}}),
            R(2, "ABI v1 accepts only dense C-contiguous tensor views"));
  EXPECT_EQ(validate(ViewCase{{2, 3}, {3, 0}}), R(1, "tensor element strides must be positive"));
  EXPECT_EQ(validate(ViewCase{{2, 1}, {1, 0}}), R(1, "tensor element strides must be positive"));
  EXPECT_EQ(validate(ViewCase{{2, -1}, {1, 1}}), R(1, "tensor extents must be nonnegative"));
  // Count and byte overflow.
  EXPECT_EQ(validate(ViewCase{{int64_t(1) << 32, int64_t(1) << 32}, {int64_t(1) << 32, 1}}),
            R(4, "tensor element count overflows 64-bit capacity"));
  EXPECT_EQ(validate(ViewCase{
                {int64_t(1) << 31, int64_t(1) << 31}, {int64_t(1) << 31, 1}, VREL_DTYPE_FLOAT64}),
            R(4, "tensor byte count overflows 64-bit capacity"));
  // Offsets.
  EXPECT_EQ(validate(ViewCase{{2}, {1}, VREL_DTYPE_FLOAT64, 4}),
            R(1, "tensor byte offset is not aligned to its dtype"));
  EXPECT_EQ(validate(ViewCase{{2}, {1}, VREL_DTYPE_FLOAT64, 16}), ok);
}

TEST(TensorView, RankLimits) {
  std::vector<int64_t> ones(64, 1);
  EXPECT_EQ(validate(ViewCase{ones, ones}).first, VREL_STATUS_OK);
  VrelTensorView v = base_view();
  v.rank = 65;
  v.shape = nullptr;  // must not be read: the rank test comes first
  v.strides = nullptr;
  EXPECT_EQ(validate(v),
            std::make_pair(VrelStatus{2}, std::string("tensor rank exceeds the ABI v1 maximum")));
  v = base_view();
  v.rank = 0;
  EXPECT_EQ(validate(v).second, "rank-zero tensors require null shape and stride pointers");
  v = base_view();
  v.strides = nullptr;
  EXPECT_EQ(validate(v).second, "positive-rank tensors require shape and stride arrays");
}

TEST(TensorView, FlagsDtypeDeviceAndReserved) {
  VrelTensorView v = base_view();
  v.flags = 3;
  EXPECT_EQ(validate(v).first, VREL_STATUS_INVALID_ARGUMENT);
  v.flags = 4;
  EXPECT_EQ(validate(v),
            std::make_pair(VrelStatus{2}, std::string("tensor view contains an unsupported flag")));
  v = base_view();
  v.dtype = 0;
  EXPECT_EQ(validate(v).second, "tensor dtype is not supported by ABI v1");
  v.dtype = 6;
  EXPECT_EQ(validate(v).first, VREL_STATUS_UNSUPPORTED);
  v = base_view();
  v.device_type = 3;
  v.device_index = -1;  // the type is looked at first
  EXPECT_EQ(validate(v),
            std::make_pair(VrelStatus{2}, std::string("device type is not supported by ABI v1")));
  v.device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(validate(v).second, "device index must be nonnegative");
  v.device_type = VREL_DEVICE_CPU;
  v.device_index = 1;
  EXPECT_EQ(validate(v).second, "the ABI v1 CPU device index must be zero");
  v = base_view();
  v.reserved[2] = 9;
  EXPECT_EQ(validate(v).second, "tensor view reserved fields must be zero");
}

TEST(TensorView, AddressOverflow) {
  VrelTensorView v = base_view();
  v.data = reinterpret_cast<void*>(UINT64_MAX - 15);
  v.byte_offset = 32;
  EXPECT_EQ(
      validate(v),
      std::make_pair(VrelStatus{4}, std::string("tensor data pointer plus byte offset overflows")));
  v.byte_offset = 8;
  EXPECT_EQ(validate(v).second, "tensor addressable byte range overflows");
  v.byte_offset = UINT64_MAX - 3;
  EXPECT_EQ(validate(v).second, "tensor byte offset and extent overflow 64-bit capacity");
  // No 64-bit wrap, but past the signed address range that pointer arithmetic can reach.
  alignas(8) static float storage[4];
  v = base_view();
  v.data = storage;
  v.byte_offset = (uint64_t{1} << 63) + 8;
  EXPECT_EQ(
      validate(v),
      std::make_pair(VrelStatus{4}, std::string("tensor data pointer plus byte offset overflows")));
  v.data = reinterpret_cast<void*>(uint64_t{INT64_MAX} - 3);
  v.byte_offset = 0;
  v.dtype = VREL_DTYPE_BOOL;
  EXPECT_EQ(validate(v).second, "tensor addressable byte range overflows");
}

TEST(TensorView, ElementAddressAlignment) {
  alignas(16) static unsigned char bytes[64];
  VrelTensorView v = base_view();
  v.dtype = VREL_DTYPE_FLOAT64;
  v.data = bytes + 4;  // the offset is a multiple of 8, the element address is not
  v.byte_offset = 8;
  EXPECT_EQ(validate(v),
            std::make_pair(VrelStatus{1},
                           std::string("tensor data pointer is not aligned to its dtype")));
  v.data = bytes + 8;
  EXPECT_EQ(validate(v).first, VREL_STATUS_OK);
  v.dtype = VREL_DTYPE_BOOL;  // one-byte elements may start anywhere
  v.data = bytes + 3;
  EXPECT_EQ(validate(v).first, VREL_STATUS_OK);
}

TEST(ExecutionContext, Rules) {
  auto check = [](const VrelExecutionContext& c) {
    Diag diag;
    const VrelStatus st = vrel_validate_execution_context(&c, diag);
    return std::make_pair(st, diag.text());
  };
  VrelExecutionContext c = cpu_context();
  EXPECT_EQ(check(c).first, VREL_STATUS_OK);
  c.flags = 1;
  EXPECT_EQ(check(c).first, VREL_STATUS_OK);
  c.flags = 2;
  EXPECT_EQ(
      check(c),
      std::make_pair(VrelStatus{2}, std::string("execution context contains an unsupported flag")));
  c = cpu_context();
  c.device_index = 1;
  EXPECT_EQ(check(c).second, "the ABI v1 CPU device index must be zero");
  c = cpu_context();
  c.device_type = 3;
  c.device_index = 5;
  EXPECT_EQ(check(c).first, VREL_STATUS_UNSUPPORTED);
  c = cpu_context();
  c.stream = 1;
  EXPECT_EQ(check(c).second, "CPU execution does not accept a stream handle");
  EXPECT_EQ(check(cuda_context(2, 99)).first, VREL_STATUS_OK);
  c = cpu_context();
  c.reserved_word = 1;
  EXPECT_EQ(check(c).second, "execution context reserved fields must be zero");
}

TEST(Buffer, Rules) {
  auto check = [](const VrelBufferDescriptor& b) {
    Diag diag;
    const VrelStatus st = vrel_validate_buffer(&b, diag);
    return std::make_pair(st, diag.text());
  };
  VrelBufferDescriptor b{};
  b.struct_size = sizeof b;
  b.abi_version = VREL_ABI_VERSION;
  b.alignment = 1;
  b.device_type = VREL_DEVICE_CPU;
  EXPECT_EQ(check(b).first, VREL_STATUS_OK);  // capacity 0, null data
  b.alignment = 0;
  EXPECT_EQ(check(b).second, "buffer alignment must be a nonzero power of two");
  b.alignment = 12;
  EXPECT_EQ(check(b).first, VREL_STATUS_INVALID_ARGUMENT);
  b.alignment = 16;
  b.capacity = 8;
  EXPECT_EQ(check(b).second, "a buffer with nonzero capacity requires a data pointer");
  alignas(16) static unsigned char storage[64];
  b.data = storage + 8;
  EXPECT_EQ(check(b).second, "buffer data pointer does not satisfy the declared alignment");
  b.data = storage;
  EXPECT_EQ(check(b).first, VREL_STATUS_OK);
  b.flags = 1;
  EXPECT_EQ(
      check(b),
      std::make_pair(VrelStatus{2}, std::string("buffer descriptor contains an unsupported flag")));
  b.flags = 0;
  b.reserved[1] = 1;
  EXPECT_EQ(check(b).second, "buffer descriptor reserved fields must be zero");
}
