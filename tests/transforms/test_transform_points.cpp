// transform_points and its backward: numeric examples in both dtypes, batches, empty cases and
// float64 finite differences.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {
namespace {

template <typename T>
class TransformPoints : public ::testing::Test {};
using Dtypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(TransformPoints, Dtypes);

// Matrix 0: scale (2, 3, 4) and translation (1, -1, 0.5) with W = 1; matrix 1: a projection-like
// matrix whose last row copies -z into W.
template <typename T>
Tensor<T> two_matrices() {
  return Tensor<T>({2, 4, 4}, {2, 0, 0, 1, 0, 3, 0, -1, 0, 0, 4, 0.5, 0, 0, 0,  1,
                               1, 0, 0, 0, 0, 1, 0, 0,  0, 0, 1, -2,  0, 0, -1, 0});
}

TYPED_TEST(TransformPoints, EachBatchElementUsesItsMatrix) {
  using T = TypeParam;
  Tensor<T> points({3, 3}, {1, 2, 3, -1, 0.5, 0.25, 4, 5, 6});
  Tensor<T> matrices = two_matrices<T>();
  Tensor<int32_t> offsets({3}, {0, 2, 3});
  Tensor<T> homogeneous({3, 4});
  const VrelExecutionContext ctx = cpu_context();
  Diag diag;
  ASSERT_EQ(vrel_transforms_transform_points(points.in(), matrices.in(), offsets.in(), &ctx,
                                             homogeneous.out(), nullptr, diag),
            0)
      << diag.text();
  EXPECT_EQ(homogeneous.values(), (std::vector<T>{3, 5, 12.5, 1, -1, 0.5, 1.5, 1, 4, 5, 4, -6}));
}

TYPED_TEST(TransformPoints, BackwardAccumulatesMatrixGradientsPerBatchElement) {
  using T = TypeParam;
  Tensor<T> points({3, 3}, {1, 2, 3, -1, 0.5, 0.25, 4, 5, 6});
  Tensor<T> matrices = two_matrices<T>();
  // The middle batch element has no points: its matrix gradient stays zero.
  Tensor<T> three = Tensor<T>({3, 4, 4});
  for (int i = 0; i < 16; ++i) {
    three[i] = matrices[i];
    three[16 + i] = T(7);
    three[32 + i] = matrices[16 + i];
  }
  Tensor<int32_t> offsets({4}, {0, 2, 2, 3});
  Tensor<T> grad({3, 4}, {1, 0, 0, 2, 0, 1, 0, 0, 0, 0, 1, -1});
  Tensor<T> grad_points = Tensor<T>::filled({3, 3}, T(9));
  Tensor<T> grad_matrices = Tensor<T>::filled({3, 4, 4}, T(9));
  const VrelExecutionContext ctx = cpu_context();
  Diag diag;
  ASSERT_EQ(vrel_transforms_transform_points_backward(points.in(), three.in(), offsets.in(),
                                                      grad.in(), &ctx, grad_points.out(),
                                                      grad_matrices.out(), nullptr, diag),
            0)
      << diag.text();
  // grad_points[j] = M^T g (first three components).
  EXPECT_EQ(grad_points.values(), (std::vector<T>{2, 0, 0, 0, 3, 0, 0, 0, 2}));
  // Batch 0: g0 q0^T + g1 q1^T with q = (x, y, z, 1).
  const std::vector<T> expected0 = {1, 2, 3, 1, -1, 0.5, 0.25, 1, 0, 0, 0, 0, 2, 4, 6, 2};
  const std::vector<T> expected2 = {0, 0, 0, 0, 0, 0, 0, 0, 4, 5, 6, 1, -4, -5, -6, -1};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(grad_matrices[i], expected0[i]) << i;
    EXPECT_EQ(grad_matrices[16 + i], T(0)) << "empty batch element, entry " << i;
    EXPECT_EQ(grad_matrices[32 + i], expected2[i]) << i;
  }

  // Only the matrix gradient: the points are still read.
  Tensor<T> only = Tensor<T>::filled({3, 4, 4}, T(9));
  ASSERT_EQ(
      vrel_transforms_transform_points_backward(points.in(), three.in(), offsets.in(), grad.in(),
                                                &ctx, nullptr, only.out(), nullptr, diag),
      0);
  EXPECT_EQ(only.values(), grad_matrices.values());
  // Only the point gradient.
  Tensor<T> only_points = Tensor<T>::filled({3, 3}, T(9));
  ASSERT_EQ(
      vrel_transforms_transform_points_backward(points.in(), three.in(), offsets.in(), grad.in(),
                                                &ctx, only_points.out(), nullptr, nullptr, diag),
      0);
  EXPECT_EQ(only_points.values(), grad_points.values());
}

