// The CUDA branch of the render exports with the recording test provider: arguments are handed
// over unchanged, whole-image windows reach the rasterize entry, true windows the raster-window
// entry under the size-word rule, and missing providers or entries are refused.
#include <gtest/gtest.h>

#include "tests/support/provider.hpp"
#include "tests/support/views.hpp"

using namespace vrel::test;

namespace {

// Operands that would fail every CPU check: only the window bounds are judged by the core.
struct Unchecked {
  VrelExecutionContext ctx = cuda_context(1, 0xABCD);
  VrelTensorView v[12] = {};
  Diag diag;
  VrelTensorView* at(int i) { return &v[i]; }
  const VrelBufferDescriptor* ws() { return reinterpret_cast<const VrelBufferDescriptor*>(at(11)); }

  VrelStatus window(int64_t gh, int64_t gw, int64_t r0, int64_t c0, int64_t h, int64_t w) {
    return vrel_render_rasterize_window(at(0), at(1), at(2), at(3), gh, gw, r0, c0, h, w, -3, -1.5,
                                        9, -2.0, &ctx, at(4), at(5), at(6), at(7), ws(), diag);
  }
  VrelStatus whole() {
    return vrel_render_rasterize(at(0), at(1), at(2), at(3), 6, 8, -3, -1.5, 9, -2.0, &ctx, at(4),
                                 at(5), at(6), at(7), ws(), diag);
  }
  VrelStatus backward() {
    return vrel_render_rasterize_backward(at(0), at(1), -4, 0, at(2), nullptr, at(3), at(4), &ctx,
                                          at(5), ws(), diag);
  }
  VrelStatus interpolate() {
    return vrel_render_interpolate(at(0), at(1), at(2), &ctx, at(3), ws(), diag);
  }
  VrelStatus interpolate_backward() {
    return vrel_render_interpolate_backward(at(0), at(1), at(2), at(3), &ctx, nullptr, at(4), ws(),
                                            diag);
  }
};

// The rasterize entry's integer and pointer arguments for the image (6, 8).
void expect_rasterize_words(Unchecked& u, const RecordedCall& call) {
  EXPECT_EQ(call.offset, 152u);
  const uint64_t words[] = {as_word(u.at(0)),
                            as_word(u.at(1)),
                            as_word(u.at(2)),
                            as_word(u.at(3)),
                            6,
                            8,
                            static_cast<uint64_t>(-3),
                            9,
                            as_word(&u.ctx),
                            as_word(u.at(4)),
                            as_word(u.at(5)),
                            as_word(u.at(6))};
  // The cull mode travels as a 32-bit value; the upper half of its register is not defined.
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(i == 7 ? call.words[i] & 0xFFFFFFFFu : call.words[i], words[i]) << i;
  EXPECT_EQ(call.reals[0], -1.5);
  EXPECT_EQ(call.reals[1], -2.0);
}

}  // namespace

TEST(RenderForwarding, RasterizeAndWholeImageWindowsReachTheRasterizeEntry) {
  Unchecked u;
  ASSERT_EQ(u.whole(), 77);
  expect_rasterize_words(u, recorded_call());
  ASSERT_EQ(u.window(6, 8, 0, 0, 6, 8), 77);
  expect_rasterize_words(u, recorded_call());
}

TEST(RenderForwarding, TrueWindowsReachTheRasterWindowEntry) {
  Unchecked u;
  ASSERT_EQ(u.window(10, 12, 3, 4, 6, 8), 77);
  const RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 424u);
  const uint64_t words[] = {as_word(u.at(0)),
                            as_word(u.at(1)),
                            as_word(u.at(2)),
                            as_word(u.at(3)),
                            10,
                            12,
                            3,
                            4,
                            6,
                            8,
                            static_cast<uint64_t>(-3),
                            9};
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(i == 11 ? call.words[i] & 0xFFFFFFFFu : call.words[i], words[i]) << i;
  EXPECT_EQ(call.reals[0], -1.5);
  EXPECT_EQ(call.reals[1], -2.0);
}

