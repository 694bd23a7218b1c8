// Discovery, loading and handshake of the CUDA provider plug-in. This is the only code of the
// core that loads libraries.
#pragma once

#include <cstdint>

#include "abi/provider_table.hpp"
#include "vrel/vrel.h"

namespace vrel::provider {

// Interface record filled by the plug-in's handshake (88 bytes).
struct CudaPluginApi {
  uint32_t struct_size;
  uint32_t abi_version;
  uint32_t min_core_abi;
  uint32_t max_core_abi;
  uint64_t flags;  // bit 0: capability provider, bit 1: operation table
  const char* build_identity;
  VrelStatus (*capability_provider)(uint32_t flags, VrelCapabilityReport* report,
                                    VrelDiagnostic* diag);
  const OperationTable* operations;
  uint64_t reserved[5];
};
static_assert(sizeof(CudaPluginApi) == 88);

using HandshakeFn = VrelStatus (*)(uint32_t core_abi, uint32_t interface_version,
                                   CudaPluginApi* api, VrelDiagnostic* diag);

inline constexpr const char* kHandshakeSymbol = "vrel_cuda_plugin_handshake_v1";
inline constexpr const char* kPluginFileName = "libvrel_cuda12.so";
inline constexpr std::size_t kPathCapacity = 4096;
inline constexpr std::size_t kMessageCapacity = 1024;

// Outcome of one discovery. On success `handle` is the loaded module and `api` the checked record;
// the caller owns the handle (the operator path keeps it, the probe closes it).
struct Discovery {
  uint32_t state = VREL_PROBE_STATE_NOT_FOUND;
  void* handle = nullptr;
  CudaPluginApi api{};
  char path[kPathCapacity] = {};
  char status[kMessageCapacity] = {};
};

// Runs the whole discovery: locate, check the file header, load, resolve and call the handshake,
// check the record. Never throws; every failure is a state and a status text.
void discover(Discovery& result) noexcept;

// Composes "main" or "main: detail" into a buffer of `capacity` bytes, cutting what does not fit.
void compose_status(char* out, std::size_t capacity, const char* main, const char* detail) noexcept;

}  // namespace vrel::provider
