// Loss curves and loss queries: node values, exact u-derivatives (the limiter included),
// monotone segments, the linear start, the means against an independent integral, and both
// backward passes against finite differences and their summation order.
#include <algorithm>

#include "tests/shading/shading_support.hpp"

using namespace vrel::test;
using namespace vrel::test::shading;

namespace {

double reference_lookup(const CurveProblem& p, const double* row, int channel, double mu) {
  return shading::reference_lookup(p.cn, p.logs, row, channel, mu);
}

TEST(LossCurve, NodeValuesAreExponentialsOfTheControlBeziers) {
  CurveProblem p = make_curves(6, 3);
  Curves c;
  const std::vector<double> u = {0.0, 0.37, 1.0};
  ASSERT_EQ(loss_curve(p.logs, p.controls, u, c).status, 0);
  const std::size_t length = row_length(6);
  for (int b = 0; b < 3; ++b) {
    for (int q = 0; q <= 12; ++q) {
      const double* k = &p.controls[(b * 13 + q) * 4];
      double log_value = 0;
      for (int i = 0; i < 4; ++i) log_value += bernstein(i, u[b]) * k[i];
      EXPECT_NEAR(c.curve[b * length + q], std::exp(log_value), 1e-15) << b << " " << q;
    }
    EXPECT_EQ(c.curve[b * length + 13], 0.0);
    EXPECT_EQ(c.partial[b * length + 13], 0.0);
    // Segment ends are the node values.
    for (int j = 0; j + 1 < 6; ++j)
      for (int ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(c.curve[b * length + 14 + 8 * j + ch], c.curve[b * length + 2 * j + ch]);
        EXPECT_EQ(c.curve[b * length + 14 + 8 * j + 6 + ch], c.curve[b * length + 2 * j + 2 + ch]);
      }
  }
}

TEST(LossCurve, PartialRowIsTheUDerivativeOfTheWholeRow) {
  CurveProblem p = make_curves(7, 4, 5);
  // Row 3: a step between flat stretches, so that the monotonicity filter acts at nodes 2 and 4.
  const double levels[7] = {-5.0, -4.95, -4.9, -1.0, -0.95, -0.9, -0.1};
  for (int i = 0; i < 7; ++i)
    for (int ch = 0; ch < 2; ++ch)
      for (int k = 0; k < 4; ++k)
        p.controls[((3 * 15) + 2 * i + ch) * 4 + k] = levels[i] - 0.5 * ch - 0.05 * k * (i % 3);
  const std::vector<double> u = {0.1, 0.35, 0.6, 0.9};
  const double h = 1e-6;
  std::vector<double> up = u, down = u;
  for (auto& x : up) x += h;
  for (auto& x : down) x -= h;
  Curves c, cp, cm;
  ASSERT_EQ(loss_curve(p.logs, p.controls, u, c).status, 0);
  ASSERT_EQ(loss_curve(p.logs, p.controls, up, cp).status, 0);
  ASSERT_EQ(loss_curve(p.logs, p.controls, down, cm).status, 0);
  for (std::size_t k = 0; k < c.curve.size(); ++k) {
    const double fd = (cp.curve[k] - cm.curve[k]) / (2 * h);
    EXPECT_NEAR(c.partial[k], fd, 1e-7 * (1 + std::fabs(fd))) << k;
  }
}

// Evaluates interval c of one channel at many t and checks that the values stay monotone in
// the direction of the node values.
void expect_monotone(const Curves& c, int64_t nodes, int64_t row, int channel) {
  const double* r = c.curve.values().data() + row * row_length(nodes);
  for (int64_t k = 0; k + 1 < nodes; ++k) {
    const double* p = r + 2 * nodes + 2 + 8 * k + channel;
    const double y0 = r[2 * k + channel], y1 = r[2 * k + 2 + channel];
    const double direction = y1 > y0 ? 1.0 : (y1 < y0 ? -1.0 : 0.0);
    const double slack = 4e-16 * std::max(std::fabs(y0), std::fabs(y1));
    double previous = y0;
    for (int i = 1; i <= 64; ++i) {
      const double t = i / 64.0;
      double v = 0;
      for (int l = 0; l < 4; ++l) v += bernstein(l, t) * p[2 * l];
      if (direction == 0.0) {
        EXPECT_NEAR(v, y0, slack) << "flat interval " << k;
      } else {
        EXPECT_GE(direction * (v - previous), -slack) << "interval " << k << " t " << t;
      }
      previous = v;
    }
  }
}

TEST(LossCurve, ChannelsAreMonotoneBetweenMonotoneNodes) {
  const int64_t n = 9;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> step(0.0, 1.5);
  CurveProblem p = make_curves(n, 3);
  // Row 0 increasing, row 1 decreasing, row 2 flat for four nodes then steep; random steps.
  for (int trial = 0; trial < 20; ++trial) {
    for (int b = 0; b < 3; ++b) {
      std::vector<double> levels(n);
      double level = -8.0;
      for (int64_t i = 0; i < n; ++i) {
        if (b == 2)
          level = i < 4 ? -6.0 : -6.0 + (i - 3) * step(rng) * 2.0;
        else
          level += step(rng) * step(rng);
        levels[i] = b == 1 ? -8.0 - level : level;
      }
      for (int64_t i = 0; i < n; ++i)
        for (int ch = 0; ch < 2; ++ch)
          for (int k = 0; k < 4; ++k)
            p.controls[((b * (2 * n + 1)) + 2 * i + ch) * 4 + k] =
                std::min(0.0, levels[i] - ch * 0.5 + 0.0);
    }
    Curves c;
    ASSERT_EQ(loss_curve(p.logs, p.controls, {0.5, 0.5, 0.5}, c).status, 0);
    for (int b = 0; b < 3; ++b)
      for (int ch = 0; ch < 2; ++ch) expect_monotone(c, n, b, ch);
  }
}

TEST(LossCurve, ControlDomainAndSingleNode) {
  CurveProblem p = make_curves(1, 1);
  Curves c;
  for (double& v : p.controls.values()) v = -745.0;
  ASSERT_EQ(loss_curve(p.logs, p.controls, {0.5}, c).status, 0);
  ASSERT_EQ(c.curve.size(), 4u);  // two node values, two values at cosine 0
  EXPECT_GT(c.curve[0], 0.0);
  p.controls[2] = -745.5;
  const Result r = loss_curve(p.logs, p.controls, {0.5}, c);
  EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "curve control domain");
  // N = 1: every lookup is the line from cosine 0 to the node at 1.
  p = make_curves(1, 1);
  ASSERT_EQ(loss_curve(p.logs, p.controls, {0.3}, c).status, 0);
  Queries q;
  ASSERT_EQ(loss_query(p, c, {0.0, 0.25, 1.0}, {0, 0, 0}, q).status, 0);
  for (int i = 0; i < 3; ++i) {
    const double mu = i == 0 ? 0.0 : (i == 1 ? 0.25 : 1.0);
    EXPECT_DOUBLE_EQ(q.query[i * 6], c.curve[2] + (c.curve[0] - c.curve[2]) * mu);
    EXPECT_DOUBLE_EQ(q.query[i * 6 + 4], c.curve[0] - c.curve[2]);
  }
  EXPECT_DOUBLE_EQ(q.mean[0], (2 * c.curve[0] + c.curve[2]) / 3);
}

