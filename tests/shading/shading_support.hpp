// Shared inputs of the shading tests: log-cosine axes, Bezier controls, curve rows made by the
// loss-curve export, quadrature weights of the means, point/light sets, and one-line callers of
// each export that supply the workspace their query reports.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/views.hpp"
#include "vrel/vrel.h"

namespace vrel::test::shading {

inline VrelExecutionContext g_cpu = cpu_context();

struct Result {
  VrelStatus status;
  std::string message;
};

// Gauss-Legendre nodes and weights on [0, 1] (Newton on the Legendre recurrence).
inline void gauss_legendre(int order, std::vector<double>& x, std::vector<double>& w) {
  x.assign(order, 0.0);
  w.assign(order, 0.0);
  for (int i = 0; i < order; ++i) {
    double z = std::cos(M_PI * (i + 0.75) / (order + 0.5)), dp = 0.0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1.0, p1 = z;
      for (int k = 2; k <= order; ++k) {
        const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = order * (z * p1 - p0) / (z * z - 1.0);
      const double step = p1 / dp;
      z -= step;
      if (std::fabs(step) < 1e-16) break;
    }
    x[i] = (1.0 - z) / 2.0;
    w[i] = 1.0 / ((1.0 - z * z) * dp * dp);
  }
}

inline double bernstein(int l, double t) {
  const double s = 1.0 - t;
  const double c[4] = {s * s * s, 3 * s * s * t, 3 * s * t * t, t * t * t};
  return c[l];
}

// Independent lookup of one channel of a curve row: Bernstein form with the C library's
// logarithm.
inline double reference_lookup(const std::vector<double>& cn, const std::vector<double>& logs,
                               const double* row, int channel, double mu) {
  const auto n = static_cast<int64_t>(cn.size());
  if (n == 1 || mu < cn[0])
    return row[2 * n + channel] + (row[channel] - row[2 * n + channel]) * mu / cn[0];
  int64_t c = 0;
  while (c + 2 < n && cn[c + 1] <= mu) ++c;
  const double t = (std::log(mu) - logs[c]) / (logs[c + 1] - logs[c]);
  double v = 0;
  for (int k = 0; k < 4; ++k) v += bernstein(k, t) * row[2 * n + 2 + 8 * c + 2 * k + channel];
  return v;
}

// The cosine axis and the controls of B curves.
struct CurveProblem {
  int64_t nodes = 0, batch = 0;
  std::vector<double> logs, cn;
  Tensor<double> controls;

  // weights[k, l] = integral of Bernstein l times (mu / cn[k+1])^2 over interval k.
  Tensor<double> weights() const {
    Tensor<double> w({nodes - 1, 4});
    std::vector<double> x, gw;
    gauss_legendre(24, x, gw);
    for (int64_t k = 0; k + 1 < nodes; ++k) {
      const double d = logs[k + 1] - logs[k];
      for (int l = 0; l < 4; ++l) {
        double sum = 0;
        for (std::size_t i = 0; i < x.size(); ++i)
          sum += gw[i] * bernstein(l, x[i]) * std::exp(2.0 * (x[i] - 1.0) * d);
        w[k * 4 + l] = sum;
      }
    }
    return w;
  }
};

// Axis from -3 to 0 (denser near 1); channel-0 log values falling toward grazing angles with
// random Bezier wiggles in u; channel 1 the same halved (so 0 <= c1 <= c0 <= 1 holds).
inline CurveProblem make_curves(int64_t nodes, int64_t batch, uint32_t seed = 1) {
  CurveProblem p;
  p.nodes = nodes;
  p.batch = batch;
  for (int64_t i = 0; i < nodes; ++i) {
    const double x = nodes == 1 ? 1.0 : static_cast<double>(i) / (nodes - 1);
    p.logs.push_back(i == nodes - 1 ? 0.0 : -3.0 * (1.0 - x) * (1.0 - x * 0.4));
    p.cn.push_back(std::exp(p.logs.back()));
  }
  p.cn.back() = 1.0;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> wiggle(-0.3, 0.0);
  p.controls = Tensor<double>({batch, 2 * nodes + 1, 4});
  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t q = 0; q <= 2 * nodes; ++q) {
      const int64_t node = q / 2;
      const double x = nodes == 1 ? 1.0 : static_cast<double>(node) / (nodes - 1);
      const double base = q == 2 * nodes ? -1.8 : -0.1 - 1.2 * (1.0 - x) * (1.0 - x);
      for (int k = 0; k < 4; ++k) {
        double v = base + wiggle(rng) * (1 + k) * 0.5;
        if (q % 2 == 1 && q < 2 * nodes)
          v = p.controls[((b * (2 * nodes + 1)) + q - 1) * 4 + k] - M_LN2;
        p.controls[((b * (2 * nodes + 1)) + q) * 4 + k] = v;
      }
    }
  }
  return p;
}

