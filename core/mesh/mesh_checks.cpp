#include "mesh/mesh_checks.hpp"

#include <cmath>

namespace vrel::mesh {

VrelStatus check_eps(const frame::Frame& f, double eps) noexcept {
  return std::isfinite(eps) && eps >= 0.0 ? VREL_STATUS_OK
                                          : f.fail(VREL_STATUS_INVALID_ARGUMENT, kEps);
}

VrelStatus check_vertices(const frame::Frame& f, const VrelTensorView* vertices) noexcept {
  VREL_TRY(f.input(vertices, {frame::kAny, 3}, kVerticesShape));
  return f.dtype_in(vertices, frame::kFloating, kVerticesDtype);
}

VrelStatus check_faces(const frame::Frame& f, const VrelTensorView* faces,
                       VrelStatus dtype_status) noexcept {
  VREL_TRY(f.input(faces, {frame::kAny, 3}, kFacesShape));
  return f.dtype_is(faces, VREL_DTYPE_INT32, kFacesDtype, dtype_status);
}

VrelStatus check_face_range(const frame::Frame& f, const VrelTensorView* faces,
                            int64_t vertex_count) noexcept {
  const int32_t* index = abi::data_of<int32_t>(*faces);
  const int64_t n = rows(faces) * 3;
  for (int64_t i = 0; i < n; ++i)
    if (index[i] < 0 || index[i] >= vertex_count)
      return f.fail(VREL_STATUS_INVALID_ARGUMENT, kFaceRange);
  return VREL_STATUS_OK;
}

VrelStatus check_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                      const VrelTensorView* faces, double eps, const VrelExecutionContext* context,
                      const VrelBufferDescriptor* workspace) noexcept {
  VREL_TRY(check_eps(f, eps));
  VREL_TRY(f.context(context));
  VREL_TRY(check_vertices(f, vertices));
  VREL_TRY(check_faces(f, faces));
  VREL_TRY(f.supplied_workspace(workspace));
  return check_face_range(f, faces, rows(vertices));
}

VrelStatus check_query(const frame::Frame& f, const uint64_t* bytes, const uint64_t* alignment,
                       bool counts_nonnegative, const char* counts_message, uint32_t dtype,
                       const char* dtype_message, const VrelExecutionContext* context) noexcept {
  VREL_TRY(f.query_pointers(bytes, alignment));
  if (!counts_nonnegative) return f.fail(VREL_STATUS_INVALID_ARGUMENT, counts_message);
  VREL_TRY(f.floating_code(dtype, dtype_message));
  return vrel_validate_execution_context(context, f.diag());
}

}  // namespace vrel::mesh
