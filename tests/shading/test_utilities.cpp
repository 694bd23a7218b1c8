// The shading utilities against plain references written from their rules (bit for bit where
// the order is fixed), their domain sentences, the scratch rules and the bad-input helper.
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/bad_input.hpp"
#include "tests/support/views.hpp"

using namespace vrel::test;

namespace {

double newton6(double x) {
  double r = 1.5;
  for (int i = 0; i < 6; ++i) r = (r + x / r) * 0.5;
  return r;
}

struct Call {
  VrelExecutionContext ctx = cpu_context();
  Workspace scratch{8, 8};
  Diag diag;
};

TEST(ShadingUtilities, UnitNewtonIsSixStepsFromOneAndAHalf) {
  std::vector<double> x = {4.0, 1.0, 2.0, 0.25, 0.2, 1e-3, 1e-300, 3.999};
  Tensor<double> in({8}, x), out({8});
  Call c;
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_shading_unit_newton(in.in(), &c.ctx, out.out(), c.scratch.get(), c.diag));
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(newton6(x[i]), out[i]) << x[i];
  EXPECT_EQ(2.0, out[0]);
  EXPECT_GT(out[5], 0.01);  // six steps are far from sqrt(1e-3) = 0.0316...: the rule, not sqrt
  for (double bad : {0.0, -1.0, 4.000001, double(NAN), double(INFINITY)}) {
    Tensor<double> b({1}, {bad}), o = Tensor<double>::filled({1}, 9.0);
    EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
              vrel_shading_unit_newton(b.in(), &c.ctx, o.out(), c.scratch.get(), c.diag));
    EXPECT_EQ("unit Newton input must be finite in (0,4]", c.diag.text());
    EXPECT_EQ(9.0, o[0]);
  }
}

