// Shared pieces of the render tests: packed meshes, fragment buffers, the brute-force reference
// rasterizer (the per-pixel rule applied to every pixel and every face, no traversal) and the
// recomputation of fragment geometry for finite differences.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

// Rebuilds a view in place (views own their shape arrays and are not assignable).
inline void replace(View& slot, const View& with) {
  slot.~View();
  new (&slot) View(with);
}

// A packed batch of meshes in NDC.
template <typename T>
struct Mesh {
  std::vector<T> vertices;                    // [V,3]
  std::vector<int32_t> faces;                 // [F,3]
  std::vector<int32_t> vertex_offsets{0, 0};  // one (empty) element to start
  std::vector<int32_t> face_offsets{0, 0};

  int64_t v() const { return static_cast<int64_t>(vertices.size() / 3); }
  int64_t f() const { return static_cast<int64_t>(faces.size() / 3); }
  int64_t b() const { return static_cast<int64_t>(vertex_offsets.size()) - 1; }

  // Starts a new batch element; later vertices and faces belong to it.
  void element() {
    vertex_offsets.push_back(static_cast<int32_t>(v()));
    face_offsets.push_back(static_cast<int32_t>(f()));
  }
  // Appends a vertex to the current (last) element; returns its global row.
  int32_t vertex(double x, double y, double z) {
    vertices.push_back(static_cast<T>(x));
    vertices.push_back(static_cast<T>(y));
    vertices.push_back(static_cast<T>(z));
    vertex_offsets.back() = static_cast<int32_t>(v());
    return static_cast<int32_t>(v() - 1);
  }
  void face(int32_t a, int32_t b_, int32_t c) {
    faces.insert(faces.end(), {a, b_, c});
    face_offsets.back() = static_cast<int32_t>(f());
  }
  // One triangle with its own three vertices.
  void triangle(double x0, double y0, double z0, double x1, double y1, double z1, double x2,
                double y2, double z2) {
    const int32_t a = vertex(x0, y0, z0), b_ = vertex(x1, y1, z1), c = vertex(x2, y2, z2);
    face(a, b_, c);
  }
};

// The rasterization parameters of one call.
struct RasterCall {
  int64_t gh, gw, r0 = 0, c0 = 0, h, w;
  int64_t k = 1;
  double blur = 0;
  uint32_t cull = VREL_RENDER_CULL_NONE;
  double eps = 0;
};

// The four fragment buffers of a [B,H,W,K] rasterization.
template <typename T>
struct Fragments {
  Tensor<int32_t> face_index;
  Tensor<T> barycentric;
  Tensor<T> depth;
  Tensor<T> signed_distance;
  Fragments(int64_t b, int64_t h, int64_t w, int64_t k)
      : face_index({b, h, w, k}),
        barycentric({b, h, w, k, 3}),
        depth({b, h, w, k}),
        signed_distance({b, h, w, k}) {}
};

// Bitwise equality of two fragment buffers, reporting the first differing element.
template <typename T>
::testing::AssertionResult same_fragments(const Fragments<T>& a, const Fragments<T>& b) {
  auto compare = [](const auto& x, const auto& y, const char* name) -> ::testing::AssertionResult {
    if (x.size() != y.size()) return ::testing::AssertionFailure() << name << " sizes differ";
    for (std::size_t i = 0; i < x.size(); ++i)
      if (std::memcmp(&x[i], &y[i], sizeof x[i]) != 0)
        return ::testing::AssertionFailure()
               << name << " differs at element " << i << ": " << +x[i] << " vs " << +y[i];
    return ::testing::AssertionSuccess();
  };
  if (auto r = compare(a.face_index.values(), b.face_index.values(), "face_index"); !r) return r;
  if (auto r = compare(a.barycentric.values(), b.barycentric.values(), "barycentric"); !r) return r;
  if (auto r = compare(a.depth.values(), b.depth.values(), "depth"); !r) return r;
  return compare(a.signed_distance.values(), b.signed_distance.values(), "signed_distance");
}

