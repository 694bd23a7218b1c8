// vrel_mesh_validate and its workspace query (CPU only).
#include "mesh/checks.hpp"
#include "mesh/validate_kernel.hpp"

using namespace vrel;
using namespace vrel::mesh;
using abi::data_of;

namespace {

constexpr const char* kValidateCpuOnly =
    "mesh.validate implements only the CPU backend in this phase";
constexpr frame::Family kValidate{kValidateCpuOnly, kCpuOnly, kCpuWorkspace};
constexpr uint32_t kReportSize = 80;

// An int32 offsets view of rank 1 with `extent` entries (kAny: at least one), else 1 with
// `message`; then validation and, so that device memory is never read, the CPU rule.
VrelStatus offsets_view(const frame::Frame& f, const VrelTensorView* view, int64_t extent,
                        const char* message) noexcept {
  VREL_TRY(f.header(view));
  const bool shaped = frame::Frame::has_shape(view, {extent}) &&
                      (extent != frame::kAny || view->shape == nullptr || view->shape[0] >= 1);
  if (!shaped || view->dtype != VREL_DTYPE_INT32)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, message);
  VREL_TRY(f.validate(view));
  return f.on_cpu(view);
}

}  // namespace

static_assert(sizeof(VrelMeshValidationReport) == kReportSize);

extern "C" VREL_API VrelStatus vrel_mesh_validate(
    const VrelTensorView* vertices, const VrelTensorView* faces,
    const VrelTensorView* vertex_offsets, const VrelTensorView* face_offsets, double eps,
    uint32_t flags, const VrelExecutionContext* context, VrelMeshValidationReport* report,
    const VrelBufferDescriptor* workspace, VrelDiagnostic* diag) noexcept {
  const frame::Frame f{diag, kValidate};
  VREL_TRY(f.reset());
  if (report == nullptr)
    return f.fail(VREL_STATUS_INVALID_ARGUMENT, "the validation report pointer must not be null");
  if (report->struct_size < kReportSize)
    return f.fail(VREL_STATUS_ABI_MISMATCH,
                  "the validation report is smaller than this ABI version requires");
  if (flags >= 2) return f.fail(VREL_STATUS_INVALID_ARGUMENT, "unknown validation flags");
  VREL_TRY(check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(check_vertices(f, vertices));
  VREL_TRY(check_faces(f, faces));
  VREL_TRY(offsets_view(f, vertex_offsets, frame::kAny,
                        "vertex offsets must be a [B+1] int32 tensor view"));
  const int64_t entries = rows(vertex_offsets);
  VREL_TRY(
      offsets_view(f, face_offsets, entries, "face offsets must be a [B+1] int32 tensor view"));
  VREL_TRY(f.given_workspace(workspace));

  const ValidationFindings r = with_floating(vertices->dtype, [&](auto t) {
    using T = decltype(t);
    return validate_mesh(data_of<T>(*vertices), rows(vertices), data_of<int32_t>(*faces),
                         data_of<int32_t>(*vertex_offsets), data_of<int32_t>(*face_offsets),
                         entries, rows(faces), eps, (flags & VREL_MESH_VALIDATE_NONFINITE) != 0);
  });
  report->issues = r.issues;
  report->first_invalid_face = r.first_invalid_face;
  report->invalid_offset_index = r.invalid_offset_index;
  report->degenerate_faces = r.degenerate_faces;
  report->nonfinite_vertices = r.nonfinite_vertices;
  report->unreferenced_vertices = r.unreferenced_vertices;
  return VREL_STATUS_OK;
}

extern "C" VREL_API VrelStatus vrel_mesh_validate_workspace(
    int64_t vertex_count, int64_t face_count, const VrelExecutionContext* context,
    uint64_t* workspace_bytes, uint64_t* workspace_alignment, VrelDiagnostic* diag) noexcept {
  constexpr frame::Query kQuery{0, nullptr, frame::Query::kPointersFirst};  // CPU only, no dtype
  return frame::workspace_query(kValidate, kQuery,
                                {{vertex_count >= 0 && face_count >= 0, sentence::kCountsNegative}},
                                0, context, workspace_bytes, workspace_alignment, diag);
}
