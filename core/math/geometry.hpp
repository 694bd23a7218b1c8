// Small vector arithmetic and the per-face quantities that the mesh kernels share. Operand orders
// are fixed (results are reproducible to the last bit), so the helpers spell them out.
#pragma once

#include <cmath>
#include <cstdint>

namespace vrel::math {

template <typename T>
struct Vec3 {
  T x, y, z;
};

template <typename T>
inline Vec3<T> load3(const T* data, int64_t row) noexcept {
  const T* p = data + 3 * row;
  return {p[0], p[1], p[2]};
}
template <typename T>
inline void store3(T* data, int64_t row, Vec3<T> v) noexcept {
  T* p = data + 3 * row;
  p[0] = v.x;
  p[1] = v.y;
  p[2] = v.z;
}
template <typename T>
inline void add3(T* data, int64_t row, Vec3<T> v) noexcept {
  T* p = data + 3 * row;
  p[0] += v.x;
  p[1] += v.y;
  p[2] += v.z;
}
template <typename T>
inline void sub3(T* data, int64_t row, Vec3<T> v) noexcept {
  T* p = data + 3 * row;
  p[0] -= v.x;
  p[1] -= v.y;
  p[2] -= v.z;
}

template <typename T>
inline Vec3<T> operator+(Vec3<T> a, Vec3<T> b) noexcept {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <typename T>
inline Vec3<T> operator-(Vec3<T> a, Vec3<T> b) noexcept {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <typename T>
inline Vec3<T> operator*(Vec3<T> a, T s) noexcept {
  return {a.x * s, a.y * s, a.z * s};
}
template <typename T>
inline Vec3<T> operator/(Vec3<T> a, T s) noexcept {
  return {a.x / s, a.y / s, a.z / s};
}

template <typename T>
inline Vec3<T> cross(Vec3<T> a, Vec3<T> b) noexcept {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// sqrt((x^2 + y^2) + z^2), in T.
template <typename T>
inline T length(Vec3<T> v) noexcept {
  return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

template <typename T>
inline Vec3<double> widen(Vec3<T> v) noexcept {
  return {static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z)};
}

// One triangle: corner rows, edges e1 = p1 - p0 and e2 = p2 - p0, n = e1 x e2 and L = |n|.
template <typename T>
struct Triangle {
  int32_t i0, i1, i2;
  Vec3<T> e1, e2, n;
  T length;

  // The face counts when eps < L, compared in double; a NaN L never counts.
  bool valid(double eps) const noexcept { return eps < static_cast<double>(length); }
};

template <typename T>
inline Triangle<T> triangle(const T* vertices, const int32_t* faces, int64_t face) noexcept {
  Triangle<T> t;
  t.i0 = faces[3 * face];
  t.i1 = faces[3 * face + 1];
  t.i2 = faces[3 * face + 2];
  const Vec3<T> p0 = load3(vertices, t.i0);
  t.e1 = load3(vertices, t.i1) - p0;
  t.e2 = load3(vertices, t.i2) - p0;
  t.n = cross(t.e1, t.e2);
  t.length = length(t.n);
  return t;
}

// The vector-Jacobian product of n = e1 x e2 for a cotangent G on n: corner i1 gains e2 x G,
// corner i2 gains G x e1 and corner i0 loses their sum (formed before the subtraction).
template <typename T>
inline void scatter_normal_cotangent(const Triangle<T>& t, Vec3<T> g, T* grad) noexcept {
  const Vec3<T> d1 = cross(t.e2, g);
  const Vec3<T> d2 = cross(g, t.e1);
  add3(grad, t.i1, d1);
  add3(grad, t.i2, d2);
  sub3(grad, t.i0, d2 + d1);
}

}  // namespace vrel::math
