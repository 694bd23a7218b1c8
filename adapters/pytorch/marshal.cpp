#include <cstring>
#include <limits>
#include <string>

#include "adapter.hpp"

namespace vrel::adapter {

namespace {

// A non-zero result of a stable-ABI call raises PyTorch's own error for it.
#define VREL_TORCH_CHECK(call) STABLE_TORCH_ERROR_CODE_CHECK(call)

std::uint32_t device_type_of(const Tensor &tensor) {
  return is_cuda(tensor) ? VREL_DEVICE_CUDA : VREL_DEVICE_CPU;
}

std::int32_t device_index_of(const Tensor &tensor) {
  if (!is_cuda(tensor)) return 0;
  std::int32_t index = 0;
  VREL_TORCH_CHECK(aoti_torch_get_device_index(tensor.get(), &index));
  return index;
}

}  // namespace

std::int64_t dim_of(const Tensor &tensor) {
  std::int64_t dim = 0;
  VREL_TORCH_CHECK(aoti_torch_get_dim(tensor.get(), &dim));
  return dim;
}

std::int64_t numel_of(const Tensor &tensor) {
  std::int64_t numel = 0;
  VREL_TORCH_CHECK(aoti_torch_get_numel(tensor.get(), &numel));
  return numel;
}

std::int64_t size_of(const Tensor &tensor, std::int64_t dim) {
  std::int64_t size = 0;
  VREL_TORCH_CHECK(aoti_torch_get_size(tensor.get(), dim, &size));
  return size;
}

std::int64_t extent(const Tensor &tensor, std::int64_t dim) {
  return dim_of(tensor) > dim ? size_of(tensor, dim) : 0;
}

std::vector<std::int64_t> sizes_of(const Tensor &tensor) {
  const std::int64_t rank = dim_of(tensor);
  int64_t *sizes = nullptr;
  VREL_TORCH_CHECK(aoti_torch_get_sizes(tensor.get(), &sizes));
  return std::vector<std::int64_t>(sizes, sizes + rank);
}

bool is_cuda(const Tensor &tensor) {
  std::int32_t type = 0;
  VREL_TORCH_CHECK(aoti_torch_get_device_type(tensor.get(), &type));
  return type == aoti_torch_device_type_cuda();
}

ScopeTensor scope_tensor(const Tensor &tensor) {
  ScopeTensor facts;
  facts.is_cuda = is_cuda(tensor);
  if (!facts.is_cuda) return facts;
  facts.element_count = numel_of(tensor);
  if (facts.element_count != 0) {
    const void *data = nullptr;
    VREL_TORCH_CHECK(torch_get_const_data_ptr(tensor.get(), &data));
    facts.data = data;
  }
  facts.device_index = device_index_of(tensor);
  return facts;
}

namespace {

// PyTorch's name of a dtype, for messages.
const char *dtype_name(std::int32_t dtype) {
  struct Name {
    std::int32_t (*code)();
    const char *text;
  };
  static const Name kNames[] = {
      {aoti_torch_dtype_float32, "float32"},
      {aoti_torch_dtype_float64, "float64"},
      {aoti_torch_dtype_int32, "int32"},
      {aoti_torch_dtype_uint32, "uint32"},
      {aoti_torch_dtype_bool, "bool"},
      {aoti_torch_dtype_int64, "int64"},
      {aoti_torch_dtype_int16, "int16"},
      {aoti_torch_dtype_int8, "int8"},
      {aoti_torch_dtype_uint8, "uint8"},
      {aoti_torch_dtype_uint16, "uint16"},
      {aoti_torch_dtype_uint64, "uint64"},
      {aoti_torch_dtype_float16, "float16"},
      {aoti_torch_dtype_bfloat16, "bfloat16"},
      {aoti_torch_dtype_complex64, "complex64"},
      {aoti_torch_dtype_complex128, "complex128"},
  };
  for (const Name &n : kNames)
    if (n.code() == dtype) return n.text;
  return "a dtype vrel does not know";
}

// The dtype an operator argument takes, by its schema name: the index, offset and table
// arguments are int32, the generator words uint32, the validity masks bool, the rest floating.
const char *expected_dtype(const char *name) {
  static const char *const kInt32[] = {"faces",
                                       "face_index",
                                       "face_offsets",
                                       "vertex_offsets",
                                       "point_offsets",
                                       "level_offsets",
                                       "reference_index",
                                       "parents",
                                       "query_offsets",
                                       "reference_offsets",
                                       "mesh_edge_offsets",
                                       "edges",
                                       "edge_faces",
                                       "edge_face_offsets",
                                       "indices"};
  static const char *const kUint32[] = {"rng_key", "rng_counter", "next_counter"};
  for (const char *n : kInt32)
    if (std::strcmp(n, name) == 0) return "int32";
  for (const char *n : kUint32)
    if (std::strcmp(n, name) == 0) return "uint32";
  if (std::strcmp(name, "valid") == 0) return "bool";
  return "float32 or float64";
}

}  // namespace

std::uint32_t dtype_code(const Tensor &tensor, const char *name) {
  std::int32_t dtype = 0;
  VREL_TORCH_CHECK(aoti_torch_get_dtype(tensor.get(), &dtype));
  if (dtype == aoti_torch_dtype_float32()) return VREL_DTYPE_FLOAT32;
  if (dtype == aoti_torch_dtype_float64()) return VREL_DTYPE_FLOAT64;
  if (dtype == aoti_torch_dtype_int32()) return VREL_DTYPE_INT32;
  if (dtype == aoti_torch_dtype_uint32()) return VREL_DTYPE_UINT32;
  if (dtype == aoti_torch_dtype_bool()) return VREL_DTYPE_BOOL;
  // A dtype outside the ABI (int64 indices, half precision, ...): refused here, in the core's
  // words for a dtype rule, naming the argument and what it received.
  std::string message;
  if (name != nullptr) {
    message = std::string(name) + " must use the " + expected_dtype(name) + " dtype (received " +
              dtype_name(dtype) + ")";
  } else {
    message = std::string("tensor dtype is not supported by ABI v1 (received ") +
              dtype_name(dtype) + "; vrel takes float32, float64, int32, uint32 and bool)";
  }
  status_error(VREL_STATUS_UNSUPPORTED, message.c_str());
}

std::string shape_context(std::initializer_list<Shaped> tensors) {
  std::int64_t bound[128] = {};
  const char *bound_by[128] = {};
  for (const Shaped &t : tensors) {
    const std::vector<std::int64_t> sizes = sizes_of(*t.tensor);
    const std::size_t rank = std::strlen(t.pattern);
    bool ok = sizes.size() == rank;
    std::string from;
    for (std::size_t d = 0; ok && d < rank; ++d) {
      const auto symbol = static_cast<unsigned char>(t.pattern[d]);
      if (symbol >= '0' && symbol <= '9') {
        ok = sizes[d] == symbol - '0';
      } else if (bound_by[symbol] != nullptr) {
        ok = sizes[d] == bound[symbol];
      } else {
        bound[symbol] = sizes[d];
        bound_by[symbol] = t.name;
      }
    }
    if (ok) continue;
    std::string want = "[", got = "[", given;
    for (std::size_t d = 0; d < rank; ++d) {
      const auto symbol = static_cast<unsigned char>(t.pattern[d]);
      want += (d ? ", " : "") + std::string(1, static_cast<char>(symbol));
      if (bound_by[symbol] != nullptr && bound_by[symbol] != t.name &&
          given.find(std::string(1, static_cast<char>(symbol)) + " = ") == std::string::npos)
        given += (given.empty() ? "" : ", ") + std::string(1, static_cast<char>(symbol)) + " = " +
                 std::to_string(bound[symbol]) + " from " + bound_by[symbol];
    }
    for (std::size_t d = 0; d < sizes.size(); ++d)
      got += (d ? ", " : "") + std::to_string(sizes[d]);
    return std::string(t.name) + " must be " + want + "]" +
           (given.empty() ? "" : " with " + given) + "; received " + got + "]";
  }
  return {};
}

VrelExecutionContext context_for(const Tensor &reference) {
  VrelExecutionContext context{};
  context.struct_size = sizeof(VrelExecutionContext);
  context.abi_version = VREL_ABI_VERSION;
  context.device_type = VREL_DEVICE_CPU;
  if (is_cuda(reference)) {
    context.device_type = VREL_DEVICE_CUDA;
    context.device_index = device_index_of(reference);
    context.stream = current_stream(context.device_index);
  }
  return context;
}

Tensor new_empty(const Tensor &reference, std::span<const std::int64_t> sizes,
                 std::optional<ScalarType> dtype) {
  using torch::stable::detail::from;
  // aten::new_empty(Tensor self, SymInt[] size, *, ScalarType? dtype, Layout? layout,
  //                 Device? device, bool? pin_memory): six slots, the result lands in slot 0.
  StableIValue stack[6];
  stack[0] = from(reference);
  stack[1] = from(std::vector<std::int64_t>(sizes.begin(), sizes.end()));
  stack[2] = from(dtype);  // an optional travels as a pointer to its boxed value, or null
  stack[3] = from(std::nullopt);
  stack[4] = from(std::nullopt);
  stack[5] = from(std::nullopt);
  if (torch_call_dispatcher("aten::new_empty", "", stack, kTargetVersion) != TORCH_SUCCESS) {
    // The size arithmetic is the one cause vrel can name; otherwise the allocator refused.
    std::string shape = "[";
    std::uint64_t count = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      shape += (i ? ", " : "") + std::to_string(sizes[i]);
      overflow = overflow || sizes[i] < 0 ||
                 __builtin_mul_overflow(count, static_cast<std::uint64_t>(sizes[i]), &count);
    }
    shape += "]";
    internal_error((std::string("cannot allocate a ") + shape + " tensor: " +
                    (overflow ? "its element count overflows 64 bits"
                              : "the allocator refused it (out of memory, or a size PyTorch "
                                "cannot hold)"))
                       .c_str());
  }
  return torch::stable::detail::to<Tensor>(stack[0]);
}

