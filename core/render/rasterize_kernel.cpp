#include "render/rasterize_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vrel::render {

namespace {

constexpr double kRelativeTolerance = 0x1p-44;
// Leaves of the traversal: rectangles of at most this many rows and columns are visited.
constexpr int64_t kLeafSize = 32;
// Depth-first halving keeps one pending sibling per level. A dimension of n < 2^63 pixels is
// halved at most 63 times, so at most 126 levels stack up over the five rectangles the traversal
// starts from.
constexpr int kStackCapacity = 136;

// Rectangle of local pixel indices (inclusive bounds).
struct Tile {
  int64_t i0, i1, j0, j1;
};

// cross(A - q, B - q) at the four corners: +1 when all exceed 2 tol, -1 when all are below
// -2 tol, else 0.
int edge_side(double ax, double ay, double bx, double by, const CentreRect& r,
              double twice_tol) noexcept {
  const double xs[2] = {r.c0, r.c1};
  const double ys[2] = {r.r0, r.r1};
  bool all_pos = true, all_neg = true;
  for (double qy : ys) {
    for (double qx : xs) {
      const double v = (ax - qx) * (by - qy) - (ay - qy) * (bx - qx);
      all_pos = all_pos && v > twice_tol;
      all_neg = all_neg && v < -twice_tol;
    }
  }
  return all_pos ? 1 : (all_neg ? -1 : 0);
}

// Index of the first layer of a pixel in the [.., K] arrays.
template <typename T>
struct Target {
  int32_t* face;
  T* bary;
  T* depth;
  T* sd;
  int64_t layers;

  // Number of occupied layers whose stored depth is <= z, z as stored in T.
  int64_t slot(T z) const noexcept {
    int64_t n = 0;
    for (int64_t k = 0; k < layers; ++k) n += (face[k] >= 0 && depth[k] <= z) ? 1 : 0;
    return n;
  }

  void insert(int64_t slot, int32_t f, const Fragment& frag, T z) const noexcept {
    for (int64_t k = layers - 1; k > slot; --k) {
      face[k] = face[k - 1];
      depth[k] = depth[k - 1];
      sd[k] = sd[k - 1];
      bary[3 * k] = bary[3 * k - 3];
      bary[3 * k + 1] = bary[3 * k - 2];
      bary[3 * k + 2] = bary[3 * k - 1];
    }
    face[slot] = f;
    depth[slot] = z;
    sd[slot] = static_cast<T>(frag.inside ? -frag.d : frag.d);
    bary[3 * slot] = static_cast<T>(frag.b[0]);
    bary[3 * slot + 1] = static_cast<T>(frag.b[1]);
    bary[3 * slot + 2] = static_cast<T>(frag.b[2]);
  }
};

template <typename T>
class FaceRaster {
 public:
  FaceRaster(const RasterProblem<T>& p, int64_t element) noexcept
      : p_(p), base_(element * p.height * p.width) {}

  void run(int32_t f, const ScreenFace& screen) noexcept {
    // A local copy, which the stores to the outputs cannot alias.
    const ScreenFace face = screen;
    const double tol = rejection_tolerance(face, static_cast<double>(p_.global_width),
                                           static_cast<double>(p_.global_height));
    if (face_rejected(face, tol)) return;
    const double stray = inside_stray(face, tol);
    const EdgeLimits limits = edge_limits(face, p_.rule.blur, tol);
    Tile stack[kStackCapacity];
    int top = 0;
    seed(face, stack, &top);
    while (top > 0) {
      const Tile t = stack[--top];
      const CentreRect r = centres(t);
      // Beyond the box every pixel is rejected unless it tests inside; the stray bound or the
      // edge test proves that it cannot.
      const double gap = face.guard ? rectangle_gap(face, r) : 0.0;
      const bool beyond_box = face.guard && gap_rejects(gap, p_.rule.blur2);
      if (beyond_box && (gap > stray || edges_separate(face, r, tol))) continue;
      const int64_t rows = t.i1 - t.i0 + 1;
      const int64_t cols = t.j1 - t.j0 + 1;
      // Leaves hold at most 32 x 32 pixels. A rectangle beyond the box that the edge test could
      // not reject (two edge lines cross it near a corner of the face) is halved further, down
      // to single pixels, so that only the pixels near those lines reach the rule.
      if (rows > kLeafSize || cols > kLeafSize || (beyond_box && (rows > 1 || cols > 1))) {
        if (rows >= cols) {
          const int64_t mid = t.i0 + (rows - 1) / 2;
          stack[top++] = {mid + 1, t.i1, t.j0, t.j1};
          stack[top++] = {t.i0, mid, t.j0, t.j1};
        } else {
          const int64_t mid = t.j0 + (cols - 1) / 2;
          stack[top++] = {t.i0, t.i1, mid + 1, t.j1};
          stack[top++] = {t.i0, t.i1, t.j0, mid};
        }
        continue;
      }
      visit(f, face, limits, t);
    }
  }

