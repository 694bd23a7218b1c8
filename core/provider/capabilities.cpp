// The capability report: the core's twelve records and, for a probe, the provider's state and
// its own records, filled into caller buffers with the two-call sizing pattern.
#include <dlfcn.h>

#include <cstring>
#include <memory>

#include "abi/status.hpp"
#include "provider/discovery.hpp"

namespace vrel::provider {
namespace {

#define VREL_STRINGIFY_(x) #x
#define VREL_STRINGIFY(x) VREL_STRINGIFY_(x)

#if defined(__x86_64__)
constexpr const char* kProcessor = "x86_64";
#elif defined(__aarch64__)
constexpr const char* kProcessor = "aarch64";
#elif defined(__i386__)
constexpr const char* kProcessor = "x86";
#else
constexpr const char* kProcessor = "unknown";
#endif

#if defined(__clang__)
constexpr const char* kCompiler = "clang-" VREL_STRINGIFY(__clang_major__);
#elif defined(__GNUC__)
constexpr const char* kCompiler = "gcc-" VREL_STRINGIFY(__GNUC__);
#else
constexpr const char* kCompiler = "unknown";
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr const char* kByteOrder = "big";
#else
constexpr const char* kByteOrder = "little";
#endif

struct CoreRecord {
  uint32_t category;
  uint32_t key;
  uint32_t value_type;
  uint64_t value;
  const char* text;
};

constexpr uint32_t kInt = VREL_CAPABILITY_INTEGER;
constexpr uint32_t kStr = VREL_CAPABILITY_STRING;
constexpr uint32_t kBool = VREL_CAPABILITY_BOOLEAN;

const CoreRecord kCoreRecords[] = {
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_ABI_VERSION, kInt, VREL_ABI_VERSION,
     nullptr},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_LIBRARY_VERSION, kStr, 0, "0.2.0"},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_MAX_RANK, kInt, VREL_MAX_TENSOR_RANK,
     nullptr},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_OS, kStr, 0, "linux"},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_PROCESSOR, kStr, 0, kProcessor},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_COMPILER, kStr, 0, kCompiler},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_BYTE_ORDER, kStr, 0, kByteOrder},
    {VREL_CAPABILITY_CATEGORY_BACKEND, VREL_CAPABILITY_KEY_CPU_BACKEND, kBool, 1, nullptr},
    {VREL_CAPABILITY_CATEGORY_BACKEND, VREL_CAPABILITY_KEY_CORE_CUDA_BACKEND, kBool, 0, nullptr},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_COUNT_BITS, kInt, 62, nullptr},
    {VREL_CAPABILITY_CATEGORY_BUILD, VREL_CAPABILITY_KEY_DEVICE_TYPES, kInt, 2, nullptr},
    {VREL_CAPABILITY_CATEGORY_INPUT, VREL_CAPABILITY_KEY_PLY_DIGITS, kInt, 19, nullptr},
};
constexpr uint64_t kCoreRecordCount = sizeof kCoreRecords / sizeof kCoreRecords[0];
constexpr uint64_t kProbeRecordCount = 3;

VrelStatus fail(VrelDiagnostic* diag, VrelStatus status, const char* message) noexcept {
  return abi::diag_write(diag, status, message);
}

// Appends records to the caller's arrays; the space has been checked beforehand.
struct Writer {
  VrelCapabilityRecord* record;
  char* pool;

  void put(uint32_t category, uint32_t key, uint32_t value_type, uint64_t value,
           const char* text) noexcept {
    VrelCapabilityRecord r{};
    r.struct_size = sizeof(VrelCapabilityRecord);
    r.abi_version = VREL_ABI_VERSION;
    r.category = category;
    r.key = key;
    r.value_type = value_type;
    r.value = value;
    if (text != nullptr) {
      const std::size_t size = std::strlen(text) + 1;
      std::memcpy(pool, text, size);
      r.text = pool;
      r.text_size = size;
      pool += size;
    }
    std::memcpy(record++, &r, sizeof r);
  }
};

uint64_t text_bytes(const char* text) noexcept { return text ? std::strlen(text) + 1 : 0; }

uint64_t core_string_bytes() noexcept {
  uint64_t total = 0;
  for (const CoreRecord& r : kCoreRecords) total += text_bytes(r.text);
  return total;
}

