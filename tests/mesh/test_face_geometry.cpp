// Face geometry: values, check order, aliasing, empty problems and gradients.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/mesh/mesh_support.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;

namespace {

template <typename T>
class FaceGeometry : public ::testing::Test {};
using Floating = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FaceGeometry, Floating);

// Runs the forward on a mesh and returns its three outputs.
template <typename T>
struct Geometry {
  Tensor<T> normals, areas;
  Tensor<uint8_t> valid;
  VrelStatus status;
};

template <typename T>
Geometry<T> face_geometry(Tensor<T>& vertices, Tensor<int32_t>& faces, double eps) {
  const int64_t F = faces.shape()[0];
  Geometry<T> g{Tensor<T>::filled({F, 3}, T(7)), Tensor<T>::filled({F}, T(7)),
                Tensor<uint8_t>::filled({F}, 7), 0};
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  g.status = vrel_mesh_face_geometry(vertices.in(), faces.in(), eps, &ctx, g.normals.out(),
                                     g.areas.out(), g.valid.out(), nullptr, diag);
  EXPECT_EQ(g.status, VREL_STATUS_OK) << diag.text();
  return g;
}

}  // namespace

TYPED_TEST(FaceGeometry, UnitRightTriangleAndTheStrictEpsTest) {
  using T = TypeParam;
  Tensor<T> v = right_triangle_vertices<T>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  for (double eps : {0.0, -0.0, 0.999}) {
    Geometry<T> g = face_geometry(v, f, eps);
    EXPECT_EQ(g.normals.values(), (std::vector<T>{0, 0, 1}));
    EXPECT_EQ(g.areas[0], T(0.5));
    EXPECT_EQ(g.valid[0], 1);
  }
  Geometry<T> g = face_geometry(v, f, 1.0);  // L = 1 is not greater than eps = 1
  EXPECT_EQ(g.normals.values(), (std::vector<T>{0, 0, 0}));
  EXPECT_EQ(g.areas[0], T(0));
  EXPECT_EQ(g.valid[0], 0);
}

TYPED_TEST(FaceGeometry, DegenerateFacesGetZerosEvenWithZeroEps) {
  using T = TypeParam;
  Tensor<T> v({4, 3}, {0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 3, 0});
  // A repeated corner, three collinear corners, then a valid face with a clockwise winding.
  Tensor<int32_t> f({3, 3}, {0, 0, 1, 0, 1, 2, 0, 3, 1});
  Geometry<T> g = face_geometry(v, f, 0.0);
  EXPECT_EQ(g.valid.values(), (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(g.areas.values(), (std::vector<T>{0, 0, T(1.5)}));
  EXPECT_EQ(g.normals.values(), (std::vector<T>{0, 0, 0, 0, 0, 0, 0, 0, -1}));
}

TYPED_TEST(FaceGeometry, BackwardOfTheRightTriangle) {
  using T = TypeParam;
  Tensor<T> v = right_triangle_vertices<T>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  Tensor<T> grad = Tensor<T>::filled({3, 3}, T(9));  // cleared before accumulation
  Tensor<T> ga({1}, {1});
  ASSERT_EQ(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0.0, nullptr, ga.in(), &ctx,
                                             grad.out(), nullptr, diag),
            0)
      << diag.text();
  EXPECT_EQ(grad.values(), (std::vector<T>{-0.5, -0.5, 0, 0.5, 0, 0, 0, 0.5, 0}));
  // A cotangent along the normal itself changes nothing: the normal has unit length.
  Tensor<T> gn({1, 3}, {0, 0, 1});
  ASSERT_EQ(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0.0, gn.in(), nullptr, &ctx,
                                             grad.out(), nullptr, diag),
            0);
  EXPECT_EQ(grad.values(), (std::vector<T>(9, T(0))));
  // An invalid face contributes nothing.
  ASSERT_EQ(vrel_mesh_face_geometry_backward(v.in(), f.in(), 1.0, nullptr, ga.in(), &ctx,
                                             grad.out(), nullptr, diag),
            0);
  EXPECT_EQ(grad.values(), (std::vector<T>(9, T(0))));
}

