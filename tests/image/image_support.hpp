// Calls of the image exports on CPU data, for the image tests.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

// Weights [count, 2r + 1] of `sigma` ([count], or rank 0 when `scalar`); expects success.
template <typename T>
std::vector<T> gaussian_weights(std::vector<T> sigma, int64_t radius, bool scalar = false) {
  const auto count = static_cast<int64_t>(sigma.size());
  Tensor<T> s(scalar ? std::vector<int64_t>{} : std::vector<int64_t>{count}, sigma);
  Tensor<T> w(scalar ? std::vector<int64_t>{2 * radius + 1}
                     : std::vector<int64_t>{count, 2 * radius + 1});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(VREL_STATUS_OK,
            vrel_image_gaussian_weights(s.in(), radius, &ctx, w.out(), nullptr, diag))
      << diag.text();
  return w.values();
}

// grad_sigma of the backward for one sigma value.
template <typename T>
T gaussian_backward(T sigma, std::vector<T> grad_weights, int64_t radius) {
  Tensor<T> s({1}, {sigma});
  Tensor<T> g({1, 2 * radius + 1}, grad_weights);
  Tensor<T> out({1});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(VREL_STATUS_OK, vrel_image_gaussian_weights_backward(s.in(), g.in(), radius, &ctx,
                                                                 out.out(), nullptr, diag))
      << diag.text();
  return out[0];
}

// Transfer of every value (forward) or its slope times `grad` (backward); expects success.
template <typename T>
std::vector<T> transfer(std::vector<T> x, uint32_t mode) {
  const auto n = static_cast<int64_t>(x.size());
  Tensor<T> in({n}, x), out({n});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(VREL_STATUS_OK, vrel_image_transfer(in.in(), mode, &ctx, out.out(), nullptr, diag))
      << diag.text();
  return out.values();
}

template <typename T>
std::vector<T> transfer_backward(std::vector<T> x, std::vector<T> grad, uint32_t mode) {
  const auto n = static_cast<int64_t>(x.size());
  Tensor<T> in({n}, x), g({n}, grad), out({n});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(VREL_STATUS_OK,
            vrel_image_transfer_backward(in.in(), g.in(), mode, &ctx, out.out(), nullptr, diag))
      << diag.text();
  return out.values();
}

}  // namespace vrel::test
