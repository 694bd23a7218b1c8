// Quadrature kernel: per pixel, up to 800 nodes (owner face, barycentrics, weight) over the
// visible parts of the candidate triangles, so that the weighted sum of any per-face polynomial
// over a pixel's nodes is its exact integral over what is visible (up to the rules' degrees), and
// the vector-Jacobian product of the node values with respect to the vertices and the cut
// coefficients.
//
// Decomposition of one pixel (the same pieces the colour integration keeps):
//
//        pixel square                 visible pieces of candidate k, and one cut line
//   +-------------------+           +-------------------+
//   |      /\           |           |      /\     .     |    a piece no active cut line crosses
//   |     /  \   m      |           |     /  \   .      |    is fan-triangulated into PLAIN
//   |    / k  \____     |   --->    |    / P1 \ .       |    units (collapsed Gauss product,
//   |   /  ____\   |    |           |   /____\_X  cell  |    5 x v nodes, v = 5..8)
//   |  /__/ hidden |    |           |  /  P2  |. cells  |    a piece some cut crosses is split
//   +-------------------+           +-------------------+    by every crossing cut into convex
//                                                             cells, each fan-triangulated; a
//   fan of a cell (p0 p1 p2 p3):  (p0 p1 p2), (p0 p2 p3)     fan triangle holding a side along a
//   (p0 p1 p2) holds sides p0p1 and p1p2, (p0 p2 p3)         cut is a CUT unit (24 x order
//   holds p2p3 and p3p0                                       nodes), the others PLAIN units
//
// The pieces are the colour integration's, except that an occluder whose triangle hides nothing
// of a piece (its part of the piece empty, of zero area, negligible, or certainly behind) leaves
// it whole, and that negligible pieces are dropped. Negligible (pixel_rule.hpp) means an area of
// at most 16 u * scale * extent: u the unit roundoff, extent the larger side of the piece's
// bounding box, scale the largest magnitude of the candidates' pixel-local corner coordinates (at
// least 1). That is what rounding can give a piece of zero true area, such as the sliver a hidden
// face leaves along the edge shared by two faces in front of it (three faces, so the separation
// of pairs does not exclude it); each such piece would cost a unit and carry derivatives
// interpolated between rounding errors. Dropping one moves the integrals by at most its bound
// (at most 2.6e-15 * scale, the extent being at most sqrt 2). The test reads values only, so the
// count pass, the emission and every seeded evaluation of the backward find the same units.
//
// Cut lines live in the face's barycentric coordinates: line j of face f is
// {c0*l0 + c1*l1 + c2*l2 = 0}. Plain layout [F,3,K]: (c0, c1, c2) = (cuts[f,0,j], cuts[f,1,j],
// cuts[f,2,j]). Packed layout [F,1,3K+6]: the row starts with per-corner 2D coordinates
// (u0, v0, u1, v1, u2, v2) (texture coordinates, for example) and cut j is the line
// a*u + b*v + c = 0 with (a, b, c) = row[6 + 3j .. 8 + 3j], so c_i = a*u_i + b*v_i + c. A line
// whose three coefficients are equal in value (all zero, in particular) is no cut: it never meets
// the face. In pixel-local coordinates a cut is the HalfPlane sum_i c_i * (barycentric plane i),
// a DualValue combination, so seeded vertices and seeded cut coefficients take the same path.
// A cut crosses a polygon when the polygon has vertices strictly on both sides (by value).
//
// Node budget per pixel (c cut units, p plain units, base = 120c + 25p): the cut order is 12
// when base + 168c < 801, else 5; when p > 0, v = (800 - 24*order*c) / (5p) capped at 8, and
// v < 5 fails. The material variant with K = 0 uses the 44-node rule for plain units when
// 24*order*c + 44p is 800 or below 797. More than 800 nodes fails.
//
// Slots are filled in candidate order, then piece order, then unit order (for each piece: its
// plain units, or its cells in split order with their fans, cut and plain units in fan order),
// then rule order. A unit whose
// doubled area is exactly 0 in value is skipped (count and emission alike). A node at
// P0 + a*E1 + b*E2 has weight w * |E1 x E2| (w from the rule on the reference triangle, whose
// weights sum to 1/2), and its barycentrics are the owner's barycentric planes evaluated there.
//
// Per-pixel API (also used by the batch operators): plan_pixel() runs the candidates' triangles,
// the separation matrix and the count pass into a PixelPlan; emit_units() writes the nodes of
// units [first, last) of a planned pixel; unit_products() adds, for every distinct vertex
// coordinate and every cut coefficient that can move a node, the product-mode derivative of
// those units' node values against a cotangent row into the gradients. The whole-image kernels
// quadrature() and quadrature_backward() are a traversal over those three.
#pragma once

#include <cstdint>

#include "opaque/coverage_kernel.hpp"
#include "opaque/cut_lines.hpp"
#include "opaque/integrate_kernel.hpp"

