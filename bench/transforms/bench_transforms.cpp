// transform_points over 10 million points in four batch elements, forward and backward, and the
// perspective divide of the result.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr int64_t kPoints = 10'000'000;
constexpr int64_t kBatch = 4;

VrelTensorView view(void* data, std::vector<int64_t>& shape, std::vector<int64_t>& strides,
                    uint32_t dtype, uint32_t flags) {
  strides.assign(shape.size(), 1);
  for (std::size_t i = shape.size() - 1; i > 0; --i) strides[i - 1] = strides[i] * shape[i];
  VrelTensorView t{};
  t.struct_size = sizeof t;
  t.abi_version = VREL_ABI_VERSION;
  t.data = data;
  t.shape = shape.data();
  t.strides = strides.data();
  t.rank = static_cast<uint32_t>(shape.size());
  t.dtype = dtype;
  t.device_type = VREL_DEVICE_CPU;
  t.flags = flags;
  return t;
}

template <typename T>
struct Problem {
  static constexpr uint32_t kDtype = sizeof(T) == 4 ? VREL_DTYPE_FLOAT32 : VREL_DTYPE_FLOAT64;
  std::vector<T> points, matrices, homogeneous, grad_points, grad_matrices, ndc;
  std::vector<uint8_t> valid;
  std::vector<int32_t> offsets;
  std::vector<int64_t> sp{kPoints, 3}, sm{kBatch, 4, 4}, so{kBatch + 1}, sh{kPoints, 4},
      sv{kPoints};
  std::vector<int64_t> tp, tm, to, th, tv, tgp, tgm, tn;
  VrelTensorView vp, vm, vo, vh, vgh, vgp, vgm, vn, vv;
  VrelExecutionContext ctx{};

  Problem()
      : points(3 * kPoints),
        matrices(16 * kBatch),
        homogeneous(4 * kPoints),
        grad_points(3 * kPoints),
        grad_matrices(16 * kBatch),
        ndc(3 * kPoints),
        valid(kPoints) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1, 1);
    for (T& x : points) x = static_cast<T>(u(rng));
    for (T& x : matrices) x = static_cast<T>(u(rng));
    for (int64_t b = 0; b <= kBatch; ++b)
      offsets.push_back(static_cast<int32_t>(kPoints * b / kBatch));
    vp = view(points.data(), sp, tp, kDtype, 0);
    vm = view(matrices.data(), sm, tm, kDtype, 0);
    vo = view(offsets.data(), so, to, VREL_DTYPE_INT32, 0);
    vh = view(homogeneous.data(), sh, th, kDtype, VREL_TENSOR_OUTPUT);
    vgh = view(homogeneous.data(), sh, th, kDtype, 0);
    vgp = view(grad_points.data(), sp, tgp, kDtype, VREL_TENSOR_OUTPUT);
    vgm = view(grad_matrices.data(), sm, tgm, kDtype, VREL_TENSOR_OUTPUT);
    vn = view(ndc.data(), sp, tn, kDtype, VREL_TENSOR_OUTPUT);
    vv = view(valid.data(), sv, tv, VREL_DTYPE_BOOL, VREL_TENSOR_OUTPUT);
    ctx.struct_size = sizeof ctx;
    ctx.abi_version = VREL_ABI_VERSION;
    ctx.device_type = VREL_DEVICE_CPU;
  }
};

template <typename T>
void BM_TransformPoints(benchmark::State& state) {
  static Problem<T> p;
  for (auto _ : state) {
    if (vrel_transforms_transform_points(&p.vp, &p.vm, &p.vo, &p.ctx, &p.vh, nullptr, nullptr) !=
        0) {
      state.SkipWithError("transform_points failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  state.SetBytesProcessed(state.iterations() * kPoints * 7 * static_cast<int64_t>(sizeof(T)));
}

template <typename T>
void BM_TransformPointsBackward(benchmark::State& state) {
  static Problem<T> p;
  for (auto _ : state) {
    if (vrel_transforms_transform_points_backward(&p.vp, &p.vm, &p.vo, &p.vgh, &p.ctx, &p.vgp,
                                                  &p.vgm, nullptr, nullptr) != 0) {
      state.SkipWithError("transform_points_backward failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

template <typename T>
void BM_PerspectiveDivide(benchmark::State& state) {
  static Problem<T> p;
  vrel_transforms_transform_points(&p.vp, &p.vm, &p.vo, &p.ctx, &p.vh, nullptr, nullptr);
  for (auto _ : state) {
    if (vrel_transforms_perspective_divide(&p.vgh, 1e-6, &p.ctx, &p.vn, &p.vv, nullptr, nullptr) !=
        0) {
      state.SkipWithError("perspective_divide failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

BENCHMARK(BM_TransformPoints<float>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformPoints<double>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformPointsBackward<float>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformPointsBackward<double>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerspectiveDivide<float>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerspectiveDivide<double>)->Unit(benchmark::kMillisecond);

}  // namespace
