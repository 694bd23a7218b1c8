// k nearest neighbours: slot rules, batching, exactness against a sort-based search, gradients,
// the order of the checks and the CUDA branch without a provider.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "points/knn_kernel.hpp"
#include "tests/points/cases.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The plain search: all distances of the batch element, a stable sort (equal distances keep the
// lower row first), the first K.
template <typename T>
void expect_matches_sorted_search(KnnCase<T>& c) {
  const int64_t batch = static_cast<int64_t>(c.query_offsets.size()) - 1;
  for (int64_t b = 0; b < batch; ++b) {
    const int32_t r0 = c.reference_offsets[b], r1 = c.reference_offsets[b + 1];
    for (int64_t q = c.query_offsets[b]; q < c.query_offsets[b + 1]; ++q) {
      std::vector<std::pair<T, int32_t>> all;
      for (int32_t r = r0; r < r1; ++r) {
        const T dx = c.query[3 * q] - c.reference[3 * r];
        const T dy = c.query[3 * q + 1] - c.reference[3 * r + 1];
        const T dz = c.query[3 * q + 2] - c.reference[3 * r + 2];
        all.emplace_back(dz * dz + (dy * dy + dx * dx), r);
      }
      std::stable_sort(all.begin(), all.end(),
                       [](const auto& x, const auto& y) { return x.first < y.first; });
      for (int64_t s = 0; s < c.k; ++s) {
        if (s < static_cast<int64_t>(all.size())) {
          ASSERT_EQ(c.dist(q, s), all[s].first) << "query " << q << " slot " << s;
          ASSERT_EQ(c.index(q, s), all[s].second) << "query " << q << " slot " << s;
          ASSERT_EQ(c.filled(q, s), 1);
        } else {
          ASSERT_EQ(c.dist(q, s), static_cast<T>(kInf));
          ASSERT_EQ(c.index(q, s), -1);
          ASSERT_EQ(c.filled(q, s), 0);
        }
      }
    }
  }
}

template <typename T>
KnnCase<T> random_case(std::mt19937& rng, const std::vector<int32_t>& query_sizes,
                       const std::vector<int32_t>& reference_sizes, int64_t k, int grid) {
  const auto q_off = offsets_of(query_sizes);
  const auto r_off = offsets_of(reference_sizes);
  return KnnCase<T>(random_coordinates<T>(rng, q_off.back(), -1, 1, grid),
                    random_coordinates<T>(rng, r_off.back(), -1, 1, grid), q_off, r_off, k);
}

}  // namespace

TEST(KnnSearch, SlotsHoldAscendingDistancesAndGlobalRows) {
  // Batch 0: one query against rows 0-2; batch 1: one query against rows 3-4.
  KnnCase<double> c({0, 0, 0, 10, 0, 0}, {3, 0, 0, 1, 0, 0, 0, 2, 0, 10, 0, 1, 10, 3, 0}, {0, 1, 2},
                    {0, 3, 5}, 2);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.dist(0, 0), 1.0);
  EXPECT_EQ(c.index(0, 0), 1);
  EXPECT_EQ(c.dist(0, 1), 4.0);
  EXPECT_EQ(c.index(0, 1), 2);
  EXPECT_EQ(c.dist(1, 0), 1.0);
  EXPECT_EQ(c.index(1, 0), 3);  // a global row, not a row within the batch element
  EXPECT_EQ(c.dist(1, 1), 9.0);
  EXPECT_EQ(c.index(1, 1), 4);
  EXPECT_EQ(c.filled(1, 1), 1);
}

TEST(KnnSearch, EqualDistancesKeepTheLowerRowFirst) {
  // Six points at distance 1 in rows 2..7 after two far ones; K = 4 keeps rows 2, 3, 4, 5.
  KnnCase<float> c({0, 0, 0},
                   {5, 5, 5, 6, 6, 6, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1},
                   {0, 1}, {0, 8}, 4);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  for (int s = 0; s < 4; ++s) {
    EXPECT_EQ(c.dist(0, s), 1.0f);
    EXPECT_EQ(c.index(0, s), 2 + s);
  }
}

