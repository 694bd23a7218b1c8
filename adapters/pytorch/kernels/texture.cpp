#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> texture_bindings() { return {}; }

}  // namespace vrel::adapter