TEST(FaceGeometry, Float32AgreesWithFloat64) {
  RandomMesh<double> m = random_mesh<double>(30, 40, 3);
  Tensor<float> v32({30, 3});
  for (std::size_t i = 0; i < v32.size(); ++i) v32[i] = static_cast<float>(m.vertices[i]);
  Tensor<double> v64({30, 3});
  for (std::size_t i = 0; i < v64.size(); ++i) v64[i] = v32[i];
  Geometry<float> a = face_geometry(v32, m.faces, 1e-6);
  Geometry<double> b = face_geometry(v64, m.faces, 1e-6);
  EXPECT_EQ(a.valid.values(), b.valid.values());
  for (std::size_t i = 0; i < a.normals.size(); ++i) EXPECT_NEAR(a.normals[i], b.normals[i], 1e-5);
  for (std::size_t i = 0; i < a.areas.size(); ++i) EXPECT_NEAR(a.areas[i], b.areas[i], 1e-5);
}

TEST(FaceGeometry, GradientMatchesFiniteDifferences) {
  RandomMesh<double> m = random_mesh<double>(9, 14, 11);
  const int64_t V = 9, F = 14;
  const std::vector<double> gn = random_values(F * 3, 5);
  const std::vector<double> ga = random_values(F, 6);
  auto loss = [&](const std::vector<double>& x, bool normals, bool areas) {
    Tensor<double> v({V, 3}, x);
    Geometry<double> g = face_geometry(v, m.faces, 1e-9);
    return (normals ? dot(g.normals.values(), gn) : 0.0) +
           (areas ? dot(g.areas.values(), ga) : 0.0);
  };
  for (int which = 0; which < 3; ++which) {
    const bool use_n = which != 2, use_a = which != 1;
    Tensor<double> n({F, 3}, gn), a({F}, ga), grad({V, 3});
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    ASSERT_EQ(vrel_mesh_face_geometry_backward(
                  m.vertices.in(), m.faces.in(), 1e-9, use_n ? n.in().get() : nullptr,
                  use_a ? a.in().get() : nullptr, &ctx, grad.out(), nullptr, diag),
              0)
        << diag.text();
    const auto numeric = numeric_gradient(
        m.vertices.values(), [&](const std::vector<double>& x) { return loss(x, use_n, use_a); });
    expect_close(grad.values(), numeric, 1e-6, "cotangent set " + std::to_string(which));
  }
}

TEST(FaceGeometry, ChecksRunInOrder) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<double> n({1, 3}), a({1});
  Tensor<uint8_t> ok({1});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  const double inf = std::numeric_limits<double>::infinity();
  // eps comes first, before the context and the views are looked at.
  for (double eps : {inf, std::nan(""), -1e-300})
    EXPECT_FAILS(vrel_mesh_face_geometry(nullptr, nullptr, eps, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, d),
                 d, 1, "eps must be finite and nonnegative");
  EXPECT_FAILS(
      vrel_mesh_face_geometry(nullptr, f.in(), 0, &ctx, n.out(), a.out(), ok.out(), nullptr, d), d,
      1, "vertices must be a [V,3] tensor view");
  Tensor<int32_t> vi({3, 3});
  EXPECT_FAILS(
      vrel_mesh_face_geometry(vi.in(), f.in(), 0, &ctx, n.out(), a.out(), ok.out(), nullptr, d), d,
      2, "vertices must use the float32 or float64 dtype");
  Tensor<double> fd({1, 3});
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), fd.in(), 0, &ctx, n.out(), a.out(), ok.out(), nullptr, d), d,
      2, "faces must use the int32 dtype");
  // The index range is checked after a supplied workspace and before any output.
  Workspace ws(0);
  ws->reserved_word = 1;
  Tensor<int32_t> out_of_range({1, 3}, {0, 1, 3});
  EXPECT_FAILS(vrel_mesh_face_geometry(v.in(), out_of_range.in(), 0, &ctx, nullptr, nullptr,
                                       nullptr, ws.get(), d),
               d, 1, "buffer descriptor reserved fields must be zero");
  EXPECT_FAILS(vrel_mesh_face_geometry(v.in(), out_of_range.in(), 0, &ctx, nullptr, nullptr,
                                       nullptr, nullptr, d),
               d, 1, "face indices must lie in [0, V)");
  Tensor<int32_t> negative({1, 3}, {0, -1, 2});
  EXPECT_FAILS(vrel_mesh_face_geometry(v.in(), negative.in(), 0, &ctx, n.out(), a.out(), ok.out(),
                                       nullptr, d),
               d, 1, "face indices must lie in [0, V)");
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), f.in(), 0, &ctx, n.in(), a.out(), ok.out(), nullptr, d), d, 1,
      "operation outputs must carry the output flag");
  Tensor<double> n2({2, 3});
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), f.in(), 0, &ctx, n2.out(), a.out(), ok.out(), nullptr, d), d,
      1, "unit normals must be a [F,3] output view");
  // A float32 area beside float64 vertices is status 1, not 2.
  Tensor<float> a32({1});
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), f.in(), 0, &ctx, n.out(), a32.out(), ok.out(), nullptr, d), d,
      1, "floating outputs must match the vertices dtype");
  Tensor<int32_t> vi32({1});
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), f.in(), 0, &ctx, n.out(), a.out(), vi32.out(), nullptr, d), d,
      1, "valid must use the bool dtype");
  // The CPU-only rule for a CUDA view.
  View cuda_n = n.out();
  cuda_n->device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(
      vrel_mesh_face_geometry(v.in(), f.in(), 0, &ctx, cuda_n, a.out(), ok.out(), nullptr, d), d, 2,
      "mesh operations implement only the CPU backend in this phase");
}

