// The shading logarithm and the loss-curve exponential against the C library: within two ulps
// over sweeps of their domains, exact at the points where the result is known, and the gradual
// underflow of the exponential.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "math/exp_curve.hpp"
#include "math/log.hpp"

namespace {

// Distance in units in the last place between two finite doubles of the same sign.
int64_t ulps(double a, double b) {
  const auto ia = static_cast<int64_t>(std::bit_cast<uint64_t>(a) & 0x7FFFFFFFFFFFFFFFull);
  const auto ib = static_cast<int64_t>(std::bit_cast<uint64_t>(b) & 0x7FFFFFFFFFFFFFFFull);
  return ia > ib ? ia - ib : ib - ia;
}

TEST(ShadingLog, MatchesTheCLibraryAcrossTheRange) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0), exponent(-1074.0, 1023.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = i % 2 ? unit(rng) + 1e-300 : std::exp2(exponent(rng));
    if (!(x > 0) || std::isinf(x)) continue;
    const double expected = std::log(x);
    EXPECT_LE(ulps(vrel::math::log(x), expected), 2) << x;
  }
  // Near 1 the result is small and the series carries all of it.
  for (double d = -1e-3; d <= 1e-3; d += 1.7e-6)
    EXPECT_LE(ulps(vrel::math::log(1.0 + d), std::log(1.0 + d)), 2) << d;
}

TEST(ShadingLog, ExactPointsAndSubnormals) {
  EXPECT_EQ(vrel::math::log(1.0), 0.0);
  EXPECT_EQ(vrel::math::log(0.5), -0.6931471805599453);
  EXPECT_EQ(vrel::math::log(0x1p-1074), std::log(0x1p-1074));
  EXPECT_LE(ulps(vrel::math::log(3e-320), std::log(3e-320)), 1);
  // Both sides of the sqrt(2) split continue smoothly.
  const double below = std::nextafter(std::sqrt(2.0), 0.0);
  EXPECT_LE(ulps(vrel::math::log(below), std::log(below)), 1);
  EXPECT_LE(ulps(vrel::math::log(std::sqrt(2.0)), std::log(std::sqrt(2.0))), 1);
}

TEST(ExpCurve, MatchesTheCLibraryOverTheControlRange) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> x(-708.0, 709.0);
  for (int i = 0; i < 20000; ++i) {
    const double v = i % 4 ? x(rng) : -x(rng) / 709.0;  // also small arguments
    EXPECT_LE(ulps(vrel::math::exp_curve(v), std::exp(v)), 2) << v;
  }
  EXPECT_EQ(vrel::math::exp_curve(0.0), 1.0);
  EXPECT_EQ(vrel::math::exp_curve(-0.0), 1.0);
}

TEST(ExpCurve, UnderflowsGraduallyAndSaturates) {
  // Subnormal results are rounded once: within one subnormal step of the C library.
  for (double v = -744.9; v < -708.5; v += 0.37) {
    const double got = vrel::math::exp_curve(v), want = std::exp(v);
    EXPECT_LE(std::fabs(got - want), 0x1p-1074 + 2.3e-16 * want) << v;
  }
  EXPECT_GT(vrel::math::exp_curve(-745.0), 0.0);  // the smallest control value stays positive
  EXPECT_EQ(vrel::math::exp_curve(-746.0), 0.0);
  EXPECT_EQ(vrel::math::exp_curve(-1e300), 0.0);
  EXPECT_TRUE(std::isinf(vrel::math::exp_curve(710.0)));
  EXPECT_TRUE(std::isnan(vrel::math::exp_curve(NAN)));
  EXPECT_LE(ulps(vrel::math::exp_curve(709.78), std::exp(709.78)), 2);
}

}  // namespace
