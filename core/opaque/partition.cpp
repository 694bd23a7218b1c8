// vrel_render_opaque_partition_prepare, _emit and _emit_workspace in their 52-, 64- and 80-slot
// variants: one pixel's quadrature prepared once into rows of 17 doubles, then emitted into
// 800-slot rows by cheap copies.
#include <cmath>
#include <cstring>

#include "opaque/batch_kernel.hpp"
#include "opaque/stream_checks.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr uint64_t kMetadataBytes = sizeof(PartitionMeta);

VrelStatus fail(const frame::Frame& f, const char* message) noexcept {
  return f.fail(VREL_STATUS_INVALID_ARGUMENT, message);
}

// The CUDA entry and sentence of a slot width: the 64-slot variant has its own.
const char* partition_unavailable(int32_t width) noexcept {
  return width == 64 ? "CUDA SH64 partition unavailable" : "CUDA partition unavailable";
}

VrelStatus prepare(int32_t width, const VrelTensorView* vertices, const VrelTensorView* faces,
                   const VrelTensorView* cuts, double ox, double oy,
                   const VrelExecutionContext* context, const VrelTensorView* rows,
                   int32_t* metadata, const VrelBufferDescriptor* workspace,
                   VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type == VREL_DEVICE_CUDA) {
    const char* missing = partition_unavailable(width);
    if (width == 64)
      return frame::forward_entry<&frame::Table::opaque_partition_prepare64>(
          missing, true, diag, vertices, faces, cuts, ox, oy, context, rows, metadata, workspace,
          diag);
    return frame::forward_entry<&frame::Table::opaque_partition_prepare>(
        missing, true, diag, vertices, faces, cuts, ox, oy, context, rows, metadata, workspace,
        diag);
  }
  if (metadata == nullptr || !image_in_range(1, 1, ox, oy))
    return fail(f, "partition origin/result");
  if (reinterpret_cast<uintptr_t>(metadata) % 4 != 0)
    return fail(f, "partition metadata alignment");
  VREL_TRY(check_opaque_mesh(f, vertices, faces, context, workspace));
  if (vertices->dtype != VREL_DTYPE_FLOAT64)
    return f.fail(VREL_STATUS_UNSUPPORTED, "partition float64 qualification only");
  const int64_t F = faces->shape[0], R = partition_rows(width);
  VREL_TRY(f.input(cuts, {F, frame::kAny, frame::kAny}, "partition cuts"));
  CutLayout layout{};
  if (cuts->shape[1] != 3 || !cut_layout(cuts, max_lines_of(rule_of_width(width)), &layout) ||
      cuts->dtype != vertices->dtype)
    return fail(f, "partition cuts dtype/capacity");
  VREL_TRY(f.output(rows, {R, kPartitionColumns}, "partition storage"));
  if (rows->dtype != VREL_DTYPE_FLOAT64) return fail(f, "partition storage dtype");
  VREL_TRY(check_fixed_workspace(f, workspace, kQuadratureWorkspaceBytes, "partition scratch",
                                 "partition scratch"));
  const abi::ByteRange scratch = range_of(workspace, kQuadratureWorkspaceBytes);
  const abi::ByteRange meta{reinterpret_cast<uintptr_t>(metadata), kMetadataBytes};
  for (const VrelTensorView* input : {vertices, faces, cuts}) {
    const abi::ByteRange in = range_of(input);
    if (in.overlaps(range_of(rows)) || in.overlaps(scratch) || in.overlaps(meta))
      return fail(f, "partition input alias");
  }
  for (const VrelTensorView* input : {vertices, faces, cuts, rows})
    if (input->device_type != context->device_type) return fail(f, "partition input device");
  if (range_of(rows).overlaps(scratch) || range_of(rows).overlaps(meta) || scratch.overlaps(meta))
    return fail(f, "partition storage alias");
  if (!coordinates_in_range(vertices) || !all_finite(cuts))
    return fail(f, "partition finite bounded inputs");
  const QuadratureInputs<double> in{data_of<double>(*vertices),
                                    vertices->shape[0],
                                    data_of<int32_t>(*faces),
                                    F,
                                    {data_of<double>(*cuts), layout.row, layout.lines, false},
                                    {1, 1, ox, oy},
                                    Variant::kMaterial};
  PartitionMeta out{};
  if (partition_prepare(in, width, quadrature_workspace(workspace->data),
                        mutable_data_of<double>(*rows), out) != Outcome::kOk)
    return f.fail(VREL_STATUS_OVERFLOW, "partition capacity/arithmetic overflow; all rows invalid");
  std::memcpy(metadata, &out, sizeof out);
  return VREL_STATUS_OK;
}

