#include "abi/frame.hpp"

#include <cmath>

namespace vrel::frame {

using abi::diag_write;

VrelStatus forward_query(uint64_t operation_id, const uint64_t* counts, uint64_t count_number,
                         uint32_t dtype, const VrelExecutionContext* ctx, uint64_t* bytes,
                         uint64_t* alignment, VrelDiagnostic* diag, const char* missing) noexcept {
  const auto query = provider::entry<&Table::workspace_query>(provider::operations());
  if (query == nullptr) return diag_write(diag, VREL_STATUS_UNSUPPORTED, missing);
  return query(operation_id, counts, count_number, dtype, ctx, bytes, alignment, diag);
}

OffsetsFault packed_offsets_fault(const int32_t* offsets, int64_t entries, int64_t rows) noexcept {
  if (entries <= 0) return OffsetsFault::kFirst;
  if (offsets[0] != 0) return OffsetsFault::kFirst;
  for (int64_t i = 1; i < entries; ++i)
    if (offsets[i] < offsets[i - 1]) return OffsetsFault::kOrder;
  if (offsets[entries - 1] != rows) return OffsetsFault::kLast;
  return OffsetsFault::kNone;
}

VrelStatus Frame::context(const VrelExecutionContext* ctx) const noexcept {
  VREL_TRY(vrel_validate_execution_context(ctx, diag_));
  if (ctx->device_type != VREL_DEVICE_CPU)
    return fail(VREL_STATUS_UNSUPPORTED, family_.cpu_backend);
  return VREL_STATUS_OK;
}

bool extents_match(const VrelTensorView& view, const int64_t* extents, std::size_t rank) noexcept {
  if (view.shape == nullptr) return true;
  for (std::size_t i = 0; i < rank; ++i)
    if (extents[i] != kAny && view.shape[i] != extents[i]) return false;
  return true;
}

bool Frame::has_shape(const VrelTensorView* view, Dims dims) noexcept {
  return view != nullptr && view->rank == dims.size() &&
         extents_match(*view, dims.begin(), dims.size());
}

VrelStatus Frame::validate(const VrelTensorView* view) const noexcept {
  return vrel_validate_tensor_view(view, diag_);
}

VrelStatus Frame::on_cpu(const VrelTensorView* view) const noexcept {
  return view->device_type == VREL_DEVICE_CPU ? VREL_STATUS_OK
                                              : fail(VREL_STATUS_UNSUPPORTED, family_.cpu_view);
}

VrelStatus Frame::not_output(const VrelTensorView* view) const noexcept {
  return (view->flags & VREL_TENSOR_OUTPUT) == 0
             ? VREL_STATUS_OK
             : fail(VREL_STATUS_INVALID_ARGUMENT, kInputOutputFlag);
}

VrelStatus Frame::is_output(const VrelTensorView* view) const noexcept {
  return (view->flags & VREL_TENSOR_OUTPUT) != 0
             ? VREL_STATUS_OK
             : fail(VREL_STATUS_INVALID_ARGUMENT, kOutputFlagRequired);
}

VrelStatus Frame::input(const VrelTensorView* view, Dims dims,
                        const char* shape_message) const noexcept {
  VREL_TRY(shape(view, dims, shape_message));
  VREL_TRY(validate(view));
  VREL_TRY(on_cpu(view));
  return not_output(view);
}

VrelStatus Frame::output(const VrelTensorView* view, Dims dims,
                         const char* shape_message) const noexcept {
  VREL_TRY(shape(view, dims, shape_message));
  VREL_TRY(validate(view));
  VREL_TRY(on_cpu(view));
  return is_output(view);
}

bool overlaps(const abi::ByteRange& range, Views views) noexcept {
  for (const VrelTensorView* view : views)
    if (view != nullptr && range.overlaps(abi::byte_range(*view))) return true;
  return false;
}

bool mutually_overlap(Views views) noexcept {
  for (auto first = views.begin(); first != views.end(); ++first) {
    if (*first == nullptr) continue;
    const abi::ByteRange range = abi::byte_range(**first);
    for (auto other = first + 1; other != views.end(); ++other)
      if (*other != nullptr && range.overlaps(abi::byte_range(**other))) return true;
  }
  return false;
}

VrelStatus Frame::no_alias(Views outputs, Views inputs, const char* message) const noexcept {
  bool aliased = mutually_overlap(outputs);
  for (const VrelTensorView* out : outputs)
    aliased = aliased || (out != nullptr && overlaps(abi::byte_range(*out), inputs));
  return aliased ? fail(VREL_STATUS_INVALID_ARGUMENT, message) : VREL_STATUS_OK;
}

VrelStatus Frame::offset_rules(const VrelTensorView* view, int64_t rows,
                               const OffsetMessages& messages) const noexcept {
  switch (packed_offsets_fault(abi::data_of<int32_t>(*view), view->shape[0], rows)) {
    case OffsetsFault::kNone: return VREL_STATUS_OK;
    case OffsetsFault::kFirst: return fail(VREL_STATUS_INVALID_ARGUMENT, messages.first);
    case OffsetsFault::kOrder: return fail(VREL_STATUS_INVALID_ARGUMENT, messages.order);
    case OffsetsFault::kLast: break;
  }
  return fail(VREL_STATUS_INVALID_ARGUMENT, messages.last);
}

VrelStatus Frame::offsets(const VrelTensorView* view, int64_t batch, int64_t rows,
                          const OffsetMessages& messages) const noexcept {
  VREL_TRY(shape(view, {batch + 1}, messages.shape));
  VREL_TRY(validate(view));
  VREL_TRY(dtype_is(view, VREL_DTYPE_INT32, kOffsetsDtype, VREL_STATUS_UNSUPPORTED));
  VREL_TRY(on_cpu(view));
  VREL_TRY(not_output(view));
  return offset_rules(view, rows, messages);
}

VrelStatus Frame::offsets(const VrelTensorView* view, int64_t batch, int64_t rows,
                          const char* message) const noexcept {
  return offsets(view, batch, rows, OffsetMessages{message, message, message, message});
}

VrelStatus Frame::supplied_workspace(const VrelBufferDescriptor* workspace) const noexcept {
  VREL_TRY(given_workspace(workspace));
  if (workspace != nullptr && workspace->device_type != VREL_DEVICE_CPU)
    return fail(VREL_STATUS_UNSUPPORTED, family_.cpu_workspace);
  return VREL_STATUS_OK;
}

VrelStatus Frame::workspace(const VrelBufferDescriptor* workspace, uint64_t required, bool backward,
                            std::size_t element_alignment, const char* alignment_message,
                            Views operands) const noexcept {
  if (required == 0) return VREL_STATUS_OK;
  const char* capacity_message = backward ? kBackwardWorkspace : kForwardWorkspace;
  if (workspace == nullptr || workspace->capacity < required)
    return fail(VREL_STATUS_INSUFFICIENT_CAPACITY, capacity_message);
  VREL_TRY(vrel_validate_buffer(workspace, diag_));
  if (workspace->device_type != VREL_DEVICE_CPU)
    return fail(VREL_STATUS_UNSUPPORTED, family_.cpu_workspace);
  if (reinterpret_cast<uintptr_t>(workspace->data) % element_alignment != 0)
    return fail(VREL_STATUS_INVALID_ARGUMENT, alignment_message);
  const abi::ByteRange span{reinterpret_cast<uintptr_t>(workspace->data), required};
  return overlaps(span, operands) ? fail(VREL_STATUS_INVALID_ARGUMENT, kWorkspaceAlias)
                                  : VREL_STATUS_OK;
}

VrelStatus check_eps(const Frame& f, double eps) noexcept {
  return std::isfinite(eps) && eps >= 0.0 ? VREL_STATUS_OK
                                          : f.fail(VREL_STATUS_INVALID_ARGUMENT, sentence::kEps);
}

VrelStatus check_faces(const Frame& f, const VrelTensorView* faces,
                       VrelStatus dtype_status) noexcept {
  VREL_TRY(f.input(faces, {kAny, 3}, sentence::kFacesShape));
  return f.dtype_is(faces, VREL_DTYPE_INT32, sentence::kFacesDtype, dtype_status);
}

VrelStatus check_faces_in_batches(const Frame& f, const int32_t* faces,
                                  const int32_t* vertex_offsets, const int32_t* face_offsets,
                                  int64_t batch) noexcept {
  for (int64_t b = 0; b < batch; ++b)
    for (int64_t c = 3 * int64_t{face_offsets[b]}; c < 3 * int64_t{face_offsets[b + 1]}; ++c)
      if (faces[c] < vertex_offsets[b] || faces[c] >= vertex_offsets[b + 1])
        return f.fail(VREL_STATUS_INVALID_ARGUMENT, sentence::kFacesOwnBatch);
  return VREL_STATUS_OK;
}

namespace {

VrelStatus count_rules(const Frame& f, Rules counts) noexcept {
  for (const Rule& rule : counts)
    if (!rule.holds) return f.fail(VREL_STATUS_INVALID_ARGUMENT, rule.message);
  return VREL_STATUS_OK;
}

}  // namespace

VrelStatus query_checks(const Frame& f, Rules counts, uint32_t dtype, const char* dtype_message,
                        const VrelExecutionContext* ctx, const uint64_t* bytes,
                        const uint64_t* alignment) noexcept {
  VREL_TRY(f.query_pointers(bytes, alignment));
  VREL_TRY(count_rules(f, counts));
  if (dtype_message != nullptr) VREL_TRY(f.floating_code(dtype, dtype_message));
  return vrel_validate_execution_context(ctx, f.diag());
}

VrelStatus workspace_query(const Family& family, const Query& query, Rules counts, uint32_t dtype,
                           const VrelExecutionContext* ctx, uint64_t* bytes, uint64_t* alignment,
                           VrelDiagnostic* diag, uint64_t answer_bytes,
                           uint64_t answer_alignment) noexcept {
  const bool host_first = query.order == Query::kHostFirst;
  const bool forwarded = query.operation_id != 0;
  if (forwarded && !host_first && is_cuda(ctx))
    return forward_query(query.operation_id, nullptr, 0, dtype, ctx, bytes, alignment, diag);
  const Frame f{diag, family};
  VREL_TRY(f.reset());
  if (host_first) {
    VREL_TRY(query_checks(f, counts, dtype, query.dtype_message, ctx, bytes, alignment));
    if (forwarded && ctx->device_type == VREL_DEVICE_CUDA)
      return forward_query(query.operation_id, nullptr, 0, dtype, ctx, bytes, alignment, diag);
    return store_query(bytes, alignment, answer_bytes, answer_alignment);
  }
  if (query.order == Query::kCountsFirst) VREL_TRY(count_rules(f, counts));
  VREL_TRY(f.query_pointers(bytes, alignment));
  if (query.order == Query::kPointersFirst) VREL_TRY(count_rules(f, counts));
  if (query.dtype_message != nullptr) VREL_TRY(f.floating_code(dtype, query.dtype_message));
  VREL_TRY(f.context(ctx));
  return store_query(bytes, alignment, answer_bytes, answer_alignment);
}

}  // namespace vrel::frame
