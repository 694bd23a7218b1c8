// Boundary quadrature kernel: quadrature nodes along one side of each pixel square, over the parts
// of that side where each face is the visible (nearest) surface.
//
// A side is a segment of the closed pixel square. Restricted to it, every half-plane of the area
// integration (a triangle edge, the plane where two depths are equal) becomes a linear function of
// the segment parameter t in [0, 1], so the visible set of a face is a union of intervals, found
// with exactly the rules of the visible area integration: a face counts only where its triangle
// covers part of the pixel with positive area, a face hides another where it is inside all three
// of its edges and at least as near, coplanar ties go to the lower face index, and pairs that
// certainly cannot overlap are never tested against each other. Each visible interval is then
// split where the active cut lines of its face cross it (strictly inside), so that no rule
// straddles a line where the integrand may jump, and each part gets a Gauss-Legendre rule.
#pragma once

#include <cstdint>

#include "opaque/coverage_kernel.hpp"
#include "opaque/cut_lines.hpp"
#include "opaque/integrate_kernel.hpp"
#include "opaque/rules.hpp"

namespace vrel::opaque {

// The sides, walked counter-clockwise around the pixel square (pixel-local coordinates):
// 0 bottom (0,0)->(1,0), 1 right (1,0)->(1,1), 2 top (1,1)->(0,1), 3 left (0,1)->(0,0).
inline constexpr int32_t kPixelSides = 4;

// Slots of one pixel's row and the most visible intervals one side of one pixel may have.
inline constexpr int32_t kRowSlots = 800;
inline constexpr int32_t kIntervalCapacity = 256;

// Where a side starts and where it goes: the point at parameter t is start + t * direction.
struct Side {
  double x0, y0, dx, dy;
};
Side pixel_side(int32_t side) noexcept;

// One visible interval [t0, t1] of a side, owned by candidate `candidate` of the pixel.
struct SideInterval {
  int32_t candidate;
  double t0, t1;
};

// The visible intervals of side `side` for the pixel's candidates and their unseeded triangles,
// in candidate order, each candidate's in increasing t; their number, or -1 when more than
// `capacity` (or kIntervalCapacity pieces of one candidate) would be needed.
int32_t visible_side_intervals(const PixelFaces& pixel, const ShadedTriangle* triangles,
                               int32_t side, SideInterval* out, int32_t capacity) noexcept;

// Splits each of the `count` intervals at the parameters strictly inside it where an active cut
// line of its face (`faces` maps candidates to face indices) crosses side `side`, in increasing
// t; a line crossing at an end of the interval, along the side, or twice at the same parameter
// splits nothing. The parts replace the intervals in the same order; their number, or -1 when
// more than `capacity` (at most kIntervalCapacity) would be needed. Without lines, nothing moves.
template <typename T>
int32_t split_at_cuts(const CutsOf<T>& cuts, const int64_t* faces, const ShadedTriangle* triangles,
                      int32_t side, SideInterval* intervals, int32_t count,
                      int32_t capacity) noexcept;

// Writes the nodes of intervals [first, last) with `rule` from slot 0 of `owners`/`nodes` (one
// row: owner face, barycentrics in the owner face, weight = length of the side covered, the side
// having length 1). `faces` maps candidates to face indices. False when a value is not finite.
template <typename T>
bool emit_side_nodes(const SideInterval* intervals, int32_t first, int32_t last,
                     const ShadedTriangle* triangles, const int64_t* faces, int32_t side,
                     const LineRule& rule, int32_t* owners, T* nodes) noexcept;

// The boundary quadrature of a whole image along side `side` of every pixel: owners [H*W,800]
// (-1 in empty slots), nodes [H*W,800,4] (0 in empty slots), every visible interval of a pixel
// with `rule` after splitting at the cut lines of `cuts`, in the pixel's row. kCandidates for a
// 33rd candidate, kCapacity when a pixel's nodes do not fit its row or a value is not finite.
template <typename T>
Outcome boundary_quadrature(const T* vertices, const int32_t* faces, int64_t face_count,
                            const Image& image, int32_t side, const LineRule& rule, int32_t* owners,
                            T* nodes, const IntegrateWorkspace& ws,
                            const CutsOf<T>& cuts = {}) noexcept;

}  // namespace vrel::opaque
