// Exports of the k-nearest-neighbour operation: forward search, backward pass, workspace query.
#include <algorithm>

#include "abi/frame.hpp"
#include "points/checks.hpp"
#include "points/knn_kernel.hpp"

using namespace vrel;
using namespace vrel::points;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

// The checks both directions share on query and reference.
VrelStatus check_points(const frame::Frame& f, const VrelTensorView* query,
                        const VrelTensorView* reference) noexcept {
  VREL_TRY(f.input(query, {kAny, 3}, "query must be a [P,3] tensor view"));
  VREL_TRY(
      f.dtype_in(query, frame::kFloating, "query points must use the float32 or float64 dtype"));
  VREL_TRY(f.input(reference, {kAny, 3}, "reference must be a [R,3] tensor view"));
  return f.dtype_is(reference, query->dtype, "reference points must match the query dtype");
}

// An input view of the backward pass with a [P,K] shape.
VrelStatus slot_input(const frame::Frame& f, const VrelTensorView* view, int64_t p, int64_t k,
                      const char* shape_message, uint32_t dtype,
                      const char* dtype_message) noexcept {
  VREL_TRY(f.input(view, {p, k}, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

VrelStatus slot_output(const frame::Frame& f, const VrelTensorView* view, int64_t p, int64_t k,
                       const char* shape_message, uint32_t dtype,
                       const char* dtype_message) noexcept {
  VREL_TRY(f.output(view, {p, k}, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

VrelStatus gradient_output(const frame::Frame& f, const VrelTensorView* view, int64_t rows,
                           uint32_t dtype, const char* shape_message,
                           const char* dtype_message) noexcept {
  if (view == nullptr) return VREL_STATUS_OK;
  VREL_TRY(f.output(view, {rows, 3}, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

template <typename T>
void run_search(const VrelTensorView* query, const VrelTensorView* reference,
                const VrelTensorView* query_offsets, const VrelTensorView* reference_offsets,
                int64_t k, const VrelTensorView* distances, const VrelTensorView* indices,
                const VrelTensorView* valid, void* index) noexcept {
  const KnnProblem<T> problem{data_of<T>(*query),
                              data_of<T>(*reference),
                              data_of<int32_t>(*query_offsets),
                              data_of<int32_t>(*reference_offsets),
                              query_offsets->shape[0] - 1,
                              k,
                              mutable_data_of<T>(*distances),
                              mutable_data_of<int32_t>(*indices),
                              mutable_data_of<uint8_t>(*valid)};
  if (index != nullptr)
    knn_search_indexed(problem, query->shape[0], reference->shape[0], index);
  else
    knn_search(problem);
}

template <typename T>
bool run_gradients(const VrelTensorView* query, const VrelTensorView* reference,
                   const VrelTensorView* indices, const VrelTensorView* valid,
                   const VrelTensorView* grad_distance, const VrelTensorView* grad_query,
                   const VrelTensorView* grad_reference) noexcept {
  return knn_gradients<T>({data_of<T>(*query), data_of<T>(*reference), data_of<int32_t>(*indices),
                           data_of<uint8_t>(*valid), data_of<T>(*grad_distance), query->shape[0],
                           reference->shape[0], indices->shape[1],
                           grad_query ? mutable_data_of<T>(*grad_query) : nullptr,
                           grad_reference ? mutable_data_of<T>(*grad_reference) : nullptr});
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_points_knn(
    const VrelTensorView* query, const VrelTensorView* reference,
    const VrelTensorView* query_offsets, const VrelTensorView* reference_offsets,
    int64_t neighbor_count, const VrelExecutionContext* context, const VrelTensorView* distances,
    const VrelTensorView* indices, const VrelTensorView* valid,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::knn>(diag, query, reference, query_offsets,
                                              reference_offsets, neighbor_count, context, distances,
                                              indices, valid, workspace, diag);
  const frame::Frame f{diag, kKnnFamily};
  VREL_TRY(f.reset());
  const int64_t k = neighbor_count;
  if (k < 1) return f.fail(VREL_STATUS_INVALID_ARGUMENT, kNeighborCount);
  VREL_TRY(f.context(context));
  VREL_TRY(check_points(f, query, reference));
  const int64_t p = query->shape[0];
  const int64_t r = reference->shape[0];
  const uint32_t dtype = query->dtype;

  const char* const kQueryOffsetsShape = "query offsets must be a [B+1] tensor view";
  VREL_TRY(f.header(query_offsets));
  if (query_offsets == nullptr || query_offsets->rank != 1 ||
      (query_offsets->shape != nullptr && query_offsets->shape[0] < 1))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kQueryOffsetsShape);
  const int64_t batch = query_offsets->shape != nullptr ? query_offsets->shape[0] - 1 : 0;
  VREL_TRY(
      f.offsets(query_offsets, batch, p, "query offsets must satisfy the packed-offset rules"));
  VREL_TRY(f.offsets(reference_offsets, batch, r,
                     "reference offsets must satisfy the packed-offset rules"));

  VREL_TRY(slot_output(f, distances, p, k, "distances must be a [P,K] output view", dtype,
                       "distances must match the query dtype"));
  VREL_TRY(slot_output(f, indices, p, k, "indices must be a [P,K] output view", VREL_DTYPE_INT32,
                       "indices must use the int32 dtype"));
  VREL_TRY(slot_output(f, valid, p, k, "valid must be a [P,K] output view", VREL_DTYPE_BOOL,
                       vrel::sentence::kValidDtype));
  // The offsets are read while the outputs are written, so they are guarded like the inputs.
  VREL_TRY(f.no_alias({distances, indices, valid},
                      {query, reference, query_offsets, reference_offsets}));
  VREL_TRY(f.given_workspace(workspace));
  if (p == 0) return VREL_STATUS_OK;

  frame::with_floating(dtype, [&](auto t) {
    using T = decltype(t);
    void* index = index_memory(
        workspace, knn_index_bytes<T>(p, r),
        {query, reference, query_offsets, reference_offsets, distances, indices, valid});
    run_search<T>(query, reference, query_offsets, reference_offsets, k, distances, indices, valid,
                  index);
  });
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_points_knn_backward(
    const VrelTensorView* query, const VrelTensorView* reference, const VrelTensorView* indices,
    const VrelTensorView* valid, const VrelTensorView* grad_distance_squared,
    const VrelExecutionContext* context, const VrelTensorView* grad_query,
    const VrelTensorView* grad_reference, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::knn_backward>(diag, query, reference, indices, valid,
                                                       grad_distance_squared, context, grad_query,
                                                       grad_reference, workspace, diag);
  const frame::Frame f{diag, kKnnFamily};
  VREL_TRY(f.reset());
  const char* const kIndicesShape = "indices must be a [P,K] tensor view";
  VREL_TRY(f.header(indices));
  if (indices == nullptr || indices->rank != 2 ||
      (indices->shape != nullptr && indices->shape[1] < 1))
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kIndicesShape);
  VREL_TRY(f.context(context));
  VREL_TRY(check_points(f, query, reference));
  const int64_t p = query->shape[0];
  const int64_t r = reference->shape[0];
  const uint32_t dtype = query->dtype;
  if (grad_query == nullptr && grad_reference == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, kGradientRequired);

  // A null shape array is left to validation; K is only read once indices has passed it.
  VREL_TRY(f.shape(indices, {p, kAny}, kIndicesShape));
  VREL_TRY(f.validate(indices));
  VREL_TRY(f.on_cpu(indices));
  VREL_TRY(f.not_output(indices));
  VREL_TRY(f.dtype_is(indices, VREL_DTYPE_INT32, "indices must use the int32 dtype"));
  const int64_t k = indices->shape[1];
  VREL_TRY(slot_input(f, valid, p, k, "valid must be a [P,K] tensor view", VREL_DTYPE_BOOL,
                      vrel::sentence::kValidDtype));
  VREL_TRY(slot_input(f, grad_distance_squared, p, k,
                      "distance cotangents must be a [P,K] tensor view", dtype,
                      "cotangents must match the query dtype"));
  VREL_TRY(gradient_output(f, grad_query, p, dtype, "query gradients must be a [P,3] output view",
                           "query gradients must match the query dtype"));
  VREL_TRY(gradient_output(f, grad_reference, r, dtype,
                           "reference gradients must be a [R,3] output view",
                           "reference gradients must match the query dtype"));
  // Clearing a gradient that shares bytes with an input would corrupt the pass.
  VREL_TRY(f.no_alias({grad_query, grad_reference},
                      {query, reference, indices, valid, grad_distance_squared}));
  VREL_TRY(f.given_workspace(workspace));

  const bool in_range = frame::with_floating(dtype, [&](auto t) {
    return run_gradients<decltype(t)>(query, reference, indices, valid, grad_distance_squared,
                                      grad_query, grad_reference);
  });
  if (!in_range)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "a valid neighbor index lies outside the reference range");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_points_knn_workspace(
    int64_t query_count, int64_t reference_count, int64_t neighbor_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* workspace_bytes, uint64_t* workspace_alignment,
    VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{provider::operation::kKnn, kQueryDtype, frame::Query::kCountsFirst};
  // The index over the reference points (none below the size where the exhaustive scan wins).
  // Callable counts fit int32 (the offsets are int32), which keeps the size far from overflow.
  const int64_t queries = std::clamp<int64_t>(query_count, 0, INT32_MAX);
  const int64_t references = std::clamp<int64_t>(reference_count, 0, INT32_MAX);
  const uint64_t bytes = dtype == VREL_DTYPE_FLOAT32 ? knn_index_bytes<float>(queries, references)
                                                     : knn_index_bytes<double>(queries, references);
  return frame::workspace_query(kQueryFamily, kQuery,
                                {{query_count >= 0 && reference_count >= 0, kCountsNegative},
                                 {neighbor_count >= 1, kNeighborCount}},
                                dtype, context, workspace_bytes, workspace_alignment, diag, bytes,
                                bytes == 0 ? 1 : 8);
}
