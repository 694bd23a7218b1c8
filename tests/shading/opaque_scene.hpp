// Inputs of the opaque shading samples: a perspective view of world triangles, node sets laid
// out as the opaque quadrature lays them out (owners and (l0, l1, l2, weight) per slot) made by
// collapsed Gauss rules over screen-space triangles, and one shared loss curve row.
#pragma once

#include <array>
#include <tuple>

#include "tests/shading/shading_support.hpp"

namespace vrel::test::shading {

using Vec = std::array<double, 3>;

// Screen position (pixel units) and clip w of a world point for a camera at the origin looking
// down -z: x = 2 + 4 X / w, y = 2 + 4 Y / w, w = -Z.
inline Vec project(const Vec& p) {
  return {2.0 + 4.0 * p[0] / -p[2], 2.0 + 4.0 * p[1] / -p[2], -p[2]};
}

// Screen barycentrics of (x, y) in the triangle a, b, c (x, y taken from each).
inline Vec barycentric(const Vec& a, const Vec& b, const Vec& c, double x, double y) {
  const double det = (b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1]);
  const double l1 = ((x - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (y - a[1])) / det;
  const double l2 = ((b[0] - a[0]) * (y - a[1]) - (x - a[0]) * (b[1] - a[1])) / det;
  return {1.0 - l1 - l2, l1, l2};
}

struct OpaqueScene {
  static constexpr int64_t kSlots = 800;
  int64_t pixels;
  std::vector<Vec> world, normal_rows;  // world [V], normals [F * 3]
  std::vector<std::array<int32_t, 3>> face_rows;
  std::vector<double> w;  // clip w per vertex
  Vec camera{0, 0, 0}, albedo_value{0.5, 0.6, 0.7}, f0_value{0.04, 0.05, 0.06};
  Vec direction_value{0.3, 0.5, 1.0}, incoming_value{2.0, 1.5, 1.0};
  double roughness_value = 0.45;
  Tensor<int32_t> owners;
  Tensor<double> q;

  explicit OpaqueScene(int64_t c)
      : pixels(c),
        owners(Tensor<int32_t>::filled({c, kSlots}, -1)),
        q(Tensor<double>({c, kSlots, 4})) {}

  // Screen-space corners (x, y) of face f: the projection, or with clip w = 1 (a scene without
  // perspective) the world x, y themselves.
  std::array<Vec, 3> screen(int32_t f) const {
    std::array<Vec, 3> s;
    for (int k = 0; k < 3; ++k) {
      const Vec& p = world[face_rows[f][k]];
      const double wk = w[face_rows[f][k]];
      s[k] = wk == 1.0 ? p : project(p);
    }
    return s;
  }

  // Fills slots first, first + stride, ... of `pixel` with a 5 x 8 collapsed Gauss rule over the
  // screen triangle (a, b, c) inside face f: node a + s (b - a) + (1 - s) t (c - a), weight
  // (1 - s) ws wt times twice the triangle's area. Returns the next free slot.
  int64_t fill(int64_t pixel, int32_t f, const Vec& a, const Vec& b, const Vec& c, int64_t first,
               int64_t stride = 1) {
    std::vector<double> xs, ws, xt, wt;
    gauss_legendre(5, xs, ws);
    gauss_legendre(8, xt, wt);
    const double area2 = std::fabs((b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1]));
    const auto corners = screen(f);
    int64_t slot = first;
    for (int i = 0; i < 5; ++i)
      for (int j = 0; j < 8; ++j, slot += stride) {
        const double s = xs[i], t = xt[j];
        const double x = a[0] + s * (b[0] - a[0]) + (1 - s) * t * (c[0] - a[0]);
        const double y = a[1] + s * (b[1] - a[1]) + (1 - s) * t * (c[1] - a[1]);
        const Vec l = barycentric(corners[0], corners[1], corners[2], x, y);
        owners[pixel * kSlots + slot] = f;
        for (int k = 0; k < 3; ++k) q[(pixel * kSlots + slot) * 4 + k] = l[k];
        q[(pixel * kSlots + slot) * 4 + 3] = (1 - s) * ws[i] * wt[j] * area2;
      }
    return slot;
  }
  // The unit pixel square with lower corner (x, y), as two triangles.
  int64_t fill_square(int64_t pixel, int32_t f, double x, double y, int64_t first,
                      int64_t stride = 1) {
    const Vec p00{x, y, 0}, p10{x + 1, y, 0}, p11{x + 1, y + 1, 0}, p01{x, y + 1, 0};
    return fill(pixel, f, p00, p11, p01, fill(pixel, f, p00, p10, p11, first, stride), stride);
  }
};

// The tensors of one call of either export, made from a scene.
struct OpaqueCall {
  int64_t c, n;
  Tensor<int32_t> owners, faces;
  Tensor<double> q, world, clip, normals, camera, cn, logs, curve, partial, mean, width, albedo,
      roughness, f0, direction, incoming, cotangent, samples, pixels, gradient;
  Workspace ws;
  VrelExecutionContext ctx = cpu_context();

