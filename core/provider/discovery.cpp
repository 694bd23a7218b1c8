#include "provider/discovery.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "abi/status.hpp"

namespace vrel::provider {
namespace {

void copy_text(char* out, std::size_t capacity, const char* text) noexcept {
  std::snprintf(out, capacity, "%s", text);
}

void fail(Discovery& d, uint32_t state, const char* main, const char* detail = "") noexcept {
  d.state = state;
  compose_status(d.status, sizeof d.status, main, detail);
}

// Step 1 and 2: the explicit path or the plug-in beside the core library. False on failure.
bool locate(Discovery& d) noexcept {
  const char* explicit_path = std::getenv("VREL_CUDA_PLUGIN_PATH");
  if (explicit_path != nullptr && explicit_path[0] != '\0') {
    if (std::strlen(explicit_path) + 1 > kPathCapacity) {
      copy_text(d.path, sizeof d.path, "<path too long>");
      fail(d, VREL_PROBE_STATE_FAILED, "invalid explicit path: exceeds loader capacity");
      return false;
    }
    copy_text(d.path, sizeof d.path, explicit_path);
    if (explicit_path[0] != '/') {
      fail(d, VREL_PROBE_STATE_FAILED, "invalid explicit path: an absolute path is required");
      return false;
    }
    return true;
  }
  // The address of a function local to the core: an exported function's address can resolve to
  // a stub in the executable (when a non-PIE program takes that address), and dladdr would then
  // name the program instead of the core library.
  Dl_info info{};
  const std::size_t name_length =
      dladdr(reinterpret_cast<void*>(&locate), &info) != 0 && info.dli_fname
          ? std::strlen(info.dli_fname)
          : 0;
  const char* slash = name_length > 0 ? std::strrchr(info.dli_fname, '/') : nullptr;
  const std::size_t directory = slash ? static_cast<std::size_t>(slash - info.dli_fname) + 1 : 0;
  if (name_length == 0 || name_length >= kPathCapacity || slash == nullptr ||
      directory + std::strlen(kPluginFileName) + 1 > kPathCapacity) {
    copy_text(d.path, sizeof d.path, "<unresolved>");
    fail(d, VREL_PROBE_STATE_FAILED,
         "discovery failed: could not resolve the core library directory");
    return false;
  }
  std::memcpy(d.path, info.dli_fname, directory);
  copy_text(d.path + directory, sizeof d.path - directory, kPluginFileName);
  return true;
}

// Steps 3 and 4: an existing regular file that starts with the ELF magic.
bool check_file(Discovery& d) noexcept {
  struct stat st{};
  if (::stat(d.path, &st) != 0 || !S_ISREG(st.st_mode)) {
    fail(d, VREL_PROBE_STATE_NOT_FOUND, "not found");
    return false;
  }
  unsigned char magic[4] = {};
  ssize_t got = 0;
  const int fd = ::open(d.path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (got < 4) {
      const ssize_t n = ::read(fd, magic + got, 4 - static_cast<std::size_t>(got));
      if (n <= 0) break;
      got += n;
    }
    ::close(fd);
  }
  if (got < 4 || magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') {
    fail(d, VREL_PROBE_STATE_FAILED, "load failed: invalid shared-library header");
    return false;
  }
  return true;
}

// Checks 2 to 8 of the handshake record; null when it is acceptable.
const char* check_api(const CudaPluginApi& api) noexcept {
  if (api.struct_size < 40) return "plugin API structure is too small";
  if (api.abi_version != 0x10000u) return "unsupported CUDA plugin ABI version";
  if (api.min_core_abi > VREL_ABI_VERSION || api.max_core_abi < VREL_ABI_VERSION)
    return "plugin does not support core ABI 1.0";
  if ((api.flags & 1u) == 0 || api.capability_provider == nullptr)
    return "plugin has no capability provider";
  if (api.build_identity == nullptr || api.build_identity[0] == '\0')
    return "plugin build identity is empty";
  if ((api.flags & 2u) != 0) {
    if (api.struct_size < 48)
      return "plugin advertises operations but its API struct predates the field";
    if (api.operations == nullptr) return "plugin advertises operations but published no table";
    if (api.operations->size < kMinTableSize)
      return "plugin operation table is smaller than this host reads";
  }
  if (api.struct_size >= 88 && !abi::reserved_zero(api.reserved, 5))
    return "plugin API reserved fields are nonzero";
  return nullptr;
}

}  // namespace

void compose_status(char* out, std::size_t capacity, const char* main,
                    const char* detail) noexcept {
  if (detail != nullptr && detail[0] != '\0')
    std::snprintf(out, capacity, "%s: %s", main, detail);
  else
    std::snprintf(out, capacity, "%s", main);
}

void discover(Discovery& d) noexcept {
  if (!locate(d) || !check_file(d)) return;

  dlerror();
  void* handle = dlopen(d.path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const int error_number = errno;
    char reason[kMessageCapacity] = {};
    const char* text = dlerror();
    if (text != nullptr) copy_text(reason, sizeof reason, text);
    std::size_t n = std::strlen(reason);
    while (n > 0 && (reason[n - 1] == '\r' || reason[n - 1] == '\n')) reason[--n] = '\0';
    if (n == 0) std::snprintf(reason, sizeof reason, "errno %d", error_number);
    fail(d, VREL_PROBE_STATE_FAILED, "load failed", reason);
    return;
  }

  auto handshake = reinterpret_cast<HandshakeFn>(dlsym(handle, kHandshakeSymbol));
  if (handshake == nullptr) {
    dlclose(handle);
    fail(d, VREL_PROBE_STATE_FAILED,
         "incompatible: missing handshake symbol vrel_cuda_plugin_handshake_v1");
    return;
  }

  char message[kMessageCapacity] = {};
  VrelDiagnostic diag{abi::kDiagnosticSize, VREL_ABI_VERSION, message, sizeof message, 0, {}};
  CudaPluginApi api{};
  api.struct_size = sizeof(CudaPluginApi);
  if (handshake(VREL_ABI_VERSION, 0x10000u, &api, &diag) != VREL_STATUS_OK) {
    dlclose(handle);
    message[sizeof message - 1] = '\0';
    fail(d, VREL_PROBE_STATE_FAILED, "incompatible: handshake rejected", message);
    return;
  }
  if (const char* reason = check_api(api)) {
    dlclose(handle);
    fail(d, VREL_PROBE_STATE_FAILED, "incompatible", reason);
    return;
  }
  d.handle = handle;
  d.api = api;
  d.state = VREL_PROBE_STATE_LOADED;
  copy_text(d.status, sizeof d.status, "loaded");
}

namespace {

// The provider record: the module handle and table, set once and never released.
struct ProviderRecord {
  void* handle = nullptr;
  const OperationTable* table = nullptr;
};

ProviderRecord g_record;
std::once_flag g_once;

}  // namespace

const OperationTable* operations() noexcept {
  std::call_once(g_once, [] {
    static Discovery d;  // large; resolved once, so it need not live on a caller's stack
    discover(d);
    if (d.state != VREL_PROBE_STATE_LOADED) return;
    g_record.handle = d.handle;
    if ((d.api.flags & 2u) != 0) g_record.table = d.api.operations;
  });
  return g_record.table;
}

}  // namespace vrel::provider