TEST(LossCurve, BackwardIsThePairwiseSumOfPartialTimesCotangent) {
  CurveProblem p = make_curves(5, 3, 9);
  const std::vector<double> u = {0.2, 0.5, 0.8};
  Curves c;
  ASSERT_EQ(loss_curve(p.logs, p.controls, u, c).status, 0);
  const int64_t length = 44;
  Tensor<double> g({3, length}), grad({3});
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  for (double& x : g.values()) x = uni(rng);
  uint64_t bytes = 0, alignment = 0;
  ASSERT_EQ(vrel_shading_loss_curve_workspace(3, 5, &g_cpu, &bytes, &alignment, nullptr), 0);
  Workspace ws(bytes, alignment);
  ASSERT_EQ(vrel_shading_loss_curve_backward(c.partial.in(), g.in(), &g_cpu, grad.out(), ws.get(),
                                             nullptr),
            0);
  const double h = 1e-6;
  for (int b = 0; b < 3; ++b) {
    std::vector<double> terms;
    for (int k = 0; k < length; ++k) terms.push_back(c.partial[b * length + k] * g[b * length + k]);
    while (terms.size() > 1) {
      std::vector<double> next;
      for (std::size_t i = 0; i + 1 < terms.size(); i += 2) next.push_back(terms[i] + terms[i + 1]);
      if (terms.size() % 2) next.push_back(terms.back());
      terms = next;
    }
    EXPECT_EQ(grad[b], terms[0]);
    // Finite differences of sum_k g * curve in u.
    std::vector<double> up = u, down = u;
    up[b] += h;
    down[b] -= h;
    Curves cp, cm;
    ASSERT_EQ(loss_curve(p.logs, p.controls, up, cp).status, 0);
    ASSERT_EQ(loss_curve(p.logs, p.controls, down, cm).status, 0);
    double fd = 0;
    for (int k = 0; k < length; ++k)
      fd += g[b * length + k] * (cp.curve[b * length + k] - cm.curve[b * length + k]) / (2 * h);
    EXPECT_NEAR(grad[b], fd, 1e-7);
  }
}

