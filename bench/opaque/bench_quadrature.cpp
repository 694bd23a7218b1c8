// Opaque quadrature speed, single thread: forward and backward of the quadrature and of the
// material quadrature on a 64 x 64 image of a mesh of 2,048 triangles covering half of the image,
// without cut lines. Reports pixels per second and the mean number of used node slots per pixel.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr int64_t kSize = 64;
constexpr int64_t kSlots = 800;
constexpr uint64_t kWorkspace = 1047584;
// Quads per side of the mesh.
constexpr int kGrid = 32;
constexpr int64_t kLines = 0;

struct Mesh {
  std::vector<double> vertices;  // pixel units, z is depth (nearer is smaller)
  std::vector<int32_t> faces;
  int64_t v() const { return static_cast<int64_t>(vertices.size() / 3); }
  int64_t f() const { return static_cast<int64_t>(faces.size() / 3); }
};

// An n x n grid of quads over a square of half the image's area, turned by 0.3 radians, its depth
// rising across it: 2 n^2 triangles, 2,048 for n = 32. (On a closed mesh, the faces hidden behind
// split the visible pieces of some pixels into more units than 800 slots hold, which fails with
// status 4.)
Mesh make_sheet(int n) {
  const double side = std::sqrt(kSize * kSize / 2.0), turn = 0.3;
  Mesh s;
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      const double a = side * (static_cast<double>(i) / n - 0.5);
      const double b = side * (static_cast<double>(j) / n - 0.5);
      s.vertices.insert(s.vertices.end(), {kSize / 2.0 + a * std::cos(turn) - b * std::sin(turn),
                                           kSize / 2.0 + a * std::sin(turn) + b * std::cos(turn),
                                           1.0 + 0.01 * (i + j)});
    }
  auto at = [&](int i, int j) { return static_cast<int32_t>(j * (n + 1) + i); };
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      s.faces.insert(s.faces.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j),
                                     at(i + 1, j + 1), at(i, j + 1)});
  return s;
}

struct View {
  std::vector<int64_t> shape, strides;
  VrelTensorView v{};
  View(const void* data, std::vector<int64_t> s, uint32_t dtype, uint32_t flags = 0)
      : shape(std::move(s)), strides(shape.size(), 1) {
    for (std::size_t i = shape.size(); i-- > 1;)
      strides[i - 1] = strides[i] * std::max<int64_t>(shape[i], 1);
    v.struct_size = sizeof v;
    v.abi_version = VREL_ABI_VERSION;
    v.data = const_cast<void*>(data);
    v.shape = shape.data();
    v.strides = strides.data();
    v.rank = static_cast<uint32_t>(shape.size());
    v.dtype = dtype;
    v.device_type = VREL_DEVICE_CPU;
    v.flags = flags;
  }
  operator const VrelTensorView*() const { return &v; }
};

struct Buffer {
  std::vector<unsigned char> storage;
  VrelBufferDescriptor d{};
  explicit Buffer(uint64_t bytes) : storage(bytes + 8) {
    d.struct_size = sizeof d;
    d.abi_version = VREL_ABI_VERSION;
    d.data = storage.data() + (8 - reinterpret_cast<uintptr_t>(storage.data()) % 8) % 8;
    d.capacity = bytes;
    d.alignment = 8;
    d.device_type = VREL_DEVICE_CPU;
  }
};

// range(0): 0 the quadrature, 1 the material quadrature; range(1): 0 forward, 1 backward.
void BM_Quadrature(benchmark::State& state) {
  static const Mesh s = make_sheet(kGrid);
  const bool material = state.range(0) != 0, backward = state.range(1) != 0;
  const int64_t k = kLines, pixels = kSize * kSize;
  std::vector<double> cuts;  // [F,3,0]: no cut lines
  View v(s.vertices.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64),
      f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32),
      c(cuts.data(), {s.f(), 3, k}, VREL_DTYPE_FLOAT64);
  std::vector<int32_t> owners(pixels * kSlots);
  std::vector<double> nodes(pixels * kSlots * 4), gradient(nodes.size(), 1.0), gv(3 * s.v()),
      gc(cuts.size());
  View ov(owners.data(), {pixels, kSlots}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT),
      nv(nodes.data(), {pixels, kSlots, 4}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT),
      gt(gradient.data(), {pixels, kSlots, 4}, VREL_DTYPE_FLOAT64),
      gvo(gv.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT),
      gco(gc.data(), {s.f(), 3, k}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Buffer ws(kWorkspace);
  VrelExecutionContext ctx{};
  ctx.struct_size = sizeof ctx;
  ctx.abi_version = VREL_ABI_VERSION;
  ctx.device_type = VREL_DEVICE_CPU;
  std::vector<char> message(512);
  VrelDiagnostic diag{};
  diag.struct_size = sizeof diag;
  diag.abi_version = VREL_ABI_VERSION;
  diag.message = message.data();
  diag.message_capacity = message.size();
  auto forward = material ? vrel_render_opaque_material_quadrature : vrel_render_opaque_quadrature;
  auto reverse = material ? vrel_render_opaque_material_quadrature_backward
                          : vrel_render_opaque_quadrature_backward;
  for (auto _ : state) {
    const VrelStatus st =
        backward ? reverse(v, f, c, kSize, kSize, 0, 0, gt, &ctx, gvo, gco, &ws.d, &diag)
                 : forward(v, f, c, kSize, kSize, 0, 0, &ctx, ov, nv, &ws.d, &diag);
    if (st != VREL_STATUS_OK) {
      state.SkipWithError(message.data());
      return;
    }
  }
  if (!backward) {
    int64_t used = 0;
    for (int32_t owner : owners) used += owner >= 0;
    state.counters["slots_per_pixel"] = static_cast<double>(used) / pixels;
  }
  state.counters["faces"] = static_cast<double>(s.f());
  state.counters["pixels_per_second"] = benchmark::Counter(
      static_cast<double>(pixels), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_Quadrature)->ArgsProduct({{0, 1}, {0}})->Unit(benchmark::kMillisecond);
// The backward passes take seconds: one iteration each.
BENCHMARK(BM_Quadrature)->ArgsProduct({{0, 1}, {1}})->Unit(benchmark::kMillisecond)->Iterations(1);
