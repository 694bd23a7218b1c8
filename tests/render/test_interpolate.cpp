// Attribute interpolation: values, empty fragments, C = 0, finite-difference gradients, shared
// faces accumulating, float32 rounding and the face-range error.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/render/render_support.hpp"

namespace vrel::test {
namespace {

// Fragments of a [1,2,3,2] buffer over F faces with C channels, filled at random.
template <typename T>
struct Interp {
  int64_t f, c;
  Tensor<int32_t> fi{{1, 2, 3, 2}};
  Tensor<T> bary{{1, 2, 3, 2, 3}};
  Tensor<T> attrs;
  Tensor<T> out;
  Interp(int64_t faces, int64_t channels, std::mt19937& rng)
      : f(faces), c(channels), attrs({faces, 3, channels}), out({1, 2, 3, 2, channels}) {
    std::uniform_real_distribution<double> u(-2, 2);
    std::uniform_int_distribution<int32_t> face(-1, static_cast<int32_t>(faces) - 1);
    for (auto& x : fi.values()) x = face(rng);
    for (auto& x : bary.values()) x = static_cast<T>(u(rng));
    for (auto& x : attrs.values()) x = static_cast<T>(u(rng));
  }
  VrelStatus forward(Diag& diag) {
    View a = fi.in(), b = bary.in(), fa = attrs.in(), o = out.out();
    VrelExecutionContext ctx = cpu_context();
    return vrel_render_interpolate(a, b, fa, &ctx, o, nullptr, diag);
  }
  VrelStatus backward(Tensor<T>& grad, Tensor<T>* gb, Tensor<T>* ga, Diag& diag) {
    View a = fi.in(), b = bary.in(), fa = attrs.in(), g = grad.in();
    View gbv = gb ? gb->out() : View(nullptr, {0}, dtype_of<T>());
    View gav = ga ? ga->out() : View(nullptr, {0}, dtype_of<T>());
    VrelExecutionContext ctx = cpu_context();
    return vrel_render_interpolate_backward(a, b, fa, g, &ctx, gb ? gbv.get() : nullptr,
                                            ga ? gav.get() : nullptr, nullptr, diag);
  }
};

template <typename T>
class InterpolateTyped : public ::testing::Test {};
using Dtypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(InterpolateTyped, Dtypes);

TYPED_TEST(InterpolateTyped, ValuesAreTheBarycentricCombinationRoundedOnce) {
  using T = TypeParam;
  std::mt19937 rng(3);
  Interp<T> p(4, 5, rng);
  Diag diag;
  ASSERT_EQ(p.forward(diag), VREL_STATUS_OK) << diag.text();
  for (int64_t i = 0; i < 12; ++i) {
    for (int64_t c = 0; c < p.c; ++c) {
      const int32_t f = p.fi[i];
      double want = 0;
      if (f >= 0)
        for (int j = 0; j < 3; ++j)
          want += static_cast<double>(p.bary[3 * i + j]) *
                  static_cast<double>(p.attrs[(f * 3 + j) * p.c + c]);
      EXPECT_EQ(p.out[i * p.c + c], static_cast<T>(want)) << i << "," << c;
    }
  }
}

TEST(Interpolate, UnitBarycentricCopiesACornerAndEmptyFragmentsGiveZero) {
  std::mt19937 rng(4);
  Interp<float> p(3, 4, rng);
  for (auto& x : p.out.values()) x = 7;
  p.fi[0] = 2;
  p.bary[0] = 1, p.bary[1] = 0, p.bary[2] = 0;
  p.fi[1] = -1;
  Diag diag;
  ASSERT_EQ(p.forward(diag), VREL_STATUS_OK);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(p.out[c], p.attrs[(2 * 3 + 0) * 4 + c]);
    EXPECT_EQ(p.out[4 + c], 0.0f);
  }
}

TEST(Interpolate, ZeroChannelsAreAccepted) {
  std::mt19937 rng(5);
  Interp<double> p(3, 0, rng);
  Diag diag;
  EXPECT_EQ(p.forward(diag), VREL_STATUS_OK) << diag.text();
  Tensor<double> grad({1, 2, 3, 2, 0});
  Tensor<double> gb = Tensor<double>::filled({1, 2, 3, 2, 3}, 5.0);
  EXPECT_EQ(p.backward(grad, &gb, nullptr, diag), VREL_STATUS_OK) << diag.text();
  for (double x : gb.values()) EXPECT_EQ(x, 0.0);
}

TEST(Interpolate, AllEmptyFragmentsGiveZeroValuesAndGradients) {
  std::mt19937 rng(6);
  Interp<double> p(3, 2, rng);
  for (auto& x : p.fi.values()) x = -1;
  for (auto& x : p.out.values()) x = 1;
  Diag diag;
  ASSERT_EQ(p.forward(diag), VREL_STATUS_OK);
  for (double x : p.out.values()) EXPECT_EQ(x, 0.0);
  Tensor<double> grad = Tensor<double>::filled({1, 2, 3, 2, 2}, 1.0);
  Tensor<double> gb = Tensor<double>::filled({1, 2, 3, 2, 3}, 5.0);
  Tensor<double> ga = Tensor<double>::filled({3, 3, 2}, 5.0);
  ASSERT_EQ(p.backward(grad, &gb, &ga, diag), VREL_STATUS_OK);
  for (double x : gb.values()) EXPECT_EQ(x, 0.0);
  for (double x : ga.values()) EXPECT_EQ(x, 0.0);
}

// L = sum g . attributes is bilinear in (barycentric, face_attributes); central differences of
// the forward export give its gradients.
TEST(Interpolate, GradientsMatchCentralDifferences) {
  std::mt19937 rng(7);
  Interp<double> p(3, 3, rng);
  Tensor<double> grad({1, 2, 3, 2, 3});
  std::normal_distribution<double> n01(0, 1);
  for (auto& x : grad.values()) x = n01(rng);
  Tensor<double> gb({1, 2, 3, 2, 3}), ga({3, 3, 3});
  Diag diag;
  ASSERT_EQ(p.backward(grad, &gb, &ga, diag), VREL_STATUS_OK) << diag.text();
  auto loss = [&]() {
    EXPECT_EQ(p.forward(diag), VREL_STATUS_OK);
    double s = 0;
    for (std::size_t i = 0; i < grad.size(); ++i) s += grad[i] * p.out[i];
    return s;
  };
  const double h = 1e-6;
  auto check = [&](Tensor<double>& param, Tensor<double>& analytic, const char* name) {
    for (std::size_t i = 0; i < param.size(); ++i) {
      const double keep = param[i];
      param[i] = keep + h;
      const double up = loss();
      param[i] = keep - h;
      const double down = loss();
      param[i] = keep;
      EXPECT_NEAR(analytic[i], (up - down) / (2 * h), 1e-7) << name << " " << i;
    }
  };
  check(p.bary, gb, "barycentric");
  check(p.attrs, ga, "face attributes");
}

// Two layers of one pixel naming the same face add both contributions to its rows.
TEST(Interpolate, LayersNamingOneFaceAccumulate) {
  std::mt19937 rng(8);
  Interp<double> p(2, 1, rng);
  for (auto& x : p.fi.values()) x = -1;
  p.fi[0] = 1;
  p.fi[1] = 1;
  const double b[6] = {0.2, 0.3, 0.5, 0.6, 0.1, 0.3};
  for (int i = 0; i < 6; ++i) p.bary[i] = b[i];
  Tensor<double> grad({1, 2, 3, 2, 1});
  grad[0] = 2.0;
  grad[1] = -1.0;
  Tensor<double> ga({2, 3, 1});
  Diag diag;
  ASSERT_EQ(p.backward(grad, nullptr, &ga, diag), VREL_STATUS_OK);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(ga[j], 0.0);
    EXPECT_DOUBLE_EQ(ga[3 + j], 2.0 * b[j] - 1.0 * b[3 + j]);
  }
}