 private:
  CentreRect centres(const Tile& t) const noexcept {
    return {static_cast<double>(p_.column_offset + t.j0) + 0.5,
            static_cast<double>(p_.column_offset + t.j1) + 0.5,
            static_cast<double>(p_.row_offset + t.i0) + 0.5,
            static_cast<double>(p_.row_offset + t.i1) + 0.5};
  }

  // A face that the rule rejects at every pixel of the window, judged from its area: within the
  // guard the area computed at any pixel centre differs from the one computed at the origin by
  // less than m^2 * 2^-44 (m as for the rectangle test).
  bool face_rejected(const ScreenFace& face, double tol) const noexcept {
    if (!face.guard) return false;
    const double area = edge_functions(face.cx, face.cy, 0, 0).area;
    if (std::fabs(area) + 2 * tol <= p_.rule.eps * (1 - 0x1p-30)) return true;
    if (p_.rule.cull == kCullBack && area >= tol) return true;
    if (p_.rule.cull == kCullFront && area <= -tol) return true;
    return false;
  }

  // The traversal starts from the window cut into the rectangle of rows and columns near the
  // face's screen box and the four bands around it; the bands are still judged by the
  // rectangle test, so the cut only saves halving steps.
  void seed(const ScreenFace& face, Tile* stack, int* top) const noexcept {
    const Tile window{0, p_.height - 1, 0, p_.width - 1};
    if (!face.guard) {
      stack[(*top)++] = window;
      return;
    }
    const double reach = p_.rule.blur + 2 * kBoxMargin;
    const auto lower = [](double v, int64_t n) {
      return static_cast<int64_t>(std::fmin(std::fmax(std::ceil(v), 0.0), static_cast<double>(n)));
    };
    const auto upper = [](double v, int64_t n) {
      return static_cast<int64_t>(
          std::fmin(std::fmax(std::floor(v), -1.0), static_cast<double>(n - 1)));
    };
    const double r0 = static_cast<double>(p_.row_offset) + 0.5;
    const double c0 = static_cast<double>(p_.column_offset) + 0.5;
    const int64_t i_lo = lower(face.min_y - reach - r0, p_.height);
    const int64_t i_hi = upper(face.max_y + reach - r0, p_.height);
    const int64_t j_lo = lower(face.min_x - reach - c0, p_.width);
    const int64_t j_hi = upper(face.max_x + reach - c0, p_.width);
    if (i_lo > i_hi || j_lo > j_hi) {
      stack[(*top)++] = window;
      return;
    }
    if (i_lo > 0) stack[(*top)++] = {0, i_lo - 1, 0, p_.width - 1};
    if (i_hi < p_.height - 1) stack[(*top)++] = {i_hi + 1, p_.height - 1, 0, p_.width - 1};
    if (j_lo > 0) stack[(*top)++] = {i_lo, i_hi, 0, j_lo - 1};
    if (j_hi < p_.width - 1) stack[(*top)++] = {i_lo, i_hi, j_hi + 1, p_.width - 1};
    stack[(*top)++] = {i_lo, i_hi, j_lo, j_hi};
  }