void zero_(const Tensor &tensor) {
  using torch::stable::detail::from;
  // aten::zero_(Tensor(a!) self) -> Tensor(a!): one slot in, the same tensor out.
  StableIValue stack[1];
  stack[0] = from(tensor);
  VREL_TORCH_CHECK(torch_call_dispatcher("aten::zero_", "", stack, kTargetVersion));
  (void)torch::stable::detail::to<Tensor>(stack[0]);  // releases the returned reference
}

Tensor empty_or_like(const Tensor &reference, bool wanted) {
  return empty_or_like(reference, reference, wanted);
}

Tensor empty_or_like(const Tensor &reference, const Tensor &like, bool wanted) {
  if (wanted) return new_empty(reference, sizes_of(like));
  return new_empty(reference, {0});
}

namespace {

// The layout rules of the core's view validation, checked on the borrowed strides so that the
// refusal can name the argument and the remedy. A dimension of extent 0 or 1 may carry any stride
// in PyTorch (a zero one after unsqueeze or expand): its stride is free in the core too, apart
// from being positive, so it is made 1. Other dimensions must be dense.
void layout_rules(const char *name, std::int64_t rank, const std::int64_t *shape,
                  std::int64_t *strides) {
  const std::string who = name != nullptr ? std::string(name) : std::string("a tensor argument");
  const std::string fix = name != nullptr ? std::string(name) + ".contiguous()" : ".contiguous()";
  std::int64_t expected = 1;
  bool empty = false;
  for (std::int64_t d = 0; d < rank; ++d) empty = empty || shape[d] == 0;
  for (std::int64_t d = rank - 1; d >= 0; --d) {
    if (shape[d] <= 1) {
      if (strides[d] <= 0) strides[d] = 1;
      continue;
    }
    if (strides[d] <= 0)
      status_error(VREL_STATUS_INVALID_ARGUMENT,
                   ("tensor element strides must be positive (" + who + " has stride " +
                    std::to_string(strides[d]) + " in dimension " + std::to_string(d) +
                    ", as an expanded tensor does; pass " + fix + ")")
                       .c_str());
    if (!empty && strides[d] != expected)
      status_error(VREL_STATUS_UNSUPPORTED,
                   ("ABI v1 accepts only dense C-contiguous tensor views (" + who +
                    " is not contiguous; pass " + fix + ")")
                       .c_str());
    expected *= shape[d];
  }
}

}  // namespace

