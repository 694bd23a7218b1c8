// The records of the opaque renderer's resumable operations: the cursor a batch call starts
// from, the receipt it fills, the prefix record of a backward carried across calls and the
// metadata of a partition; the rule variants with their slot widths; and how one call picks its
// run of work items.
//
// A pixel's work is a sequence of work items (for batches, the units of the quadrature's
// decomposition; for boundary streams, the visible intervals of the pixel side). A stream emits
// them in order, one call per 800-slot row: a call takes the items from the cursor's `begin`
// while there are at most 32 of them and their nodes fit the row, and its receipt opens with the
// cursor of the next call. The slot width w of a rule bounds the stream: at most w rows (batch <
// w) and 32*w work items, so that a stream never runs without end.
#pragma once

#include <cstdint>

namespace vrel::opaque {

// Caller-owned cursor: where a call starts.
struct Cursor {
  int32_t begin;   // the first work item of this call
  int32_t batch;   // calls made before this one
  int32_t slots;   // nodes emitted before this call
  int32_t blocks;  // work items emitted before this call
};

// Caller-owned receipt (32 bytes): the cursor of the next call, then what this call did.
struct Receipt {
  Cursor next;
  int32_t items;  // work items emitted by this call
  int32_t nodes;  // slots used in this call's row
  int32_t total;  // work items of the pixel
  int32_t done;   // 1 when no work item is left
};
static_assert(sizeof(Receipt) == 32, "the receipt is a 32-byte record");

// Caller-owned prefix record (8 bytes): the state of a backward accumulated across calls.
struct Prefix {
  int32_t face;  // the pixel's candidate count, stored by the first call and checked later
  int32_t seen;  // work items whose products are in the gradients; 0 starts a new sequence
};
static_assert(sizeof(Prefix) == 8, "the prefix is an 8-byte record");

// Partition metadata, filled by prepare (8 int32).
struct PartitionMeta {
  int32_t count;        // rows used
  int32_t nodes;        // nodes in those rows
  int32_t units;        // work items (units) they came from
  int32_t cut_units;    // of which cut units
  int32_t plain_units;  // and plain units
  int32_t width;        // the slot width: 52, 64 or 80
  int32_t step;         // the begin offsets of emit are multiples of this: 32, or 28 at width 80
  int32_t candidates;   // the pixel's candidate faces
};
static_assert(sizeof(PartitionMeta) == 32, "partition metadata is eight int32");

// Work items per call.
inline constexpr int32_t kItemsPerCall = 32;

// The rule variants: 0 DEFAULT, 1 SH_BILINEAR25, 2 SH52, 3 SH64, 4 the 80-slot rule.
inline constexpr int32_t kRuleCount = 5;
inline constexpr int32_t kMaxFlags = 3;
inline constexpr int32_t kFlagVertexGradient = 1;
inline constexpr int32_t kFlagCutGradient = 2;

inline constexpr int32_t slot_width(int32_t rule) noexcept {
  constexpr int32_t widths[kRuleCount] = {16, 16, 52, 64, 80};
  return rule >= 0 && rule < kRuleCount ? widths[rule] : 0;
}

// The rule whose slot width is `width` among the partition and boundary variants (52, 64, 80).
inline constexpr int32_t rule_of_width(int32_t width) noexcept {
  return width == 52 ? 2 : (width == 64 ? 3 : (width == 80 ? 4 : -1));
}

// Partition rows for a slot width (32 per row of the stream), and emit's begin step.
inline constexpr int64_t partition_rows(int32_t width) noexcept { return 32 * int64_t{width}; }
inline constexpr int32_t partition_step(int32_t width) noexcept { return width == 80 ? 28 : 32; }

// 0 <= begin <= 32w, 0 <= batch < w, 0 <= slots <= 800 batch, 0 <= blocks <= 32 batch,
// blocks >= begin, and begin == 0 exactly when batch == 0.
inline bool cursor_valid(const Cursor& c, int32_t width) noexcept {
  const int64_t w = width, batch = c.batch;
  return c.begin >= 0 && c.begin <= 32 * w && batch >= 0 && batch < w && c.slots >= 0 &&
         c.slots <= 800 * batch && c.blocks >= 0 && c.blocks <= 32 * batch && c.blocks >= c.begin &&
         ((c.begin == 0) == (batch == 0));
}

// The run of one call: items [first, last) from the cursor, at most kItemsPerCall of them and
// at most `slots` nodes (`nodes_of(item)` each); fills the receipt. False when work is left but
// the next cursor would not be valid for `width` (the stream would exceed its bounds).
template <typename NodesOf>
inline bool plan_run(const Cursor& c, int32_t total, int32_t width, int32_t slots,
                     NodesOf&& nodes_of, Receipt& r) noexcept {
  const int32_t first = c.begin < total ? c.begin : total;
  int32_t last = first, nodes = 0;
  while (last < total && last - first < kItemsPerCall && nodes + nodes_of(last) <= slots)
    nodes += nodes_of(last++);
  r.items = last - first;
  r.nodes = nodes;
  r.total = total;
  r.done = last >= total ? 1 : 0;
  r.next = {last, c.batch + 1, c.slots + nodes, c.blocks + r.items};
  return r.done || (r.items > 0 && cursor_valid(r.next, width));
}

}  // namespace vrel::opaque
