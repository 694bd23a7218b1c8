// Barycentric evaluation: points given as a face and barycentric weights (landmarks) on a batch
// of deformed meshes.
#include "animation/barycentric_kernel.hpp"
#include "animation/checks.hpp"

namespace vrel::animation {
namespace {

constexpr const char* kVerticesDtype = "vertices require float32 or float64";
constexpr const char* kCudaVerticesDtype = "animation requires floating vertices";
constexpr const char* kNoCotangent = "landmark backward requires cotangent";
constexpr const char* kFaceRange = "faces contain an out-of-range vertex";
constexpr const char* kLandmarkRange = "landmark face_index is out of range";

VrelStatus answer(const Counts& counts, uint32_t, uint64_t* bytes, uint64_t* alignment,
                  VrelDiagnostic* diag) noexcept {
  if (deformation_counts_overflow(counts))
    return abi::diag_write(diag, VREL_STATUS_OVERFLOW, "animation counts overflow");
  *bytes = 0;
  *alignment = 1;
  return VREL_STATUS_OK;
}

constexpr Query kQuery{provider::operation::kEvaluateBarycentric, answer,
                       "CUDA provider lacks requested animation operation", false, false};

struct Sizes {
  int64_t batch, rows, faces, landmarks;
};
Sizes sizes(const VrelTensorView* vertices, const VrelTensorView* faces,
            const VrelTensorView* face_index) noexcept {
  return {dim(vertices, 0), dim(vertices, 1), dim(faces, 0), dim(face_index, 0)};
}

// vertices [B,V,3], faces [F,3] int32, face_index [L] int32, barycentric [L,3].
VrelStatus inputs(Checks& c, const VrelTensorView* vertices, const VrelTensorView* faces,
                  const VrelTensorView* face_index, const VrelTensorView* barycentric,
                  const VrelExecutionContext* context,
                  const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(c.begin(context));
  if (!c.cuda()) VREL_TRY(c.cpu_workspace(workspace));
  VREL_TRY(c.floating(vertices, kVerticesDtype, kCudaVerticesDtype));
  VREL_TRY(c.input(vertices, {kAny, kAny, 3}, c.dtype()));
  VREL_TRY(c.input(faces, {kAny, 3}, VREL_DTYPE_INT32));
  VREL_TRY(c.input(face_index, {kAny}, VREL_DTYPE_INT32));
  return c.input(barycentric, {dim(face_index, 0), 3}, c.dtype());
}

// Every corner in [0, V) and every landmark face in [0, F), before anything is written.
VrelStatus index_rules(const Checks& c, const VrelTensorView* faces,
                       const VrelTensorView* face_index, const Sizes& n) noexcept {
  const int32_t* f = abi::data_of<int32_t>(*faces);
  for (int64_t i = 0; i < n.faces * 3; ++i)
    if (f[i] < 0 || f[i] >= n.rows) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kFaceRange);
  const int32_t* l = abi::data_of<int32_t>(*face_index);
  for (int64_t i = 0; i < n.landmarks; ++i)
    if (l[i] < 0 || l[i] >= n.faces) return c.fail(VREL_STATUS_INVALID_ARGUMENT, kLandmarkRange);
  return VREL_STATUS_OK;
}

template <typename T>
VrelStatus forward_cpu(const Checks& c, const VrelTensorView* vertices, const VrelTensorView* faces,
                       const VrelTensorView* face_index, const VrelTensorView* barycentric,
                       const VrelTensorView* output) noexcept {
  const Sizes n = sizes(vertices, faces, face_index);
  barycentric_forward(abi::data_of<T>(*vertices), abi::data_of<int32_t>(*faces),
                      abi::data_of<int32_t>(*face_index), abi::data_of<T>(*barycentric), n.batch,
                      n.rows, n.landmarks, abi::mutable_data_of<T>(*output));
  return c.finite_outputs({output});
}

template <typename T>
VrelStatus backward_cpu(const Checks& c, const VrelTensorView* vertices,
                        const VrelTensorView* faces, const VrelTensorView* face_index,
                        const VrelTensorView* barycentric, const VrelTensorView* grad_output,
                        const VrelTensorView* grad_vertices,
                        const VrelTensorView* grad_barycentric) noexcept {
  const Sizes n = sizes(vertices, faces, face_index);
  barycentric_backward(abi::data_of<T>(*vertices), abi::data_of<int32_t>(*faces),
                       abi::data_of<int32_t>(*face_index), abi::data_of<T>(*barycentric),
                       abi::data_of<T>(*grad_output), n.batch, n.rows, n.landmarks,
                       data_or_null<T>(grad_vertices), data_or_null<T>(grad_barycentric));
  return c.finite_outputs({grad_vertices, grad_barycentric});
}

}  // namespace
}  // namespace vrel::animation