// Checks 1 to 4 shared by the query and the probe.
VrelStatus check_report(const VrelCapabilityReport* report, VrelDiagnostic* diag) noexcept {
  VREL_TRY(abi::check_header(report, report ? report->struct_size : 0,
                             report ? report->abi_version : 0, sizeof(VrelCapabilityReport),
                             "capability report pointer is null", diag));
  if (!abi::reserved_zero(report->reserved, 4))
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "capability report reserved fields must be zero");
  if (report->record_capacity > 0 && report->records == nullptr)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "nonzero record capacity requires a record buffer");
  if (report->string_capacity > 0 && report->strings == nullptr)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT,
                "nonzero string capacity requires a string buffer");
  return VREL_STATUS_OK;
}

void write_sizes(VrelCapabilityReport* report, uint64_t records, uint64_t strings,
                 uint32_t probe_flags, uint32_t status_flags) noexcept {
  report->record_count = 0;
  report->records_required = records;
  report->strings_end = nullptr;
  report->strings_required = strings;
  report->probe_flags = probe_flags;
  report->status_flags = status_flags;
}

bool fits(const VrelCapabilityReport* report) noexcept {
  return report->record_capacity >= report->records_required &&
         report->string_capacity >= report->strings_required &&
         (report->records_required == 0 || report->records != nullptr) &&
         (report->strings_required == 0 || report->strings != nullptr);
}

VrelStatus too_small(VrelDiagnostic* diag) noexcept {
  return fail(diag, VREL_STATUS_INSUFFICIENT_CAPACITY, "capability report buffers are too small");
}

// A report handed to the plug-in's capability provider over part of the caller's arrays.
VrelCapabilityReport plugin_report(VrelCapabilityRecord* records, uint64_t record_capacity,
                                   char* strings, uint64_t string_capacity) noexcept {
  VrelCapabilityReport r{};
  r.struct_size = sizeof(VrelCapabilityReport);
  r.abi_version = VREL_ABI_VERSION;
  r.records = records;
  r.record_capacity = records ? record_capacity : 0;
  r.strings = strings;
  r.string_capacity = strings ? string_capacity : 0;
  return r;
}

// Whether a filled plug-in report stays within the arrays it was given: its record count, its
// pool end, and every string record's text (terminated inside the used pool).
bool within_arrays(const VrelCapabilityReport& r) noexcept {
  if (r.record_count > r.record_capacity) return false;
  const char* pool = r.strings;
  const char* end = r.strings_end != nullptr ? r.strings_end : pool;
  if (pool == nullptr ? end != nullptr
                      : (end < pool || static_cast<uint64_t>(end - pool) > r.string_capacity))
    return false;
  for (uint64_t i = 0; i < r.record_count; ++i) {
    const VrelCapabilityRecord& record = r.records[i];
    if (record.value_type != VREL_CAPABILITY_STRING) continue;
    const char* text = record.text;
    if (pool == nullptr || text < pool || text >= end || record.text_size == 0 ||
        record.text_size > static_cast<uint64_t>(end - text) || text[record.text_size - 1] != '\0')
      return false;
  }
  return true;
}

// Unloads the probe's copy of the plug-in however the probe ends.
struct LoadedPlugin {
  void* handle;
  ~LoadedPlugin() {
    if (handle != nullptr) dlclose(handle);
  }
};

}  // namespace
}  // namespace vrel::provider

using namespace vrel::provider;

