// Checks and sentences that several mesh exports share.
#pragma once

#include <cstdint>

#include "abi/frame.hpp"

namespace vrel::mesh {

using frame::check_eps;
using frame::check_faces;
using frame::with_floating;

inline constexpr const char* kCpuOnly = sentence::kMeshCpuOnly;
inline constexpr const char* kCpuWorkspace = sentence::kMeshCpuWorkspace;
inline constexpr const char* kVerticesShape = sentence::kVerticesShape;
inline constexpr const char* kVerticesDtype = sentence::kVerticesDtype;
inline constexpr const char* kFaceRange = sentence::kFaceRange;
inline constexpr const char* kVertexCounts = "vertex and face counts must be nonnegative";
inline constexpr const char* kCotangentDtype = "cotangents must match the vertices dtype";
inline constexpr const char* kGradShape = sentence::kVertexGradients;
inline constexpr const char* kGradDtype = "vertex gradients must match the vertices dtype";

// The family of the exports that run the mesh input check: every device rule has the generic
// mesh sentence.
inline constexpr frame::Family kMesh{kCpuOnly, kCpuOnly, kCpuWorkspace};

// vertices: [V,3] input (shape, validation, CPU, no output flag), then float32/float64 (2).
VrelStatus check_vertices(const frame::Frame& f, const VrelTensorView* vertices) noexcept;

// Every index of `faces`, in storage order, in [0, vertex_count).
VrelStatus check_face_range(const frame::Frame& f, const VrelTensorView* faces,
                            int64_t vertex_count) noexcept;

// The mesh input check of face geometry, face gathering and vertex normals: eps, context,
// vertices, faces, a supplied workspace, then the index range.
VrelStatus check_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                      const VrelTensorView* faces, double eps, const VrelExecutionContext* context,
                      const VrelBufferDescriptor* workspace) noexcept;

// Rows of a validated view (its first extent).
inline int64_t rows(const VrelTensorView* view) noexcept { return view->shape[0]; }

}  // namespace vrel::mesh