TEST(FaceGeometry, AliasRule) {
  std::vector<double> storage(16);
  View v(storage.data(), {3, 3}, VREL_DTYPE_FLOAT64);
  storage[3] = 1;
  storage[7] = 1;
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  View normals_over_vertices(storage.data() + 6, {1, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Tensor<double> a({1});
  Tensor<uint8_t> ok({1});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  const std::vector<double> before = storage;
  EXPECT_FAILS(vrel_mesh_face_geometry(v, f.in(), 0, &ctx, normals_over_vertices, a.out(), ok.out(),
                                       nullptr, d),
               d, 1, "outputs may not alias an input or another output");
  EXPECT_EQ(storage, before);
  // Two outputs sharing bytes.
  Tensor<double> n({1, 3});
  View areas_over_normals(n.ptr(), {1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(vrel_mesh_face_geometry(v, f.in(), 0, &ctx, n.out(), areas_over_normals, ok.out(),
                                       nullptr, d),
               d, 1, "outputs may not alias an input or another output");
  // vertices and faces may share storage: inputs are never tested against each other.
  std::vector<int32_t> shared(12, 0);
  View fv(shared.data(), {3, 3}, VREL_DTYPE_FLOAT32);
  View ff(shared.data() + 9, {1, 3}, VREL_DTYPE_INT32);
  Tensor<float> n32({1, 3}), a32({1});
  EXPECT_EQ(vrel_mesh_face_geometry(fv, ff, 0, &ctx, n32.out(), a32.out(), ok.out(), nullptr, d), 0)
      << d.text();
}

TEST(FaceGeometry, EmptyProblemsWriteNothing) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> none({0, 3});
  View n(nullptr, {0, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View a(nullptr, {0}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View ok(nullptr, {0}, VREL_DTYPE_BOOL, VREL_TENSOR_OUTPUT);
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  EXPECT_EQ(vrel_mesh_face_geometry(v.in(), none.in(), 0, &ctx, n, a, ok, nullptr, d), 0)
      << d.text();
  // V = 0 requires F = 0, and the backward then writes nothing.
  View v0(nullptr, {0, 3}, VREL_DTYPE_FLOAT64);
  View ga(nullptr, {0}, VREL_DTYPE_FLOAT64);
  View grad(nullptr, {0, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(vrel_mesh_face_geometry_backward(v0, none.in(), 0, nullptr, ga, &ctx, grad, nullptr, d),
            0)
      << d.text();
  Tensor<int32_t> one({1, 3}, {0, 0, 0});
  EXPECT_FAILS(
      vrel_mesh_face_geometry_backward(v0, one.in(), 0, nullptr, ga, &ctx, grad, nullptr, d), d, 1,
      "face indices must lie in [0, V)");
}

TEST(FaceGeometry, BackwardChecks) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<double> gn({1, 3}), grad({3, 3});
  Tensor<float> ga32({1});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0, nullptr, nullptr, &ctx,
                                                grad.out(), nullptr, d),
               d, 1, "at least one cotangent view is required");
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0, gn.in(), ga32.in(), &ctx,
                                                grad.out(), nullptr, d),
               d, 1, "cotangents must match the vertices dtype");
  Tensor<double> ga2({2});
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0, nullptr, ga2.in(), &ctx,
                                                grad.out(), nullptr, d),
               d, 1, "area cotangents must be a [F] tensor view");
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0, gn.out(), nullptr, &ctx,
                                                grad.out(), nullptr, d),
               d, 1, "operation inputs may not carry the output flag");
  Tensor<float> grad32({3, 3});
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v.in(), f.in(), 0, gn.in(), nullptr, &ctx,
                                                grad32.out(), nullptr, d),
               d, 1, "vertex gradients must match the vertices dtype");
  View grad_over_cotangent(gn.ptr(), {1, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Tensor<double> v1({1, 3});
  Tensor<int32_t> f0({1, 3}, {0, 0, 0});
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(v1.in(), f0.in(), 0, gn.in(), nullptr, &ctx,
                                                grad_over_cotangent, nullptr, d),
               d, 1, "outputs may not alias an input or another output");
}

