// Views and buffers on a CUDA device at addresses that are not mapped, for forwarding tests: any
// dereference by the core would crash the test.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

inline constexpr int32_t kTestDevice = 1;

inline void* device_address(uintptr_t k) { return reinterpret_cast<void*>(0x10000 + 0x100000 * k); }

inline View device_view(uintptr_t k, std::vector<int64_t> shape, uint32_t dtype,
                        bool output = false) {
  View v(device_address(k), std::move(shape), dtype, output ? VREL_TENSOR_OUTPUT : 0);
  v->device_type = VREL_DEVICE_CUDA;
  v->device_index = kTestDevice;
  return v;
}

inline VrelBufferDescriptor device_buffer(uint64_t capacity, uint64_t alignment = 256) {
  VrelBufferDescriptor b{};
  b.struct_size = sizeof b;
  b.abi_version = VREL_ABI_VERSION;
  b.data = device_address(40);
  b.capacity = capacity;
  b.alignment = alignment;
  b.device_type = VREL_DEVICE_CUDA;
  b.device_index = kTestDevice;
  return b;
}

}  // namespace vrel::test
