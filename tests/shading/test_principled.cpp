// The principled BRDF against an independent plain-double evaluation, its worked cases, the
// limits, the agreement of the three variants, the Jacobian against finite differences of the
// whole chain (curves and means remade from u(roughness)), and the backward's summation order.
#include <array>
#include <cstring>

#include "tests/shading/shading_support.hpp"

using namespace vrel::test;
using namespace vrel::test::shading;

namespace {

constexpr double kRoughness0 = 0.2, kWidth = 0.8;  // u = (roughness - 0.2) / 0.8

// Curves at u(roughness) for each point, their means, and the scene's rows built from them.
struct Chain {
  CurveProblem problem = make_curves(7, 1, 21);

  // Curves (at most 32 rows a call) and means at u(roughness) for every point.
  void remake(Scene& s) {
    const CurveProblem base = make_curves(7, 32, 21);
    s.curve.clear(), s.partial.clear(), s.mean.clear();
    for (int64_t first = 0; first < s.points; first += 32) {
      const int64_t rows = std::min<int64_t>(32, s.points - first);
      std::vector<double> u;
      for (int64_t p = first; p < first + rows; ++p)
        u.push_back((s.roughness[p] - kRoughness0) / kWidth);
      problem.controls = Tensor<double>(
          {rows, 15, 4}, std::vector<double>(base.controls.values().begin(),
                                             base.controls.values().begin() + rows * 60));
      Curves c;
      Queries q;
      EXPECT_EQ(loss_curve(problem.logs, problem.controls, u, c).status, 0);
      EXPECT_EQ(loss_query(problem, c, {}, {}, q).status, 0);
      s.curve.insert(s.curve.end(), c.curve.values().begin(), c.curve.values().end());
      s.partial.insert(s.partial.end(), c.partial.values().begin(), c.partial.values().end());
      s.mean.insert(s.mean.end(), q.mean.values().begin(), q.mean.values().end());
    }
    s.width.assign(s.points, kWidth);
  }