TEST(FaceGeometry, WorkspaceQuery) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 99, alignment = 99;
  Diag d;
  EXPECT_EQ(
      vrel_mesh_face_geometry_workspace(10, 20, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_FAILS(vrel_mesh_face_geometry_workspace(10, 20, 1, nullptr, nullptr, &alignment, d), d, 1,
               "workspace query result pointers must not be null");
  EXPECT_FAILS(vrel_mesh_face_geometry_workspace(-1, 20, 1, nullptr, &bytes, &alignment, d), d, 1,
               "vertex and face counts must be nonnegative");
  EXPECT_FAILS(
      vrel_mesh_face_geometry_workspace(1, 1, VREL_DTYPE_INT32, &ctx, &bytes, &alignment, d), d, 2,
      "mesh.face_geometry supports the float32 and float64 dtypes");
}

TEST(FaceGeometry, BadInputs) {
  Tensor<double> v = right_triangle_vertices<double>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  Tensor<double> n({1, 3}), a({1}), gn({1, 3}, {0.1, 0.2, 0.3}), ga({1}, {1}), grad({3, 3});
  Tensor<uint8_t> ok({1});
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(0);
  View vv = v.in(), fv = f.in(), nv = n.out(), av = a.out(), okv = ok.out();
  check_bad_inputs("vrel_mesh_face_geometry", vrel_mesh_face_geometry,
                   std::make_tuple(vv.get(), fv.get(), 0.0, &ctx, nv.get(), av.get(), okv.get(),
                                   ws.get(), static_cast<VrelDiagnostic*>(nullptr)),
                   bad_input_plan({region(n), region(a), region(ok)}, {{7, VREL_STATUS_OK}}));
  View gnv = gn.in(), gav = ga.in(), gv = grad.out();
  check_bad_inputs("vrel_mesh_face_geometry_backward", vrel_mesh_face_geometry_backward,
                   std::make_tuple(vv.get(), fv.get(), 0.0, gnv.get(), gav.get(), &ctx, gv.get(),
                                   ws.get(), static_cast<VrelDiagnostic*>(nullptr)),
                   bad_input_plan({region(grad)},
                                  {{3, VREL_STATUS_OK}, {4, VREL_STATUS_OK}, {7, VREL_STATUS_OK}}));
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("vrel_mesh_face_geometry_workspace", vrel_mesh_face_geometry_workspace,
                   std::make_tuple(int64_t{3}, int64_t{1}, VREL_DTYPE_FLOAT64, &ctx, &bytes,
                                   &alignment, static_cast<VrelDiagnostic*>(nullptr)),
                   BadInputPlan{});
}
