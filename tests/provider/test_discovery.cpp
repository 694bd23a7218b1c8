// Provider discovery, handshake checks, forwarding and the probe. The operator path resolves
// once per process, so each scenario runs in a CTest entry of its own with its own
// VREL_CUDA_PLUGIN_PATH and test-provider mode (see CMakeLists.txt).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "abi/frame.hpp"
#include "tests/provider/test_provider.hpp"
#include "tests/support/views.hpp"

using namespace vrel;
using namespace vrel::test;

namespace {

struct Probe {
  VrelStatus status = 0;
  uint32_t state = 99;
  std::string path, text, message;
  uint32_t status_flags = 0;
  uint64_t records_required = 0, strings_required = 0;
  std::vector<VrelCapabilityRecord> records;
  std::vector<char> strings;
};

Probe probe() {
  Probe p;
  p.records.resize(64);
  p.strings.resize(16384);
  VrelCapabilityReport r{};
  r.struct_size = sizeof r;
  r.abi_version = VREL_ABI_VERSION;
  r.records = p.records.data();
  r.record_capacity = p.records.size();
  r.strings = p.strings.data();
  r.string_capacity = p.strings.size();
  Diag diag;
  p.status = vrel_capabilities_probe(VREL_PROBE_FULL, &r, diag);
  p.message = diag.text();
  p.status_flags = r.status_flags;
  p.records_required = r.records_required;
  p.strings_required = r.strings_required;
  p.records.resize(r.record_count);
  for (const auto& rec : p.records) {
    if (rec.category != VREL_CAPABILITY_CATEGORY_PROBE) continue;
    if (rec.key == VREL_CAPABILITY_PROBE_KEY_STATE) p.state = static_cast<uint32_t>(rec.value);
    if (rec.key == VREL_CAPABILITY_PROBE_KEY_PATH) p.path = rec.text;
    if (rec.key == VREL_CAPABILITY_PROBE_KEY_STATUS) p.text = rec.text;
  }
  return p;
}

// A forward through the face geometry entry (two inputs, a double, context, three outputs,
// workspace, diagnostic), which mixes pointers, a floating scalar and the trailing Diagnostic.
VrelStatus forward_shaped(VrelDiagnostic* diag) {
  VrelExecutionContext ctx = cuda_context(0, 1234);
  return frame::forward<&frame::Table::face_geometry>(diag, nullptr, nullptr, 0.5, &ctx, nullptr,
                                                      nullptr, nullptr, nullptr, diag);
}

// A forward through the window entry (offset 424), past the handshake's guaranteed bytes.
template <bool kCoveredOnly>
VrelStatus forward_window(const char* missing, VrelDiagnostic* diag) {
  VrelExecutionContext ctx = cuda_context();
  return frame::forward_entry<&frame::Table::rasterize_window>(
      missing, kCoveredOnly, diag, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0.0, 0u,
      0.0, &ctx, nullptr, nullptr, nullptr, nullptr, nullptr, diag);
}

void expect_no_provider() {
  EXPECT_EQ(provider::operations(), nullptr);
  Diag diag;
  EXPECT_EQ(forward_shaped(diag), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), frame::kNoProvider);
}

template <typename Fn>
Fn provider_symbol(const char* name) {
  void* handle = dlopen(VREL_TEST_PROVIDER_PATH, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(handle, nullptr) << "the test provider is not loaded";
  if (handle == nullptr) return nullptr;
  auto fn = reinterpret_cast<Fn>(dlsym(handle, name));
  dlclose(handle);
  return fn;
}

}  // namespace

TEST(ProviderMissing, NotFoundAndNoProvider) {
  const Probe p = probe();
  EXPECT_EQ(p.status, VREL_STATUS_OK);
  EXPECT_EQ(p.state, VREL_PROBE_STATE_NOT_FOUND);
  EXPECT_EQ(p.text, "not found");
  EXPECT_EQ(p.status_flags, 6u | 3u);
  EXPECT_EQ(p.records.size(), 15u);
  expect_no_provider();
}

TEST(ProviderRelative, AbsolutePathRequired) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.text, "invalid explicit path: an absolute path is required");
  EXPECT_EQ(p.status_flags, 10u | 3u);
  expect_no_provider();
}

TEST(ProviderTooLong, PathMustFitTheLoaderBuffer) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.path, "<path too long>");
  EXPECT_EQ(p.text, "invalid explicit path: exceeds loader capacity");
}

TEST(ProviderEmpty, EmptyPathSearchesBesideTheCore) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_NOT_FOUND);
  const std::string suffix = "/libvrel_cuda12.so";
  ASSERT_GE(p.path.size(), suffix.size());
  EXPECT_EQ(p.path.substr(p.path.size() - suffix.size()), suffix);
  EXPECT_EQ(p.path[0], '/');
}