  static std::vector<double> flat(const std::vector<Vec>& rows) {
    std::vector<double> out;
    for (const Vec& r : rows) out.insert(out.end(), r.begin(), r.end());
    return out;
  }

  explicit OpaqueCall(const OpaqueScene& s)
      : c(s.pixels), ws(static_cast<uint64_t>(s.pixels) * 44800 + 8, 8) {
    const auto v = static_cast<int64_t>(s.world.size()),
               f = static_cast<int64_t>(s.face_rows.size());
    owners = s.owners;
    q = s.q;
    world = Tensor<double>({v, 3}, flat(s.world));
    faces = Tensor<int32_t>({f, 3});
    for (int64_t i = 0; i < f; ++i)
      for (int k = 0; k < 3; ++k) faces[i * 3 + k] = s.face_rows[i][k];
    clip = Tensor<double>({v, 4});
    for (int64_t i = 0; i < v; ++i) {
      clip[i * 4] = 4 * s.world[i][0];
      clip[i * 4 + 1] = 4 * s.world[i][1];
      clip[i * 4 + 2] = s.world[i][2];
      clip[i * 4 + 3] = s.w[i];
    }
    normals = Tensor<double>({f, 3, 3}, flat(s.normal_rows));
    camera = Tensor<double>({3}, {s.camera.begin(), s.camera.end()});
    CurveProblem p = make_curves(4, 1, 2);
    Curves curves;
    EXPECT_EQ(loss_curve(p.logs, p.controls, {0.4}, curves).status, 0);
    n = p.nodes;
    cn = Tensor<double>({n}, p.cn);
    logs = Tensor<double>({n}, p.logs);
    curve = curves.curve;
    partial = curves.partial;
    mean = Tensor<double>({1, 4}, {0.6, 0.3, 0.1, 0.05});
    width = Tensor<double>({1}, {0.5});
    albedo = Tensor<double>({3}, {s.albedo_value.begin(), s.albedo_value.end()});
    roughness = Tensor<double>({1}, {s.roughness_value});
    f0 = Tensor<double>({3}, {s.f0_value.begin(), s.f0_value.end()});
    direction = Tensor<double>({3}, {s.direction_value.begin(), s.direction_value.end()});
    incoming = Tensor<double>({3}, {s.incoming_value.begin(), s.incoming_value.end()});
    cotangent = Tensor<double>({c, 3});
    for (std::size_t i = 0; i < cotangent.size(); ++i)
      cotangent[i] = 0.5 + 0.25 * double(i % 5) - 0.6 * double(i % 2);
    samples = Tensor<double>({c, 800, 4});
    pixels = Tensor<double>({c, 4});
    gradient = Tensor<double>({c, 3});
  }
};

// Views of a call held apart, so that a test can change one and pass the tuple on.
struct OpaqueViews {
  OpaqueCall& call;
  View owners, q, world, faces, clip, normals, camera, cn, logs, curve, partial, mean, width,
      albedo, roughness, f0, direction, incoming, cotangent, samples, pixels, gradient;
  explicit OpaqueViews(OpaqueCall& k)
      : call(k),
        owners(k.owners.in()),
        q(k.q.in()),
        world(k.world.in()),
        faces(k.faces.in()),
        clip(k.clip.in()),
        normals(k.normals.in()),
        camera(k.camera.in()),
        cn(k.cn.in()),
        logs(k.logs.in()),
        curve(k.curve.in()),
        partial(k.partial.in()),
        mean(k.mean.in()),
        width(k.width.in()),
        albedo(k.albedo.in()),
        roughness(k.roughness.in()),
        f0(k.f0.in()),
        direction(k.direction.in()),
        incoming(k.incoming.in()),
        cotangent(k.cotangent.in()),
        samples(k.samples.out()),
        pixels(k.pixels.out()),
        gradient(k.gradient.out()) {}

  auto inputs() {
    return std::make_tuple(owners.get(), q.get(), world.get(), faces.get(), clip.get(),
                           normals.get(), camera.get(), cn.get(), logs.get(), curve.get(),
                           partial.get(), mean.get(), width.get(), albedo.get(), roughness.get(),
                           f0.get(), direction.get(), incoming.get());
  }
  auto samples_args(VrelDiagnostic* diag = nullptr) {
    return std::tuple_cat(
        inputs(), std::make_tuple(static_cast<const VrelExecutionContext*>(&call.ctx),
                                  samples.get(), pixels.get(),
                                  static_cast<const VrelBufferDescriptor*>(call.ws.get()), diag));
  }
  auto albedo_args(VrelDiagnostic* diag = nullptr) {
    return std::tuple_cat(
        inputs(),
        std::make_tuple(cotangent.get(), static_cast<const VrelExecutionContext*>(&call.ctx),
                        samples.get(), pixels.get(), gradient.get(),
                        static_cast<const VrelBufferDescriptor*>(call.ws.get()), diag));
  }
  Result run_samples() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_opaque_samples, samples_args(diag.get()));
    return {st, diag.text()};
  }
  Result run_albedo() {
    Diag diag;
    const VrelStatus st = std::apply(vrel_shading_opaque_albedo, albedo_args(diag.get()));
    return {st, diag.text()};
  }
};

}  // namespace vrel::test::shading
