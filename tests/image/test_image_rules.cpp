// The image exports' argument rules: the bad-input helper over every export, the sentences in
// their check order, refusals before any write, status 4 after partial writes, and the queries.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tests/image/image_support.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;

namespace {

TEST(ImageRules, BadInputsOverEveryExport) {
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(16);
  Tensor<double> sigma({2}, {0.5, 3.0}), weights({2, 7}),
      grad_weights({2, 7}, std::vector<double>(14, 0.5));
  Tensor<double> grad_sigma({2});
  View s = sigma.in(), w = weights.out(), gw = grad_weights.in(), gs = grad_sigma.out();
  check_bad_inputs(
      "gaussian_weights", vrel_image_gaussian_weights,
      std::make_tuple(s.get(), int64_t{3}, &ctx, w.get(), ws.get(), (VrelDiagnostic*)nullptr),
      {{{weights.ptr(), weights.bytes()}}, {{4, VREL_STATUS_OK}}, {}});
  check_bad_inputs("gaussian_weights_backward", vrel_image_gaussian_weights_backward,
                   std::make_tuple(s.get(), gw.get(), int64_t{3}, &ctx, gs.get(), ws.get(),
                                   (VrelDiagnostic*)nullptr),
                   {{{grad_sigma.ptr(), grad_sigma.bytes()}}, {{5, VREL_STATUS_OK}}, {}});
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("gaussian_weights_workspace", vrel_image_gaussian_weights_workspace,
                   std::make_tuple(int64_t{2}, uint32_t{VREL_DTYPE_FLOAT64}, int64_t{3}, &ctx,
                                   &bytes, &alignment, (VrelDiagnostic*)nullptr),
                   {{}, {}, {}});

  Tensor<float> x({2, 3}, {0.0f, 0.01f, 0.2f, 0.5f, 1.0f, 3.0f}), y({2, 3}),
      gy({2, 3}, std::vector<float>(6, 1.0f));
  Tensor<float> gx({2, 3});
  View xv = x.in(), yv = y.out(), gyv = gy.in(), gxv = gx.out();
  check_bad_inputs(
      "transfer", vrel_image_transfer,
      std::make_tuple(xv.get(), uint32_t{1}, &ctx, yv.get(), ws.get(), (VrelDiagnostic*)nullptr),
      {{{y.ptr(), y.bytes()}}, {{4, VREL_STATUS_OK}}, {}});
  check_bad_inputs("transfer_backward", vrel_image_transfer_backward,
                   std::make_tuple(xv.get(), gyv.get(), uint32_t{0}, &ctx, gxv.get(), ws.get(),
                                   (VrelDiagnostic*)nullptr),
                   {{{gx.ptr(), gx.bytes()}}, {{5, VREL_STATUS_OK}}, {}});
  check_bad_inputs("transfer_workspace", vrel_image_transfer_workspace,
                   std::make_tuple(int64_t{6}, uint32_t{VREL_DTYPE_FLOAT32}, &ctx, &bytes,
                                   &alignment, (VrelDiagnostic*)nullptr),
                   {{}, {}, {}});
}

struct Outcome {
  VrelStatus status;
  std::string message;
};

// One Gaussian forward call over [2] float64 sigma values with a case's changes.
struct GaussianCase {
  std::vector<double> sigma = {0.5, 3.0};
  std::vector<int64_t> sigma_shape = {2};
  int64_t radius = 2;
  std::vector<int64_t> weights_shape = {2, 5};
  uint32_t weights_dtype = VREL_DTYPE_FLOAT64;
  uint32_t weights_flags = VREL_TENSOR_OUTPUT;
  bool alias = false;
  uint64_t workspace_alignment = 0;  // 0: no workspace
};

Outcome run(const GaussianCase& c, std::vector<double>* out = nullptr) {
  std::vector<double> storage(64, 7.0);
  std::vector<double> sigma = c.sigma;
  View s(sigma.data(), c.sigma_shape, VREL_DTYPE_FLOAT64);
  View w(c.alias ? sigma.data() : storage.data(), c.weights_shape, c.weights_dtype,
         c.weights_flags);
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(8, c.workspace_alignment ? c.workspace_alignment : 8);
  if (c.workspace_alignment == 3) ws->alignment = 3;
  Diag diag;
  const VrelStatus status = vrel_image_gaussian_weights(
      s, c.radius, &ctx, w.get(), c.workspace_alignment ? ws.get() : nullptr, diag);
  if (out) *out = storage;
  return {status, diag.text()};
}

TEST(ImageRules, GaussianSentencesInCheckOrder) {
  auto with = [](auto change) {
    GaussianCase c;
    change(c);
    return run(c);
  };
  const struct {
    Outcome got;
    VrelStatus status;
    const char* message;
  } cases[] = {
      {with([](auto& c) {
         c.radius = 33;
         c.sigma_shape = {2, 1};
       }),
       1, "Gaussian radius or gradient descriptor invalid"},
      {with([](auto& c) { c.radius = -1; }), 1, "Gaussian radius or gradient descriptor invalid"},
      {with([](auto& c) {
         c.sigma_shape = {1, 2};
         c.weights_shape = {1, 2, 5};
       }),
       1, "Gaussian sigma must be scalar or rank one"},
      {with([](auto& c) { c.weights_shape = {2, 7}; }), 1,
       "Gaussian tap tensor shape or dtype mismatch"},
      {with([](auto& c) { c.weights_dtype = VREL_DTYPE_FLOAT32; }), 1,
       "Gaussian tap tensor shape or dtype mismatch"},
      {with([](auto& c) { c.weights_dtype = VREL_DTYPE_INT32; }), 1,
       "image channels must be float32 or float64"},
      {with([](auto& c) { c.weights_flags = 0; }), 1, "image input/output flags invalid"},
      {with([](auto& c) {
         c.weights_shape = {2};
         c.radius = 0;
         c.alias = true;
         c.sigma_shape = {2};
         c.weights_shape = {2, 1};
       }),
       1, "Gaussian output aliases input"},
      {with([](auto& c) { c.sigma = {0.09, 1.0}; }), 1,
       "Gaussian sigma outside represented [.1,32]"},
      {with([](auto& c) { c.sigma = {1.0, 33.0}; }), 1,
       "Gaussian sigma outside represented [.1,32]"},
      {with([](auto& c) { c.sigma = {1.0, NAN}; }), 1,
       "Gaussian sigma outside represented [.1,32]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, c.got.status) << c.message;
    EXPECT_EQ(c.message, c.got.message);
  }
  // A workspace is optional on the CPU; a given one is still checked.
  EXPECT_EQ(VREL_STATUS_OK, with([](auto& c) { c.workspace_alignment = 8; }).status);
  // Refusals write nothing.
  std::vector<double> out;
  GaussianCase bad;
  bad.sigma = {1.0, 40.0};
  run(bad, &out);
  for (double v : out) EXPECT_EQ(7.0, v);
}

TEST(ImageRules, TransferSentencesAndWrites) {
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  Tensor<double> x({3}, {0.5, NAN, 0.25}), y = Tensor<double>::filled({3}, 9.0);
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(x.in(), 2, &ctx, y.out(), nullptr, diag));
  EXPECT_EQ("unknown image transfer mode", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(x.in(), 0, &ctx, y.out(), nullptr, diag));
  EXPECT_EQ("image floating inputs must be finite", diag.text());
  EXPECT_EQ(std::vector<double>(3, 9.0), y.values());  // nothing written before the refusal

  Tensor<float> xf({3});
  Tensor<double> yd({3});
  Tensor<double> y2({2});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(x.in(), 0, &ctx, y2.out(), nullptr, diag));
  EXPECT_EQ("image tensor shape mismatch", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(xf.in(), 0, &ctx, yd.out(), nullptr, diag));
  EXPECT_EQ("image tensor rank or dtype mismatch", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(x.in(), 0, &ctx, x.out(), nullptr, diag));
  EXPECT_EQ("image output aliases input", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer_backward(x.in(), nullptr, 0, &ctx, y.out(), nullptr, diag));
  EXPECT_EQ("image backward requires gradient descriptor", diag.text());
  Workspace ws(8);
  ws->device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer(x.in(), 0, &ctx, y.out(), ws.get(), diag));
  EXPECT_EQ("image workspace device mismatch", diag.text());

  // Status 4 after partial writes: the second element's 12.92 x overflows.
  Tensor<double> big({3}, {0.5, -1.5e307, 0.25}), out = Tensor<double>::filled({3}, 9.0);
  EXPECT_EQ(VREL_STATUS_OVERFLOW, vrel_image_transfer(big.in(), 1, &ctx, out.out(), nullptr, diag));
  EXPECT_EQ("image transfer arithmetic is not representable", diag.text());
  EXPECT_NE(9.0, out[0]);
  EXPECT_EQ(9.0, out[2]);
  // Float32: the float32 rounding of y must be finite.
  Tensor<float> wide({1}, {-3e38f}), wide_out({1});
  EXPECT_EQ(VREL_STATUS_OVERFLOW,
            vrel_image_transfer(wide.in(), 1, &ctx, wide_out.out(), nullptr, diag));
  // The radius is a scalar rule: it comes before the context.
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_gaussian_weights(nullptr, 33, nullptr, nullptr, nullptr, diag));
  EXPECT_EQ("Gaussian radius or gradient descriptor invalid", diag.text());
  // The Gaussian backward's overflow sentences.
  // At sigma 0.5 the centre tap's derivative is about -1.3 and the outer ones about 0.67.
  Tensor<double> s({1}, {0.5}), g({1, 3}, {0.0, 1.7e308, 0.0}), gs({1});
  EXPECT_EQ(VREL_STATUS_OVERFLOW,
            vrel_image_gaussian_weights_backward(s.in(), g.in(), 1, &ctx, gs.out(), nullptr, diag));
  EXPECT_EQ("Gaussian VJP product overflow", diag.text());
  Tensor<double> g2({1, 3}, {1.7e308, 0.0, 1.7e308});
  EXPECT_EQ(VREL_STATUS_OVERFLOW, vrel_image_gaussian_weights_backward(s.in(), g2.in(), 1, &ctx,
                                                                       gs.out(), nullptr, diag));
  EXPECT_EQ("Gaussian VJP sum overflow", diag.text());
}

