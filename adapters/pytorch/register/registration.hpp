// The registration unit's interface to the module initialisation.
#pragma once

namespace vrel::adapter {

struct KernelBinding;

// The kernel bound to an operator name, or null when no family provides one.
const KernelBinding *find_binding(const char *name);

// Null when registration succeeded, else why it stopped (the module then refuses to import).
const char *registration_failure() noexcept;

}  // namespace vrel::adapter