TEST(RenderForwarding, WindowBoundsAreCheckedBeforeForwarding) {
  Unchecked u;
  const uint64_t before = recorded_call_count();
  EXPECT_EQ(u.window(10, 12, 5, 4, 6, 8), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(u.diag.text(), "invalid raster window bounds");
  EXPECT_EQ(u.window(10, 12, 0, 0, 6, 0), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(recorded_call_count(), before);
}

TEST(RenderForwarding, BackwardInterpolationAndQueries) {
  Unchecked u;
  ASSERT_EQ(u.backward(), 77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 160u);
  const uint64_t backward_words[] = {as_word(u.at(0)),          as_word(u.at(1)),
                                     static_cast<uint64_t>(-4), 0,
                                     as_word(u.at(2)),          0,
                                     as_word(u.at(3)),          as_word(u.at(4)),
                                     as_word(&u.ctx),           as_word(u.at(5)),
                                     as_word(u.ws()),           as_word(u.diag.get())};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(call.words[i], backward_words[i]) << i;

  ASSERT_EQ(u.interpolate(), 77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 168u);
  const uint64_t interp_words[] = {as_word(u.at(0)),     as_word(u.at(1)), as_word(u.at(2)),
                                   as_word(&u.ctx),      as_word(u.at(3)), as_word(u.ws()),
                                   as_word(u.diag.get())};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(call.words[i], interp_words[i]) << i;

  ASSERT_EQ(u.interpolate_backward(), 77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 176u);
  const uint64_t interp_back_words[] = {as_word(u.at(0)), as_word(u.at(1)), as_word(u.at(2)),
                                        as_word(u.at(3)), as_word(&u.ctx),  0,
                                        as_word(u.at(4)), as_word(u.ws()),  as_word(u.diag.get())};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(call.words[i], interp_back_words[i]) << i;

  uint64_t bytes = 0, align = 0;
  ASSERT_EQ(vrel_render_rasterize_workspace(-1, 2, 3, 4, 5, 7, &u.ctx, &bytes, &align, u.diag), 77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 8u);
  const uint64_t query_words[] = {
      10, 0, 0, 7, as_word(&u.ctx), as_word(&bytes), as_word(&align), as_word(u.diag.get())};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(call.words[i], query_words[i]) << i;
  ASSERT_EQ(vrel_render_interpolate_workspace(-1, -2, 9, &u.ctx, &bytes, &align, u.diag), 77);
  call = recorded_call();
  EXPECT_EQ(call.words[0], 11u);
  EXPECT_EQ(call.words[1], 0u);
  EXPECT_EQ(call.words[3], 9u);
}

// A table whose size word stops at the raster-window entry: true windows are refused, the
// rasterize entry still serves whole images.
TEST(RenderSmallTable, TrueWindowsNeedATableThatCoversTheEntry) {
  Unchecked u;
  EXPECT_EQ(u.window(10, 12, 3, 4, 6, 8), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), "CUDA provider lacks raster windows");
  EXPECT_EQ(u.window(6, 8, 0, 0, 6, 8), 77);
  EXPECT_EQ(recorded_call().offset, 152u);
}

TEST(RenderNullEntries, MissingEntriesAreRefused) {
  Unchecked u;
  const std::string missing = "the CUDA provider does not implement this operation";
  EXPECT_EQ(u.whole(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), missing);
  EXPECT_EQ(u.window(10, 12, 3, 4, 6, 8), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), "CUDA provider lacks raster windows");
  EXPECT_EQ(u.backward(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), missing);
  EXPECT_EQ(u.interpolate(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), missing);
  EXPECT_EQ(u.interpolate_backward(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), missing);
  uint64_t bytes = 0, align = 0;
  EXPECT_EQ(vrel_render_rasterize_workspace(1, 1, 1, 1, 1, 1, &u.ctx, &bytes, &align, u.diag), 2);
  EXPECT_EQ(u.diag.text(),
            "no CUDA provider is available to report a device workspace requirement");
}

TEST(RenderNoProvider, EveryExportIsRefused) {
  Unchecked u;
  const std::string none =
      "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU";
  EXPECT_EQ(u.whole(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), none);
  EXPECT_EQ(u.window(10, 12, 3, 4, 6, 8), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), none);
  EXPECT_EQ(u.backward(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), none);
  EXPECT_EQ(u.interpolate(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), none);
  EXPECT_EQ(u.interpolate_backward(), VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), none);
  uint64_t bytes = 0, align = 0;
  EXPECT_EQ(vrel_render_interpolate_workspace(1, 1, 1, &u.ctx, &bytes, &align, u.diag), 2);
  EXPECT_EQ(u.diag.text(),
            "no CUDA provider is available to report a device workspace requirement");
  // The window bounds still come first, and a null Diagnostic is fine on this path.
  EXPECT_EQ(u.window(10, 12, 0, 0, 11, 8), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(vrel_render_interpolate(u.at(0), u.at(1), u.at(2), &u.ctx, u.at(3), nullptr, nullptr),
            VREL_STATUS_UNSUPPORTED);
}
