#include "opaque/stream_checks.hpp"

namespace vrel::opaque {

namespace {

abi::ByteRange record_range(const void* record, uint64_t bytes) noexcept {
  return {reinterpret_cast<uintptr_t>(record), bytes};
}

constexpr uint64_t kCursorBytes = sizeof(Cursor);
constexpr uint64_t kReceiptBytes = sizeof(Receipt);
constexpr uint64_t kPrefixBytes = sizeof(Prefix);

}  // namespace

VrelStatus check_stream_rule(const frame::Frame& f, int32_t rule, int32_t flags, bool any_rule,
                             const VrelTensorView* cuts) noexcept {
  const bool valid =
      flags >= 0 && flags <= kMaxFlags && rule >= 0 && rule < kRuleCount && (any_rule || rule == 0);
  if (!valid) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kBatchRule);
  if (rule == 0) return VREL_STATUS_OK;
  // The cuts are not validated yet: their header first, then any other layout than [F,3,K].
  VREL_TRY(f.header(cuts));
  return f.shape(cuts, {frame::kAny, 3, frame::kAny}, kBatchRule);
}

VrelStatus check_cursor(const frame::Frame& f, int32_t rule,
                        const StreamRecords& records) noexcept {
  if (records.cursor == nullptr || records.receipt == nullptr ||
      !cursor_valid(cursor_of(records.cursor), slot_width(rule)))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque batch cursor/receipt");
  if (record_range(records.cursor, kCursorBytes)
          .overlaps(record_range(records.receipt, kReceiptBytes)))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque batch metadata alias");
  return VREL_STATUS_OK;
}

VrelStatus check_stream_aliases(const frame::Frame& f, const QuadratureOperands& ops,
                                const StreamRecords& records) noexcept {
  const abi::ByteRange cursor = record_range(records.cursor, kCursorBytes);
  const abi::ByteRange receipt = record_range(records.receipt, kReceiptBytes);
  const abi::ByteRange scratch = range_of(ops.workspace, kQuadratureWorkspaceBytes);
  const VrelTensorView* tensors[] = {ops.vertices,        ops.faces,       ops.cuts,
                                     ops.gradient,        ops.owners,      ops.nodes,
                                     ops.vertex_gradient, ops.cut_gradient};
  for (const VrelTensorView* view : tensors)
    if (range_of(view).overlaps(cursor) || range_of(view).overlaps(receipt))
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque batch metadata/tensor alias");
  if (scratch.overlaps(cursor) || scratch.overlaps(receipt))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque batch metadata/scratch alias");
  if (records.prefix == nullptr) return VREL_STATUS_OK;
  if (reinterpret_cast<uintptr_t>(records.prefix) % 4 != 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "prefix alignment");
  const abi::ByteRange prefix = record_range(records.prefix, kPrefixBytes);
  for (const VrelTensorView* view : tensors)
    if (range_of(view).overlaps(prefix))
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, "prefix tensor alias");
  if (prefix.overlaps(scratch) || prefix.overlaps(cursor) || prefix.overlaps(receipt))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "prefix metadata/scratch alias");
  return VREL_STATUS_OK;
}

}  // namespace vrel::opaque