// Calls vrel_render_rasterize_window (or vrel_render_rasterize for a whole-image call).
template <typename T>
VrelStatus rasterize(Mesh<T>& mesh, const RasterCall& c, Fragments<T>& out, Diag& diag,
                     bool window_export = true) {
  View v(mesh.vertices.data(), {mesh.v(), 3}, dtype_of<T>());
  View f(mesh.faces.empty() ? nullptr : mesh.faces.data(), {mesh.f(), 3}, VREL_DTYPE_INT32);
  View vo(mesh.vertex_offsets.data(), {mesh.b() + 1}, VREL_DTYPE_INT32);
  View fo(mesh.face_offsets.data(), {mesh.b() + 1}, VREL_DTYPE_INT32);
  if (mesh.vertices.empty()) v->data = nullptr;
  View fi = out.face_index.out(), ba = out.barycentric.out(), de = out.depth.out(),
       sd = out.signed_distance.out();
  VrelExecutionContext ctx = cpu_context();
  if (!window_export)
    return vrel_render_rasterize(v, f, vo, fo, c.h, c.w, c.k, c.blur, c.cull, c.eps, &ctx, fi, ba,
                                 de, sd, nullptr, diag);
  return vrel_render_rasterize_window(v, f, vo, fo, c.gh, c.gw, c.r0, c.c0, c.h, c.w, c.k, c.blur,
                                      c.cull, c.eps, &ctx, fi, ba, de, sd, nullptr, diag);
}

// ---- The brute-force reference -----------------------------------------------------------

struct RefFragment {
  double b[3];
  double z;
  double d;
  bool inside;
};

struct RefScreen {
  double cx[3], cy[3], z[3];
};

inline RefScreen ref_screen(const double* x, const double* y, const double* z, double gw,
                            double gh) {
  RefScreen s;
  for (int i = 0; i < 3; ++i) {
    s.cx[i] = (x[i] + 1) * gw / 2;
    s.cy[i] = (1 - y[i]) * gh / 2;
    s.z[i] = z[i];
  }
  return s;
}

// Squared distance from p to the nearest edge segment, the edge (0: 0-1, 1: 1-2, 2: 2-0) and t.
inline double ref_nearest(const RefScreen& s, double px, double py, int* edge = nullptr,
                          double* t_out = nullptr) {
  double best = 0;
  for (int e = 0; e < 3; ++e) {
    const int n = (e + 1) % 3;
    const double ex = s.cx[n] - s.cx[e], ey = s.cy[n] - s.cy[e];
    const double len2 = ex * ex + ey * ey;
    double t = 0;
    if (len2 != 0) {
      t = ((px - s.cx[e]) * ex + (py - s.cy[e]) * ey) / len2;
      if (t < 0) t = 0;
      if (t > 1) t = 1;
    }
    const double dx = px - (s.cx[e] + t * (s.cx[n] - s.cx[e]));
    const double dy = py - (s.cy[e] + t * (s.cy[n] - s.cy[e]));
    const double d = dx * dx + dy * dy;
    if (e == 0 || d < best) {
      best = d;
      if (edge) *edge = e;
      if (t_out) *t_out = t;
    }
  }
  return best;
}