TEST(LossQuery, LookupsMatchAnIndependentEvaluation) {
  CurveProblem p = make_curves(8, 2, 4);
  Curves c;
  ASSERT_EQ(loss_curve(p.logs, p.controls, {0.3, 0.7}, c).status, 0);
  std::vector<double> mu = {0.0, 0.01, p.cn[0] * 0.999, p.cn[0], 0.2, 0.5, p.cn[5], 0.93, 1.0};
  std::vector<int32_t> owners;
  for (std::size_t i = 0; i < mu.size(); ++i) owners.push_back(static_cast<int32_t>(i % 2));
  Queries q;
  ASSERT_EQ(loss_query(p, c, mu, owners, q).status, 0);
  const std::size_t length = row_length(8);
  for (std::size_t i = 0; i < mu.size(); ++i) {
    const double* row = c.curve.values().data() + owners[i] * length;
    const double* prow = c.partial.values().data() + owners[i] * length;
    for (int ch = 0; ch < 2; ++ch) {
      const double v = reference_lookup(p, row, ch, mu[i]);
      EXPECT_NEAR(q.query[i * 6 + ch], v, 1e-14 * (1 + std::fabs(v))) << i;
      EXPECT_NEAR(q.query[i * 6 + 2 + ch], reference_lookup(p, prow, ch, mu[i]), 1e-13) << i;
      if (mu[i] > 0.02 && mu[i] < 0.98 && mu[i] != p.cn[5] && mu[i] != p.cn[0]) {
        const double h = 1e-7 * mu[i];
        const double fd =
            (reference_lookup(p, row, ch, mu[i] + h) - reference_lookup(p, row, ch, mu[i] - h)) /
            (2 * h);
        EXPECT_NEAR(q.query[i * 6 + 4 + ch], fd, 1e-6 * (1 + std::fabs(fd))) << i;
      }
    }
  }
}

TEST(LossQuery, MeansAreTheIntegralOfTwoMuE) {
  CurveProblem p = make_curves(10, 2, 8);
  Curves c;
  ASSERT_EQ(loss_curve(p.logs, p.controls, {0.25, 0.75}, c).status, 0);
  Queries q;
  ASSERT_EQ(loss_query(p, c, {}, {}, q).status, 0);
  std::vector<double> x, w;
  gauss_legendre(30, x, w);
  const std::size_t length = row_length(10);
  for (int b = 0; b < 2; ++b) {
    for (int column = 0; column < 4; ++column) {
      const double* row = (column < 2 ? c.curve : c.partial).values().data() + b * length;
      // 2 mu E(mu) over [0, cn0] and over each [cn_k, cn_k+1], integrated in mu.
      double integral = 0;
      std::vector<double> edges = {0.0};
      edges.insert(edges.end(), p.cn.begin(), p.cn.end());
      for (std::size_t e = 0; e + 1 < edges.size(); ++e)
        for (std::size_t i = 0; i < x.size(); ++i) {
          const double mu = edges[e] + (edges[e + 1] - edges[e]) * x[i];
          integral +=
              (edges[e + 1] - edges[e]) * w[i] * 2 * mu * reference_lookup(p, row, column % 2, mu);
        }
      EXPECT_NEAR(q.mean[b * 4 + column], integral, 1e-12) << b << " " << column;
    }
  }
}

