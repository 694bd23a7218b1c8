// Kernels of texture sampling: level of detail, level choice, wrapping, nearest and bilinear
// texel filters, the mip blend and their gradients. They take typed pointers and a level table
// that the export has already checked against the texture size and the pyramid extent.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "texture/chain.hpp"

namespace vrel::texture {

inline constexpr uint32_t kFilterNearest = 1;
inline constexpr uint32_t kFilterLinear = 2;
inline constexpr uint32_t kMipNearest = 1;
inline constexpr uint32_t kMipLinear = 2;
inline constexpr uint32_t kWrapRepeat = 1;
inline constexpr uint32_t kWrapClamp = 2;
inline constexpr uint32_t kWrapMirror = 3;
inline constexpr uint32_t kWrapBorder = 4;
inline constexpr int64_t kMaxChannels = 4;

// Marks a tap outside the level in border mode.
inline constexpr int64_t kOutside = -1;

template <typename T>
struct SampleProblem {
  const T* pyramid;
  const int32_t* offsets;  // [levels + 1], the forward layout of height x width x channels
  int64_t levels;
  int64_t height;
  int64_t width;
  int64_t channels;      // 1 .. kMaxChannels
  int64_t count;         // N
  const T* coordinates;  // [N,2] (u, v)
  const T* derivatives;  // [N,4] or null
  const T* lod;          // [N] or null
  const T* border;       // [channels] or null
  uint32_t filter;
  uint32_t mip_filter;
  uint32_t wrap_u;
  uint32_t wrap_v;
};

struct LevelGeometry {
  int64_t offset;
  int64_t height;
  int64_t width;
};

// Offsets and sizes of every level, from the halving rule.
template <typename T>
std::array<LevelGeometry, kMaxLevels> level_geometry(const SampleProblem<T>& p) noexcept {
  std::array<LevelGeometry, kMaxLevels> out{};
  int64_t h = p.height, w = p.width;
  for (int64_t k = 0; k < p.levels; ++k) {
    out[k] = {p.offsets[k], h, w};
    h = halve(h);
    w = halve(w);
  }
  return out;
}

// An already floored coordinate as an integer index. Far outside the level (|floored| >= 2^40,
// or infinite after scaling) it returns an index that is congruent to it modulo 2 * size and
// lies on the same side of [0, size), so every wrap mode gives the texel the exact index would,
// and no conversion overflows.
template <typename T>
int64_t index_of(T floored, int64_t size) noexcept {
  constexpr T kLimit = T(int64_t{1} << 40);
  if (floored > -kLimit && floored < kLimit) return static_cast<int64_t>(floored);
  const int64_t period = 2 * size;
  const int64_t far = period * ((int64_t{1} << 40) / period + 1);
  const double rest =
      std::isfinite(floored) ? std::fmod(static_cast<double>(floored), double(period)) : 0.0;
  return static_cast<int64_t>(rest) + (floored < 0 ? -far : far);
}

template <typename T>
int64_t floor_index(T x, int64_t size) noexcept {
  return index_of(std::floor(x), size);
}

// Wraps an integer index on an axis of `size` texels; kOutside for border mode off the axis.
// Indices inside the axis, and those within one period of it, avoid the integer division.
inline int64_t wrap_index(int64_t k, int64_t size, uint32_t mode) noexcept {
  if (k >= 0 && k < size) return k;
  switch (mode) {
    case kWrapRepeat:
      if (k >= -size && k < 2 * size) return k < 0 ? k + size : k - size;
      return ((k % size) + size) % size;
    case kWrapClamp: return k < 0 ? 0 : size - 1;
    case kWrapMirror: {
      if (k >= -size && k < 2 * size) return k < 0 ? -1 - k : 2 * size - 1 - k;
      const int64_t period = 2 * size;
      const int64_t t = ((k % period) + period) % period;
      return t < size ? t : period - 1 - t;
    }
    default: return kOutside;
  }
}

// lambda from the screen-space derivatives (log2 of the longer footprint axis in level-0
// texels), from the explicit lod, or 0; clamped to [0, levels - 1], NaN giving 0.
template <typename T>
T level_of_detail(const SampleProblem<T>& p, int64_t i) noexcept {
  T lambda = T(0);
  if (p.derivatives != nullptr) {
    const T* d = p.derivatives + 4 * i;
    const T w = T(p.width), h = T(p.height);
    const T ax = w * d[0], ay = h * d[1], bx = w * d[2], by = h * d[3];
    const T lx = std::sqrt(ax * ax + ay * ay);
    const T ly = std::sqrt(bx * bx + by * by);
    if (std::isnan(lx) || std::isnan(ly)) {
      lambda = std::numeric_limits<T>::quiet_NaN();
    } else {
      T length = lx > ly ? lx : ly;
      const T tiny = std::numeric_limits<float>::min();  // 2^-126
      if (length < tiny) length = tiny;
      lambda = std::log2(length);
    }
  } else if (p.lod != nullptr) {
    lambda = p.lod[i];
  }
  const T top = T(p.levels - 1);
  if (!(lambda > T(0))) return T(0);
  return lambda > top ? top : lambda;
}

// The level (or pair of levels) a sample reads, and the blend factor of the second.
template <typename T>
struct MipChoice {
  int64_t n;
  int64_t m;
  T f;
  bool blend;
};

template <typename T>
MipChoice<T> choose_levels(T lambda, int64_t levels, uint32_t mip_filter) noexcept {
  const int64_t last = levels - 1;
  if (mip_filter == kMipNearest) {
    int64_t n = static_cast<int64_t>(std::floor(lambda + T(0.5)));  // rounds half up
    if (n > last) n = last;
    return {n, n, T(0), false};
  }
  const T base = std::floor(lambda);
  const int64_t n = static_cast<int64_t>(base);
  const T f = lambda - base;
  const int64_t m = n + 1 < last ? n + 1 : last;
  return {n, m, f, f > T(0) && m != n};
}

// The four bilinear taps of one level: wrapped indices (kOutside off a border axis) and the
// fractional position between them.
template <typename T>
struct Taps {
  int64_t r0, r1, j0, j1;
  T fx, fy;
};

template <typename T>
Taps<T> bilinear_taps(T u, T v, const LevelGeometry& level, uint32_t wrap_u,
                      uint32_t wrap_v) noexcept {
  const T x = u * T(level.width) - T(0.5);
  const T y = v * T(level.height) - T(0.5);
  const T fl_x = std::floor(x), fl_y = std::floor(y);
  const int64_t j = index_of(fl_x, level.width);
  const int64_t r = index_of(fl_y, level.height);
  // The fraction is 0 where the scaled coordinate overflowed to infinity.
  return {wrap_index(r, level.height, wrap_v), wrap_index(r + 1, level.height, wrap_v),
          wrap_index(j, level.width, wrap_u),  wrap_index(j + 1, level.width, wrap_u),
          std::isinf(x) ? T(0) : x - fl_x,     std::isinf(y) ? T(0) : y - fl_y};
}

// The C values of texel (r, j), or the border values for a tap outside the level.
template <typename T, int C>
const T* texel(const T* level, const LevelGeometry& g, int64_t r, int64_t j,
               const T* border) noexcept {
  if (r == kOutside || j == kOutside) return border;
  return level + (r * g.width + j) * C;
}

// The bilinear blend of one level's taps into out[0 .. C).
template <typename T, int C>
[[gnu::always_inline]] inline void blend_taps(const T* level, const LevelGeometry& g,
                                              const Taps<T>& q, const T* border, T* out) noexcept {
  const T* t00 = texel<T, C>(level, g, q.r0, q.j0, border);
  const T* t01 = texel<T, C>(level, g, q.r0, q.j1, border);
  const T* t10 = texel<T, C>(level, g, q.r1, q.j0, border);
  const T* t11 = texel<T, C>(level, g, q.r1, q.j1, border);
  const T gx = T(1) - q.fx, gy = T(1) - q.fy;
  const T w00 = gx * gy, w01 = q.fx * gy, w10 = gx * q.fy, w11 = q.fx * q.fy;
  for (int c = 0; c < C; ++c) out[c] = w00 * t00[c] + w01 * t01[c] + w10 * t10[c] + w11 * t11[c];
}

// Samples one level into out[0 .. C).
template <typename T, int C>
void sample_level(const SampleProblem<T>& p, const LevelGeometry& g, T u, T v, T* out) noexcept {
  const T* level = p.pyramid + g.offset;
  if (p.filter == kFilterNearest) {
    const int64_t j = wrap_index(floor_index(u * T(g.width), g.width), g.width, p.wrap_u);
    const int64_t r = wrap_index(floor_index(v * T(g.height), g.height), g.height, p.wrap_v);
    const T* t = texel<T, C>(level, g, r, j, p.border);
    for (int c = 0; c < C; ++c) out[c] = t[c];
    return;
  }
  blend_taps<T, C>(level, g, bilinear_taps(u, v, g, p.wrap_u, p.wrap_v), p.border, out);
}

template <typename T, int C>
void sample_channels(const SampleProblem<T>& p, T* samples) noexcept {
  const auto levels = level_geometry(p);
  for (int64_t i = 0; i < p.count; ++i) {
    T* out = samples + i * C;
    const T u = p.coordinates[2 * i], v = p.coordinates[2 * i + 1];
    if (!std::isfinite(u) || !std::isfinite(v)) {
      for (int c = 0; c < C; ++c) out[c] = std::numeric_limits<T>::quiet_NaN();
      continue;
    }
    const MipChoice<T> mip = choose_levels(level_of_detail(p, i), p.levels, p.mip_filter);
    sample_level<T, C>(p, levels[mip.n], u, v, out);
    if (mip.blend) {
      T coarse[C];
      sample_level<T, C>(p, levels[mip.m], u, v, coarse);
      for (int c = 0; c < C; ++c) out[c] = mip.f * coarse[c] + (T(1) - mip.f) * out[c];
    }
  }
}

// The bilinear part of level_backward, from the level's taps.
template <typename T, int C>
[[gnu::always_inline]] inline void taps_backward(const T* level, T* grad_level,
                                                 const LevelGeometry& g, const Taps<T>& q,
                                                 const T* border, T a, const T* cotangent,
                                                 T* grad_uv) noexcept {
  const T* t00 = texel<T, C>(level, g, q.r0, q.j0, border);
  const T* t01 = texel<T, C>(level, g, q.r0, q.j1, border);
  const T* t10 = texel<T, C>(level, g, q.r1, q.j0, border);
  const T* t11 = texel<T, C>(level, g, q.r1, q.j1, border);
  const T gx = T(1) - q.fx, gy = T(1) - q.fy;
  const T w00 = gx * gy, w01 = q.fx * gy, w10 = gx * q.fy, w11 = q.fx * q.fy;
  const bool in00 = q.r0 != kOutside && q.j0 != kOutside;
  const bool in01 = q.r0 != kOutside && q.j1 != kOutside;
  const bool in10 = q.r1 != kOutside && q.j0 != kOutside;
  const bool in11 = q.r1 != kOutside && q.j1 != kOutside;
  T* g00 = in00 ? grad_level + (q.r0 * g.width + q.j0) * C : nullptr;
  T* g01 = in01 ? grad_level + (q.r0 * g.width + q.j1) * C : nullptr;
  T* g10 = in10 ? grad_level + (q.r1 * g.width + q.j0) * C : nullptr;
  T* g11 = in11 ? grad_level + (q.r1 * g.width + q.j1) * C : nullptr;
  const T w = T(g.width), h = T(g.height);
  for (int c = 0; c < C; ++c) {
    const T G = a * cotangent[c];
    if (in00) g00[c] += G * w00;
    if (in01) g01[c] += G * w01;
    if (in10) g10[c] += G * w10;
    if (in11) g11[c] += G * w11;
    grad_uv[0] += ((t01[c] - t00[c]) * gy + (t11[c] - t10[c]) * q.fy) * w * G;
    grad_uv[1] += ((t10[c] - t00[c]) * gx + (t11[c] - t01[c]) * q.fx) * h * G;
  }
}

// Adds the cotangent g (weighted by the level's blend weight a) of one level's sample to the
// pyramid gradient and, for bilinear filtering, to the coordinate gradient. In border mode a tap
// outside the level takes no pyramid gradient, but its border value enters the coordinate
// gradient exactly as it entered the forward blend.
template <typename T, int C>
void level_backward(const SampleProblem<T>& p, const LevelGeometry& g, T u, T v, T a,
                    const T* cotangent, T* grad_pyramid, T* grad_uv) noexcept {
  T* grad_level = grad_pyramid + g.offset;
  if (p.filter == kFilterNearest) {
    const int64_t j = wrap_index(floor_index(u * T(g.width), g.width), g.width, p.wrap_u);
    const int64_t r = wrap_index(floor_index(v * T(g.height), g.height), g.height, p.wrap_v);
    if (r == kOutside || j == kOutside) return;
    T* gt = grad_level + (r * g.width + j) * C;
    for (int c = 0; c < C; ++c) gt[c] += a * cotangent[c];
    return;
  }
  taps_backward<T, C>(p.pyramid + g.offset, grad_level, g,
                      bilinear_taps(u, v, g, p.wrap_u, p.wrap_v), p.border, a, cotangent, grad_uv);
}

template <typename T, int C>
void backward_channels(const SampleProblem<T>& p, const T* grad_samples, T* grad_pyramid,
                       T* grad_coordinates) noexcept {
  const auto levels = level_geometry(p);
  const int64_t total = p.offsets[p.levels];
  for (int64_t e = 0; e < total; ++e) grad_pyramid[e] = T(0);
  for (int64_t e = 0; e < 2 * p.count; ++e) grad_coordinates[e] = T(0);
  for (int64_t i = 0; i < p.count; ++i) {
    const T u = p.coordinates[2 * i], v = p.coordinates[2 * i + 1];
    if (!std::isfinite(u) || !std::isfinite(v)) continue;
    const MipChoice<T> mip = choose_levels(level_of_detail(p, i), p.levels, p.mip_filter);
    const T* g = grad_samples + i * C;
    T* grad_uv = grad_coordinates + 2 * i;
    level_backward<T, C>(p, levels[mip.n], u, v, mip.blend ? T(1) - mip.f : T(1), g, grad_pyramid,
                         grad_uv);
    if (mip.blend) level_backward<T, C>(p, levels[mip.m], u, v, mip.f, g, grad_pyramid, grad_uv);
  }
}

// Runtime channel count to the unrolled kernels.
template <typename T>
void sample_texture(const SampleProblem<T>& p, T* samples) noexcept {
  switch (p.channels) {
    case 1: return sample_channels<T, 1>(p, samples);
    case 2: return sample_channels<T, 2>(p, samples);
    case 3: return sample_channels<T, 3>(p, samples);
    default: return sample_channels<T, 4>(p, samples);
  }
}

template <typename T>
void texture_backward(const SampleProblem<T>& p, const T* grad_samples, T* grad_pyramid,
                      T* grad_coordinates) noexcept {
  switch (p.channels) {
    case 1: return backward_channels<T, 1>(p, grad_samples, grad_pyramid, grad_coordinates);
    case 2: return backward_channels<T, 2>(p, grad_samples, grad_pyramid, grad_coordinates);
    case 3: return backward_channels<T, 3>(p, grad_samples, grad_pyramid, grad_coordinates);
    default: return backward_channels<T, 4>(p, grad_samples, grad_pyramid, grad_coordinates);
  }
}

}  // namespace vrel::texture
