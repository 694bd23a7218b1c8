// Principled groups (P = 128 points, L = 8 lights, 1,024 pairs a call) with and without the
// Jacobian, and the groups backward, on loss curves of N = 16 nodes made by the loss-curve export;
// the opaque shading samples (16 pixels of 800 used slots) with and without the albedo gradient.
// Reported as pairs (nodes) per second, single thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr int64_t kPoints = 128, kLights = 8, kNodes = 16, kBatch = 32;

struct Tensor {
  std::vector<double> data;
  std::vector<int64_t> shape, strides;
  VrelTensorView view{};
  explicit Tensor(std::vector<int64_t> s, uint32_t flags = 0)
      : shape(std::move(s)), strides(shape.size()) {
    int64_t n = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
      strides[i] = n;
      n *= shape[i];
    }
    data.resize(static_cast<std::size_t>(n));
    view.struct_size = sizeof view;
    view.abi_version = VREL_ABI_VERSION;
    view.data = n ? data.data() : nullptr;
    view.shape = shape.data();
    view.strides = strides.data();
    view.rank = static_cast<uint32_t>(shape.size());
    view.dtype = VREL_DTYPE_FLOAT64;
    view.device_type = VREL_DEVICE_CPU;
    view.flags = flags;
  }
  const VrelTensorView* v() const { return &view; }
};

struct Scratch {
  std::vector<double> data;
  VrelBufferDescriptor desc{};
  explicit Scratch(uint64_t bytes) : data(bytes / 8 + 1) {
    desc.struct_size = sizeof desc;
    desc.abi_version = VREL_ABI_VERSION;
    desc.data = data.data();
    desc.capacity = bytes;
    desc.alignment = 8;
    desc.device_type = VREL_DEVICE_CPU;
  }
};

VrelExecutionContext g_cpu = [] {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}();

void check(VrelStatus status, const char* what) {
  if (status != 0) {
    std::fprintf(stderr, "%s failed with status %d\n", what, status);
    std::abort();
  }
}

// Curves for every point (four calls of 32 rows), fixed means, and random points and lights.
struct Scene {
  Tensor cn{{kNodes}}, logs{{kNodes}}, curve{{kPoints, 10 * kNodes - 6}},
      partial{{kPoints, 10 * kNodes - 6}}, mean{{kPoints, 4}}, width{{kPoints}},
      normal{{kPoints, 3}}, view{{kPoints, 3}}, light{{kPoints, kLights, 3}}, albedo{{kPoints, 3}},
      roughness{{kPoints}}, f0{{kPoints, 3}};
  Scene() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    for (int64_t i = 0; i < kNodes; ++i) {
      logs.data[i] = i == kNodes - 1 ? 0.0 : -4.0 * (1.0 - static_cast<double>(i) / (kNodes - 1));
      cn.data[i] = i == kNodes - 1 ? 1.0 : std::exp(logs.data[i]);
    }
    Tensor controls({kBatch, 2 * kNodes + 1, 4}), u({kBatch}),
        c({kBatch, 10 * kNodes - 6}, VREL_TENSOR_OUTPUT),
        d({kBatch, 10 * kNodes - 6}, VREL_TENSOR_OUTPUT);
    for (std::size_t k = 0; k < controls.data.size(); ++k) {
      const int64_t entry = static_cast<int64_t>(k / 4) % (2 * kNodes + 1);
      controls.data[k] = -0.1 - 0.02 * static_cast<double>(kNodes - entry / 2) - 0.1 * uni(rng) -
                         (entry % 2 ? 0.7 : 0.0);
    }
    for (int64_t first = 0; first < kPoints; first += kBatch) {
      for (int64_t b = 0; b < kBatch; ++b) {
        roughness.data[first + b] = 0.2 + 0.8 * uni(rng);
        u.data[b] = (roughness.data[first + b] - 0.2) / 0.8;
      }
      Scratch ws((10 * kNodes - 6) * kBatch * 8 + 8);
      check(vrel_shading_loss_curve(logs.v(), controls.v(), u.v(), &g_cpu, c.v(), d.v(), &ws.desc,
                                    nullptr),
            "loss curve");
      std::copy(c.data.begin(), c.data.end(), curve.data.begin() + first * (10 * kNodes - 6));
      std::copy(d.data.begin(), d.data.end(), partial.data.begin() + first * (10 * kNodes - 6));
    }
    for (int64_t p = 0; p < kPoints; ++p) {
      width.data[p] = 0.8;
      const double means[4] = {0.6, 0.3, 0.02,
                               0.01};  // plausible values; the speed does not depend on them
      std::copy(means, means + 4, mean.data.begin() + p * 4);
      for (int k = 0; k < 3; ++k) {
        normal.data[p * 3 + k] = k == 2 ? 1.0 : 0.3 * (uni(rng) - 0.5);
        view.data[p * 3 + k] = k == 2 ? 0.5 + uni(rng) : uni(rng) - 0.5;
        albedo.data[p * 3 + k] = uni(rng);
        f0.data[p * 3 + k] = 0.04 + 0.2 * uni(rng);
      }
      for (int64_t l = 0; l < kLights; ++l)
        for (int k = 0; k < 3; ++k)
          light.data[(p * kLights + l) * 3 + k] = k == 2 ? 0.2 + uni(rng) : 2.0 * uni(rng) - 1.0;
    }
  }
};