inline std::size_t row_length(int64_t nodes) { return static_cast<std::size_t>(10 * nodes - 6); }

struct Curves {
  Tensor<double> curve, partial;
};

// Runs the loss-curve export on `axis` (log cosines) for the coordinates u.
inline Result loss_curve(const std::vector<double>& logs, Tensor<double>& controls,
                         const std::vector<double>& u, Curves& out) {
  const auto n = static_cast<int64_t>(logs.size()), b = static_cast<int64_t>(u.size());
  Tensor<double> axis({n}, logs), coordinate({b}, u);
  out.curve = Tensor<double>({b, 10 * n - 6});
  out.partial = Tensor<double>({b, 10 * n - 6});
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_shading_loss_curve_workspace(b, n, &g_cpu, &bytes, &alignment, nullptr), 0);
  Workspace ws(bytes, alignment);
  Diag diag;
  const VrelStatus st = vrel_shading_loss_curve(axis.in(), controls.in(), coordinate.in(), &g_cpu,
                                                out.curve.out(), out.partial.out(), ws.get(), diag);
  return {st, diag.text()};
}

struct Queries {
  Tensor<double> query, mean;
};

inline Result loss_query(const CurveProblem& p, Curves& c, const std::vector<double>& cosine,
                         const std::vector<int32_t>& owners, Queries& out) {
  const auto q = static_cast<int64_t>(cosine.size());
  const int64_t b = c.curve.shape()[0];
  Tensor<double> cn({p.nodes}, p.cn), logs({p.nodes}, p.logs), weights = p.weights();
  Tensor<double> mu({q}, cosine);
  Tensor<int32_t> own({q}, owners);
  out.query = Tensor<double>({q, 6});
  out.mean = Tensor<double>({b, 4});
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(vrel_shading_loss_query_workspace(b, p.nodes, q, &g_cpu, &bytes, &alignment, nullptr),
            0);
  Workspace ws(bytes, alignment);
  Diag diag;
  const VrelStatus st = vrel_shading_loss_query(cn.in(), logs.in(), weights.in(), c.curve.in(),
                                                c.partial.in(), mu.in(), own.in(), &g_cpu,
                                                out.query.out(), out.mean.out(), ws.get(), diag);
  return {st, diag.text()};
}

// Everything a principled call takes.
struct Scene {
  int64_t points = 0, lights = 0;
  std::vector<double> cn, logs, curve, partial, mean, width;
  std::vector<double> normal, view, light, albedo, roughness, f0;
  int64_t rows() const { return static_cast<int64_t>(width.size()); }
  int64_t nodes() const { return static_cast<int64_t>(cn.size()); }
};

