// vrel_render_opaque_quadrature, vrel_render_opaque_material_quadrature, their backwards and
// workspace queries, and vrel_render_opaque_boundary_quadrature, the one entry for both
// quadratures and the integration along a pixel edge.
#include <type_traits>

#include "opaque/boundary.hpp"
#include "opaque/checks.hpp"
#include "opaque/quadrature_kernel.hpp"

using namespace vrel;
using namespace vrel::opaque;
using abi::data_of;
using abi::mutable_data_of;

namespace {

constexpr int32_t kQuadratureLines = 16;

QuadratureCall call_of(bool backward, bool material, int64_t H, int64_t W) noexcept {
  // The row count only matters once the image range has passed, which bounds it by 2^40.
  return {backward, material, kQuadratureLines, H * W};
}

template <typename T>
QuadratureInputs<T> inputs_of(const QuadratureOperands& ops, bool material) noexcept {
  CutLayout layout{};
  cut_layout(ops.cuts, kQuadratureLines, &layout);
  return {data_of<T>(*ops.vertices),
          ops.vertices->shape[0],
          data_of<int32_t>(*ops.faces),
          ops.faces->shape[0],
          {data_of<T>(*ops.cuts), layout.row, layout.lines, layout.packed},
          {ops.height, ops.width, ops.ox, ops.oy},
          material ? Variant::kMaterial : Variant::kQuadrature};
}

VrelStatus report(const frame::Frame& f, Outcome outcome) noexcept {
  return outcome == Outcome::kOk ? VREL_STATUS_OK
                                 : f.fail(VREL_STATUS_OVERFLOW, kQuadratureOverflow);
}

// The forward of both variants after the CUDA branch.
VrelStatus run_forward(const frame::Frame& f, const QuadratureOperands& ops,
                       bool material) noexcept {
  VREL_TRY(check_quadrature_host(f, call_of(false, material, ops.height, ops.width), ops));
  return report(f, frame::with_floating(ops.vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return quadrature(
                      inputs_of<T>(ops, material), quadrature_workspace(ops.workspace->data),
                      mutable_data_of<int32_t>(*ops.owners), mutable_data_of<T>(*ops.nodes));
                }));
}

VrelStatus run_backward(const frame::Frame& f, const QuadratureOperands& ops,
                        bool material) noexcept {
  VREL_TRY(check_quadrature_host(f, call_of(true, material, ops.height, ops.width), ops));
  return report(f, frame::with_floating(ops.vertices->dtype, [&](auto t) {
                  using T = decltype(t);
                  return quadrature_backward(inputs_of<T>(ops, material), data_of<T>(*ops.gradient),
                                             quadrature_workspace(ops.workspace->data),
                                             mutable_data_of<T>(*ops.vertex_gradient),
                                             mutable_data_of<T>(*ops.cut_gradient));
                }));
}

// The workspace query of both variants.
VrelStatus query(bool material, uint32_t dtype, const VrelExecutionContext* context,
                 uint64_t* bytes, uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  VREL_TRY(vrel_validate_execution_context(context, diag));
  if (bytes == nullptr || alignment == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "quadrature workspace results required");
  if (context->device_type == VREL_DEVICE_CUDA) {
    const provider::OperationTable* table = provider::operations();
    if (provider::entry<&frame::Table::opaque_quadrature>(table) == nullptr)
      return f.fail(VREL_STATUS_UNSUPPORTED, kQuadratureUnavailable);
    if (material && provider::entry<&frame::Table::opaque_material_quadrature>(table) == nullptr)
      return f.fail(VREL_STATUS_UNSUPPORTED, "CUDA opaque material operation unavailable");
    return frame::forward_query(provider::operation::kOpaqueQuadrature, nullptr, 0, dtype, context,
                                bytes, alignment, diag, kQuadratureUnavailable);
  }
  if (context->device_type != VREL_DEVICE_CPU || !frame::is_floating(dtype))
    return f.fail(VREL_STATUS_UNSUPPORTED,
                  "opaque colour currently supports CPU float32/float64 only");
  return frame::store_query(bytes, alignment, kQuadratureWorkspaceBytes, 8);
}

// The forward exports: the head of the front end, then the provider's `Entry` on CUDA or the
// kernel on the CPU.
template <auto Entry>
VrelStatus forward(bool material, const char* unavailable, const VrelTensorView* vertices,
                   const VrelTensorView* faces, const VrelTensorView* cuts, int64_t H, int64_t W,
                   double ox, double oy, const VrelExecutionContext* context,
                   const VrelTensorView* owners, const VrelTensorView* nodes,
                   const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  const QuadratureOperands ops{vertices, faces,   cuts,   H,     W,       ox,      oy,
                               nullptr,  context, owners, nodes, nullptr, nullptr, workspace};
  VREL_TRY(f.reset());
  VREL_TRY(check_quadrature_head(f, ops));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(
        check_quadrature_device(f, call_of(false, material, H, W), ops, kQuadratureWorkspaceBytes));
    return frame::forward_entry<Entry>(unavailable, true, diag, vertices, faces, cuts, H, W, ox, oy,
                                       context, owners, nodes, workspace, diag);
  }
  return run_forward(f, ops, material);
}

