// Point proximity: k-NN and closest point at the sizes of typical mesh-fitting losses. Rates are
// per second of CPU time of the calling thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "vrel/vrel.h"

namespace {

// A dense view over a vector; `flags` marks outputs.
template <typename T>
struct Array {
  std::vector<T> data;
  std::vector<int64_t> shape, strides;
  VrelTensorView view{};

  Array(std::vector<int64_t> extents, uint32_t dtype, uint32_t flags = 0)
      : shape(std::move(extents)) {
    int64_t n = 1;
    strides.assign(shape.size(), 1);
    for (std::size_t i = shape.size(); i-- > 0;) {
      strides[i] = n;
      n *= shape[i];
    }
    data.resize(static_cast<std::size_t>(n));
    view.struct_size = sizeof view;
    view.abi_version = VREL_ABI_VERSION;
    view.data = data.data();
    view.shape = shape.data();
    view.strides = strides.data();
    view.rank = static_cast<uint32_t>(shape.size());
    view.dtype = dtype;
    view.device_type = VREL_DEVICE_CPU;
    view.flags = flags;
  }
};

VrelExecutionContext cpu() {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}

void fill_uniform(std::vector<float>& v, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1, 1);
  for (float& x : v) x = u(rng);
}

void BM_Knn(benchmark::State& state) {
  const int64_t p = state.range(0), r = state.range(1), k = state.range(2);
  std::mt19937 rng(1);
  Array<float> query({p, 3}, VREL_DTYPE_FLOAT32), reference({r, 3}, VREL_DTYPE_FLOAT32);
  fill_uniform(query.data, rng);
  fill_uniform(reference.data, rng);
  Array<int32_t> q_off({2}, VREL_DTYPE_INT32), r_off({2}, VREL_DTYPE_INT32);
  q_off.data = {0, static_cast<int32_t>(p)};
  r_off.data = {0, static_cast<int32_t>(r)};
  q_off.view.data = q_off.data.data();
  r_off.view.data = r_off.data.data();
  Array<float> distances({p, k}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Array<int32_t> indices({p, k}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  Array<uint8_t> valid({p, k}, VREL_DTYPE_BOOL, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_points_knn(&query.view, &reference.view, &q_off.view, &r_off.view, k, &ctx,
                        &distances.view, &indices.view, &valid.view, nullptr, nullptr) != 0)
      state.SkipWithError("knn failed");
    benchmark::DoNotOptimize(distances.data.data());
  }
  state.counters["distances/s"] =
      benchmark::Counter(static_cast<double>(p) * static_cast<double>(r),
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Knn)
    ->Args({100000, 100000, 8})
    ->Args({10000, 10000, 8})
    ->Args({10000, 10000, 1})
    ->Unit(benchmark::kMillisecond);

// A wavy height-field mesh of rows x cols quads (2 faces each) and points scattered around it.
void BM_ClosestPoint(benchmark::State& state) {
  const int64_t p = state.range(0), rows = 50, cols = state.range(1) / 100;
  const int64_t v = (rows + 1) * (cols + 1), f = 2 * rows * cols;
  Array<float> points({p, 3}, VREL_DTYPE_FLOAT32), vertices({v, 3}, VREL_DTYPE_FLOAT32);
  Array<int32_t> faces({f, 3}, VREL_DTYPE_INT32);
  for (int64_t i = 0; i <= rows; ++i) {
    for (int64_t j = 0; j <= cols; ++j) {
      float* out = &vertices.data[3 * (i * (cols + 1) + j)];
      out[0] = static_cast<float>(j) / static_cast<float>(cols) * 2 - 1;
      out[1] = static_cast<float>(i) / static_cast<float>(rows) * 2 - 1;
      out[2] = 0.2f * std::sin(3 * out[0]) * std::cos(2 * out[1]);
    }
  }
  int64_t n = 0;
  for (int64_t i = 0; i < rows; ++i) {
    for (int64_t j = 0; j < cols; ++j) {
      const int32_t a = static_cast<int32_t>(i * (cols + 1) + j), b = a + 1,
                    c = static_cast<int32_t>(a + cols + 1), d = c + 1;
      for (int32_t x : {a, b, d, a, d, c}) faces.data[n++] = x;
    }
  }
  std::mt19937 rng(3);
  fill_uniform(points.data, rng);
  auto one = [](int32_t last) {
    Array<int32_t> o({2}, VREL_DTYPE_INT32);
    o.data = {0, last};
    o.view.data = o.data.data();
    return o;
  };
  Array<int32_t> po = one(static_cast<int32_t>(p)), vo = one(static_cast<int32_t>(v)),
                 fo = one(static_cast<int32_t>(f));
  Array<float> dist({p}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Array<int32_t> face({p}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  Array<float> bary({p, 3}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Array<float> closest({p, 3}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Array<uint8_t> valid({p}, VREL_DTYPE_BOOL, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_points_closest_point_on_mesh(
            &points.view, &vertices.view, &faces.view, &po.view, &vo.view, &fo.view, 0.0, &ctx,
            &dist.view, &face.view, &bary.view, &closest.view, &valid.view, nullptr, nullptr) != 0)
      state.SkipWithError("closest point failed");
    benchmark::DoNotOptimize(dist.data.data());
  }
  state.counters["triangles/s"] =
      benchmark::Counter(static_cast<double>(p) * static_cast<double>(f),
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ClosestPoint)
    ->Args({100000, 10000})
    ->Args({10000, 10000})
    ->Unit(benchmark::kMillisecond);

}  // namespace
