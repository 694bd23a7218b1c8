// Exact convex-polygon geometry on dual numbers, shared by every opaque renderer operation.
//
// Every quantity is a DualValue (value, derivative with respect to one seeded coordinate), so
// one evaluation yields a result and its exact first derivative. Polygons are convex, clipped by
// closed half-planes (Sutherland-Hodgman), and live in fixed-size records so that a caller's
// workspace holds them; the clip budget bounds the work of one evaluation. Nothing here knows
// about pixels, triangles or descriptors.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vrel::opaque {

// A value and its derivative with respect to the seeded coordinate; first-order rules.
struct DualValue {
  double v = 0;
  double d = 0;
};

inline DualValue operator+(DualValue a, DualValue b) noexcept { return {a.v + b.v, a.d + b.d}; }
inline DualValue operator-(DualValue a, DualValue b) noexcept { return {a.v - b.v, a.d - b.d}; }
inline DualValue operator-(DualValue a) noexcept { return {-a.v, -a.d}; }
inline DualValue operator*(DualValue a, DualValue b) noexcept {
  return {a.v * b.v, a.d * b.v + a.v * b.d};
}
inline DualValue operator/(DualValue a, DualValue b) noexcept {
  return {a.v / b.v, (a.d * b.v - a.v * b.d) / (b.v * b.v)};
}
// Product with a constant (no derivative of its own).
inline DualValue scaled(DualValue a, double k) noexcept { return {a.v * k, a.d * k}; }
inline DualValue& operator+=(DualValue& a, DualValue b) noexcept { return a = a + b; }

inline bool is_finite(DualValue a) noexcept { return std::isfinite(a.v) && std::isfinite(a.d); }
inline bool same_value(DualValue a, DualValue b) noexcept { return a.v == b.v && a.d == b.d; }

// A value with N derivatives, one per seeded coordinate: each lane follows exactly the operations
// of a DualValue seeded with that coordinate, so one evaluation gives N derivatives bit for bit
// equal to N seeded evaluations (the control flow depends on values only, except where two
// points coincide in value).
template <int N>
struct Tangents {
  double v = 0;
  double d[N] = {};
};

template <int N>
inline Tangents<N> operator+(const Tangents<N>& a, const Tangents<N>& b) noexcept {
  Tangents<N> r;
  r.v = a.v + b.v;
  for (int l = 0; l < N; ++l) r.d[l] = a.d[l] + b.d[l];
  return r;
}
template <int N>
inline Tangents<N> operator-(const Tangents<N>& a, const Tangents<N>& b) noexcept {
  Tangents<N> r;
  r.v = a.v - b.v;
  for (int l = 0; l < N; ++l) r.d[l] = a.d[l] - b.d[l];
  return r;
}
template <int N>
inline Tangents<N> operator-(const Tangents<N>& a) noexcept {
  Tangents<N> r;
  r.v = -a.v;
  for (int l = 0; l < N; ++l) r.d[l] = -a.d[l];
  return r;
}
template <int N>
inline Tangents<N> operator*(const Tangents<N>& a, const Tangents<N>& b) noexcept {
  Tangents<N> r;
  r.v = a.v * b.v;
  for (int l = 0; l < N; ++l) r.d[l] = a.d[l] * b.v + a.v * b.d[l];
  return r;
}
template <int N>
inline Tangents<N> operator/(const Tangents<N>& a, const Tangents<N>& b) noexcept {
  Tangents<N> r;
  r.v = a.v / b.v;
  const double denominator = b.v * b.v;
  for (int l = 0; l < N; ++l) r.d[l] = (a.d[l] * b.v - a.v * b.d[l]) / denominator;
  return r;
}
template <int N>
inline Tangents<N> scaled(const Tangents<N>& a, double k) noexcept {
  Tangents<N> r;
  r.v = a.v * k;
  for (int l = 0; l < N; ++l) r.d[l] = a.d[l] * k;
  return r;
}
template <int N>
inline Tangents<N>& operator+=(Tangents<N>& a, const Tangents<N>& b) noexcept {
  return a = a + b;
}
template <int N>
inline bool is_finite(const Tangents<N>& a) noexcept {
  bool finite = std::isfinite(a.v);
  for (int l = 0; l < N; ++l) finite = finite && std::isfinite(a.d[l]);
  return finite;
}
template <int N>
inline bool same_value(const Tangents<N>& a, const Tangents<N>& b) noexcept {
  bool same = a.v == b.v;
  for (int l = 0; l < N; ++l) same = same && a.d[l] == b.d[l];
  return same;
}

// Everything below is written once for a number type D: DualValue (the records of the workspace)
// or Tangents<N>.

// A closed half-plane: (x, y) is inside when a*x + b*y + c >= 0.
template <typename D>
struct HalfPlaneOf {
  D a, b, c;
};
using HalfPlane = HalfPlaneOf<DualValue>;

