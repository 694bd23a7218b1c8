// Face gathering and vertex normals: values, checks, workspace rules and gradients.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/mesh/mesh_support.hpp"

using namespace vrel::test;

namespace {

template <typename T>
class GatherAndNormals : public ::testing::Test {};
using Floating = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GatherAndNormals, Floating);

template <typename T>
Tensor<T> vertex_normals(Tensor<T>& v, Tensor<int32_t>& f, uint32_t weighting, double eps = 0) {
  Tensor<T> out = Tensor<T>::filled(v.shape(), T(7));
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  EXPECT_EQ(vrel_mesh_vertex_normals(v.in(), f.in(), eps, weighting, &ctx, out.out(), nullptr, d),
            0)
      << d.text();
  return out;
}

template <typename T>
Tensor<T> vertex_normals_backward(Tensor<T>& v, Tensor<int32_t>& f, uint32_t weighting,
                                  Tensor<T>& cotangent, double eps = 0) {
  Tensor<T> grad = Tensor<T>::filled(v.shape(), T(5));
  uint64_t bytes = 0, alignment = 0;
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  EXPECT_EQ(vrel_mesh_vertex_normals_workspace(v.shape()[0], f.shape()[0], dtype_of<T>(), &ctx,
                                               &bytes, &alignment, d),
            0);
  Workspace ws(bytes, alignment);
  std::memset(ws->data, 0x7f, bytes);  // stale scratch must not leak into the result
  EXPECT_EQ(vrel_mesh_vertex_normals_backward(v.in(), f.in(), eps, weighting, cotangent.in(), &ctx,
                                              grad.out(), ws.get(), d),
            0)
      << d.text();
  return grad;
}

}  // namespace

