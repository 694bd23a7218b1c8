#include "shading/principled_kernel.hpp"

#include <cmath>
#include <type_traits>

#include "math/pairwise.hpp"
#include "math/unit_vector.hpp"
#include "shading/dual.hpp"

namespace vrel::shading {
namespace {

constexpr double kPi = 3.141592653589793;
using Tangents = Dual<kColumns>;

// Parameter `slot` of the Jacobian as a T: a plain value, or a dual seeded in that column.
template <typename T>
T parameter(double x, int slot) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    (void)slot;
    return x;
  } else {
    return T::seed(x, slot);
  }
}

template <typename T>
T dot(const T* a, const T* b) noexcept {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The robust unit rule (math/unit_vector.hpp). The dual form computes the same values; the
// scale m is taken as a constant, which leaves the unit vector and its derivative unchanged
// (v/|v| does not depend on a common factor), and the root r of s = |v/m|^2 (six Newton steps
// from 1.5, converged for s in [1, 3]) takes the tangents of the square root, ds / (2r).
template <typename T>
bool unit(const T* v, T* out) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    return math::robust_unit(v, out);
  } else {
    const double raw[3] = {v[0].v, v[1].v, v[2].v};
    double probe[3];
    if (!math::robust_unit(raw, probe)) return false;  // zero or non-finite
    const double ax = std::fabs(raw[0]), ay = std::fabs(raw[1]), az = std::fabs(raw[2]);
    double m = ax;
    if (ay > m) m = ay;
    if (az > m) m = az;
    const T a = v[0] / m, b = v[1] / m, c = v[2] / m;
    const T s = a * a + b * b + c * c;
    T r(math::newton_sqrt6(s.v));
    const double half_inverse = 0.5 / r.v;
    for (int j = 0; j < kColumns; ++j) r.d[j] = s.d[j] * half_inverse;
    out[0] = a / r;
    out[1] = b / r;
    out[2] = c / r;
    return true;
  }
}

// A cosine clamped into [0, 1]; a clamped value is constant (its derivative is 0).
template <typename T>
T clamp_cosine(const T& x) noexcept {
  if (value(x) > 1.0) return T(1.0);
  if (value(x) < 0.0) return T(0.0);
  return x;
}

// A curve value at cosine mu: its tangents are slope * dmu, plus, in the roughness column,
// the u-derivative divided by the width (d/droughness = (1/width) d/du).
template <typename T>
T curve_value(double v, double slope, double partial, const T& mu, double width) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    (void)slope, (void)partial, (void)mu, (void)width;
    return v;
  } else {
    T r(v);
    for (int j = 0; j < kColumns; ++j) r.d[j] = slope * mu.d[j];
    r.d[kRoughnessColumn] += partial / width;
    return r;
  }
}

template <typename T>
bool all_finite(const T* out) noexcept {
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(value(out[i]))) return false;
    if constexpr (!std::is_same_v<T, double>)
      for (int j = 0; j < kColumns; ++j)
        if (!std::isfinite(out[i].d[j])) return false;
  }
  return true;
}

// One point's state shared by its lights.
template <typename T>
struct PointState {
  T n[3], v[3], albedo[3], f0[3], roughness, mean0, mean1, ndotv;
  const double *curve, *partial;
  double width;
};

// Evaluates one pair into out[3]; false when it fails.
template <typename T>
bool shade(const PrincipledCurves& curves, const PointState<T>& p, const double* light_raw,
           T* out) noexcept {
  T l[3];
  const T light[3] = {parameter<T>(light_raw[0], 6), parameter<T>(light_raw[1], 7),
                      parameter<T>(light_raw[2], 8)};
  if (!unit(light, l)) return false;
  T ndotl = dot(p.n, l);
  if (!(value(p.ndotv) > 0.0) || !(value(ndotl) > 0.0)) {
    for (int i = 0; i < 3; ++i) out[i] = T(0.0);
    return true;
  }
  T h[3];
  const T sum[3] = {p.v[0] + l[0], p.v[1] + l[1], p.v[2] + l[2]};
  if (!unit(sum, h)) return false;
  // Unit vectors may come out an ulp longer than 1: the cosines are clamped into [0, 1].
  const T ndotv = clamp_cosine(p.ndotv);
  ndotl = clamp_cosine(ndotl);
  const T ndoth = clamp_cosine(dot(p.n, h));
  const T vdoth = clamp_cosine(dot(p.v, h));

  constexpr bool kValuesOnly = std::is_same_v<T, double>;
  const CurveSample sv = sample_curve<kValuesOnly>(curves.axis, p.curve, p.partial, value(ndotv));
  const CurveSample sl = sample_curve<kValuesOnly>(curves.axis, p.curve, p.partial, value(ndotl));
  const T e0v = curve_value(sv.value[0], sv.slope[0], sv.partial[0], ndotv, p.width);
  const T e1v = curve_value(sv.value[1], sv.slope[1], sv.partial[1], ndotv, p.width);
  const T e0l = curve_value(sl.value[0], sl.slope[0], sl.partial[0], ndotl, p.width);
  const T e1l = curve_value(sl.value[1], sl.slope[1], sl.partial[1], ndotl, p.width);

  const T a = p.roughness * p.roughness;
  const T a2 = a * a;
  const T lambda_l = sqrt(ndotl * ndotl * (1.0 - a2) + a2);
  const T lambda_v = sqrt(ndotv * ndotv * (1.0 - a2) + a2);
  const T dn = (1.0 - ndoth) * (1.0 + ndoth) + ndoth * ndoth * a2;
  const T specular = 0.5 / (lambda_v * ndotl + lambda_l * ndotv) * (a2 / (dn * dn) / kPi);
  const T f = 1.0 - vdoth;
  const T f5 = f * f * (f * f) * f;
  for (int i = 0; i < 3; ++i) {
    const T& f0 = p.f0[i];
    const T q = 1.0 - f0;
    const T fresnel = f5 * q + f0;
    const T diffuse = p.albedo[i] * (q * e0v + f0 * e1v) * (q * e0l + f0 * e1l) /
                      ((q * p.mean0 + f0 * p.mean1) * kPi);
    out[i] = diffuse + specular * fresnel;
  }
  return all_finite(out);
}

