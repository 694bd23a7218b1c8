// Tensor marshalling against real PyTorch tensors, for what no operator lets Python observe: the
// descriptor of a zero-byte workspace, the arena's view limit, and the slots that unwanted
// gradients still take.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "adapter.hpp"

namespace vrel::adapter {
namespace {

Tensor cpu_tensor(std::vector<std::int64_t> sizes, std::int32_t dtype) {
  std::vector<std::int64_t> strides(sizes.size(), 1);
  for (std::size_t d = sizes.size(); d-- > 1;) strides[d - 1] = strides[d] * sizes[d];
  AtenTensorHandle handle = nullptr;
  STABLE_TORCH_ERROR_CODE_CHECK(aoti_torch_empty_strided(static_cast<std::int64_t>(sizes.size()),
                                                         sizes.data(), strides.data(), dtype,
                                                         aoti_torch_device_type_cpu(), 0, &handle));
  return Tensor(handle);
}

std::int32_t dtype_of(const Tensor &tensor) {
  std::int32_t dtype = 0;
  STABLE_TORCH_ERROR_CODE_CHECK(aoti_torch_get_dtype(tensor.get(), &dtype));
  return dtype;
}

std::string internal_message(const std::function<void()> &body) {
  try {
    body();
  } catch (const std::runtime_error &error) {
    return error.what();
  }
  return "no error";
}

TEST(Workspace, AZeroByteWorkspaceIsAnEmptyUint8TensorWithANullDescriptor) {
  const Tensor reference = cpu_tensor({4, 3}, aoti_torch_dtype_float64());
  Workspace ws = make_workspace(reference, 0);
  EXPECT_EQ(numel_of(ws.tensor), 0);
  EXPECT_EQ(dim_of(ws.tensor), 1);
  EXPECT_EQ(dtype_of(ws.tensor), aoti_torch_dtype_uint8());
  EXPECT_EQ(ws.descriptor.struct_size, 64u);
  EXPECT_EQ(ws.descriptor.abi_version, VREL_ABI_VERSION);
  EXPECT_EQ(ws.descriptor.data, nullptr);
  EXPECT_EQ(ws.descriptor.capacity, 0u);
  EXPECT_EQ(ws.descriptor.alignment, 8u);
  EXPECT_EQ(ws.descriptor.device_type, static_cast<std::uint32_t>(VREL_DEVICE_CPU));
  // Most families pass null for it; the animation family passes the descriptor itself.
  EXPECT_EQ(ws.or_null(), nullptr);
  EXPECT_EQ(ws.get(), &ws.descriptor);
}

TEST(Workspace, APositiveWorkspaceCarriesTheTensorsMemoryAndTheQueriedCount) {
  const Tensor reference = cpu_tensor({2}, aoti_torch_dtype_float32());
  Workspace ws = make_workspace(reference, 40);
  EXPECT_EQ(numel_of(ws.tensor), 40);
  EXPECT_EQ(dtype_of(ws.tensor), aoti_torch_dtype_uint8());
  void *data = nullptr;
  STABLE_TORCH_ERROR_CODE_CHECK(torch_get_mutable_data_ptr(ws.tensor.get(), &data));
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(ws.descriptor.data, data);
  EXPECT_EQ(ws.descriptor.capacity, 40u);
  EXPECT_EQ(ws.descriptor.alignment, 8u);  // declared 8 whatever the query reported
  EXPECT_EQ(ws.or_null(), &ws.descriptor);
}

TEST(Arena, TheTwentyFifthViewIsRefused) {
  const Tensor tensor = cpu_tensor({2, 3}, aoti_torch_dtype_float32());
  BorrowedViewArena arena;
  for (int i = 0; i < kArenaViews; ++i) {
    const VrelTensorView view = arena.borrow(tensor, VREL_TENSOR_READ_ONLY, false);
    ASSERT_EQ(view.rank, 2u);
    ASSERT_EQ(view.shape[1], 3);
  }
  EXPECT_EQ(internal_message([&] { arena.borrow(tensor, VREL_TENSOR_READ_ONLY, false); }),
            "vrel-internal: more borrowed views in one call than the arena holds");
  EXPECT_EQ(arena.count(), kArenaViews);
}

TEST(Arena, ViewsCarrySizesStridesAndFlagsAndRankZeroHasNoArrays) {
  const Tensor matrix = cpu_tensor({2, 5}, aoti_torch_dtype_float64());
  const Tensor scalar = cpu_tensor({}, aoti_torch_dtype_int32());
  BorrowedViewArena arena;
  const VrelTensorView out = arena.borrow(matrix, VREL_TENSOR_OUTPUT, true);
  EXPECT_EQ(out.struct_size, 96u);
  EXPECT_EQ(out.shape[0], 2);
  EXPECT_EQ(out.shape[1], 5);
  EXPECT_EQ(out.strides[0], 5);
  EXPECT_EQ(out.strides[1], 1);
  EXPECT_EQ(out.dtype, static_cast<std::uint32_t>(VREL_DTYPE_FLOAT64));
  EXPECT_EQ(out.flags, static_cast<std::uint32_t>(VREL_TENSOR_OUTPUT));
  EXPECT_EQ(out.byte_offset, 0u);
  const VrelTensorView in = arena.borrow(scalar, VREL_TENSOR_READ_ONLY, false);
  EXPECT_EQ(in.rank, 0u);
  EXPECT_EQ(in.shape, nullptr);
  EXPECT_EQ(in.strides, nullptr);
  EXPECT_EQ(in.dtype, static_cast<std::uint32_t>(VREL_DTYPE_INT32));
  EXPECT_NE(in.data, nullptr);
}

TEST(Call, UnwantedTensorsTakeASlotAndReachTheCoreAsNull) {
  const Tensor vertices = cpu_tensor({4, 3}, aoti_torch_dtype_float32());
  Call call(vertices);
  EXPECT_EQ(call.context()->device_type, static_cast<std::uint32_t>(VREL_DEVICE_CPU));
  EXPECT_EQ(call.context()->stream, 0u);
  EXPECT_EQ(call.in_if(vertices, false), nullptr);
  EXPECT_EQ(call.out_if(vertices, false), nullptr);
  EXPECT_NE(call.in_if(vertices, true), nullptr);
  const Tensor unwanted = empty_or_like(vertices, false);
  EXPECT_EQ(sizes_of(unwanted), std::vector<std::int64_t>{0});
  EXPECT_EQ(dtype_of(unwanted), aoti_torch_dtype_float32());
  EXPECT_EQ(sizes_of(empty_or_like(vertices, true)), (std::vector<std::int64_t>{4, 3}));
  // Three slots used: 21 more fit, the 25th borrow fails.
  for (int i = 3; i < kArenaViews; ++i) call.in(vertices);
  EXPECT_EQ(internal_message([&] { call.out(vertices); }),
            "vrel-internal: more borrowed views in one call than the arena holds");
}

}  // namespace
}  // namespace vrel::adapter
