#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> io_bindings() { return {}; }

}  // namespace vrel::adapter
