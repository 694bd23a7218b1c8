#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> transforms_bindings() { return {}; }

}  // namespace vrel::adapter
