// The opaque shading samples against the principled BRDF evaluated directly at surface points
// found by intersecting camera rays with the world triangles, the exact area of the colour
// integration, finite differences and the BRDF's Jacobian in albedo; the checks in order and the
// bad-input helper over the four exports.
#include <cmath>
#include <functional>

#include "tests/shading/opaque_scene.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;
using namespace vrel::test::shading;

namespace {

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec unit(const Vec& a) {
  const double r = std::sqrt(dot(a, a));
  return {a[0] / r, a[1] / r, a[2] / r};
}

// A tilted, curved triangle before the camera (face 0) and one reaching behind it (face 1, never
// an owner). Pixels [1,2] x [1,2] and [1,2] x [2,3] lie inside face 0 on screen.
OpaqueScene perspective_scene() {
  OpaqueScene s(2);
  s.world = {{-1.5, -1.2, -2.0}, {1.6, -0.9, -3.5}, {-0.2, 1.7, -2.6}, {0.0, 0.0, 1.0}};
  s.w = {2.0, 3.5, 2.6, -1.0};
  s.face_rows = {{0, 1, 2}, {0, 1, 3}};
  s.normal_rows = {{0.1, 0.2, 1.0}, {0.3, -0.1, 0.9}, {-0.2, 0.1, 1.1},
                   {0.0, 0.0, 1.0}, {0.0, 0.0, 1.0},  {0.0, 0.0, 1.0}};
  // Spread over the 800 slots (empty ones between, every block of 128 used).
  s.fill_square(0, 0, 1.0, 1.0, 3, 9);
  s.fill_square(1, 0, 1.0, 2.0, 0);
  return s;
}

// The surface point of a node found independently: the camera ray through its screen position
// meets the plane of the world triangle; world barycentrics from sub-triangle areas.
struct Surface {
  Vec position, normal;
};
Surface ray_lift(const OpaqueScene& s, int32_t f, const double* l) {
  const auto corners = s.screen(f);
  const double x = l[0] * corners[0][0] + l[1] * corners[1][0] + l[2] * corners[2][0];
  const double y = l[0] * corners[0][1] + l[1] * corners[1][1] + l[2] * corners[2][1];
  const Vec& a = s.world[s.face_rows[f][0]];
  const Vec& b = s.world[s.face_rows[f][1]];
  const Vec& c = s.world[s.face_rows[f][2]];
  const Vec n = cross(sub(b, a), sub(c, a));
  const Vec d{(x - 2.0) / 4.0, (y - 2.0) / 4.0, -1.0};
  const double t = dot(n, a) / dot(n, d);
  const Vec p{t * d[0], t * d[1], t * d[2]};
  const double area = dot(n, n);
  const double b1 = dot(cross(sub(p, a), sub(c, a)), n) / area;
  const double b2 = dot(cross(sub(b, a), sub(p, a)), n) / area;
  const double bc[3] = {1 - b1 - b2, b1, b2};
  Vec normal{0, 0, 0};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) normal[i] += bc[k] * s.normal_rows[3 * f + k][i];
  return {p, normal};
}

// The principled BRDF (shared groups, one light) at the given points, with the Jacobian.
void brdf_at(OpaqueCall& k, const std::vector<Vec>& normal, const std::vector<Vec>& view,
             Tensor<double>& out, Tensor<double>& jacobian) {
  const auto p = static_cast<int64_t>(normal.size());
  std::vector<double> light, albedo, rough, f0;
  for (int64_t i = 0; i < p; ++i) {
    light.insert(light.end(), k.direction.values().begin(), k.direction.values().end());
    albedo.insert(albedo.end(), k.albedo.values().begin(), k.albedo.values().end());
    f0.insert(f0.end(), k.f0.values().begin(), k.f0.values().end());
    rough.push_back(k.roughness[0]);
  }
  Tensor<double> n({p, 3}, OpaqueCall::flat(normal)), v({p, 3}, OpaqueCall::flat(view));
  Tensor<double> l({p, 1, 3}, light), a({p, 3}, albedo), r({p}, rough), f({p, 3}, f0);
  out = Tensor<double>({p, 1, 3});
  jacobian = Tensor<double>({p, 1, 3, 16});
  Workspace ws(static_cast<uint64_t>(p) * 8 + 8, 8);
  Diag diag;
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_shading_principled_shared_groups(
                k.cn.in(), k.logs.in(), k.curve.in(), k.partial.in(), k.mean.in(), k.width.in(),
                n.in(), v.in(), l.in(), a.in(), r.in(), f.in(), VREL_SHADING_DERIVATIVES, &k.ctx,
                out.out(), jacobian.out(), ws.get(), diag))
      << diag.text();
}