TYPED_TEST(TransformPoints, EmptyProblems) {
  using T = TypeParam;
  const VrelExecutionContext ctx = cpu_context();
  Diag diag;
  // B = 0 needs offsets [0] and P = 0.
  Tensor<T> no_points({0, 3});
  Tensor<T> no_matrices({0, 4, 4});
  Tensor<int32_t> zero({1}, {0});
  Tensor<T> no_output({0, 4});
  EXPECT_EQ(vrel_transforms_transform_points(no_points.in(), no_matrices.in(), zero.in(), &ctx,
                                             no_output.out(), nullptr, diag),
            0);
  Tensor<int32_t> one({1}, {1});
  EXPECT_EQ(vrel_transforms_transform_points(no_points.in(), no_matrices.in(), one.in(), &ctx,
                                             no_output.out(), nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "the first point offset must be zero");
  // P = 0 with batch elements: the forward writes nothing, the backward clears the matrix
  // gradients.
  Tensor<T> matrices = two_matrices<T>();
  Tensor<int32_t> offsets({3}, {0, 0, 0});
  EXPECT_EQ(vrel_transforms_transform_points(no_points.in(), matrices.in(), offsets.in(), &ctx,
                                             no_output.out(), nullptr, diag),
            0);
  Tensor<T> grad_matrices = Tensor<T>::filled({2, 4, 4}, T(3));
  Tensor<T> no_grad({0, 4});
  EXPECT_EQ(vrel_transforms_transform_points_backward(no_points.in(), matrices.in(), offsets.in(),
                                                      no_grad.in(), &ctx, nullptr,
                                                      grad_matrices.out(), nullptr, diag),
            0);
  EXPECT_EQ(grad_matrices.values(), std::vector<T>(32, T(0)));
}

TEST(TransformPointsFloat32, ComputesInFloat32) {
  // (1 + 2^-24) + 2^-24: float32 rounds the first sum back to 1, a double sum would give 1 + 2^-23.
  Tensor<float> points({1, 3}, {1.0f, 0x1p-24f, 0x1p-24f});
  Tensor<float> matrix({1, 4, 4}, {1, 1, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
  Tensor<int32_t> offsets({2}, {0, 1});
  Tensor<float> out({1, 4});
  const VrelExecutionContext ctx = cpu_context();
  ASSERT_EQ(vrel_transforms_transform_points(points.in(), matrix.in(), offsets.in(), &ctx,
                                             out.out(), nullptr, nullptr),
            0);
  EXPECT_EQ(out[0], 1.0f);
}

TEST(TransformPointsFloat64, GradientsMatchFiniteDifferences) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-2, 2);
  const int P = 7, B = 3;
  Tensor<double> points({P, 3}), matrices({B, 4, 4}), cotangent({P, 4});
  for (auto* t : {&points, &matrices, &cotangent})
    for (double& x : t->values()) x = u(rng);
  Tensor<int32_t> offsets({B + 1}, {0, 3, 3, 7});
  const VrelExecutionContext ctx = cpu_context();
  // L = <cotangent, transform(points, matrices)>.
  auto loss = [&](Tensor<double>& p, Tensor<double>& m) {
    Tensor<double> h({P, 4});
    EXPECT_EQ(vrel_transforms_transform_points(p.in(), m.in(), offsets.in(), &ctx, h.out(), nullptr,
                                               nullptr),
              0);
    double sum = 0;
    for (std::size_t i = 0; i < h.size(); ++i) sum += h[i] * cotangent[i];
    return sum;
  };
  Tensor<double> grad_points({P, 3}), grad_matrices({B, 4, 4});
  ASSERT_EQ(vrel_transforms_transform_points_backward(points.in(), matrices.in(), offsets.in(),
                                                      cotangent.in(), &ctx, grad_points.out(),
                                                      grad_matrices.out(), nullptr, nullptr),
            0);
  const double h = 1e-6;
  for (auto [input, grad] :
       {std::pair{&points, &grad_points}, std::pair{&matrices, &grad_matrices}}) {
    for (std::size_t i = 0; i < input->size(); ++i) {
      const double saved = (*input)[i];
      (*input)[i] = saved + h;
      const double up = loss(points, matrices);
      (*input)[i] = saved - h;
      const double down = loss(points, matrices);
      (*input)[i] = saved;
      EXPECT_NEAR((*grad)[i], (up - down) / (2 * h), 1e-8) << "entry " << i;
    }
  }
  for (int i = 16; i < 32; ++i) EXPECT_EQ(grad_matrices[i], 0.0) << "batch element 1 has no points";
}

}  // namespace
}  // namespace vrel::test
