// vrel_render_opaque_material_batch, its rule variant, their backwards, the prefix backwards and
// the batch workspace query: one pixel's quadrature nodes delivered in resumable 800-slot rows.
#include <cstring>

#include "opaque/batch_kernel.hpp"
#include "opaque/stream_checks.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace {

// What differs between the batch exports.
struct BatchKind {
  int32_t rule;
  int32_t flags;
  bool backward;
  bool prefix;  // a prefix backward: the prefix record is required and carried
};

// Steps 1 to 3: rule and flags, cursor and receipt, the prefix record, the front end's head and
// the prefix's rule.
VrelStatus check_leading(const frame::Frame& f, const BatchKind& kind,
                         const QuadratureOperands& ops, const StreamRecords& records) noexcept {
  VREL_TRY(f.reset());
  VREL_TRY(check_stream_rule(f, kind.rule, kind.flags, true, ops.cuts));
  VREL_TRY(check_cursor(f, kind.rule, records));
  if (kind.prefix && records.prefix == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "prefix required");
  VREL_TRY(check_quadrature_head(f, ops));
  if (kind.prefix && (kind.rule < 2 || kind.rule > 4 || ops.gradient == nullptr))
    return f.fail(VREL_STATUS_UNSUPPORTED, "prefix requires SH52 orSH64 first VJP");
  return VREL_STATUS_OK;
}

QuadratureCall call_of(const BatchKind& kind) noexcept {
  return {kind.backward, true, max_lines_of(kind.rule), 1};
}

VrelStatus report(const frame::Frame& f, Outcome outcome) noexcept {
  return outcome == Outcome::kOk ? VREL_STATUS_OK : f.fail(VREL_STATUS_OVERFLOW, kBatchOverflow);
}

// The CPU path after the leading checks: the front end, the record aliases, the kernel; the
// receipt (and prefix) are written only when the kernel succeeds.
VrelStatus run_batch(const frame::Frame& f, const BatchKind& kind, const QuadratureOperands& ops,
                     const StreamRecords& records) noexcept {
  VREL_TRY(check_quadrature_host(f, call_of(kind), ops));
  VREL_TRY(check_stream_aliases(f, ops, records));
  const Cursor cursor = cursor_of(records.cursor);
  const QuadratureWorkspace ws = quadrature_workspace(ops.workspace->data);
  Receipt receipt{};
  Prefix prefix{};
  if (kind.prefix) std::memcpy(&prefix, records.prefix, sizeof prefix);
  const Outcome outcome = frame::with_floating(ops.vertices->dtype, [&](auto t) {
    using T = decltype(t);
    const QuadratureInputs<T> in = pixel_inputs<T>(ops, max_lines_of(kind.rule));
    if (!kind.backward)
      return material_batch(in, kind.rule, cursor, ws, mutable_data_of<int32_t>(*ops.owners),
                            mutable_data_of<T>(*ops.nodes), receipt);
    return material_batch_backward(in, kind.rule, kind.flags, cursor, data_of<T>(*ops.gradient), ws,
                                   mutable_data_of<T>(*ops.vertex_gradient),
                                   mutable_data_of<T>(*ops.cut_gradient), receipt,
                                   kind.prefix ? &prefix : nullptr);
  });
  VREL_TRY(report(f, outcome));
  std::memcpy(records.receipt, &receipt, sizeof receipt);
  if (kind.prefix) std::memcpy(records.prefix, &prefix, sizeof prefix);
  return VREL_STATUS_OK;
}

QuadratureOperands forward_operands(const VrelTensorView* vertices, const VrelTensorView* faces,
                                    const VrelTensorView* cuts, double ox, double oy,
                                    const VrelExecutionContext* context,
                                    const VrelTensorView* owners, const VrelTensorView* nodes,
                                    const VrelBufferDescriptor* workspace) noexcept {
  return {vertices, faces,   cuts,   1,     1,       ox,      oy,
          nullptr,  context, owners, nodes, nullptr, nullptr, workspace};
}

QuadratureOperands backward_operands(const VrelTensorView* vertices, const VrelTensorView* faces,
                                     const VrelTensorView* cuts, double ox, double oy,
                                     const VrelTensorView* gradient,
                                     const VrelExecutionContext* context,
                                     const VrelTensorView* vertex_gradient,
                                     const VrelTensorView* cut_gradient,
                                     const VrelBufferDescriptor* workspace) noexcept {
  return {vertices, faces,           cuts,         1,        1, ox, oy, gradient, context, nullptr,
          nullptr,  vertex_gradient, cut_gradient, workspace};
}