// The per-pixel rule, transcribed step by step; false when the face gives no fragment.
inline bool ref_rule(const RefScreen& s, double gw, double gh, double px, double py, double blur,
                     uint32_t cull, double eps, RefFragment* out) {
  const double lim = 1048576.0;
  bool guard = std::fabs(gw) <= lim && std::fabs(gh) <= lim;
  for (int i = 0; i < 3; ++i)
    guard = guard && std::fabs(s.cx[i]) <= lim && std::fabs(s.cy[i]) <= lim;
  double ax[3], ay[3];
  for (int i = 0; i < 3; ++i) {
    ax[i] = s.cx[i] - px;
    ay[i] = s.cy[i] - py;
  }
  auto cross = [&](int u, int v) { return ax[u] * ay[v] - ay[u] * ax[v]; };
  const double w0 = cross(1, 2), w1 = cross(2, 0), w2 = cross(0, 1);
  const double area = w0 + w1 + w2;
  if (!(std::fabs(area) > eps)) return false;
  if (cull == 2 && !(area < 0)) return false;
  if (cull == 3 && !(area > 0)) return false;
  const double b0 = w0 / area, b1 = w1 / area, b2 = w2 / area;
  const bool inside = b0 >= 0 && b1 >= 0 && b2 >= 0;
  if (!inside && guard) {
    double minx = std::min({s.cx[0], s.cx[1], s.cx[2]}),
           maxx = std::max({s.cx[0], s.cx[1], s.cx[2]});
    double miny = std::min({s.cy[0], s.cy[1], s.cy[2]}),
           maxy = std::max({s.cy[0], s.cy[1], s.cy[2]});
    const double g = std::max({0.0, px - maxx, minx - px, py - maxy, miny - py});
    const double margin = std::ldexp(1.0, -20);
    if (g > margin && (g - margin) * (g - margin) > blur * blur) return false;
  }
  const double d = ref_nearest(s, px, py);
  if (!inside && !(d <= blur * blur)) return false;
  *out = {{b0, b1, b2}, b0 * s.z[0] + b1 * s.z[1] + b2 * s.z[2], d, inside};
  return true;
}

// Every pixel of the window against every face of its batch element, faces in order.
template <typename T>
Fragments<T> reference_raster(const Mesh<T>& mesh, const RasterCall& c) {
  const int64_t B = mesh.b(), H = c.h, W = c.w, K = c.k;
  Fragments<T> out(B, H, W, K);
  for (auto& x : out.face_index.values()) x = -1;
  for (auto& x : out.depth.values()) x = std::numeric_limits<T>::infinity();
  for (auto& x : out.signed_distance.values()) x = std::numeric_limits<T>::infinity();
  const double gw = static_cast<double>(c.gw), gh = static_cast<double>(c.gh);
  for (int64_t b = 0; b < B; ++b) {
    for (int64_t f = mesh.face_offsets[b]; f < mesh.face_offsets[b + 1]; ++f) {
      double x[3], y[3], z[3];
      for (int k = 0; k < 3; ++k) {
        const int64_t v = mesh.faces[3 * f + k];
        x[k] = mesh.vertices[3 * v];
        y[k] = mesh.vertices[3 * v + 1];
        z[k] = mesh.vertices[3 * v + 2];
      }
      const RefScreen s = ref_screen(x, y, z, gw, gh);
      for (int64_t i = 0; i < H; ++i) {
        for (int64_t j = 0; j < W; ++j) {
          RefFragment frag;
          const double px = static_cast<double>(c.c0 + j) + 0.5;
          const double py = static_cast<double>(c.r0 + i) + 0.5;
          if (!ref_rule(s, gw, gh, px, py, c.blur, c.cull, c.eps, &frag)) continue;
          const int64_t pix = ((b * H + i) * W + j) * K;
          int32_t* fi = out.face_index.ptr() + pix;
          T* de = out.depth.ptr() + pix;
          T* sd = out.signed_distance.ptr() + pix;
          T* ba = out.barycentric.ptr() + 3 * pix;
          const T z_stored = static_cast<T>(frag.z);
          int64_t slot = 0;
          for (int64_t l = 0; l < K; ++l)
            if (fi[l] >= 0 && de[l] <= z_stored) ++slot;
          if (slot == K) continue;
          for (int64_t l = K - 1; l > slot; --l) {
            fi[l] = fi[l - 1];
            de[l] = de[l - 1];
            sd[l] = sd[l - 1];
            for (int q = 0; q < 3; ++q) ba[3 * l + q] = ba[3 * (l - 1) + q];
          }
          fi[slot] = static_cast<int32_t>(f);
          de[slot] = z_stored;
          sd[slot] = static_cast<T>(frag.inside ? -frag.d : frag.d);
          for (int q = 0; q < 3; ++q) ba[3 * slot + q] = static_cast<T>(frag.b[q]);
        }
      }
    }
  }
  return out;
}

// Fragment geometry recomputed from the vertices for a fixed face and pixel (full image W x H):
// barycentrics, depth and signed squared distance, as the backward pass differentiates them.
struct Recomputed {
  double b[3];
  double z;
  double sd;
};

