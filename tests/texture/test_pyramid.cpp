// The packed mip pyramid: chain layout, box averaging, its adjoint and the argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/texture/texture_support.hpp"
#include "vrel/vrel.h"

using namespace vrel::test;

namespace {

struct Call {
  VrelStatus status;
  std::string message;
};

Call build(const VrelTensorView* texture, int64_t levels, const VrelTensorView* pyramid,
           const VrelTensorView* offsets, const VrelExecutionContext* ctx = nullptr) {
  VrelExecutionContext cpu = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_render_texture_pyramid(texture, levels, ctx ? ctx : &cpu, pyramid,
                                                    offsets, nullptr, diag);
  return {st, diag.text()};
}

Call backward(const VrelTensorView* offsets, int64_t h, int64_t w, int64_t c,
              const VrelTensorView* grad_pyramid, const VrelTensorView* grad_texture) {
  VrelExecutionContext cpu = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_render_texture_pyramid_backward(offsets, h, w, c, grad_pyramid, &cpu,
                                                             grad_texture, nullptr, diag);
  return {st, diag.text()};
}

template <typename T>
double dot(const std::vector<T>& a, const std::vector<T>& b, std::size_t n) {
  double s = 0;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<double>(a[i]) * static_cast<double>(b[i]);
  return s;
}

}  // namespace

TEST(TexturePyramid, FiveByEightChainSkipsTheOddRow) {
  Tensor<double> texture({5, 8, 1});
  for (int r = 0; r < 5; ++r)
    for (int c = 0; c < 8; ++c) texture[r * 8 + c] = r == 4 ? 1e6 : r * 8 + c;
  Pyramid<double> p = make_pyramid(texture);
  EXPECT_EQ(p.offsets.values(), (std::vector<int32_t>{0, 40, 48, 50, 51}));
  // Level 1 (2x4) averages rows 0-3 only: texel (i, j) = 4.5 + 16 i + 2 j.
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(p.at(1, 4, i, j, 0), 4.5 + 16 * i + 2 * j);
  EXPECT_EQ(p.at(2, 2, 0, 0, 0), 13.5);  // level 2 is 1x2
  EXPECT_EQ(p.at(2, 2, 0, 1, 0), 17.5);
  EXPECT_EQ(p.at(3, 1, 0, 0, 0), 15.5);  // 1x1 from two column taps
  EXPECT_EQ(p.data[51], 0.0);            // past the total: untouched
}