TEST(ProviderDirectory, DirectoryIsNotFound) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_NOT_FOUND);
  EXPECT_EQ(p.text, "not found");
}

TEST(ProviderTextFile, RefusedBeforeLoading) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.text, "load failed: invalid shared-library header");
  expect_no_provider();
}

TEST(ProviderBrokenElf, LoaderErrorIsReported) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.text.rfind("load failed: ", 0), 0u) << p.text;
  EXPECT_GT(p.text.size(), std::string("load failed: ").size());
  EXPECT_EQ(p.text.find('\n'), std::string::npos);
}

TEST(ProviderMissingSymbol, Refused) {
  const Probe p = probe();
  EXPECT_EQ(p.text, "incompatible: missing handshake symbol vrel_cuda_plugin_handshake_v1");
  expect_no_provider();
}

TEST(ProviderRejects, HandshakeMessageIsKept) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.text, "incompatible: handshake rejected: the test provider refuses this core");
  expect_no_provider();
}

// One scenario per broken interface record; the expected reason comes from the CTest entry.
TEST(ProviderIncompatible, ReasonIsReported) {
  const char* expected = std::getenv("VREL_TEST_EXPECTED_STATUS");
  ASSERT_NE(expected, nullptr);
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_FAILED);
  EXPECT_EQ(p.text, expected);
  expect_no_provider();
}

TEST(ProviderFlagsOne, AcceptedButWithoutOperations) {
  const Probe p = probe();
  EXPECT_EQ(p.state, VREL_PROBE_STATE_LOADED);
  EXPECT_EQ(p.text, "loaded");
  expect_no_provider();
}

// The plug-in loads, but its capability provider fails the sizing call: its status comes back
// with the probe's text, and the operator path keeps the provider.
TEST(ProviderCapabilityFails, StatusAndMessageAreReturned) {
  const Probe p = probe();
  EXPECT_EQ(p.status, VREL_STATUS_IO_ERROR);
  EXPECT_EQ(p.message,
            "loaded; capability probe failed: the test provider cannot list its devices");
  EXPECT_TRUE(p.records.empty());
  EXPECT_NE(provider::operations(), nullptr);
}

// The filling call fails without a message after a sizing call that left one: the stale sentence
// is not reported, and the required counts include the plug-in's.
TEST(ProviderCapabilityFailsLater, FreshMessageAndUpdatedCounts) {
  const Probe p = probe();
  EXPECT_EQ(p.status, VREL_STATUS_IO_ERROR);
  EXPECT_EQ(p.message, "the CUDA provider could not fill its capability records");
  EXPECT_TRUE(p.records.empty());
  EXPECT_EQ(p.records_required, 12u + 3u + 1u);
  VrelCapabilityReport sizing{};
  sizing.struct_size = sizeof sizing;
  sizing.abi_version = VREL_ABI_VERSION;
  ASSERT_EQ(vrel_capabilities_query(&sizing, nullptr), VREL_STATUS_INSUFFICIENT_CAPACITY);
  const std::size_t probe_texts =
      std::strlen(VREL_TEST_PROVIDER_PATH) + 1 + std::strlen("loaded") + 1;
  EXPECT_EQ(p.strings_required, sizing.strings_required + probe_texts + sizeof "test-provider");
}

// A plug-in that reports more records than it was given room for, or a text in its own memory
// (which dangles once the probe unloads it), is refused rather than passed on to the caller.
TEST(ProviderCapabilityOutside, RecordsOutsideTheBuffersAreRefused) {
  const Probe p = probe();
  EXPECT_EQ(p.status, VREL_STATUS_ABI_MISMATCH);
  EXPECT_EQ(p.message, "the CUDA provider reported capability records outside the report buffers");
  EXPECT_TRUE(p.records.empty());
}

