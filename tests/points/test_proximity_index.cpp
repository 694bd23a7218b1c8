// The indexed proximity searches against the exhaustive ones, bit for bit: random clouds and
// meshes, equal distances, coincident points, points on edges and corners, degenerate and thin
// faces, extremes and non-finite coordinates; and the exports' use of a queried workspace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "points/closest_point_kernel.hpp"
#include "points/knn_kernel.hpp"
#include "tests/points/cases.hpp"

using namespace vrel::test;
using vrel::points::closest_index_bytes;
using vrel::points::knn_index_bytes;

namespace {

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

template <typename T>
vrel::points::KnnProblem<T> knn_problem(KnnCase<T>& c) {
  return {c.query.ptr(),
          c.reference.ptr(),
          c.query_offsets.ptr(),
          c.reference_offsets.ptr(),
          static_cast<int64_t>(c.query_offsets.size()) - 1,
          c.k,
          c.distances.ptr(),
          c.indices.ptr(),
          c.valid.ptr()};
}

// Runs both searches on `c` (every batch element indexed) and compares all three outputs.
template <typename T>
void expect_knn_index_exact(KnnCase<T> c) {
  vrel::points::knn_search(knn_problem(c));
  const int64_t p = c.rows(), r = c.reference.shape()[0];
  std::vector<uint64_t> memory(knn_index_bytes<T>(p, r, 1) / 8 + 1);
  for (vrel::points::Isa isa :
       {vrel::points::Isa::kBaseline, vrel::points::Isa::kAvx2, vrel::points::Isa::kAvx512}) {
    if (!vrel::points::isa_supported(isa)) continue;
    KnnCase<T> indexed = c;  // outputs poisoned: every slot must be written
    std::fill(indexed.distances.values().begin(), indexed.distances.values().end(), T(-3));
    std::fill(indexed.indices.values().begin(), indexed.indices.values().end(), -7);
    std::fill(indexed.valid.values().begin(), indexed.valid.values().end(), 7);
    vrel::points::knn_search_indexed(knn_problem(indexed), p, r, memory.data(), 1, isa);
    EXPECT_TRUE(same_bits(c.distances.values(), indexed.distances.values()));
    EXPECT_TRUE(same_bits(c.indices.values(), indexed.indices.values()));
    EXPECT_TRUE(same_bits(c.valid.values(), indexed.valid.values()));
  }
}

template <typename T>
KnnCase<T> knn_case(std::mt19937& rng, const std::vector<int32_t>& q, const std::vector<int32_t>& r,
                    int64_t k, double lo, double hi, int grid) {
  const auto qo = offsets_of(q), ro = offsets_of(r);
  return KnnCase<T>(random_coordinates<T>(rng, qo.back(), lo, hi, grid),
                    random_coordinates<T>(rng, ro.back(), lo, hi, grid), qo, ro, k);
}

}  // namespace

TEST(KnnIndex, EqualsTheExhaustiveSearchBitForBit) {
  std::mt19937 rng(21);
  // Elements without references, with fewer references than K and with many; coarse grids make
  // equal distances and coincident points common.
  const std::vector<int32_t> q{50, 0, 7, 300, 4}, r{900, 5, 0, 2000, 3};
  for (int64_t k : {1, 4, 8, 33}) {
    for (int grid : {0, 3, 16}) {
      expect_knn_index_exact(knn_case<float>(rng, q, r, k, -1, 1, grid));
      expect_knn_index_exact(knn_case<double>(rng, q, r, k, -1, 1, grid));
    }
  }
  // All references at one point: every distance ties, rows decide.
  KnnCase<float> same(random_coordinates<float>(rng, 20, -1, 1), std::vector<float>(3 * 100, 0.5f),
                      {0, 20}, {0, 100}, 7);
  expect_knn_index_exact(same);
  // Squared distances that overflow to infinity, and subnormal ones.
  expect_knn_index_exact(knn_case<float>(rng, {60}, {500}, 9, -3e19, 3e19, 0));
  expect_knn_index_exact(knn_case<double>(rng, {60}, {500}, 9, -1e-160, 1e-160, 0));
}

TEST(KnnIndex, NonFiniteCoordinatesTakeTheExhaustiveRule) {
  std::mt19937 rng(22);
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float bad : {inf, -inf, nan}) {
    auto c = knn_case<float>(rng, {30, 30}, {200, 200}, 5, -1, 1, 4);
    c.reference[3 * 17 + 1] = bad;  // first element: a bad reference point
    c.query[3 * 40] = bad;          // second element: a bad query point
    expect_knn_index_exact(c);
  }
}

