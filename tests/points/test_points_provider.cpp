// The CUDA branch of the proximity exports with the recording test provider: every argument is
// handed over unchanged, before any check, and missing entries are refused.
#include <gtest/gtest.h>

#include "tests/points/cases.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

// Operands that would fail every CPU check: the provider alone decides.
struct Unchecked {
  VrelExecutionContext ctx = cuda_context(1, 0xABCD);
  VrelTensorView v[13] = {};
  Diag diag;
  VrelTensorView* at(int i) { return &v[i]; }
};

}  // namespace

TEST(PointsProvider, KnnForwardsEveryArgument) {
  Unchecked u;
  auto* ws = reinterpret_cast<const VrelBufferDescriptor*>(u.at(12));
  ASSERT_EQ(vrel_points_knn(u.at(0), u.at(1), u.at(2), u.at(3), -5, &u.ctx, u.at(4), u.at(5),
                            u.at(6), ws, u.diag),
            77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 104u);
  const uint64_t knn_words[] = {as_word(u.at(0)), as_word(u.at(1)),          as_word(u.at(2)),
                                as_word(u.at(3)), static_cast<uint64_t>(-5), as_word(&u.ctx),
                                as_word(u.at(4)), as_word(u.at(5)),          as_word(u.at(6)),
                                as_word(ws),      as_word(u.diag.get())};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(call.words[i], knn_words[i]) << i;

  ASSERT_EQ(vrel_points_knn_backward(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4), &u.ctx, nullptr,
                                     u.at(5), ws, u.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 112u);
  const uint64_t backward_words[] = {as_word(u.at(0)),
                                     as_word(u.at(1)),
                                     as_word(u.at(2)),
                                     as_word(u.at(3)),
                                     as_word(u.at(4)),
                                     as_word(&u.ctx),
                                     0,
                                     as_word(u.at(5)),
                                     as_word(ws),
                                     as_word(u.diag.get())};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(call.words[i], backward_words[i]) << i;

  uint64_t bytes = 0, align = 0;
  ASSERT_EQ(vrel_points_knn_workspace(-1, 2, 0, 9, &u.ctx, &bytes, &align, u.diag), 77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 8u);
  const uint64_t query_words[] = {
      7, 0, 0, 9, as_word(&u.ctx), as_word(&bytes), as_word(&align), as_word(u.diag.get())};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(call.words[i], query_words[i]) << i;
}

TEST(PointsProvider, ClosestPointForwardsEveryArgument) {
  Unchecked u;
  ASSERT_EQ(vrel_points_closest_point_on_mesh(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4), u.at(5),
                                              -2.5, &u.ctx, u.at(6), u.at(7), u.at(8), u.at(9),
                                              u.at(10), nullptr, u.diag),
            77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 120u);
  EXPECT_EQ(call.reals[0], -2.5);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(call.words[i], as_word(u.at(i))) << i;
  EXPECT_EQ(call.words[6], as_word(&u.ctx));
  for (int i = 7; i < 12; ++i) EXPECT_EQ(call.words[i], as_word(u.at(i - 1))) << i;

  ASSERT_EQ(vrel_points_closest_point_on_mesh_backward(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4),
                                                       u.at(5), u.at(6), u.at(7), &u.ctx, u.at(8),
                                                       nullptr, nullptr, u.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 128u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(call.words[i], as_word(u.at(i))) << i;
  EXPECT_EQ(call.words[8], as_word(&u.ctx));
  EXPECT_EQ(call.words[9], as_word(u.at(8)));
  EXPECT_EQ(call.words[10], 0u);
  EXPECT_EQ(call.words[11], 0u);

  uint64_t bytes = 0, align = 0;
  ASSERT_EQ(vrel_points_closest_point_on_mesh_workspace(1, 2, 3, VREL_DTYPE_FLOAT64, &u.ctx, &bytes,
                                                        &align, u.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 8u);
  EXPECT_EQ(call.words[0], 8u);
  EXPECT_EQ(call.words[1], 0u);
  EXPECT_EQ(call.words[2], 0u);
  EXPECT_EQ(call.words[3], VREL_DTYPE_FLOAT64);
}

TEST(PointsProviderMissingEntries, AreRefused) {
  Unchecked u;
  const char* kMissing = "the CUDA provider does not implement this operation";
  EXPECT_EQ(vrel_points_knn(u.at(0), u.at(1), u.at(2), u.at(3), 1, &u.ctx, u.at(4), u.at(5),
                            u.at(6), nullptr, u.diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), kMissing);
  EXPECT_EQ(vrel_points_knn_backward(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4), &u.ctx, u.at(5),
                                     nullptr, nullptr, u.diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), kMissing);
  EXPECT_EQ(vrel_points_closest_point_on_mesh(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4), u.at(5),
                                              0, &u.ctx, u.at(6), u.at(7), u.at(8), u.at(9),
                                              u.at(10), nullptr, u.diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), kMissing);
  EXPECT_EQ(vrel_points_closest_point_on_mesh_backward(u.at(0), u.at(1), u.at(2), u.at(3), u.at(4),
                                                       u.at(5), u.at(6), u.at(7), &u.ctx, u.at(8),
                                                       nullptr, nullptr, u.diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(), kMissing);
  uint64_t bytes = 0, align = 0;
  EXPECT_EQ(vrel_points_knn_workspace(1, 1, 1, VREL_DTYPE_FLOAT32, &u.ctx, &bytes, &align, u.diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(u.diag.text(),
            "no CUDA provider is available to report a device workspace requirement");
  EXPECT_EQ(recorded_call_count(), 0u);
}
