#include "render/rasterize_backward_kernel.hpp"

#include <algorithm>

#include "render/pixel_rule.hpp"

namespace vrel::render {

namespace {

// Screen-space gradient of one fragment with respect to its three corners.
struct CornerGradients {
  double x[3] = {0, 0, 0};
  double y[3] = {0, 0, 0};
  double z[3] = {0, 0, 0};
};

// b_k = w_k / A with w_k = cross(a_(k+1), a_(k+2)), a_j = q_j - p, p fixed:
// d b_k = (d w_k - b_k d A) / A, where A = cross(q1 - q0, q2 - q0).
void barycentric_terms(const ScreenFace& s, const double a_x[3], const double a_y[3],
                       const double b[3], double area, const double e[3],
                       CornerGradients* g) noexcept {
  const double da_x[3] = {s.cy[1] - s.cy[2], s.cy[2] - s.cy[0], s.cy[0] - s.cy[1]};
  const double da_y[3] = {s.cx[2] - s.cx[1], s.cx[0] - s.cx[2], s.cx[1] - s.cx[0]};
  for (int k = 0; k < 3; ++k) {
    if (e[k] == 0) continue;
    const int k1 = (k + 1) % 3;
    const int k2 = (k + 2) % 3;
    // d w_k / d q_(k+1) = (a_(k+2).y, -a_(k+2).x); d w_k / d q_(k+2) = (-a_(k+1).y, a_(k+1).x).
    double dw_x[3] = {0, 0, 0};
    double dw_y[3] = {0, 0, 0};
    dw_x[k1] = a_y[k2];
    dw_y[k1] = -a_x[k2];
    dw_x[k2] = -a_y[k1];
    dw_y[k2] = a_x[k1];
    for (int j = 0; j < 3; ++j) {
      g->x[j] += e[k] * ((dw_x[j] - b[k] * da_x[j]) / area);
      g->y[j] += e[k] * ((dw_y[j] - b[k] * da_y[j]) / area);
    }
  }
}

// d(s d)/d(corners) with d = |p - c|^2 and c = E0 + t (E1 - E0), t held constant.
void distance_terms(const ScreenFace& s, double px, double py, bool inside, double g,
                    CornerGradients* out) noexcept {
  const NearestEdge near = nearest_edge(s.cx, s.cy, px, py);
  const int e0 = near.edge;
  const int e1 = e0 == 2 ? 0 : e0 + 1;
  const double t = near.t;
  const double closest_x = s.cx[e0] + t * (s.cx[e1] - s.cx[e0]);
  const double closest_y = s.cy[e0] + t * (s.cy[e1] - s.cy[e0]);
  const double sign = inside ? -1.0 : 1.0;
  const double d_x = -2 * sign * g * (px - closest_x);
  const double d_y = -2 * sign * g * (py - closest_y);
  out->x[e0] += (1 - t) * d_x;
  out->y[e0] += (1 - t) * d_y;
  out->x[e1] += t * d_x;
  out->y[e1] += t * d_y;
}

}  // namespace

template <typename T>
GradientFault rasterize_gradients(const RasterGradients<T>& p) noexcept {
  std::fill(p.grad_vertices, p.grad_vertices + 3 * p.vertex_count, T(0));
  const double half_w = static_cast<double>(p.width) / 2;
  const double half_h = static_cast<double>(p.height) / 2;
  const int64_t per_row = p.width * p.layers;
  for (int64_t n = 0; n < p.fragments; ++n) {
    const int32_t f = p.face_index[n];
    if (f < 0) continue;
    if (f >= p.face_count) return GradientFault::kFaceRange;
    int64_t corner[3];
    double x[3], y[3], z[3];
    for (int k = 0; k < 3; ++k) {
      corner[k] = p.faces[3 * static_cast<int64_t>(f) + k];
      if (corner[k] < 0 || corner[k] >= p.vertex_count) return GradientFault::kVertexRange;
      x[k] = static_cast<double>(p.vertices[3 * corner[k]]);
      y[k] = static_cast<double>(p.vertices[3 * corner[k] + 1]);
      z[k] = static_cast<double>(p.vertices[3 * corner[k] + 2]);
    }
    const ScreenFace s =
        screen_face(x, y, z, static_cast<double>(p.width), static_cast<double>(p.height));
    const int64_t pixel_row = (n / per_row) % p.height;
    const int64_t pixel_column = (n / p.layers) % p.width;
    const double px = static_cast<double>(pixel_column) + 0.5;
    const double py = static_cast<double>(pixel_row) + 0.5;
    const EdgeFunctions ef = edge_functions(s.cx, s.cy, px, py);
    if (ef.area == 0) continue;
    const double b[3] = {ef.w[0] / ef.area, ef.w[1] / ef.area, ef.w[2] / ef.area};
    const double a_x[3] = {s.cx[0] - px, s.cx[1] - px, s.cx[2] - px};
    const double a_y[3] = {s.cy[0] - py, s.cy[1] - py, s.cy[2] - py};

    CornerGradients g;
    const double gd = p.grad_depth ? static_cast<double>(p.grad_depth[n]) : 0.0;
    double e[3];
    for (int k = 0; k < 3; ++k) {
      e[k] = p.grad_barycentric ? static_cast<double>(p.grad_barycentric[3 * n + k]) : 0.0;
      if (p.grad_depth) e[k] += gd * z[k];
    }
    barycentric_terms(s, a_x, a_y, b, ef.area, e, &g);
    if (p.grad_depth)
      for (int k = 0; k < 3; ++k) g.z[k] += gd * b[k];
    if (p.grad_signed_distance) {
      const double gs = static_cast<double>(p.grad_signed_distance[n]);
      if (gs != 0) distance_terms(s, px, py, b[0] >= 0 && b[1] >= 0 && b[2] >= 0, gs, &g);
    }
    for (int k = 0; k < 3; ++k) {
      T* out = p.grad_vertices + 3 * corner[k];
      out[0] = static_cast<T>(static_cast<double>(out[0]) + g.x[k] * half_w);
      out[1] = static_cast<T>(static_cast<double>(out[1]) + g.y[k] * -half_h);
      out[2] = static_cast<T>(static_cast<double>(out[2]) + g.z[k]);
    }
  }
  return GradientFault::kNone;
}

template GradientFault rasterize_gradients<float>(const RasterGradients<float>&) noexcept;
template GradientFault rasterize_gradients<double>(const RasterGradients<double>&) noexcept;

}  // namespace vrel::render
