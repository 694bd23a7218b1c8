// The fixed quadrature rules: exactness up to the recorded degree and not beyond, positive
// weights, interior nodes, the collapsed product built from the line rules, the published values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "opaque/rules.hpp"

namespace vrel::opaque {
namespace {

struct Named {
  std::string name;
  TriangleRule rule;
  int32_t count;
};

std::vector<Named> all_rules() {
  std::vector<Named> rules;
  for (int32_t v = kPlainRuleMin; v <= kPlainRuleMax; ++v)
    rules.push_back({"plain " + std::to_string(v), plain_rule(v), 5 * v});
  rules.push_back({"cut 12", cut_rule(12), 288});
  rules.push_back({"cut 5", cut_rule(5), 120});
  rules.push_back({"material", material_rule(), kMaterialRuleCount});
  rules.push_back({"symmetric 28", symmetric_rule_28(), 28});
  return rules;
}

// The integral of a^i b^j over the reference triangle: i! j! / (i + j + 2)!.
double monomial_integral(int i, int j) {
  return std::exp(std::lgamma(i + 1.0) + std::lgamma(j + 1.0) - std::lgamma(i + j + 3.0));
}

// The largest relative error over the monomials of total degree d. Every term is positive, so
// an extended-precision sum keeps the rounding far below the tolerances used here.
double worst_error(const TriangleRule& r, int d) {
  double worst = 0.0;
  for (int i = 0; i <= d; ++i) {
    long double sum = 0.0L;
    for (int32_t k = 0; k < r.count; ++k)
      sum += static_cast<long double>(r.w[k]) * std::pow(static_cast<long double>(r.a[k]), i) *
             std::pow(static_cast<long double>(r.b[k]), d - i);
    const double exact = monomial_integral(i, d - i);
    worst = std::max(worst, static_cast<double>(std::fabs(sum - exact) / exact));
  }
  return worst;
}

TEST(OpaqueRules, ExactToTheRecordedDegreeAndNoFurther) {
  for (const auto& [name, r, count] : all_rules()) {
    ASSERT_EQ(r.count, count) << name;
    for (int d = 0; d <= r.degree; ++d) EXPECT_LT(worst_error(r, d), 2e-13) << name << " " << d;
    EXPECT_GT(worst_error(r, r.degree + 1), 1e-12) << name;
  }
}

TEST(OpaqueRules, PositiveWeightsAndStrictlyInteriorNodes) {
  for (const auto& [name, r, count] : all_rules())
    for (int32_t k = 0; k < r.count; ++k) {
      EXPECT_GT(r.w[k], 0.0) << name << " " << k;
      EXPECT_GT(r.a[k], 0.0) << name << " " << k;
      EXPECT_GT(r.b[k], 0.0) << name << " " << k;
      EXPECT_LT(r.a[k] + r.b[k], 1.0) << name << " " << k;
    }
}

TEST(OpaqueRules, PlainRuleIsTheCollapsedProductInSlotOrder) {
  const LineRule s = gauss_legendre(5);
  for (int32_t v = kPlainRuleMin; v <= kPlainRuleMax; ++v) {
    const TriangleRule r = plain_rule(v);
    const LineRule t = gauss_legendre(v);
    ASSERT_EQ(r.count, 5 * v);
    for (int32_t i = 0; i < 5; ++i)
      for (int32_t j = 0; j < v; ++j) {
        const int32_t k = i * v + j;
        EXPECT_EQ(r.a[k], s.x[i]) << v << " " << k;
        EXPECT_NEAR(r.b[k], (1.0 - s.x[i]) * t.x[j], 4e-16) << v << " " << k;
        EXPECT_NEAR(r.w[k], (1.0 - s.x[i]) * s.w[i] * t.w[j], 1e-16) << v << " " << k;
      }
  }
}

TEST(OpaqueRules, GaussLegendreRulesAreExactAndCarryThePublishedValues) {
  for (int32_t n = kPlainRuleMin; n <= kPlainRuleMax; ++n) {
    const LineRule r = gauss_legendre(n);
    ASSERT_EQ(r.count, n);
    for (int k = 0; k <= 2 * n; ++k) {
      long double sum = 0.0L;
      for (int32_t i = 0; i < n; ++i) sum += r.w[i] * std::pow(static_cast<long double>(r.x[i]), k);
      const double error = std::fabs(static_cast<double>(sum) - 1.0 / (k + 1)) * (k + 1);
      if (k < 2 * n)
        EXPECT_LT(error, 1e-14) << n << " " << k;
      else
        EXPECT_GT(error, 1e-12) << n << " " << k;
    }
  }
  const LineRule five = gauss_legendre(5);
  const double nodes[] = {0.046910077030668004, 0.23076534494715845, 0.5, 0.7692346550528415,
                          0.953089922969332};
  const double weights[] = {0.11846344252809454, 0.23931433524968324, 0.28444444444444444};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(five.x[i], nodes[i]) << i;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(five.w[i], weights[i]) << i;
  // The 8-point nodes are correctly rounded; the first is 0.01985507175123188416 to 20 digits.
  const LineRule eight = gauss_legendre(8);
  EXPECT_NEAR(eight.x[0], 0.019855071751231912, 4e-17);
  EXPECT_EQ(eight.x[1], 0.10166676129318664);
}

TEST(OpaqueRules, SymmetricRuleCarriesThePublishedBarycentrics) {
  const TriangleRule r = symmetric_rule_28();
  for (double published : {0.4987801651784608, 0.8263297175927509, 0.1593036198376935,
                           0.7735843454266121, 0.4366550163931761}) {
    double nearest = 1.0;
    for (int32_t k = 0; k < r.count; ++k)
      for (double lambda : {1.0 - r.a[k] - r.b[k], r.a[k], r.b[k]})
        nearest = std::min(nearest, std::fabs(lambda - published));
    EXPECT_LT(nearest, 3e-16) << published;
  }
}

TEST(OpaqueRules, UnsupportedOrdersHaveNoNodes) {
  for (int32_t v : {4, 9, -1}) {
    EXPECT_EQ(plain_rule(v).count, 0);
    EXPECT_EQ(gauss_legendre(v).count, 0);
  }
  for (int32_t order : {0, 6, 11, 13}) EXPECT_EQ(cut_rule(order).count, 0);
}

}  // namespace
}  // namespace vrel::opaque