// Per pixel and slot, the expected samples and albedo terms from the direct evaluation.
struct Expected {
  std::vector<double> samples, albedo_terms;  // [C,800,4], [C,800,3]
};
Expected direct(const OpaqueScene& s, OpaqueCall& k) {
  std::vector<Vec> normal, view;
  std::vector<int64_t> slot_of;
  for (int64_t i = 0; i < s.pixels * 800; ++i) {
    if (s.owners[i] < 0) continue;
    const Surface p = ray_lift(s, s.owners[i], &s.q[i * 4]);
    normal.push_back(p.normal);
    view.push_back(sub(s.camera, p.position));
    slot_of.push_back(i);
  }
  Expected e{std::vector<double>(s.pixels * 800 * 4), std::vector<double>(s.pixels * 800 * 3)};
  const Vec l = unit(s.direction_value);
  for (std::size_t begin = 0; begin < normal.size(); begin += 128) {
    const std::size_t end = std::min(normal.size(), begin + 128);
    Tensor<double> out, jac;
    brdf_at(k, {normal.begin() + begin, normal.begin() + end},
            {view.begin() + begin, view.begin() + end}, out, jac);
    for (std::size_t j = begin; j < end; ++j) {
      const int64_t slot = slot_of[j];
      const double w = s.q[slot * 4 + 3];
      const double lit = std::max(dot(unit(normal[j]), l), 0.0);
      for (int c = 0; c < 3; ++c) {
        e.samples[slot * 4 + c] = out[(j - begin) * 3 + c] * s.incoming_value[c] * lit * w;
        e.albedo_terms[slot * 3 + c] =
            jac[((j - begin) * 3 + c) * 16 + 9 + c] * s.incoming_value[c] * lit * w;
      }
      e.samples[slot * 4 + 3] = w;
    }
  }
  return e;
}

// Gives a view a new dense shape of at most its rank (the view owns its shape and strides).
void reshape(View& v, std::vector<int64_t> shape) {
  const auto strides = dense_strides(shape);
  std::copy(shape.begin(), shape.end(), const_cast<int64_t*>(v->shape));
  std::copy(strides.begin(), strides.end(), const_cast<int64_t*>(v->strides));
  v->rank = static_cast<uint32_t>(shape.size());
}

void expect_near(double expected, double actual, double rel, const std::string& what) {
  EXPECT_NEAR(expected, actual, rel * std::max(1.0, std::fabs(expected))) << what;
}

TEST(OpaqueSamples, NodeSamplesAndPixelSumsMatchTheBrdfAtTheSameSurfacePoints) {
  const OpaqueScene s = perspective_scene();
  OpaqueCall k(s);
  OpaqueViews v(k);
  const Result r = v.run_samples();
  ASSERT_EQ(r.status, VREL_STATUS_OK) << r.message;
  const Expected e = direct(s, k);
  for (int64_t p = 0; p < s.pixels; ++p) {
    double sum[4] = {0, 0, 0, 0};
    for (int64_t slot = 0; slot < 800; ++slot) {
      const int64_t i = (p * 800 + slot) * 4;
      for (int c = 0; c < 4; ++c) {
        expect_near(e.samples[i + c], k.samples[i + c], 1e-12, "slot " + std::to_string(slot));
        sum[c] += e.samples[i + c];
      }
      if (s.owners[p * 800 + slot] < 0)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(0.0, k.samples[i + c]);
      else
        EXPECT_EQ(s.q[i + 3], k.samples[i + 3]);  // the weight as given
    }
    for (int c = 0; c < 4; ++c) expect_near(sum[c], k.pixels[p * 4 + c], 1e-12, "pixel");
    expect_near(1.0, k.pixels[p * 4 + 3], 1e-14, "the rule covers the whole pixel");
    EXPECT_GT(k.pixels[p * 4], 0.0);
  }
  // The pixel result is the pairwise sum of the node samples in slot order.
  std::vector<double> lane(800);
  for (int c = 0; c < 4; ++c) {
    for (int64_t slot = 0; slot < 800; ++slot) lane[slot] = k.samples[slot * 4 + c];
    for (std::size_t n = 800; n > 1; n = (n + 1) / 2)
      for (std::size_t i = 0; i < n; i += 2)
        lane[i / 2] = i + 1 < n ? lane[i] + lane[i + 1] : lane[i];
    EXPECT_EQ(lane[0], k.pixels[c]);
  }
}