VrelTensorView BorrowedViewArena::borrow(const Tensor &tensor, std::uint32_t flags,
                                         bool mutable_data, const char *name) {
  require(count_ < kArenaViews, "more borrowed views in one call than the arena holds");
  const std::int64_t rank = dim_of(tensor);
  require(rank <= kArenaRank, "a tensor rank exceeded what the arena holds");
  std::int64_t *shape = shapes_[count_];
  std::int64_t *strides = strides_[count_];
  ++count_;
  if (rank > 0) {
    int64_t *sizes = nullptr;
    int64_t *steps = nullptr;
    VREL_TORCH_CHECK(aoti_torch_get_sizes(tensor.get(), &sizes));
    VREL_TORCH_CHECK(aoti_torch_get_strides(tensor.get(), &steps));
    std::memcpy(shape, sizes, static_cast<std::size_t>(rank) * sizeof(std::int64_t));
    std::memcpy(strides, steps, static_cast<std::size_t>(rank) * sizeof(std::int64_t));
    layout_rules(name, rank, shape, strides);
  }
  void *data = nullptr;
  if (mutable_data) {
    VREL_TORCH_CHECK(torch_get_mutable_data_ptr(tensor.get(), &data));
  } else {
    const void *read = nullptr;
    VREL_TORCH_CHECK(torch_get_const_data_ptr(tensor.get(), &read));
    data = const_cast<void *>(read);  // the core only reads views flagged read-only
  }
  VrelTensorView view{};
  view.struct_size = sizeof(VrelTensorView);
  view.abi_version = VREL_ABI_VERSION;
  view.data = data;  // PyTorch's data pointer already includes the storage offset
  view.byte_offset = 0;
  view.shape = rank > 0 ? shape : nullptr;
  view.strides = rank > 0 ? strides : nullptr;
  view.rank = static_cast<std::uint32_t>(rank);
  view.dtype = dtype_code(tensor, name);
  view.device_type = device_type_of(tensor);
  view.device_index = device_index_of(tensor);
  view.flags = flags;
  return view;
}

