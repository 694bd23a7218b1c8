// CUDA context scope and current-stream lookup of the _torch adapter.
//
// Both use functions resolved at run time from libraries that are already loaded into the
// process (the CUDA driver, PyTorch's CUDA library); the adapter never loads a library. This
// file knows nothing of PyTorch tensors: kernels pass the few facts of the reference tensor that
// the scope needs, which also lets the tests drive the scope with a fake driver.
#pragma once

#include <cstdint>
#include <mutex>

namespace vrel::adapter {

// The CUDA driver entry points the scope uses, in the driver's own signatures (CUresult is an
// int, CUcontext an opaque pointer, CUdevice an int, CUdeviceptr a 64-bit address).
struct DriverTable {
  using Context = void *;
  int (*pointer_get_attribute)(void *data, int attribute, std::uint64_t pointer) = nullptr;
  int (*ctx_get_current)(Context *context) = nullptr;
  int (*device_get)(int *device, int ordinal) = nullptr;
  int (*ctx_get_device)(int *device) = nullptr;
  int (*ctx_push_current)(Context context) = nullptr;
  int (*ctx_pop_current)(Context *context) = nullptr;
  int (*ctx_set_current)(Context context) = nullptr;
  int (*primary_ctx_get_state)(int device, unsigned *flags, int *active) = nullptr;
  int (*primary_ctx_retain)(Context *context, int device) = nullptr;
  int (*primary_ctx_release)(int device) = nullptr;
};

// The process's driver table: resolved once (thread-safe) from an already-loaded libcuda.so.1;
// every entry is null when the driver is not loaded.
const DriverTable &driver_table() noexcept;

// What the scope needs to know of the call's reference tensor.
struct ScopeTensor {
  bool is_cuda = false;
  std::int64_t element_count = 0;
  const void *data = nullptr;  // read only when element_count is nonzero
  std::int32_t device_index = 0;
};

// Makes the CUDA context that owns a tensor's memory current on the calling thread for the
// duration of one core call, and restores exactly what was current before. Inert for anything
// but a CUDA tensor. leave() runs the restoration once; the destructor calls it again on every
// exit path (ignoring the result), so an exception still restores the thread's context.
class CudaContextScope {
 public:
  explicit CudaContextScope(const DriverTable &driver = driver_table()) noexcept
      : driver_(driver) {}
  CudaContextScope(const CudaContextScope &) = delete;
  CudaContextScope &operator=(const CudaContextScope &) = delete;
  ~CudaContextScope() { leave(); }

  // Throws std::runtime_error carrying exactly the failing sentence (no prefix).
  void enter(const ScopeTensor &tensor);
  // Null on success, else the sentence of the first restoration failure.
  const char *leave() noexcept;

 private:
  const char *fail_entry(const char *sentence) noexcept;

  const DriverTable &driver_;
  DriverTable::Context previous_ = nullptr;
  DriverTable::Context owner_ = nullptr;
  int device_ = 0;
  bool active_ = false;
  bool previous_read_ = false;
  bool owner_found_ = false;
  bool pushed_ = false;
  bool primary_retained_ = false;
  bool finished_ = false;
  const char *message_ = nullptr;
};

// PyTorch's current-stream function: (device index, out stream) -> error code (0 success).
using CurrentStreamFunction = std::int32_t (*)(std::int32_t device_index, void **stream);

// A one-time lookup of the current-stream function. Every caller waits until the first lookup
// has finished, so no thread can observe a half-done lookup and refuse a valid CUDA call.
class StreamLookup {
 public:
  using Resolver = CurrentStreamFunction (*)();
  explicit StreamLookup(Resolver resolver) noexcept : resolver_(resolver) {}
  CurrentStreamFunction function();

 private:
  Resolver resolver_;
  std::once_flag once_;
  CurrentStreamFunction function_ = nullptr;
};

// Looks the function up in the already-loaded libtorch_cuda.so, libtorch_cpu.so and
// libtorch.so, in that order; null when none of them exports it.
CurrentStreamFunction resolve_current_stream_function() noexcept;

// The caller's current stream on a device, through the process-wide lookup. Throws
// std::runtime_error with the internal-error text when the function is missing or fails.
std::uint64_t current_stream(std::int32_t device_index, StreamLookup &lookup);
std::uint64_t current_stream(std::int32_t device_index);

extern const char *const kNoStreamFunction;
extern const char *const kStreamReadFailed;

}  // namespace vrel::adapter