// The backward exports, likewise; `Entry` nullptr: the provider table has no entry for the
// variant, so CUDA is refused after its device checks.
template <auto Entry>
VrelStatus backward(bool material, const char* unavailable, const VrelTensorView* vertices,
                    const VrelTensorView* faces, const VrelTensorView* cuts, int64_t H, int64_t W,
                    double ox, double oy, const VrelTensorView* gradient,
                    const VrelExecutionContext* context, const VrelTensorView* vertex_gradient,
                    const VrelTensorView* cut_gradient, const VrelBufferDescriptor* workspace,
                    VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  const QuadratureOperands ops{vertices,     faces,    cuts,    H,       W,       ox,
                               oy,           gradient, context, nullptr, nullptr, vertex_gradient,
                               cut_gradient, workspace};
  VREL_TRY(f.reset());
  VREL_TRY(check_quadrature_head(f, ops));
  if (context->device_type == VREL_DEVICE_CUDA) {
    VREL_TRY(
        check_quadrature_device(f, call_of(true, material, H, W), ops, kQuadratureWorkspaceBytes));
    if constexpr (std::is_null_pointer_v<decltype(Entry)>)
      return f.fail(VREL_STATUS_UNSUPPORTED, unavailable);
    else
      return frame::forward_entry<Entry>(unavailable, true, diag, vertices, faces, cuts, H, W, ox,
                                         oy, gradient, context, vertex_gradient, cut_gradient,
                                         workspace, diag);
  }
  return run_backward(f, ops, material);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_render_opaque_quadrature(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext* context, const VrelTensorView* owners, const VrelTensorView* nodes,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  return forward<&frame::Table::opaque_quadrature>(
      false, kQuadratureUnavailable, vertices, faces, cuts, image_height, image_width, origin_x,
      origin_y, context, owners, nodes, workspace, diag);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_quadrature_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView* gradient, const VrelExecutionContext* context,
    const VrelTensorView* vertex_gradient, const VrelTensorView* cut_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  return backward<&frame::Table::opaque_quadrature_backward>(
      false, kQuadratureUnavailable, vertices, faces, cuts, image_height, image_width, origin_x,
      origin_y, gradient, context, vertex_gradient, cut_gradient, workspace, diag);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_quadrature_workspace(
    uint32_t dtype, const VrelExecutionContext* context, uint64_t* workspace_bytes,
    uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  return query(false, dtype, context, workspace_bytes, workspace_alignment, diag);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_material_quadrature(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelExecutionContext* context, const VrelTensorView* owners, const VrelTensorView* nodes,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  return forward<&frame::Table::opaque_material_quadrature>(
      true, kMaterialUnavailable, vertices, faces, cuts, image_height, image_width, origin_x,
      origin_y, context, owners, nodes, workspace, diag);
}

// The provider table carries no material backward entry.
extern "C" VREL_API VrelStatus vrel_render_opaque_material_quadrature_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y,
    const VrelTensorView* gradient, const VrelExecutionContext* context,
    const VrelTensorView* vertex_gradient, const VrelTensorView* cut_gradient,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  return backward<nullptr>(true, kMaterialUnavailable, vertices, faces, cuts, image_height,
                           image_width, origin_x, origin_y, gradient, context, vertex_gradient,
                           cut_gradient, workspace, diag);
}

extern "C" VREL_API VrelStatus
vrel_render_opaque_material_quadrature_workspace(uint32_t dtype,
                                                 const VrelExecutionContext* context,
                                                 uint64_t* workspace_bytes,
                                                 uint64_t* workspace_alignment,
                                                 VrelDiagnostic* diag) noexcept {
  return query(true, dtype, context, workspace_bytes, workspace_alignment, diag);
}

extern "C" VREL_API VrelStatus vrel_render_opaque_boundary_quadrature(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* cuts,
    int64_t image_height, int64_t image_width, double origin_x, double origin_y, int32_t edge,
    const VrelExecutionContext* context, const VrelTensorView* out_1, const VrelTensorView* out_2,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kOpaque};
  VREL_TRY(f.reset());
  if (edge > 3 || edge < -2) return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque edge must be0..3");
  if (edge == -1)
    return vrel_render_opaque_quadrature(vertices, faces, cuts, image_height, image_width, origin_x,
                                         origin_y, context, out_1, out_2, workspace, diag);
  if (edge == -2)
    return vrel_render_opaque_material_quadrature(vertices, faces, cuts, image_height, image_width,
                                                  origin_x, origin_y, context, out_1, out_2,
                                                  workspace, diag);
  return boundary_side_quadrature(
      f,
      {vertices, faces, cuts, image_height, image_width, origin_x, origin_y, nullptr, context,
       out_1, out_2, nullptr, nullptr, workspace},
      edge);
}
