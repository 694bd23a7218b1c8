// CUDA requests of the texture exports go to the provider's entries unchanged; the workspace
// queries are answered by the core and never forwarded.
#include <gtest/gtest.h>

#include "tests/support/provider.hpp"
#include "tests/texture/texture_support.hpp"
#include "vrel/vrel.h"

using namespace vrel::test;

namespace {

const auto* kNoView = static_cast<const VrelTensorView*>(nullptr);

// Distinct fake addresses: the core must pass them on without looking at them.
template <typename T = VrelTensorView>
const T* fake(uintptr_t k) {
  return reinterpret_cast<const T*>(0x1000 * k);
}

}  // namespace

TEST(TextureForwarding, ComputeExportsCallTheirEntries) {
  VrelExecutionContext ctx = cuda_context(1, 0x77);
  auto* ws = const_cast<VrelBufferDescriptor*>(fake<VrelBufferDescriptor>(9));
  auto* diag = reinterpret_cast<VrelDiagnostic*>(0x9000);  // never touched on this path

  EXPECT_EQ(vrel_render_texture_pyramid(fake(1), 3, &ctx, fake(2), fake(3), ws, diag), 77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 184u);
  EXPECT_EQ(call.words[0], 0x1000u);
  EXPECT_EQ(call.words[1], 3u);
  EXPECT_EQ(call.words[2], as_word(&ctx));
  EXPECT_EQ(call.words[4], 0x3000u);
  EXPECT_EQ(call.words[6], as_word(diag));

  EXPECT_EQ(vrel_render_texture(fake(1), fake(2), 5, 8, fake(3), fake(4), kNoView, 2, 1, 3, 4,
                                fake(5), &ctx, fake(6), ws, diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 192u);
  const uint64_t expected[12] = {0x1000, 0x2000, 5, 8, 0x3000, 0x4000, 0, 2, 1, 3, 4, 0x5000};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(call.words[i], expected[i]) << i;

  EXPECT_EQ(vrel_render_texture_backward(fake(1), fake(2), 5, 8, fake(3), kNoView, fake(4), 1, 2, 1,
                                         2, kNoView, fake(5), &ctx, fake(6), fake(7), ws, diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 200u);
  EXPECT_EQ(call.words[6], 0x4000u);
  EXPECT_EQ(call.words[11], 0u);

  EXPECT_EQ(
      vrel_render_texture_pyramid_backward(fake(1), 5, 8, 3, fake(2), &ctx, fake(3), ws, diag), 77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 208u);
  const uint64_t backward[9] = {0x1000,       5, 8, 3, 0x2000, as_word(&ctx), 0x3000, as_word(ws),
                                as_word(diag)};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(call.words[i], backward[i]) << i;
}

TEST(TextureForwarding, WorkspaceQueriesAreNotForwarded) {
  VrelExecutionContext ctx = cuda_context();
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  const uint64_t calls = recorded_call_count();
  EXPECT_EQ(vrel_render_texture_workspace(4, 4, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, diag),
            2);
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(4, 4, 4, VREL_DTYPE_FLOAT32, &ctx, &bytes,
                                                  &alignment, diag),
            2);
  EXPECT_EQ(recorded_call_count(), calls);
}

// A table whose size word stops before the texture entries: they count as missing.
TEST(TextureSmallTable, EntriesPastTheSizeWordAreMissing) {
  VrelExecutionContext ctx = cuda_context();
  Diag diag;
  EXPECT_EQ(vrel_render_texture_pyramid(fake(1), 0, &ctx, fake(2), fake(3), nullptr, diag), 2);
  EXPECT_EQ(diag.text(), "the CUDA provider does not implement this operation");
  EXPECT_EQ(
      vrel_render_texture_pyramid_backward(fake(1), 1, 1, 1, fake(2), &ctx, fake(3), nullptr, diag),
      2);
  EXPECT_EQ(diag.text(), "the CUDA provider does not implement this operation");
}

// A provider that leaves the sampling entries null.
TEST(TextureNullEntries, NullEntriesAreRefused) {
  VrelExecutionContext ctx = cuda_context();
  Diag diag;
  EXPECT_EQ(vrel_render_texture(fake(1), fake(2), 1, 1, fake(3), kNoView, kNoView, 1, 1, 1, 1,
                                kNoView, &ctx, fake(4), nullptr, diag),
            2);
  EXPECT_EQ(diag.text(), "the CUDA provider does not implement this operation");
  EXPECT_EQ(
      vrel_render_texture_backward(fake(1), fake(2), 1, 1, fake(3), kNoView, kNoView, 1, 1, 1, 1,
                                   kNoView, fake(4), &ctx, fake(5), fake(6), nullptr, diag),
      2);
  // The pyramid entry is still there.
  EXPECT_EQ(vrel_render_texture_pyramid(fake(1), 0, &ctx, fake(2), fake(3), nullptr, diag), 77);
}

// Without a provider a CUDA request fails with the standard sentence and a null Diagnostic is fine.
TEST(TextureNoProvider, CudaRequestsAreRefused) {
  VrelExecutionContext ctx = cuda_context();
  Diag diag;
  EXPECT_EQ(vrel_render_texture_pyramid(fake(1), 0, &ctx, fake(2), fake(3), nullptr, diag), 2);
  EXPECT_EQ(diag.text(),
            "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU");
  EXPECT_EQ(vrel_render_texture(fake(1), fake(2), 1, 1, fake(3), kNoView, kNoView, 1, 1, 1, 1,
                                kNoView, &ctx, fake(4), nullptr, nullptr),
            2);
}
