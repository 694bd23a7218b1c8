// The instruction-set builds of the skinning kernels give the baseline build's bits: joint counts
// around the vector widths and the block size, float32 and float64, values of mixed magnitude
// whose sums round differently in any other order, and sparse weights (zeros are skipped).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "animation/skinning_kernel.hpp"

using vrel::math::Isa;

namespace {

template <typename T>
void check_builds(int64_t batch, int64_t rows, int64_t joints) {
  std::mt19937 rng(static_cast<unsigned>(batch * 1000 + rows * 10 + joints));
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto fill = [&](std::vector<T>& values) {
    for (std::size_t i = 0; i < values.size(); ++i)
      values[i] = static_cast<T>(u(rng) * (i % 3 == 0 ? 1e4 : 1.0));
  };
  std::vector<T> vertices(batch * rows * 3), transforms(batch * joints * 16),
      grad(batch * rows * 3);
  std::vector<T> weights(rows * joints);
  fill(vertices);
  fill(transforms);
  fill(grad);
  fill(weights);
  for (std::size_t i = 0; i < weights.size(); i += 2) weights[i] = 0;
  std::vector<T> expected(rows * joints, T(-1));
  vrel::animation::skin_weight_gradients_isa(vertices.data(), transforms.data(), grad.data(), batch,
                                             rows, joints, expected.data(), Isa::kBaseline);
  // The baseline is the straight sum over the batch of g . (T (p, 1)).
  const int64_t v = rows - 1, j = joints - 1;
  T sum = 0;
  for (int64_t b = 0; b < batch; ++b) {
    const T* m = &transforms[(b * joints + j) * 16];
    const T* p = &vertices[(b * rows + v) * 3];
    const T* g = &grad[(b * rows + v) * 3];
    T r[3];
    for (int k = 0; k < 3; ++k)
      r[k] = m[4 * k] * p[0] + m[4 * k + 1] * p[1] + m[4 * k + 2] * p[2] + m[4 * k + 3];
    sum += g[0] * r[0] + g[1] * r[1] + g[2] * r[2];
  }
  EXPECT_EQ(expected[v * joints + j], sum);
  // Forward, vertex and transform gradients (added to what grad_transforms holds) per build.
  const auto others = [&](Isa isa) {
    std::vector<T> out(batch * rows * 3), gv(batch * rows * 3), gt(batch * joints * 16, T(0));
    vrel::animation::skin_forward_isa(vertices.data(), transforms.data(), weights.data(), batch,
                                      rows, joints, out.data(), isa);
    vrel::animation::skin_vertex_transform_gradients_isa(vertices.data(), transforms.data(),
                                                         weights.data(), grad.data(), batch, rows,
                                                         joints, gv.data(), gt.data(), isa);
    out.insert(out.end(), gv.begin(), gv.end());
    out.insert(out.end(), gt.begin(), gt.end());
    return out;
  };
  const std::vector<T> baseline = others(Isa::kBaseline);
  for (Isa isa : {Isa::kAvx2, Isa::kAvx512}) {
    if (!vrel::math::isa_supported(isa)) continue;
    std::vector<T> got(rows * joints, T(7));
    vrel::animation::skin_weight_gradients_isa(vertices.data(), transforms.data(), grad.data(),
                                               batch, rows, joints, got.data(), isa);
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(T)), 0)
        << "isa " << static_cast<int>(isa) << ", J = " << joints << ", V = " << rows;
    EXPECT_EQ(std::memcmp(others(isa).data(), baseline.data(), baseline.size() * sizeof(T)), 0)
        << "isa " << static_cast<int>(isa) << ", J = " << joints << ", V = " << rows;
  }
}

TEST(SkinningIsa, EveryBuildMatchesTheBaselineBitForBit) {
  for (int64_t joints : {1, 7, 16, 17, 64, 65, 130})
    for (int64_t rows : {1, 33, 70}) {
      check_builds<float>(3, rows, joints);
      check_builds<double>(2, rows, joints);
    }
}

}  // namespace
