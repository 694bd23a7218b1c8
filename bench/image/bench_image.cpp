// sRGB transfer over 10 million elements through the export (the core's own rational powers),
// beside a plain loop over the same data that calls the C library's pow. Reported as elements
// per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr int64_t kElements = 10'000'000;

template <typename T>
const std::vector<T>& data() {
  static const std::vector<T> values = [] {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<T> v(kElements);
    for (T& x : v) x = static_cast<T>(unit(rng));
    return v;
  }();
  return values;
}

template <typename T>
VrelTensorView view(const T* p, const int64_t* shape, const int64_t* stride, uint32_t flags) {
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = const_cast<T*>(p);
  v.rank = 1;
  v.shape = shape;
  v.strides = stride;
  v.dtype = std::is_same_v<T, float> ? VREL_DTYPE_FLOAT32 : VREL_DTYPE_FLOAT64;
  v.device_type = VREL_DEVICE_CPU;
  v.flags = flags;
  return v;
}

template <typename T>
void transfer_export(benchmark::State& state) {
  const std::vector<T>& x = data<T>();
  std::vector<T> y(kElements);
  const int64_t shape[1] = {kElements}, stride[1] = {1};
  const VrelTensorView in = view(x.data(), shape, stride, 0);
  const VrelTensorView out = view(y.data(), shape, stride, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx{};
  ctx.struct_size = sizeof ctx;
  ctx.abi_version = VREL_ABI_VERSION;
  ctx.device_type = VREL_DEVICE_CPU;
  const auto mode = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    if (vrel_image_transfer(&in, mode, &ctx, &out, nullptr, nullptr) != VREL_STATUS_OK)
      state.SkipWithError("transfer failed");
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}

// The same formulas with the C library's pow, in float64, rounded to T.
template <typename T>
void transfer_libm(benchmark::State& state) {
  const std::vector<T>& x = data<T>();
  std::vector<T> y(kElements);
  const bool decode = state.range(0) == 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kElements; ++i) {
      const double v = x[i];
      double r;
      if (decode)
        r = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
      else
        r = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
      y[i] = static_cast<T>(r);
    }
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}

BENCHMARK(transfer_export<float>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(transfer_export<double>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(transfer_libm<float>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(transfer_libm<double>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