TEST(TexturePyramid, OneByOneHasASingleLevel) {
  Tensor<float> texture({1, 1, 3}, {1.f, 2.f, 3.f});
  for (int64_t levels : {0, 1}) {
    Pyramid<float> p = make_pyramid(texture, levels);
    EXPECT_EQ(p.offsets.values(), (std::vector<int32_t>{0, 3}));
    EXPECT_EQ(std::vector<float>(p.data.values().begin(), p.data.values().begin() + 3),
              (std::vector<float>{1.f, 2.f, 3.f}));
  }
  Tensor<float> pyr({8});
  Tensor<int32_t> off({3});
  View t = texture.in(), pv = pyr.out(), ov = off.out();
  const Call c = build(t, 2, pv, ov);
  EXPECT_EQ(c.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(c.message, "level count exceeds the full chain for this texture");
}

TEST(TexturePyramid, SingleRowAndColumnAverageAlongOneAxis) {
  Tensor<double> row({1, 4, 2}, {1, 10, 3, 30, 5, 50, 7, 70});
  Pyramid<double> pr = make_pyramid(row);
  EXPECT_EQ(pr.offsets.values(), (std::vector<int32_t>{0, 8, 12, 14}));
  EXPECT_EQ(std::vector<double>(pr.data.values().begin() + 8, pr.data.values().begin() + 14),
            (std::vector<double>{2, 20, 6, 60, 4, 40}));
  Tensor<double> column({3, 1, 1}, {2, 4, 100});
  Pyramid<double> pc = make_pyramid(column);
  EXPECT_EQ(pc.offsets.values(), (std::vector<int32_t>{0, 3, 4}));
  EXPECT_EQ(pc.data[3], 3.0);  // rows 0 and 1; row 2 is the odd leftover
}

TEST(TexturePyramid, ConstantTextureStaysConstant) {
  Tensor<float> texture = Tensor<float>::filled({7, 5, 3}, 0.3f);
  Pyramid<float> p = make_pyramid(texture);
  ASSERT_EQ(p.levels(), 3);
  for (int64_t e = 0; e < p.total(); ++e) EXPECT_EQ(p.data[e], 0.3f) << e;
}

TEST(TexturePyramid, PartialChainAndFloat32MatchesFloat64) {
  std::mt19937 rng(3);
  Tensor<double> t64 = random_tensor<double>({9, 6, 2}, rng);
  Tensor<float> t32({9, 6, 2});
  for (std::size_t i = 0; i < t32.size(); ++i) t32[i] = static_cast<float>(t64[i]);
  Pyramid<double> p64 = make_pyramid(t64, 2);
  Pyramid<float> p32 = make_pyramid(t32, 2);
  EXPECT_EQ(p64.offsets.values(), (std::vector<int32_t>{0, 108, 132}));
  for (int64_t e = 0; e < p64.total(); ++e) EXPECT_NEAR(p32.data[e], p64.data[e], 1e-6);
}

// Every build gives the same bits: four taps sum as ((s(r0,c1) + s(r0,c0)) + s(r1,c0)) + s(r1,c1)
// before the division (two taps commute, so only the four-tap order is observable). The random
// float32 data makes another association round differently somewhere, which is checked first.
TEST(TexturePyramid, FourTapsSumInTheDocumentedOrder) {
  std::mt19937 rng(17);
  for (const std::vector<int64_t>& shape : {std::vector<int64_t>{6, 6, 2}, {7, 9, 1}}) {
    Tensor<float> t = random_tensor<float>(shape, rng, 0.0, 1000.0);
    Pyramid<float> p = make_pyramid(t, 2);
    const int64_t w = shape[1], c = shape[2];
    auto s = [&](int64_t r, int64_t j, int64_t ch) {
      return t[static_cast<std::size_t>((r * w + j) * c + ch)];
    };
    bool order_matters = false;
    for (int64_t i = 0; i < shape[0] / 2; ++i)
      for (int64_t j = 0; j < w / 2; ++j)
        for (int64_t ch = 0; ch < c; ++ch) {
          const float s00 = s(2 * i, 2 * j, ch), s01 = s(2 * i, 2 * j + 1, ch),
                      s10 = s(2 * i + 1, 2 * j, ch), s11 = s(2 * i + 1, 2 * j + 1, ch);
          const float expected = (((s01 + s00) + s10) + s11) / 4.f;
          order_matters |= ((s00 + s01) + (s10 + s11)) / 4.f != expected;
          EXPECT_EQ(p.at(1, w / 2, i, j, ch), expected)
              << shape[0] << "x" << w << " " << i << "," << j;
        }
    EXPECT_TRUE(order_matters) << "the data does not distinguish summation orders";
  }
}

TEST(TexturePyramidBackward, OnesGiveTheGeometricSum) {
  Tensor<float> texture({4, 4, 1});
  Pyramid<float> p = make_pyramid(texture, 3);
  Tensor<float> g = Tensor<float>::filled({p.total()}, 1.f);
  Tensor<float> gt({4, 4, 1});
  View ov = p.offsets.in(), gv = g.in(), tv = gt.out();
  ASSERT_EQ(backward(ov, 4, 4, 1, gv, tv).status, 0);
  for (float x : gt.values()) EXPECT_EQ(x, 1.f + 1.f / 4 + 1.f / 16);
}

TEST(TexturePyramidBackward, IsTheAdjointOfTheForward) {
  std::mt19937 rng(11);
  const std::vector<std::vector<int64_t>> shapes = {{8, 8, 1}, {6, 10, 3}, {5, 7, 2}, {13, 6, 1},
                                                    {1, 9, 1}, {9, 1, 4},  {3, 3, 2}};
  for (const auto& shape : shapes) {
    Tensor<double> t = random_tensor<double>(shape, rng);
    Pyramid<double> p = make_pyramid(t);
    Tensor<double> g = random_tensor<double>({p.total()}, rng);
    Tensor<double> gt(shape);
    View ov = p.offsets.in(), gv = g.in(), tv = gt.out();
    ASSERT_EQ(backward(ov, shape[0], shape[1], shape[2], gv, tv).status, 0);
    const double lhs = dot(p.data.values(), g.values(), static_cast<std::size_t>(p.total()));
    const double rhs = dot(t.values(), gt.values(), t.size());
    EXPECT_NEAR(lhs, rhs, 1e-12 * (std::abs(lhs) + 1)) << shape[0] << "x" << shape[1];
  }
}

TEST(TexturePyramid, RefusesBadArgumentsInOrder) {
  Tensor<float> texture({4, 4, 1});
  Tensor<float> pyr({21});
  Tensor<int32_t> off({4});
  View t = texture.in(), pv = pyr.out(), ov = off.out();
  EXPECT_EQ(build(pv, 0, pv, ov).message, "texture must be an [H,W,C] view");
  Tensor<int32_t> ints({4, 4, 1});
  View iv = ints.in();
  Call c = build(iv, 0, pv, ov);
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, "render.texture_pyramid supports the float32 and float64 dtypes");
  View cuda_tex = texture.in();
  cuda_tex->device_type = VREL_DEVICE_CUDA;
  c = build(cuda_tex, 0, pv, ov);
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, "render.texture_pyramid implements only the CPU backend in this phase");
  Tensor<float> empty({0, 4, 1});
  View ev = empty.in();
  EXPECT_EQ(build(ev, 0, pv, ov).message, "texture extents and channel count must be positive");
  EXPECT_EQ(build(t, -1, pv, ov).message,
            "level count must be nonnegative; zero requests the full chain");
  EXPECT_EQ(build(t, 4, ov, ov).message, "level count exceeds the full chain for this texture");
  EXPECT_EQ(build(t, 0, t, ov).message, "pyramid must be a rank-1 output view");
  Tensor<int32_t> off3({3});
  View o3 = off3.out();
  EXPECT_EQ(build(t, 0, pv, o3).message, "level offsets must be an [L+1] output view");
  EXPECT_EQ(build(t, 2, pv, o3).status, 0);  // two levels need three entries
  Tensor<double> pyr64({21});
  View p64 = pyr64.out();
  EXPECT_EQ(build(t, 0, p64, ov).message, "pyramid must match the texture dtype");
  Tensor<float> offf({4});
  View ofv = offf.out();
  EXPECT_EQ(build(t, 0, pv, ofv).message, "level offsets must be an int32 view");
  View pin = pyr.in();
  EXPECT_EQ(build(t, 0, pin, ov).message, "operation outputs must carry the output flag");
  View alias = View(texture.ptr(), {21}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(build(t, 0, alias, ov).message, "outputs may not alias an input or another output");
}

