// Opaque rendering speed, single thread: coverage and colour integration, forward and backward,
// on a 256 x 256 image of a closed mesh of 1,932 and 20,160 triangles whose outline covers half of
// the image, beside vrel_render_rasterize with K = 1 on the same mesh and image. (A closed sphere
// of 20,000 triangles has more than 32 candidates per pixel along its outline, where its faces
// are seen edge-on, and the core refuses it: see the Python functions' sub-square refinement.) Each
// benchmark reports the mean number of candidate faces per pixel, the quantity the opaque
// renderer's time should follow. The backward also runs with one seeded evaluation per coordinate,
// the reference of the one-pass backward.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "opaque/candidates.hpp"
#include "opaque/integrate_kernel.hpp"
#include "vrel/vrel.h"

namespace {

constexpr int64_t kSize = 256;

struct Mesh {
  std::vector<double> vertices;  // pixel units, z is depth (nearer is smaller)
  std::vector<int32_t> faces;
  std::vector<double> colour;
  int64_t v() const { return static_cast<int64_t>(vertices.size() / 3); }
  int64_t f() const { return static_cast<int64_t>(faces.size() / 3); }
};

// A closed "pillow": an n x n grid of quads at depth 0 over a square of half the image's area,
// turned by 0.3 radians, the same grid at depth 1 behind it with the opposite winding, and a band
// of quads joining their borders (seen edge-on: zero area, but candidates all the same).
// 4 n^2 + 8 n triangles: 1,932 for n = 21 and 20,160 for n = 70.
Mesh make_pillow(int n) {
  const double side = std::sqrt(kSize * kSize / 2.0), turn = 0.3;
  Mesh s;
  auto corner = [&](int i, int j, double z) {
    const double a = side * (static_cast<double>(i) / n - 0.5);
    const double b = side * (static_cast<double>(j) / n - 0.5);
    s.vertices.insert(s.vertices.end(), {kSize / 2.0 + a * std::cos(turn) - b * std::sin(turn),
                                         kSize / 2.0 + a * std::sin(turn) + b * std::cos(turn), z});
  };
  for (int layer = 0; layer < 2; ++layer)
    for (int j = 0; j <= n; ++j)
      for (int i = 0; i <= n; ++i) corner(i, j, layer);
  auto at = [&](int layer, int i, int j) {
    return static_cast<int32_t>(layer * (n + 1) * (n + 1) + j * (n + 1) + i);
  };
  for (int layer = 0; layer < 2; ++layer)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const int32_t a = at(layer, i, j), b = at(layer, i + 1, j), c = at(layer, i + 1, j + 1),
                      d = at(layer, i, j + 1);
        if (layer == 0)
          s.faces.insert(s.faces.end(), {a, b, c, a, c, d});
        else
          s.faces.insert(s.faces.end(), {a, c, b, a, d, c});
      }
  // The border, walked once around.
  std::vector<std::pair<int, int>> ring;
  for (int i = 0; i < n; ++i) ring.push_back({i, 0});
  for (int j = 0; j < n; ++j) ring.push_back({n, j});
  for (int i = n; i > 0; --i) ring.push_back({i, n});
  for (int j = n; j > 0; --j) ring.push_back({0, j});
  for (std::size_t k = 0; k < ring.size(); ++k) {
    const auto [i0, j0] = ring[k];
    const auto [i1, j1] = ring[(k + 1) % ring.size()];
    const int32_t a = at(0, i0, j0), b = at(0, i1, j1), c = at(1, i1, j1), d = at(1, i0, j0);
    s.faces.insert(s.faces.end(), {a, c, b, a, d, c});
  }
  for (int64_t q = 0; q < 9 * s.f(); ++q) s.colour.push_back(0.25 + 0.5 * ((q * 7919) % 13) / 13.0);
  return s;
}

const Mesh& mesh(int n) {
  static std::map<int, Mesh> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, make_pillow(n)).first;
  return it->second;
}

