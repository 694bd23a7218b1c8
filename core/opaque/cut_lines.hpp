// The cut lines of a face: the coefficients of either cuts layout read as lines in the face's
// barycentric coordinates, and those lines as half-planes in pixel-local coordinates. Shared by
// the whole-pixel quadrature (which splits pieces along them) and the pixel-side quadrature
// (which splits side intervals where they cross).
//
// Line j of face f is {c0*l0 + c1*l1 + c2*l2 = 0}. Plain layout [F,3,K]: (c0, c1, c2) =
// (cuts[f,0,j], cuts[f,1,j], cuts[f,2,j]). Packed layout [F,1,3K+6]: the row starts with
// per-corner 2D coordinates (u0, v0, u1, v1, u2, v2) and cut j is the line a*u + b*v + c = 0 with
// (a, b, c) = row[6 + 3j .. 8 + 3j], so c_i = a*u_i + b*v_i + c. A line whose three coefficients
// are equal in value (all zero, in particular) is no cut: it never meets the face.
#pragma once

#include <cstdint>
#include <type_traits>

#include "opaque/geometry.hpp"
#include "opaque/pixel_rule.hpp"

namespace vrel::opaque {

// Largest K of the plain layout (the 80-slot batch rule's limit; the quadrature exports allow 16).
inline constexpr int32_t kMaxCuts = 40;

// The cut coefficients: face f's row of `row` values starts at values + f * row. `lines` is K;
// a value-initialised CutsOf has no lines.
template <typename T>
struct CutsOf {
  const T* values;
  int64_t row;
  int32_t lines;
  bool packed;  // [F,1,3K+6]; else [F,3,K]
};

// The active cut lines of one face as half-planes in pixel-local coordinates (value >= 0 on the
// side where sum c_i * l_i >= 0), with their line numbers.
template <typename D>
struct CutLinesOf {
  int32_t count;
  int32_t line[kMaxCuts];
  HalfPlaneOf<D> plane[kMaxCuts];
};

// Coefficient `index` of a face's row as a number of type D, seeded (a DualValue only) when it
// is `seed`.
template <typename D, typename T>
D coefficient(const T* row, int64_t index, int64_t seed) noexcept {
  D r{};
  r.v = static_cast<double>(row[index]);
  if constexpr (std::is_same_v<D, DualValue>) r.d = index == seed ? 1.0 : 0.0;
  return r;
}

// The barycentric coefficients (c0, c1, c2) of line j of a face's row.
template <typename D, typename T>
void line_coefficients(const CutsOf<T>& cuts, const T* row, int32_t j, int64_t seed,
                       D c[3]) noexcept {
  if (!cuts.packed) {
    for (int i = 0; i < 3; ++i) c[i] = coefficient<D>(row, int64_t{i} * cuts.lines + j, seed);
    return;
  }
  const D a = coefficient<D>(row, 6 + 3 * j, seed), b = coefficient<D>(row, 7 + 3 * j, seed),
          k = coefficient<D>(row, 8 + 3 * j, seed);
  for (int i = 0; i < 3; ++i)
    c[i] = a * coefficient<D>(row, 2 * i, seed) + b * coefficient<D>(row, 2 * i + 1, seed) + k;
}

// The face's lines whose coefficients are not all equal in value (a constant never vanishes on
// the face), combined with the triangle's barycentric planes.
template <typename D, typename T>
void cut_lines(const CutsOf<T>& cuts, int64_t face, const ShadedTriangleOf<D>& tri, int64_t seed,
               CutLinesOf<D>& out) noexcept {
  out.count = 0;
  const T* row = cuts.values + face * cuts.row;
  for (int32_t j = 0; j < cuts.lines; ++j) {
    D c[3];
    line_coefficients(cuts, row, j, seed, c);
    if (c[0].v == c[1].v && c[1].v == c[2].v) continue;
    HalfPlaneOf<D> h{};
    for (int i = 0; i < 3; ++i) {
      h.a += c[i] * tri.bary[i][0];
      h.b += c[i] * tri.bary[i][1];
      h.c += c[i] * tri.bary[i][2];
    }
    out.line[out.count] = j;
    out.plane[out.count++] = h;
  }
}

}  // namespace vrel::opaque
