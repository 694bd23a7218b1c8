// Blend shapes, linear blend skinning and barycentric evaluation: small worked examples, the
// empty and degenerate cases, requested-gradient subsets, central differences in float64, and the
// landmark scatter against the per-vertex gather, bit for bit.
#include "tests/animation/animation_test.hpp"

using namespace vrel::test;

namespace {

VrelExecutionContext g_ctx = cpu_context();

template <typename T>
View maybe_out(Tensor<T>* t) {
  return t ? t->out() : View(nullptr, {0}, dtype_of<T>(), VREL_TENSOR_OUTPUT);
}
template <typename T>
const VrelTensorView* ptr_or_null(Tensor<T>* t, View& v) {
  return t ? v.get() : nullptr;
}

// ---- Blend shapes -----------------------------------------------------------------------------

struct Blend {
  Tensor<double> tmpl, deltas, weights;
  Blend(int64_t b, int64_t v, int64_t k, std::mt19937& rng)
      : tmpl(random_tensor<double>({v, 3}, rng)),
        deltas(random_tensor<double>({k, v, 3}, rng)),
        weights(random_tensor<double>({b, k}, rng)) {}
  Result forward(Tensor<double>& out) {
    Diag diag;
    const VrelStatus st = vrel_mesh_blend_shapes(tmpl.in(), deltas.in(), weights.in(), &g_ctx,
                                                 out.out(), nullptr, diag);
    return {st, diag.text()};
  }
  Result backward(Tensor<double>& g, Tensor<double>* gt, Tensor<double>* gd, Tensor<double>* gw) {
    View a = maybe_out(gt), b = maybe_out(gd), c = maybe_out(gw);
    Diag diag;
    const VrelStatus st = vrel_mesh_blend_shapes_backward(
        tmpl.in(), deltas.in(), weights.in(), g.in(), &g_ctx, ptr_or_null(gt, a),
        ptr_or_null(gd, b), ptr_or_null(gw, c), nullptr, diag);
    return {st, diag.text()};
  }
};

TEST(BlendShapes, WorkedExampleAndNoShapes) {
  Tensor<float> tmpl({2, 3}, {0, 1, 2, 3, 4, 5});
  Tensor<float> deltas({1, 2, 3}, {1, 1, 1, -2, 0, 2});
  Tensor<float> weights({2, 1}, {0.5f, -1});
  Tensor<float> out({2, 2, 3});
  ASSERT_EQ(vrel_mesh_blend_shapes(tmpl.in(), deltas.in(), weights.in(), &g_ctx, out.out(), nullptr,
                                   nullptr),
            0);
  EXPECT_EQ(out.values(), (std::vector<float>{0.5f, 1.5f, 2.5f, 2, 4, 6, -1, 0, 1, 5, 4, 3}));

  // K = 0 copies the template into every batch element.
  Tensor<float> none({0, 2, 3});
  Tensor<float> no_weights({3, 0});
  Tensor<float> copies({3, 2, 3});
  ASSERT_EQ(vrel_mesh_blend_shapes(tmpl.in(), none.in(), no_weights.in(), &g_ctx, copies.out(),
                                   nullptr, nullptr),
            0);
  for (int b = 0; b < 3; ++b)
    for (int i = 0; i < 6; ++i) EXPECT_EQ(copies[6 * b + i], tmpl[i]);
}

TEST(BlendShapes, BackwardAndSubsetsMatchCentralDifferences) {
  std::mt19937 rng(21);
  Blend p(3, 5, 4, rng);
  Tensor<double> g = random_tensor<double>({3, 5, 3}, rng);
  Tensor<double> gt({5, 3}), gd({4, 5, 3}), gw({3, 4});
  ASSERT_EQ(p.backward(g, &gt, &gd, &gw).status, 0);
  Tensor<double> out({3, 5, 3});
  auto loss = [&] {
    EXPECT_EQ(p.forward(out).status, 0);
    return dot(out, g);
  };
  expect_gradient("template", p.tmpl, gt, loss);
  expect_gradient("deltas", p.deltas, gd, loss);
  expect_gradient("weights", p.weights, gw, loss);

  // Only grad_weights requested: the same values, nothing else touched.
  Tensor<double> only_w({3, 4});
  ASSERT_EQ(p.backward(g, nullptr, nullptr, &only_w).status, 0);
  EXPECT_EQ(only_w.values(), gw.values());
  Tensor<double> only_t({5, 3}), only_d({4, 5, 3});
  ASSERT_EQ(p.backward(g, &only_t, &only_d, nullptr).status, 0);
  EXPECT_EQ(only_t.values(), gt.values());
  EXPECT_EQ(only_d.values(), gd.values());

  const Result none = p.backward(g, nullptr, nullptr, nullptr);
  EXPECT_EQ(none.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(none.message, "at least one animation gradient is required");
}

TEST(BlendShapes, UnrepresentableResultIsReported) {
  Tensor<float> tmpl({1, 3}, {3e38f, 0, 0});
  Tensor<float> deltas({1, 1, 3}, {3e38f, 0, 0});
  Tensor<float> weights({1, 1}, {1});
  Tensor<float> out({1, 1, 3});
  Diag diag;
  EXPECT_EQ(vrel_mesh_blend_shapes(tmpl.in(), deltas.in(), weights.in(), &g_ctx, out.out(), nullptr,
                                   diag),
            VREL_STATUS_OVERFLOW);
  EXPECT_EQ(diag.text(), "animation arithmetic is not representable");
}

// ---- Skinning ---------------------------------------------------------------------------------

struct Skin {
  Tensor<double> vertices, transforms, weights;
  Skin(int64_t b, int64_t v, int64_t j, std::mt19937& rng)
      : vertices(random_tensor<double>({b, v, 3}, rng)),
        transforms(random_tensor<double>({b, j, 4, 4}, rng)),
        weights(random_tensor<double>({v, j}, rng, 0.0, 1.0)) {}
  Result forward(Tensor<double>& out) {
    Diag diag;
    const VrelStatus st = vrel_mesh_skin_lbs(vertices.in(), transforms.in(), weights.in(), &g_ctx,
                                             out.out(), nullptr, diag);
    return {st, diag.text()};
  }
  Result backward(Tensor<double>& g, Tensor<double>* gv, Tensor<double>* gt, Tensor<double>* gw) {
    View a = maybe_out(gv), b = maybe_out(gt), c = maybe_out(gw);
    Diag diag;
    const VrelStatus st = vrel_mesh_skin_lbs_backward(
        vertices.in(), transforms.in(), weights.in(), g.in(), &g_ctx, ptr_or_null(gv, a),
        ptr_or_null(gt, b), ptr_or_null(gw, c), nullptr, diag);
    return {st, diag.text()};
  }
};

TEST(Skinning, BlendsAffineTransformsAndIgnoresTheLastRow) {
  // Joint 0 is the identity, joint 1 a translation by (2, 0, -4); a vertex split 3:1.
  Tensor<float> vertices({1, 2, 3}, {1, 2, 3, -1, 0, 1});
  Tensor<float> transforms({1, 2, 4, 4}, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0,  9, 9, 9, 9,
                                          1, 0, 0, 2, 0, 1, 0, 0, 0, 0, 1, -4, 7, 7, 7, 7});
  Tensor<float> weights({2, 2}, {0.75f, 0.25f, 0, 1});
  Tensor<float> out({1, 2, 3});
  ASSERT_EQ(vrel_mesh_skin_lbs(vertices.in(), transforms.in(), weights.in(), &g_ctx, out.out(),
                               nullptr, nullptr),
            0);
  EXPECT_EQ(out.values(), (std::vector<float>{1.5f, 2, 2, 1, 0, -3}));
}

TEST(Skinning, JointCountRules) {
  Tensor<float> no_vertices({2, 0, 3}), no_transforms({2, 0, 4, 4}), no_weights({0, 0});
  Tensor<float> no_out({2, 0, 3});
  EXPECT_EQ(vrel_mesh_skin_lbs(no_vertices.in(), no_transforms.in(), no_weights.in(), &g_ctx,
                               no_out.out(), nullptr, nullptr),
            0);
  Tensor<float> vertices({1, 3, 3}), weights({3, 0}), out({1, 3, 3});
  Tensor<float> transforms({1, 0, 4, 4});
  poison(out);
  Diag diag;
  EXPECT_EQ(vrel_mesh_skin_lbs(vertices.in(), transforms.in(), weights.in(), &g_ctx, out.out(),
                               nullptr, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "nonempty skinning vertices require at least one joint");
  EXPECT_TRUE(poisoned(out));
}

TEST(Skinning, BackwardAndSubsetsMatchCentralDifferences) {
  std::mt19937 rng(31);
  Skin p(2, 6, 4, rng);
  p.weights[3] = 0;  // a zero weight takes the skipping path
  Tensor<double> g = random_tensor<double>({2, 6, 3}, rng);
  Tensor<double> gv({2, 6, 3}), gt({2, 4, 4, 4}), gw({6, 4});
  ASSERT_EQ(p.backward(g, &gv, &gt, &gw).status, 0);
  for (int m = 0; m < 8; ++m)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(gt[16 * m + 12 + c], 0.0) << "row 3 of transform " << m;
  Tensor<double> out({2, 6, 3});
  auto loss = [&] {
    EXPECT_EQ(p.forward(out).status, 0);
    return dot(out, g);
  };
  expect_gradient("vertices", p.vertices, gv, loss);
  expect_gradient("transforms", p.transforms, gt, loss);
  expect_gradient("weights", p.weights, gw, loss);

  Tensor<double> only_w({6, 4});
  ASSERT_EQ(p.backward(g, nullptr, nullptr, &only_w).status, 0);
  EXPECT_EQ(only_w.values(), gw.values());
  Tensor<double> only_v({2, 6, 3}), only_t({2, 4, 4, 4});
  ASSERT_EQ(p.backward(g, &only_v, nullptr, nullptr).status, 0);
  ASSERT_EQ(p.backward(g, nullptr, &only_t, nullptr).status, 0);
  EXPECT_EQ(only_v.values(), gv.values());
  EXPECT_EQ(only_t.values(), gt.values());
}

// More nonzero weights per vertex than the kernel lists keeps the whole weight row.
TEST(Skinning, DenseWeightRowsMatchCentralDifferences) {
  std::mt19937 rng(33);
  Skin p(1, 2, 40, rng);
  p.weights[7] = 0;
  Tensor<double> g = random_tensor<double>({1, 2, 3}, rng);
  Tensor<double> gv({1, 2, 3}), gt({1, 40, 4, 4}), gw({2, 40});
  ASSERT_EQ(p.backward(g, &gv, &gt, &gw).status, 0);
  Tensor<double> out({1, 2, 3});
  auto loss = [&] {
    EXPECT_EQ(p.forward(out).status, 0);
    return dot(out, g);
  };
  expect_gradient("vertices", p.vertices, gv, loss);
  expect_gradient("transforms", p.transforms, gt, loss);
  expect_gradient("weights", p.weights, gw, loss);
}

// The blocked weight gradient against the per-joint formula summed over the batch in order, bit
// for bit, with vertex and joint counts that leave partial blocks.
TEST(Skinning, BlockedWeightGradientEqualsThePlainSumBitForBit) {
  std::mt19937 rng(34);
  const int64_t B = 3, V = 45, J = 131;
  Tensor<float> vertices = random_tensor<float>({B, V, 3}, rng, -3, 3);
  Tensor<float> transforms = random_tensor<float>({B, J, 4, 4}, rng);
  Tensor<float> weights = random_tensor<float>({V, J}, rng, 0, 1);
  for (int64_t e = 0; e < V * J; e += 3) weights[e] = 0;
  Tensor<float> g = random_tensor<float>({B, V, 3}, rng), gw({V, J});
  Diag diag;
  ASSERT_EQ(vrel_mesh_skin_lbs_backward(vertices.in(), transforms.in(), weights.in(), g.in(),
                                        &g_ctx, nullptr, nullptr, gw.out(), nullptr, diag),
            0);
  for (int64_t v = 0; v < V; ++v)
    for (int64_t j = 0; j < J; ++j) {
      float sum = 0;
      for (int64_t b = 0; b < B; ++b) {
        const float* m = &transforms[(b * J + j) * 16];
        const float* p = &vertices[(b * V + v) * 3];
        const float* c = &g[(b * V + v) * 3];
        float row[3];
        for (int r = 0; r < 3; ++r)
          row[r] = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3];
        sum += c[0] * row[0] + c[1] * row[1] + c[2] * row[2];
      }
      ASSERT_EQ(std::memcmp(&sum, &gw[v * J + j], sizeof sum), 0)
          << "vertex " << v << " joint " << j;
    }
}

// ---- Barycentric evaluation -------------------------------------------------------------------

struct Landmarks {
  Tensor<double> vertices;
  Tensor<int32_t> faces, face_index;
  Tensor<double> bary;
  Result forward(Tensor<double>& out) {
    Diag diag;
    const VrelStatus st = vrel_mesh_evaluate_barycentric(
        vertices.in(), faces.in(), face_index.in(), bary.in(), &g_ctx, out.out(), nullptr, diag);
    return {st, diag.text()};
  }
  Result backward(Tensor<double>& g, Tensor<double>* gv, Tensor<double>* gb) {
    View a = maybe_out(gv), b = maybe_out(gb);
    Diag diag;
    const VrelStatus st = vrel_mesh_evaluate_barycentric_backward(
        vertices.in(), faces.in(), face_index.in(), bary.in(), g.in(), &g_ctx, ptr_or_null(gv, a),
        ptr_or_null(gb, b), nullptr, diag);
    return {st, diag.text()};
  }
};

// Faces with repeated corners and landmarks that share faces.
Landmarks random_landmarks(int64_t b, int64_t v, int64_t f, int64_t l, std::mt19937& rng) {
  Landmarks m{random_tensor<double>({b, v, 3}, rng), Tensor<int32_t>({f, 3}), Tensor<int32_t>({l}),
              random_tensor<double>({l, 3}, rng)};
  std::uniform_int_distribution<int32_t> vertex(0, static_cast<int32_t>(v - 1));
  std::uniform_int_distribution<int32_t> face(0, static_cast<int32_t>(f - 1));
  for (auto& i : m.faces.values()) i = vertex(rng);
  m.faces[0] = m.faces[1];  // a face that names one vertex twice
  for (auto& i : m.face_index.values()) i = face(rng);
  m.face_index[1] = 0;
  return m;
}

// The per-vertex gather: for every vertex, landmarks ascending and corners ascending.
template <typename T>
std::vector<T> gather_vertex_gradient(const std::vector<int32_t>& faces,
                                      const std::vector<int32_t>& face_index,
                                      const std::vector<T>& bary, const std::vector<T>& g,
                                      int64_t batch, int64_t rows, int64_t landmarks) {
  std::vector<T> out(static_cast<std::size_t>(batch * rows * 3));
  for (int64_t b = 0; b < batch; ++b)
    for (int64_t v = 0; v < rows; ++v)
      for (int c = 0; c < 3; ++c) {
        T sum = 0;
        for (int64_t l = 0; l < landmarks; ++l)
          for (int k = 0; k < 3; ++k)
            if (faces[3 * face_index[l] + k] == v)
              sum += bary[3 * l + k] * g[(b * landmarks + l) * 3 + c];
        out[(b * rows + v) * 3 + c] = sum;
      }
  return out;
}

template <typename T>
class ScatterTyped : public ::testing::Test {};
using Floating = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ScatterTyped, Floating);

