// The core's own elementary routines, for families whose results must not depend on the C
// library's implementation. Templates over float and double; each computes in the argument's
// precision.
#pragma once

#include <type_traits>

namespace vrel::math {

// Correctly rounded square root (IEEE 754 requires it of the hardware instruction, so the result
// is the same on every conforming machine). Negative arguments give NaN, sqrt(-0) is -0.
template <typename T>
inline T sqrt(T x) noexcept {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
  if constexpr (std::is_same_v<T, float>) {
    return __builtin_sqrtf(x);
  } else {
    return __builtin_sqrt(x);
  }
}

}  // namespace vrel::math
