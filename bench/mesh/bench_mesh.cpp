// Mesh family throughput on a wavy grid of about one million faces, single thread. Items are
// faces (vertex normals) or samples (surface sampling).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr int kSide = 708;  // 708 x 708 vertices, 2 * 707 * 707 = 999698 faces

VrelTensorView view(void* data, std::vector<int64_t>& shape, std::vector<int64_t>& strides,
                    uint32_t dtype, uint32_t flags) {
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = data;
  v.rank = static_cast<uint32_t>(shape.size());
  strides.assign(shape.size(), 1);
  for (std::size_t i = shape.size() - 1; i > 0; --i) strides[i - 1] = strides[i] * shape[i];
  v.shape = shape.data();
  v.strides = strides.data();
  v.dtype = dtype;
  v.device_type = VREL_DEVICE_CPU;
  v.flags = flags;
  return v;
}

template <typename T>
struct Tensor {
  std::vector<T> values;
  std::vector<int64_t> shape, strides;
  VrelTensorView in, out;
  Tensor(std::vector<int64_t> s, uint32_t dtype) : shape(std::move(s)) {
    std::size_t n = 1;
    for (int64_t e : shape) n *= static_cast<std::size_t>(e);
    values.resize(n);
    in = view(values.data(), shape, strides, dtype, 0);
    out = view(values.data(), shape, strides, dtype, VREL_TENSOR_OUTPUT);
  }
};

constexpr uint32_t dtype_code(float) { return VREL_DTYPE_FLOAT32; }
constexpr uint32_t dtype_code(double) { return VREL_DTYPE_FLOAT64; }

template <typename T>
struct Grid {
  Tensor<T> vertices{{int64_t{kSide} * kSide, 3}, dtype_code(T{})};
  Tensor<int32_t> faces{{int64_t{2} * (kSide - 1) * (kSide - 1), 3}, VREL_DTYPE_INT32};
  Grid() {
    for (int i = 0; i < kSide; ++i)
      for (int j = 0; j < kSide; ++j) {
        T* p = &vertices.values[3 * (i * kSide + j)];
        p[0] = T(j) / kSide;
        p[1] = T(i) / kSide;
        p[2] = T(0.05 * std::sin(0.1 * i) * std::cos(0.07 * j));
      }
    std::size_t k = 0;
    for (int i = 0; i + 1 < kSide; ++i)
      for (int j = 0; j + 1 < kSide; ++j) {
        const int32_t a = i * kSide + j, b = a + 1, c = a + kSide, d = c + 1;
        const int32_t quad[6] = {a, b, d, a, d, c};
        std::memcpy(&faces.values[k], quad, sizeof quad);
        k += 6;
      }
  }
  int64_t face_count() const { return faces.shape[0]; }
};

VrelExecutionContext cpu() {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}

VrelBufferDescriptor buffer(std::vector<double>& storage) {
  VrelBufferDescriptor b{};
  b.struct_size = sizeof b;
  b.abi_version = VREL_ABI_VERSION;
  b.data = storage.data();
  b.capacity = storage.size() * sizeof(double);
  b.alignment = 8;
  b.device_type = VREL_DEVICE_CPU;
  return b;
}

template <typename T>
void VertexNormals(benchmark::State& state) {
  Grid<T> g;
  Tensor<T> normals(g.vertices.shape, dtype_code(T{}));
  const VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_mesh_vertex_normals(&g.vertices.in, &g.faces.in, 0.0, VREL_MESH_WEIGHTING_AREA, &ctx,
                                 &normals.out, nullptr, nullptr) != 0)
      state.SkipWithError("vertex normals failed");
    benchmark::DoNotOptimize(normals.values.data());
  }
  state.SetItemsProcessed(state.iterations() * g.face_count());
}

template <typename T>
void VertexNormalsBackward(benchmark::State& state) {
  Grid<T> g;
  Tensor<T> cotangent(g.vertices.shape, dtype_code(T{}));
  for (std::size_t i = 0; i < cotangent.values.size(); ++i) cotangent.values[i] = T((i % 7) * 0.1);
  Tensor<T> grad(g.vertices.shape, dtype_code(T{}));
  std::vector<double> scratch(g.vertices.values.size());
  VrelBufferDescriptor ws = buffer(scratch);
  const VrelExecutionContext ctx = cpu();
  const auto weighting = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    if (vrel_mesh_vertex_normals_backward(&g.vertices.in, &g.faces.in, 0.0, weighting,
                                          &cotangent.in, &ctx, &grad.out, &ws, nullptr) != 0)
      state.SkipWithError("vertex normals backward failed");
    benchmark::DoNotOptimize(grad.values.data());
  }
  state.SetItemsProcessed(state.iterations() * g.face_count());
}

template <typename T>
void SampleSurface(benchmark::State& state) {
  Grid<T> g;
  const int64_t S = state.range(0);
  Tensor<int32_t> vo({2}, VREL_DTYPE_INT32), fo({2}, VREL_DTYPE_INT32);
  vo.values = {0, static_cast<int32_t>(g.vertices.shape[0])};
  fo.values = {0, static_cast<int32_t>(g.face_count())};
  vo.in.data = vo.values.data();
  fo.in.data = fo.values.data();
  Tensor<uint32_t> key({2}, VREL_DTYPE_UINT32), counter({2}, VREL_DTYPE_UINT32),
      next({2}, VREL_DTYPE_UINT32);
  key.values = {1, 2};
  key.in.data = key.values.data();
  Tensor<T> points({1, S, 3}, dtype_code(T{})), bary({1, S, 3}, dtype_code(T{}));
  Tensor<int32_t> face_index({1, S}, VREL_DTYPE_INT32);
  std::vector<double> scratch(static_cast<std::size_t>(g.face_count()));
  VrelBufferDescriptor ws = buffer(scratch);
  const VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_mesh_sample_surface(&g.vertices.in, &g.faces.in, &vo.in, &fo.in, S, &key.in,
                                 &counter.in, 0.0, &ctx, &points.out, &face_index.out, &bary.out,
                                 &next.out, &ws, nullptr) != 0)
      state.SkipWithError("sampling failed");
    benchmark::DoNotOptimize(points.values.data());
  }
  state.SetItemsProcessed(state.iterations() * S);
  state.counters["faces/s"] = benchmark::Counter(static_cast<double>(g.face_count()),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(VertexNormals<float>)->Unit(benchmark::kMillisecond);
BENCHMARK(VertexNormals<double>)->Unit(benchmark::kMillisecond);
BENCHMARK(VertexNormalsBackward<float>)
    ->Arg(VREL_MESH_WEIGHTING_AREA)
    ->Arg(VREL_MESH_WEIGHTING_UNIFORM)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(VertexNormalsBackward<double>)
    ->Arg(VREL_MESH_WEIGHTING_AREA)
    ->Arg(VREL_MESH_WEIGHTING_UNIFORM)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SampleSurface<float>)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(SampleSurface<double>)->Arg(1000000)->Unit(benchmark::kMillisecond);