namespace vrel::opaque {

// The slots of one pixel.
inline constexpr int32_t kNodeSlots = 800;

// The quadrature workspace is the colour integration's block; the regions it uses beyond the
// banks, triangles and candidates: the cut cells of the piece being split (64 polygons at 0) and
// the separation matrix (32 rows of 64 bytes at 990,240; bit b of row a set when candidates a and
// b cannot overlap).
inline constexpr uint64_t kQuadratureWorkspaceBytes = kIntegrateWorkspaceBytes;
inline constexpr uint64_t kQuadratureCells = 0;
inline constexpr int32_t kCellCapacity = 64;
inline constexpr uint64_t kQuadratureSeparation = 990240;
inline constexpr uint64_t kSeparationRowBytes = 64;

// A unit count past this fails the budget in any case (at least 25 nodes per unit).
inline constexpr int32_t kMaxUnits = 40;

struct QuadratureWorkspace {
  ClipPolygon* bank_a;
  ClipPolygon* bank_b;
  ClipPolygon* cells;
  ShadedTriangle* triangles;
  int64_t* candidates;
  unsigned char* separation;
};

// The regions of an 8-byte aligned block of kQuadratureWorkspaceBytes.
QuadratureWorkspace quadrature_workspace(void* data) noexcept;

// What differs between the two operations: the material variant may use the 44-node rule.
enum class Variant : int32_t { kQuadrature = 0, kMaterial = 1 };

template <typename T>
struct QuadratureInputs {
  const T* vertices;
  int64_t vertex_count;
  const int32_t* faces;
  int64_t face_count;
  CutsOf<T> cuts;
  Image image;
  Variant variant;
};

enum class UnitKind : uint8_t { kPlain = 0, kCut = 1 };

// One planned pixel: its candidates in pixel-local coordinates, the counts of the count pass and
// the orders of the node budget. The triangles (unseeded) are in the workspace.
struct PixelPlan {
  int64_t row, column;
  double u, o;  // the pixel's lower corner
  PixelFaces pixel;
  int32_t cut_units;
  int32_t plain_units;
  int32_t cut_order;          // 12 or 5
  int32_t plain_points;       // v: 5..8 points of the second Gauss rule; 0 with the 44-node rule
  int32_t material_rule;      // 1 when plain units take the 44-node rule
  int32_t nodes;              // slots used, at most 800
  int32_t units;              // cut_units + plain_units
  UnitKind kinds[kMaxUnits];  // unit kinds in slot order
  int32_t first_unit[kCandidateCapacity + 1];  // candidate k's units: [first_unit[k], [k+1])
  uint64_t crossing[kCandidateCapacity];       // per candidate: the cut lines that split a piece
};

// The node budget of a pixel with `cut_units` cut and `plain_units` plain units; `material_rule`
// allows the 44-node rule (the material variant with K = 0). False when the units do not fit 800
// slots at the lowest orders; else the plan's cut_order, plain_points, material_rule and nodes.
bool node_budget(int32_t cut_units, int32_t plain_units, bool material_rule,
                 PixelPlan& plan) noexcept;

// Nodes of one unit of `kind` under the plan's orders.
int32_t unit_nodes(const PixelPlan& plan, UnitKind kind) noexcept;

// Plans pixel (row, column) whose `count` candidates (as CandidateScan::collect gives them; -1
// for more than 32) are in ws.candidates: builds the unseeded triangles and the separation
// matrix into the workspace and runs the count pass. kCandidates for -1; kCapacity when an
// evaluation overflows or the budget rule fails. An empty pixel plans 0 units.
template <typename T>
Outcome plan_pixel(const QuadratureInputs<T>& in, int64_t row, int64_t column, int32_t count,
                   const QuadratureWorkspace& ws, PixelPlan& plan) noexcept;

// Writes the nodes of units [first, last) of a planned pixel into consecutive slots from
// `owners` / `nodes` (4 values per slot: l0, l1, l2, weight). kCapacity on overflow or a value
// that is not finite.
template <typename T>
Outcome emit_units(const QuadratureInputs<T>& in, const PixelPlan& plan, int32_t first,
                   int32_t last, const QuadratureWorkspace& ws, int32_t* owners, T* nodes) noexcept;

// Product mode over units [first, last) of a planned pixel, `gradient` holding the cotangents
// of those units' consecutive slots (4 per slot): for each distinct vertex of the candidates
// (first appearance) and axis x, y, z, the sum over the nodes of derivative x cotangent is added
// to vertex_grad[3 * vertex + axis]; then for each candidate and each cut coefficient of its row
// that can move one of its nodes, to cut_grad[face * row + index]. Sums are formed in double and
// stored in T at each addition. The cotangents of each unit's nodes are first folded, in plain
// doubles, onto the numbers the unit's nodes are made of (its corner, edges, area factor and the
// owner's barycentric planes), so a seed costs one dual evaluation per unit rather than per node;
// the sum is the same product, formed in another order. The vertex coordinates go kLanes at a
// time through one tangent
// evaluation (`one_pass`), falling back to one seeded evaluation per coordinate where the pieces
// do not fit the tangent records; both give the same bits unless two points of the pixel
// coincide in value. kDerivative when a seeded evaluation overflows.
template <typename T>
Outcome unit_products(const QuadratureInputs<T>& in, const PixelPlan& plan, int32_t first,
                      int32_t last, const T* gradient, const QuadratureWorkspace& ws,
                      T* vertex_grad, T* cut_grad, bool one_pass = true) noexcept;

// The whole image: owners [H*W, 800] (-1 for an empty slot) and nodes [H*W, 800, 4] (0 for an
// empty slot).
template <typename T>
Outcome quadrature(const QuadratureInputs<T>& in, const QuadratureWorkspace& ws, int32_t* owners,
                   T* nodes, bool binned = true) noexcept;

// vertex_grad [V,3] and cut_grad (the cuts' shape) from the cotangents [H*W, 800, 4]; after the
// last pixel every element of both must be finite (kAccumulation).
template <typename T>
Outcome quadrature_backward(const QuadratureInputs<T>& in, const T* gradient,
                            const QuadratureWorkspace& ws, T* vertex_grad, T* cut_grad,
                            bool binned = true, bool one_pass = true) noexcept;

}  // namespace vrel::opaque
