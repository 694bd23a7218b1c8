// Kernels of the io family: PLY probing and reading from a byte tensor.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

// The raw bytes of the data tensor: its data pointer and its element count, with no view and no
// dtype check. The tensor must be dense, or the byte count would reach past its storage (an
// expanded tensor has more elements than bytes of storage).
struct Bytes {
  const char *data;
  std::int64_t size;
};

Bytes raw_bytes(const Tensor &data) {
  require(is_dense(data), "ply data must be a contiguous tensor");
  const void *pointer = nullptr;
  STABLE_TORCH_ERROR_CODE_CHECK(torch_get_const_data_ptr(data.get(), &pointer));
  return Bytes{static_cast<const char *>(pointer), numel_of(data)};
}

VrelExecutionContext cpu_context() {
  VrelExecutionContext context{};
  context.struct_size = sizeof(VrelExecutionContext);
  context.abi_version = VREL_ABI_VERSION;
  context.device_type = VREL_DEVICE_CPU;
  return context;
}

VrelPlyInfo probe(Call &call, const Bytes &bytes) {
  VrelExecutionContext context = cpu_context();
  VrelPlyInfo info{};
  info.struct_size = sizeof(VrelPlyInfo);
  info.abi_version = VREL_ABI_VERSION;
  call.check(vrel_io_ply_probe(bytes.data, bytes.size, &context, &info, call.diag()));
  return info;
}

std::tuple<std::int64_t, std::int64_t, std::int64_t> ply_probe(Tensor data) {
  Call call(data);
  const VrelPlyInfo info = probe(call, raw_bytes(data));
  return {static_cast<std::int64_t>(info.format), static_cast<std::int64_t>(info.vertex_count),
          static_cast<std::int64_t>(info.face_count)};
}

std::tuple<Tensor, Tensor> ply_read(Tensor data, bool double_precision) {
  Call call(data);
  const Bytes bytes = raw_bytes(data);
  const VrelPlyInfo info = probe(call, bytes);
  Tensor vertices = new_empty(data, {static_cast<std::int64_t>(info.vertex_count), 3},
                              double_precision ? ScalarType::Double : ScalarType::Float);
  Tensor faces = new_empty(data, {static_cast<std::int64_t>(info.face_count), 3}, ScalarType::Int);
  VrelExecutionContext context = cpu_context();
  call.check(vrel_io_ply_read(bytes.data, bytes.size, &info, &context, call.out(vertices),
                              call.out(faces), nullptr, call.diag()));
  return {vertices, faces};
}

}  // namespace

std::span<const KernelBinding> io_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(ply_probe),
      VREL_BIND(ply_read),
  };
  return bindings;
}

}  // namespace vrel::adapter
