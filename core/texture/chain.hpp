// The level chain of a packed mip pyramid: level sizes, the length of the full chain, and the test
// that a level table is exactly the layout the pyramid export writes.
#pragma once

#include <bit>
#include <cstdint>

namespace vrel::texture {

// Largest total element count a level table may describe (the offsets are int32).
inline constexpr int64_t kMaxPyramidElements = 2147483647;

// Most levels any chain can have: 1 + floor(log2(2^63 - 1)).
inline constexpr int64_t kMaxLevels = 63;

// Size of the next level along one dimension: floor division by 2, but 1 stays 1.
constexpr int64_t halve(int64_t extent) noexcept { return extent < 2 ? 1 : extent / 2; }

// Levels from h x w down to 1 x 1: 1 + floor(log2(max(h, w))), for h, w >= 1.
constexpr int64_t full_chain(int64_t h, int64_t w) noexcept {
  return std::bit_width(static_cast<uint64_t>(h > w ? h : w));
}

enum class ChainFault { kNone, kTooLong, kMismatch };

// Whether offsets[0 .. levels] is the forward layout of an h x w x c texture: no more levels than
// the full chain, offsets[0] = 0 and offsets[k+1] - offsets[k] = H_k * W_k * c for every level.
// Reads exactly levels + 1 entries.
inline ChainFault chain_fault(const int32_t* offsets, int64_t levels, int64_t h, int64_t w,
                              int64_t c) noexcept {
  if (levels > full_chain(h, w)) return ChainFault::kTooLong;
  if (offsets[0] != 0) return ChainFault::kMismatch;
  int64_t total = 0;
  for (int64_t k = 0; k < levels; ++k) {
    int64_t size = 0;
    if (__builtin_mul_overflow(h, w, &size) || __builtin_mul_overflow(size, c, &size) ||
        size > kMaxPyramidElements - total)
      return ChainFault::kMismatch;
    total += size;
    if (offsets[k + 1] != total) return ChainFault::kMismatch;
    h = halve(h);
    w = halve(w);
  }
  return ChainFault::kNone;
}

}  // namespace vrel::texture
