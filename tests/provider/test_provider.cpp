// A stand-in CUDA provider for the tests: it honours the handshake and the table layout, records
// every operation call and returns a chosen status. Its behaviour is chosen by environment
// variables (see test_provider.hpp), so one build covers the good and the broken providers.
#include "tests/provider/test_provider.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "abi/provider_table.hpp"
#include "vrel/vrel.h"

#define TEST_PROVIDER_API extern "C" __attribute__((visibility("default")))

namespace {

// The table's layout is the core's; the provider fills every entry with a recording function.
constexpr int kEntries = std::size(vrel::provider::kEntryNames);
struct Table {
  uint32_t size;
  uint32_t unread;
  void* entries[kEntries];
};
static_assert(sizeof(Table) == sizeof(vrel::provider::OperationTable));

Table g_table;
std::mutex g_mutex;
vrel::test::RecordedCall g_last{};
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_handshakes{0};
VrelStatus g_status = 77;

// Reads the integer-class arguments in order and the first floating arguments in order: on the
// x86-64 System V convention they travel in separate register files, so this signature sees the
// arguments of any entry that has at most twelve integer and four floating parameters.
template <int Slot>
VrelStatus record(uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5,
                  uint64_t a6, uint64_t a7, uint64_t a8, uint64_t a9, uint64_t a10, uint64_t a11,
                  double r0, double r1, double r2, double r3) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_last = {8u + 8u * Slot, {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11}, {r0, r1, r2, r3}};
  g_calls.fetch_add(1);
  return g_status;
}

template <int... Slot>
void fill_entries(std::integer_sequence<int, Slot...>) {
  ((g_table.entries[Slot] = reinterpret_cast<void*>(&record<Slot>)), ...);
}

std::string g_mode = "good";

void write_message(VrelDiagnostic* diag, const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  if (diag && diag->message && diag->message_capacity >= size) {
    std::memcpy(diag->message, text, size);
    diag->message_required = size;
  }
}

// Publishes one string record, "test-provider", and status bits 0x10. Mode cap_fails fails the
// sizing call with status 5; mode cap_fails_later explains its sizing answer in the Diagnostic
// and then fails the filling call with status 5 and no message. Modes cap_overcount and
// cap_own_text break the report's contract: more records than room, a text in the plug-in's own
// memory.
VrelStatus capability_provider(uint32_t, VrelCapabilityReport* report, VrelDiagnostic* diag) {
  static const char kText[] = "test-provider";
  if (g_mode == "cap_fails") {
    write_message(diag, "the test provider cannot list its devices");
    return VREL_STATUS_IO_ERROR;
  }
  report->records_required = 1;
  report->strings_required = sizeof kText;
  report->status_flags = 0x10;
  if (report->record_capacity < 1 || report->string_capacity < sizeof kText ||
      report->records == nullptr || report->strings == nullptr) {
    if (g_mode == "cap_fails_later") write_message(diag, "the test provider needs one record");
    return VREL_STATUS_INSUFFICIENT_CAPACITY;
  }
  if (g_mode == "cap_fails_later") return VREL_STATUS_IO_ERROR;
  if (g_mode == "cap_overcount") report->record_count = report->record_capacity + 1;
  if (g_mode == "cap_overcount") return VREL_STATUS_OK;
  std::memcpy(report->strings, kText, sizeof kText);
  VrelCapabilityRecord r{};
  r.struct_size = sizeof r;
  r.abi_version = VREL_ABI_VERSION;
  r.category = 32;
  r.key = 1;
  r.value_type = VREL_CAPABILITY_STRING;
  r.text = g_mode == "cap_own_text" ? kText : report->strings;  // own text: dangles after unload
  r.text_size = sizeof kText;
  report->records[0] = r;
  report->record_count = 1;
  report->strings_end = report->strings + sizeof kText;
  return VREL_STATUS_OK;
}

std::string env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

// Byte offset of the entry called `name`; an unknown name stops the test run.
std::size_t entry_offset(const std::string& name) {
  for (const vrel::provider::EntryName& e : vrel::provider::kEntryNames)
    if (name == e.name) return e.offset;
  std::fprintf(stderr, "test provider: no table entry is called '%s'\n", name.c_str());
  std::abort();
}

struct Api {
  uint32_t struct_size, abi_version, min_core_abi, max_core_abi;
  uint64_t flags;
  const char* build_identity;
  void* capability_provider;
  const void* operations;
  uint64_t reserved[5];
};

}  // namespace

TEST_PROVIDER_API VrelStatus vrel_cuda_plugin_handshake_v1(uint32_t, uint32_t, Api* api,
                                                           VrelDiagnostic* diag) {
  g_handshakes.fetch_add(1);
  if (const std::string delay = env("VREL_TEST_PROVIDER_DELAY_MS"); !delay.empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay.c_str())));
  const std::string mode = env("VREL_TEST_PROVIDER_MODE", "good");
  g_mode = mode;
  g_status = std::atoi(env("VREL_TEST_PROVIDER_STATUS", "77").c_str());

  fill_entries(std::make_integer_sequence<int, kEntries>{});
  g_table.size = sizeof g_table;
  if (const std::string end = env("VREL_TEST_PROVIDER_ENDS_BEFORE"); !end.empty())
    g_table.size = static_cast<uint32_t>(entry_offset(end));
  std::string nulls = env("VREL_TEST_PROVIDER_NULL");
  for (char* tok = std::strtok(nulls.data(), ", \n"); tok; tok = std::strtok(nullptr, ", \n"))
    g_table.entries[(entry_offset(tok) - 8) / 8] = nullptr;

  if (mode == "reject") {
    write_message(diag, "the test provider refuses this core");
    return 1;
  }
  api->struct_size = 88;
  api->abi_version = mode == "abi10001" ? 0x10001u : 0x10000u;
  api->min_core_abi = 0x10000;
  api->max_core_abi = 0x10000;
  api->flags = mode == "flags1" ? 1u : 3u;
  api->build_identity = mode == "no_identity" ? "" : "vrel test provider";
  api->capability_provider = reinterpret_cast<void*>(&capability_provider);
  api->operations = mode == "no_table" ? nullptr : &g_table;
  if (mode == "small_table") g_table.size = 176;
  if (mode == "reserved") api->reserved[2] = 1;
  if (mode == "old_struct") api->struct_size = 44;
  return 0;
}

TEST_PROVIDER_API const vrel::test::RecordedCall* vrel_test_provider_last_call() {
  std::lock_guard<std::mutex> lock(g_mutex);
  static vrel::test::RecordedCall copy;
  copy = g_last;
  return &copy;
}
TEST_PROVIDER_API uint64_t vrel_test_provider_call_count() { return g_calls.load(); }
TEST_PROVIDER_API uint64_t vrel_test_provider_handshake_count() { return g_handshakes.load(); }
TEST_PROVIDER_API const void* vrel_test_provider_table() { return &g_table; }