  // The pixels of a leaf that reach the rule: in each row, the interval that the edge limits
  // keep. A first pass finds the intervals and requests their layers from memory, which the rule
  // then reads and updates in a second pass (the layers of a pixel span up to 8 cache lines for
  // K = 8, and faces arrive in no spatial order).
  void visit(int32_t f, const ScreenFace& face, const EdgeLimits& limits,
             const Tile& t) const noexcept {
    const int64_t rows = t.i1 - t.i0 + 1;
    int64_t first[kLeafSize], last[kLeafSize];
    for (int64_t r = 0; r < rows; ++r) {
      first[r] = t.j0;
      last[r] = t.j1;
      if (limits.enabled) kept_interval(limits, t.i0 + r, &first[r], &last[r]);
      const int64_t row = base_ + (t.i0 + r) * p_.width;
      if (first[r] <= last[r]) prefetch_layers(row + first[r], row + last[r]);
    }
    const int64_t K = p_.layers;
    for (int64_t r = 0; r < rows; ++r) {
      const int64_t i = t.i0 + r;
      const double py = static_cast<double>(p_.row_offset + i) + 0.5;
      const int64_t row = base_ + i * p_.width;
      for (int64_t j = first[r]; j <= last[r]; ++j) {
        const double px = static_cast<double>(p_.column_offset + j) + 0.5;
        const int64_t pixel = (row + j) * K;
        const Target<T> target{p_.face_index + pixel, p_.barycentric + 3 * pixel, p_.depth + pixel,
                               p_.signed_distance + pixel, K};
        int64_t slot = K;
        T stored = 0;
        const auto admits = [&](double z) {
          stored = static_cast<T>(z);
          slot = target.slot(stored);
          return slot < K;
        };
        Fragment frag;
        if (pixel_fragment(face, p_.rule, px, py, admits, &frag))
          target.insert(slot, f, frag, stored);
      }
    }
  }

  // Narrows the columns *lo..*hi of row i to those that every edge keeps (empty: *lo > *hi).
  // Each edge's value is monotone in the column, so bisection finds its end of the interval.
  void kept_interval(const EdgeLimits& l, int64_t i, int64_t* lo, int64_t* hi) const noexcept {
    const double py = static_cast<double>(p_.row_offset + i) + 0.5;
    for (int k = 0; k < 3 && *lo <= *hi; ++k) {
      const double row_part = edge_row_part(l, k, py);
      const auto keeps = [&](int64_t j) {
        return edge_keeps(l, k, row_part, static_cast<double>(p_.column_offset + j) + 0.5);
      };
      if (l.x[k] > 0) {  // kept from some column on: the first kept one, or *hi + 1
        int64_t a = *lo, b = *hi + 1;
        while (a < b) {
          const int64_t mid = a + (b - a) / 2;
          if (keeps(mid))
            b = mid;
          else
            a = mid + 1;
        }
        *lo = a;
      } else if (l.x[k] < 0) {  // kept up to some column: the last kept one, or *lo - 1
        int64_t a = *lo - 1, b = *hi;
        while (a < b) {
          const int64_t mid = b - (b - a) / 2;
          if (keeps(mid))
            a = mid;
          else
            b = mid - 1;
        }
        *hi = a;
      } else if (!keeps(*lo)) {  // the same value across the row
        *hi = *lo - 1;
      }
    }
  }

  // Requests the cache lines of the layers of pixels first..last (element-relative pixel
  // numbers of the batch; a hint only).
  void prefetch_layers(int64_t first, int64_t last) const noexcept {
    const int64_t K = p_.layers;
    const auto lines = [](const void* begin, const void* end) {
      const auto last_byte = reinterpret_cast<uintptr_t>(end) - 1;
      for (auto a = reinterpret_cast<uintptr_t>(begin) & ~uintptr_t{63}; a <= last_byte; a += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(a), 1);
    };
    lines(p_.face_index + first * K, p_.face_index + (last + 1) * K);
    lines(p_.depth + first * K, p_.depth + (last + 1) * K);
    lines(p_.signed_distance + first * K, p_.signed_distance + (last + 1) * K);
    lines(p_.barycentric + 3 * first * K, p_.barycentric + 3 * (last + 1) * K);
  }