TEST(KnnSearch, EqualDistancesFarApartInRowOrderKeepTheLowerRow) {
  // The nearest distance occurs at row 0 and again at row 1500, far beyond any blocking of the
  // reference rows; the later equal distance may not displace the earlier one.
  std::vector<double> ref(3 * 1600, 50.0);
  ref[0] = 0.5, ref[1] = 0, ref[2] = 0;
  ref[4500] = 0, ref[4501] = 0.5, ref[4502] = 0;
  KnnCase<double> c({0, 0, 0}, ref, {0, 1}, {0, 1600}, 1);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.dist(0, 0), 0.25);
  EXPECT_EQ(c.index(0, 0), 0);
  c.k = 2;
  c.distances = Tensor<double>({1, 2});
  c.indices = Tensor<int32_t>({1, 2});
  c.valid = Tensor<uint8_t>({1, 2});
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.index(0, 1), 1500);
}

TEST(KnnSearch, FewerReferencesThanSlotsLeaveTrailingSlotsEmpty) {
  // Batch 0 has two reference points and K = 4; batch 1 has none at all.
  KnnCase<float> c({0, 0, 0, 1, 1, 1, 2, 2, 2}, {0, 0, 1, 0, 0, 2}, {0, 2, 3}, {0, 2, 2}, 4);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  for (int64_t q = 0; q < 3; ++q) {
    for (int s = 0; s < 4; ++s) {
      const bool filled = q < 2 && s < 2;
      EXPECT_EQ(c.filled(q, s), filled ? 1 : 0) << q << "," << s;
      if (!filled) {
        EXPECT_EQ(c.dist(q, s), std::numeric_limits<float>::infinity());
        EXPECT_EQ(c.index(q, s), -1);
      }
    }
  }
  EXPECT_EQ(c.dist(0, 0), 1.0f);
  EXPECT_EQ(c.dist(0, 1), 4.0f);
  EXPECT_EQ(c.dist(1, 0), 2.0f);  // (1,1,1) to (0,0,1)
  EXPECT_EQ(c.dist(1, 1), 3.0f);  // (1,1,1) to (0,0,2)
  EXPECT_EQ(c.index(1, 1), 1);
}

TEST(KnnSearch, EmptyQueryBatchSucceedsWithoutWriting) {
  KnnCase<double> c({}, {1, 2, 3}, {0, 0}, {0, 1}, 3);
  EXPECT_EQ(c.run().status, VREL_STATUS_OK);
}

TEST(KnnSearch, MatchesSortedSearchExactly) {
  std::mt19937 rng(7);
  // Batch sizes cross the internal block and chunk sizes; one element has no reference points,
  // one has fewer than K; the coarse grid makes many equal distances.
  const std::vector<int32_t> queries{37, 5, 0, 130, 9};
  const std::vector<int32_t> references{1300, 3, 17, 700, 0};
  for (int64_t k : {1, 5, 19}) {
    for (int grid : {0, 4}) {
      auto f = random_case<float>(rng, queries, references, k, grid);
      ASSERT_EQ(f.run().status, VREL_STATUS_OK);
      expect_matches_sorted_search(f);
      auto d = random_case<double>(rng, queries, references, k, grid);
      ASSERT_EQ(d.run().status, VREL_STATUS_OK);
      expect_matches_sorted_search(d);
    }
  }
}

TEST(KnnSearch, EveryInstructionSetBuildGivesTheSameSlots) {
  using vrel::points::Isa;
  std::mt19937 rng(8);
  int builds = 0;
  for (Isa isa : {Isa::kBaseline, Isa::kAvx2, Isa::kAvx512}) {
    if (!vrel::points::isa_supported(isa)) continue;
    ++builds;
    for (int grid : {0, 8}) {
      auto c = random_case<float>(rng, {70, 3}, {1100, 40}, 6, grid);
      vrel::points::knn_search<float>(
          {c.query.ptr(), c.reference.ptr(), c.query_offsets.ptr(), c.reference_offsets.ptr(), 2,
           c.k, c.distances.ptr(), c.indices.ptr(), c.valid.ptr()},
          isa);
      expect_matches_sorted_search(c);
      auto d = random_case<double>(rng, {70, 3}, {1100, 40}, 6, grid);
      vrel::points::knn_search<double>(
          {d.query.ptr(), d.reference.ptr(), d.query_offsets.ptr(), d.reference_offsets.ptr(), 2,
           d.k, d.distances.ptr(), d.indices.ptr(), d.valid.ptr()},
          isa);
      expect_matches_sorted_search(d);
    }
  }
  EXPECT_GE(builds, 1);
}