TEST(ImageRules, WorkspaceQueries) {
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  uint64_t bytes = 5, alignment = 5;
  EXPECT_EQ(VREL_STATUS_OK, vrel_image_gaussian_weights_workspace(4, VREL_DTYPE_FLOAT32, 32, &ctx,
                                                                  &bytes, &alignment, diag));
  EXPECT_EQ(0u, bytes);
  EXPECT_EQ(1u, alignment);
  // A bad dtype is status 1 for the Gaussian query and 2 for the transfer query.
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_gaussian_weights_workspace(4, VREL_DTYPE_INT32, 3, &ctx, &bytes, &alignment,
                                                  diag));
  EXPECT_EQ("Gaussian requires float32 or float64", diag.text());
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_image_transfer_workspace(4, VREL_DTYPE_INT32, &ctx, &bytes, &alignment, diag));
  EXPECT_EQ("image transfer requires float32 or float64", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_gaussian_weights_workspace(4, VREL_DTYPE_FLOAT64, 33, &ctx, &bytes,
                                                  &alignment, diag));
  EXPECT_EQ("Gaussian workspace batch/radius/results invalid", diag.text());
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_transfer_workspace(-1, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, diag));
  EXPECT_EQ("image workspace count/results invalid", diag.text());
  EXPECT_EQ(VREL_STATUS_OVERFLOW,
            vrel_image_gaussian_weights_workspace(INT64_MAX / 3 + 1, VREL_DTYPE_FLOAT64, 1, &ctx,
                                                  &bytes, &alignment, diag));
  EXPECT_EQ("Gaussian tap count overflow", diag.text());
  EXPECT_EQ(VREL_STATUS_OVERFLOW,
            vrel_image_gaussian_weights_workspace(INT64_MAX / 9, VREL_DTYPE_FLOAT64, 1, &ctx,
                                                  &bytes, &alignment, diag));
  EXPECT_EQ("Gaussian byte count overflow", diag.text());
  EXPECT_EQ(VREL_STATUS_OVERFLOW,
            vrel_image_transfer_workspace(INT64_MAX / 4 + 1, VREL_DTYPE_FLOAT64, &ctx, &bytes,
                                          &alignment, diag));
  EXPECT_EQ("image element byte count overflow", diag.text());
  VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_image_transfer_workspace(4, VREL_DTYPE_FLOAT64, &cuda, &bytes, &alignment, diag));
  EXPECT_EQ("no CUDA provider is available to report a device workspace requirement", diag.text());
  VrelExecutionContext other = cpu_context();
  other.device_type = 3;
  EXPECT_NE(VREL_STATUS_OK,
            vrel_image_transfer_workspace(4, VREL_DTYPE_FLOAT64, &other, &bytes, &alignment, diag));
}

}  // namespace
