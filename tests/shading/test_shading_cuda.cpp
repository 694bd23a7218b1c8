// CUDA requests of the shading exports: forwarded unchanged to the provider's entries after the
// checks, the scratch sized by the provider's workspace-query entry (operation ids 21 to 24), and
// the family's sentences when the provider or an entry is missing.
#include "tests/shading/shading_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;
using namespace vrel::test::shading;

namespace {

uint64_t word(const void* p) { return reinterpret_cast<uint64_t>(p); }

TEST(ShadingCuda, ForwardsEveryExportToItsEntry) {
  struct Expect {
    std::size_t offset;
    Result result;
    uint64_t first;
  };
  std::vector<Expect> seen;
  auto record = [&](Result r, uint64_t first) {
    seen.push_back({recorded_call().offset, r, first});
  };
  for (auto fn : {vrel_shading_principled_pairs, vrel_shading_principled_groups}) {
    PrincipledViews v;
    v.cuda();
    record(v.run(fn), word(v.cn.get()));
  }
  {
    PrincipledViews v(true, 1);
    v.cuda();
    record(v.run(vrel_shading_principled_shared_groups), word(v.cn.get()));
  }
  for (auto fn :
       {vrel_shading_principled_pairs_backward, vrel_shading_principled_groups_backward}) {
    PrincipledBackwardViews v;
    v.cuda();
    Diag diag;
    record({std::apply(fn, v.args(diag.get())), diag.text()}, word(v.jv.get()));
  }
  LossCurveViews c;
  c.cuda();
  record(c.run(), word(c.av.get()));
  record(c.run_backward(), word(c.partial_in.get()));
  LossQueryViews q;
  q.cuda();
  record(q.run(), word(q.cnv.get()));
  record(q.run_backward(), word(q.q_in.get()));
  const std::size_t offsets[] = {392, 408, 464, 400, 416, 360, 368, 376, 384};
  ASSERT_EQ(seen.size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(seen[i].result.status, 0) << i << " " << seen[i].result.message;
    EXPECT_EQ(seen[i].offset, offsets[i]) << i;
  }
  PrincipledViews v;
  v.cuda();
  ASSERT_EQ(v.run().status, 0);
  const RecordedCall call = recorded_call();
  EXPECT_EQ(call.words[0], word(v.cn.get()));
  EXPECT_EQ(call.words[11], word(v.f0.get()));
}

TEST(ShadingCuda, QueriesTheProviderWithOperationIdsAndCounts) {
  VrelExecutionContext ctx = cuda_context();
  uint64_t bytes = 0, alignment = 0;
  struct Expect {
    VrelStatus status;
    uint64_t id, count;
  };
  auto check = [&](VrelStatus st, uint64_t id, uint64_t count) {
    EXPECT_EQ(st, 0);
    const RecordedCall call = recorded_call();
    EXPECT_EQ(call.offset, 8u);
    EXPECT_EQ(call.words[0], id);
    EXPECT_EQ(call.words[2], count);
    EXPECT_EQ(call.words[3], static_cast<uint64_t>(VREL_DTYPE_FLOAT64));
  };
  check(vrel_shading_loss_curve_workspace(2, 3, &ctx, &bytes, &alignment, nullptr), 21, 2);
  check(vrel_shading_loss_query_workspace(2, 3, 4, &ctx, &bytes, &alignment, nullptr), 22, 3);
  check(vrel_shading_principled_pairs_workspace(2, 3, 1, &ctx, &bytes, &alignment, nullptr), 23, 3);
  check(vrel_shading_principled_groups_workspace(2, 3, 0, &ctx, &bytes, &alignment, nullptr), 24,
        3);
  // The limits hold on CUDA too.
  EXPECT_EQ(vrel_shading_principled_pairs_workspace(5, 3, 1, &ctx, &bytes, &alignment, nullptr), 1);
}

// Without the provider, its query entry or the operation's entry: status 2 and the sentence.
void expect_missing(bool query_missing) {
  auto expect = [](Result r, const char* message) {
    EXPECT_EQ(r.status, VREL_STATUS_UNSUPPORTED) << message;
    EXPECT_EQ(r.message, message);
  };
  const char* pairs = "CUDA provider lacks Principled pairs";
  for (auto fn : {vrel_shading_principled_pairs, vrel_shading_principled_groups}) {
    PrincipledViews v;
    v.cuda();
    expect(v.run(fn), pairs);
  }
  PrincipledViews shared(true, 1);
  shared.cuda();
  expect(shared.run(vrel_shading_principled_shared_groups),
         "CUDA provider lacks shared Principled groups");
  if (query_missing) {
    // The shared groups are sized by the groups' query.
    Diag diag;
    uint64_t bytes = 0, alignment = 0;
    VrelExecutionContext ctx = cuda_context();
    EXPECT_EQ(vrel_shading_principled_groups_workspace(1, 1, 0, &ctx, &bytes, &alignment, diag), 2);
  }
  PrincipledBackwardViews b;
  b.cuda();
  expect(b.run(), pairs);
  LossCurveViews c;
  c.cuda();
  expect(c.run(), "CUDA provider lacks native loss curve family");
  expect(c.run_backward(), "CUDA provider lacks native loss curve family");
  LossQueryViews q;
  q.cuda();
  expect(q.run(), "CUDA provider lacks query family");
  expect(q.run_backward(), "CUDA provider lacks query family");
}

TEST(ShadingCudaMissingEntries, RefusedWithTheFamilySentences) { expect_missing(false); }
TEST(ShadingCudaMissingQuery, RefusedWithTheFamilySentences) { expect_missing(true); }
TEST(ShadingCudaNoProvider, RefusedWithTheFamilySentences) { expect_missing(true); }

}  // namespace
