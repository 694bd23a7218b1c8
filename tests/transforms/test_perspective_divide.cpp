// perspective_divide and its backward: the eps rule, NaN, the double-precision comparison, and
// float64 finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {
namespace {

template <typename T>
class PerspectiveDivide : public ::testing::Test {};
using Dtypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PerspectiveDivide, Dtypes);

template <typename T>
struct Divided {
  VrelStatus status;
  std::vector<T> ndc;
  std::vector<uint8_t> valid;
};

template <typename T>
Divided<T> divide(const std::vector<T>& rows, double eps) {
  const int64_t n = static_cast<int64_t>(rows.size() / 4);
  Tensor<T> h({n, 4}, rows);
  Tensor<T> ndc = Tensor<T>::filled({n, 3}, T(7));
  Tensor<uint8_t> valid = Tensor<uint8_t>::filled({n}, 7);
  const VrelExecutionContext ctx = cpu_context();
  const VrelStatus s = vrel_transforms_perspective_divide(h.in(), eps, &ctx, ndc.out(), valid.out(),
                                                          nullptr, nullptr);
  return {s, ndc.values(), valid.values()};
}

template <typename T>
std::vector<T> divide_backward(const std::vector<T>& rows, double eps, const std::vector<T>& g) {
  const int64_t n = static_cast<int64_t>(rows.size() / 4);
  Tensor<T> h({n, 4}, rows), grad_ndc({n, 3}, g);
  Tensor<T> out = Tensor<T>::filled({n, 4}, T(7));
  const VrelExecutionContext ctx = cpu_context();
  EXPECT_EQ(vrel_transforms_perspective_divide_backward(h.in(), eps, grad_ndc.in(), &ctx, out.out(),
                                                        nullptr, nullptr),
            0);
  return out.values();
}

TYPED_TEST(PerspectiveDivide, DividesWhereWExceedsEps) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const Divided<T> d = divide<T>({2, 4, 6, 2,     // ordinary
                                  2, 4, 6, -2,    // negative W beyond eps: divided, sign flipped
                                  3, 3, 3, 1,     // W equal to eps: not divided
                                  3, 3, 3, -0.5,  // |W| below eps
                                  1, 1, 1, nan},  // NaN W
                                 1.0);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.ndc, (std::vector<T>{1, 2, 3, -1, -2, -3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(d.valid, (std::vector<uint8_t>{1, 1, 0, 0, 0}));
  // eps = 0 rejects exactly W = 0 (of either sign).
  const Divided<T> zero = divide<T>({1, 1, 1, 0, 1, 1, 1, T(-0.0), 4, 4, 4, T(1e-30)}, 0.0);
  EXPECT_EQ(zero.valid, (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(zero.ndc[6], T(4) / T(1e-30));
}

TYPED_TEST(PerspectiveDivide, BackwardIsZeroWhereNotDivided) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::vector<T> g = divide_backward<T>({2, 4, 6, 2, 1, 1, 1, nan, 1, 1, 1, 0.5}, 1.0,
                                              {1, 1, 1, 1, 1, 1, 1, 1, 1});
  // Row 0: (g/W, -((X/W) + (Y/W) + (Z/W))/W) = (0.5, 0.5, 0.5, -(1 + 2 + 3)/2).
  EXPECT_EQ(g, (std::vector<T>{0.5, 0.5, 0.5, -3, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PerspectiveDivideFloat32, WIsComparedInDoublePrecision) {
  // The float nearest 1e-8 lies just above this eps: widened it passes; rounded to float, eps
  // would equal it and the divide would be refused.
  const float w = 1e-8f;
  const double eps = std::nextafter(static_cast<double>(w), 0.0);
  ASSERT_EQ(static_cast<float>(eps), w);
  const Divided<float> d = divide<float>({1, 2, 3, w}, eps);
  EXPECT_EQ(d.valid, (std::vector<uint8_t>{1}));
  EXPECT_EQ(d.ndc[0], 1.0f / w);
  EXPECT_EQ(divide<float>({1, 2, 3, w}, static_cast<double>(w)).valid, (std::vector<uint8_t>{0}));
}

TEST(PerspectiveDivide, EpsMustBeFiniteAndNonnegative) {
  for (const double eps :
       {-1e-300, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    Tensor<double> h({1, 4}, {1, 1, 1, 1});
    Tensor<double> ndc({1, 3}), grad({1, 3}), grad_h({1, 4});
    Tensor<uint8_t> valid({1});
    VrelExecutionContext bad = cpu_context();
    bad.stream = 3;  // eps is checked before the context
    Diag diag;
    EXPECT_EQ(vrel_transforms_perspective_divide(h.in(), eps, &bad, ndc.out(), valid.out(), nullptr,
                                                 diag),
              1);
    EXPECT_EQ(diag.text(), "eps must be finite and nonnegative");
    EXPECT_EQ(vrel_transforms_perspective_divide_backward(h.in(), eps, grad.in(), &bad,
                                                          grad_h.out(), nullptr, diag),
              1);
    EXPECT_EQ(diag.text(), "eps must be finite and nonnegative");
  }
}

TEST(PerspectiveDivideFloat64, GradientMatchesFiniteDifferences) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-2, 2);
  const int P = 6;
  std::vector<double> h(4 * P), g(3 * P);
  for (double& x : h) x = u(rng);
  for (double& x : g) x = u(rng);
  for (int i = 0; i < P; ++i) h[4 * i + 3] = (i % 2 ? -1 : 1) * (0.5 + std::fabs(h[4 * i + 3]));
  const double eps = 0.1;
  auto loss = [&](const std::vector<double>& rows) {
    const Divided<double> d = divide<double>(rows, eps);
    double sum = 0;
    for (int i = 0; i < 3 * P; ++i) sum += d.ndc[i] * g[i];
    return sum;
  };
  const std::vector<double> grad = divide_backward<double>(h, eps, g);
  for (int i = 0; i < 4 * P; ++i) {
    std::vector<double> up = h, down = h;
    up[i] += 1e-6;
    down[i] -= 1e-6;
    EXPECT_NEAR(grad[i], (loss(up) - loss(down)) / 2e-6, 1e-6) << "entry " << i;
  }
}

TEST(PerspectiveDivide, EmptyInputSucceedsWithoutWriting) {
  Tensor<double> h({0, 4}), ndc({0, 3}), grad({0, 3}), grad_h({0, 4});
  Tensor<uint8_t> valid({0});
  const VrelExecutionContext ctx = cpu_context();
  EXPECT_EQ(vrel_transforms_perspective_divide(h.in(), 0.0, &ctx, ndc.out(), valid.out(), nullptr,
                                               nullptr),
            0);
  EXPECT_EQ(vrel_transforms_perspective_divide_backward(h.in(), 0.0, grad.in(), &ctx, grad_h.out(),
                                                        nullptr, nullptr),
            0);
}

}  // namespace
}  // namespace vrel::test
