// Gaussian weights against references written from the formula: normalisation, symmetry,
// underflow into the subnormals, the derivative against central differences, the pairwise order
// of the backward, and the float32 rules.
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/image/image_support.hpp"

using namespace vrel::test;

namespace {

TEST(GaussianWeights, NormalisedAndSymmetricForEverySigmaAndRadius) {
  for (int64_t r = 0; r <= 32; r += (r < 4 ? 1 : 7)) {
    std::vector<double> sigma;
    for (double s = 0.1; s <= 32.0; s *= 1.37) sigma.push_back(s);
    sigma.push_back(32.0);
    const int64_t n = 2 * r + 1;
    const std::vector<double> w = gaussian_weights(sigma, r);
    for (std::size_t j = 0; j < sigma.size(); ++j) {
      const double* row = w.data() + j * n;
      long double sum = 0;
      for (int64_t k = 0; k < n; ++k) {
        sum += row[k];
        EXPECT_EQ(std::bit_cast<uint64_t>(row[k]), std::bit_cast<uint64_t>(row[n - 1 - k]));
        // Independent reference: exp from the C library, sum in long double.
        long double total = 0;
        for (int64_t i = -r; i <= r; ++i)
          total += std::exp(-0.5L * (i / sigma[j]) * (i / sigma[j]));
        const long double x = -0.5L * ((k - r) / sigma[j]) * ((k - r) / sigma[j]);
        const long double expected = std::exp(x) / total;
        // The double argument -(i/s)^2/2 carries about |x| * 2^-52 of relative error into exp.
        const double tolerance = (4 + 3 * static_cast<double>(-x)) * 0x1p-53;
        EXPECT_NEAR(static_cast<double>(expected), row[k],
                    tolerance * static_cast<double>(expected) + 1e-323)
            << "sigma " << sigma[j] << " r " << r << " k " << k;
      }
      EXPECT_NEAR(1.0, static_cast<double>(sum), n * 2.3e-16) << "sigma " << sigma[j] << " r " << r;
    }
  }
  EXPECT_EQ(std::vector<double>{1.0}, gaussian_weights<double>({0.1}, 0, true));
  EXPECT_EQ(std::vector<float>{1.0f}, gaussian_weights<float>({17.0f}, 0, true));
}

TEST(GaussianWeights, NarrowSigmaUnderflowsGradually) {
  // sigma 0.1: taps beyond offset 3 are 0 (exp(-800) and below); the sum is still 1.
  const std::vector<double> w = gaussian_weights<double>({0.1}, 32);
  for (int k = 0; k < 65; ++k) {
    if (std::abs(k - 32) >= 4) {
      EXPECT_EQ(0.0, w[k]) << k;
    }
  }
  EXPECT_GT(w[29], 0x1p-1022);  // offset 3: exp(-450), still normal
  // sigma 0.1054: offset 4 gives exp(-720.1), a subnormal, rounded once from the exact value.
  const double s = 0.1054;
  const std::vector<double> v = gaussian_weights<double>({s}, 32);
  const double exact = std::exp(-0.5 * (4 / s) * (4 / s));  // S = 1 + 2e-45: no effect at this size
  ASSERT_LT(v[36], 0x1p-1022);
  EXPECT_GT(v[36], 0.0);
  EXPECT_LE(std::abs(v[36] - exact), 0x1p-1074);
  EXPECT_EQ(v[28], v[36]);
}

TEST(GaussianWeights, DerivativeMatchesCentralDifferences) {
  const std::vector<double> g = {0.3, -1.2, 0.7, 2.0, -0.4, 1.1, 0.9, -0.6, 0.25, 1.5, -2.0};
  for (double s : {0.35, 1.0, 2.7, 9.0, 31.0}) {
    const int64_t r = 5;
    const double h = 1e-5 * s;
    const std::vector<double> up = gaussian_weights<double>({s + h}, r);
    const std::vector<double> down = gaussian_weights<double>({s - h}, r);
    double expected = 0;
    for (int k = 0; k < 11; ++k) expected += g[k] * (up[k] - down[k]) / (2 * h);
    const double got = gaussian_backward(s, g, r);
    EXPECT_NEAR(expected, got, 1e-7 * (std::abs(expected) + 1e-3)) << "sigma " << s;
  }
}

// The cotangent makes the products [big, 1, 1, -big, 0]: the pairwise tree (big + 1) + (1 - big)
// and a running sum ((big + 1) + 1) - big round differently.
TEST(GaussianWeights, BackwardSumsThePairwiseTree) {
  const double s = 1.3;
  const int64_t r = 2;
  std::vector<double> dw(5);
  for (int k = 0; k < 5; ++k) {
    std::vector<double> one_hot(5, 0.0);
    one_hot[k] = 1.0;
    dw[k] = gaussian_backward(s, one_hot, r);
    ASSERT_NE(0.0, dw[k]);
  }
  const double big = 0x1p53;
  const double target[5] = {big, 1.0, 1.0, -big, 0.0};
  std::vector<double> g(5), p(5);
  for (int k = 0; k < 5; ++k) {
    g[k] = target[k] / dw[k];
    p[k] = g[k] * dw[k];
  }
  const double tree = ((p[0] + p[1]) + (p[2] + p[3])) + p[4];
  const double running = (((p[0] + p[1]) + p[2]) + p[3]) + p[4];
  ASSERT_NE(tree, running);
  EXPECT_EQ(tree, gaussian_backward(s, g, r));
}

TEST(GaussianWeights, Float32RoundsTheFloat64ResultOnce) {
  const std::vector<float> sigma = {0.1f, 0.3f, 2.5f, 31.9f};
  const std::vector<float> w32 = gaussian_weights(sigma, 6);
  std::vector<double> wide(sigma.begin(), sigma.end());
  const std::vector<double> w64 = gaussian_weights(wide, 6);
  for (std::size_t i = 0; i < w32.size(); ++i) EXPECT_EQ(static_cast<float>(w64[i]), w32[i]) << i;
  // Backward: the derivative rounded to float32, the products and the tree in float32.
  std::vector<float> dw(13);
  for (int k = 0; k < 13; ++k) {
    std::vector<double> one_hot(13, 0.0);
    one_hot[k] = 1.0;
    dw[k] = static_cast<float>(gaussian_backward(static_cast<double>(0.3f), one_hot, 6));
  }
  std::vector<float> g(13), p(13);
  for (int k = 0; k < 13; ++k) g[k] = 0.37f * (k + 1) * (k % 2 ? -1.0f : 1.0f), p[k] = g[k] * dw[k];
  std::vector<float> level = p;
  while (level.size() > 1) {
    std::vector<float> next;
    for (std::size_t i = 0; i + 1 < level.size(); i += 2) next.push_back(level[i] + level[i + 1]);
    if (level.size() % 2) next.push_back(level.back());
    level = next;
  }
  EXPECT_EQ(level[0], gaussian_backward(0.3f, g, 6));
}

}  // namespace
