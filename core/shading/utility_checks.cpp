#include "shading/utility_checks.hpp"

namespace vrel::shading {

VrelStatus UtilityChecks::workspace_rule(const Utility& utility, bool counts_valid, uint64_t* bytes,
                                         uint64_t* alignment) const noexcept {
  if (!counts_valid || bytes == nullptr || alignment == nullptr)
    return fail(VREL_STATUS_INVALID_ARGUMENT, utility.count_message);
  if (cuda() && !utility.provided()) return fail(VREL_STATUS_UNSUPPORTED, utility.provider_message);
  *bytes = kUtilityScratch;
  *alignment = 8;
  return VREL_STATUS_OK;
}

}  // namespace vrel::shading
