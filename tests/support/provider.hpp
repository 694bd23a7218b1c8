// Access to the recording test provider from a family's tests. Such a test runs in a CTest entry
// made with vrel_add_provider_test(NAME TARGET FILTER [ENV...]), which points
// VREL_CUDA_PLUGIN_PATH at the test provider (optionally with VREL_TEST_PROVIDER_NULL=<entry
// names>, VREL_TEST_PROVIDER_STATUS=<status>, VREL_TEST_PROVIDER_ENDS_BEFORE=<entry name>).
//
//   VrelExecutionContext ctx = cuda_context(0, 0x1234);
//   EXPECT_EQ(vrel_mesh_gather_faces(v, f, &ctx, out, nullptr, diag), 77);
//   const RecordedCall& call = recorded_call();
//   EXPECT_EQ(call.offset, 48u);
//   EXPECT_EQ(call.words[0], as_word(v));   // integer and pointer arguments in order
//   EXPECT_EQ(call.reals[0], 0.5);          // double arguments in order
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "tests/provider/test_provider.hpp"

namespace vrel::test {

template <typename Fn>
Fn test_provider_symbol(const char* name) {
  void* handle = dlopen(VREL_TEST_PROVIDER_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  auto fn = reinterpret_cast<Fn>(dlsym(handle, name));
  dlclose(handle);
  return fn;
}

// The last call any provider entry received (the provider must have been loaded by the core).
inline RecordedCall recorded_call() {
  auto fn = test_provider_symbol<LastCallFn>("vrel_test_provider_last_call");
  EXPECT_NE(fn, nullptr) << "the recording test provider is not loaded";
  return fn ? *fn() : RecordedCall{};
}

// Number of entry calls so far.
inline uint64_t recorded_call_count() {
  auto fn = test_provider_symbol<CallCountFn>("vrel_test_provider_call_count");
  return fn ? fn() : 0;
}

template <typename T>
uint64_t as_word(T* pointer) {
  return reinterpret_cast<uint64_t>(pointer);
}

}  // namespace vrel::test