struct View {
  std::vector<int64_t> shape, strides;
  VrelTensorView v{};
  View(const void* data, std::vector<int64_t> s, uint32_t dtype, uint32_t flags = 0)
      : shape(std::move(s)), strides(shape.size(), 1) {
    for (std::size_t i = shape.size(); i-- > 1;) strides[i - 1] = strides[i] * shape[i];
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

VrelExecutionContext cpu() {
  VrelExecutionContext c{};
  c.struct_size = sizeof c;
  c.abi_version = VREL_ABI_VERSION;
  c.device_type = VREL_DEVICE_CPU;
  return c;
}

// Mean candidates per pixel, by the renderer's own selection.
void count_candidates(benchmark::State& state, const Mesh& s) {
  vrel::opaque::CandidateScan<double> scan({s.vertices.data(), s.faces.data(), s.f()},
                                           {kSize, kSize, 0, 0}, true);
  int64_t total = 0, out[32];
  for (int64_t j = 0; j < kSize; ++j)
    for (int64_t i = 0; i < kSize; ++i) total += std::max(0, scan.collect(j, i, out));
  state.counters["faces"] = static_cast<double>(s.f());
  state.counters["candidates_per_pixel"] = static_cast<double>(total) / (kSize * kSize);
}

void check(benchmark::State& state, VrelStatus status, const std::vector<char>& message) {
  if (status != VREL_STATUS_OK) state.SkipWithError(message.data());
}

VrelDiagnostic diagnostic(std::vector<char>& message) {
  VrelDiagnostic d{};
  d.struct_size = sizeof d;
  d.abi_version = VREL_ABI_VERSION;
  d.message = message.data();
  d.message_capacity = message.size();
  return d;
}

// range(1): 0 forward, 1 backward, 2 backward with one seeded evaluation per coordinate (the
// reference the one-pass backward equals bit for bit).
void BM_Coverage(benchmark::State& state) {
  const Mesh& s = mesh(static_cast<int>(state.range(0)));
  const bool backward = state.range(1) != 0;
  const bool per_seed = state.range(1) == 2;
  View v(s.vertices.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64),
      f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
  std::vector<double> out(kSize * kSize), g(kSize * kSize, 1.0), gv(3 * s.v());
  View o(out.data(), {kSize, kSize}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT),
      gt(g.data(), {kSize, kSize}, VREL_DTYPE_FLOAT64);
  View gvo(gv.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Buffer ws(596992);
  VrelExecutionContext ctx = cpu();
  std::vector<char> message(512);
  VrelDiagnostic diag = diagnostic(message);
  for (auto _ : state) {
    if (per_seed) {
      const auto outcome = vrel::opaque::coverage_backward(
          s.vertices.data(), s.v(), s.faces.data(), s.f(), {kSize, kSize, 0, 0}, g.data(),
          gv.data(), vrel::opaque::coverage_workspace(ws.d.data), true, false);
      if (outcome != vrel::opaque::Outcome::kOk) state.SkipWithError("per-seed backward failed");
      continue;
    }
    const VrelStatus st =
        backward ? vrel_render_opaque_coverage_backward(v, f, kSize, kSize, 0, 0, gt, &ctx, gvo,
                                                        &ws.d, &diag)
                 : vrel_render_opaque_coverage(v, f, kSize, kSize, 0, 0, &ctx, o, &ws.d, &diag);
    check(state, st, message);
  }
  count_candidates(state, s);
}

void BM_Integrate(benchmark::State& state) {
  const Mesh& s = mesh(static_cast<int>(state.range(0)));
  const bool backward = state.range(1) != 0;
  const bool per_seed = state.range(1) == 2;
  View v(s.vertices.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64),
      f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
  View c(s.colour.data(), {s.f(), 3, 3}, VREL_DTYPE_FLOAT64);
  std::vector<double> out(4 * kSize * kSize), g(4 * kSize * kSize, 1.0), gv(3 * s.v()),
      gc(9 * s.f());
  View o(out.data(), {kSize, kSize, 4}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT),
      gt(g.data(), {kSize, kSize, 4}, VREL_DTYPE_FLOAT64);
  View gvo(gv.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT),
      gco(gc.data(), {s.f(), 3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Buffer ws(1047584);
  VrelExecutionContext ctx = cpu();
  std::vector<char> message(512);
  VrelDiagnostic diag = diagnostic(message);
  for (auto _ : state) {
    if (per_seed) {
      const auto outcome = vrel::opaque::integrate_backward(
          s.vertices.data(), s.v(), s.faces.data(), s.colour.data(), s.f(), {kSize, kSize, 0, 0},
          g.data(), gv.data(), gc.data(), vrel::opaque::integrate_workspace(ws.d.data), true,
          false);
      if (outcome != vrel::opaque::Outcome::kOk) state.SkipWithError("per-seed backward failed");
      continue;
    }
    const VrelStatus st =
        backward ? vrel_render_opaque_integrate_backward(v, f, c, kSize, kSize, 0, 0, gt, &ctx, gvo,
                                                         gco, &ws.d, &diag)
                 : vrel_render_opaque_integrate(v, f, c, kSize, kSize, 0, 0, &ctx, o, &ws.d, &diag);
    check(state, st, message);
  }
  count_candidates(state, s);
}

// The rasterizer with K = 1 on the same mesh, in NDC, in the same dtype.
void BM_Rasterize(benchmark::State& state) {
  const Mesh& s = mesh(static_cast<int>(state.range(0)));
  std::vector<double> ndc(s.vertices.size());
  for (int64_t q = 0; q < s.v(); ++q) {
    ndc[3 * q] = s.vertices[3 * q] / (kSize / 2.0) - 1;
    ndc[3 * q + 1] = 1 - s.vertices[3 * q + 1] / (kSize / 2.0);
    ndc[3 * q + 2] = s.vertices[3 * q + 2];
  }
  std::vector<int32_t> vo{0, static_cast<int32_t>(s.v())}, fo{0, static_cast<int32_t>(s.f())};
  View v(ndc.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64),
      f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
  View vov(vo.data(), {2}, VREL_DTYPE_INT32), fov(fo.data(), {2}, VREL_DTYPE_INT32);
  std::vector<int32_t> fi(kSize * kSize);
  std::vector<double> bary(3 * kSize * kSize), depth(kSize * kSize), sd(kSize * kSize);
  View fiv(fi.data(), {1, kSize, kSize, 1}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  View bv(bary.data(), {1, kSize, kSize, 1, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View dv(depth.data(), {1, kSize, kSize, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View sv(sd.data(), {1, kSize, kSize, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu();
  std::vector<char> message(512);
  VrelDiagnostic diag = diagnostic(message);
  for (auto _ : state) {
    check(state,
          vrel_render_rasterize(v, f, vov, fov, kSize, kSize, 1, 0, VREL_RENDER_CULL_NONE, 0, &ctx,
                                fiv, bv, dv, sv, nullptr, &diag),
          message);
  }
  state.counters["faces"] = static_cast<double>(s.f());
}

}  // namespace

BENCHMARK(BM_Rasterize)->Arg(21)->Arg(70)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Coverage)->Args({21, 0})->Args({70, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Integrate)->Args({21, 0})->Args({70, 0})->Unit(benchmark::kMillisecond);
// The backward passes take seconds: one iteration each.
BENCHMARK(BM_Coverage)
    ->Args({21, 1})
    ->Args({70, 1})
    ->Args({21, 2})
    ->Args({70, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_Integrate)
    ->Args({21, 1})
    ->Args({70, 1})
    ->Args({21, 2})
    ->Args({70, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