inline Recomputed recompute(const std::vector<double>& vertices, const int32_t* face, int64_t h,
                            int64_t w, int64_t row, int64_t col) {
  double x[3], y[3], z[3];
  for (int k = 0; k < 3; ++k) {
    x[k] = vertices[3 * face[k]];
    y[k] = vertices[3 * face[k] + 1];
    z[k] = vertices[3 * face[k] + 2];
  }
  const RefScreen s = ref_screen(x, y, z, static_cast<double>(w), static_cast<double>(h));
  const double px = col + 0.5, py = row + 0.5;
  double ax[3], ay[3];
  for (int i = 0; i < 3; ++i) {
    ax[i] = s.cx[i] - px;
    ay[i] = s.cy[i] - py;
  }
  auto cross = [&](int u, int v) { return ax[u] * ay[v] - ay[u] * ax[v]; };
  const double wv[3] = {cross(1, 2), cross(2, 0), cross(0, 1)};
  const double area = wv[0] + wv[1] + wv[2];
  Recomputed r;
  for (int k = 0; k < 3; ++k) r.b[k] = wv[k] / area;
  r.z = r.b[0] * z[0] + r.b[1] * z[1] + r.b[2] * z[2];
  const bool inside = r.b[0] >= 0 && r.b[1] >= 0 && r.b[2] >= 0;
  const double d = ref_nearest(s, px, py);
  r.sd = inside ? -d : d;
  return r;
}

// A random packed batch: ordinary, off-screen, huge, sliver and degenerate faces.
template <typename T>
Mesh<T> random_mesh(std::mt19937& rng, int elements, int faces_per_element, bool extreme) {
  std::uniform_real_distribution<double> u(-1.3, 1.3), zd(-1.0, 3.0), small(-0.2, 0.2), unit(0, 1);
  Mesh<T> m;
  for (int e = 0; e < elements; ++e) {
    if (e > 0) m.element();
    for (int i = 0; i < faces_per_element; ++i) {
      const double kind = unit(rng);
      double p[9];
      for (int k = 0; k < 3; ++k) {
        p[3 * k] = u(rng);
        p[3 * k + 1] = u(rng);
        p[3 * k + 2] = zd(rng);
      }
      if (kind < 0.35) {  // small face around a random centre
        const double cx = u(rng), cy = u(rng);
        for (int k = 0; k < 3; ++k) {
          p[3 * k] = cx + small(rng);
          p[3 * k + 1] = cy + small(rng);
        }
      } else if (extreme && kind < 0.45) {  // huge: far beyond the guard for some corners
        const double scale = unit(rng) < 0.5 ? 40.0 : 3e5;
        for (int k = 0; k < 2; ++k) {
          p[3 * k] *= scale;
          p[3 * k + 1] *= scale;
        }
      } else if (extreme && kind < 0.55) {  // sliver: third corner nearly on the first edge
        const double t = unit(rng) * 1.4 - 0.2;
        p[6] = p[0] + t * (p[3] - p[0]) + 1e-7 * small(rng);
        p[7] = p[1] + t * (p[4] - p[1]) + 1e-7 * small(rng);
      } else if (extreme && kind < 0.6) {  // degenerate: a repeated corner
        p[6] = p[0];
        p[7] = p[1];
      } else if (extreme && kind < 0.65) {  // wholly off-screen
        for (int k = 0; k < 3; ++k) p[3 * k] += 3.0;
      } else if (kind < 0.7) {  // corners on pixel centres of a 16-pixel grid: exact edge hits
        for (int k = 0; k < 3; ++k) {
          p[3 * k] = std::round(p[3 * k] * 8) / 8 + 1.0 / 32;
          p[3 * k + 1] = std::round(p[3 * k + 1] * 8) / 8 - 1.0 / 32;
        }
      }
      // Shared depth across a few faces produces ties.
      if (unit(rng) < 0.15) p[2] = p[5] = p[8] = 0.5;
      m.triangle(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8]);
    }
  }
  return m;
}

}  // namespace vrel::test
