// Newton square root and robust unit vectors: the fixed iteration, the scaling by the largest
// component, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "math/unit_vector.hpp"

namespace {

using vrel::math::newton_sqrt6;
using vrel::math::robust_unit;

TEST(NewtonSqrt, IsSixStepsFromOneAndAHalf) {
  for (double x : {4.0, 1.0, 0.5, 0.2, 1e-300}) {
    double r = 1.5;
    for (int i = 0; i < 6; ++i) r = 0.5 * (x / r + r);
    EXPECT_EQ(r, newton_sqrt6(x)) << x;
  }
  EXPECT_NEAR(std::sqrt(3.0), newton_sqrt6(3.0), 1e-15);
  EXPECT_GT(std::fabs(newton_sqrt6(1e-6) - 1e-3), 1e-3);  // six steps do not converge there
}

TEST(RobustUnit, NormalisesAcrossTheRange) {
  double out[3];
  const double down[3] = {0, 0, -5};
  ASSERT_TRUE(robust_unit(down, out));
  EXPECT_EQ(0.0, out[0]);
  EXPECT_EQ(0.0, out[1]);
  EXPECT_EQ(-1.0, out[2]);
  for (double scale : {1e-310, 1e-150, 1.0, 1e150, 1e300}) {
    const double v[3] = {3 * scale, -4 * scale, 12 * scale};
    ASSERT_TRUE(robust_unit(v, out)) << scale;
    EXPECT_NEAR(3.0 / 13, out[0], 1e-15);
    EXPECT_NEAR(-4.0 / 13, out[1], 1e-15);
    EXPECT_NEAR(12.0 / 13, out[2], 1e-15);
  }
}

TEST(RobustUnit, RefusesZeroAndNonFiniteWithoutWriting) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double cases[][3] = {{0, 0, 0}, {inf, 0, 0}, {1, nan, 0}, {0, 1, -inf}};
  for (const auto& v : cases) {
    double out[3] = {7, 7, 7};
    EXPECT_FALSE(robust_unit(v, out));
    EXPECT_EQ(7.0, out[0]);
  }
}

}  // namespace
