// Exact powers of two and scaling by them with one rounding, for the core's own exponential and
// power routines: the scale is applied in steps that stay exact, so a result in the subnormal
// range is rounded once (gradual underflow) and a result beyond the double range is infinite.
#pragma once

#include <bit>
#include <cstdint>

namespace vrel::math {

// 2^e for e in [-1022, 1023], built from its bits.
inline double exp2_normal(int64_t e) noexcept {
  return std::bit_cast<double>(static_cast<uint64_t>(e + 1023) << 52);
}

// x * 2^e rounded once, for finite x. Large steps first keep every intermediate product exact:
// upward by 2^1023 while the value stays finite, downward to 2^-969 (2^-1022 * 2^53) so that the
// final product, when it lands in the subnormal range, is the only inexact one.
inline double scale2(double x, int64_t e) noexcept {
  if (e > 1023) {
    x *= 0x1p1023;
    e -= 1023;
    if (e > 1023) {
      x *= 0x1p1023;
      e -= 1023;
      if (e > 1023) e = 1023;
    }
  } else if (e < -1022) {
    x *= 0x1p-969;
    e += 969;
    if (e < -1022) {
      x *= 0x1p-969;
      e += 969;
      if (e < -1022) e = -1022;
    }
  }
  return x * exp2_normal(e);
}

}  // namespace vrel::math
