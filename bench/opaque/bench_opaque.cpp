// Opaque rendering speed, single thread: coverage and colour integration, forward and backward,
// on a 256 x 256 image of a closed geodesic sphere of 2,000 and 20,480 triangles (20 n^2 for
// n = 10 and 32) whose outline covers about half of the image, beside vrel_render_rasterize with
// K = 1 on the same mesh and image. Each benchmark reports the mean number of candidate faces per
// pixel, the quantity the opaque renderer's time should follow. The backward also runs with one
// seeded evaluation per coordinate, the reference of the one-pass backward.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <map>
#include <vector>

#include "opaque/candidates.hpp"
#include "opaque/integrate_kernel.hpp"
#include "vrel/vrel.h"

namespace {

constexpr int64_t kSize = 256;

struct Sphere {
  std::vector<double> vertices;  // pixel units, z is depth (nearer is smaller)
  std::vector<int32_t> faces;
  std::vector<double> colour;
  int64_t v() const { return static_cast<int64_t>(vertices.size() / 3); }
  int64_t f() const { return static_cast<int64_t>(faces.size() / 3); }
};

// Each icosahedron face split into n^2 triangles, projected onto the sphere; shared vertices are
// merged so the mesh is closed. Radius sqrt(W H / (2 pi)): the outline covers half the image.
Sphere make_sphere(int n) {
  const double t = (1 + std::sqrt(5.0)) / 2;
  const std::array<std::array<double, 3>, 12> ico{{{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                                   {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                                   {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}}};
  const int tris[20][3] = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                           {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                           {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                           {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  const double radius = std::sqrt(kSize * kSize / (2 * M_PI));
  Sphere s;
  std::map<std::array<long long, 3>, int32_t> index;
  auto vertex = [&](std::array<double, 3> p) {
    const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    for (double& c : p) c = c / len * radius;
    const std::array<long long, 3> key{std::llround(p[0] * 1e6), std::llround(p[1] * 1e6),
                                       std::llround(p[2] * 1e6)};
    auto [it, fresh] = index.emplace(key, static_cast<int32_t>(s.v()));
    if (fresh) s.vertices.insert(s.vertices.end(), {p[0] + kSize / 2.0, p[1] + kSize / 2.0, p[2]});
    return it->second;
  };
  for (const auto& f : tris) {
    const auto& a = ico[f[0]];
    const auto& b = ico[f[1]];
    const auto& c = ico[f[2]];
    auto at = [&](int i, int j) {  // a + i/n (b - a) + j/n (c - a)
      std::array<double, 3> p;
      for (int k = 0; k < 3; ++k) p[k] = a[k] + (b[k] - a[k]) * i / n + (c[k] - a[k]) * j / n;
      return vertex(p);
    };
    for (int i = 0; i < n; ++i)
      for (int j = 0; i + j < n; ++j) {
        s.faces.insert(s.faces.end(), {at(i, j), at(i + 1, j), at(i, j + 1)});
        if (i + j + 1 < n) s.faces.insert(s.faces.end(), {at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
      }
  }
  for (int64_t q = 0; q < 9 * s.f(); ++q) s.colour.push_back(0.25 + 0.5 * ((q * 7919) % 13) / 13.0);
  return s;
}

const Sphere& sphere(int n) {
  static std::map<int, Sphere> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, make_sphere(n)).first;
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
void count_candidates(benchmark::State& state, const Sphere& s) {
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
  const Sphere& s = sphere(static_cast<int>(state.range(0)));
  const bool backward = state.range(1) != 0;
  const bool per_seed = state.range(1) == 2;
  View v(s.vertices.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64), f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
  std::vector<double> out(kSize * kSize), g(kSize * kSize, 1.0), gv(3 * s.v());
  View o(out.data(), {kSize, kSize}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT), gt(g.data(), {kSize, kSize}, VREL_DTYPE_FLOAT64);
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
    const VrelStatus st = backward ? vrel_render_opaque_coverage_backward(v, f, kSize, kSize, 0, 0, gt, &ctx, gvo, &ws.d, &diag)
                                   : vrel_render_opaque_coverage(v, f, kSize, kSize, 0, 0, &ctx, o, &ws.d, &diag);
    check(state, st, message);
  }
  count_candidates(state, s);
}

void BM_Integrate(benchmark::State& state) {
  const Sphere& s = sphere(static_cast<int>(state.range(0)));
  const bool backward = state.range(1) != 0;
  const bool per_seed = state.range(1) == 2;
  View v(s.vertices.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64), f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
  View c(s.colour.data(), {s.f(), 3, 3}, VREL_DTYPE_FLOAT64);
  std::vector<double> out(4 * kSize * kSize), g(4 * kSize * kSize, 1.0), gv(3 * s.v()), gc(9 * s.f());
  View o(out.data(), {kSize, kSize, 4}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT), gt(g.data(), {kSize, kSize, 4}, VREL_DTYPE_FLOAT64);
  View gvo(gv.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT), gco(gc.data(), {s.f(), 3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
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
    const VrelStatus st = backward ? vrel_render_opaque_integrate_backward(v, f, c, kSize, kSize, 0, 0, gt, &ctx, gvo, gco, &ws.d, &diag)
                                   : vrel_render_opaque_integrate(v, f, c, kSize, kSize, 0, 0, &ctx, o, &ws.d, &diag);
    check(state, st, message);
  }
  count_candidates(state, s);
}

// The rasterizer with K = 1 on the same mesh, in NDC, in the same dtype.
void BM_Rasterize(benchmark::State& state) {
  const Sphere& s = sphere(static_cast<int>(state.range(0)));
  std::vector<double> ndc(s.vertices.size());
  for (int64_t q = 0; q < s.v(); ++q) {
    ndc[3 * q] = s.vertices[3 * q] / (kSize / 2.0) - 1;
    ndc[3 * q + 1] = 1 - s.vertices[3 * q + 1] / (kSize / 2.0);
    ndc[3 * q + 2] = s.vertices[3 * q + 2];
  }
  std::vector<int32_t> vo{0, static_cast<int32_t>(s.v())}, fo{0, static_cast<int32_t>(s.f())};
  View v(ndc.data(), {s.v(), 3}, VREL_DTYPE_FLOAT64), f(s.faces.data(), {s.f(), 3}, VREL_DTYPE_INT32);
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
    check(state, vrel_render_rasterize(v, f, vov, fov, kSize, kSize, 1, 0, VREL_RENDER_CULL_NONE, 0, &ctx, fiv, bv, dv, sv, nullptr, &diag), message);
  }
  state.counters["faces"] = static_cast<double>(s.f());
}

}  // namespace

BENCHMARK(BM_Rasterize)->Arg(10)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Coverage)->Args({10, 0})->Args({32, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Integrate)->Args({10, 0})->Args({32, 0})->Unit(benchmark::kMillisecond);
// The backward passes take seconds: one iteration each.
BENCHMARK(BM_Coverage)->Args({10, 1})->Args({32, 1})->Args({10, 2})->Args({32, 2})
    ->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Integrate)->Args({10, 1})->Args({32, 1})->Args({10, 2})->Args({32, 2})
    ->Unit(benchmark::kMillisecond)->Iterations(1);