TEST(ShadingUtilities, UnitVectorsScaleByTheLargestComponent) {
  Tensor<double> in({3, 3}, {0, 0, -5, 3e-300, -4e-300, 12e-300, 1, 2, 2}), out({3, 3});
  Call c;
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_shading_unit_vectors(in.in(), &c.ctx, out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ(std::vector<double>({0, 0, -1}),
            std::vector<double>(out.values().begin(), out.values().begin() + 3));
  for (int row = 1; row < 3; ++row) {
    const double* v = in.values().data() + 3 * row;
    const double m = std::max({std::abs(v[0]), std::abs(v[1]), std::abs(v[2])});
    const double a = v[0] / m, b = v[1] / m, cc = v[2] / m;
    const double r = newton6(a * a + b * b + cc * cc);
    EXPECT_EQ(a / r, out[3 * row]);
    EXPECT_EQ(b / r, out[3 * row + 1]);
    EXPECT_EQ(cc / r, out[3 * row + 2]);
  }
  Tensor<double> zero({1, 3}), o({1, 3});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_vectors(zero.in(), &c.ctx, o.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("unit vectors require finite nonzero vectors", c.diag.text());
  Tensor<double> flat({3}), flat_out({3});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_vectors(flat.in(), &c.ctx, flat_out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("unit vectors input shape invalid", c.diag.text());
}

TEST(ShadingUtilities, OrderedRgbaAddsOneRowAtATime) {
  // Channel 0: (((2^53 + 1) + 1) - 2^53) is 0 in row order; a pairwise tree would give 2.
  const double big = 0x1p53;
  Tensor<double> carry({4}, {big, 0.5, -1, 0}),
      values({3, 4}, {1, 0.25, 2, 1e300, 1, 0.125, 3, 1e300, -big, 1, 4, -1e300}), out({4});
  Call c;
  ASSERT_EQ(VREL_STATUS_OK, vrel_shading_ordered_rgba(carry.in(), values.in(), &c.ctx, out.out(),
                                                      c.scratch.get(), c.diag));
  for (int ch = 0; ch < 4; ++ch) {
    double sum = carry[ch];
    for (int row = 0; row < 3; ++row) sum += values[4 * row + ch];
    EXPECT_EQ(sum, out[ch]) << ch;
  }
  EXPECT_EQ(0.0, out[0]);
  // No rows: the carry. 801 rows: the count rule.
  Tensor<double> none({0, 4}), many({801, 4});
  ASSERT_EQ(VREL_STATUS_OK, vrel_shading_ordered_rgba(carry.in(), none.in(), &c.ctx, out.out(),
                                                      c.scratch.get(), c.diag));
  EXPECT_EQ(carry.values(), out.values());
  EXPECT_EQ(
      VREL_STATUS_INVALID_ARGUMENT,
      vrel_shading_ordered_rgba(carry.in(), many.in(), &c.ctx, out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("ordered RGBA count/results invalid", c.diag.text());
  Tensor<double> huge({2, 4}, {1e308, 0, 0, 0, 1e308, 0, 0, 0});
  EXPECT_EQ(VREL_STATUS_OVERFLOW, vrel_shading_ordered_rgba(carry.in(), huge.in(), &c.ctx,
                                                            out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("ordered RGBA overflow", c.diag.text());
  Tensor<double> bad_carry({4}, {0, NAN, 0, 0});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_ordered_rgba(bad_carry.in(), values.in(), &c.ctx, out.out(),
                                      c.scratch.get(), c.diag));
  EXPECT_EQ("ordered RGBA carry must be finite", c.diag.text());
}

// Two points, four directions. Point 0 faces every light with incoming channel 0 of
// [2^53, 1, 1, 1]: the pairwise tree gives 2^53 + 2, a running sum 2^53. Point 1 has a light below
// the surface and one at grazing incidence.
TEST(ShadingUtilities, DeltaBrdfSumsLitDirectionsPairwise) {
  const double big = 0x1p53;
  Tensor<double> normal({2, 3}, {0, 0, 2, 1, 1, 0});
  Tensor<double> brdf({2, 4, 3}, {1,   1,    1, 1, 1, 1, 1,    1,   1,     1, 1, 1,
                                  0.5, 0.25, 2, 1, 1, 1, 0.75, 0.5, 0.125, 3, 2, 1});
  Tensor<double> direction(
      {2, 4, 3}, {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 1, 0, 0, -1, 0, 0, 0.5, 0.5, 0.3, 0, 0, 1});
  Tensor<double> incoming({2, 4, 3}, {big, 0.5, 0.5, 1, 0.5, 0.5, 1,   0.5, 0.5, 1, 0.5, 0.5,
                                      2,   3,   4,   5, 6,   7,   0.5, 1.5, 2.5, 8, 9,   10});
  Tensor<double> cotangent({2, 3}, {1, -2, 3, 0.5, -0.5, 4});
  Tensor<double> radiance({2, 3}), gradient({2, 4, 3});
  Call c;
  ASSERT_EQ(
      VREL_STATUS_OK,
      vrel_shading_delta_brdf(normal.in(), brdf.in(), direction.in(), incoming.in(), cotangent.in(),
                              &c.ctx, radiance.out(), gradient.out(), c.scratch.get(), c.diag))
      << c.diag.text();
  for (int b = 0; b < 2; ++b) {
    double n[3];
    const double* nv = normal.values().data() + 3 * b;
    const double m = std::max({std::abs(nv[0]), std::abs(nv[1]), std::abs(nv[2])});
    const double r =
        newton6((nv[0] / m) * (nv[0] / m) + (nv[1] / m) * (nv[1] / m) + (nv[2] / m) * (nv[2] / m));
    for (int i = 0; i < 3; ++i) n[i] = nv[i] / m / r;
    for (int ch = 0; ch < 3; ++ch) {
      double contribution[4];
      for (int d = 0; d < 4; ++d) {
        const int row = 3 * (4 * b + d);
        const double* l = direction.values().data() + row;
        const double cosine = (n[0] * l[0] + n[1] * l[1]) + n[2] * l[2];
        const double w = cosine > 0 ? cosine : 0.0;
        contribution[d] = brdf[row + ch] * incoming[row + ch] * w;
        EXPECT_EQ(cotangent[3 * b + ch] * w * brdf[row + ch], gradient[row + ch]) << b << d << ch;
        if (cosine <= 0) {
          EXPECT_EQ(0.0, gradient[row + ch]);
          EXPECT_FALSE(std::signbit(gradient[row + ch]));
        }
      }
      EXPECT_EQ((contribution[0] + contribution[1]) + (contribution[2] + contribution[3]),
                radiance[3 * b + ch]);
    }
  }
  EXPECT_EQ(big + 2, radiance[0]);
  // Point 1's second light is below the surface and its fourth grazes it.
  for (int i : {15, 16, 17, 21, 22, 23}) EXPECT_EQ(0.0, gradient[i]) << i;
  EXPECT_GT(radiance[3], 0.0);

  Tensor<double> negative({2, 4, 3}, brdf.values());
  negative[4] = -1.0;
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_delta_brdf(normal.in(), negative.in(), direction.in(), incoming.in(),
                                    cotangent.in(), &c.ctx, radiance.out(), gradient.out(),
                                    c.scratch.get(), c.diag));
  EXPECT_EQ("delta BRDF input domain", c.diag.text());
}

TEST(ShadingUtilities, WorkspaceAndScratchRules) {
  Call c;
  uint64_t bytes = 0, alignment = 0;
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_shading_delta_brdf_workspace(128, 8, &c.ctx, &bytes, &alignment, c.diag));
  EXPECT_EQ(8u, bytes);
  EXPECT_EQ(8u, alignment);
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_delta_brdf_workspace(128, 9, &c.ctx, &bytes, &alignment, c.diag));
  EXPECT_EQ("delta BRDF count/results invalid", c.diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton_workspace(1048577, &c.ctx, &bytes, &alignment, c.diag));
  EXPECT_EQ("unit Newton count/results invalid", c.diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_vectors_workspace(4, &c.ctx, nullptr, &alignment, c.diag));
  EXPECT_EQ("unit vectors count/results invalid", c.diag.text());
  VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_shading_ordered_rgba_workspace(4, &cuda, &bytes, &alignment, c.diag));
  EXPECT_EQ("CUDA provider lacks ordered RGBA", c.diag.text());

  Tensor<double> in({4}, {1, 2, 3, 4}), out({4});
  EXPECT_EQ(VREL_STATUS_INSUFFICIENT_CAPACITY,
            vrel_shading_unit_newton(in.in(), &c.ctx, out.out(), nullptr, c.diag));
  EXPECT_EQ("curve requires caller scratch", c.diag.text());
  Workspace small(4, 8), low(8, 4);
  EXPECT_EQ(VREL_STATUS_INSUFFICIENT_CAPACITY,
            vrel_shading_unit_newton(in.in(), &c.ctx, out.out(), small.get(), c.diag));
  EXPECT_EQ("curve scratch too small", c.diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(in.in(), &c.ctx, out.out(), low.get(), c.diag));
  EXPECT_EQ("curve scratch device/alignment invalid", c.diag.text());
  VrelBufferDescriptor over = *c.scratch.get();
  over.data = in.ptr();
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(in.in(), &c.ctx, out.out(), &over, c.diag));
  EXPECT_EQ("curve scratch aliases tensor", c.diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(in.in(), &c.ctx, in.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("curve output aliases tensor", c.diag.text());
  Tensor<float> f({4}), fo({4});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(f.in(), &c.ctx, fo.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("curve tensor dtype/rank/device/flags invalid", c.diag.text());
  Tensor<double> short_out({3});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(in.in(), &c.ctx, short_out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("curve tensor shape invalid", c.diag.text());
  Tensor<double> matrix({2, 2}), matrix_out({2, 2});
  EXPECT_EQ(
      VREL_STATUS_INVALID_ARGUMENT,
      vrel_shading_unit_newton(matrix.in(), &c.ctx, matrix_out.out(), c.scratch.get(), c.diag));
  EXPECT_EQ("unit Newton input rank invalid", c.diag.text());
  VrelExecutionContext other = cpu_context();
  other.device_type = 7;
  EXPECT_NE(VREL_STATUS_OK,
            vrel_shading_unit_newton(in.in(), &other, out.out(), c.scratch.get(), c.diag));
}

TEST(ShadingUtilities, BadInputsOverEveryExport) {
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(8, 8);
  uint64_t bytes = 0, alignment = 0;
  VrelDiagnostic* none = nullptr;
  Tensor<double> x({3}, {0.5, 1, 2}), y({3});
  View xv = x.in(), yv = y.out();
  check_bad_inputs("unit_newton", vrel_shading_unit_newton,
                   std::make_tuple(xv.get(), &ctx, yv.get(), ws.get(), none),
                   {{{y.ptr(), y.bytes()}}, {}, {}});
  Tensor<double> v({2, 3}, {1, 2, 3, -1, 0, 0}), u({2, 3});
  View vv = v.in(), uv = u.out();
  check_bad_inputs("unit_vectors", vrel_shading_unit_vectors,
                   std::make_tuple(vv.get(), &ctx, uv.get(), ws.get(), none),
                   {{{u.ptr(), u.bytes()}}, {}, {}});
  Tensor<double> carry({4}), values({2, 4}, std::vector<double>(8, 1.0)), sum({4});
  View cv = carry.in(), valv = values.in(), sv = sum.out();
  check_bad_inputs("ordered_rgba", vrel_shading_ordered_rgba,
                   std::make_tuple(cv.get(), valv.get(), &ctx, sv.get(), ws.get(), none),
                   {{{sum.ptr(), sum.bytes()}}, {}, {}});
  Tensor<double> normal({1, 3}, {0, 0, 1}), brdf({1, 2, 3}, std::vector<double>(6, 0.5));
  Tensor<double> dir({1, 2, 3}, {0, 0, 1, 1, 0, 1}), inc({1, 2, 3}, std::vector<double>(6, 2.0));
  Tensor<double> cot({1, 3}, {1, 1, 1}), rad({1, 3}), grad({1, 2, 3});
  View nv = normal.in(), bv = brdf.in(), dv = dir.in(), iv = inc.in(), ctv = cot.in(),
       rv = rad.out(), gv = grad.out();
  check_bad_inputs("delta_brdf", vrel_shading_delta_brdf,
                   std::make_tuple(nv.get(), bv.get(), dv.get(), iv.get(), ctv.get(), &ctx,
                                   rv.get(), gv.get(), ws.get(), none),
                   {{{rad.ptr(), rad.bytes()}, {grad.ptr(), grad.bytes()}}, {}, {}});
  check_bad_inputs("unit_newton_workspace", vrel_shading_unit_newton_workspace,
                   std::make_tuple(int64_t{3}, &ctx, &bytes, &alignment, none), {{}, {}, {}});
  check_bad_inputs("unit_vectors_workspace", vrel_shading_unit_vectors_workspace,
                   std::make_tuple(int64_t{3}, &ctx, &bytes, &alignment, none), {{}, {}, {}});
  check_bad_inputs("ordered_rgba_workspace", vrel_shading_ordered_rgba_workspace,
                   std::make_tuple(int64_t{3}, &ctx, &bytes, &alignment, none), {{}, {}, {}});
  check_bad_inputs("delta_brdf_workspace", vrel_shading_delta_brdf_workspace,
                   std::make_tuple(int64_t{3}, int64_t{2}, &ctx, &bytes, &alignment, none),
                   {{}, {}, {}});
}

}  // namespace