  Scene scene(int64_t points, int64_t lights, uint32_t seed) {
    Curves c;
    Tensor<double> means({1, 4});
    problem = make_curves(7, 1, 21);
    EXPECT_EQ(loss_curve(problem.logs, problem.controls, {0.5}, c).status, 0);
    Scene s = make_scene(problem, c, means, points, lights, points, seed);
    remake(s);
    return s;
  }
};

std::array<double, 3> unit(const double* x) {
  const double len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
  return {x[0] / len, x[1] / len, x[2] / len};
}
double dot(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The BRDF in its textbook form: D = a2 / (pi (NdotH^2 (a2 - 1) + 1)^2), the height-correlated
// visibility, Fresnel f + (1 - f)(1 - VdotH)^5, the diffuse term scaled by the loss curves.
std::array<double, 3> reference(const Scene& s, int64_t p, int64_t l, int64_t g, bool two_sided) {
  std::array<double, 3> n = unit(&s.normal[p * 3]);
  const std::array<double, 3> v = unit(&s.view[p * 3]), li = unit(&s.light[(p * s.lights + l) * 3]);
  if (two_sided && dot(n, v) < 0)
    for (double& x : n) x = -x;
  double nv = dot(n, v), nl = dot(n, li);
  if (nv <= 0 || nl <= 0) return {0, 0, 0};
  const double sum[3] = {v[0] + li[0], v[1] + li[1], v[2] + li[2]};
  const std::array<double, 3> h = unit(sum);
  nv = std::min(nv, 1.0), nl = std::min(nl, 1.0);
  const double nh = std::min(dot(n, h), 1.0), vh = std::min(dot(v, h), 1.0);
  const double* row = &s.curve[g * (10 * s.nodes() - 6)];
  const double* mean = &s.mean[g * 4];
  const double a2 = std::pow(s.roughness[p], 4);
  const double d = a2 / (M_PI * std::pow(nh * nh * (a2 - 1) + 1, 2));
  const double vis =
      0.5 / (nl * std::sqrt(nv * nv * (1 - a2) + a2) + nv * std::sqrt(nl * nl * (1 - a2) + a2));
  std::array<double, 3> out;
  for (int i = 0; i < 3; ++i) {
    const double f = s.f0[p * 3 + i];
    auto mix = [&](double mu) {
      return (1 - f) * reference_lookup(s.cn, s.logs, row, 0, mu) +
             f * reference_lookup(s.cn, s.logs, row, 1, mu);
    };
    const double fresnel = f + (1 - f) * std::pow(1 - vh, 5);
    out[i] = s.albedo[p * 3 + i] * mix(nv) * mix(nl) / (M_PI * ((1 - f) * mean[0] + f * mean[1])) +
             d * vis * fresnel;
  }
  return out;
}

TEST(Principled, MatchesTheTextbookFormAndIsReciprocal) {
  Chain chain;
  Scene s = chain.scene(12, 6, 4);
  for (bool two_sided : {false, true}) {
    Tensor<double> out;
    ASSERT_EQ(principled(vrel_shading_principled_groups, s, two_sided, out).status, 0);
    int nonzero = 0;
    for (int64_t p = 0; p < s.points; ++p)
      for (int64_t l = 0; l < s.lights; ++l) {
        const std::array<double, 3> ref = reference(s, p, l, p, two_sided);
        for (int i = 0; i < 3; ++i) {
          EXPECT_NEAR(out[(p * s.lights + l) * 3 + i], ref[i], 1e-13 * std::fabs(ref[i])) << p << l;
          nonzero += ref[i] != 0;
        }
      }
    EXPECT_GT(nonzero, 150);
  }
  // Swapping view and light gives the same value.
  Scene swapped = s;
  swapped.lights = 1;
  swapped.light.assign(s.view.begin(), s.view.end());
  Scene straight = swapped;
  for (int64_t p = 0; p < s.points; ++p)
    for (int k = 0; k < 3; ++k) swapped.view[p * 3 + k] = s.light[p * s.lights * 3 + k];
  for (int64_t p = 0; p < s.points; ++p)
    for (int k = 0; k < 3; ++k)
      straight.light[p * 3 + k] = swapped.view[p * 3 + k],
                             straight.view[p * 3 + k] = swapped.light[p * 3 + k];
  Tensor<double> a, b;
  ASSERT_EQ(principled(vrel_shading_principled_groups, swapped, 0, a).status, 0);
  ASSERT_EQ(principled(vrel_shading_principled_groups, straight, 0, b).status, 0);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-14 * std::fabs(a[i]));
}

TEST(Principled, BelowTheSurfaceIsExactlyZeroAndTwoSidedFlipsTheNormal) {
  Chain chain;
  Scene s = chain.scene(2, 2, 6);
  for (int k = 0; k < 3; ++k) s.light[k] = -s.light[k] - (k == 2 ? 1.0 : 0.0);  // pair (0,0) below
  for (int k = 0; k < 3; ++k) s.view[3 + k] = -s.view[3 + k];  // point 1 is seen and lit from below
  for (int k = 6; k < 12; ++k) s.light[k] = -s.light[k];
  for (bool two_sided : {false, true}) {
    Tensor<double> out, jac;
    ASSERT_EQ(principled(vrel_shading_principled_groups, s, two_sided | VREL_SHADING_DERIVATIVES,
                         out, &jac)
                  .status,
              0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], 0.0);
    for (int j = 0; j < 48; ++j) EXPECT_EQ(jac[j], 0.0);
    for (int i = 6; i < 12; ++i) {
      if (two_sided)
        EXPECT_GT(out[i], 0.0);
      else
        EXPECT_EQ(out[i], 0.0);
    }
  }
  // Two-sided shading with a view from below is one-sided shading with the normal negated.
  Scene flipped = s;
  for (int k = 0; k < 3; ++k) flipped.normal[3 + k] = -s.normal[3 + k];
  Tensor<double> a, b, ja, jb;
  ASSERT_EQ(principled(vrel_shading_principled_groups, s, 3, a, &ja).status, 0);
  ASSERT_EQ(principled(vrel_shading_principled_groups, flipped, 2, b, &jb).status, 0);
  for (int i = 6; i < 12; ++i) EXPECT_EQ(a[i], b[i]);
  for (int i = 6 * 16; i < 12 * 16; ++i) EXPECT_EQ(ja[i], (i % 16 < 3 ? -1 : 1) * jb[i]) << i;
}

TEST(Principled, HeadOnViewAndLightAreValid) {
  Chain chain;
  Scene s = chain.scene(128, 1, 8);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> sym(-1.0, 1.0);
  for (int64_t p = 0; p < s.points; ++p)
    for (int k = 0; k < 3; ++k) {
      const double x = p == 0 ? (k == 2 ? 1.0 : 0.0) : sym(rng) * (k == 2 ? 0.2 : 1.0) + (k == 2);
      s.normal[p * 3 + k] = s.view[p * 3 + k] = s.light[p * 3 + k] = x;
    }
  Tensor<double> values, jacobian, plain;
  Diag diag;
  ASSERT_EQ(principled(vrel_shading_principled_groups, s, 0, plain).status, 0);
  const Result r =
      principled(vrel_shading_principled_groups, s, VREL_SHADING_DERIVATIVES, values, &jacobian);
  ASSERT_EQ(r.status, 0) << r.message;
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_GT(values[i], 0.0);
    EXPECT_TRUE(std::isfinite(values[i]));
    EXPECT_EQ(std::memcmp(&values[i], &plain[i], 8), 0);  // the same bits with the Jacobian
  }
}

