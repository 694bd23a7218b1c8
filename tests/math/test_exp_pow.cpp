// The core's own exponential and rational powers against the C library, over sweeps of millions
// of arguments: within one unit in the last place everywhere, subnormal results included.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "math/exp20.hpp"
#include "math/power_of_two.hpp"
#include "math/rational_pow.hpp"

namespace {

using vrel::math::exp20;
using vrel::math::rational_pow;

// Distance in representable doubles between two finite values of the same sign (or zero).
uint64_t ulps(double a, double b) {
  const auto ia = std::bit_cast<int64_t>(a), ib = std::bit_cast<int64_t>(b);
  return ia > ib ? static_cast<uint64_t>(ia - ib) : static_cast<uint64_t>(ib - ia);
}

TEST(Exp20, WithinOneUlpOfTheCLibraryAcrossTheRange) {
  std::mt19937_64 rng(20);
  // The whole finite range, the subnormal results, and the small arguments.
  const struct {
    double lo, hi;
    int count;
  } ranges[] = {{-745.2, 709.78, 1000000},
                {-745.2, -708.3, 500000},
                {-1.0, 1.0, 300000},
                {-50.0, 0.0, 200000}};
  for (const auto& range : ranges) {
    std::uniform_real_distribution<double> pick(range.lo, range.hi);
    uint64_t worst = 0;
    double worst_x = 0;
    for (int i = 0; i < range.count; ++i) {
      const double x = pick(rng);
      const uint64_t d = ulps(exp20(x), std::exp(x));
      if (d > worst) worst = d, worst_x = x;
    }
    EXPECT_LE(worst, 1u) << "range [" << range.lo << ", " << range.hi << "] at x = " << worst_x;
  }
}

TEST(Exp20, EdgesOfTheRange) {
  EXPECT_EQ(1.0, exp20(0.0));
  EXPECT_EQ(0.0, exp20(-800.5));
  EXPECT_EQ(0.0, exp20(-780.0));  // below half the smallest subnormal
  EXPECT_EQ(0x1p-1074, exp20(std::log(0x1p-1074)));
  EXPECT_EQ(HUGE_VAL, exp20(709.8));
  EXPECT_EQ(std::exp(709.78), exp20(709.78));
  EXPECT_TRUE(std::isnan(exp20(NAN)));
}

// x^(A/B) from the C library's long double routines on the exact split x = m 2^e, e A = q B + g:
// powl(m, A/B) * exp2l(g/B) * 2^q, about 2^-62 relative error before the rounding to double.
template <int A, int B>
double reference_pow(double x) {
  int e = 0;
  const long double m = std::frexp(x, &e) * 2.0L;  // [1, 2)
  const int64_t ea = static_cast<int64_t>(e - 1) * A;
  int64_t q = ea / B, g = ea % B;
  if (g < 0) g += B, q -= 1;
  const long double v =
      std::pow(m, static_cast<long double>(A) / B) * std::exp2(static_cast<long double>(g) / B);
  return static_cast<double>(std::ldexp(v, static_cast<int>(q)));
}

template <int A, int B>
void sweep_power(int count) {
  std::mt19937_64 rng(A * 100 + B);
  std::uniform_int_distribution<int> exponent(-1074, 1023);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  uint64_t worst = 0;
  double worst_x = 0;
  int subnormal = 0;
  for (int i = 0; i < count; ++i) {
    double x = std::ldexp(mantissa(rng), exponent(rng));
    if (x == 0.0) x = 0x1p-1074;
    const double expected = reference_pow<A, B>(x);
    const double got = rational_pow<A, B>(x);
    if (std::isinf(expected)) {
      EXPECT_TRUE(std::isinf(got)) << x;
      continue;
    }
    if (expected != 0.0 && expected < 0x1p-1022) ++subnormal;
    const uint64_t d = ulps(got, expected);
    if (d > worst) worst = d, worst_x = x;
  }
  EXPECT_LE(worst, 1u) << A << "/" << B << " at x = " << worst_x;
  if (A > 0 && B == 5) {
    EXPECT_GT(subnormal, 0) << "the sweep reaches subnormal results";
  }
}

TEST(RationalPow, WithinOneUlpOfTheCLibraryAcrossTheRange) {
  sweep_power<12, 5>(300000);
  sweep_power<7, 5>(150000);
  sweep_power<5, 12>(300000);
  sweep_power<-7, 12>(150000);
}

TEST(RationalPow, ExactCasesAndLimits) {
  EXPECT_EQ(1.0, (rational_pow<12, 5>(1.0)));
  EXPECT_EQ(1.0, (rational_pow<-7, 12>(1.0)));
  EXPECT_EQ(4096.0, (rational_pow<12, 5>(32.0)));  // 2^(5 * 12/5)
  EXPECT_EQ(32.0, (rational_pow<5, 12>(4096.0)));  // 2^(12 * 5/12)
  EXPECT_EQ(0x1p-7, (rational_pow<-7, 12>(4096.0)));
  EXPECT_EQ(0.0, (rational_pow<12, 5>(0.0)));
  EXPECT_EQ(HUGE_VAL, (rational_pow<-7, 12>(0.0)));
  EXPECT_EQ(HUGE_VAL, (rational_pow<12, 5>(0x1p427)));   // 2^1024.8 is beyond the range
  EXPECT_EQ(0.0, (rational_pow<12, 5>(0x1p-1074)));      // 2^-2577.6 underflows
  EXPECT_EQ(vrel::math::scale2(1.5, -1074), 0x1p-1073);  // ties to even in the subnormals
}

}  // namespace

namespace {

// The same bits in every build: a digest of the outputs over fixed arguments, pinned from the
// release build (the sanitizer build must reproduce it).
TEST(DeterministicRoutines, BitsArePinned) {
  uint64_t digest = 1469598103934665603ull;
  auto mix = [&](double v) {
    digest ^= std::bit_cast<uint64_t>(v);
    digest *= 1099511628211ull;
  };
  for (int i = 0; i < 20000; ++i) {
    const double x = -745.0 + i * 0.0727;
    mix(exp20(x));
    const double p = std::ldexp(1.0 + (i % 997) / 997.0, i % 2100 - 1074);
    mix(rational_pow<12, 5>(p));
    mix(rational_pow<7, 5>(p));
    mix(rational_pow<5, 12>(p));
    mix(rational_pow<-7, 12>(p));
  }
  EXPECT_EQ(9118620213209269369ull, digest);
}

}  // namespace
