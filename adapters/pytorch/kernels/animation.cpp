#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> animation_bindings() { return {}; }

}  // namespace vrel::adapter