TEST(KnnSearch, InfiniteDistancesStillFillEmptySlots) {
  // A reference point at infinity has distance +infinity; while slots are empty it is inserted.
  const float inf = std::numeric_limits<float>::infinity();
  KnnCase<float> c({0, 0, 0}, {inf, 0, 0, 1, 0, 0}, {0, 1}, {0, 2}, 3);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.index(0, 0), 1);
  EXPECT_EQ(c.index(0, 1), 0);
  EXPECT_EQ(c.dist(0, 1), inf);
  EXPECT_EQ(c.filled(0, 1), 1);
  EXPECT_EQ(c.filled(0, 2), 0);
}

// ---- backward ------------------------------------------------------------------------------

namespace {

struct KnnGrad {
  Outcome outcome;
  std::vector<double> grad_query, grad_reference;
};

KnnGrad knn_backward(KnnCase<double>& c, Tensor<double>& cotangent, bool want_query = true,
                     bool want_reference = true) {
  Tensor<double> gq({c.rows(), 3});
  Tensor<double> gr({c.reference.shape()[0], 3});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  View gq_view = gq.out(), gr_view = gr.out();
  const VrelStatus st =
      vrel_points_knn_backward(c.query.in(), c.reference.in(), c.indices.in(), c.valid.in(),
                               cotangent.in(), &ctx, want_query ? gq_view.get() : nullptr,
                               want_reference ? gr_view.get() : nullptr, nullptr, diag);
  return {{st, diag.text()}, gq.values(), gr.values()};
}

}  // namespace

TEST(KnnBackward, MatchesCentralDifferencesOfTheForward) {
  std::mt19937 rng(3);
  auto c = random_case<double>(rng, {6, 4}, {9, 2}, 3, 0);  // batch 1 has an empty slot per query
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  // Every slot gets a cotangent, the empty ones too: they must not contribute.
  Tensor<double> g({c.rows(), c.k});
  std::uniform_real_distribution<double> u(-1, 1);
  for (double& x : g.values()) x = u(rng);
  const KnnGrad analytic = knn_backward(c, g);
  ASSERT_EQ(analytic.outcome.status, VREL_STATUS_OK) << analytic.outcome.message;
  const std::vector<int32_t> chosen = c.indices.values();

  auto loss = [&](KnnCase<double>& trial) {
    EXPECT_EQ(trial.run().status, VREL_STATUS_OK);
    EXPECT_EQ(trial.indices.values(), chosen) << "the perturbation changed a neighbour";
    double sum = 0;
    for (std::size_t i = 0; i < trial.distances.size(); ++i)
      if (trial.valid[i]) sum += g[i] * trial.distances[i];
    return sum;
  };
  const double h = 1e-6;
  for (int which = 0; which < 2; ++which) {
    const std::size_t n = which == 0 ? c.query.size() : c.reference.size();
    for (std::size_t i = 0; i < n; ++i) {
      KnnCase<double> plus = c, minus = c;
      (which == 0 ? plus.query : plus.reference)[i] += h;
      (which == 0 ? minus.query : minus.reference)[i] -= h;
      const double numeric = (loss(plus) - loss(minus)) / (2 * h);
      const double got = which == 0 ? analytic.grad_query[i] : analytic.grad_reference[i];
      EXPECT_NEAR(got, numeric, 1e-6) << (which == 0 ? "query " : "reference ") << i;
    }
  }
}

TEST(KnnBackward, IdenticalPointsGiveZeroGradient) {
  KnnCase<double> c({1, 2, 3}, {1, 2, 3, 4, 2, 3}, {0, 1}, {0, 2}, 1);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  EXPECT_EQ(c.dist(0, 0), 0.0);
  Tensor<double> g({1, 1}, {5});
  const KnnGrad r = knn_backward(c, g);
  ASSERT_EQ(r.outcome.status, VREL_STATUS_OK);
  for (double v : r.grad_query) EXPECT_EQ(v, 0.0);
  for (double v : r.grad_reference) EXPECT_EQ(v, 0.0);
}

TEST(KnnBackward, EmptySlotsContributeNothingWhateverTheirIndex) {
  KnnCase<double> c({0, 0, 0}, {1, 0, 0}, {0, 1}, {0, 1}, 2);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  c.indices[1] = 1000;  // empty slot with a wild index
  Tensor<double> g({1, 2}, {1, 1});
  const KnnGrad r = knn_backward(c, g, true, false);
  ASSERT_EQ(r.outcome.status, VREL_STATUS_OK) << r.outcome.message;
  EXPECT_EQ(r.grad_query, (std::vector<double>{-2, 0, 0}));
}

