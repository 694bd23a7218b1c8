// The pixel-side quadrature behind the quadrature front end, and the boundary streams
// vrel_render_opaque_boundary_batch64 and vrel_render_opaque_boundary_batch80.
#include "opaque/boundary.hpp"

#include <cstring>

#include "opaque/batch_kernel.hpp"
#include "opaque/stream_checks.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace vrel::opaque {

VrelStatus boundary_side_quadrature(const frame::Frame& f, const QuadratureOperands& ops,
                                    int32_t edge) noexcept {
  VREL_TRY(check_quadrature_head(f, ops));
  const QuadratureCall call{false, false, 16, ops.height * ops.width};
  if (ops.context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call, ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<&frame::Table::opaque_boundary_quadrature>(
        kBoundaryUnavailable, true, f.diag(), ops.vertices, ops.faces, ops.cuts, ops.height,
        ops.width, ops.ox, ops.oy, edge, ops.context, ops.owners, ops.nodes, ops.workspace,
        f.diag());
  }
  VREL_TRY(check_quadrature_host(f, call, ops));
  CutLayout layout{};
  cut_layout(ops.cuts, call.max_lines, &layout);
  const Outcome outcome = frame::with_floating(ops.vertices->dtype, [&](auto t) {
    using T = decltype(t);
    return boundary_quadrature(
        data_of<T>(*ops.vertices), data_of<int32_t>(*ops.faces), ops.faces->shape[0],
        {ops.height, ops.width, ops.ox, ops.oy}, edge, gauss_legendre(kBoundaryPoints),
        mutable_data_of<int32_t>(*ops.owners), mutable_data_of<T>(*ops.nodes),
        integrate_workspace(ops.workspace->data),
        CutsOf<T>{data_of<T>(*ops.cuts), layout.row, layout.lines, layout.packed});
  });
  return outcome == Outcome::kOk ? VREL_STATUS_OK
                                 : f.fail(VREL_STATUS_OVERFLOW, kQuadratureOverflow);
}

}  // namespace vrel::opaque

namespace {

// Both streams: rule 3 (64 slots) or 4 (80 slots), flags 0.
template <auto Entry>
VrelStatus boundary_batch(int32_t rule, const VrelTensorView* vertices, const VrelTensorView* faces,
                          const VrelTensorView* cuts, double ox, double oy, int32_t edge,
                          const int32_t* cursor, int32_t* receipt,
                          const VrelExecutionContext* context, const VrelTensorView* owners,
                          const VrelTensorView* nodes, const VrelBufferDescriptor* workspace,
                          VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  const QuadratureOperands ops{vertices, faces,   cuts,   1,     1,       ox,      oy,
                               nullptr,  context, owners, nodes, nullptr, nullptr, workspace};
  const StreamRecords records{cursor, receipt, nullptr};
  VREL_TRY(f.reset());
  VREL_TRY(check_stream_rule(f, rule, 0, true, cuts));
  if (edge < 0 || edge > 3)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "boundary stream edge range");
  VREL_TRY(check_cursor(f, rule, records));
  VREL_TRY(check_quadrature_head(f, ops));
  const QuadratureCall call{false, false, max_lines_of(rule), 1};
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(check_quadrature_device(f, call, ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<Entry>(kStreamUnavailable, true, diag, vertices, faces, cuts, ox,
                                       oy, edge, cursor, receipt, context, owners, nodes, workspace,
                                       diag);
  }
  VREL_TRY(check_quadrature_host(f, call, ops));
  VREL_TRY(check_stream_aliases(f, ops, records));
  CutLayout layout{};
  cut_layout(cuts, call.max_lines, &layout);
  Receipt r{};
  const Outcome outcome = frame::with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    return boundary_stream(data_of<T>(*vertices), data_of<int32_t>(*faces), faces->shape[0],
                           CutsOf<T>{data_of<T>(*cuts), layout.row, layout.lines, layout.packed},
                           ox, oy, edge, slot_width(rule), cursor_of(cursor),
                           integrate_workspace(workspace->data), mutable_data_of<int32_t>(*owners),
                           mutable_data_of<T>(*nodes), r);
  });
  if (outcome != Outcome::kOk) return f.fail(VREL_STATUS_OVERFLOW, kStreamOverflow);
  std::memcpy(receipt, &r, sizeof r);
  return VREL_STATUS_OK;
}

}  // namespace

#define VREL_BOUNDARY_BATCH_EXPORT(name, rule, entry)                                            \
  extern "C" VREL_API VrelStatus name(                                                           \
      const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,   \
      double origin_x, double origin_y, int32_t edge, const int32_t* cursor, int32_t* receipt,   \
      const VrelExecutionContext* context, const VrelTensorView* owners,                         \
      const VrelTensorView* nodes, const VrelBufferDescriptor* workspace,                        \
      VrelDiagnostic* diag) noexcept {                                                           \
    return boundary_batch<&frame::Table::entry>(rule, vertices, faces, cuts, origin_x, origin_y, \
                                                edge, cursor, receipt, context, owners, nodes,   \
                                                workspace, diag);                                \
  }
VREL_BOUNDARY_BATCH_EXPORT(vrel_render_opaque_boundary_batch64, 3, opaque_boundary_batch64)
VREL_BOUNDARY_BATCH_EXPORT(vrel_render_opaque_boundary_batch80, 4, opaque_boundary_batch80)
#undef VREL_BOUNDARY_BATCH_EXPORT