TEST(TexturePyramid, SmallPyramidKeepsTheOffsetsWritten) {
  Tensor<float> texture({4, 4, 1});
  Tensor<float> pyr = Tensor<float>::filled({20}, -1.f);
  Tensor<int32_t> off = Tensor<int32_t>::filled({4}, -1);
  View t = texture.in(), pv = pyr.out(), ov = off.out();
  const Call c = build(t, 0, pv, ov);
  EXPECT_EQ(c.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(c.message, "pyramid view is smaller than the level chain requires");
  EXPECT_EQ(off.values(), (std::vector<int32_t>{0, 16, 20, 21}));
  for (float x : pyr.values()) EXPECT_EQ(x, -1.f);
}

TEST(TexturePyramid, TotalBeyondInt32IsRefusedBeforeAnyTexelIsRead) {
  // Views over address ranges that are never dereferenced: the check precedes the kernel.
  auto* fake = reinterpret_cast<void*>(uintptr_t{1} << 40);
  View t(fake, {41000, 41000, 1}, VREL_DTYPE_FLOAT32);
  View pv(reinterpret_cast<char*>(fake) + (uintptr_t{1} << 36), {int64_t{1} << 31},
          VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Tensor<int32_t> off = Tensor<int32_t>::filled({17}, -1);
  View ov = off.out();
  const Call c = build(t, 0, pv, ov);
  EXPECT_EQ(c.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(c.message, "pyramid element count exceeds the int32 offset range");
  // 41000^2 + 20500^2 = 2101250000 fits; adding 10250^2 does not.
  EXPECT_EQ(off[0], 0);
  EXPECT_EQ(off[1], 1681000000);
  EXPECT_EQ(off[2], 2101250000);
  EXPECT_EQ(off[3], -1);
}

TEST(TexturePyramidBackward, RefusesTablesOffTheChain) {
  Tensor<double> texture({5, 8, 1});
  Pyramid<double> p = make_pyramid(texture);
  Tensor<double> g({p.total()});
  Tensor<double> gt = Tensor<double>::filled({5, 8, 1}, 9.0);
  View gv = g.in(), tv = gt.out();

  // One level more than the full chain, even with consistent 1x1 entries.
  Tensor<int32_t> longer({6}, {0, 40, 48, 50, 51, 52});
  View lv = longer.in();
  EXPECT_EQ(backward(lv, 5, 8, 1, gv, tv).message,
            "level count exceeds the full chain for this texture");
  // Entries that would put level 2 past the storage.
  Tensor<int32_t> shifted({5}, {0, 40, 48, 1000, 1001});
  View sv = shifted.in();
  EXPECT_EQ(backward(sv, 5, 8, 1, gv, tv).message,
            "level offsets do not follow the level chain of the texture extents");
  // A table written for another texture size.
  View ov = p.offsets.in();
  EXPECT_EQ(
      backward(ov, 10, 4, 1, gv, View(gt.ptr(), {10, 4, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT))
          .message,
      "level offsets do not follow the level chain of the texture extents");
  Tensor<int32_t> negative({5}, {-8, 32, 40, 42, 43});
  View nv = negative.in();
  EXPECT_EQ(backward(nv, 5, 8, 1, gv, tv).status, VREL_STATUS_INVALID_ARGUMENT);
  for (double x : gt.values()) EXPECT_EQ(x, 9.0);

  Tensor<double> small({50});
  View smv = small.in();
  EXPECT_EQ(backward(ov, 5, 8, 1, smv, tv).message,
            "pyramid gradient is smaller than the level offsets describe");
  Tensor<int32_t> one({1});
  View onev = one.in();
  EXPECT_EQ(backward(onev, 5, 8, 1, gv, tv).message, "level offsets must be an [L+1] view");
  EXPECT_EQ(backward(ov, 5, 8, 0, gv, tv).message,
            "texture extents and channel count must be positive");
  EXPECT_EQ(backward(ov, 5, 8, 2, gv, tv).message,
            "texture gradient must be an [H,W,C] output view");
  Tensor<float> gt32({5, 8, 1});
  View t32 = gt32.out();
  EXPECT_EQ(backward(ov, 5, 8, 1, gv, t32).message,
            "texture gradient must match the pyramid gradient dtype");
  View alias(g.ptr(), {5, 8, 1}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(backward(ov, 5, 8, 1, gv, alias).message,
            "outputs may not alias an input or another output");
  EXPECT_EQ(backward(ov, 5, 8, 1, gv, tv).status, 0);
}

TEST(TexturePyramidBackward, InputsMustLiveOnTheCpu) {
  Tensor<double> texture({2, 2, 1});
  Pyramid<double> p = make_pyramid(texture);
  Tensor<double> g({p.total()});
  Tensor<double> gt({2, 2, 1});
  View ov = p.offsets.in(), gv = g.in(), tv = gt.out();
  ov->device_type = VREL_DEVICE_CUDA;
  Call c = backward(ov, 2, 2, 1, gv, tv);
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, "render.texture_pyramid implements only the CPU backend in this phase");
  View ov2 = p.offsets.in();
  gv->device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(backward(ov2, 2, 2, 1, gv, tv).status, VREL_STATUS_UNSUPPORTED);
  Tensor<int32_t> ints({p.total()});
  View iv = ints.in();
  c = backward(ov2, 2, 2, 1, iv, tv);
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, "render.texture_pyramid supports the float32 and float64 dtypes");
}

TEST(TexturePyramidWorkspace, AnswersZeroForTheCpu) {
  VrelExecutionContext cpu = cpu_context(), cuda = cuda_context();
  uint64_t bytes = 5, alignment = 5;
  Diag diag;
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(4, 4, 3, VREL_DTYPE_FLOAT32, &cpu, &bytes,
                                                  &alignment, diag),
            0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(4, 4, 3, VREL_DTYPE_FLOAT64, &cpu, nullptr,
                                                  &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "workspace query result pointers must not be null");
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(4, -1, 3, VREL_DTYPE_FLOAT64, &cpu, &bytes,
                                                  &alignment, diag),
            1);
  EXPECT_EQ(diag.text(), "texture extents and channel count must be nonnegative");
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(0, 0, 0, VREL_DTYPE_INT32, &cpu, &bytes,
                                                  &alignment, diag),
            2);
  EXPECT_EQ(diag.text(), "render.texture_pyramid supports the float32 and float64 dtypes");
  EXPECT_EQ(vrel_render_texture_pyramid_workspace(4, 4, 3, VREL_DTYPE_FLOAT32, &cuda, &bytes,
                                                  &alignment, diag),
            2);
  EXPECT_EQ(diag.text(),
            "render.texture_pyramid workspace queries are answered for the CPU; the CUDA path "
            "requires none");
}
