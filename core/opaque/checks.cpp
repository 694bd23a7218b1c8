#include "opaque/checks.hpp"

#include <cmath>

#include "opaque/quadrature_kernel.hpp"

using vrel::abi::data_of;

namespace vrel::opaque {

bool image_in_range(int64_t height, int64_t width, double ox, double oy) noexcept {
  return height > 0 && width > 0 && height <= kExtentLimit && width <= kExtentLimit &&
         std::isfinite(ox) && std::isfinite(oy) && std::fabs(ox) <= kCoordinateLimit &&
         std::fabs(oy) <= kCoordinateLimit;
}

VrelStatus check_opaque_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                             const VrelTensorView* faces, const VrelExecutionContext* context,
                             const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(f.context(context));
  VREL_TRY(f.input(vertices, {frame::kAny, 3}, sentence::kVerticesShape));
  VREL_TRY(f.dtype_in(vertices, frame::kFloating, sentence::kVerticesDtype));
  VREL_TRY(frame::check_faces(f, faces));
  VREL_TRY(f.supplied_workspace(workspace));
  const int64_t vertex_count = vertices->shape[0];
  const int32_t* index = data_of<int32_t>(*faces);
  for (int64_t i = 0; i < 3 * faces->shape[0]; ++i)
    if (index[i] < 0 || index[i] >= vertex_count)
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, sentence::kFaceRange);
  return VREL_STATUS_OK;
}

VrelStatus check_backend(const frame::Frame& f, const VrelExecutionContext* context,
                         const VrelTensorView* vertices, const char* message) noexcept {
  VREL_TRY(vrel_validate_execution_context(context, f.diag()));
  if (context->device_type != VREL_DEVICE_CPU || !frame::is_floating(vertices->dtype))
    return f.fail(VREL_STATUS_UNSUPPORTED, message);
  return VREL_STATUS_OK;
}

namespace {

template <typename Pred>
bool every_element(const VrelTensorView* view, Pred pred) noexcept {
  const uint64_t n = abi::element_count(*view);
  return frame::with_floating(view->dtype, [&](auto t) {
    const auto* p = data_of<decltype(t)>(*view);
    for (uint64_t i = 0; i < n; ++i)
      if (!pred(static_cast<double>(p[i]))) return false;
    return true;
  });
}

}  // namespace

bool all_finite(const VrelTensorView* view) noexcept {
  return every_element(view, [](double x) { return std::isfinite(x); });
}

bool coordinates_in_range(const VrelTensorView* vertices) noexcept {
  // NaN fails the comparison.
  return every_element(vertices, [](double x) { return std::fabs(x) <= kCoordinateLimit; });
}

VrelStatus check_colour_tensor(const frame::Frame& f, const VrelTensorView* view, int64_t e0,
                               int64_t e1, int64_t e2, uint32_t dtype, bool output) noexcept {
  VREL_TRY(f.header(view));  // a short or foreign record is refused before its rank is read
  if (view == nullptr || view->rank != 3 || (view->shape != nullptr && view->shape[0] != e0))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour tensor shape");
  VREL_TRY(f.validate(view));
  VREL_TRY(f.on_cpu(view));
  VREL_TRY(output ? f.is_output(view) : f.not_output(view));
  if (view->shape[1] != e1 || view->shape[2] != e2 || view->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque colour tensor shape/dtype mismatch");
  return VREL_STATUS_OK;
}

VrelStatus check_fixed_workspace(const frame::Frame& f, const VrelBufferDescriptor* workspace,
                                 uint64_t bytes, const char* capacity_message,
                                 const char* alignment_message) noexcept {
  if (workspace == nullptr || workspace->data == nullptr || workspace->capacity < bytes)
    return f.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, capacity_message);
  if (reinterpret_cast<uintptr_t>(workspace->data) % 8 != 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, alignment_message);
  return VREL_STATUS_OK;
}

abi::ByteRange range_of(const VrelTensorView* view) noexcept {
  return view == nullptr ? abi::ByteRange{} : abi::byte_range(*view);
}

}  // namespace vrel::opaque