VrelBufferDescriptor workspace_descriptor(const Tensor &workspace, std::uint64_t bytes) {
  VrelBufferDescriptor buffer{};
  buffer.struct_size = sizeof(VrelBufferDescriptor);
  buffer.abi_version = VREL_ABI_VERSION;
  if (bytes != 0) {
    VREL_TORCH_CHECK(torch_get_mutable_data_ptr(workspace.get(), &buffer.data));
  }
  buffer.capacity = bytes;
  buffer.alignment = 8;
  buffer.device_type = device_type_of(workspace);
  buffer.device_index = device_index_of(workspace);
  return buffer;
}

bool is_dense(const Tensor &tensor) {
  const std::int64_t rank = dim_of(tensor);
  if (rank == 0) return true;
  int64_t *sizes = nullptr;
  int64_t *strides = nullptr;
  VREL_TORCH_CHECK(aoti_torch_get_sizes(tensor.get(), &sizes));
  VREL_TORCH_CHECK(aoti_torch_get_strides(tensor.get(), &strides));
  std::int64_t expected = 1;
  for (std::int64_t d = rank - 1; d >= 0; --d) {
    if (sizes[d] == 0) return true;  // no element, nothing to reach
    if (sizes[d] != 1 && strides[d] != expected) return false;
    expected *= sizes[d];
  }
  return true;
}

VrelBufferDescriptor caller_workspace(const Tensor &workspace) {
  require(is_dense(workspace), "the workspace must be a contiguous tensor");
  // Its capacity is its size in bytes, whatever its dtype (a float32 workspace of N elements
  // holds 4N bytes).
  std::int32_t dtype = 0;
  VREL_TORCH_CHECK(aoti_torch_get_dtype(workspace.get(), &dtype));
  std::uint64_t bytes = 0;
  const auto element = static_cast<std::uint64_t>(aoti_torch_dtype_element_size(dtype));
  require(!__builtin_mul_overflow(static_cast<std::uint64_t>(numel_of(workspace)), element, &bytes),
          "the workspace byte count overflows 64 bits");
  return workspace_descriptor(workspace, bytes);
}

Workspace make_workspace(const Tensor &reference, std::uint64_t bytes) {
  require(bytes <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
          "workspace exceeds tensor extent");
  Tensor tensor = new_empty(reference, {static_cast<std::int64_t>(bytes)}, ScalarType::Byte);
  VrelBufferDescriptor descriptor = workspace_descriptor(tensor, bytes);
  return Workspace{std::move(tensor), descriptor};
}

Call::Call(const Tensor &reference) {
  diagnostic_.struct_size = sizeof(VrelDiagnostic);
  diagnostic_.abi_version = VREL_ABI_VERSION;
  diagnostic_.message = message_;
  diagnostic_.message_capacity = kMessageBytes;
  context_ = context_for(reference);
}

const VrelTensorView *Call::in(const Tensor &tensor, const char *name) {
  const int slot = arena_.count();
  VrelTensorView view = arena_.borrow(tensor, VREL_TENSOR_READ_ONLY, false, name);
  views_[slot] = view;
  return &views_[slot];
}

VrelTensorView *Call::out(const Tensor &tensor, const char *name) {
  const int slot = arena_.count();
  VrelTensorView view = arena_.borrow(tensor, VREL_TENSOR_OUTPUT, true, name);
  views_[slot] = view;
  return &views_[slot];
}

const VrelTensorView *Call::in_if(const Tensor &tensor, bool wanted, const char *name) {
  const VrelTensorView *view = in(tensor, name);
  return wanted ? view : nullptr;
}

VrelTensorView *Call::out_if(const Tensor &tensor, bool wanted, const char *name) {
  VrelTensorView *view = out(tensor, name);
  return wanted ? view : nullptr;
}

}  // namespace vrel::adapter
