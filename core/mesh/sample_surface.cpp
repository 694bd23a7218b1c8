// vrel_mesh_sample_surface and its backward and workspace query.
#include "mesh/checks.hpp"
#include "mesh/sample_surface_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;
using abi::mutable_data_of;
using frame::kAny;

namespace {

constexpr const char* kSampleCpuOnly =
    "mesh.sample_surface implements only the CPU backend in this phase";
constexpr frame::Family kSample{kSampleCpuOnly, kCpuOnly, kCpuWorkspace};
constexpr const char* kRngDtype = "generator key and counter must use the uint32 dtype";
constexpr uint64_t kMaxFacesForBytes = 2305843009213693951ull;  // F * 8 still fits 64 bits

VrelStatus rng_input(const frame::Frame& f, const VrelTensorView* view,
                     const char* shape_message) noexcept {
  VREL_TRY(f.input(view, {2}, shape_message));
  return f.dtype_is(view, VREL_DTYPE_UINT32, kRngDtype);
}

// A sampling output of the given shape and dtype.
VrelStatus sample_output(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                         const char* shape_message, uint32_t dtype,
                         const char* dtype_message) noexcept {
  VREL_TRY(f.output(view, dims, shape_message));
  return f.dtype_is(view, dtype, dtype_message);
}

// Packed offsets over `rows`: rank 1 with extent batch + 1 (1, `message`), validation, int32 (2),
// CPU (2), then the packed rules (1, `message`). Their access flags are not examined: only the
// proximity family refuses offsets that carry the output flag.
VrelStatus offsets_input(const frame::Frame& f, const VrelTensorView* view, int64_t batch,
                         int64_t rows, const char* message) noexcept {
  VREL_TRY(f.shape(view, {batch + 1}, message));
  VREL_TRY(f.validate(view));
  VREL_TRY(f.dtype_is(view, VREL_DTYPE_INT32, frame::kOffsetsDtype, VREL_STATUS_UNSUPPORTED));
  VREL_TRY(f.on_cpu(view));
  return f.offset_rules(view, rows, {message, message, message, message});
}

// A backward input whose access flags are not examined, so that the forward's face_index and
// barycentric outputs can be passed back as they are: shape (1), validation, CPU (2).
VrelStatus sampled_input(const frame::Frame& f, const VrelTensorView* view, frame::Dims dims,
                         const char* shape_message) noexcept {
  VREL_TRY(f.shape(view, dims, shape_message));
  VREL_TRY(f.validate(view));
  return f.on_cpu(view);
}

}  // namespace

