// PLY reading throughput (probe + read, both body passes) for a binary mesh of 50.0 MB and an ASCII
// mesh of 58.0 MB, against a plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vrel/vrel.h"

namespace {

struct Mesh {
  std::string bytes;
  int64_t vertices;
  int64_t faces;
};

std::string header(const char* format, int64_t v, int64_t f) {
  return std::string("ply\nformat ") + format + " 1.0\nelement vertex " + std::to_string(v) +
         "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
         std::to_string(f) + "\nproperty list uchar int vertex_indices\nend_header\n";
}

const Mesh& binary_mesh() {
  static const Mesh mesh = [] {
    const int64_t v = 2'000'000, f = 2'000'000;  // 24 MB of positions, 26 MB of faces
    Mesh m{header("binary_little_endian", v, f), v, f};
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int64_t i = 0; i < 3 * v; ++i) {
      const float x = u(rng);
      m.bytes.append(reinterpret_cast<const char*>(&x), 4);
    }
    for (int64_t i = 0; i < f; ++i) {
      m.bytes.push_back(3);
      for (int k = 0; k < 3; ++k) {
        const int32_t index = static_cast<int32_t>(rng() % v);
        m.bytes.append(reinterpret_cast<const char*>(&index), 4);
      }
    }
    return m;
  }();
  return mesh;
}

const Mesh& ascii_mesh() {
  static const Mesh mesh = [] {
    const int64_t v = 1'000'000, f = 1'300'000;  // 28.5 MB of positions, 29.5 MB of faces
    Mesh m{header("ascii", v, f), v, f};
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(-1, 1);
    char line[96];
    for (int64_t i = 0; i < v; ++i) {
      std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", u(rng), u(rng), u(rng));
      m.bytes += line;
    }
    for (int64_t i = 0; i < f; ++i) {
      std::snprintf(line, sizeof line, "3 %u %u %u\n", static_cast<unsigned>(rng() % v),
                    static_cast<unsigned>(rng() % v), static_cast<unsigned>(rng() % v));
      m.bytes += line;
    }
    return m;
  }();
  return mesh;
}

VrelTensorView view(void* data, const int64_t* shape, const int64_t* strides, uint32_t dtype) {
  VrelTensorView t{};
  t.struct_size = sizeof t;
  t.abi_version = VREL_ABI_VERSION;
  t.data = data;
  t.shape = shape;
  t.strides = strides;
  t.rank = 2;
  t.dtype = dtype;
  t.device_type = VREL_DEVICE_CPU;
  t.flags = VREL_TENSOR_OUTPUT;
  return t;
}

void read_mesh(benchmark::State& state, const Mesh& mesh) {
  std::vector<float> vertices(3 * mesh.vertices);
  std::vector<int32_t> faces(3 * mesh.faces);
  const int64_t vshape[2] = {mesh.vertices, 3}, fshape[2] = {mesh.faces, 3}, strides[2] = {3, 1};
  const VrelTensorView vv = view(vertices.data(), vshape, strides, VREL_DTYPE_FLOAT32);
  const VrelTensorView fv = view(faces.data(), fshape, strides, VREL_DTYPE_INT32);
  const int64_t size = static_cast<int64_t>(mesh.bytes.size());
  for (auto _ : state) {
    VrelPlyInfo info{};
    info.struct_size = sizeof info;
    if (vrel_io_ply_probe(mesh.bytes.data(), size, nullptr, &info, nullptr) != 0 ||
        vrel_io_ply_read(mesh.bytes.data(), size, &info, nullptr, &vv, &fv, nullptr, nullptr) !=
            0) {
      state.SkipWithError("the PLY read failed");
      break;
    }
    benchmark::DoNotOptimize(vertices.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void copy_mesh(benchmark::State& state, const Mesh& mesh) {
  std::vector<char> target(mesh.bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), mesh.bytes.data(), mesh.bytes.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mesh.bytes.size()));
}

void BM_PlyReadBinary(benchmark::State& state) { read_mesh(state, binary_mesh()); }
void BM_PlyReadAscii(benchmark::State& state) { read_mesh(state, ascii_mesh()); }
void BM_MemcpyBinarySize(benchmark::State& state) { copy_mesh(state, binary_mesh()); }
void BM_MemcpyAsciiSize(benchmark::State& state) { copy_mesh(state, ascii_mesh()); }

BENCHMARK(BM_PlyReadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyBinarySize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlyReadAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyAsciiSize)->Unit(benchmark::kMillisecond);

}  // namespace
