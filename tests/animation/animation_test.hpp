// Shared pieces of the animation tests: random tensors, a sentinel check and central finite
// differences of a scalar function of one tensor.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

template <typename T>
Tensor<T> random_tensor(std::vector<int64_t> shape, std::mt19937& rng, double lo = -1.0,
                        double hi = 1.0) {
  Tensor<T> t(std::move(shape));
  std::uniform_real_distribution<double> u(lo, hi);
  for (auto& x : t.values()) x = static_cast<T>(u(rng));
  return t;
}

// Fills a tensor with a byte pattern so that a test can tell whether anything was written.
template <typename T>
void poison(Tensor<T>& t) {
  if (t.size()) std::memset(t.ptr(), 0xA5, t.bytes());
}
template <typename T>
bool poisoned(const Tensor<T>& t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.values().data());
  for (std::size_t i = 0; i < t.bytes(); ++i)
    if (p[i] != 0xA5) return false;
  return true;
}

template <typename T>
double dot(const Tensor<T>& a, const Tensor<T>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += static_cast<double>(a[i]) * b[i];
  return s;
}

// Central differences of `loss` with respect to every element of `x` (float64, step h), compared
// with `analytic` to a mixed absolute/relative tolerance.
inline void expect_gradient(const char* what, Tensor<double>& x, const Tensor<double>& analytic,
                            const std::function<double()>& loss, double h = 1e-6,
                            double tolerance = 1e-7) {
  ASSERT_EQ(x.size(), analytic.size()) << what;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double saved = x[i];
    x[i] = saved + h;
    const double up = loss();
    x[i] = saved - h;
    const double down = loss();
    x[i] = saved;
    const double numeric = (up - down) / (2 * h);
    EXPECT_NEAR(analytic[i], numeric, tolerance * (1 + std::fabs(numeric)))
        << what << " element " << i;
  }
}

struct Result {
  VrelStatus status;
  std::string message;
};

}  // namespace vrel::test