TYPED_TEST(GatherAndNormals, GatherCopiesCornersAndScattersBack) {
  using T = TypeParam;
  Tensor<T> v({3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  Tensor<int32_t> f({2, 3}, {0, 1, 2, 2, 1, 0});
  Tensor<T> out({2, 3, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  ASSERT_EQ(vrel_mesh_gather_faces(v.in(), f.in(), &ctx, out.out(), nullptr, d), 0) << d.text();
  EXPECT_EQ(out.values(), (std::vector<T>{1, 2, 3, 4, 5, 6, 7, 8, 9, 7, 8, 9, 4, 5, 6, 1, 2, 3}));
  Tensor<T> ones = Tensor<T>::filled({2, 3, 3}, T(1));
  Tensor<T> grad = Tensor<T>::filled({3, 3}, T(9));
  ASSERT_EQ(
      vrel_mesh_gather_faces_backward(v.in(), f.in(), ones.in(), &ctx, grad.out(), nullptr, d), 0);
  EXPECT_EQ(grad.values(), std::vector<T>(9, T(2)));
  // Distinct cotangents land on the right rows and add up.
  Tensor<T> g({2, 3, 3});
  for (std::size_t i = 0; i < g.size(); ++i) g[i] = T(i);
  ASSERT_EQ(vrel_mesh_gather_faces_backward(v.in(), f.in(), g.in(), &ctx, grad.out(), nullptr, d),
            0);
  EXPECT_EQ(grad.values(), (std::vector<T>{15, 17, 19, 15, 17, 19, 15, 17, 19}));
  // No faces: the gradient is cleared.
  Tensor<int32_t> none({0, 3});
  View g0(nullptr, {0, 3, 3}, dtype_of<T>());
  ASSERT_EQ(vrel_mesh_gather_faces_backward(v.in(), none.in(), g0, &ctx, grad.out(), nullptr, d),
            0);
  EXPECT_EQ(grad.values(), std::vector<T>(9, T(0)));
}

TEST(GatherFaces, GradientMatchesFiniteDifferences) {
  RandomMesh<double> m = random_mesh<double>(7, 9, 21);
  const std::vector<double> g = random_values(9 * 9, 22);
  Tensor<double> cot({9, 3, 3}, g), grad({7, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  ASSERT_EQ(vrel_mesh_gather_faces_backward(m.vertices.in(), m.faces.in(), cot.in(), &ctx,
                                            grad.out(), nullptr, d),
            0)
      << d.text();
  auto loss = [&](const std::vector<double>& x) {
    Tensor<double> v({7, 3}, x), out({9, 3, 3});
    EXPECT_EQ(vrel_mesh_gather_faces(v.in(), m.faces.in(), &ctx, out.out(), nullptr, nullptr), 0);
    return dot(out.values(), g);
  };
  expect_close(grad.values(), numeric_gradient(m.vertices.values(), loss), 1e-7, "gather");
}

TEST(GatherFaces, Checks) {
  Tensor<double> v({3, 3});
  Tensor<int32_t> f({1, 3}, {0, 1, 2}), bad({1, 3}, {0, 1, 3});
  Tensor<double> out({1, 3, 3}), grad({3, 3});
  Tensor<float> g32({1, 3, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  // The index range is checked before the output view is looked at.
  EXPECT_FAILS(vrel_mesh_gather_faces(v.in(), bad.in(), &ctx, nullptr, nullptr, d), d, 1,
               "face indices must lie in [0, V)");
  EXPECT_FAILS(vrel_mesh_gather_faces(v.in(), f.in(), &ctx, grad.out(), nullptr, d), d, 1,
               "face vertices must be a [F,3,3] output view");
  View cuda_out = out.out();
  cuda_out->device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(vrel_mesh_gather_faces(v.in(), f.in(), &ctx, cuda_out, nullptr, d), d, 2,
               "mesh.gather_faces implements only the CPU backend in this phase");
  Tensor<float> out32({1, 3, 3});
  EXPECT_FAILS(vrel_mesh_gather_faces(v.in(), f.in(), &ctx, out32.out(), nullptr, d), d, 1,
               "face vertices must match the vertices dtype");
  View over(v.ptr(), {1, 3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(vrel_mesh_gather_faces(v.in(), f.in(), &ctx, over, nullptr, d), d, 1,
               "outputs may not alias an input or another output");
  EXPECT_FAILS(
      vrel_mesh_gather_faces_backward(v.in(), f.in(), g32.in(), &ctx, grad.out(), nullptr, d), d, 1,
      "cotangents must match the vertices dtype");
  // The cotangent's flags are not examined, its device is.
  Tensor<double> g({1, 3, 3});
  EXPECT_EQ(vrel_mesh_gather_faces_backward(v.in(), f.in(), g.out(), &ctx, grad.out(), nullptr, d),
            0);
  View cuda_g = g.in();
  cuda_g->device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(
      vrel_mesh_gather_faces_backward(v.in(), f.in(), cuda_g, &ctx, grad.out(), nullptr, d), d, 2,
      "mesh operations implement only the CPU backend in this phase");
  View grad_over_g(g.ptr(), {3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(
      vrel_mesh_gather_faces_backward(v.in(), f.in(), g.in(), &ctx, grad_over_g, nullptr, d), d, 1,
      "outputs may not alias an input or another output");
  // Queries.
  uint64_t bytes = 9, alignment = 9;
  EXPECT_EQ(vrel_mesh_gather_faces_workspace(3, 1, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d),
            0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_FAILS(vrel_mesh_gather_faces_workspace(3, -1, 1, &ctx, &bytes, &alignment, d), d, 1,
               "vertex and face counts must be nonnegative");
  EXPECT_FAILS(vrel_mesh_gather_faces_workspace(3, 1, 5, &ctx, &bytes, &alignment, d), d, 2,
               "mesh.gather_faces supports the float32 and float64 dtypes");
}

TYPED_TEST(GatherAndNormals, SingleTriangleAndIsolatedVertex) {
  using T = TypeParam;
  Tensor<T> v({4, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 5, 5, 5});
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  for (uint32_t w : {VREL_MESH_WEIGHTING_AREA, VREL_MESH_WEIGHTING_UNIFORM})
    EXPECT_EQ(vertex_normals(v, f, w).values(),
              (std::vector<T>{0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 0}));
}

TYPED_TEST(GatherAndNormals, WeightingsOfTwoTriangles) {
  using T = TypeParam;
  // Face 0: area 1, normal +z. Face 1: area 3, normal +x. They share vertex 0; face 2 is
  // degenerate and must not count under either weighting.
  Tensor<T> v({6, 3}, {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 3, 0, 0, 0, 2, 0, 0, 7});
  Tensor<int32_t> f({3, 3}, {0, 1, 2, 0, 3, 4, 0, 4, 5});
  const Tensor<T> area = vertex_normals(v, f, VREL_MESH_WEIGHTING_AREA);
  const double s10 = std::sqrt(10.0);
  EXPECT_NEAR(area[0], 3 / s10, 1e-6);
  EXPECT_NEAR(area[1], 0, 1e-7);
  EXPECT_NEAR(area[2], 1 / s10, 1e-6);
  const Tensor<T> uniform = vertex_normals(v, f, VREL_MESH_WEIGHTING_UNIFORM);
  EXPECT_NEAR(uniform[0], 1 / std::sqrt(2.0), 1e-6);
  EXPECT_NEAR(uniform[2], 1 / std::sqrt(2.0), 1e-6);
  EXPECT_EQ(uniform[5 * 3 + 0], T(0));  // vertex 5 touches only the degenerate face
  EXPECT_EQ(uniform[5 * 3 + 1], T(0));
  EXPECT_EQ(uniform[5 * 3 + 2], T(0));
}

TEST(VertexNormals, GradientMatchesFiniteDifferences) {
  const int64_t V = 10, F = 16;
  RandomMesh<double> m = random_mesh<double>(V, F, 31);
  const std::vector<double> g = random_values(V * 3, 32);
  Tensor<double> cot({V, 3}, g);
  for (uint32_t w : {VREL_MESH_WEIGHTING_AREA, VREL_MESH_WEIGHTING_UNIFORM}) {
    const Tensor<double> grad = vertex_normals_backward(m.vertices, m.faces, w, cot, 1e-9);
    auto loss = [&](const std::vector<double>& x) {
      Tensor<double> v({V, 3}, x);
      return dot(vertex_normals(v, m.faces, w, 1e-9).values(), g);
    };
    expect_close(grad.values(), numeric_gradient(m.vertices.values(), loss), 1e-5,
                 w == VREL_MESH_WEIGHTING_AREA ? "area weighting" : "uniform weighting");
  }
}

TEST(VertexNormals, Float32BackwardAgreesWithFloat64) {
  RandomMesh<double> m = random_mesh<double>(12, 20, 41);
  Tensor<float> v32({12, 3});
  for (std::size_t i = 0; i < v32.size(); ++i) v32[i] = static_cast<float>(m.vertices[i]);
  Tensor<double> v64({12, 3});
  for (std::size_t i = 0; i < v64.size(); ++i) v64[i] = v32[i];
  const std::vector<double> g = random_values(36, 42);
  Tensor<double> c64({12, 3}, g);
  Tensor<float> c32({12, 3});
  for (std::size_t i = 0; i < c32.size(); ++i) c32[i] = static_cast<float>(g[i]);
  for (std::size_t i = 0; i < c64.size(); ++i) c64[i] = c32[i];
  const Tensor<float> a = vertex_normals_backward(v32, m.faces, VREL_MESH_WEIGHTING_UNIFORM, c32);
  const Tensor<double> b = vertex_normals_backward(v64, m.faces, VREL_MESH_WEIGHTING_UNIFORM, c64);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 2e-4 * (1 + std::fabs(b[i])));
}

TEST(VertexNormals, WeightingComesFirst) {
  Diag d;
  for (uint32_t w : {0u, 3u}) {
    EXPECT_FAILS(
        vrel_mesh_vertex_normals(nullptr, nullptr, std::nan(""), w, nullptr, nullptr, nullptr, d),
        d, 1, "weighting must be VREL_MESH_WEIGHTING_AREA or VREL_MESH_WEIGHTING_UNIFORM");
    EXPECT_FAILS(vrel_mesh_vertex_normals_backward(nullptr, nullptr, 0, w, nullptr, nullptr,
                                                   nullptr, nullptr, d),
                 d, 1, "weighting must be VREL_MESH_WEIGHTING_AREA or VREL_MESH_WEIGHTING_UNIFORM");
  }
}

TEST(VertexNormals, BackwardWorkspaceRules) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<double> g({3, 3}), grad({3, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  const uint32_t area = VREL_MESH_WEIGHTING_AREA;
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, area, g.in(), &ctx, grad.out(),
                                                 nullptr, d),
               d, 3, "the backward pass requires the workspace capacity reported by the query");
  Workspace small(71, 8);
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, area, g.in(), &ctx, grad.out(),
                                                 small.get(), d),
               d, 3, "the backward pass requires the workspace capacity reported by the query");
  Workspace big(128, 4);
  VrelBufferDescriptor shifted = *big.get();
  shifted.data = static_cast<char*>(shifted.data) + 4;
  shifted.capacity = 72;
  if (reinterpret_cast<uintptr_t>(shifted.data) % 8 == 0)
    shifted.data = static_cast<char*>(shifted.data) + 4;
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, area, g.in(), &ctx, grad.out(),
                                                 &shifted, d),
               d, 1, "the workspace data pointer must be aligned to the dtype");
  VrelBufferDescriptor over_grad = *big.get();
  over_grad.data = grad.ptr();
  over_grad.alignment = 8;
  over_grad.capacity = 72;
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, area, g.in(), &ctx, grad.out(),
                                                 &over_grad, d),
               d, 1, "the workspace may not alias an operand");
  // A malformed buffer is refused by the mesh input check, before its capacity is considered.
  Workspace broken(8, 8);
  broken->reserved[1] = 1;
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, area, g.in(), &ctx, grad.out(),
                                                 broken.get(), d),
               d, 1, "buffer descriptor reserved fields must be zero");
  // V = 0 needs no workspace.
  View v0(nullptr, {0, 3}, VREL_DTYPE_FLOAT64), g0(nullptr, {0, 3}, VREL_DTYPE_FLOAT64);
  View grad0(nullptr, {0, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Tensor<int32_t> none({0, 3});
  EXPECT_EQ(vrel_mesh_vertex_normals_backward(v0, none.in(), 0, area, g0, &ctx, grad0, nullptr, d),
            0);
}

TEST(VertexNormals, ChecksAndQuery) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<float> n32({3, 3});
  Tensor<double> n({2, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  EXPECT_FAILS(vrel_mesh_vertex_normals(v.in(), f.in(), 0, 1, &ctx, n32.out(), nullptr, d), d, 1,
               "unit normals must match the vertices dtype");
  EXPECT_FAILS(vrel_mesh_vertex_normals(v.in(), f.in(), 0, 1, &ctx, n.out(), nullptr, d), d, 1,
               "unit normals must be a [V,3] output view");
  View over(v.ptr(), {3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(vrel_mesh_vertex_normals(v.in(), f.in(), 0, 1, &ctx, over, nullptr, d), d, 1,
               "outputs may not alias an input or another output");
  Tensor<double> g({3, 3}), grad({3, 3});
  Tensor<float> g32({3, 3});
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, 1, g32.in(), &ctx, grad.out(),
                                                 nullptr, d),
               d, 1, "cotangents must match the vertices dtype");
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(v.in(), f.in(), 0, 1, nullptr, &ctx, grad.out(),
                                                 nullptr, d),
               d, 1, "normal cotangents must be a [V,3] tensor view");

  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(
      vrel_mesh_vertex_normals_workspace(10, 4, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 240u);
  EXPECT_EQ(alignment, 8u);
  EXPECT_EQ(
      vrel_mesh_vertex_normals_workspace(10, 4, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 120u);
  EXPECT_EQ(alignment, 4u);
  EXPECT_EQ(
      vrel_mesh_vertex_normals_workspace(0, 0, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d), 0);
  EXPECT_EQ(bytes, 0u);
  // The core answers CUDA contexts itself (no provider is reachable in this process).
  VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(
      vrel_mesh_vertex_normals_workspace(10, 4, VREL_DTYPE_FLOAT64, &cuda, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 240u);
  EXPECT_FAILS(vrel_mesh_vertex_normals_workspace(INT64_MAX, 0, VREL_DTYPE_FLOAT64, &ctx, &bytes,
                                                  &alignment, d),
               d, 4, "workspace byte requirement overflows 64-bit capacity");
  EXPECT_FAILS(vrel_mesh_vertex_normals_workspace(1, 0, 3, &ctx, &bytes, &alignment, d), d, 2,
               "mesh.vertex_normals supports the float32 and float64 dtypes");
}

TEST(GatherAndNormals, EmptyForwardsSucceedWithoutData) {
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> none({0, 3});
  View gathered(nullptr, {0, 3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(vrel_mesh_gather_faces(v.in(), none.in(), &ctx, gathered, nullptr, d), 0) << d.text();
  View v0(nullptr, {0, 3}, VREL_DTYPE_FLOAT32),
      n0(nullptr, {0, 3}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(
      vrel_mesh_vertex_normals(v0, none.in(), 0, VREL_MESH_WEIGHTING_UNIFORM, &ctx, n0, nullptr, d),
      0)
      << d.text();
  // No faces over three vertices: every normal is written as zero.
  Tensor<double> n = Tensor<double>::filled({3, 3}, 7.0);
  ASSERT_EQ(vrel_mesh_vertex_normals(v.in(), none.in(), 0, VREL_MESH_WEIGHTING_AREA, &ctx, n.out(),
                                     nullptr, d),
            0);
  EXPECT_EQ(n.values(), std::vector<double>(9, 0.0));
}

TEST(GatherAndNormals, BadInputs) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<double> out({1, 3, 3}), cot({1, 3, 3}, std::vector<double>(9, 1.0)), grad({3, 3}),
      normals({3, 3}), gn({3, 3}, std::vector<double>(9, 0.5));
  VrelExecutionContext ctx = cpu_context();
  Workspace none(0);
  Workspace scratch(72, 8);
  View vv = v.in(), fv = f.in(), ov = out.out(), cv = cot.in(), gv = grad.out(), nv = normals.out(),
       gnv = gn.in();
  VrelDiagnostic* nd = nullptr;
  check_bad_inputs("vrel_mesh_gather_faces", vrel_mesh_gather_faces,
                   std::make_tuple(vv.get(), fv.get(), &ctx, ov.get(), none.get(), nd),
                   bad_input_plan({region(out)}, {{4, VREL_STATUS_OK}}));
  check_bad_inputs("vrel_mesh_gather_faces_backward", vrel_mesh_gather_faces_backward,
                   std::make_tuple(vv.get(), fv.get(), cv.get(), &ctx, gv.get(), none.get(), nd),
                   bad_input_plan({region(grad)}, {{5, VREL_STATUS_OK}}));
  check_bad_inputs("vrel_mesh_vertex_normals", vrel_mesh_vertex_normals,
                   std::make_tuple(vv.get(), fv.get(), 0.0, VREL_MESH_WEIGHTING_AREA, &ctx,
                                   nv.get(), none.get(), nd),
                   bad_input_plan({region(normals)}, {{6, VREL_STATUS_OK}}));
  check_bad_inputs("vrel_mesh_vertex_normals_backward", vrel_mesh_vertex_normals_backward,
                   std::make_tuple(vv.get(), fv.get(), 0.0, VREL_MESH_WEIGHTING_UNIFORM, gnv.get(),
                                   &ctx, gv.get(), scratch.get(), nd),
                   bad_input_plan({region(grad)}, {{7, VREL_STATUS_INSUFFICIENT_CAPACITY}}));
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs(
      "vrel_mesh_gather_faces_workspace", vrel_mesh_gather_faces_workspace,
      std::make_tuple(int64_t{3}, int64_t{1}, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, nd),
      BadInputPlan{});
  check_bad_inputs(
      "vrel_mesh_vertex_normals_workspace", vrel_mesh_vertex_normals_workspace,
      std::make_tuple(int64_t{3}, int64_t{1}, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, nd),
      BadInputPlan{});
}