// Random points and lights above the surface (and a few below), on G curve rows taken from
// `curves` (row g % B) with `mean` rows [*, 4] and width 0.5.
inline Scene make_scene(const CurveProblem& p, const Curves& c, const Tensor<double>& means,
                        int64_t points, int64_t lights, int64_t rows, uint32_t seed = 3) {
  Scene s;
  s.points = points;
  s.lights = lights;
  s.cn = p.cn;
  s.logs = p.logs;
  const std::size_t length = row_length(p.nodes);
  const int64_t batch = c.curve.shape()[0];
  for (int64_t g = 0; g < rows; ++g) {
    const int64_t src = g % batch;
    s.curve.insert(s.curve.end(), c.curve.values().begin() + src * length,
                   c.curve.values().begin() + (src + 1) * length);
    s.partial.insert(s.partial.end(), c.partial.values().begin() + src * length,
                     c.partial.values().begin() + (src + 1) * length);
    for (int k = 0; k < 4; ++k) s.mean.push_back(means[src * 4 + k]);
    s.width.push_back(0.5);
  }
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uni(0.0, 1.0), sym(-1.0, 1.0);
  auto hemisphere = [&](double scale) {
    double v[3];
    do {
      v[0] = sym(rng), v[1] = sym(rng), v[2] = uni(rng) * 0.9 + 0.1;
    } while (v[0] * v[0] + v[1] * v[1] + v[2] * v[2] > 1.0);
    return std::vector<double>{v[0] * scale, v[1] * scale, v[2] * scale};
  };
  for (int64_t i = 0; i < points; ++i) {
    for (double x : hemisphere(0.4)) s.normal.push_back(x);
    s.normal[i * 3 + 2] += 1.5;  // normals lean on +z, views and lights spread over it
    for (double x : hemisphere(2.0)) s.view.push_back(x);
    for (int k = 0; k < 3; ++k) {
      s.albedo.push_back(uni(rng));
      s.f0.push_back(uni(rng) * 0.3);
    }
    s.roughness.push_back(0.25 + 0.7 * uni(rng));
    for (int64_t l = 0; l < lights; ++l)
      for (double x : hemisphere(3.0)) s.light.push_back(x);
  }
  return s;
}

using PrincipledFn = VrelStatus (*)(
    const VrelTensorView*, const VrelTensorView*, const VrelTensorView*, const VrelTensorView*,
    const VrelTensorView*, const VrelTensorView*, const VrelTensorView*, const VrelTensorView*,
    const VrelTensorView*, const VrelTensorView*, const VrelTensorView*, const VrelTensorView*,
    uint32_t, const VrelExecutionContext*, const VrelTensorView*, const VrelTensorView*,
    const VrelBufferDescriptor*, VrelDiagnostic*);

// The tensors of a principled call, built from a scene.
struct PrincipledCall {
  int64_t n, g, p, l;
  Tensor<double> cn, logs, curve, partial, mean, width, normal, view, light, albedo, roughness, f0;
  Tensor<double> output, jacobian;
  Workspace ws;
  PrincipledCall(const Scene& s, bool derivatives)
      : n(s.nodes()),
        g(s.rows()),
        p(s.points),
        l(s.lights),
        cn({n}, s.cn),
        logs({n}, s.logs),
        curve({g, 10 * n - 6}, s.curve),
        partial({g, 10 * n - 6}, s.partial),
        mean({g, 4}, s.mean),
        width({g}, s.width),
        normal({p, 3}, s.normal),
        view({p, 3}, s.view),
        light({p, l, 3}, s.light),
        albedo({p, 3}, s.albedo),
        roughness({p}, s.roughness),
        f0({p, 3}, s.f0),
        output({p, l, 3}),
        jacobian(derivatives ? Tensor<double>({p, l, 3, 16}) : Tensor<double>({0})),
        ws(static_cast<uint64_t>(p * (l > 1 ? l : 1)) * 8 + 8, 8) {}

  Result run(PrincipledFn fn, uint32_t options) {
    Diag diag;
    const VrelStatus st =
        fn(cn.in(), logs.in(), curve.in(), partial.in(), mean.in(), width.in(), normal.in(),
           view.in(), light.in(), albedo.in(), roughness.in(), f0.in(), options, &g_cpu,
           output.out(), jacobian.out(), ws.get(), diag);
    return {st, diag.text()};
  }
};

inline Result principled(PrincipledFn fn, const Scene& s, uint32_t options, Tensor<double>& output,
                         Tensor<double>* jacobian = nullptr) {
  PrincipledCall call(s, (options & VREL_SHADING_DERIVATIVES) != 0);
  const Result r = call.run(fn, options);
  output = call.output;
  if (jacobian != nullptr) *jacobian = call.jacobian;
  return r;
}

}  // namespace vrel::test::shading