namespace vrel::opaque {

namespace {

constexpr const char* kCutsMessage =
    "opaque quadrature cuts require[F,3,K] K<=16 or packed[F,1,3*K+6] K<=15";
// The packed layout's K limit whatever the plain one.
constexpr int32_t kPackedLines = 15;
constexpr int64_t kSlots = 800;

bool same_device(const VrelTensorView* view, const VrelExecutionContext* context) noexcept {
  return view->device_type == VREL_DEVICE_CUDA && view->device_index == context->device_index;
}

}  // namespace

bool cut_layout(const VrelTensorView* cuts, int32_t max_lines, CutLayout* layout) noexcept {
  if (cuts->rank != 3) return false;
  const int64_t e1 = cuts->shape[1], e2 = cuts->shape[2];
  if (e1 == 3 && e2 >= 0 && e2 <= max_lines) {
    *layout = {static_cast<int32_t>(e2), 3 * e2, false};
    return true;
  }
  if (e1 == 1 && e2 >= 6 && e2 <= 3 * kPackedLines + 6 && e2 % 3 == 0) {
    *layout = {static_cast<int32_t>((e2 - 6) / 3), e2, true};
    return true;
  }
  return false;
}

VrelStatus check_quadrature_head(const frame::Frame& f, const QuadratureOperands& ops) noexcept {
  if (!image_in_range(ops.height, ops.width, ops.ox, ops.oy))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "opaque quadrature image/origin range");
  return vrel_validate_execution_context(ops.context, f.diag());
}

VrelStatus check_quadrature_host(const frame::Frame& f, const QuadratureCall& call,
                                 const QuadratureOperands& ops) noexcept {
  VREL_TRY(check_opaque_mesh(f, ops.vertices, ops.faces, ops.context, ops.workspace));
  const uint32_t dtype = ops.vertices->dtype;
  const int64_t V = ops.vertices->shape[0], F = ops.faces->shape[0];
  // Cuts: rank and extent 0, the view, then the layout and dtype.
  VREL_TRY(f.header(ops.cuts));
  if (ops.cuts == nullptr || ops.cuts->rank != 3 ||
      (ops.cuts->shape != nullptr && ops.cuts->shape[0] != F))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "quadrature cuts shape");
  VREL_TRY(f.validate(ops.cuts));
  VREL_TRY(f.on_cpu(ops.cuts));
  VREL_TRY(f.not_output(ops.cuts));
  CutLayout layout{};
  if (!cut_layout(ops.cuts, call.max_lines, &layout) || ops.cuts->dtype != dtype)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kCutsMessage);
  const VrelTensorView* outputs[2] = {ops.owners, ops.nodes};
  if (!call.backward) {
    VREL_TRY(f.output(ops.owners, {call.rows, kSlots}, "quadrature owners"));
    VREL_TRY(f.dtype_is(ops.owners, VREL_DTYPE_INT32, "quadrature owners require int32"));
    VREL_TRY(check_colour_tensor(f, ops.nodes, call.rows, kSlots, 4, dtype, true));
  } else {
    VREL_TRY(check_colour_tensor(f, ops.gradient, call.rows, kSlots, 4, dtype, false));
    VREL_TRY(f.output(ops.vertex_gradient, {V, 3}, "quadrature vertex gradient"));
    VREL_TRY(f.dtype_is(ops.vertex_gradient, dtype, "quadrature vertex gradient dtype"));
    VREL_TRY(check_colour_tensor(f, ops.cut_gradient, F, ops.cuts->shape[1], ops.cuts->shape[2],
                                 dtype, true));
    outputs[0] = ops.vertex_gradient;
    outputs[1] = ops.cut_gradient;
  }
  if (!coordinates_in_range(ops.vertices) || !all_finite(ops.cuts) ||
      (call.backward && !all_finite(ops.gradient)))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "quadrature inputs must be finite and coordinates bounded");
  VREL_TRY(check_fixed_workspace(f, ops.workspace, kQuadratureWorkspaceBytes,
                                 "quadrature workspace capacity insufficient",
                                 "quadrature workspace alignment"));
  const abi::ByteRange scratch = range_of(ops.workspace, kQuadratureWorkspaceBytes);
  for (const VrelTensorView* input : {ops.vertices, ops.faces, ops.cuts, ops.gradient}) {
    VREL_TRY(disjoint(f, range_of(input), scratch, "quadrature input/workspace overlap"));
    for (const VrelTensorView* out : outputs)
      VREL_TRY(disjoint(f, range_of(input), range_of(out), "quadrature input/output overlap"));
  }
  for (const VrelTensorView* out : outputs)
    VREL_TRY(disjoint(f, range_of(out), scratch, "quadrature output/workspace overlap"));
  return disjoint(f, range_of(outputs[0]), range_of(outputs[1]), "quadrature outputs overlap");
}