  const RasterProblem<T>& p_;
  int64_t base_;  // first pixel of the batch element
};

}  // namespace

double rejection_tolerance(const ScreenFace& face, double global_width,
                           double global_height) noexcept {
  double m = std::fmax(1.0, std::fmax(global_width, global_height));
  m = std::fmax(m, std::fmax(std::fabs(face.min_x), std::fabs(face.max_x)));
  m = std::fmax(m, std::fmax(std::fabs(face.min_y), std::fabs(face.max_y)));
  return m * m * kRelativeTolerance;
}

double inside_stray(const ScreenFace& face, double tolerance) noexcept {
  if (!face.guard) return std::numeric_limits<double>::infinity();
  // |A - A*| < tol for the area A computed at the origin and the exact area A*.
  const double area = std::fabs(edge_functions(face.cx, face.cy, 0, 0).area);
  if (!(area >= 4 * tolerance)) return std::numeric_limits<double>::infinity();
  // Edge functions computed at a pixel centre are within e = 33 m^2 2^-53 of the exact ones,
  // and the area's computed sign is that of A*. A pixel that tests inside therefore has exact
  // barycentrics b_k >= -beta with beta = e / |A*|, which puts it at most 2 beta S beyond the
  // box (S its longer side). The constants below double e and the bound and add a slack for
  // the rounding of the gap itself.
  const double m2 = tolerance * 0x1p44;
  const double beta = m2 * 0x1p-47 / (area - tolerance);
  const double side = std::fmax(face.max_x - face.min_x, face.max_y - face.min_y);
  return 4 * beta * side + std::sqrt(m2) * 0x1p-45;
}

EdgeLimits edge_limits(const ScreenFace& face, double blur, double tolerance) noexcept {
  EdgeLimits l{};
  if (!face.guard) return l;
  const double area = edge_functions(face.cx, face.cy, 0, 0).area;
  if (!(std::fabs(area) >= 4 * tolerance)) return l;
  // Why a pixel p whose value v_k is at most -limit[k] is rejected (u = 2^-53, m and tol as for
  // the rectangle test, L_k the exact length of the edge, w*_k the exact edge function):
  // - Coordinates, px and py are at most m in magnitude, so c_k errs by at most 4 m^2 u, each
  //   product by 4 m^2 u (its factor's error and its own rounding) and the two sums add 4 and
  //   6 m^2 u: |v_k - sign * w*_k| < 23 m^2 u < tol. The exact area has the sign of the one
  //   computed at the origin, so sign * w*_k <= -(limit[k] - tol) < 0: p lies strictly beyond
  //   the line of that edge while the whole face lies on the other side. w*_k is affine in p
  //   with gradient length L_k, so every point of the face is at least
  //   D = (limit[k] - tol) / L_k >= blur (1 + 2^-40) + m 2^-45 from p.
  // - The rule's own w_k and area (each within tol of the exact one) are then nonzero and of
  //   opposite signs, so p tests outside. Its nearest-edge distance computes a point c + t (c' -
  //   c), t in [0, 1], within m 2^-49.5 of a point of the segment, and the squared distance to p
  //   with a relative error below 4u (nothing relevant underflows: the result exceeds 2^-93). So
  //   the computed d exceeds (blur (1 + 2^-40) + m 2^-46)^2 (1 - 4u), which exceeds blur2 =
  //   fl(blur^2) (and 0 for a zero blur): the rule rejects p whether or not the box gap does.
  // All terms of limit[k] are positive, so their dozen roundings lower it by less than a factor
  // 1 - 2^-48, which the final factor 1 + 2^-30 more than restores.
  const double sign = area > 0 ? 1 : -1;
  const double m = std::sqrt(tolerance * 0x1p44);
  const double reach = (blur + m * 0x1p-45) * (1 + 0x1p-40);
  for (int k = 0; k < 3; ++k) {
    const int a = k == 2 ? 0 : k + 1;
    const int b = a == 2 ? 0 : a + 1;
    l.c[k] = sign * (face.cx[a] * face.cy[b] - face.cy[a] * face.cx[b]);
    l.x[k] = sign * (face.cy[a] - face.cy[b]);
    l.y[k] = sign * (face.cx[b] - face.cx[a]);
    const double ex = face.cx[b] - face.cx[a];
    const double ey = face.cy[b] - face.cy[a];
    const double length = std::sqrt(ex * ex + ey * ey) * (1 + 0x1p-40);
    l.limit[k] = (2 * tolerance + reach * length) * (1 + 0x1p-30);
  }
  l.enabled = true;
  return l;
}