using namespace vrel::animation;

extern "C" VREL_API VrelStatus vrel_mesh_evaluate_barycentric(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelExecutionContext* context,
    const VrelTensorView* output, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, vertices, faces, face_index, barycentric, context, workspace));
  const Sizes n = sizes(vertices, faces, face_index);
  VREL_TRY(c.output(output, {n.batch, n.landmarks, 3}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.landmarks}, workspace));
    return frame::forward_entry<&frame::Table::evaluate_barycentric>(
        "CUDA barycentric unavailable", true, diag, vertices, faces, face_index, barycentric,
        context, output, workspace, diag);
  }
  VREL_TRY(c.no_alias({output}, {vertices, faces, face_index, barycentric}, workspace, 0));
  VREL_TRY(index_rules(c, faces, face_index, n));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return forward_cpu<decltype(t)>(c, vertices, faces, face_index, barycentric, output);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_evaluate_barycentric_backward(
    const VrelTensorView* vertices, const VrelTensorView* faces, const VrelTensorView* face_index,
    const VrelTensorView* barycentric, const VrelTensorView* grad_output,
    const VrelExecutionContext* context, const VrelTensorView* grad_vertices,
    const VrelTensorView* grad_barycentric, const VrelBufferDescriptor* workspace,
    VrelDiagnostic* diag) noexcept {
  Checks c{diag};
  VREL_TRY(inputs(c, vertices, faces, face_index, barycentric, context, workspace));
  const Sizes n = sizes(vertices, faces, face_index);
  VREL_TRY(c.input(grad_output, {n.batch, n.landmarks, 3}, c.dtype(), kNoCotangent));
  VREL_TRY(c.any_gradient({grad_vertices, grad_barycentric}));
  VREL_TRY(c.optional_output(grad_vertices, {n.batch, n.rows, 3}));
  VREL_TRY(c.optional_output(grad_barycentric, {n.landmarks, 3}));
  if (c.cuda()) {
    VREL_TRY(c.cuda_scratch(kQuery, {n.batch, n.rows, n.landmarks}, workspace));
    return frame::forward_entry<&frame::Table::evaluate_barycentric_backward>(
        "CUDA barycentric backward unavailable", true, diag, vertices, faces, face_index,
        barycentric, grad_output, context, grad_vertices, grad_barycentric, workspace, diag);
  }
  VREL_TRY(c.no_alias({grad_vertices, grad_barycentric},
                      {vertices, faces, face_index, barycentric, grad_output}, workspace, 0));
  VREL_TRY(index_rules(c, faces, face_index, n));
  return frame::with_floating(c.dtype(), [&](auto t) {
    return backward_cpu<decltype(t)>(c, vertices, faces, face_index, barycentric, grad_output,
                                     grad_vertices, grad_barycentric);
  });
}

extern "C" VREL_API VrelStatus vrel_mesh_evaluate_barycentric_workspace(
    int64_t batch, int64_t vertex_count, int64_t landmark_count, uint32_t dtype,
    const VrelExecutionContext* context, uint64_t* bytes, uint64_t* alignment,
    VrelDiagnostic* diag) noexcept {
  return run_query(kQuery, {batch, vertex_count, landmark_count}, dtype, context, bytes, alignment,
                   diag);
}