// The three prefix exports differ only in their rule.
template <auto Entry>
VrelStatus prefix_backward(int32_t rule, const VrelTensorView* vertices,
                           const VrelTensorView* faces, const VrelTensorView* cuts, double ox,
                           double oy, const int32_t* cursor, int32_t* receipt,
                           const VrelTensorView* gradient, const VrelExecutionContext* context,
                           const VrelTensorView* vertex_gradient,
                           const VrelTensorView* cut_gradient,
                           const VrelBufferDescriptor* workspace, VrelDiagnostic* diag,
                           int32_t flags, int32_t* prefix) noexcept {
  const frame::Frame f{diag, kOpaque};
  const BatchKind kind{rule, flags, true, true};
  const QuadratureOperands ops = backward_operands(vertices, faces, cuts, ox, oy, gradient, context,
                                                   vertex_gradient, cut_gradient, workspace);
  const StreamRecords records{cursor, receipt, prefix};
  VREL_TRY(check_leading(f, kind, ops, records));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call_of(kind), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<Entry>(kPrefixUnavailable, true, diag, vertices, faces, cuts, ox,
                                       oy, cursor, receipt, gradient, context, vertex_gradient,
                                       cut_gradient, workspace, diag, flags, prefix);
  }
  return run_batch(f, kind, ops, records);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_opaque_material_batch_rule(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    double origin_x, double origin_y, const int32_t* cursor, int32_t* receipt,
    const VrelExecutionContext* context, const VrelTensorView* owners, const VrelTensorView* nodes,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag, int32_t rule) noexcept {
  const frame::Frame f{diag, kOpaque};
  const BatchKind kind{rule, kMaxFlags, false, false};
  const QuadratureOperands ops = forward_operands(vertices, faces, cuts, origin_x, origin_y,
                                                  context, owners, nodes, workspace);
  const StreamRecords records{cursor, receipt, nullptr};
  VREL_TRY(check_leading(f, kind, ops, records));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call_of(kind), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<&frame::Table::opaque_material_batch_rule>(
        kRuleUnavailable, true, diag, vertices, faces, cuts, origin_x, origin_y, cursor, receipt,
        context, owners, nodes, workspace, diag, rule);
  }
  return run_batch(f, kind, ops, records);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_material_batch(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    double origin_x, double origin_y, const int32_t* cursor, int32_t* receipt,
    const VrelExecutionContext* context, const VrelTensorView* owners, const VrelTensorView* nodes,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  const BatchKind kind{0, kMaxFlags, false, false};
  const QuadratureOperands ops = forward_operands(vertices, faces, cuts, origin_x, origin_y,
                                                  context, owners, nodes, workspace);
  const StreamRecords records{cursor, receipt, nullptr};
  VREL_TRY(check_leading(f, kind, ops, records));
  if (context->device_type == VREL_DEVICE_CUDA) {
    // The provider serves the DEFAULT batch through its rule entry, with rule 0.
    VREL_TRY(check_quadrature_device(f, call_of(kind), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<&frame::Table::opaque_material_batch_rule>(
        kBatchUnavailable, true, diag, vertices, faces, cuts, origin_x, origin_y, cursor, receipt,
        context, owners, nodes, workspace, diag, 0);
  }
  return run_batch(f, kind, ops, records);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_material_batch_rule_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    double origin_x, double origin_y, const int32_t* cursor, int32_t* receipt,
    const VrelTensorView* gradient, const VrelExecutionContext* context,
    const VrelTensorView* vertex_gradient, const VrelTensorView* cut_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag, int32_t rule,
    int32_t flags) noexcept {
  const frame::Frame f{diag, kOpaque};
  const BatchKind kind{rule, flags, true, false};
  const QuadratureOperands ops =
      backward_operands(vertices, faces, cuts, origin_x, origin_y, gradient, context,
                        vertex_gradient, cut_gradient, workspace);
  const StreamRecords records{cursor, receipt, nullptr};
  VREL_TRY(check_leading(f, kind, ops, records));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call_of(kind), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<&frame::Table::opaque_material_batch_rule_backward>(
        kRuleUnavailable, true, diag, vertices, faces, cuts, origin_x, origin_y, cursor, receipt,
        gradient, context, vertex_gradient, cut_gradient, workspace, diag, rule, flags);
  }
  return run_batch(f, kind, ops, records);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_material_batch_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    double origin_x, double origin_y, const int32_t* cursor, int32_t* receipt,
    const VrelTensorView* gradient, const VrelExecutionContext* context,
    const VrelTensorView* vertex_gradient, const VrelTensorView* cut_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  const BatchKind kind{0, kMaxFlags, true, false};
  const QuadratureOperands ops =
      backward_operands(vertices, faces, cuts, origin_x, origin_y, gradient, context,
                        vertex_gradient, cut_gradient, workspace);
  const StreamRecords records{cursor, receipt, nullptr};
  VREL_TRY(check_leading(f, kind, ops, records));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call_of(kind), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<&frame::Table::opaque_material_batch_rule_backward>(
        kBatchUnavailable, true, diag, vertices, faces, cuts, origin_x, origin_y, cursor, receipt,
        gradient, context, vertex_gradient, cut_gradient, workspace, diag, 0, kMaxFlags);
  }
  return run_batch(f, kind, ops, records);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_material_batch_workspace(
    uint32_t dtype, const VrelExecutionContext* context, uint64_t* workspace_bytes,
    uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  return vrel_render_opaque_material_quadrature_workspace(dtype, context, workspace_bytes,
                                                          workspace_alignment, diag);
}

#define VREL_PREFIX_EXPORT(name, rule, entry)                                                  \
  extern "C" VREL_API VrelStatus name(                                                         \
      const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts, \
      double origin_x, double origin_y, const int32_t* cursor, int32_t* receipt,               \
      const VrelTensorView* gradient, const VrelExecutionContext* context,                     \
      const VrelTensorView* vertex_gradient, const VrelTensorView* cut_gradient,               \
      const VrelBufferDescriptor* workspace, VrelDiagnostic* diag, int32_t flags,              \
      int32_t* prefix) noexcept {                                                              \
    return prefix_backward<&frame::Table::entry>(                                              \
        rule, vertices, faces, cuts, origin_x, origin_y, cursor, receipt, gradient, context,   \
        vertex_gradient, cut_gradient, workspace, diag, flags, prefix);                        \
  }
VREL_PREFIX_EXPORT(vrel_render_opaque_material_prefix_backward, 2, opaque_prefix_backward)
VREL_PREFIX_EXPORT(vrel_render_opaque_material_prefix_backward64, 3, opaque_prefix_backward64)
VREL_PREFIX_EXPORT(vrel_render_opaque_material_prefix_backward80, 4, opaque_prefix_backward80)
#undef VREL_PREFIX_EXPORT
