// workspace_sizes: the byte counts the _out operators need, without any tensor argument.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

using Sizes =
    std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>;

// neighbor_count is accepted and not used: the six answers do not include k nearest neighbours,
// whose _out operator runs its exhaustive search, with the same results, on an empty workspace.
Sizes workspace_sizes(std::int64_t vertex_count, std::int64_t face_count, std::int64_t point_count,
                      std::int64_t neighbor_count, std::int64_t sample_count,
                      std::int64_t batch_count, std::int64_t image_height, std::int64_t image_width,
                      std::int64_t faces_per_pixel, bool double_precision) {
  (void)neighbor_count;
  VrelExecutionContext context{};
  context.struct_size = sizeof(VrelExecutionContext);
  context.abi_version = VREL_ABI_VERSION;
  context.device_type = VREL_DEVICE_CPU;
  const std::uint32_t dtype = double_precision ? VREL_DTYPE_FLOAT64 : VREL_DTYPE_FLOAT32;
  char message[kMessageBytes] = {};
  VrelDiagnostic diag{};
  diag.struct_size = sizeof(VrelDiagnostic);
  diag.abi_version = VREL_ABI_VERSION;
  diag.message = message;
  diag.message_capacity = kMessageBytes;
  std::uint64_t bytes[6] = {}, alignment = 0;
  const auto check = [&](VrelStatus status) {
    if (status != VREL_STATUS_OK) status_error(status, message);
  };
  check(vrel_mesh_vertex_normals_workspace(vertex_count, face_count, dtype, &context, &bytes[0],
                                           &alignment, &diag));
  check(vrel_transforms_transform_points_workspace(point_count, batch_count, dtype, &context,
                                                   &bytes[1], &alignment, &diag));
  check(vrel_transforms_perspective_divide_workspace(point_count, dtype, &context, &bytes[2],
                                                     &alignment, &diag));
  check(vrel_points_closest_point_on_mesh_workspace(point_count, vertex_count, face_count, dtype,
                                                    &context, &bytes[3], &alignment, &diag));
  check(vrel_mesh_sample_surface_workspace(vertex_count, face_count, sample_count, dtype, &context,
                                           &bytes[4], &alignment, &diag));
  check(vrel_render_rasterize_workspace(vertex_count, face_count, image_height, image_width,
                                        faces_per_pixel, dtype, &context, &bytes[5], &alignment,
                                        &diag));
  for (std::uint64_t b : bytes) {
    require(b <= static_cast<std::uint64_t>(INT64_MAX), "workspace exceeds tensor extent");
  }
  return {static_cast<std::int64_t>(bytes[0]), static_cast<std::int64_t>(bytes[1]),
          static_cast<std::int64_t>(bytes[2]), static_cast<std::int64_t>(bytes[3]),
          static_cast<std::int64_t>(bytes[4]), static_cast<std::int64_t>(bytes[5])};
}

}  // namespace

std::span<const KernelBinding> workspace_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(workspace_sizes),
  };
  return bindings;
}

}  // namespace vrel::adapter
