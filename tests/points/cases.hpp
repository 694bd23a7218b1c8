// Owned operands of the proximity exports, so that a test states only what it changes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/views.hpp"
#include "vrel/vrel.h"

namespace vrel::test {

struct Outcome {
  VrelStatus status;
  std::string message;
};

// A k-NN problem: packed query and reference points with their offsets, and the outputs.
template <typename T>
struct KnnCase {
  Tensor<T> query, reference;
  Tensor<int32_t> query_offsets, reference_offsets;
  int64_t k;
  Tensor<T> distances;
  Tensor<int32_t> indices;
  Tensor<uint8_t> valid;

  KnnCase(std::vector<T> q, std::vector<T> r, std::vector<int32_t> q_off,
          std::vector<int32_t> r_off, int64_t k_)
      : query({static_cast<int64_t>(q.size() / 3), 3}, q),
        reference({static_cast<int64_t>(r.size() / 3), 3}, r),
        query_offsets({static_cast<int64_t>(q_off.size())}, q_off),
        reference_offsets({static_cast<int64_t>(r_off.size())}, r_off),
        k(k_),
        distances({rows(), k_}),
        indices({rows(), k_}),
        valid({rows(), k_}) {}

  int64_t rows() const { return query.shape()[0]; }
  T dist(int64_t p, int64_t s) const { return distances[p * k + s]; }
  int32_t index(int64_t p, int64_t s) const { return indices[p * k + s]; }
  uint8_t filled(int64_t p, int64_t s) const { return valid[p * k + s]; }

  Outcome run() {
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    const VrelStatus st =
        vrel_points_knn(query.in(), reference.in(), query_offsets.in(), reference_offsets.in(), k,
                        &ctx, distances.out(), indices.out(), valid.out(), nullptr, diag);
    return {st, diag.text()};
  }
};

// A closest-point problem over packed points and meshes.
template <typename T>
struct ClosestCase {
  Tensor<T> points, vertices;
  Tensor<int32_t> faces, point_offsets, vertex_offsets, face_offsets;
  double eps = 0;
  Tensor<T> distance, barycentric, closest;
  Tensor<int32_t> face;
  Tensor<uint8_t> valid;

  ClosestCase(std::vector<T> p, std::vector<T> v, std::vector<int32_t> f,
              std::vector<int32_t> p_off, std::vector<int32_t> v_off, std::vector<int32_t> f_off)
      : points({static_cast<int64_t>(p.size() / 3), 3}, p),
        vertices({static_cast<int64_t>(v.size() / 3), 3}, v),
        faces({static_cast<int64_t>(f.size() / 3), 3}, f),
        point_offsets({static_cast<int64_t>(p_off.size())}, p_off),
        vertex_offsets({static_cast<int64_t>(v_off.size())}, v_off),
        face_offsets({static_cast<int64_t>(f_off.size())}, f_off),
        distance({rows()}),
        barycentric({rows(), 3}),
        closest({rows(), 3}),
        face({rows()}),
        valid({rows()}) {}

  // One batch element holding everything.
  ClosestCase(std::vector<T> p, std::vector<T> v, std::vector<int32_t> f)
      : ClosestCase(p, v, f, {0, static_cast<int32_t>(p.size() / 3)},
                    {0, static_cast<int32_t>(v.size() / 3)},
                    {0, static_cast<int32_t>(f.size() / 3)}) {}

  int64_t rows() const { return points.shape()[0]; }

  Outcome run() {
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    const VrelStatus st = vrel_points_closest_point_on_mesh(
        points.in(), vertices.in(), faces.in(), point_offsets.in(), vertex_offsets.in(),
        face_offsets.in(), eps, &ctx, distance.out(), face.out(), barycentric.out(), closest.out(),
        valid.out(), nullptr, diag);
    return {st, diag.text()};
  }
};

// Uniform coordinates in [lo, hi); with `grid` > 0 they are rounded to multiples of 1/grid, which
// makes equal distances common.
template <typename T>
std::vector<T> random_coordinates(std::mt19937& rng, int64_t rows, double lo, double hi,
                                  int grid = 0) {
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<T> out(static_cast<std::size_t>(3 * rows));
  for (T& x : out) {
    double v = u(rng);
    if (grid > 0) v = static_cast<double>(static_cast<int64_t>(v * grid)) / grid;
    x = static_cast<T>(v);
  }
  return out;
}

// Packed offsets of the given batch sizes.
inline std::vector<int32_t> offsets_of(const std::vector<int32_t>& sizes) {
  std::vector<int32_t> out{0};
  for (int32_t s : sizes) out.push_back(out.back() + s);
  return out;
}

}  // namespace vrel::test
