// Helpers of the texture tests: building a pyramid through the export and sampling it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

// Levels of the full chain, counted independently of the library: halve until 1 x 1.
inline int64_t chain_levels(int64_t h, int64_t w) {
  int64_t levels = 1;
  while (h > 1 || w > 1) {
    h = h < 2 ? 1 : h / 2;
    w = w < 2 ? 1 : w / 2;
    ++levels;
  }
  return levels;
}

template <typename T>
struct Pyramid {
  Tensor<T> data;
  Tensor<int32_t> offsets;
  int64_t height = 0, width = 0, channels = 0;
  int64_t levels() const { return static_cast<int64_t>(offsets.size()) - 1; }
  int64_t total() const { return offsets[offsets.size() - 1]; }
  // Texel (r, j) channel c of level k.
  T at(int64_t k, int64_t w_k, int64_t r, int64_t j, int64_t c) const {
    return data[static_cast<std::size_t>(offsets[k] + (r * w_k + j) * channels + c)];
  }
};

template <typename T>
Pyramid<T> make_pyramid(Tensor<T>& texture, int64_t levels = 0) {
  Pyramid<T> p;
  p.height = texture.shape()[0];
  p.width = texture.shape()[1];
  p.channels = texture.shape()[2];
  const int64_t count = levels == 0 ? chain_levels(p.height, p.width) : levels;
  p.data = Tensor<T>({2 * p.height * p.width * p.channels + 4});  // any chain fits in twice level 0
  p.offsets = Tensor<int32_t>({count + 1});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  View in = texture.in(), out = p.data.out(), off = p.offsets.out();
  EXPECT_EQ(vrel_render_texture_pyramid(in, levels, &ctx, out, off, nullptr, diag), 0)
      << diag.text();
  return p;
}

template <typename T>
Tensor<T> random_tensor(std::vector<int64_t> shape, std::mt19937& rng, double lo = -1,
                        double hi = 1) {
  Tensor<T> t(std::move(shape));
  std::uniform_real_distribution<double> dist(lo, hi);
  for (auto& x : t.values()) x = static_cast<T>(dist(rng));
  return t;
}

struct Mode {
  uint32_t filter = VREL_TEXTURE_FILTER_LINEAR;
  uint32_t mip = VREL_TEXTURE_MIP_NEAREST;
  uint32_t wrap_u = VREL_TEXTURE_WRAP_CLAMP;
  uint32_t wrap_v = VREL_TEXTURE_WRAP_CLAMP;
};

// Optional per-sample inputs of a lookup.
template <typename T>
struct Lookup {
  std::vector<T> uv;
  std::optional<std::vector<T>> derivatives;
  std::optional<std::vector<T>> lod;
  std::optional<std::vector<T>> border;
  Mode mode;
};

template <typename T>
struct Args {
  Tensor<T> uv, derivatives, lod, border;
  View uv_view, deriv_view, lod_view, border_view;
  const VrelTensorView* deriv_ptr;
  const VrelTensorView* lod_ptr;
  const VrelTensorView* border_ptr;
  explicit Args(const Lookup<T>& q)
      : uv({static_cast<int64_t>(q.uv.size() / 2), 2}, q.uv),
        derivatives({static_cast<int64_t>(q.uv.size() / 2), 4},
                    q.derivatives.value_or(std::vector<T>{})),
        lod({static_cast<int64_t>(q.uv.size() / 2)}, q.lod.value_or(std::vector<T>{})),
        border({static_cast<int64_t>(q.border ? q.border->size() : 0)},
               q.border.value_or(std::vector<T>{})),
        uv_view(uv.in()),
        deriv_view(derivatives.in()),
        lod_view(lod.in()),
        border_view(border.in()),
        deriv_ptr(q.derivatives ? deriv_view.get() : nullptr),
        lod_ptr(q.lod ? lod_view.get() : nullptr),
        border_ptr(q.border ? border_view.get() : nullptr) {}
};

// Samples `p` and returns the [N,C] samples (fails the test on a nonzero status).
template <typename T>
std::vector<T> sample(Pyramid<T>& p, const Lookup<T>& q) {
  Args<T> a(q);
  const int64_t n = static_cast<int64_t>(q.uv.size() / 2);
  Tensor<T> out({n, p.channels});
  View pv = p.data.in(), ov = p.offsets.in(), sv = out.out();
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(vrel_render_texture(pv, ov, p.height, p.width, a.uv_view, a.deriv_ptr, a.lod_ptr,
                                q.mode.filter, q.mode.mip, q.mode.wrap_u, q.mode.wrap_v,
                                a.border_ptr, &ctx, sv, nullptr, diag),
            0)
      << diag.text();
  return out.values();
}

template <typename T>
struct Gradients {
  std::vector<T> pyramid;
  std::vector<T> coordinates;
};

template <typename T>
Gradients<T> sample_backward(Pyramid<T>& p, const Lookup<T>& q, const std::vector<T>& cotangent) {
  Args<T> a(q);
  const int64_t n = static_cast<int64_t>(q.uv.size() / 2);
  Tensor<T> gs({n, p.channels}, cotangent);
  Tensor<T> gp = Tensor<T>::filled({static_cast<int64_t>(p.data.size())}, T(7));
  Tensor<T> gc = Tensor<T>::filled({n, 2}, T(7));
  View pv = p.data.in(), ov = p.offsets.in(), gsv = gs.in(), gpv = gp.out(), gcv = gc.out();
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  EXPECT_EQ(
      vrel_render_texture_backward(pv, ov, p.height, p.width, a.uv_view, a.deriv_ptr, a.lod_ptr,
                                   q.mode.filter, q.mode.mip, q.mode.wrap_u, q.mode.wrap_v,
                                   a.border_ptr, gsv, &ctx, gpv, gcv, nullptr, diag),
      0)
      << diag.text();
  return {gp.values(), gc.values()};
}

}  // namespace vrel::test