TYPED_TEST(ScatterTyped, ScatterEqualsGatherBitForBit) {
  using T = TypeParam;
  std::mt19937 rng(41);
  for (int trial = 0; trial < 4; ++trial) {
    const int64_t batch = 2, rows = 9, faces = 7, landmarks = 40;
    const Landmarks m = random_landmarks(batch, rows, faces, landmarks, rng);
    Tensor<T> vertices({batch, rows, 3}), bary({landmarks, 3});
    for (std::size_t i = 0; i < vertices.size(); ++i) vertices[i] = T(m.vertices[i]);
    for (std::size_t i = 0; i < bary.size(); ++i) bary[i] = T(m.bary[i] * 1e3);  // wide range
    Tensor<T> g = random_tensor<T>({batch, landmarks, 3}, rng, -1e3, 1e3);
    Tensor<int32_t> f = m.faces, fi = m.face_index;
    Tensor<T> grad({batch, rows, 3});
    poison(grad);
    ASSERT_EQ(
        vrel_mesh_evaluate_barycentric_backward(vertices.in(), f.in(), fi.in(), bary.in(), g.in(),
                                                &g_ctx, grad.out(), nullptr, nullptr, nullptr),
        0);
    const std::vector<T> expected = gather_vertex_gradient(f.values(), fi.values(), bary.values(),
                                                           g.values(), batch, rows, landmarks);
    ASSERT_EQ(std::memcmp(expected.data(), grad.ptr(), grad.bytes()), 0) << "trial " << trial;
  }
}

