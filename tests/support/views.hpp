// Test helpers: owned dense tensors that hand out TensorViews, contexts, buffers and diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "vrel/vrel.h"

namespace vrel::test {

template <typename T>
constexpr uint32_t dtype_of() {
  if constexpr (std::is_same_v<T, float>)
    return VREL_DTYPE_FLOAT32;
  else if constexpr (std::is_same_v<T, double>)
    return VREL_DTYPE_FLOAT64;
  else if constexpr (std::is_same_v<T, int32_t>)
    return VREL_DTYPE_INT32;
  else if constexpr (std::is_same_v<T, uint32_t>)
    return VREL_DTYPE_UINT32;
  else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, uint8_t>)
    return VREL_DTYPE_BOOL;
  else
    static_assert(sizeof(T) == 0, "no dtype for this type");
}

// Dense C-contiguous strides of a shape.
inline std::vector<int64_t> dense_strides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  int64_t s = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    strides[i] = s;
    s *= shape[i] > 0 ? shape[i] : 1;
  }
  return strides;
}

// A view over caller memory; owns its shape and stride arrays.
class View {
 public:
  View(void* data, std::vector<int64_t> shape, uint32_t dtype, uint32_t flags = 0)
      : shape_(std::move(shape)), strides_(dense_strides(shape_)) {
    std::memset(&view_, 0, sizeof view_);
    view_.struct_size = sizeof(VrelTensorView);
    view_.abi_version = VREL_ABI_VERSION;
    view_.data = data;
    view_.rank = static_cast<uint32_t>(shape_.size());
    view_.shape = shape_.empty() ? nullptr : shape_.data();
    view_.strides = strides_.empty() ? nullptr : strides_.data();
    view_.dtype = dtype;
    view_.device_type = VREL_DEVICE_CPU;
    view_.flags = flags;
  }
  View(const View& other)
      : View(other.view_.data, other.shape_, other.view_.dtype, other.view_.flags) {
    view_ = other.view_;
    view_.shape = shape_.empty() ? nullptr : shape_.data();
    view_.strides = strides_.empty() ? nullptr : strides_.data();
  }
  View& operator=(const View&) = delete;

  VrelTensorView* get() { return &view_; }
  const VrelTensorView* get() const { return &view_; }
  operator const VrelTensorView*() const { return &view_; }
  VrelTensorView* operator->() { return &view_; }

 private:
  std::vector<int64_t> shape_;
  std::vector<int64_t> strides_;
  VrelTensorView view_;
};

// An owned dense tensor of T.
template <typename T>
class Tensor {
 public:
  Tensor() = default;
  Tensor(std::vector<int64_t> shape, std::vector<T> values = {}) : shape_(std::move(shape)) {
    std::size_t n = 1;
    for (int64_t e : shape_) n *= static_cast<std::size_t>(e);
    if (values.empty()) values.assign(n, T{});
    data_ = std::move(values);
    data_.resize(n);
  }
  static Tensor filled(std::vector<int64_t> shape, T value) {
    Tensor t(std::move(shape));
    for (auto& x : t.data_) x = value;
    return t;
  }

  // An input view (no flags) and an output view (VREL_TENSOR_OUTPUT).
  View in() { return View(ptr(), shape_, dtype_of<T>()); }
  View out() { return View(ptr(), shape_, dtype_of<T>(), VREL_TENSOR_OUTPUT); }

  T* ptr() { return data_.empty() ? nullptr : data_.data(); }
  std::vector<T>& values() { return data_; }
  const std::vector<T>& values() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return data_.size(); }
  std::size_t bytes() const { return data_.size() * sizeof(T); }
  const std::vector<int64_t>& shape() const { return shape_; }

 private:
  std::vector<int64_t> shape_;
  std::vector<T> data_;
};

inline VrelExecutionContext cpu_context() {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}

inline VrelExecutionContext cuda_context(int32_t device = 0, uint64_t stream = 0) {
  VrelExecutionContext c = cpu_context();
  c.device_type = VREL_DEVICE_CUDA;
  c.device_index = device;
  c.stream = stream;
  return c;
}

// An aligned, owned workspace buffer and its descriptor.
class Workspace {
 public:
  explicit Workspace(uint64_t bytes, uint64_t alignment = 16) : storage_(bytes + alignment + 1) {
    auto base = reinterpret_cast<uintptr_t>(storage_.data());
    base = (base + alignment - 1) / alignment * alignment;
    desc_ = {};
    desc_.struct_size = sizeof desc_;
    desc_.abi_version = VREL_ABI_VERSION;
    desc_.data = bytes ? reinterpret_cast<void*>(base) : nullptr;
    desc_.capacity = bytes;
    desc_.alignment = alignment;
    desc_.device_type = VREL_DEVICE_CPU;
  }
  VrelBufferDescriptor* get() { return &desc_; }
  VrelBufferDescriptor* operator->() { return &desc_; }

 private:
  std::vector<unsigned char> storage_;
  VrelBufferDescriptor desc_;
};

// A Diagnostic with its own message buffer.
class Diag {
 public:
  explicit Diag(std::size_t capacity = 512) : buffer_(capacity, '\0') {
    diag_ = {};
    diag_.struct_size = sizeof diag_;
    diag_.abi_version = VREL_ABI_VERSION;
    diag_.message = buffer_.data();
    diag_.message_capacity = capacity;
  }
  Diag(const Diag&) = delete;
  Diag& operator=(const Diag&) = delete;
  VrelDiagnostic* get() { return &diag_; }
  operator VrelDiagnostic*() { return &diag_; }
  VrelDiagnostic* operator->() { return &diag_; }
  // The message as written, bounded by the buffer (an unwritten buffer holds no terminator).
  std::string text() const {
    return std::string(buffer_.data(), strnlen(buffer_.data(), buffer_.size()));
  }

 private:
  std::vector<char> buffer_;
  VrelDiagnostic diag_;
};

}  // namespace vrel::test