double rectangle_gap(const ScreenFace& face, const CentreRect& rect) noexcept {
  double gap = 0;
  gap = larger(gap, rect.c0 - face.max_x);
  gap = larger(gap, face.min_x - rect.c1);
  gap = larger(gap, rect.r0 - face.max_y);
  gap = larger(gap, face.min_y - rect.r1);
  return gap;
}

bool edges_separate(const ScreenFace& face, const CentreRect& rect, double tolerance) noexcept {
  bool positive = false, negative = false;
  for (int e = 0; e < 3; ++e) {
    const int n = e == 2 ? 0 : e + 1;
    const int side = edge_side(face.cx[e], face.cy[e], face.cx[n], face.cy[n], rect, 2 * tolerance);
    positive = positive || side > 0;
    negative = negative || side < 0;
  }
  return positive && negative;
}

bool rectangle_rejected(const ScreenFace& face, const CentreRect& rect, double blur2,
                        double tolerance) noexcept {
  return face.guard && gap_rejects(rectangle_gap(face, rect), blur2) &&
         edges_separate(face, rect, tolerance);
}

bool rectangle_skipped(const ScreenFace& face, const CentreRect& rect, double blur2,
                       double tolerance) noexcept {
  if (!face.guard) return false;
  const double gap = rectangle_gap(face, rect);
  return gap_rejects(gap, blur2) &&
         (gap > inside_stray(face, tolerance) || edges_separate(face, rect, tolerance));
}

template <typename T>
void rasterize(const RasterProblem<T>& p) noexcept {
  const int64_t per_element = p.height * p.width * p.layers;
  const double gw = static_cast<double>(p.global_width);
  const double gh = static_cast<double>(p.global_height);
  for (int64_t b = 0; b < p.batch; ++b) {
    const int64_t first = b * per_element;
    std::fill(p.face_index + first, p.face_index + first + per_element, -1);
    std::fill(p.depth + first, p.depth + first + per_element, std::numeric_limits<T>::infinity());
    std::fill(p.signed_distance + first, p.signed_distance + first + per_element,
              std::numeric_limits<T>::infinity());
    std::fill(p.barycentric + 3 * first, p.barycentric + 3 * (first + per_element), T(0));

    FaceRaster<T> raster(p, b);
    for (int64_t f = p.face_offsets[b]; f < p.face_offsets[b + 1]; ++f) {
      double x[3], y[3], z[3];
      for (int k = 0; k < 3; ++k) {
        const T* v = p.vertices + 3 * static_cast<int64_t>(p.faces[3 * f + k]);
        x[k] = static_cast<double>(v[0]);
        y[k] = static_cast<double>(v[1]);
        z[k] = static_cast<double>(v[2]);
      }
      raster.run(static_cast<int32_t>(f), screen_face(x, y, z, gw, gh));
    }
  }
}

template void rasterize<float>(const RasterProblem<float>&) noexcept;
template void rasterize<double>(const RasterProblem<double>&) noexcept;

}  // namespace vrel::render
