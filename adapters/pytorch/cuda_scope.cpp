#include "cuda_scope.hpp"

#include <dlfcn.h>

#include <stdexcept>

#include "errors.hpp"

namespace vrel::adapter {

const char *const kNoStreamFunction =
    "this PyTorch build does not expose aoti_torch_get_current_cuda_stream, so the caller's CUDA "
    "stream cannot be honoured. Running on a stream the caller did not choose would silently "
    "reorder their work, so the call is refused instead";
const char *const kStreamReadFailed = "could not read the current CUDA stream from the framework";

namespace {

constexpr int kPointerAttributeContext = 1;  // CU_POINTER_ATTRIBUTE_CONTEXT

// Resolves a symbol from a library only if the process has already loaded it.
void *loaded_symbol(const char *library, const char *symbol) noexcept {
  void *handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void *address = dlsym(handle, symbol);
  dlclose(handle);  // drops the reference RTLD_NOLOAD took; the library stays loaded
  return address;
}

template <typename F>
void resolve(void *driver, F &entry, const char *name) noexcept {
  entry = reinterpret_cast<F>(dlsym(driver, name));
}

DriverTable load_driver_table() noexcept {
  DriverTable table;
  void *driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (driver == nullptr) return table;
  resolve(driver, table.pointer_get_attribute, "cuPointerGetAttribute");
  resolve(driver, table.ctx_get_current, "cuCtxGetCurrent");
  resolve(driver, table.device_get, "cuDeviceGet");
  resolve(driver, table.ctx_get_device, "cuCtxGetDevice");
  resolve(driver, table.ctx_push_current, "cuCtxPushCurrent_v2");
  resolve(driver, table.ctx_pop_current, "cuCtxPopCurrent_v2");
  resolve(driver, table.ctx_set_current, "cuCtxSetCurrent");
  resolve(driver, table.primary_ctx_get_state, "cuDevicePrimaryCtxGetState");
  resolve(driver, table.primary_ctx_retain, "cuDevicePrimaryCtxRetain");
  resolve(driver, table.primary_ctx_release, "cuDevicePrimaryCtxRelease_v2");
  // The driver stays loaded for the life of the process (PyTorch holds it), so the resolved
  // addresses stay valid after this reference is dropped.
  dlclose(driver);
  return table;
}

}  // namespace

const DriverTable &driver_table() noexcept {
  static const DriverTable table = load_driver_table();  // thread-safe one-time initialisation
  return table;
}

void CudaContextScope::enter(const ScopeTensor &tensor) {
  if (!tensor.is_cuda) return;
  active_ = true;
  const DriverTable &d = driver_;
  const bool empty = tensor.element_count == 0;
  const bool common = d.ctx_get_current && d.device_get && d.ctx_get_device && d.ctx_push_current &&
                      d.ctx_pop_current && d.ctx_set_current;
  const bool owner_lookup =
      empty ? (d.primary_ctx_get_state && d.primary_ctx_retain && d.primary_ctx_release)
            : d.pointer_get_attribute != nullptr;
  if (!common || !owner_lookup)
    throw std::runtime_error(fail_entry("CUDA context scope driver functions unavailable"));

  if (d.ctx_get_current(&previous_) != 0) {
    throw std::runtime_error(fail_entry("CUDA context scope cannot read previous context"));
  }
  previous_read_ = true;

  if (tensor.device_index < 0 || d.device_get(&device_, tensor.device_index) != 0) {
    throw std::runtime_error(fail_entry("CUDA context scope device is unavailable"));
  }

  if (empty) {
    unsigned flags = 0;
    int active = 0;
    if (d.primary_ctx_get_state(device_, &flags, &active) != 0 || active != 1) {
      throw std::runtime_error(
          fail_entry("empty CUDA tensor requires an already-active primary context"));
    }
    if (d.primary_ctx_retain(&owner_, device_) != 0) {
      throw std::runtime_error(
          fail_entry("CUDA context scope could not retain active primary context"));
    }
    primary_retained_ = true;
    if (owner_ == nullptr) {
      throw std::runtime_error(fail_entry("active CUDA primary context is ambiguous"));
    }
  } else {
    DriverTable::Context owner = nullptr;
    if (tensor.data == nullptr ||
        d.pointer_get_attribute(&owner, kPointerAttributeContext,
                                reinterpret_cast<std::uint64_t>(tensor.data)) != 0 ||
        owner == nullptr) {
      throw std::runtime_error(
          fail_entry("CUDA tensor owning context is unavailable or ambiguous"));
    }
    owner_ = owner;
  }
  owner_found_ = true;

  if (d.ctx_push_current(owner_) != 0) {
    throw std::runtime_error(fail_entry("CUDA context scope could not push tensor owner"));
  }
  pushed_ = true;

  DriverTable::Context current = nullptr;
  int current_device = -1;
  if (d.ctx_get_current(&current) != 0 || current != owner_ ||
      d.ctx_get_device(&current_device) != 0 || current_device != device_) {
    throw std::runtime_error(
        fail_entry("CUDA tensor owning context does not match requested device"));
  }
}

// An entry failure restores first; a restoration message replaces the entry's sentence.
const char *CudaContextScope::fail_entry(const char *sentence) noexcept {
  const char *restoration = leave();
  return restoration != nullptr ? restoration : sentence;
}

const char *CudaContextScope::leave() noexcept {
  if (!active_ || finished_) return message_;
  finished_ = true;
  const DriverTable &d = driver_;
  if (pushed_) {
    DriverTable::Context popped = nullptr;
    if (d.ctx_pop_current(&popped) != 0 || popped != owner_) {
      message_ = "CUDA context scope pop failed or returned another context";
    }
    pushed_ = false;
  }
  if (previous_read_ && owner_found_) {
    DriverTable::Context current = nullptr;
    const bool restored = d.ctx_get_current(&current) == 0 && current == previous_;
    if (!restored || message_ != nullptr) {
      if (message_ == nullptr) message_ = "CUDA context scope did not restore previous context";
      if (d.ctx_set_current(previous_) != 0) {
        message_ = "CUDA context scope restoration failed";
      } else {
        DriverTable::Context again = nullptr;
        if (d.ctx_get_current(&again) != 0 || again != previous_) {
          message_ = "CUDA context scope fallback restoration could not be verified";
        }
      }
    }
  }
  if (primary_retained_) {
    if (d.primary_ctx_release(device_) != 0) message_ = "CUDA context scope primary release failed";
    primary_retained_ = false;
  }
  return message_;
}

CurrentStreamFunction StreamLookup::function() {
  std::call_once(once_, [this] { function_ = resolver_(); });
  return function_;
}

CurrentStreamFunction resolve_current_stream_function() noexcept {
  for (const char *library : {"libtorch_cuda.so", "libtorch_cpu.so", "libtorch.so"}) {
    if (void *address = loaded_symbol(library, "aoti_torch_get_current_cuda_stream")) {
      return reinterpret_cast<CurrentStreamFunction>(address);
    }
  }
  return nullptr;
}

std::uint64_t current_stream(std::int32_t device_index, StreamLookup &lookup) {
  CurrentStreamFunction function = lookup.function();
  if (function == nullptr) internal_error(kNoStreamFunction);
  void *stream = nullptr;
  if (function(device_index, &stream) != 0) internal_error(kStreamReadFailed);
  return reinterpret_cast<std::uint64_t>(stream);
}

std::uint64_t current_stream(std::int32_t device_index) {
  static StreamLookup lookup(resolve_current_stream_function);
  return current_stream(device_index, lookup);
}

}  // namespace vrel::adapter