TEST(KnnBackward, ValidIndexOutsideTheReferenceRangeIsRefused) {
  KnnCase<double> c({0, 0, 0}, {1, 0, 0, 2, 0, 0}, {0, 1}, {0, 2}, 2);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<double> g({1, 2}, {1, 1});
  for (int32_t bad : {2, -1}) {
    c.indices[1] = bad;
    const KnnGrad r = knn_backward(c, g);
    EXPECT_EQ(r.outcome.status, VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.outcome.message, "a valid neighbor index lies outside the reference range");
    // Found before slot 0 (valid, in range) is accumulated: nothing is written.
    EXPECT_EQ(r.grad_query, (std::vector<double>{0, 0, 0}));
  }
}

// ---- the order of the checks ----------------------------------------------------------------

namespace {

// A valid forward call whose operands a test may replace.
struct KnnCall {
  KnnCase<float> c{{0, 0, 0, 1, 1, 1}, {0, 0, 1, 2, 2, 2, 5, 5, 5}, {0, 2}, {0, 3}, 2};
  VrelExecutionContext ctx = cpu_context();
  View views[7] = {
      c.query.in(),      c.reference.in(), c.query_offsets.in(), c.reference_offsets.in(),
      c.distances.out(), c.indices.out(),  c.valid.out()};
  VrelTensorView *query = views[0].get(), *reference = views[1].get(), *q_off = views[2].get(),
                 *r_off = views[3].get(), *distances = views[4].get(), *indices = views[5].get(),
                 *valid = views[6].get();
  int64_t k = 2;

  Outcome run() {
    Diag diag;
    const VrelStatus st = vrel_points_knn(query, reference, q_off, r_off, k, &ctx, distances,
                                          indices, valid, nullptr, diag);
    return {st, diag.text()};
  }
};

void expect_refused(Outcome got, VrelStatus status, const std::string& message) {
  EXPECT_EQ(got.status, status) << message;
  EXPECT_EQ(got.message, message);
}

}  // namespace

