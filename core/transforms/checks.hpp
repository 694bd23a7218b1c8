// Checks and sentences that the transforms exports share.
#pragma once

#include <cstdint>

#include "abi/frame.hpp"

namespace vrel::transforms {

namespace frame = vrel::frame;
namespace operation = vrel::provider::operation;
using abi::data_of;
using abi::mutable_data_of;

inline constexpr const char* kBackend = "transforms implement only the CPU backend in this phase";
// The points, homogeneous and gradient views report a non-CPU device with the mesh sentence.
inline constexpr frame::Family kTransforms{kBackend, kBackend, kBackend};
inline constexpr frame::Family kTransformsMeshViews{kBackend, sentence::kMeshCpuOnly, kBackend};

// The workspace query of both operations: they use no workspace, and the counts are checked after
// the result pointers.
VrelStatus transforms_query(uint64_t operation_id, bool negative, uint32_t dtype,
                            const VrelExecutionContext* context, uint64_t* bytes,
                            uint64_t* alignment, VrelDiagnostic* diag) noexcept;

}  // namespace vrel::transforms
