// Checks of the resumable opaque operations (batches, prefix backward, boundary streams,
// partitions) that come before and after the quadrature front end, and their sentences.
#pragma once

#include <cstdint>

#include "opaque/checks.hpp"
#include "opaque/quadrature_kernel.hpp"
#include "opaque/stream.hpp"

namespace vrel::opaque {

inline constexpr const char* kBatchRule =
    "opaque batch rule requires DEFAULT, SH_BILINEAR25 or SH_BILINEAR25_STREAM52 without curves";
inline constexpr const char* kBatchOverflow =
    "opaque batch capacity/arithmetic overflow; partial outputs invalid";
inline constexpr const char* kStreamOverflow =
    "opaque boundary stream capacity/arithmetic overflow; partial outputs invalid";
inline constexpr const char* kBatchUnavailable = "CUDA opaque batch unavailable";
inline constexpr const char* kRuleUnavailable = "CUDA explicit opaque rule unavailable";
inline constexpr const char* kPrefixUnavailable = "CUDA persistent prefix unavailable";
inline constexpr const char* kStreamUnavailable = "CUDA boundary stream unavailable";
inline constexpr const char* kBoundaryUnavailable = "CUDA opaque boundary unavailable";

// The caller's records of one resumable call; the prefix only for a prefix backward.
struct StreamRecords {
  const int32_t* cursor;  // 4 int32: begin, batch, slots, blocks
  int32_t* receipt;       // 8 int32 (32 bytes)
  int32_t* prefix;        // 2 int32 (8 bytes, 4-byte aligned): face, seen
};

// Step 1 (after the reset): flags in 0..3, rule in 0..4, a rule other than 0 only where
// `any_rule` (batches, prefixes, boundary streams), and a non-zero rule only with the plain cut
// layout [F,3,K].
VrelStatus check_stream_rule(const frame::Frame& f, int32_t rule, int32_t flags, bool any_rule,
                             const VrelTensorView* cuts) noexcept;

// Step 2: cursor and receipt given, the cursor valid for the rule's slot width, the two records
// apart.
VrelStatus check_cursor(const frame::Frame& f, int32_t rule, const StreamRecords& records) noexcept;

// Step 4, after the front end's overlap checks: no tensor or workspace overlapping the cursor or
// the receipt; with a prefix, its alignment and overlaps.
VrelStatus check_stream_aliases(const frame::Frame& f, const QuadratureOperands& ops,
                                const StreamRecords& records) noexcept;

// The cursor record as a value.
inline Cursor cursor_of(const int32_t* cursor) noexcept {
  return {cursor[0], cursor[1], cursor[2], cursor[3]};
}

// The quadrature inputs of one pixel at (ox, oy) with cut lines of at most `max_lines`.
template <typename T>
QuadratureInputs<T> pixel_inputs(const QuadratureOperands& ops, int32_t max_lines) noexcept {
  CutLayout layout{};
  cut_layout(ops.cuts, max_lines, &layout);
  return {abi::data_of<T>(*ops.vertices),
          ops.vertices->shape[0],
          abi::data_of<int32_t>(*ops.faces),
          ops.faces->shape[0],
          {abi::data_of<T>(*ops.cuts), layout.row, layout.lines, layout.packed},
          {1, 1, ops.ox, ops.oy},
          Variant::kMaterial};
}

// K limit of the plain cut layout for a rule (40 for the 80-slot rule, else 16).
inline constexpr int32_t max_lines_of(int32_t rule) noexcept { return rule == 4 ? 40 : 16; }

}  // namespace vrel::opaque