// Flat normals and a camera 10^12 away: every node sees the same light and view, so the pixel
// colour is the BRDF's radiance times the covered area, which the colour integration gives.
TEST(OpaqueSamples, UniformlyLitFlatTriangleGivesTheShadedColourTimesTheCoverage) {
  OpaqueScene s(2);
  s.world = {{-3, -3, 0}, {5, -1, 0}, {0, 6, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  s.w = {1, 1, 1, 1, 1, 1};
  s.face_rows = {{0, 1, 2}, {3, 4, 5}};
  for (int i = 0; i < 6; ++i) s.normal_rows.push_back({0.1, 0.2, 1.0});
  s.camera = {0.3e12, 0.2e12, 1e12};
  s.fill_square(0, 0, 0.0, 0.0, 0);                    // fully inside face 0
  s.fill(1, 1, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 100);  // face 1: half the pixel
  OpaqueCall k(s);
  OpaqueViews v(k);
  ASSERT_EQ(v.run_samples().status, VREL_STATUS_OK);
  Tensor<double> out, jac;
  brdf_at(k, {{0.1, 0.2, 1.0}}, {{0.3, 0.2, 1.0}}, out, jac);
  const double lit = dot(unit({0.1, 0.2, 1.0}), unit(s.direction_value));
  for (int64_t p = 0; p < 2; ++p) {
    // The visible area of the face in the unit pixel by the exact colour integration.
    const int32_t f = static_cast<int32_t>(p);
    std::vector<double> vertices;
    for (int k2 = 0; k2 < 3; ++k2) {
      const Vec& corner = s.world[s.face_rows[f][k2]];
      vertices.insert(vertices.end(), {corner[0], corner[1], 1.0});
    }
    Tensor<double> vt({3, 3}, vertices), colour = Tensor<double>::filled({1, 3, 3}, 1.0),
                                         image({1, 1, 4});
    Tensor<int32_t> tri({1, 3}, {0, 1, 2});
    Workspace ws(1047584, 8);
    Diag diag;
    ASSERT_EQ(VREL_STATUS_OK,
              vrel_render_opaque_integrate(vt.in(), tri.in(), colour.in(), 1, 1, 0.0, 0.0, &k.ctx,
                                           image.out(), ws.get(), diag))
        << diag.text();
    const double area = image[3];
    EXPECT_NEAR(area, k.pixels[p * 4 + 3], 1e-15);
    EXPECT_NEAR(p == 0 ? 1.0 : 0.5, area, 1e-15);
    for (int c = 0; c < 3; ++c) {
      const double shaded = out[c] * s.incoming_value[c] * lit;
      expect_near(shaded * area, k.pixels[p * 4 + c], 1e-9, "channel " + std::to_string(c));
    }
  }
}

TEST(OpaqueSamples, AlbedoGradientMatchesFiniteDifferencesAndTheBrdfJacobian) {
  const OpaqueScene s = perspective_scene();
  OpaqueCall k(s);
  OpaqueViews v(k);
  ASSERT_EQ(v.run_samples().status, VREL_STATUS_OK);
  const std::vector<double> samples = k.samples.values(), pixels = k.pixels.values();
  const Result r = v.run_albedo();
  ASSERT_EQ(r.status, VREL_STATUS_OK) << r.message;
  EXPECT_EQ(samples, k.samples.values());  // the same samples, bit for bit
  EXPECT_EQ(pixels, k.pixels.values());
  const Expected e = direct(s, k);
  const double h = 1e-4;
  for (int c = 0; c < 3; ++c) {
    std::vector<double> colour[2];
    for (int side = 0; side < 2; ++side) {
      k.albedo[c] = s.albedo_value[c] + (side == 0 ? h : -h);
      ASSERT_EQ(v.run_samples().status, VREL_STATUS_OK);
      colour[side] = k.pixels.values();
    }
    k.albedo[c] = s.albedo_value[c];
    for (int64_t p = 0; p < s.pixels; ++p) {
      const double fd = (colour[0][p * 4 + c] - colour[1][p * 4 + c]) / (2 * h);
      const double cot = k.cotangent[p * 3 + c];
      expect_near(cot * fd, k.gradient[p * 3 + c], 1e-8, "finite difference");
      double column = 0;
      for (int64_t slot = 0; slot < 800; ++slot) column += e.albedo_terms[(p * 800 + slot) * 3 + c];
      expect_near(cot * column, k.gradient[p * 3 + c], 1e-12, "Jacobian column");
      for (int other = 0; other < 3; ++other)  // albedo c moves colour c alone
        if (other != c) {
          EXPECT_EQ(colour[0][p * 4 + other], pixels[p * 4 + other]);
        }
    }
  }
}

// The quadrature's own nodes over a 4 x 4 image where a near triangle hides part of the tilted
// one: every node sample agrees with the BRDF at the ray-cast surface point of its owner, and the
// weight channel is the visible area of the colour integration.
TEST(OpaqueSamples, ShadesTheQuadratureOfAnOccludedScene) {
  OpaqueScene s(16);
  s.world = {{-1.5, -1.2, -2.0}, {1.6, -0.9, -3.5}, {-0.2, 1.7, -2.6},
             {-0.5, -0.2, -1.5}, {0.6, -0.4, -1.6}, {0.0, 0.6, -1.4}};
  s.w = {2.0, 3.5, 2.6, 1.5, 1.6, 1.4};
  s.face_rows = {{0, 1, 2}, {3, 4, 5}};
  s.normal_rows = {{0.1, 0.2, 1.0}, {0.3, -0.1, 0.9}, {-0.2, 0.1, 1.1},
                   {0.0, 0.1, 1.0}, {0.1, 0.0, 1.0},  {0.0, 0.0, 1.0}};
  std::vector<double> screen;  // x, y in pixels, depth w
  for (const Vec& p : s.world) {
    const Vec x = project(p);
    screen.insert(screen.end(), {x[0], x[1], x[2]});
  }
  Tensor<double> vertices({6, 3}, screen), cuts({2, 3, 0}), nodes({16, 800, 4});
  Tensor<int32_t> faces({2, 3}, {0, 1, 2, 3, 4, 5}), owners({16, 800});
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(1047584, 8);
  Diag diag;
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_render_opaque_quadrature(vertices.in(), faces.in(), cuts.in(), 4, 4, 0.0, 0.0,
                                          &ctx, owners.out(), nodes.out(), ws.get(), diag))
      << diag.text();
  s.owners = owners;
  s.q = nodes;
  OpaqueCall k(s);
  OpaqueViews v(k);
  const Result r = v.run_samples();
  ASSERT_EQ(r.status, VREL_STATUS_OK) << r.message;
  const Expected e = direct(s, k);
  for (std::size_t i = 0; i < e.samples.size(); ++i)
    expect_near(e.samples[i], k.samples[i], 1e-11, "value " + std::to_string(i));

  Tensor<double> colour = Tensor<double>::filled({2, 3, 3}, 1.0), image({4, 4, 4});
  ASSERT_EQ(VREL_STATUS_OK,
            vrel_render_opaque_integrate(vertices.in(), faces.in(), colour.in(), 4, 4, 0.0, 0.0,
                                         &ctx, image.out(), ws.get(), diag))
      << diag.text();
  int partly = 0, both = 0;
  for (int p = 0; p < 16; ++p) {
    EXPECT_NEAR(image[p * 4 + 3], k.pixels[p * 4 + 3], 1e-13) << "pixel " << p;
    partly += image[p * 4 + 3] > 0.01 && image[p * 4 + 3] < 0.99;
    bool owner_seen[2] = {false, false};
    for (int slot = 0; slot < 800; ++slot)
      if (s.owners[p * 800 + slot] >= 0) owner_seen[s.owners[p * 800 + slot]] = true;
    both += owner_seen[0] && owner_seen[1];
  }
  EXPECT_GT(partly, 3);  // the scene has edges inside pixels
  EXPECT_GT(both, 1);    // and pixels where both faces are visible
}

TEST(OpaqueSamples, ChecksInOrder) {
  struct Case {
    const char* what;
    std::function<void(OpaqueCall&, OpaqueViews&)> change;
    VrelStatus status;
    const char *samples, *albedo;
  };
  const char* kShape = "opaque sample shape invalid";
  const char* kDomain = "opaque sample input domain";
  const Case cases[] = {
      {"q rank 2", [](OpaqueCall&, OpaqueViews& v) { reshape(v.q, {2, 3200}); }, 1,
       "opaque sample ranks invalid", nullptr},
      {"17 pixels", [](OpaqueCall&, OpaqueViews& v) { reshape(v.q, {17, 800, 4}); }, 1,
       "opaque sample pixel count/results invalid", "opaque albedo pixel count/results invalid"},
      {"513 nodes", [](OpaqueCall&, OpaqueViews& v) { reshape(v.cn, {513}); }, 1,
       "opaque sample geometry/axis extent invalid", nullptr},
      {"float owners", [](OpaqueCall&, OpaqueViews& v) { v.owners->dtype = VREL_DTYPE_FLOAT32; }, 1,
       "opaque sample dtype/rank/device/flags invalid", nullptr},
      {"flagged camera", [](OpaqueCall&, OpaqueViews& v) { v.camera->flags = VREL_TENSOR_OUTPUT; },
       1, "opaque sample dtype/rank/device/flags invalid", nullptr},
      {"one normal per face", [](OpaqueCall&, OpaqueViews& v) { reshape(v.normals, {2, 1, 3}); }, 1,
       kShape, "opaque albedo shape invalid"},
      {"short scratch", [](OpaqueCall& k, OpaqueViews&) { k.ws->capacity = 2 * 25600; }, 3,
       "curve scratch too small", "curve scratch too small"},
      {"an owner past the faces", [](OpaqueCall& k, OpaqueViews&) { k.owners[805] = 2; }, 1,
       kDomain, nullptr},
      {"an owner corner behind the camera", [](OpaqueCall& k, OpaqueViews&) { k.clip[7] = 0.0; }, 1,
       kDomain, nullptr},
      {"a zero corner normal",
       [](OpaqueCall& k, OpaqueViews&) { k.normals[3] = k.normals[4] = k.normals[5] = 0; }, 1,
       kDomain, nullptr},
      {"a face row past the vertices", [](OpaqueCall& k, OpaqueViews&) { k.faces[5] = 4; }, 1,
       kDomain, nullptr},
      {"albedo above 1", [](OpaqueCall& k, OpaqueViews&) { k.albedo[1] = 1.5; }, 1, kDomain,
       nullptr},
      {"negative incoming", [](OpaqueCall& k, OpaqueViews&) { k.incoming[2] = -1e-300; }, 1,
       kDomain, nullptr},
      {"non-finite world", [](OpaqueCall& k, OpaqueViews&) { k.world[11] = NAN; }, 1, kDomain,
       nullptr},
      {"non-finite cotangent", [](OpaqueCall& k, OpaqueViews&) { k.cotangent[4] = INFINITY; }, 1,
       nullptr, "opaque albedo cotangent domain"},
      // Corner normals that cancel where corners 0 and 1 have the same clip w and the node lies
      // halfway between them: the interpolated normal is exactly zero.
      {"a zero interpolated normal",
       [](OpaqueCall& k, OpaqueViews&) {
         k.clip[7] = k.clip[3];
         k.normals[0] = 1.0, k.normals[1] = k.normals[2] = 0.0;
         k.normals[3] = -1.0, k.normals[4] = k.normals[5] = 0.0;
         const double node[4] = {0.5, 0.5, 0.0, 0.25};
         for (int i = 0; i < 4; ++i) k.q[(800 + 7) * 4 + i] = node[i];
       },
       4, "opaque sample arithmetic overflow", "opaque albedo arithmetic overflow"},
  };
  for (const Case& c : cases) {
    for (int variant = 0; variant < 2; ++variant) {
      const char* message = variant == 0 ? c.samples : (c.albedo ? c.albedo : c.samples);
      OpaqueScene s = perspective_scene();
      OpaqueCall k(s);
      OpaqueViews v(k);
      c.change(k, v);
      k.pixels.values().assign(k.pixels.size(), 7.0);
      const Result r = variant == 0 ? v.run_samples() : v.run_albedo();
      if (message == nullptr) {
        EXPECT_EQ(r.status, VREL_STATUS_OK) << c.what << ": " << r.message;
        continue;
      }
      EXPECT_EQ(r.status, c.status) << c.what;
      EXPECT_EQ(r.message, message) << c.what;
      if (c.status != VREL_STATUS_OVERFLOW) {
        EXPECT_EQ(7.0, k.pixels[0]) << c.what << " wrote";
      }
    }
  }
}

TEST(OpaqueSamples, WorkspaceRuleAndTheOverlapRules) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  ASSERT_EQ(0, vrel_shading_opaque_samples_workspace(3, &ctx, &bytes, &alignment, diag));
  EXPECT_EQ(3u * 25600 + 8, bytes);
  EXPECT_EQ(8u, alignment);
  ASSERT_EQ(0, vrel_shading_opaque_albedo_workspace(16, &ctx, &bytes, &alignment, diag));
  EXPECT_EQ(16u * 44800 + 8, bytes);
  for (uint64_t c : {uint64_t{0}, uint64_t{17}, ~uint64_t{0}}) {
    EXPECT_EQ(1, vrel_shading_opaque_samples_workspace(c, &ctx, &bytes, &alignment, diag));
    EXPECT_EQ("opaque sample pixel count/results invalid", diag.text());
  }
  EXPECT_EQ(1, vrel_shading_opaque_albedo_workspace(1, &ctx, &bytes, nullptr, diag));
  EXPECT_EQ("opaque albedo pixel count/results invalid", diag.text());

  OpaqueScene s = perspective_scene();
  OpaqueCall k(s);
  OpaqueViews v(k);
  View alias = k.q.out();  // the node samples written over q
  VrelBufferDescriptor over = *k.ws.get();
  over.data = k.world.ptr();
  over.capacity = 1 << 20;
  auto args = v.samples_args(diag.get());
  std::get<19>(args) = alias.get();
  EXPECT_EQ(1, std::apply(vrel_shading_opaque_samples, args));
  EXPECT_EQ("curve output aliases tensor", diag.text());
  args = v.samples_args(diag.get());
  std::get<21>(args) = &over;
  EXPECT_EQ(1, std::apply(vrel_shading_opaque_samples, args));
  EXPECT_EQ("curve scratch aliases tensor", diag.text());
}

TEST(OpaqueSamples, BadInputsOverEveryExport) {
  OpaqueScene s = perspective_scene();
  OpaqueCall k(s);
  OpaqueViews v(k);
  const std::vector<Region> outputs = {{k.samples.ptr(), k.samples.bytes()},
                                       {k.pixels.ptr(), k.pixels.bytes()},
                                       {k.gradient.ptr(), k.gradient.bytes()}};
  VrelDiagnostic* none = nullptr;
  check_bad_inputs("opaque_samples", vrel_shading_opaque_samples, v.samples_args(none),
                   {outputs, {}, {}});
  check_bad_inputs("opaque_albedo", vrel_shading_opaque_albedo, v.albedo_args(none),
                   {outputs, {}, {}});
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("opaque_samples_workspace", vrel_shading_opaque_samples_workspace,
                   std::make_tuple(uint64_t{2}, &ctx, &bytes, &alignment, none), {{}, {}, {}});
  check_bad_inputs("opaque_albedo_workspace", vrel_shading_opaque_albedo_workspace,
                   std::make_tuple(uint64_t{2}, &ctx, &bytes, &alignment, none), {{}, {}, {}});
}

}  // namespace
