// Checks and sentences shared by the opaque renderer's exports: the opaque mesh check, the image
// and coordinate ranges, the colour tensor check and the byte-range overlap tests.
#pragma once

#include <cstdint>

#include "abi/frame.hpp"
#include "abi/sentences.hpp"

namespace vrel::opaque {

// Every device rule of the family reports the mesh operations' sentences.
inline constexpr frame::Family kOpaque{sentence::kMeshCpuOnly, sentence::kMeshCpuOnly,
                                       sentence::kMeshCpuWorkspace};

// Image extents and the magnitude of the origin and of every vertex coordinate.
inline constexpr int64_t kExtentLimit = 1048576;
inline constexpr double kCoordinateLimit = 1048576;

// 1 <= H, W <= 2^20 (so H*W cannot overflow) and ox, oy finite within +/-2^20.
bool image_in_range(int64_t height, int64_t width, double ox, double oy) noexcept;

// The opaque mesh check: context (CPU only), vertices [V,3] float32/float64, faces [F,3] int32,
// a given workspace validated and on the CPU, then every face index in [0, V).
VrelStatus check_opaque_mesh(const frame::Frame& f, const VrelTensorView* vertices,
                             const VrelTensorView* faces, const VrelExecutionContext* context,
                             const VrelBufferDescriptor* workspace) noexcept;

// The context validated again, CPU, and floating vertices; else status 2 with `message`.
VrelStatus check_backend(const frame::Frame& f, const VrelExecutionContext* context,
                         const VrelTensorView* vertices, const char* message) noexcept;

// Every element of a validated floating view finite.
bool all_finite(const VrelTensorView* view) noexcept;

// Every vertex coordinate finite with magnitude at most kCoordinateLimit.
bool coordinates_in_range(const VrelTensorView* vertices) noexcept;

// A colour-like tensor [e0,e1,e2] of `dtype`: rank 3 and extent 0 (1, "opaque colour tensor
// shape"), validation, CPU (2), the input or output flag rule, then extents 1 and 2 and the dtype
// (1, "opaque colour tensor shape/dtype mismatch").
VrelStatus check_colour_tensor(const frame::Frame& f, const VrelTensorView* view, int64_t e0,
                               int64_t e1, int64_t e2, uint32_t dtype, bool output) noexcept;

// A caller workspace for a fixed requirement: present with non-null data and at least `bytes`
// (3, `capacity_message`), 8-byte aligned (1, `alignment_message`).
VrelStatus check_fixed_workspace(const frame::Frame& f, const VrelBufferDescriptor* workspace,
                                 uint64_t bytes, const char* capacity_message,
                                 const char* alignment_message) noexcept;

// Byte ranges of a view (null: empty) and of the first `bytes` of a workspace.
abi::ByteRange range_of(const VrelTensorView* view) noexcept;
inline abi::ByteRange range_of(const VrelBufferDescriptor* workspace, uint64_t bytes) noexcept {
  return {reinterpret_cast<uintptr_t>(workspace->data), bytes};
}

// Status 1 with `message` when the two ranges overlap.
inline VrelStatus disjoint(const frame::Frame& f, const abi::ByteRange& a, const abi::ByteRange& b,
                           const char* message) noexcept {
  return a.overlaps(b) ? f.fail(VREL_STATUS_INVALID_ARGUMENT, message) : VREL_STATUS_OK;
}

// ---- The quadrature front end, shared by the quadrature, batch, prefix and boundary exports ----

// What differs between the callers of the quadrature front end.
struct QuadratureCall {
  bool backward;      // gradient in, vertex and cut gradients out; else owners and nodes out
  bool material;      // the material variant (its CUDA entry and sentence)
  int32_t max_lines;  // K limit of the plain layout: 16, or 40 for the 80-slot batch rule
  int64_t rows;       // owner/node rows: H*W for the quadrature, 1 for batches
};

// The operands in export order; the unused side is null.
struct QuadratureOperands {
  const VrelTensorView* vertices;
  const VrelTensorView* faces;
  const VrelTensorView* cuts;
  int64_t height, width;
  double ox, oy;
  const VrelTensorView* gradient;
  const VrelExecutionContext* context;
  const VrelTensorView* owners;
  const VrelTensorView* nodes;
  const VrelTensorView* vertex_gradient;
  const VrelTensorView* cut_gradient;
  const VrelBufferDescriptor* workspace;
};

// The layout of a cuts view: K lines, `row` values per face, packed or not.
struct CutLayout {
  int32_t lines;
  int64_t row;
  bool packed;
};

// [F,3,K] with K <= max_lines, or [F,1,3K+6] with K <= 15; false for any other extents.
bool cut_layout(const VrelTensorView* cuts, int32_t max_lines, CutLayout* layout) noexcept;

// Steps 1 and 2 after the caller's reset: the image/origin range, then the context validated.
// The caller then takes the CUDA path when the context names CUDA.
VrelStatus check_quadrature_head(const frame::Frame& f, const QuadratureOperands& ops) noexcept;

// Steps 3 to 8 on the CPU: mesh, cuts, outputs or gradients, finiteness, workspace, overlaps.
VrelStatus check_quadrature_host(const frame::Frame& f, const QuadratureCall& call,
                                 const QuadratureOperands& ops) noexcept;

// The CUDA checks (device and flags, dtypes, shapes, the caller's scratch of `scratch_bytes`,
// aliasing) before a call goes to the provider.
VrelStatus check_quadrature_device(const frame::Frame& f, const QuadratureCall& call,
                                   const QuadratureOperands& ops, uint64_t scratch_bytes) noexcept;

// The kernel failure of the quadrature exports (status 4).
inline constexpr const char* kQuadratureOverflow =
    "quadrature capacity/arithmetic overflow; partial outputs invalid";
inline constexpr const char* kQuadratureUnavailable = "CUDA opaque quadrature unavailable";
inline constexpr const char* kMaterialUnavailable = "CUDA opaque material transport unavailable";

}  // namespace vrel::opaque