extern "C" VREL_API VrelStatus vrel_capabilities_query(
    VrelCapabilityReport* report, VrelDiagnostic* diag) noexcept {
  VREL_TRY(vrel::abi::diag_reset(diag));
  VREL_TRY(check_report(report, diag));
  write_sizes(report, kCoreRecordCount, core_string_bytes(), 0, 1);
  if (!fits(report)) return too_small(diag);
  Writer w{report->records, report->strings};
  for (const CoreRecord& r : kCoreRecords) w.put(r.category, r.key, r.value_type, r.value, r.text);
  report->record_count = kCoreRecordCount;
  report->strings_end = w.pool;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_capabilities_probe(
    uint32_t flags, VrelCapabilityReport* report, VrelDiagnostic* diag) noexcept {
  VREL_TRY(vrel::abi::diag_reset(diag));
  // Unknown bits are looked at first, so flags 4 is an unsupported flag (2) rather than a
  // missing full-probe bit (1), as with the unsupported-flag test of a tensor view.
  if (flags >= 4)
    return fail(diag, VREL_STATUS_UNSUPPORTED, "capability probe contains an unsupported flag");
  if ((flags & VREL_PROBE_FULL) == 0)
    return fail(diag, VREL_STATUS_INVALID_ARGUMENT, "the full capability-probe flag is required");
  VREL_TRY(check_report(report, diag));

  auto discovery = std::make_unique<Discovery>();  // 5 KiB of texts: keep them off the stack
  Discovery& d = *discovery;
  discover(d);
  LoadedPlugin plugin{d.handle};

  // First provider call: learn the plug-in's record and string counts.
  uint64_t plugin_records = 0;
  uint64_t plugin_strings = 0;
  uint32_t probe_bits = d.state == VREL_PROBE_STATE_NOT_FOUND ? 6u : 10u;
  char message[kMessageCapacity] = {};
  VrelDiagnostic plugin_diag{
      vrel::abi::kDiagnosticSize, VREL_ABI_VERSION, message, sizeof message, 0, {}};
  if (d.state == VREL_PROBE_STATE_LOADED) {
    VrelCapabilityReport sizing = plugin_report(nullptr, 0, nullptr, 0);
    const VrelStatus st = d.api.capability_provider(flags, &sizing, &plugin_diag);
    if (st != VREL_STATUS_OK && st != VREL_STATUS_INSUFFICIENT_CAPACITY) {
      message[sizeof message - 1] = '\0';
      compose_status(d.status, sizeof d.status, "loaded; capability probe failed", message);
      return fail(diag, st, d.status);
    }
    plugin_records = sizing.records_required;
    plugin_strings = sizing.strings_required;
    probe_bits = sizing.status_flags | 2u;
  }

  const uint64_t own_records = kCoreRecordCount + kProbeRecordCount;
  const uint64_t own_strings = core_string_bytes() + text_bytes(d.path) + text_bytes(d.status);
  write_sizes(report, own_records + plugin_records, own_strings + plugin_strings, flags,
              probe_bits | 3u);
  if (!fits(report)) return too_small(diag);

  Writer w{report->records, report->strings};
  for (const CoreRecord& r : kCoreRecords) w.put(r.category, r.key, r.value_type, r.value, r.text);
  w.put(VREL_CAPABILITY_CATEGORY_PROBE, VREL_CAPABILITY_PROBE_KEY_STATE, VREL_CAPABILITY_INTEGER,
        d.state, nullptr);
  w.put(VREL_CAPABILITY_CATEGORY_PROBE, VREL_CAPABILITY_PROBE_KEY_PATH, VREL_CAPABILITY_STRING, 0,
        d.path);
  w.put(VREL_CAPABILITY_CATEGORY_PROBE, VREL_CAPABILITY_PROBE_KEY_STATUS, VREL_CAPABILITY_STRING, 0,
        d.status);

  uint64_t total_records = own_records;
  char* pool_end = w.pool;
  if (d.state == VREL_PROBE_STATE_LOADED) {
    // Second provider call, over the rest of the caller's arrays: the plug-in writes its records
    // and strings there directly, so its text pointers already lie in the caller's pool.
    const uint64_t used_strings = static_cast<uint64_t>(w.pool - report->strings);
    VrelCapabilityReport rest =
        plugin_report(report->records + own_records, report->record_capacity - own_records,
                      report->strings ? w.pool : nullptr, report->string_capacity - used_strings);
    // A fresh message: a sentence left by the sizing call must not stand for this call's failure.
    message[0] = '\0';
    plugin_diag.message_required = 0;
    const VrelStatus st = d.api.capability_provider(flags, &rest, &plugin_diag);
    if (st != VREL_STATUS_OK) {
      report->records_required = own_records + rest.records_required;
      report->strings_required = used_strings + rest.strings_required;
      message[sizeof message - 1] = '\0';
      if (message[0] != '\0') return fail(diag, st, message);
      return fail(diag, st,
                  st == VREL_STATUS_INSUFFICIENT_CAPACITY
                      ? "capability report buffers are too small"
                      : "the CUDA provider could not fill its capability records");
    }
    // The plug-in is unloaded when the probe returns, so nothing it reports may point outside
    // the caller's arrays: a text in its own memory would dangle.
    if (!within_arrays(rest))
      return fail(diag, VREL_STATUS_ABI_MISMATCH,
                  "the CUDA provider reported capability records outside the report buffers");
    total_records += rest.record_count;
    if (rest.strings_end != nullptr) pool_end = rest.strings_end;
  }
  report->record_count = total_records;
  report->records_required = total_records;
  report->strings_end = pool_end;
  report->strings_required = static_cast<uint64_t>(pool_end - report->strings);
  return VREL_STATUS_OK;
}