TEST(ProviderGood, ForwardsArgumentsUnchangedAndReturnsTheStatus) {
  ASSERT_NE(provider::operations(), nullptr);
  Diag diag;
  diag->struct_size = 1;  // the CUDA branch does not reset or check the Diagnostic
  VrelExecutionContext ctx = cuda_context(1, 0xABCDEF);
  float marker[4];
  auto* a = reinterpret_cast<const VrelTensorView*>(&marker[0]);
  auto* b = reinterpret_cast<const VrelTensorView*>(&marker[1]);
  auto* o1 = reinterpret_cast<VrelTensorView*>(&marker[2]);
  auto* ws = reinterpret_cast<VrelBufferDescriptor*>(&marker[3]);
  const VrelStatus st = frame::forward<&frame::Table::face_geometry>(
      diag.get(), a, b, 0.25, &ctx, o1, nullptr, o1, ws, diag.get());
  EXPECT_EQ(st, 77);
  const RecordedCall* call = provider_symbol<LastCallFn>("vrel_test_provider_last_call")();
  EXPECT_EQ(call->offset, 16u);
  EXPECT_EQ(call->words[0], reinterpret_cast<uint64_t>(a));
  EXPECT_EQ(call->words[1], reinterpret_cast<uint64_t>(b));
  EXPECT_EQ(call->words[2], reinterpret_cast<uint64_t>(&ctx));
  EXPECT_EQ(call->words[3], reinterpret_cast<uint64_t>(o1));
  EXPECT_EQ(call->words[4], 0u);
  EXPECT_EQ(call->words[5], reinterpret_cast<uint64_t>(o1));
  EXPECT_EQ(call->words[6], reinterpret_cast<uint64_t>(ws));
  EXPECT_EQ(call->words[7], reinterpret_cast<uint64_t>(diag.get()));
  EXPECT_EQ(call->reals[0], 0.25);

  uint64_t bytes = 0, alignment = 0;
  const uint64_t counts[2] = {5, 9};
  EXPECT_EQ(
      frame::forward_query(10, counts, 2, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, nullptr),
      77);
  call = provider_symbol<LastCallFn>("vrel_test_provider_last_call")();
  EXPECT_EQ(call->offset, 8u);
  EXPECT_EQ(call->words[0], 10u);
  EXPECT_EQ(call->words[1], reinterpret_cast<uint64_t>(counts));
  EXPECT_EQ(call->words[2], 2u);
  EXPECT_EQ(static_cast<uint32_t>(call->words[3]), VREL_DTYPE_FLOAT64);
  EXPECT_EQ(call->words[4], reinterpret_cast<uint64_t>(&ctx));
}

TEST(ProviderGood, NullEntryIsNotImplemented) {
  // The CTest entry leaves offset 24 null.
  Diag diag;
  VrelExecutionContext ctx = cuda_context();
  EXPECT_EQ(
      frame::forward<&frame::Table::face_geometry_backward>(
          diag.get(), nullptr, nullptr, 0.0, nullptr, nullptr, &ctx, nullptr, nullptr, diag.get()),
      VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), frame::kNotImplemented);
}

TEST(ProviderGood, SizeWordCoversLateEntries) {
  // The CTest entry sets the size word to 424: offset 416 is covered, 424 is not.
  const provider::OperationTable* table = provider::operations();
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(provider::covers(table, 416));
  EXPECT_FALSE(provider::covers(table, 424));
  EXPECT_NE(provider::entry<&frame::Table::evaluate_barycentric_backward>(table), nullptr);
  EXPECT_EQ(provider::entry<&frame::Table::rasterize_window>(table), nullptr);
  Diag diag;
  EXPECT_EQ(forward_window<true>("late entry missing", diag.get()), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), "late entry missing");
  // The usual form applies the same rule past the guaranteed 184 bytes.
  EXPECT_EQ(forward_window<false>(frame::kNotImplemented, diag.get()), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), frame::kNotImplemented);
  VrelExecutionContext ctx = cuda_context();
  EXPECT_EQ(frame::forward<&frame::Table::evaluate_barycentric_backward>(
                diag.get(), nullptr, nullptr, nullptr, nullptr, nullptr, &ctx, nullptr, nullptr,
                nullptr, diag.get()),
            77);
}

TEST(ProviderGood, ProbeReportsTheProviderRecords) {
  const Probe p = probe();
  EXPECT_EQ(p.status, VREL_STATUS_OK) << p.message;
  EXPECT_EQ(p.state, VREL_PROBE_STATE_LOADED);
  EXPECT_EQ(p.text, "loaded");
  EXPECT_EQ(p.path, VREL_TEST_PROVIDER_PATH);
  EXPECT_EQ(p.status_flags, 0x10u | 2u | 3u);
  ASSERT_EQ(p.records.size(), 16u);
  EXPECT_EQ(std::string(p.records[15].text), "test-provider");
  // The provider's string lies in the caller's pool.
  EXPECT_GE(p.records[15].text, p.strings.data());
  EXPECT_LT(p.records[15].text, p.strings.data() + p.strings.size());
}

TEST(ProviderConcurrent, HandshakeRunsOnceForManyFirstCallers) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::vector<const provider::OperationTable*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      seen[i] = provider::operations();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto* table : seen) EXPECT_EQ(table, seen[0]);
  EXPECT_EQ(provider_symbol<HandshakeCountFn>("vrel_test_provider_handshake_count")(), 1u);
}