extern "C" VREL_API VrelStatus vrel_mesh_sample_surface(
    const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelTensorView* vertex_offsets, const VrelTensorView* face_offsets, int64_t sample_count,
    const VrelTensorView* rng_key, const VrelTensorView* rng_counter, double eps,
    const VrelExecutionContext* context, const VrelTensorView* points,
    const VrelTensorView* face_index, const VrelTensorView* barycentric,
    const VrelTensorView* next_counter, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::sample_surface>(
        diag, vertices, faces, vertex_offsets, face_offsets, sample_count, rng_key, rng_counter,
        eps, context, points, face_index, barycentric, next_counter, workspace, diag);
  const frame::Frame f{diag, kSample};
  VREL_TRY(f.reset());
  if (sample_count < 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "the sample count must be nonnegative");
  VREL_TRY(check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(check_vertices(f, vertices));
  VREL_TRY(check_faces(f, faces));
  VREL_TRY(rng_input(f, rng_key, "the generator key must be a [2] uint32 view"));
  VREL_TRY(rng_input(f, rng_counter, "the generator counter must be a [2] uint32 view"));
  VREL_TRY(sample_output(f, next_counter, {2}, "the next counter must be a [2] uint32 output view",
                         VREL_DTYPE_UINT32, kRngDtype));
  if (vertex_offsets == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "required arguments must not be null");
  VREL_TRY(f.shape(vertex_offsets, {kAny}, vrel::sentence::kVertexOffsetsShape));
  const int64_t B = vertex_offsets->shape ? rows(vertex_offsets) - 1 : 0;
  if (B < 0) return f.fail(VREL_STATUS_INVALID_ARGUMENT, vrel::sentence::kVertexOffsetsShape);
  VREL_TRY(
      offsets_input(f, vertex_offsets, B, rows(vertices), vrel::sentence::kVertexOffsetsRules));
  VREL_TRY(offsets_input(f, face_offsets, B, rows(faces), vrel::sentence::kFaceOffsetsRules));
  // The next counter may not overlap an input it would corrupt. It may overlap the counter itself
  // (an in-place advance): key and counter are read once, before next_counter is written.
  VREL_TRY(f.no_alias({next_counter}, {vertices, faces, vertex_offsets, face_offsets, rng_key}));

  const int64_t S = sample_count;
  const uint32_t* key = data_of<uint32_t>(*rng_key);
  const uint32_t* counter = data_of<uint32_t>(*rng_counter);
  const SampleProblem problem{B,
                              S,
                              data_of<int32_t>(*faces),
                              data_of<int32_t>(*face_offsets),
                              eps,
                              {key[0], key[1]},
                              {counter[0], counter[1]}};
  // The counter is advanced only once every check has passed, so a refused call leaves it as it
  // was and the caller can retry with the same stream.
  const std::array<uint32_t, 2> next = next_counter_of(problem.counter);
  uint32_t* next_out = mutable_data_of<uint32_t>(*next_counter);
  if (S == 0 || B == 0) {
    next_out[0] = next[0];
    next_out[1] = next[1];
    return VREL_STATUS_OK;
  }

  VREL_TRY(sample_output(f, points, {B, S, 3}, "points must be a [B,S,3] output view",
                         vertices->dtype, "points must match the vertices dtype"));
  VREL_TRY(sample_output(f, barycentric, {B, S, 3}, "barycentrics must be a [B,S,3] output view",
                         vertices->dtype, "barycentrics must match the vertices dtype"));
  VREL_TRY(sample_output(f, face_index, {B, S}, "face indices must be a [B,S] output view",
                         VREL_DTYPE_INT32, vrel::sentence::kFaceIndexDtype));
  VREL_TRY(f.no_alias({points}, {vertices, faces}));
  VREL_TRY(f.no_alias({barycentric}, {vertices}));
  VREL_TRY(f.no_alias({points}, {barycentric, face_index}));
  VREL_TRY(f.no_alias(
      {points, barycentric, face_index},
      {next_counter, vertices, faces, vertex_offsets, face_offsets, rng_key, rng_counter}));
  const int64_t F = rows(faces);
  VREL_TRY(f.workspace(workspace, static_cast<uint64_t>(F) * sizeof(double), false, alignof(double),
                       "the workspace data pointer must be aligned to double",
                       {vertices, faces, vertex_offsets, face_offsets, rng_key, rng_counter, points,
                        face_index, barycentric, next_counter}));
  VREL_TRY(frame::check_faces_in_batches(f, problem.faces, data_of<int32_t>(*vertex_offsets),
                                         problem.face_offsets, B));
  const int64_t without_area = with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    return element_without_area(data_of<T>(*vertices), problem);
  });
  if (without_area >= 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "cannot sample a batch element with no positive-area face");

  next_out[0] = next[0];
  next_out[1] = next[1];
  const int64_t empty = with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    return sample_surface(data_of<T>(*vertices), problem,
                          F > 0 ? static_cast<double*>(workspace->data) : nullptr,
                          mutable_data_of<T>(*points), mutable_data_of<int32_t>(*face_index),
                          mutable_data_of<T>(*barycentric));
  });
  if (empty >= 0)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                  "cannot sample a batch element with no positive-area face");
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_sample_surface_backward(
    const VrelTensorView* faces, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelTensorView* grad_points,
    const VrelExecutionContext* context, const VrelTensorView* grad_vertices,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  if (frame::is_cuda(context))
    return frame::forward<&frame::Table::sample_surface_backward>(
        diag, faces, face_index, barycentric, grad_points, context, grad_vertices, workspace, diag);
  const frame::Frame f{diag, kSample};
  VREL_TRY(f.reset());
  VREL_TRY(f.context(context));
  VREL_TRY(check_faces(f, faces, VREL_STATUS_INVALID_ARGUMENT));
  VREL_TRY(sampled_input(f, face_index, {kAny, kAny}, "face indices must be a [B,S] tensor view"));
  VREL_TRY(f.dtype_is(face_index, VREL_DTYPE_INT32, vrel::sentence::kFaceIndexDtype));
  const int64_t B = face_index->shape[0];
  const int64_t S = face_index->shape[1];
  VREL_TRY(sampled_input(f, barycentric, {B, S, 3}, "barycentrics must be a [B,S,3] tensor view"));
  VREL_TRY(f.dtype_in(barycentric, frame::kFloating,
                      "barycentrics must use the float32 or float64 dtype"));
  VREL_TRY(
      sampled_input(f, grad_points, {B, S, 3}, "point cotangents must be a [B,S,3] tensor view"));
  VREL_TRY(
      f.dtype_is(grad_points, barycentric->dtype, "cotangents must match the barycentric dtype"));
  VREL_TRY(f.output(grad_vertices, {kAny, 3}, vrel::sentence::kVertexGradients));
  VREL_TRY(f.dtype_is(grad_vertices, barycentric->dtype,
                      "vertex gradients must match the barycentric dtype"));
  VREL_TRY(f.no_alias({grad_vertices}, {faces, face_index, barycentric, grad_points}));
  // The backward uses no scratch: a supplied buffer is validated and never touched.
  VREL_TRY(f.given_workspace(workspace));

  const SampleBackwardFault fault = with_floating(barycentric->dtype, [&](auto t) {
    using T = decltype(t);
    return sample_surface_backward(data_of<int32_t>(*faces), rows(faces),
                                   data_of<int32_t>(*face_index), data_of<T>(*barycentric),
                                   data_of<T>(*grad_points), B * S, rows(grad_vertices),
                                   mutable_data_of<T>(*grad_vertices));
  });
  switch (fault) {
    case SampleBackwardFault::kNone: return VREL_STATUS_OK;
    case SampleBackwardFault::kFaceOutOfRange:
      return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                    "a sampled face index lies outside the face range");
    case SampleBackwardFault::kVertexOutOfRange: break;
  }
  return f.fail(VREL_STATUS_INVALID_ARGUMENT,
                "a face references a vertex outside the gradient range");
}

extern "C" VREL_API VrelStatus vrel_mesh_sample_surface_workspace(
    int64_t vertex_count, int64_t face_count, int64_t sample_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* workspace_bytes, uint64_t* workspace_alignment,
    VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kSample};
  VREL_TRY(f.reset());
  VREL_TRY(frame::query_checks(
      f, {{vertex_count >= 0 && face_count >= 0 && sample_count >= 0, sentence::kCountsNegative}},
      dtype, "mesh.sample_surface supports the float32 and float64 dtypes", context,
      workspace_bytes, workspace_alignment));
  const auto F = static_cast<uint64_t>(face_count);
  if (F > kMaxFacesForBytes) return f.fail(VREL_STATUS_OVERFLOW, frame::kWorkspaceOverflow);
  // The device scratch is the area sums and one more word; F * 8 + 4 cannot wrap once F * 8 fits.
  if (context->device_type == VREL_DEVICE_CUDA)
    return frame::store_query(workspace_bytes, workspace_alignment, F * 8 + 4, 8);
  if (context->device_type != VREL_DEVICE_CPU)
    return f.fail(VREL_STATUS_UNSUPPORTED, kSampleCpuOnly);
  return frame::store_query(workspace_bytes, workspace_alignment, F * 8, 8);
}