VrelStatus check_quadrature_device(const frame::Frame& f, const QuadratureCall& call,
                                   const QuadratureOperands& ops, uint64_t scratch_bytes) noexcept {
  const VrelTensorView* inputs[4] = {ops.vertices, ops.faces, ops.cuts,
                                     call.backward ? ops.gradient : nullptr};
  const VrelTensorView* outputs[2] = {call.backward ? ops.vertex_gradient : ops.owners,
                                      call.backward ? ops.cut_gradient : ops.nodes};
  auto fail = [&](const char* message) { return f.fail(VREL_STATUS_INVALID_ARGUMENT, message); };
  // Every view on the context's device with its access flag.
  for (const VrelTensorView* view : inputs) {
    if (view == nullptr) continue;
    VREL_TRY(f.validate(view));
    if (!same_device(view, ops.context) || (view->flags & VREL_TENSOR_OUTPUT) != 0)
      return fail("quadrature device/flags mismatch");
  }
  for (const VrelTensorView* view : outputs) {
    if (view == nullptr) continue;
    VREL_TRY(f.validate(view));
    if (!same_device(view, ops.context) || (view->flags & VREL_TENSOR_OUTPUT) == 0)
      return fail("quadrature device/flags mismatch");
  }
  // Dtypes: floating vertices, int32 faces and owners, the vertex dtype elsewhere.
  const uint32_t dtype = ops.vertices != nullptr ? ops.vertices->dtype : 0;
  bool dtypes = frame::is_floating(dtype);
  auto is = [&](const VrelTensorView* view, uint32_t expected) {
    dtypes = dtypes && (view == nullptr || view->dtype == expected);
  };
  is(ops.faces, VREL_DTYPE_INT32);
  is(ops.cuts, dtype);
  is(inputs[3], dtype);
  is(outputs[0], call.backward ? dtype : VREL_DTYPE_INT32);
  is(outputs[1], dtype);
  if (!dtypes) return fail("quadrature dtype mismatch");
  // Shapes.
  CutLayout layout{};
  if (!frame::Frame::has_shape(ops.vertices, {frame::kAny, 3}) ||
      !frame::Frame::has_shape(ops.faces, {frame::kAny, 3}) || ops.cuts == nullptr ||
      ops.cuts->rank != 3 || ops.cuts->shape[0] != ops.faces->shape[0] ||
      !cut_layout(ops.cuts, call.max_lines, &layout))
    return fail("quadrature input shapes");
  const int64_t V = ops.vertices->shape[0];
  if (!call.backward) {
    if (!frame::Frame::has_shape(ops.owners, {call.rows, kSlots}) ||
        !frame::Frame::has_shape(ops.nodes, {call.rows, kSlots, 4}))
      return fail("quadrature output shapes");
  } else if (!frame::Frame::has_shape(ops.gradient, {call.rows, kSlots, 4}) ||
             !frame::Frame::has_shape(ops.vertex_gradient, {V, 3}) ||
             !frame::Frame::has_shape(
                 ops.cut_gradient, {ops.cuts->shape[0], ops.cuts->shape[1], ops.cuts->shape[2]})) {
    return fail("quadrature backward shapes");
  }
  // The caller's scratch on the same device.
  const VrelBufferDescriptor* ws = ops.workspace;
  if (ws == nullptr || ws->data == nullptr)
    return f.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, "quadrature caller scratch required");
  VREL_TRY(vrel_validate_buffer(ws, f.diag()));
  if (ws->device_type != VREL_DEVICE_CUDA || ws->device_index != ops.context->device_index ||
      reinterpret_cast<uintptr_t>(ws->data) % 8 != 0)
    return fail("quadrature scratch device/alignment");
  if (ws->capacity < scratch_bytes)
    return f.fail(VREL_STATUS_INSUFFICIENT_CAPACITY, "quadrature scratch capacity");
  const abi::ByteRange scratch = range_of(ws, scratch_bytes);
  for (const VrelTensorView* view :
       {inputs[0], inputs[1], inputs[2], inputs[3], outputs[0], outputs[1]})
    VREL_TRY(disjoint(f, range_of(view), scratch, "quadrature scratch alias"));
  for (const VrelTensorView* out : outputs)
    for (const VrelTensorView* other : {inputs[0], inputs[1], inputs[2], inputs[3]})
      VREL_TRY(disjoint(f, range_of(out), range_of(other), "quadrature output alias"));
  return disjoint(f, range_of(outputs[0]), range_of(outputs[1]), "quadrature output alias");
}

}  // namespace vrel::opaque
