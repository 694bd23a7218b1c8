#include "adapter.hpp"

namespace vrel::adapter {

std::span<const KernelBinding> render_bindings() { return {}; }

}  // namespace vrel::adapter
