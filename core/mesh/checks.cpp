#include "mesh/checks.hpp"

namespace vrel::mesh {

VrelStatus check_vertices(const frame::Frame& f, const VrelTensorView* vertices) noexcept {
  VREL_TRY(f.input(vertices, {frame::kAny, 3}, kVerticesShape));
  return f.dtype_in(vertices, frame::kFloating, kVerticesDtype);
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

}  // namespace vrel::mesh
