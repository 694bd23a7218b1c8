#include "transforms/checks.hpp"

namespace vrel::transforms {

VrelStatus transforms_query(uint64_t operation_id, bool negative, uint32_t dtype,
                            const VrelExecutionContext* context, uint64_t* bytes,
                            uint64_t* alignment, VrelDiagnostic* diag) noexcept {
  const frame::Query query{operation_id, "transforms support the float32 and float64 dtypes",
                           frame::Query::kPointersFirst};
  return frame::workspace_query(kTransforms, query, {{!negative, sentence::kCountsNegative}}, dtype,
                                context, bytes, alignment, diag);
}

}  // namespace vrel::transforms