TEST(Principled, DomainsAndLimits) {
  Chain chain;
  Scene s = chain.scene(5, 3, 10);
  Tensor<double> out, jac;
  s.roughness[1] = 1.0;
  s.roughness[2] = 1e-3;
  EXPECT_EQ(principled(vrel_shading_principled_groups, s, 2, out).status, 0);
  s.roughness[2] = 0.0;
  EXPECT_EQ(principled(vrel_shading_principled_groups, s, 0, out).message,
            "Principled roughness domain");
  s.roughness[2] = 0.5;
  Scene short_axis = s;
  short_axis.cn.back() = 0.999;
  EXPECT_EQ(principled(vrel_shading_principled_groups, short_axis, 0, out).message,
            "Principled cosine axis endpoint");
  // Pairs: 8 points without the Jacobian, 4 with it; groups: 128 points and 8 lights.
  EXPECT_EQ(principled(vrel_shading_principled_pairs, s, 0, out).status, 0);
  const Result limited = principled(vrel_shading_principled_pairs, s, 2, out);
  EXPECT_EQ(limited.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(limited.message, "Principled point/light limits invalid");
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_shading_principled_pairs_workspace(9, 1, 0, &g_cpu, &bytes, &alignment, nullptr),
            1);
  EXPECT_EQ(
      vrel_shading_principled_groups_workspace(128, 8, 1, &g_cpu, &bytes, &alignment, nullptr), 0);
  EXPECT_EQ(bytes, 128u * 8 * 8 + 8);
  EXPECT_EQ(
      vrel_shading_principled_groups_workspace(2, 513, 0, &g_cpu, &bytes, &alignment, nullptr), 1);
  EXPECT_EQ(vrel_shading_principled_groups_workspace(1, -1, 0, &g_cpu, &bytes, &alignment, nullptr),
            1);
  EXPECT_EQ(vrel_shading_principled_groups_workspace(3, 0, 0, &g_cpu, &bytes, &alignment, nullptr),
            0);
  EXPECT_EQ(bytes, 3u * 8 + 8);
  // A single cosine node: every lookup is the line from cosine 0 to the node at 1.
  CurveProblem single = make_curves(1, 1);
  Curves line;
  Tensor<double> line_mean({1, 4}, {0.5, 0.25, 0.0, 0.0});
  ASSERT_EQ(loss_curve(single.logs, single.controls, {0.5}, line).status, 0);
  Scene flat = make_scene(single, line, line_mean, 3, 2, 3, 30);
  ASSERT_EQ(principled(vrel_shading_principled_groups, flat, 2, out, &jac).status, 0);
  for (int64_t p = 0; p < 3; ++p)
    for (int64_t l = 0; l < 2; ++l) {
      const std::array<double, 3> ref = reference(flat, p, l, p, false);
      for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(out[(p * 2 + l) * 3 + i], ref[i], 1e-13 * std::fabs(ref[i]));
    }
  Scene big = chain.scene(128, 8, 12);
  EXPECT_EQ(principled(vrel_shading_principled_groups, big, 2, out, &jac).status, 0);
}

TEST(Principled, VariantsAgreeBitForBit) {
  Chain chain;
  Scene s = chain.scene(4, 3, 14);
  // Every point on row 0, so that the shared row gives the same inputs.
  const std::size_t length = 64;
  for (int64_t p = 1; p < 4; ++p) {
    std::copy_n(s.curve.begin(), length, s.curve.begin() + p * length);
    std::copy_n(s.partial.begin(), length, s.partial.begin() + p * length);
    std::copy_n(s.mean.begin(), 4, s.mean.begin() + p * 4);
  }
  Scene shared = s;
  shared.curve.resize(length), shared.partial.resize(length), shared.mean.resize(4),
      shared.width.resize(1);
  for (uint32_t options : {0u, 2u, 3u}) {
    Tensor<double> o1, o2, o3, j1, j2, j3;
    ASSERT_EQ(principled(vrel_shading_principled_pairs, s, options, o1, &j1).status, 0);
    ASSERT_EQ(principled(vrel_shading_principled_groups, s, options, o2, &j2).status, 0);
    ASSERT_EQ(principled(vrel_shading_principled_shared_groups, shared, options, o3, &j3).status,
              0);
    EXPECT_EQ(std::memcmp(o1.ptr(), o2.ptr(), o1.bytes()), 0);
    EXPECT_EQ(std::memcmp(o1.ptr(), o3.ptr(), o1.bytes()), 0);
    if (options & 2) {
      EXPECT_EQ(std::memcmp(j1.ptr(), j2.ptr(), j1.bytes()), 0);
      EXPECT_EQ(std::memcmp(j1.ptr(), j3.ptr(), j1.bytes()), 0);
    }
  }
}

