// Pairwise tree summation: the fixed summation order that the image, shading and opaque families
// use wherever a reduction must give the same bits on every platform and for every parity of the
// count. Adjacent pairs (0+1, 2+3, ...) are added, an odd last element is carried unchanged into
// the next pass, and passes repeat until one value remains. An empty list sums to 0.
#pragma once

#include <cstddef>

namespace vrel::math {

// Sums values[0..n) in place (the array is overwritten by the partial sums) and returns the total.
template <typename T>
inline T pairwise_sum_inplace(T* values, std::size_t n) noexcept {
  if (n == 0) return T(0);
  while (n > 1) {
    const std::size_t half = n / 2;
    for (std::size_t i = 0; i < half; ++i) values[i] = values[2 * i] + values[2 * i + 1];
    if (n % 2 != 0) values[half] = values[n - 1];
    n = half + n % 2;
  }
  return values[0];
}

// The same order over term(0..n) without scratch: the tree is walked depth-first, which visits
// the identical pairs as the in-place passes (each node of pass p covers an aligned block of 2^p
// terms; a carried odd element is a block cut short by the end of the list).
template <typename T, typename Term>
inline T pairwise_sum(std::size_t n, Term&& term) noexcept {
  if (n == 0) return T(0);
  // Block sizes are powers of two: sum the block [begin, begin + size) clipped to n.
  auto block = [&](auto&& self, std::size_t begin, std::size_t size) -> T {
    if (size == 1) return static_cast<T>(term(begin));
    const std::size_t half = size / 2;
    if (begin + half >= n) return self(self, begin, half);  // right half empty: carried
    return self(self, begin, half) + self(self, begin + half, half);
  };
  std::size_t size = 1;
  while (size < n) size *= 2;
  return block(block, 0, size);
}

}  // namespace vrel::math
