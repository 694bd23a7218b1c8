// Skinning (B = 16, V = 10,000, J = 64) forward and backward, and forward kinematics (B = 256,
// J = 64) forward and backward, float32 and float64, single thread.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "vrel/vrel.h"

namespace {

template <typename T>
constexpr uint32_t dtype_of() {
  return sizeof(T) == 4 ? VREL_DTYPE_FLOAT32 : VREL_DTYPE_FLOAT64;
}

struct Tensor {
  std::vector<unsigned char> bytes;
  std::vector<int64_t> shape, strides;
  VrelTensorView view{};
  Tensor(std::vector<int64_t> s, uint32_t dtype, std::size_t element, uint32_t flags = 0)
      : shape(std::move(s)), strides(shape.size()) {
    int64_t n = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
      strides[i] = n;
      n *= shape[i];
    }
    bytes.resize(static_cast<std::size_t>(n) * element);
    view.struct_size = sizeof view;
    view.abi_version = VREL_ABI_VERSION;
    view.data = bytes.data();
    view.shape = shape.data();
    view.strides = strides.data();
    view.rank = static_cast<uint32_t>(shape.size());
    view.dtype = dtype;
    view.device_type = VREL_DEVICE_CPU;
    view.flags = flags;
  }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(bytes.data());
  }
  template <typename T>
  std::size_t count() const {
    return bytes.size() / sizeof(T);
  }
};

template <typename T>
Tensor random(std::vector<int64_t> shape, std::mt19937& rng, uint32_t flags = 0) {
  Tensor t(std::move(shape), dtype_of<T>(), sizeof(T), flags);
  std::uniform_real_distribution<double> u(-1, 1);
  for (std::size_t i = 0; i < t.count<T>(); ++i) t.as<T>()[i] = static_cast<T>(u(rng));
  return t;
}

VrelExecutionContext cpu() {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}

// Up to four nonzero weights of 0.25 per vertex (four joints drawn with replacement, so about one
// vertex in eleven has fewer), as skinning rigs usually have.
template <typename T>
Tensor sparse_weights(int64_t rows, int64_t joints, std::mt19937& rng) {
  Tensor w({rows, joints}, dtype_of<T>(), sizeof(T));
  std::memset(w.bytes.data(), 0, w.bytes.size());
  std::uniform_int_distribution<int64_t> joint(0, joints - 1);
  for (int64_t v = 0; v < rows; ++v)
    for (int k = 0; k < 4; ++k) w.as<T>()[v * joints + joint(rng)] = T(0.25);
  return w;
}

constexpr int64_t kB = 16, kV = 10000, kJ = 64;

template <typename T>
void BM_SkinForward(benchmark::State& state) {
  std::mt19937 rng(1);
  Tensor vertices = random<T>({kB, kV, 3}, rng), transforms = random<T>({kB, kJ, 4, 4}, rng);
  Tensor weights = state.range(0) ? sparse_weights<T>(kV, kJ, rng) : random<T>({kV, kJ}, rng);
  Tensor out({kB, kV, 3}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_mesh_skin_lbs(&vertices.view, &transforms.view, &weights.view, &ctx, &out.view,
                           nullptr, nullptr) != 0)
      state.SkipWithError("skinning failed");
    benchmark::DoNotOptimize(out.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kB * kV);
}

template <typename T>
void BM_SkinBackward(benchmark::State& state) {
  std::mt19937 rng(2);
  Tensor vertices = random<T>({kB, kV, 3}, rng), transforms = random<T>({kB, kJ, 4, 4}, rng);
  Tensor weights = state.range(0) ? sparse_weights<T>(kV, kJ, rng) : random<T>({kV, kJ}, rng);
  Tensor g = random<T>({kB, kV, 3}, rng);
  Tensor gv({kB, kV, 3}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  Tensor gt({kB, kJ, 4, 4}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  Tensor gw({kV, kJ}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_mesh_skin_lbs_backward(&vertices.view, &transforms.view, &weights.view, &g.view, &ctx,
                                    &gv.view, &gt.view, &gw.view, nullptr, nullptr) != 0)
      state.SkipWithError("skinning backward failed");
    benchmark::DoNotOptimize(gw.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kB * kV);
}

constexpr int64_t kFkBatch = 256, kFkJoints = 64;

// Thirteen limbs of up to five joints hanging from joint 0 (joints 1, 6, ..., 61 start a limb),
// children listed after their parents.
Tensor skeleton() {
  Tensor p({kFkJoints}, VREL_DTYPE_INT32, 4);
  for (int64_t j = 0; j < kFkJoints; ++j)
    p.as<int32_t>()[j] = j == 0 ? -1 : static_cast<int32_t>(j % 5 == 1 ? 0 : j - 1);
  return p;
}

template <typename T>
std::vector<unsigned char> fk_workspace(VrelBufferDescriptor& desc) {
  VrelExecutionContext ctx = cpu();
  uint64_t bytes = 0, alignment = 0;
  vrel_skeleton_forward_kinematics_workspace(kFkBatch, kFkJoints, dtype_of<T>(), &ctx, &bytes,
                                             &alignment, nullptr);
  std::vector<unsigned char> storage(bytes + 64);
  desc = {};
  desc.struct_size = sizeof desc;
  desc.abi_version = VREL_ABI_VERSION;
  auto base = (reinterpret_cast<uintptr_t>(storage.data()) + 63) / 64 * 64;
  desc.data = reinterpret_cast<void*>(base);
  desc.capacity = bytes;
  desc.alignment = 64;
  desc.device_type = VREL_DEVICE_CPU;
  return storage;
}

template <typename T>
void BM_FkForward(benchmark::State& state) {
  std::mt19937 rng(3);
  Tensor local = random<T>({kFkBatch, kFkJoints, 4, 4}, rng), parents = skeleton();
  Tensor world({kFkBatch, kFkJoints, 4, 4}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  VrelBufferDescriptor ws;
  auto storage = fk_workspace<T>(ws);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_skeleton_forward_kinematics(&local.view, &parents.view, &ctx, &world.view, &ws,
                                         nullptr) != 0)
      state.SkipWithError("forward kinematics failed");
    benchmark::DoNotOptimize(world.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kFkBatch * kFkJoints);
}

template <typename T>
void BM_FkBackward(benchmark::State& state) {
  std::mt19937 rng(4);
  Tensor local = random<T>({kFkBatch, kFkJoints, 4, 4}, rng), parents = skeleton();
  Tensor g = random<T>({kFkBatch, kFkJoints, 4, 4}, rng);
  Tensor grad({kFkBatch, kFkJoints, 4, 4}, dtype_of<T>(), sizeof(T), VREL_TENSOR_OUTPUT);
  VrelBufferDescriptor ws;
  auto storage = fk_workspace<T>(ws);
  VrelExecutionContext ctx = cpu();
  for (auto _ : state) {
    if (vrel_skeleton_forward_kinematics_backward(&local.view, &parents.view, &g.view, &ctx,
                                                  &grad.view, &ws, nullptr) != 0)
      state.SkipWithError("forward kinematics backward failed");
    benchmark::DoNotOptimize(grad.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kFkBatch * kFkJoints);
}

}  // namespace

// Argument: 0 dense random weights (all J = 64 nonzero), 1 up to four nonzero weights per vertex.
BENCHMARK(BM_SkinForward<float>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkinForward<double>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkinBackward<float>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkinBackward<double>)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FkForward<float>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FkForward<double>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FkBackward<float>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FkBackward<double>)->Unit(benchmark::kMicrosecond);