// Every Jacobian column against central differences of the forward, the roughness column through
// curves and means remade by the loss-curve and loss-query exports at u(roughness).
TEST(Principled, JacobianMatchesFiniteDifferencesThroughTheCurves) {
  Chain chain;
  Scene s = chain.scene(3, 2, 16);
  for (bool two_sided : {false, true}) {
    if (two_sided)
      for (int k = 0; k < 3; ++k) s.view[3 + k] = -s.view[3 + k];
    Tensor<double> out, jac;
    ASSERT_EQ(principled(vrel_shading_principled_groups, s, two_sided | 2u, out, &jac).status, 0);
    auto evaluate = [&](Scene t) {
      chain.remake(t);
      Tensor<double> o;
      EXPECT_EQ(principled(vrel_shading_principled_groups, t, two_sided, o).status, 0);
      return o;
    };
    const double h = 1e-6;
    for (int64_t p = 0; p < s.points; ++p) {
      for (int column = 0; column < 16; ++column) {
        for (int64_t l = 0; l < (column >= 6 && column < 9 ? s.lights : 1); ++l) {
          auto parameter = [&](Scene& t) -> double& {
            if (column < 3) return t.normal[p * 3 + column];
            if (column < 6) return t.view[p * 3 + column - 3];
            if (column < 9) return t.light[(p * s.lights + l) * 3 + column - 6];
            if (column < 12) return t.albedo[p * 3 + column - 9];
            if (column == 12) return t.roughness[p];
            return t.f0[p * 3 + column - 13];
          };
          Scene up = s, down = s;
          parameter(up) += h;
          parameter(down) -= h;
          const Tensor<double> fu = evaluate(up), fd = evaluate(down);
          for (int64_t k = 0; k < s.lights; ++k) {
            if (column >= 6 && column < 9 && k != l) continue;
            for (int i = 0; i < 3; ++i) {
              const std::size_t at = (p * s.lights + k) * 3 + i;
              const double numeric = (fu[at] - fd[at]) / (2 * h);
              EXPECT_NEAR(jac[at * 16 + column], numeric, 2e-6 * (1 + std::fabs(numeric)))
                  << "point " << p << " light " << k << " channel " << i << " column " << column;
            }
          }
        }
      }
    }
  }
}

TEST(Principled, BackwardIsTheCotangentTimesTheJacobianInPairwiseOrder) {
  Chain chain;
  Scene s = chain.scene(5, 7, 18);
  Tensor<double> out, jac;
  ASSERT_EQ(principled(vrel_shading_principled_groups, s, 2, out, &jac).status, 0);
  Tensor<double> g({5, 7, 3}), point({5, 16}), light({5, 7, 3});
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> uni(-1, 1);
  for (double& x : g.values()) x = uni(rng);
  uint64_t bytes = 0, alignment = 0;
  ASSERT_EQ(vrel_shading_principled_groups_workspace(5, 7, 1, &g_cpu, &bytes, &alignment, nullptr),
            0);
  Workspace ws(bytes, alignment);
  ASSERT_EQ(vrel_shading_principled_groups_backward(jac.in(), g.in(), &g_cpu, point.out(),
                                                    light.out(), ws.get(), nullptr),
            0);
  auto term = [&](int64_t pair, int column) {
    return (jac[(pair * 3) * 16 + column] * g[pair * 3] +
            jac[(pair * 3 + 1) * 16 + column] * g[pair * 3 + 1]) +
           jac[(pair * 3 + 2) * 16 + column] * g[pair * 3 + 2];
  };
  for (int64_t p = 0; p < 5; ++p) {
    for (int column = 0; column < 16; ++column) {
      double expected = 0;
      if (column < 6 || column > 8) {
        std::vector<double> t;
        for (int64_t l = 0; l < 7; ++l) t.push_back(term(p * 7 + l, column));
        // 7 terms: ((t0+t1)+(t2+t3)) + ((t4+t5)+t6)
        expected = ((t[0] + t[1]) + (t[2] + t[3])) + ((t[4] + t[5]) + t[6]);
      }
      EXPECT_EQ(point[p * 16 + column], expected) << p << " " << column;
    }
    for (int64_t l = 0; l < 7; ++l)
      for (int m = 0; m < 3; ++m) EXPECT_EQ(light[(p * 7 + l) * 3 + m], term(p * 7 + l, 6 + m));
  }
}

}  // namespace
