#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> points_bindings() { return {}; }

}  // namespace vrel::adapter