TEST(KnnChecks, ForwardRefusesInTheDocumentedOrder) {
  {
    KnnCall call;  // the neighbour count comes before the context
    call.k = 0;
    call.ctx.reserved_word = 1;
    expect_refused(call.run(), 1, "the neighbor count must be positive");
  }
  {
    KnnCall call;
    call.ctx.stream = 5;
    expect_refused(call.run(), 1, "CPU execution does not accept a stream handle");
  }
  {
    KnnCall call;
    call.query->rank = 1;
    expect_refused(call.run(), 1, "query must be a [P,3] tensor view");
  }
  {
    KnnCall call;
    call.query->device_type = VREL_DEVICE_CUDA;
    expect_refused(call.run(), 2, "mesh operations implement only the CPU backend in this phase");
  }
  {
    KnnCall call;
    call.query->flags = VREL_TENSOR_OUTPUT;
    expect_refused(call.run(), 1, "operation inputs may not carry the output flag");
  }
  {
    KnnCall call;
    call.query->dtype = VREL_DTYPE_UINT32;
    call.reference->dtype = VREL_DTYPE_UINT32;
    expect_refused(call.run(), 2, "query points must use the float32 or float64 dtype");
  }
  {
    KnnCall call;
    Tensor<double> ref({3, 3});
    call.reference->dtype = VREL_DTYPE_FLOAT64;
    call.reference->data = ref.ptr();
    expect_refused(call.run(), 1, "reference points must match the query dtype");
  }
  {
    KnnCall call;
    Tensor<int32_t> matrix({1, 2}, {0, 2});
    View v = matrix.in();
    call.q_off = v.get();
    expect_refused(call.run(), 1, "query offsets must be a [B+1] tensor view");
  }
  {
    KnnCall call;
    Tensor<int32_t> none({0});
    View v = none.in();
    call.q_off = v.get();
    expect_refused(call.run(), 1, "query offsets must be a [B+1] tensor view");
  }
  {
    KnnCall call;
    Tensor<float> f({2}, {0, 2});
    View v = f.in();
    call.q_off = v.get();
    expect_refused(call.run(), 2, "offsets must use the int32 dtype");
  }
  {
    KnnCall call;
    call.q_off->flags = VREL_TENSOR_OUTPUT;
    expect_refused(call.run(), 1, "operation inputs may not carry the output flag");
  }
  {
    KnnCall call;
    call.c.query_offsets[1] = 1;  // last entry must equal P = 2
    expect_refused(call.run(), 1, "query offsets must satisfy the packed-offset rules");
  }
  {
    KnnCall call;
    Tensor<int32_t> three({3}, {0, 1, 3});  // extent B+1 = 2 required
    View v = three.in();
    call.r_off = v.get();
    expect_refused(call.run(), 1, "reference offsets must satisfy the packed-offset rules");
  }
  {
    KnnCall call;
    call.k = 3;  // outputs are [P,2]
    expect_refused(call.run(), 1, "distances must be a [P,K] output view");
  }
  {
    KnnCall call;
    call.distances->flags = 0;
    expect_refused(call.run(), 1, "operation outputs must carry the output flag");
  }
  {
    KnnCall call;
    call.distances->dtype = VREL_DTYPE_INT32;
    expect_refused(call.run(), 1, "distances must match the query dtype");
  }
  {
    KnnCall call;
    call.indices->dtype = VREL_DTYPE_FLOAT32;
    expect_refused(call.run(), 1, "indices must use the int32 dtype");
  }
  {
    KnnCall call;
    call.valid->shape = call.indices->shape;
    call.valid->rank = 1;
    expect_refused(call.run(), 1, "valid must be a [P,K] output view");
  }
  {
    KnnCall call;
    call.valid->dtype = VREL_DTYPE_UINT32;
    call.valid->data = call.c.indices.ptr();
    expect_refused(call.run(), 1, "valid must use the bool dtype");
  }
  {
    KnnCall call;
    call.indices->data = call.c.distances.ptr();  // indices over distances
    expect_refused(call.run(), 1, "outputs may not alias an input or another output");
  }
  {
    KnnCall call;  // an output over the offsets would corrupt the batch bounds mid-search
    Tensor<int32_t> shared({2, 2}, {0, 2, 0, 0});
    View offsets(shared.ptr(), {2}, VREL_DTYPE_INT32);
    View indices(shared.ptr(), {2, 2}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
    call.q_off = offsets.get();
    call.indices = indices.get();
    expect_refused(call.run(), 1, "outputs may not alias an input or another output");
  }
  {
    KnnCall call;
    const std::vector<float> before = call.c.distances.values();
    VrelExecutionContext ctx = cpu_context();
    Workspace ws(16);
    ws->flags = 1;
    Diag diag;
    EXPECT_EQ(vrel_points_knn(call.query, call.reference, call.q_off, call.r_off, 2, &ctx,
                              call.distances, call.indices, call.valid, ws.get(), diag),
              VREL_STATUS_UNSUPPORTED);
    EXPECT_EQ(call.c.distances.values(), before);
    // The search uses no scratch memory, so a well-formed buffer is only validated: one that
    // names device memory is accepted and never touched.
    ws->flags = 0;
    ws->device_type = VREL_DEVICE_CUDA;
    EXPECT_EQ(vrel_points_knn(call.query, call.reference, call.q_off, call.r_off, 2, &ctx,
                              call.distances, call.indices, call.valid, ws.get(), diag),
              VREL_STATUS_OK);
    EXPECT_NE(call.c.distances.values(), before);
  }
  KnnCall good;
  EXPECT_EQ(good.run().status, VREL_STATUS_OK);
}

TEST(KnnChecks, BackwardRefusesInTheDocumentedOrder) {
  KnnCase<double> c({0, 0, 0, 1, 1, 1}, {0, 0, 1, 2, 2, 2, 5, 5, 5}, {0, 2}, {0, 3}, 2);
  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<double> g({2, 2}, {1, 2, 3, 4});
  Tensor<double> gq({2, 3}), gr({3, 3});
  VrelExecutionContext ctx = cpu_context();
  auto call = [&](View indices, View valid, View cot, const VrelTensorView* q,
                  const VrelTensorView* r, VrelExecutionContext* context) {
    Diag diag;
    const VrelStatus st = vrel_points_knn_backward(c.query.in(), c.reference.in(), indices, valid,
                                                   cot, context, q, r, nullptr, diag);
    return Outcome{st, diag.text()};
  };
  View gqv = gq.out(), grv = gr.out();
  {
    Tensor<int32_t> k0({2, 0});
    VrelExecutionContext broken = ctx;
    broken.reserved_word = 1;  // K = 0 is reported before the context
    expect_refused(call(k0.in(), c.valid.in(), g.in(), gqv, grv, &broken), 1,
                   "indices must be a [P,K] tensor view");
  }
  expect_refused(call(c.indices.in(), c.valid.in(), g.in(), nullptr, nullptr, &ctx), 1,
                 "at least one gradient output is required");
  {
    Tensor<int32_t> wrong_rows({3, 2});
    expect_refused(call(wrong_rows.in(), c.valid.in(), g.in(), gqv, grv, &ctx), 1,
                   "indices must be a [P,K] tensor view");
  }
  expect_refused(call(c.indices.out(), c.valid.in(), g.in(), gqv, grv, &ctx), 1,
                 "operation inputs may not carry the output flag");
  {
    Tensor<float> as_float({2, 2});
    expect_refused(call(as_float.in(), c.valid.in(), g.in(), gqv, grv, &ctx), 1,
                   "indices must use the int32 dtype");
    expect_refused(call(c.indices.in(), as_float.in(), g.in(), gqv, grv, &ctx), 1,
                   "valid must use the bool dtype");
    expect_refused(call(c.indices.in(), c.valid.in(), as_float.in(), gqv, grv, &ctx), 1,
                   "cotangents must match the query dtype");
  }
  {
    Tensor<uint8_t> wide({2, 3});
    expect_refused(call(c.indices.in(), wide.in(), g.in(), gqv, grv, &ctx), 1,
                   "valid must be a [P,K] tensor view");
    Tensor<double> short_cot({2, 1});
    expect_refused(call(c.indices.in(), c.valid.in(), short_cot.in(), gqv, grv, &ctx), 1,
                   "distance cotangents must be a [P,K] tensor view");
  }
  {
    Tensor<double> wrong({3, 3});
    View w = wrong.out();
    expect_refused(call(c.indices.in(), c.valid.in(), g.in(), w, grv, &ctx), 1,
                   "query gradients must be a [P,3] output view");
    Tensor<double> small({2, 3});
    View s = small.out();
    expect_refused(call(c.indices.in(), c.valid.in(), g.in(), gqv, s, &ctx), 1,
                   "reference gradients must be a [R,3] output view");
    Tensor<float> f({3, 3});
    View fv = f.out();
    expect_refused(call(c.indices.in(), c.valid.in(), g.in(), gqv, fv, &ctx), 1,
                   "reference gradients must match the query dtype");
    Tensor<float> fq({2, 3});
    View fqv = fq.out();
    expect_refused(call(c.indices.in(), c.valid.in(), g.in(), fqv, grv, &ctx), 1,
                   "query gradients must match the query dtype");
    expect_refused(call(c.indices.in(), c.valid.in(), g.in(), gq.in(), grv, &ctx), 1,
                   "operation outputs must carry the output flag");
  }
  {
    // A gradient over the cotangents would be cleared before they are read.
    Tensor<double> storage({2, 3});
    View over(storage.ptr(), {2, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
    View cot(storage.ptr(), {2, 2}, VREL_DTYPE_FLOAT64);
    expect_refused(call(c.indices.in(), c.valid.in(), cot, over, nullptr, &ctx), 1,
                   "outputs may not alias an input or another output");
  }
  EXPECT_EQ(call(c.indices.in(), c.valid.in(), g.in(), gqv, nullptr, &ctx).status, VREL_STATUS_OK);
  EXPECT_EQ(call(c.indices.in(), c.valid.in(), g.in(), nullptr, grv, &ctx).status, VREL_STATUS_OK);
}

TEST(KnnChecks, WorkspaceQuery) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 99, align = 99;
  auto query = [&](int64_t p, int64_t r, int64_t k, uint32_t dtype, VrelExecutionContext* c,
                   uint64_t* b) {
    Diag diag;
    const VrelStatus st = vrel_points_knn_workspace(p, r, k, dtype, c, b, &align, diag);
    return Outcome{st, diag.text()};
  };
  expect_refused(query(-1, 0, 0, 0, nullptr, nullptr), 1, "counts must be nonnegative");
  expect_refused(query(0, 0, 0, 0, nullptr, nullptr), 1, "the neighbor count must be positive");
  expect_refused(query(0, 0, 1, 0, nullptr, nullptr), 1,
                 "workspace query result pointers must not be null");
  expect_refused(query(0, 0, 1, VREL_DTYPE_INT32, nullptr, &bytes), 2,
                 "proximity operations support the float32 and float64 dtypes");
  expect_refused(query(0, 0, 1, VREL_DTYPE_FLOAT32, nullptr, &bytes), 1,
                 "execution context pointer is null");
  VrelExecutionContext small = cuda_context();
  small.struct_size = 63;  // not forwarded: the CPU path validates it
  expect_refused(query(0, 0, 1, VREL_DTYPE_FLOAT32, &small, &bytes), 6,
                 "structure is smaller than the ABI v1 minimum");
  EXPECT_EQ(bytes, 99u);
  ASSERT_EQ(query(100000, 5, 8, VREL_DTYPE_FLOAT64, &ctx, &bytes).status, VREL_STATUS_OK);
  EXPECT_EQ(bytes, 0u);  // too few reference points for an index
  EXPECT_EQ(align, 1u);
  ASSERT_EQ(query(5, 100000, 8, VREL_DTYPE_FLOAT64, &ctx, &bytes).status, VREL_STATUS_OK);
  EXPECT_GT(bytes, 100000u * 28);  // the index: at least the points in tree order with their rows
  EXPECT_EQ(align, 8u);
  uint64_t most = 0;  // counts beyond int32 cannot be called: the size stays bounded
  ASSERT_EQ(query(INT64_MAX, INT64_MAX, 1, VREL_DTYPE_FLOAT64, &ctx, &most).status, VREL_STATUS_OK);
  ASSERT_EQ(query(INT32_MAX, INT32_MAX, 1, VREL_DTYPE_FLOAT64, &ctx, &bytes).status,
            VREL_STATUS_OK);
  EXPECT_EQ(most, bytes);
}

TEST(KnnChecks, CudaWithoutProviderIsRefusedBeforeTheReset) {
  KnnCall call;
  call.ctx = cuda_context();
  expect_refused(call.run(), 2,
                 "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU");
  uint64_t bytes = 0, align = 0;
  Diag diag;
  EXPECT_EQ(vrel_points_knn_workspace(1, 1, 1, VREL_DTYPE_FLOAT32, &call.ctx, &bytes, &align, diag),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), "no CUDA provider is available to report a device workspace requirement");
}

TEST(KnnChecks, BadInputsOfEveryExport) {
  KnnCase<float> c({0, 0, 0, 1, 1, 1}, {0, 0, 1, 2, 2, 2, 5, 5, 5}, {0, 2}, {0, 3}, 2);
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  Diag diag;
  View q = c.query.in(), r = c.reference.in(), qo = c.query_offsets.in(),
       ro = c.reference_offsets.in();
  View d = c.distances.out(), i = c.indices.out(), v = c.valid.out();
  BadInputPlan forward{{{c.distances.ptr(), c.distances.bytes()},
                        {c.indices.ptr(), c.indices.bytes()},
                        {c.valid.ptr(), c.valid.bytes()}},
                       {{9, VREL_STATUS_OK}},
                       {}};
  check_bad_inputs("points_knn", vrel_points_knn,
                   std::make_tuple(q.get(), r.get(), qo.get(), ro.get(), int64_t{2}, &ctx, d.get(),
                                   i.get(), v.get(), ws.get(), diag.get()),
                   forward);

  ASSERT_EQ(c.run().status, VREL_STATUS_OK);
  Tensor<float> g({2, 2}, {1, 1, 1, 1}), gq({2, 3}), gr({3, 3});
  View iv = c.indices.in(), vv = c.valid.in(), gv = g.in(), gqv = gq.out(), grv = gr.out();
  BadInputPlan backward{{{gq.ptr(), gq.bytes()}, {gr.ptr(), gr.bytes()}},
                        {{6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}, {8, VREL_STATUS_OK}},
                        {}};
  check_bad_inputs("points_knn_backward", vrel_points_knn_backward,
                   std::make_tuple(q.get(), r.get(), iv.get(), vv.get(), gv.get(), &ctx, gqv.get(),
                                   grv.get(), ws.get(), diag.get()),
                   backward);

  uint64_t bytes = 7, align = 7;
  BadInputPlan query{{{&bytes, sizeof bytes}, {&align, sizeof align}}, {}, {}};
  check_bad_inputs("points_knn_workspace", vrel_points_knn_workspace,
                   std::make_tuple(int64_t{2}, int64_t{3}, int64_t{2}, VREL_DTYPE_FLOAT32, &ctx,
                                   &bytes, &align, diag.get()),
                   query);
}