// The closed outside of `h` (all its numbers negated).
template <typename D>
inline HalfPlaneOf<D> negated(const HalfPlaneOf<D>& h) noexcept {
  return {-h.a, -h.b, -h.c};
}

// A polygon vertex; as a DualValue, laid out as x, dx, y, dy.
template <typename D>
struct PointOf {
  D x, y;
};
using ClipPoint = PointOf<DualValue>;

// Equal in every number (value and derivatives).
template <typename D>
inline bool same_point(const PointOf<D>& p, const PointOf<D>& q) noexcept {
  return same_value(p.x, q.x) && same_value(p.y, q.y);
}

template <typename D>
inline D evaluate(const HalfPlaneOf<D>& h, const PointOf<D>& p) noexcept {
  return h.a * p.x + h.b * p.y + h.c;
}

inline constexpr int32_t kPolygonCapacity = 64;
inline constexpr int32_t kBankCapacity = 128;
inline constexpr int32_t kStepBudget = 2000000;
inline constexpr int32_t kNoLine = -1;

// A convex polygon of at most 64 vertices; fewer than 3 is empty. `provenance[i]` is the clip
// line that created vertex i (kNoLine when none).
template <typename D>
struct PolygonOf {
  int32_t count;
  int32_t reserved;
  PointOf<D> points[kPolygonCapacity];
  int32_t provenance[kPolygonCapacity];
};
using ClipPolygon = PolygonOf<DualValue>;
static_assert(sizeof(ClipPolygon) == 2312, "ClipPolygon is a fixed 2,312-byte workspace record");

template <typename D>
inline bool is_empty(const PolygonOf<D>& p) noexcept {
  return p.count < 3;
}

// The work state of one evaluation: a clip step per half-plane evaluation at a vertex (and per
// vertex of a separation test). Running out, overfilling a polygon or a bank, or a non-finite
// result sets `overflow`, after which every clip gives an empty result.
struct ClipBudget {
  int32_t overflow = 0;
  int32_t steps = 0;

  // Takes one step; false (and the overflow flag) when the budget is spent.
  bool step() noexcept {
    if (steps >= kStepBudget) {
      overflow = 1;
      return false;
    }
    ++steps;
    return true;
  }
};

// Copies the used part of a polygon.
template <typename D>
inline void copy_polygon(PolygonOf<D>& to, const PolygonOf<D>& from) noexcept {
  to.count = from.count;
  for (int32_t i = 0; i < from.count; ++i) {
    to.points[i] = from.points[i];
    to.provenance[i] = from.provenance[i];
  }
}

// The unit square (0,0), (1,0), (1,1), (0,1) with zero derivatives.
template <typename D>
inline void unit_square(PolygonOf<D>& p) noexcept {
  p.count = 4;
  const double xs[4] = {0, 1, 1, 0};
  const double ys[4] = {0, 0, 1, 1};
  for (int i = 0; i < 4; ++i) {
    p.points[i] = {};
    p.points[i].x.v = xs[i];
    p.points[i].y.v = ys[i];
    p.provenance[i] = kNoLine;
  }
}

// What a polygon's provenance entries record: kVertex, the line that created each vertex; kSide,
// the line that side (i, i+1) lies on (kNoLine for a side that lies on none), which the
// quadrature's cut cells use to tell which of their sides lie on a cut.
enum class Provenance { kVertex, kSide };

// `out` = `in` clipped by `h` (they must be distinct records). Crossing points interpolate from
// the endpoint whose half-plane value is smaller in magnitude, so a vertex on the line is
// reproduced exactly. Provenance, by `Record`: kVertex, crossing points record `line`; kSide,
// each part of a side keeps the side's line, the new side along `h` takes `line`, and when a
// point repeats the one before it the side leaving the pair is the later one's, so its line is
// kept. The points are the same either way.
template <Provenance Record = Provenance::kVertex, typename D>
inline void clip(const PolygonOf<D>& in, const HalfPlaneOf<D>& h, ClipBudget& budget,
                 PolygonOf<D>& out, int32_t line = kNoLine) noexcept {
  constexpr bool sides = Record == Provenance::kSide;
  out.count = 0;
  const int32_t n = in.count;
  if (n < 3 || budget.overflow) return;
  int32_t count = 0;
  auto emit = [&](const PointOf<D>& p, int32_t provenance) -> bool {
    if (count > 0 && same_point(out.points[count - 1], p)) {
      if constexpr (sides) out.provenance[count - 1] = provenance;
      return true;
    }
    if (count == kPolygonCapacity) {
      budget.overflow = 1;
      return false;
    }
    out.points[count] = p;
    out.provenance[count] = provenance;
    ++count;
    return true;
  };
  if (!budget.step()) return;
  const D s_last = evaluate(h, in.points[n - 1]);
  D s_prev = s_last;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t before = i == 0 ? n - 1 : i - 1;
    const PointOf<D>& prev = in.points[before];
    const PointOf<D>& cur = in.points[i];
    D s_cur = s_last;
    if (i != n - 1) {
      if (!budget.step()) return;
      s_cur = evaluate(h, cur);
    }
    const bool prev_in = s_prev.v >= 0;
    const bool cur_in = s_cur.v >= 0;
    if (prev_in != cur_in) {
      PointOf<D> p;
      if (std::fabs(s_cur.v) < std::fabs(s_prev.v)) {
        const D t = s_cur / (s_cur - s_prev);
        p = {cur.x + (prev.x - cur.x) * t, cur.y + (prev.y - cur.y) * t};
      } else {
        const D t = s_prev / (s_prev - s_cur);
        p = {prev.x + (cur.x - prev.x) * t, prev.y + (cur.y - prev.y) * t};
      }
      // Side provenance: leaving, the next side runs along `h`; entering, along (prev, cur).
      if (!emit(p, !sides || prev_in ? line : in.provenance[before])) return;
    }
    if (cur_in && !emit(cur, in.provenance[i])) return;
    s_prev = s_cur;
  }
  if (count > 1 && same_point(out.points[0], out.points[count - 1])) --count;
  out.count = count < 3 ? 0 : count;
}