TEST(KnnIndex, ExportUsesAQueriedWorkspaceAndFallsBackWithoutOne) {
  std::mt19937 rng(23);
  auto c = knn_case<float>(rng, {400}, {3000}, 8, -1, 1, 8);
  KnnCase<float> reference = c;
  ASSERT_EQ(reference.run().status, VREL_STATUS_OK);  // no workspace: exhaustive

  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, align = 0;
  Diag query;
  ASSERT_EQ(
      vrel_points_knn_workspace(400, 3000, 8, VREL_DTYPE_FLOAT32, &ctx, &bytes, &align, query),
      VREL_STATUS_OK);
  EXPECT_EQ(bytes, knn_index_bytes<float>(400, 3000));
  EXPECT_EQ(align, 8u);
  for (uint64_t capacity : {bytes, bytes - 1}) {
    Workspace ws(capacity, 64);
    std::memset(ws->data, 0xA5, capacity);
    std::fill(c.indices.values().begin(), c.indices.values().end(), -7);
    Diag diag;
    ASSERT_EQ(vrel_points_knn(c.query.in(), c.reference.in(), c.query_offsets.in(),
                              c.reference_offsets.in(), c.k, &ctx, c.distances.out(),
                              c.indices.out(), c.valid.out(), ws.get(), diag),
              VREL_STATUS_OK);
    EXPECT_TRUE(same_bits(c.distances.values(), reference.distances.values()));
    EXPECT_TRUE(same_bits(c.indices.values(), reference.indices.values()));
    // A smaller buffer is left untouched.
    const auto* data = static_cast<const unsigned char*>(ws->data);
    EXPECT_EQ(capacity == bytes,
              std::any_of(data, data + capacity, [](unsigned char x) { return x != 0xA5; }));
  }
  // Small reference sets need no index.
  ASSERT_EQ(vrel_points_knn_workspace(400, 10, 8, VREL_DTYPE_FLOAT64, &ctx, &bytes, &align, query),
            VREL_STATUS_OK);
  EXPECT_EQ(bytes, 0u);
}

// ---- closest point ---------------------------------------------------------------------------

namespace {

template <typename T>
vrel::points::ClosestProblem<T> closest_problem(ClosestCase<T>& c) {
  return {c.points.ptr(),
          c.vertices.ptr(),
          c.faces.ptr(),
          c.point_offsets.ptr(),
          c.face_offsets.ptr(),
          static_cast<int64_t>(c.point_offsets.size()) - 1,
          c.eps,
          c.distance.ptr(),
          c.face.ptr(),
          c.barycentric.ptr(),
          c.closest.ptr(),
          c.valid.ptr()};
}

template <typename T>
void expect_closest_index_exact(ClosestCase<T> c) {
  vrel::points::closest_point_search(closest_problem(c));
  const int64_t f = c.faces.shape()[0];
  std::vector<double> memory(closest_index_bytes(c.rows(), f, 1) / sizeof(double) + 1);
  for (vrel::points::Isa isa :
       {vrel::points::Isa::kBaseline, vrel::points::Isa::kAvx2, vrel::points::Isa::kAvx512}) {
    if (!vrel::points::isa_supported(isa)) continue;
    ClosestCase<T> indexed = c;  // outputs poisoned: every row must be written
    std::fill(indexed.distance.values().begin(), indexed.distance.values().end(), T(-3));
    std::fill(indexed.face.values().begin(), indexed.face.values().end(), -7);
    std::fill(indexed.barycentric.values().begin(), indexed.barycentric.values().end(), T(-3));
    std::fill(indexed.closest.values().begin(), indexed.closest.values().end(), T(-3));
    std::fill(indexed.valid.values().begin(), indexed.valid.values().end(), 7);
    vrel::points::closest_point_search_indexed(closest_problem(indexed), c.rows(), f, memory.data(),
                                               1, isa);
    EXPECT_TRUE(same_bits(c.distance.values(), indexed.distance.values()));
    EXPECT_TRUE(same_bits(c.face.values(), indexed.face.values()));
    EXPECT_TRUE(same_bits(c.barycentric.values(), indexed.barycentric.values()));
    EXPECT_TRUE(same_bits(c.closest.values(), indexed.closest.values()));
    EXPECT_TRUE(same_bits(c.valid.values(), indexed.valid.values()));
  }
}

// An n x n grid of squares split into triangles on the plane z = 0, each square's two faces
// sharing its diagonal; `jitter` lifts the vertices.
template <typename T>
void add_grid_mesh(std::mt19937& rng, int n, double jitter, std::vector<T>* v,
                   std::vector<int32_t>* f) {
  std::uniform_real_distribution<double> u(-jitter, jitter);
  const int32_t base = static_cast<int32_t>(v->size() / 3);
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j) {
      v->push_back(static_cast<T>(double(i) / n));
      v->push_back(static_cast<T>(double(j) / n));
      v->push_back(static_cast<T>(jitter > 0 ? u(rng) : 0.0));
    }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const int32_t a = base + i * (n + 1) + j, b = a + 1, c = a + n + 1, d = c + 1;
      f->insert(f->end(), {a, b, d, a, d, c});
    }
}

template <typename T>
ClosestCase<T> mesh_case(std::mt19937& rng, int n, double jitter, std::vector<T> points) {
  std::vector<T> v;
  std::vector<int32_t> f;
  add_grid_mesh(rng, n, jitter, &v, &f);
  return ClosestCase<T>(points, v, f);
}

}  // namespace