// The CPU checks and kernel of emit (both exports).
VrelStatus emit(const frame::Frame& f, int32_t width, const VrelTensorView* rows, int32_t count,
                int32_t begin, const VrelExecutionContext* context, const VrelTensorView* owners,
                const VrelTensorView* nodes) noexcept {
  const int64_t R = partition_rows(width);
  if (count < 0 || count > R || begin < 0 || begin > count || begin % partition_step(width) != 0)
    return fail(f, "partition range");
  VREL_TRY(f.input(rows, {R, kPartitionColumns}, "partition rows"));
  VREL_TRY(f.output(owners, {1, kNodeSlots}, "partition owners"));
  VREL_TRY(check_colour_tensor(f, nodes, 1, kNodeSlots, 4, VREL_DTYPE_FLOAT64, true));
  if (rows->dtype != VREL_DTYPE_FLOAT64 || owners->dtype != VREL_DTYPE_INT32 ||
      rows->device_type != context->device_type || owners->device_type != context->device_type ||
      nodes->device_type != context->device_type)
    return fail(f, "partition dtype/device");
  const abi::ByteRange r = range_of(rows), o = range_of(owners), n = range_of(nodes);
  if (r.overlaps(o) || r.overlaps(n) || o.overlaps(n)) return fail(f, "partition alias");
  if (partition_emit(data_of<double>(*rows), count, begin, mutable_data_of<int32_t>(*owners),
                     mutable_data_of<double>(*nodes)) != Outcome::kOk)
    return f.fail(VREL_STATUS_OVERFLOW, "partition row/arithmetic failure; outputs invalid");
  return VREL_STATUS_OK;
}

VrelStatus emit_plain(int32_t width, const VrelTensorView* rows, int32_t count, int32_t begin,
                      const VrelExecutionContext* context, const VrelTensorView* owners,
                      const VrelTensorView* nodes, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type != VREL_DEVICE_CPU)
    return f.fail(VREL_STATUS_UNSUPPORTED, "partition emit CPU qualification only");
  return emit(f, width, rows, count, begin, context, owners, nodes);
}

VrelStatus emit_scratch(int32_t width, const VrelTensorView* rows, int32_t count, int32_t begin,
                        const VrelExecutionContext* context, const VrelTensorView* owners,
                        const VrelTensorView* nodes, const VrelBufferDescriptor* workspace,
                        VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (context->device_type == VREL_DEVICE_CUDA) {
    const char* missing = partition_unavailable(width);
    if (width == 64)
      return frame::forward_entry<&frame::Table::opaque_partition_emit64>(
          missing, true, diag, rows, count, begin, context, owners, nodes, workspace, diag);
    return frame::forward_entry<&frame::Table::opaque_partition_emit>(
        missing, true, diag, rows, count, begin, context, owners, nodes, workspace, diag);
  }
  if (context->device_type != VREL_DEVICE_CPU)
    return f.fail(VREL_STATUS_UNSUPPORTED, "partition emit CPU qualification only");
  // The CPU uses no scratch, but the caller must supply a valid one, as on CUDA.
  if (workspace == nullptr) return f.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, "partition scratch");
  VREL_TRY(f.supplied_workspace(workspace));
  return emit(f, width, rows, count, begin, context, owners, nodes);
}

}  // namespace

#define VREL_PARTITION_EXPORTS(suffix, width)                                                  \
  extern "C" VREL_API VrelStatus vrel_render_opaque_partition_prepare##suffix(                 \
      const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts, \
      double origin_x, double origin_y, const VrelExecutionContext* context,                   \
      const VrelTensorView* rows, int32_t* metadata, const VrelBufferDescriptor* workspace,    \
      VrelDiagnostic* diag) noexcept {                                                         \
    return prepare(width, vertices, faces, cuts, origin_x, origin_y, context, rows, metadata,  \
                   workspace, diag);                                                           \
  }                                                                                            \
  extern "C" VREL_API VrelStatus vrel_render_opaque_partition_emit##suffix(                    \
      const VrelTensorView* rows, int32_t count, int32_t begin,                                \
      const VrelExecutionContext* context, const VrelTensorView* owners,                       \
      const VrelTensorView* nodes, VrelDiagnostic* diag) noexcept {                            \
    return emit_plain(width, rows, count, begin, context, owners, nodes, diag);                \
  }                                                                                            \
  extern "C" VREL_API VrelStatus vrel_render_opaque_partition_emit_workspace##suffix(          \
      const VrelTensorView* rows, int32_t count, int32_t begin,                                \
      const VrelExecutionContext* context, const VrelTensorView* owners,                       \
      const VrelTensorView* nodes, const VrelBufferDescriptor* workspace,                      \
      VrelDiagnostic* diag) noexcept {                                                         \
    return emit_scratch(width, rows, count, begin, context, owners, nodes, workspace, diag);   \
  }
VREL_PARTITION_EXPORTS(, 52)
VREL_PARTITION_EXPORTS(64, 64)
VREL_PARTITION_EXPORTS(80, 80)
#undef VREL_PARTITION_EXPORTS
