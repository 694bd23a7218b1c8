// CUDA requests reach the provider's entries with the export's own arguments, untouched.
#include <gtest/gtest.h>

#include "tests/support/provider.hpp"
#include "tests/support/views.hpp"

namespace vrel::test {
namespace {

struct Operands {
  Tensor<float> a{{2, 3}}, b{{1, 4, 4}}, c{{2, 4}}, d{{2, 3}};
  Tensor<int32_t> offsets{{2}, {0, 2}};
  View va = a.in(), vb = b.in(), vc = c.out(), vd = d.out(), vo = offsets.in();
  VrelExecutionContext ctx = cuda_context(1, 0xABCD);
  Workspace ws{0};
  Diag diag;
};

TEST(TransformsForwarding, ComputeExportsPassTheirArgumentsUnchanged) {
  Operands o;
  Diag broken;
  broken->struct_size = 1;  // not reset or examined on this path
  EXPECT_EQ(vrel_transforms_transform_points(o.va, o.vb, o.vo, &o.ctx, o.vc, o.ws.get(), broken),
            77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 64u);
  const uint64_t forward_words[] = {as_word(o.va.get()),  as_word(o.vb.get()), as_word(o.vo.get()),
                                    as_word(&o.ctx),      as_word(o.vc.get()), as_word(o.ws.get()),
                                    as_word(broken.get())};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(call.words[i], forward_words[i]) << i;

  EXPECT_EQ(vrel_transforms_transform_points_backward(o.va, o.vb, o.vo, o.vc, &o.ctx, o.vd, nullptr,
                                                      nullptr, o.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 72u);
  const uint64_t backward_words[] = {as_word(o.va.get()),
                                     as_word(o.vb.get()),
                                     as_word(o.vo.get()),
                                     as_word(o.vc.get()),
                                     as_word(&o.ctx),
                                     as_word(o.vd.get()),
                                     0,
                                     0,
                                     as_word(o.diag.get())};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(call.words[i], backward_words[i]) << i;

  // eps is forwarded without the finite check.
  EXPECT_EQ(vrel_transforms_perspective_divide(o.vc, -2.5, &o.ctx, o.vd, o.va, nullptr, o.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 80u);
  EXPECT_EQ(call.reals[0], -2.5);
  EXPECT_EQ(call.words[0], as_word(o.vc.get()));
  EXPECT_EQ(call.words[1], as_word(&o.ctx));
  EXPECT_EQ(call.words[3], as_word(o.va.get()));

  EXPECT_EQ(
      vrel_transforms_perspective_divide_backward(o.vc, 0.25, o.vd, &o.ctx, o.vc, nullptr, o.diag),
      77);
  call = recorded_call();
  EXPECT_EQ(call.offset, 88u);
  EXPECT_EQ(call.reals[0], 0.25);
  EXPECT_EQ(call.words[2], as_word(&o.ctx));
}

TEST(TransformsForwarding, WorkspaceQueriesNameTheirOperation) {
  Operands o;
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_transforms_transform_points_workspace(5, 2, VREL_DTYPE_FLOAT64, &o.ctx, &bytes,
                                                       &alignment, o.diag),
            77);
  RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, 8u);
  EXPECT_EQ(call.words[0], 4u);
  EXPECT_EQ(call.words[1], 0u) << "no count list";
  EXPECT_EQ(call.words[2], 0u);
  EXPECT_EQ(call.words[3], VREL_DTYPE_FLOAT64);
  EXPECT_EQ(call.words[4], as_word(&o.ctx));
  EXPECT_EQ(call.words[5], as_word(&bytes));
  // Forwarded before the negative-count check.
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(-1, 9, &o.ctx, &bytes, &alignment, o.diag),
            77);
  call = recorded_call();
  EXPECT_EQ(call.words[0], 5u);
  EXPECT_EQ(call.words[3], 9u);
}

TEST(TransformsForwardingMissing, MissingEntriesAreRefused) {
  Operands o;
  const char* missing = "the CUDA provider does not implement this operation";
  EXPECT_EQ(vrel_transforms_transform_points(o.va, o.vb, o.vo, &o.ctx, o.vc, nullptr, o.diag), 2);
  EXPECT_EQ(o.diag.text(), missing);
  EXPECT_EQ(vrel_transforms_transform_points_backward(o.va, o.vb, o.vo, o.vc, &o.ctx, o.vd, nullptr,
                                                      nullptr, o.diag),
            2);
  EXPECT_EQ(o.diag.text(), missing);
  EXPECT_EQ(vrel_transforms_perspective_divide(o.vc, 0, &o.ctx, o.vd, o.va, nullptr, o.diag), 2);
  EXPECT_EQ(o.diag.text(), missing);
  EXPECT_EQ(
      vrel_transforms_perspective_divide_backward(o.vc, 0, o.vd, &o.ctx, o.vc, nullptr, o.diag), 2);
  EXPECT_EQ(o.diag.text(), missing);
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_transforms_perspective_divide_workspace(1, 1, &o.ctx, &bytes, &alignment, o.diag),
            2);
  EXPECT_EQ(o.diag.text(),
            "no CUDA provider is available to report a device workspace requirement");
}

}  // namespace
}  // namespace vrel::test