// Unsigned area by a fan from vertex 0; (0, 0) when empty.
template <typename D>
inline D area(const PolygonOf<D>& p) noexcept {
  if (p.count < 3) return {};
  const PointOf<D>& o = p.points[0];
  D sum{};
  for (int32_t i = 1; i + 1 < p.count; ++i) {
    const D ax = p.points[i].x - o.x, ay = p.points[i].y - o.y;
    const D bx = p.points[i + 1].x - o.x, by = p.points[i + 1].y - o.y;
    sum += ax * by - ay * bx;
  }
  if (sum.v < 0) sum = -sum;
  return scaled(sum, 0.5);
}

// Area and first moments (integrals of x and y) of a polygon, by the shoelace sums.
template <typename D>
struct MomentsOf {
  D area, mx, my;
};
using Moments = MomentsOf<DualValue>;

template <typename D>
inline MomentsOf<D> moments(const PolygonOf<D>& p) noexcept {
  D s{}, sx{}, sy{};
  for (int32_t i = 0; i < p.count; ++i) {
    const PointOf<D>& a = p.points[i];
    const PointOf<D>& b = p.points[i + 1 == p.count ? 0 : i + 1];
    const D cross = a.x * b.y - a.y * b.x;
    s += cross;
    sx += cross * (a.x + b.x);
    sy += cross * (a.y + b.y);
  }
  if (s.v < 0) {
    s = -s;
    sx = -sx;
    sy = -sy;
  }
  return {scaled(s, 0.5), scaled(sx, 1.0 / 6.0), scaled(sy, 1.0 / 6.0)};
}

// The next representable double above x (x itself for +inf and NaN).
inline double next_up(double x) noexcept {
  if (!(x < std::numeric_limits<double>::infinity())) return x;
  if (x == 0) return std::numeric_limits<double>::denorm_min();
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  return std::bit_cast<double>(x > 0 ? bits + 1 : bits - 1);
}

// The sign of the orientation (xq - xp)(yr - yp) - (xr - xp)(yq - yp) of r against the line
// p->q when rounding cannot have changed it (+1 or -1), else 0: the computed value must exceed
// (3 + 16 eps) eps times the sum of the two products' magnitudes (eps = 2^-53), the error bound
// of this expression in double arithmetic.
inline int certain_orientation(double xp, double yp, double xq, double yq, double xr,
                               double yr) noexcept {
  const double left = (xq - xp) * (yr - yp);
  const double right = (xr - xp) * (yq - yp);
  const double det = left - right;
  const double bound = 3.3306690738754716e-16 * (std::fabs(left) + std::fabs(right));
  return det > bound ? 1 : (-det > bound ? -1 : 0);
}

// True when `h` certainly excludes every vertex of `p`: an upper bound of a*x + b*y + c, with
// each product and sum rounded one step up, is below 0 at each vertex. One step per vertex
// tested; false as soon as one vertex may be inside (or the budget runs out).
template <typename D>
inline bool certainly_excludes(const HalfPlaneOf<D>& h, const PolygonOf<D>& p,
                               ClipBudget& budget) noexcept {
  if (p.count < 1) return false;
  for (int32_t i = 0; i < p.count; ++i) {
    if (!budget.step()) return false;
    const double ax = next_up(h.a.v * p.points[i].x.v);
    const double by = next_up(h.b.v * p.points[i].y.v);
    const double bound = next_up(next_up(ax + by) + h.c.v);
    if (!(bound < 0)) return false;
  }
  return true;
}

// A bank of pieces in caller memory: kBankCapacity DualValue polygons in the workspace; a
// Tangents bank may hold fewer (its evaluation then reports overflow and the caller falls back).
template <typename D>
struct BankOf {
  PolygonOf<D>* pieces;
  int32_t count;
  int32_t capacity;
};

}  // namespace vrel::opaque
