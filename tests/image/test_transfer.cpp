// The sRGB transfer against long double references of the formulas, the segment boundaries, the
// round trip, and the float32 rules.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/image/image_support.hpp"

using namespace vrel::test;

namespace {

constexpr uint32_t kDecode = VREL_IMAGE_SRGB_TO_LINEAR;
constexpr uint32_t kEncode = VREL_IMAGE_LINEAR_TO_SRGB;

long double reference(double x, uint32_t mode) {
  const long double v = x;
  if (mode == kDecode) return x <= 0.04045 ? v / 12.92L : std::pow((v + 0.055L) / 1.055L, 2.4L);
  return x <= 0.0031308 ? 12.92L * v : 1.055L * std::pow(v, 5.0L / 12.0L) - 0.055L;
}

long double reference_slope(double x, uint32_t mode) {
  const long double v = x;
  if (mode == kDecode)
    return x <= 0.04045 ? 1 / 12.92L : 2.4L / 1.055L * std::pow((v + 0.055L) / 1.055L, 1.4L);
  return x <= 0.0031308 ? 12.92L : 1.055L * 5.0L / 12.0L * std::pow(v, -7.0L / 12.0L);
}

double ulp(double v) { return std::nextafter(std::abs(v), HUGE_VAL) - std::abs(v); }

TEST(ImageTransfer, ValuesAndSlopesWithinFewUlpsOfTheFormula) {
  std::mt19937_64 rng(7);
  std::vector<double> x;
  std::uniform_real_distribution<double> unit(-0.2, 1.5);
  std::uniform_real_distribution<double> exponent(-30.0, 60.0);
  for (int i = 0; i < 20000; ++i) x.push_back(unit(rng));
  for (int i = 0; i < 5000; ++i) x.push_back(std::exp2(exponent(rng)));
  const std::vector<double> ones(x.size(), 1.0);
  for (uint32_t mode : {kDecode, kEncode}) {
    const std::vector<double> y = transfer(x, mode);
    const std::vector<double> d = transfer_backward(x, ones, mode);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const auto expected = static_cast<double>(reference(x[i], mode));
      EXPECT_LE(std::abs(y[i] - expected), 3 * ulp(expected)) << "mode " << mode << " x " << x[i];
      const auto slope = static_cast<double>(reference_slope(x[i], mode));
      EXPECT_LE(std::abs(d[i] - slope), 3 * ulp(slope)) << "mode " << mode << " x " << x[i];
    }
  }
}

TEST(ImageTransfer, SegmentBoundariesAndFixedPoints) {
  const double above = std::nextafter(0.04045, 1.0);
  const std::vector<double> x = {0.04045, above};
  const std::vector<double> y = transfer(x, kDecode);
  EXPECT_EQ(0.04045 / 12.92, y[0]);
  const std::vector<double> d = transfer_backward(x, {1.0, 1.0}, kDecode);
  EXPECT_EQ(0.07739938080495357, d[0]);
  EXPECT_NEAR(static_cast<double>(reference_slope(above, kDecode)), d[1], 1e-16);
  EXPECT_GT(d[1], d[0] + 1e-3);  // the power segment's slope, not the linear one
  for (uint32_t mode : {kDecode, kEncode}) {
    EXPECT_NEAR(1.0, transfer<double>({1.0}, mode)[0], 2.3e-16);
    EXPECT_NEAR(1.0f, transfer<float>({1.0f}, mode)[0], 1.2e-7f);
  }
  // Negative values stay on the linear segment.
  EXPECT_EQ(-0.5 * 12.92, transfer<double>({-0.5}, kEncode)[0]);
}

TEST(ImageTransfer, InversePairRoundTrips) {
  std::vector<double> x;
  for (int i = 0; i <= 4000; ++i) x.push_back(i / 4000.0 * 1.2);
  const std::vector<double> back = transfer(transfer(x, kEncode), kDecode);
  const std::vector<double> forth = transfer(transfer(x, kDecode), kEncode);
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(x[i], back[i], 8 * ulp(x[i]) + 1e-300) << x[i];
    EXPECT_NEAR(x[i], forth[i], 8 * ulp(x[i]) + 1e-300) << x[i];
  }
}

TEST(ImageTransfer, HugeInputsStayExactUntilTheRangeEnds) {
  // Mode 0 near the top of the range: c^(12/5) stays finite up to c = 2^(1024 * 5/12).
  const double x = 0x1p425;
  const double expected = static_cast<double>(reference(x, kDecode));
  EXPECT_LE(std::abs(transfer<double>({x}, kDecode)[0] - expected), 3 * ulp(expected));
  // Mode 1 of the most negative finite 12.92 x.
  EXPECT_EQ(12.92 * -1.391403355156591e307, transfer<double>({-1.391403355156591e307}, kEncode)[0]);
}

TEST(ImageTransfer, Float32UsesFloat32ThresholdsAndProducts) {
  // 0.0031308f lies above the float64 threshold but on the float32 one: linear segment.
  const float t = 0.0031308f;
  ASSERT_GT(static_cast<double>(t), 0.0031308);
  EXPECT_EQ(static_cast<float>(12.92 * static_cast<double>(t)), transfer<float>({t}, kEncode)[0]);
  // y is the float64 value rounded once.
  const std::vector<float> x = {0.002f, 0.2f, 0.5f, 0.93f, 7.5f};
  const std::vector<double> wide(x.begin(), x.end());
  for (uint32_t mode : {kDecode, kEncode}) {
    const std::vector<float> y = transfer(x, mode);
    const std::vector<double> y64 = transfer(wide, mode);
    const std::vector<double> d64 = transfer_backward(wide, std::vector<double>(5, 1.0), mode);
    const std::vector<float> g = {0.3f, -1.7f, 2.9f, 1e-3f, 5.0f};
    const std::vector<float> gx = transfer_backward(x, g, mode);
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_EQ(static_cast<float>(y64[i]), y[i]);
      EXPECT_EQ(g[i] * static_cast<float>(d64[i]), gx[i]);
    }
  }
}

}  // namespace