template <typename T>
bool forward(const PrincipledCurves& curves, const PrincipledPoints& pts, bool two_sided,
             double* output, double* jacobian) noexcept {
  const int64_t length = curve_row_length(curves.axis.nodes);
  for (int64_t p = 0; p < pts.points; ++p) {
    const int64_t g = curves.shared ? 0 : p;
    PointState<T> s;
    T normal[3], view[3];
    for (int k = 0; k < 3; ++k) {
      normal[k] = parameter<T>(pts.normal[p * 3 + k], k);
      view[k] = parameter<T>(pts.view[p * 3 + k], 3 + k);
      s.albedo[k] = parameter<T>(pts.albedo[p * 3 + k], 9 + k);
      s.f0[k] = parameter<T>(pts.f0[p * 3 + k], 13 + k);
    }
    if (!unit(normal, s.n) || !unit(view, s.v)) return false;
    if (two_sided && value(dot(s.n, s.v)) < 0.0)
      for (int k = 0; k < 3; ++k) s.n[k] = -s.n[k];
    s.ndotv = dot(s.n, s.v);
    s.roughness = parameter<T>(pts.roughness[p], kRoughnessColumn);
    s.width = curves.width[g];
    s.mean0 = curve_value(curves.mean[g * 4], 0.0, curves.mean[g * 4 + 2], T(0.0), s.width);
    s.mean1 = curve_value(curves.mean[g * 4 + 1], 0.0, curves.mean[g * 4 + 3], T(0.0), s.width);
    s.curve = curves.curve + g * length;
    s.partial = curves.partial + g * length;
    for (int64_t l = 0; l < pts.lights; ++l) {
      const int64_t pair = p * pts.lights + l;
      T out[3];
      if (!shade(curves, s, pts.light + pair * 3, out)) return false;
      for (int i = 0; i < 3; ++i) {
        output[pair * 3 + i] = value(out[i]);
        if constexpr (!std::is_same_v<T, double>)
          for (int j = 0; j < kColumns; ++j) jacobian[(pair * 3 + i) * kColumns + j] = out[i].d[j];
      }
    }
  }
  return true;
}

}  // namespace

bool principled_forward(const PrincipledCurves& curves, const PrincipledPoints& points,
                        bool two_sided, double* output, double* jacobian) noexcept {
  return jacobian != nullptr ? forward<Tangents>(curves, points, two_sided, output, jacobian)
                             : forward<double>(curves, points, two_sided, output, nullptr);
}

PrincipledVjpFault principled_vjp(const double* jacobian, const double* gradient, int64_t points,
                                  int64_t lights, double* scratch, double* point_gradient,
                                  double* light_gradient) noexcept {
  auto term = [&](int64_t pair, int column) {
    const double* j = jacobian + pair * 3 * kColumns + column;
    const double* g = gradient + pair * 3;
    return (j[0] * g[0] + j[kColumns] * g[1]) + j[2 * kColumns] * g[2];
  };
  for (int64_t p = 0; p < points; ++p) {
    for (int column = 0; column < kColumns; ++column) {
      double sum = 0.0;
      if (column < kLightColumn || column >= kLightColumn + 3) {
        for (int64_t l = 0; l < lights; ++l) scratch[l] = term(p * lights + l, column);
        sum = math::pairwise_sum_inplace(scratch, static_cast<std::size_t>(lights));
      }
      if (!std::isfinite(sum)) return PrincipledVjpFault::kPoint;
      point_gradient[p * kColumns + column] = sum;
    }
  }
  for (int64_t pair = 0; pair < points * lights; ++pair) {
    for (int m = 0; m < 3; ++m) {
      const double g = term(pair, kLightColumn + m);
      if (!std::isfinite(g)) return PrincipledVjpFault::kLight;
      light_gradient[pair * 3 + m] = g;
    }
  }
  return PrincipledVjpFault::kNone;
}

}  // namespace vrel::shading
