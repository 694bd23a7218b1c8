// Helpers of the mesh tests: small meshes, random meshes and central finite differences.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/bad_input.hpp"
#include "tests/support/views.hpp"

namespace vrel::test {

// Expects `status` and the Diagnostic's sentence.
#define EXPECT_FAILS(call, diag, code, message) \
  do {                                          \
    EXPECT_EQ((call), (code));                  \
    EXPECT_EQ((diag).text(), (message));        \
  } while (0)

// The unit right triangle (0,0,0), (1,0,0), (0,1,0).
template <typename T>
Tensor<T> right_triangle_vertices() {
  return Tensor<T>({3, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0});
}

// A random mesh: V vertices in [-1, 1]^3 and F faces of three distinct corners.
template <typename T>
struct RandomMesh {
  Tensor<T> vertices;
  Tensor<int32_t> faces;
};

template <typename T>
RandomMesh<T> random_mesh(int64_t vertex_count, int64_t face_count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> coord(-1.0, 1.0);
  std::uniform_int_distribution<int32_t> corner(0, static_cast<int32_t>(vertex_count - 1));
  RandomMesh<T> m{Tensor<T>({vertex_count, 3}), Tensor<int32_t>({face_count, 3})};
  for (auto& x : m.vertices.values()) x = static_cast<T>(coord(rng));
  for (int64_t f = 0; f < face_count; ++f) {
    int32_t a = corner(rng), b = corner(rng), c = corner(rng);
    while (b == a) b = corner(rng);
    while (c == a || c == b) c = corner(rng);
    m.faces[3 * f] = a;
    m.faces[3 * f + 1] = b;
    m.faces[3 * f + 2] = c;
  }
  return m;
}

// Arguments of the bad-input helper: the watched outputs, the documented status of null
// optional pointers (by argument index) and the ignored descriptors.
inline BadInputPlan bad_input_plan(std::vector<Region> outputs,
                                   std::map<std::size_t, VrelStatus> optional = {},
                                   std::set<std::size_t> ignored = {}) {
  BadInputPlan plan;
  plan.outputs = std::move(outputs);
  plan.optional = std::move(optional);
  plan.ignored = std::move(ignored);
  return plan;
}

template <typename T>
Region region(Tensor<T>& t) {
  return {t.ptr(), t.bytes()};
}

inline std::vector<double> random_values(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> out(n);
  for (auto& x : out) x = u(rng);
  return out;
}

// Central differences of a scalar function of `x`, element by element.
inline std::vector<double> numeric_gradient(
    std::vector<double> x, const std::function<double(const std::vector<double>&)>& f,
    double h = 1e-6) {
  std::vector<double> g(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double keep = x[i];
    x[i] = keep + h;
    const double up = f(x);
    x[i] = keep - h;
    const double down = f(x);
    x[i] = keep;
    g[i] = (up - down) / (2 * h);
  }
  return g;
}

inline double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// Element-wise agreement within an absolute-plus-relative tolerance.
inline void expect_close(const std::vector<double>& got, const std::vector<double>& want,
                         double tol, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_NEAR(got[i], want[i], tol * (1 + std::fabs(want[i]))) << what << " element " << i;
}

}  // namespace vrel::test
