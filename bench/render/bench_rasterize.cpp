// Rasterization speed: 512 x 512 images of meshes of 1,000 to 100,000 random faces whose areas add
// up to about 5.7 times the view, K = 1 and 8, blur 0 and 1.5 pixels, against a brute-force pass
// that applies the per-pixel rule to every pixel for every face (no traversal).
#include <benchmark/benchmark.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "render/pixel_rule.hpp"
#include "vrel/vrel.h"

namespace {

constexpr int64_t kSize = 512;

struct Scene {
  std::vector<float> vertices;
  std::vector<int32_t> faces;
  std::vector<int32_t> vertex_offsets, face_offsets;
};

// Random triangles, one batch element, three vertices of their own each: corners on a circle of
// radius r around a uniform centre in [-1, 1]^2, at angles 120 degrees apart jittered by up to 36
// degrees (mean area about 1.14 r^2), depth uniform in [0, 1] moved by up to 0.05 per corner. r is
// chosen as if the mean area were 0.6 r^2 for three times the view's area of 4, so the areas add
// up to about 5.7 times the view, part of it beyond the border.
Scene make_scene(int64_t face_count) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> centre(-1, 1), unit(-1, 1), depth(0, 1);
  const double radius = std::sqrt(3.0 * 4.0 / (0.6 * static_cast<double>(face_count)));
  Scene s;
  for (int64_t f = 0; f < face_count; ++f) {
    const double cx = centre(rng), cy = centre(rng), z = depth(rng);
    for (int k = 0; k < 3; ++k) {
      const double a = (k + 0.3 * unit(rng)) * 2.0943951023931953;
      s.vertices.push_back(static_cast<float>(cx + radius * std::cos(a)));
      s.vertices.push_back(static_cast<float>(cy + radius * std::sin(a)));
      s.vertices.push_back(static_cast<float>(z + 0.05 * unit(rng)));
      s.faces.push_back(static_cast<int32_t>(3 * f + k));
    }
  }
  s.vertex_offsets = {0, static_cast<int32_t>(3 * face_count)};
  s.face_offsets = {0, static_cast<int32_t>(face_count)};
  return s;
}

VrelTensorView view(void* data, const std::vector<int64_t>& shape, std::vector<int64_t>& strides,
                    uint32_t dtype, uint32_t flags) {
  strides.assign(shape.size(), 1);
  for (std::size_t i = shape.size(); i-- > 1;) strides[i - 1] = strides[i] * shape[i];
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = data;
  v.shape = shape.data();
  v.strides = strides.data();
  v.rank = static_cast<uint32_t>(shape.size());
  v.dtype = dtype;
  v.device_type = VREL_DEVICE_CPU;
  v.flags = flags;
  return v;
}

// Arguments: face count, K, blur in tenths of a pixel.
void BM_Rasterize(benchmark::State& state) {
  const int64_t faces = state.range(0), k = state.range(1);
  const double blur = static_cast<double>(state.range(2)) / 10;
  Scene s = make_scene(faces);
  std::vector<int32_t> face_index(kSize * kSize * k);
  std::vector<float> bary(kSize * kSize * k * 3), depth(kSize * kSize * k), sd(kSize * kSize * k);
  std::vector<int64_t> shapes[8] = {{faces * 3, 3},
                                    {faces, 3},
                                    {2},
                                    {2},
                                    {1, kSize, kSize, k},
                                    {1, kSize, kSize, k, 3},
                                    {1, kSize, kSize, k},
                                    {1, kSize, kSize, k}};
  std::vector<int64_t> strides[8];
  VrelTensorView v = view(s.vertices.data(), shapes[0], strides[0], VREL_DTYPE_FLOAT32, 0);
  VrelTensorView f = view(s.faces.data(), shapes[1], strides[1], VREL_DTYPE_INT32, 0);
  VrelTensorView vo = view(s.vertex_offsets.data(), shapes[2], strides[2], VREL_DTYPE_INT32, 0);
  VrelTensorView fo = view(s.face_offsets.data(), shapes[3], strides[3], VREL_DTYPE_INT32, 0);
  VrelTensorView fi =
      view(face_index.data(), shapes[4], strides[4], VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  VrelTensorView ba =
      view(bary.data(), shapes[5], strides[5], VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  VrelTensorView de =
      view(depth.data(), shapes[6], strides[6], VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  VrelTensorView di =
      view(sd.data(), shapes[7], strides[7], VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx{};
  ctx.struct_size = sizeof ctx;
  ctx.abi_version = VREL_ABI_VERSION;
  ctx.device_type = VREL_DEVICE_CPU;
  for (auto _ : state) {
    const VrelStatus st =
        vrel_render_rasterize(&v, &f, &vo, &fo, kSize, kSize, k, blur, VREL_RENDER_CULL_NONE, 0.0,
                              &ctx, &fi, &ba, &de, &di, nullptr, nullptr);
    if (st != VREL_STATUS_OK) state.SkipWithError("rasterize failed");
    benchmark::DoNotOptimize(face_index.data());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_Rasterize)
    ->ArgsProduct({{1000, 10000, 100000}, {1, 8}, {0, 15}})
    ->Unit(benchmark::kMillisecond);

// The per-pixel rule at every pixel for every face, with the same layer insertion (K = 1).
void BM_BruteForce(benchmark::State& state) {
  const int64_t faces = state.range(0);
  const double blur = static_cast<double>(state.range(1)) / 10;
  Scene s = make_scene(faces);
  std::vector<int32_t> face_index(kSize * kSize);
  std::vector<float> depth(kSize * kSize);
  const vrel::render::RuleParams rule{blur, blur * blur, 0.0, vrel::render::kCullNone};
  for (auto _ : state) {
    std::fill(face_index.begin(), face_index.end(), -1);
    std::fill(depth.begin(), depth.end(), std::numeric_limits<float>::infinity());
    for (int64_t fc = 0; fc < faces; ++fc) {
      double x[3], y[3], z[3];
      for (int k = 0; k < 3; ++k) {
        x[k] = s.vertices[9 * fc + 3 * k];
        y[k] = s.vertices[9 * fc + 3 * k + 1];
        z[k] = s.vertices[9 * fc + 3 * k + 2];
      }
      const vrel::render::ScreenFace face = vrel::render::screen_face(x, y, z, kSize, kSize);
      for (int64_t p = 0; p < kSize * kSize; ++p) {
        vrel::render::Fragment frag;
        const auto admits = [&](double zz) {
          return face_index[p] < 0 || !(depth[p] <= static_cast<float>(zz));
        };
        if (vrel::render::pixel_fragment(face, rule, static_cast<double>(p % kSize) + 0.5,
                                         static_cast<double>(p / kSize) + 0.5, admits, &frag)) {
          face_index[p] = static_cast<int32_t>(fc);
          depth[p] = static_cast<float>(frag.z);
        }
      }
    }
    benchmark::DoNotOptimize(face_index.data());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_BruteForce)
    ->ArgsProduct({{1000}, {0, 15}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