void Groups(benchmark::State& state) {
  const bool derivatives = state.range(0) != 0;
  Scene s;
  Tensor out({kPoints, kLights, 3}, VREL_TENSOR_OUTPUT);
  Tensor jac(derivatives ? std::vector<int64_t>{kPoints, kLights, 3, 16} : std::vector<int64_t>{0},
             VREL_TENSOR_OUTPUT);
  Scratch ws(kPoints * kLights * 8 + 8);
  const uint32_t options = derivatives ? VREL_SHADING_DERIVATIVES : 0;
  for (auto _ : state) {
    check(vrel_shading_principled_groups(s.cn.v(), s.logs.v(), s.curve.v(), s.partial.v(),
                                         s.mean.v(), s.width.v(), s.normal.v(), s.view.v(),
                                         s.light.v(), s.albedo.v(), s.roughness.v(), s.f0.v(),
                                         options, &g_cpu, out.v(), jac.v(), &ws.desc, nullptr),
          "principled groups");
    benchmark::DoNotOptimize(out.data.data());
  }
  state.counters["pairs/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kPoints * kLights), benchmark::Counter::kIsRate);
}
BENCHMARK(Groups)->ArgName("derivatives")->Arg(0)->Arg(1);

void GroupsBackward(benchmark::State& state) {
  Tensor jac({kPoints, kLights, 3, 16}), g({kPoints, kLights, 3}),
      point({kPoints, 16}, VREL_TENSOR_OUTPUT), light({kPoints, kLights, 3}, VREL_TENSOR_OUTPUT);
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  for (double& x : jac.data) x = uni(rng);
  for (double& x : g.data) x = uni(rng);
  Scratch ws(kPoints * kLights * 8 + 8);
  for (auto _ : state) {
    check(vrel_shading_principled_groups_backward(jac.v(), g.v(), &g_cpu, point.v(), light.v(),
                                                  &ws.desc, nullptr),
          "principled groups backward");
    benchmark::DoNotOptimize(point.data.data());
  }
  state.counters["pairs/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kPoints * kLights), benchmark::Counter::kIsRate);
}
BENCHMARK(GroupsBackward);

// 16 pixels, every one of the 800 slots owned by one of two triangles before the camera, shaded
// with curve row 0 of the scene.
void OpaqueSamples(benchmark::State& state) {
  const bool albedo_gradient = state.range(0) != 0;
  constexpr int64_t kPixels = 16, kSlots = 800;
  Scene s;
  const int64_t length = 10 * kNodes - 6;
  Tensor curve({1, length}), partial({1, length}), mean({1, 4}), width({1});
  std::copy(s.curve.data.begin(), s.curve.data.begin() + length, curve.data.begin());
  std::copy(s.partial.data.begin(), s.partial.data.begin() + length, partial.data.begin());
  std::copy(s.mean.data.begin(), s.mean.data.begin() + 4, mean.data.begin());
  width.data[0] = s.width.data[0];
  Tensor owners({kPixels, kSlots}), q({kPixels, kSlots, 4}), world({4, 3}), faces({2, 3}),
      clip({4, 4}), normals({2, 3, 3}), camera({3}), albedo({3}), roughness({1}), f0({3}),
      direction({3}), incoming({3}), cotangent({kPixels, 3});
  // Int32 data in the first half of each double buffer.
  std::vector<int32_t> owner_ids(kPixels * kSlots), face_rows = {0, 1, 2, 0, 2, 3};
  owners.view.dtype = faces.view.dtype = VREL_DTYPE_INT32;
  owners.view.data = owner_ids.data();
  faces.view.data = face_rows.data();
  const double corners[12] = {-1, -1, -3, 1, -1, -3, 1, 1, -4, -1, 1, -4};
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 3; ++k) world.data[i * 3 + k] = corners[i * 3 + k];
    clip.data[i * 4 + 3] = -corners[i * 3 + 2];
  }
  for (std::size_t i = 0; i < normals.data.size(); ++i) normals.data[i] = i % 3 == 2 ? 1.0 : 0.1;
  for (int64_t n = 0; n < kPixels * kSlots; ++n) {
    owner_ids[n] = static_cast<int32_t>(n % 2);
    const double a = uni(rng), b = uni(rng) * (1 - a);
    const double node[4] = {a, b, 1 - a - b, 1.0 / kSlots};
    std::copy(node, node + 4, q.data.begin() + n * 4);
  }
  for (int k = 0; k < 3; ++k) {
    albedo.data[k] = 0.5;
    f0.data[k] = 0.04;
    direction.data[k] = k == 2 ? 1.0 : 0.3;
    incoming.data[k] = 1.0;
  }
  roughness.data[0] = 0.5;
  for (double& x : cotangent.data) x = 1.0;
  Tensor samples({kPixels, kSlots, 4}, VREL_TENSOR_OUTPUT),
      pixels({kPixels, 4}, VREL_TENSOR_OUTPUT), gradient({kPixels, 3}, VREL_TENSOR_OUTPUT);
  Scratch ws(kPixels * 44800 + 8);
  for (auto _ : state) {
    if (albedo_gradient) {
      check(vrel_shading_opaque_albedo(owners.v(), q.v(), world.v(), faces.v(), clip.v(),
                                       normals.v(), camera.v(), s.cn.v(), s.logs.v(), curve.v(),
                                       partial.v(), mean.v(), width.v(), albedo.v(), roughness.v(),
                                       f0.v(), direction.v(), incoming.v(), cotangent.v(), &g_cpu,
                                       samples.v(), pixels.v(), gradient.v(), &ws.desc, nullptr),
            "opaque albedo");
    } else {
      check(vrel_shading_opaque_samples(owners.v(), q.v(), world.v(), faces.v(), clip.v(),
                                        normals.v(), camera.v(), s.cn.v(), s.logs.v(), curve.v(),
                                        partial.v(), mean.v(), width.v(), albedo.v(), roughness.v(),
                                        f0.v(), direction.v(), incoming.v(), &g_cpu, samples.v(),
                                        pixels.v(), &ws.desc, nullptr),
            "opaque samples");
    }
    benchmark::DoNotOptimize(pixels.data.data());
  }
  state.counters["nodes/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kPixels * kSlots), benchmark::Counter::kIsRate);
}
BENCHMARK(OpaqueSamples)->ArgName("albedo")->Arg(0)->Arg(1);

}  // namespace
