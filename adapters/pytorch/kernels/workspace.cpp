#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> workspace_bindings() { return {}; }

}  // namespace vrel::adapter
