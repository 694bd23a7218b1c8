// Checks and sentences that several mesh exports share, and the dtype dispatch of their kernels.
#pragma once

#include <cstdint>

#include "abi/frame.hpp"

namespace vrel::mesh {

inline constexpr const char* kCpuOnly = "mesh operations implement only the CPU backend in this phase";
inline constexpr const char* kCpuWorkspace = "mesh operations accept only CPU workspace storage";
inline constexpr const char* kEps = "eps must be finite and nonnegative";
inline constexpr const char* kVerticesShape = "vertices must be a [V,3] tensor view";
inline constexpr const char* kVerticesDtype = "vertices must use the float32 or float64 dtype";
inline constexpr const char* kFacesShape = "faces must be a [F,3] tensor view";
inline constexpr const char* kFacesDtype = "faces must use the int32 dtype";
inline constexpr const char* kFaceRange = "face indices must lie in [0, V)";
inline constexpr const char* kVertexCounts = "vertex and face counts must be nonnegative";
inline constexpr const char* kCotangentDtype = "cotangents must match the vertices dtype";
inline constexpr const char* kGradShape = "vertex gradients must be a [V,3] output view";
inline constexpr const char* kGradDtype = "vertex gradients must match the vertices dtype";

// The family of the exports that run the mesh input check: every device rule has the generic
// mesh sentence.
inline constexpr frame::Family kMesh{kCpuOnly, kCpuOnly, kCpuWorkspace};

// eps finite and nonnegative (-0.0 passes).
VrelStatus check_eps(const frame::Frame& f, double eps) noexcept;

// vertices: [V,3] input (shape, validation, CPU, no output flag), then float32/float64 (2).
VrelStatus check_vertices(const frame::Frame& f, const VrelTensorView* vertices) noexcept;

// faces: [F,3] input, then int32 (`dtype_status`, 2 for every export but one).
VrelStatus check_faces(const frame::Frame& f, const VrelTensorView* faces,
                       VrelStatus dtype_status = VREL_STATUS_UNSUPPORTED) noexcept;

// Every index of `faces`, in storage order, in [0, vertex_count).
VrelStatus check_face_range(const frame::Frame& f, const VrelTensorView* faces,
                            int64_t vertex_count) noexcept;

// The mesh input check of face geometry, face gathering and vertex normals: eps, context,
// vertices, faces, a supplied workspace, then the index range.
VrelStatus check_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                      const VrelTensorView* faces, double eps, const VrelExecutionContext* context,
                      const VrelBufferDescriptor* workspace) noexcept;

// The workspace-query checks after the reset: result pointers, nonnegative counts, a floating
// dtype (2, `dtype_message`) and the validated context (device rule left to the caller).
VrelStatus check_query(const frame::Frame& f, const uint64_t* bytes, const uint64_t* alignment,
                       bool counts_nonnegative, const char* counts_message, uint32_t dtype,
                       const char* dtype_message, const VrelExecutionContext* context) noexcept;

// Rows of a validated view (its first extent).
inline int64_t rows(const VrelTensorView* view) noexcept { return view->shape[0]; }

// Calls `fn(T{})` with T the C++ type of a validated floating dtype.
template <typename Fn>
decltype(auto) with_floating(uint32_t dtype, Fn&& fn) {
  if (dtype == VREL_DTYPE_FLOAT32) return fn(float{});
  return fn(double{});
}

}  // namespace vrel::mesh