TEST(LossQuery, RefusesQueriesWithoutRows) {
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_shading_loss_query_workspace(0, 4, 0, &g_cpu, &bytes, &alignment, nullptr), 0);
  EXPECT_EQ(bytes, 8u);
  Diag diag;
  EXPECT_EQ(vrel_shading_loss_query_workspace(0, 4, 1, &g_cpu, &bytes, &alignment, diag), 1);
  EXPECT_EQ(diag.text(), "query extent invalid");
}

// The query backward against finite differences of the whole chain u -> curve -> query.
TEST(LossQuery, BackwardMatchesFiniteDifferencesInUAndCosine) {
  CurveProblem p = make_curves(6, 3, 12);
  const std::vector<double> u = {0.3, 0.6, 0.45};
  const std::vector<double> mu = {0.05, 0.4, 0.8, 0.97, 0.6};
  const std::vector<int32_t> owners = {0, 1, 0, 1, 0};  // row 2 owns no query
  const std::vector<double> g = {0.3, -0.7, 1.1, 0.2, -0.4, 0.9, 0.5, 0.5, -1.2, 0.8};
  const std::vector<double> mg = {0.6, -0.2, 0.3, 0.9, -0.5, 0.7};
  auto objective = [&](const std::vector<double>& uu, const std::vector<double>& cos) {
    Curves c;
    Queries q;
    EXPECT_EQ(loss_curve(p.logs, p.controls, uu, c).status, 0);
    EXPECT_EQ(loss_query(p, c, cos, owners, q).status, 0);
    double f = 0;
    for (int i = 0; i < 5; ++i) f += g[i * 2] * q.query[i * 6] + g[i * 2 + 1] * q.query[i * 6 + 1];
    for (int b = 0; b < 3; ++b) f += mg[b * 2] * q.mean[b * 4] + mg[b * 2 + 1] * q.mean[b * 4 + 1];
    return f;
  };
  Curves c;
  Queries q;
  ASSERT_EQ(loss_curve(p.logs, p.controls, u, c).status, 0);
  ASSERT_EQ(loss_query(p, c, mu, owners, q).status, 0);
  Tensor<int32_t> own({5}, owners);
  Tensor<double> grad({5, 2}, g), mean_grad({3, 2}, mg), cosine_grad({5}), u_grad({3});
  uint64_t bytes = 0, alignment = 0;
  ASSERT_EQ(vrel_shading_loss_query_workspace(3, 6, 5, &g_cpu, &bytes, &alignment, nullptr), 0);
  Workspace ws(bytes, alignment);
  ASSERT_EQ(vrel_shading_loss_query_backward(q.query.in(), q.mean.in(), own.in(), grad.in(),
                                             mean_grad.in(), &g_cpu, cosine_grad.out(),
                                             u_grad.out(), ws.get(), nullptr),
            0);
  const double h = 1e-6;
  for (int b = 0; b < 3; ++b) {
    std::vector<double> up = u, down = u;
    up[b] += h;
    down[b] -= h;
    EXPECT_NEAR(u_grad[b], (objective(up, mu) - objective(down, mu)) / (2 * h), 1e-7) << b;
  }
  // The Part's products and order, bit for bit: row 2 owns no query (mean terms only), row 1
  // owns queries 1 and 3.
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(cosine_grad[i], g[i * 2] * q.query[i * 6 + 4] + g[i * 2 + 1] * q.query[i * 6 + 5]);
  auto query_term = [&](int i) {
    return g[i * 2 + 1] * q.query[i * 6 + 3] + g[i * 2] * q.query[i * 6 + 2];
  };
  auto mean_terms = [&](int b) {
    return mg[b * 2 + 1] * q.mean[b * 4 + 3] + q.mean[b * 4 + 2] * mg[b * 2];
  };
  EXPECT_EQ(u_grad[2], mean_terms(2) + 0.0);
  EXPECT_EQ(u_grad[1], mean_terms(1) + (query_term(1) + query_term(3)));
  EXPECT_EQ(u_grad[0], mean_terms(0) + ((query_term(0) + query_term(2)) + query_term(4)));
  EXPECT_NE(u_grad[2], 0.0);
  for (int i = 0; i < 5; ++i) {
    std::vector<double> up = mu, down = mu;
    up[i] += h;
    down[i] -= h;
    EXPECT_NEAR(cosine_grad[i], (objective(u, up) - objective(u, down)) / (2 * h), 1e-6) << i;
  }
}

}  // namespace