TEST(ClosestIndex, EqualsTheExhaustiveSearchBitForBit) {
  std::mt19937 rng(31);
  for (double jitter : {0.0, 0.05}) {
    // Points near and far, on the grid's vertices and edges (equal distances to several faces).
    auto near = random_coordinates<float>(rng, 300, -0.5, 1.5);
    auto on_grid = random_coordinates<float>(rng, 200, 0, 1, 8);
    near.insert(near.end(), on_grid.begin(), on_grid.end());
    expect_closest_index_exact(mesh_case<float>(rng, 8, jitter, near));
    auto far = random_coordinates<double>(rng, 100, -50, 50);
    auto on_grid_d = random_coordinates<double>(rng, 200, 0, 1, 16);
    far.insert(far.end(), on_grid_d.begin(), on_grid_d.end());
    expect_closest_index_exact(mesh_case<double>(rng, 16, jitter, far));
  }
  // Random triangle soup with duplicated, degenerate (collinear) and needle faces, eps both 0
  // and large enough to drop some faces.
  for (double eps : {0.0, 1e-3}) {
    std::vector<double> v = random_coordinates<double>(rng, 240, -1, 1);
    std::vector<int32_t> f;
    std::uniform_int_distribution<int32_t> pick(0, 239);
    for (int i = 0; i < 150; ++i) f.insert(f.end(), {pick(rng), pick(rng), pick(rng)});
    f.insert(f.end(), {f[0], f[1], f[2], f[3], f[4], f[5]});  // duplicates of faces 0 and 1
    const int32_t line = static_cast<int32_t>(v.size() / 3);
    v.insert(v.end(), {0, 0, 0, 1, 1, 1, 2, 2, 2});        // collinear corners
    v.insert(v.end(), {0, 0, 0, 1, 0, 0, 0.5, 1e-13, 0});  // a needle
    f.insert(f.end(), {line, line + 1, line + 2, line + 3, line + 4, line + 5});
    ClosestCase<double> c(random_coordinates<double>(rng, 400, -1.5, 1.5), v, f);
    c.eps = eps;
    expect_closest_index_exact(c);
  }
}

TEST(ClosestIndex, BatchesSmallElementsAndNonFiniteInputs) {
  std::mt19937 rng(32);
  std::vector<float> v, p;
  std::vector<int32_t> f;
  add_grid_mesh(rng, 6, 0.02, &v, &f);  // element 0: 72 faces
  const int32_t v0 = static_cast<int32_t>(v.size() / 3), f0 = static_cast<int32_t>(f.size() / 3);
  add_grid_mesh(rng, 4, 0.02, &v, &f);  // element 1: 32 faces, a NaN point
  const int32_t v1 = static_cast<int32_t>(v.size() / 3), f1 = static_cast<int32_t>(f.size() / 3);
  // element 2: no faces; element 3: one face with an infinite corner
  v.insert(v.end(), {0, 0, 0, 1, 0, 0, std::numeric_limits<float>::infinity(), 1, 0});
  f.insert(f.end(), {v1, v1 + 1, v1 + 2});
  p = random_coordinates<float>(rng, 160, -0.5, 1.5);
  p[3 * 50 + 2] = std::numeric_limits<float>::quiet_NaN();
  ClosestCase<float> c(p, v, f, {0, 40, 80, 120, 160}, {0, v0, v1, v1, v1 + 3},
                       {0, f0, f1, f1, f1 + 1});
  expect_closest_index_exact(c);
}

TEST(ClosestIndex, ExportUsesAQueriedWorkspace) {
  std::mt19937 rng(33);
  auto c = mesh_case<float>(rng, 12, 0.03, random_coordinates<float>(rng, 500, -0.2, 1.2));
  ClosestCase<float> reference = c;
  ASSERT_EQ(reference.run().status, VREL_STATUS_OK);
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, align = 0;
  Diag query;
  ASSERT_EQ(vrel_points_closest_point_on_mesh_workspace(500, 169, 288, VREL_DTYPE_FLOAT32, &ctx,
                                                        &bytes, &align, query),
            VREL_STATUS_OK);
  EXPECT_EQ(bytes, closest_index_bytes(500, 288));
  Workspace ws(bytes, 8);
  Diag diag;
  ASSERT_EQ(vrel_points_closest_point_on_mesh(
                c.points.in(), c.vertices.in(), c.faces.in(), c.point_offsets.in(),
                c.vertex_offsets.in(), c.face_offsets.in(), 0, &ctx, c.distance.out(), c.face.out(),
                c.barycentric.out(), c.closest.out(), c.valid.out(), ws.get(), diag),
            VREL_STATUS_OK);
  EXPECT_TRUE(same_bits(c.distance.values(), reference.distance.values()));
  EXPECT_TRUE(same_bits(c.face.values(), reference.face.values()));
  EXPECT_TRUE(same_bits(c.barycentric.values(), reference.barycentric.values()));
  EXPECT_TRUE(same_bits(c.closest.values(), reference.closest.values()));
}