// Float32: each product g b_j is rounded to float32 before the float32 addition, and the
// barycentric gradient sum is formed in double precision.
TEST(Interpolate, Float32GradientRounding) {
  std::mt19937 rng(9);
  Interp<float> p(2, 3, rng);
  Tensor<float> grad({1, 2, 3, 2, 3});
  std::uniform_real_distribution<double> u(-3, 3);
  for (auto& x : grad.values()) x = static_cast<float>(u(rng));
  Tensor<float> gb({1, 2, 3, 2, 3}), ga({2, 3, 3});
  Diag diag;
  ASSERT_EQ(p.backward(grad, &gb, &ga, diag), VREL_STATUS_OK);
  std::vector<float> want_a(ga.size(), 0.0f);
  for (int64_t i = 0; i < 12; ++i) {
    const int32_t f = p.fi[i];
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int c = 0; c < 3; ++c) {
        if (f >= 0) {
          float& acc = want_a[(f * 3 + j) * 3 + c];
          acc = acc + static_cast<float>(grad[i * 3 + c] * p.bary[3 * i + j]);
          s += static_cast<double>(grad[i * 3 + c]) *
               static_cast<double>(p.attrs[(f * 3 + j) * 3 + c]);
        }
      }
      EXPECT_EQ(gb[3 * i + j], static_cast<float>(s));
    }
  }
  for (std::size_t i = 0; i < ga.size(); ++i) EXPECT_EQ(ga[i], want_a[i]) << i;
}

TEST(Interpolate, FaceOutsideTheAttributesStopsThePass) {
  std::mt19937 rng(10);
  Interp<double> p(2, 2, rng);
  for (auto& x : p.fi.values()) x = 0;
  p.fi[5] = 2;
  for (auto& x : p.out.values()) x = 9;
  Diag diag;
  EXPECT_EQ(p.forward(diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "a fragment names a face outside the attribute range");
  // The fault is found before anything is written.
  for (const double x : p.out.values()) EXPECT_EQ(x, 9.0);
  Tensor<double> grad({1, 2, 3, 2, 2});
  Tensor<double> gb = Tensor<double>::filled({1, 2, 3, 2, 3}, 9.0);
  EXPECT_EQ(p.backward(grad, &gb, nullptr, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "a fragment names a face outside the attribute range");
  for (const double x : gb.values()) EXPECT_EQ(x, 9.0);
}

}  // namespace
}  // namespace vrel::test