TEST(Barycentric, CornerWeightsAndRangeRules) {
  Tensor<float> vertices({1, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  Tensor<int32_t> faces({1, 3}, {2, 0, 1});
  Tensor<int32_t> face_index({2}, {0, 0});
  Tensor<float> bary({2, 3}, {1, 0, 0, 0.5f, 0.5f, 0});
  Tensor<float> out({1, 2, 3});
  auto call = [&] {
    Diag diag;
    const VrelStatus st = vrel_mesh_evaluate_barycentric(
        vertices.in(), faces.in(), face_index.in(), bary.in(), &g_ctx, out.out(), nullptr, diag);
    return Result{st, diag.text()};
  };
  ASSERT_EQ(call().status, 0);
  EXPECT_EQ(out.values(), (std::vector<float>{7, 8, 9, 4, 5, 6}));

  poison(out);
  face_index[1] = 1;  // equal to F
  EXPECT_EQ(call().message, "landmark face_index is out of range");
  face_index[1] = -1;
  EXPECT_EQ(call().message, "landmark face_index is out of range");
  face_index[1] = 0;
  faces[2] = 3;
  EXPECT_EQ(call().message, "faces contain an out-of-range vertex");
  EXPECT_TRUE(poisoned(out));
}

TEST(Barycentric, BackwardAndSubsetsMatchCentralDifferences) {
  std::mt19937 rng(51);
  Landmarks m = random_landmarks(3, 8, 5, 12, rng);
  Tensor<double> g = random_tensor<double>({3, 12, 3}, rng);
  Tensor<double> gv({3, 8, 3}), gb({12, 3});
  ASSERT_EQ(m.backward(g, &gv, &gb).status, 0);
  Tensor<double> out({3, 12, 3});
  auto loss = [&] {
    EXPECT_EQ(m.forward(out).status, 0);
    return dot(out, g);
  };
  expect_gradient("vertices", m.vertices, gv, loss);
  expect_gradient("barycentric", m.bary, gb, loss);

  Tensor<double> only_b({12, 3}), only_v({3, 8, 3});
  ASSERT_EQ(m.backward(g, nullptr, &only_b).status, 0);
  EXPECT_EQ(only_b.values(), gb.values());
  ASSERT_EQ(m.backward(g, &only_v, nullptr).status, 0);
  EXPECT_EQ(only_v.values(), gv.values());
  const Result none = m.backward(g, nullptr, nullptr);
  EXPECT_EQ(none.message, "at least one animation gradient is required");
}

}  // namespace
