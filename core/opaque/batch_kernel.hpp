// Batch, prefix, boundary-stream and partition kernels: one pixel's quadrature delivered in
// resumable pieces, each piece one 800-slot row in the quadrature's layout.
//
// Every call plans the pixel [ox, ox+1] x [oy, oy+1] afresh (the plan is a pure function of the
// inputs), so a sequence of calls that resumes from each receipt emits exactly the nodes, in
// exactly the order, of the pixel's whole work list.
//
// Work items of batches are the units of the quadrature's decomposition, in its slot order. The
// rule variant fixes the rule of every unit for the whole pixel:
//   0 DEFAULT        the quadrature's own budgeted orders of the material variant: the stream
//                    of a pixel is the material quadrature's row;
//   1 SH_BILINEAR25  the lowest orders: plain units the 25-node collapsed 5x5 Gauss product,
//                    cut units order 5 (120 nodes);
//   2, 3, 4          the highest orders, whatever the 800-slot budget: plain units the 40-node
//                    5x8 product, cut units order 12 (288 nodes), streamed over several rows.
// The slot width (16, 16, 52, 64, 80) bounds how many rows a stream may take.
#pragma once

#include <cstdint>

#include "opaque/boundary_kernel.hpp"
#include "opaque/quadrature_kernel.hpp"
#include "opaque/stream.hpp"

namespace vrel::opaque {

// The pixel (0, 0) of an image of one pixel at (ox, oy).
inline Image one_pixel(double ox, double oy) noexcept { return {1, 1, ox, oy}; }

// Sets the orders of a planned pixel for a rule variant (1 to 4; 0 keeps the plan).
void apply_rule(PixelPlan& plan, int32_t rule) noexcept;

// One batch call: owners [800] and nodes [800,4] (filled with -1 and 0 first), then the nodes of
// the run of units from the cursor; the receipt. kCapacity also when work is left that the
// stream's bounds cannot hold.
template <typename T>
Outcome material_batch(const QuadratureInputs<T>& in, int32_t rule, const Cursor& cursor,
                       const QuadratureWorkspace& ws, int32_t* owners, T* nodes,
                       Receipt& receipt) noexcept;

// The vector-Jacobian product of one batch call's row: `gradient` [800,4] holds the cotangents
// of the slots the forward call with the same cursor filled. The gradients (vertex [V,3], cuts
// in their layout) are zeroed first, except when `prefix` continues a sequence (prefix->seen >
// 0): then the products are added to what earlier calls accumulated, and the call must resume
// where the prefix stopped (cursor begin == seen, the same candidate count), else kCapacity.
// A gradient whose flag bit is clear (1 vertices, 2 cuts) is left all zero.
template <typename T>
Outcome material_batch_backward(const QuadratureInputs<T>& in, int32_t rule, int32_t flags,
                                const Cursor& cursor, const T* gradient,
                                const QuadratureWorkspace& ws, T* vertex_grad, T* cut_grad,
                                Receipt& receipt, Prefix* prefix) noexcept;

// One boundary-stream call along side `side` (0..3) of the pixel: work items are the visible
// intervals of the side split at the cut lines of `cuts` (split_at_cuts), each with the 8-point
// Gauss-Legendre rule.
template <typename T>
Outcome boundary_stream(const T* vertices, const int32_t* faces, int64_t face_count,
                        const CutsOf<T>& cuts, double ox, double oy, int32_t side, int32_t width,
                        const Cursor& cursor, const IntegrateWorkspace& ws, int32_t* owners,
                        T* nodes, Receipt& receipt) noexcept;

// Gauss-Legendre points per visible interval of the boundary operators.
inline constexpr int32_t kBoundaryPoints = 8;

// Partition rows: 17 doubles per row, one row per block of at most four consecutive nodes of one
// unit: column 0 is 4*owner + (nodes in the block - 1), columns 1 + 4q .. 4 + 4q node q's
// (l0, l1, l2, weight); unused node columns and rows past the count hold 0 (unused rows -1 in
// column 0). A unit's nodes start a new block.
inline constexpr int32_t kPartitionColumns = 17;

// Prepare: plans the pixel with the rule of `width` (52, 64, 80), emits every unit and packs its
// nodes into rows [R,17] (R = 32 width); metadata gets the counts. kCapacity when the blocks do
// not fit R rows.
Outcome partition_prepare(const QuadratureInputs<double>& in, int32_t width,
                          const QuadratureWorkspace& ws, double* rows,
                          PartitionMeta& meta) noexcept;

// Emit: rows [begin, count) into one row of owners [800] and nodes [800,4] (filled with -1 and
// 0 first). kCapacity for a row that is not a valid block or more than 800 nodes.
Outcome partition_emit(const double* rows, int32_t count, int32_t begin, int32_t* owners,
                       double* nodes) noexcept;

}  // namespace vrel::opaque
