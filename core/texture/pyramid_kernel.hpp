// Kernels of the packed mip pyramid: 2x2 box averaging down the chain and its exact adjoint.
// They take typed pointers and a level table that the export has already checked.
#pragma once

#include <cstdint>

#include "texture/chain.hpp"

namespace vrel::texture {

// Level 0 is a copy of the texture; level k averages the 4, 2 or 1 texels of level k-1 that it
// covers (a row or column left over by an odd size is not read). The sums are formed in a fixed
// order and divided, not multiplied by a reciprocal, so every build gives the same bits.
template <typename T>
void build_pyramid(const T* texture, int64_t h, int64_t w, int64_t c, int64_t levels,
                   const int32_t* offsets, T* pyramid) noexcept {
  const int64_t base = h * w * c;
  for (int64_t e = 0; e < base; ++e) pyramid[e] = texture[e];
  for (int64_t k = 1; k < levels; ++k) {
    const T* src = pyramid + offsets[k - 1];
    T* dst = pyramid + offsets[k];
    const int64_t dh = halve(h), dw = halve(w);
    const int64_t row = w * c;  // source row pitch
    for (int64_t i = 0; i < dh; ++i) {
      for (int64_t j = 0; j < dw; ++j) {
        T* out = dst + (i * dw + j) * c;
        if (h >= 2 && w >= 2) {
          const T* s00 = src + (2 * i) * row + (2 * j) * c;
          const T* s10 = s00 + row;
          for (int64_t ch = 0; ch < c; ++ch)
            out[ch] = (((s00[c + ch] + s00[ch]) + s10[ch]) + s10[c + ch]) / T(4);
        } else if (w >= 2) {
          const T* s00 = src + i * row + (2 * j) * c;
          for (int64_t ch = 0; ch < c; ++ch) out[ch] = (s00[c + ch] + s00[ch]) / T(2);
        } else if (h >= 2) {
          const T* s00 = src + (2 * i) * row + j * c;
          for (int64_t ch = 0; ch < c; ++ch) out[ch] = (s00[ch] + s00[row + ch]) / T(2);
        } else {
          const T* s00 = src + (i * row + j * c);
          for (int64_t ch = 0; ch < c; ++ch) out[ch] = s00[ch];
        }
      }
    }
    h = dh;
    w = dw;
  }
}

// The adjoint of build_pyramid. Level k's texel (i, j) is the mean of a 2^a x 2^b block of level
// 0 (a, b: the levels below k whose height, width is at least 2), so its cotangent g adds
// g * (1/n) to each of the n texels of that block. grad_texture starts as level 0 of the
// cotangent and gains the levels in increasing order, so each texel's sum has a fixed order.
template <typename T>
void pyramid_backward(const T* grad_pyramid, const int32_t* offsets, int64_t levels, int64_t h,
                      int64_t w, int64_t c, T* grad_texture) noexcept {
  const int64_t base = h * w * c;
  for (int64_t e = 0; e < base; ++e) grad_texture[e] = grad_pyramid[e];
  int64_t lh = h, lw = w;
  int row_shift = 0, col_shift = 0;  // log2 of the footprint's height and width
  for (int64_t k = 1; k < levels; ++k) {
    if (lh >= 2) ++row_shift;
    if (lw >= 2) ++col_shift;
    lh = halve(lh);
    lw = halve(lw);
    const T weight = T(1) / (T(int64_t{1} << row_shift) * T(int64_t{1} << col_shift));
    const T* g = grad_pyramid + offsets[k];
    // Level-0 rows and columns past the last footprint (odd leftovers) receive nothing.
    const int64_t rows = lh << row_shift, cols = lw << col_shift;
    for (int64_t r = 0; r < rows; ++r) {
      const T* g_row = g + (r >> row_shift) * lw * c;
      T* out = grad_texture + r * w * c;
      for (int64_t col = 0; col < cols; ++col) {
        const T* gt = g_row + (col >> col_shift) * c;
        for (int64_t ch = 0; ch < c; ++ch) out[col * c + ch] += gt[ch] * weight;
      }
    }
  }
}

}  // namespace vrel::texture
