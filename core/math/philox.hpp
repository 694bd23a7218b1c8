// Philox4x32-10: a counter-based generator. Each 128-bit counter and 64-bit key give four
// independent 32-bit words, so sample s of batch element b can be drawn in any order.
#pragma once

#include <array>
#include <cstdint>

namespace vrel::math {

using PhiloxCounter = std::array<uint32_t, 4>;
using PhiloxKey = std::array<uint32_t, 2>;

inline constexpr uint32_t kPhiloxM0 = 0xD2511F53u;
inline constexpr uint32_t kPhiloxM1 = 0xCD9E8D57u;
inline constexpr uint32_t kPhiloxW0 = 0x9E3779B9u;
inline constexpr uint32_t kPhiloxW1 = 0xBB67AE85u;

// One round: two 32x32 -> 64-bit products, their halves mixed with the other words and the key.
constexpr PhiloxCounter philox_round(PhiloxCounter c, PhiloxKey k) noexcept {
  const uint64_t p0 = static_cast<uint64_t>(kPhiloxM0) * c[0];
  const uint64_t p1 = static_cast<uint64_t>(kPhiloxM1) * c[2];
  return {static_cast<uint32_t>(p1 >> 32) ^ c[1] ^ k[0], static_cast<uint32_t>(p1),
          static_cast<uint32_t>(p0 >> 32) ^ c[3] ^ k[1], static_cast<uint32_t>(p0)};
}

// Ten rounds with the key bumped by the Weyl increments between rounds.
constexpr PhiloxCounter philox4x32_10(PhiloxCounter c, PhiloxKey k) noexcept {
  for (int round = 0; round < 10; ++round) {
    if (round > 0) k = {k[0] + kPhiloxW0, k[1] + kPhiloxW1};
    c = philox_round(c, k);
  }
  return c;
}

// A word as a uniform number in [0, 1): x * 2^-32.
constexpr double unit_uniform(uint32_t x) noexcept { return static_cast<double>(x) * 0x1p-32; }

}  // namespace vrel::math
