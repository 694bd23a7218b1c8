// Feeds one input to the PLY probe and read and checks what every input must keep: a known
// status, an untouched record or view on failure, agreeing float32 and float64 reads, indices in
// range on success. Shared by the fuzz target and the corpus replay test.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vrel/vrel.h"

namespace vrel::fuzz {

namespace detail {

inline VrelTensorView view_of(void* data, const int64_t* shape, const int64_t* strides,
                              uint32_t dtype) {
  VrelTensorView v{};
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = data;
  v.shape = shape;
  v.strides = strides;
  v.rank = 2;
  v.dtype = dtype;
  v.device_type = VREL_DEVICE_CPU;
  v.flags = VREL_TENSOR_OUTPUT;
  return v;
}

template <typename T>
void fill(std::vector<T>& values, unsigned char byte) {
  if (!values.empty()) std::memset(values.data(), byte, values.size() * sizeof(T));
}

inline bool all_bytes(const void* p, std::size_t n, unsigned char value) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i] != value) return false;
  return true;
}

}  // namespace detail

// Views of more rows than this (beyond the rows a body of `size` bytes could hold) are not
// allocated; such inputs are probed only.
inline uint64_t max_rows(std::size_t size) { return 4 * static_cast<uint64_t>(size) + 64; }

// nullptr when every invariant holds, else the broken one.
inline const char* exercise_ply(const char* data, std::size_t size) {
  constexpr unsigned char kSentinel = 0xA5;
  char message[256];
  VrelDiagnostic diag{};
  diag.struct_size = sizeof diag;
  diag.abi_version = VREL_ABI_VERSION;
  diag.message = message;
  diag.message_capacity = sizeof message;

  VrelPlyInfo info;
  std::memset(&info, kSentinel, sizeof info);
  info.struct_size = sizeof info;
  const VrelPlyInfo before = info;
  const VrelStatus probed =
      vrel_io_ply_probe(data, static_cast<int64_t>(size), nullptr, &info, &diag);
  if (probed != VREL_STATUS_OK && probed != VREL_STATUS_INVALID_ARGUMENT &&
      probed != VREL_STATUS_UNSUPPORTED)
    return "the probe returned a status outside 0, 1 and 2";
  if (probed != VREL_STATUS_OK) {
    if (std::memcmp(&before, &info, sizeof info) != 0) return "a failing probe wrote its record";
    if (message[0] == '\0') return "a failing probe gave no message";
    return nullptr;
  }
  if (info.header_size == 0 || info.header_size > size)
    return "the probe reported a header beyond the data";
  if (info.format > VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN)
    return "the probe reported an unknown format";
  if (info.vertex_count > max_rows(size) || info.face_count > max_rows(size)) return nullptr;

  const std::size_t v = static_cast<std::size_t>(info.vertex_count);
  const std::size_t f = static_cast<std::size_t>(info.face_count);
  const int64_t vshape[2] = {static_cast<int64_t>(v), 3};
  const int64_t fshape[2] = {static_cast<int64_t>(f), 3};
  const int64_t strides[2] = {3, 1};
  std::vector<float> v32(3 * v);
  std::vector<double> v64(3 * v);
  std::vector<int32_t> f32(3 * f), f64(3 * f);
  detail::fill(v32, kSentinel);
  detail::fill(v64, kSentinel);
  detail::fill(f32, kSentinel);
  detail::fill(f64, kSentinel);
  const VrelTensorView vv32 =
      detail::view_of(v ? v32.data() : nullptr, vshape, strides, VREL_DTYPE_FLOAT32);
  const VrelTensorView vv64 =
      detail::view_of(v ? v64.data() : nullptr, vshape, strides, VREL_DTYPE_FLOAT64);
  const VrelTensorView fv32 =
      detail::view_of(f ? f32.data() : nullptr, fshape, strides, VREL_DTYPE_INT32);
  const VrelTensorView fv64 =
      detail::view_of(f ? f64.data() : nullptr, fshape, strides, VREL_DTYPE_INT32);

  const VrelStatus r32 = vrel_io_ply_read(data, static_cast<int64_t>(size), &info, nullptr, &vv32,
                                          &fv32, nullptr, &diag);
  // A finite value beyond the float32 range is refused for float32 views only.
  const bool narrowing =
      r32 == VREL_STATUS_INVALID_ARGUMENT &&
      std::strcmp(message,
                  "a finite PLY vertex coordinate exceeds the range of the requested dtype") == 0;
  const VrelStatus r64 = vrel_io_ply_read(data, static_cast<int64_t>(size), &info, nullptr, &vv64,
                                          &fv64, nullptr, &diag);
  // (The float64 read may then succeed, or stop later in the body with another refusal.)
  if (narrowing) {
    if (!detail::all_bytes(v32.data(), v32.size() * sizeof(float), kSentinel) ||
        !detail::all_bytes(f32.data(), f32.size() * sizeof(int32_t), kSentinel))
      return "a refused float32 read wrote a view";
    if (r64 != VREL_STATUS_OK) return nullptr;
    for (const double value : v64)
      if (std::isfinite(value) && !std::isfinite(static_cast<float>(value))) return nullptr;
    return "a float32 read was refused for a value that fits float32";
  }
  if (r32 != r64) return "the float32 and float64 reads disagree on the status";
  if (r32 != VREL_STATUS_OK && r32 != VREL_STATUS_INVALID_ARGUMENT &&
      r32 != VREL_STATUS_UNSUPPORTED)
    return "the read returned a status outside 0, 1 and 2";
  if (r32 != VREL_STATUS_OK) {
    if (!detail::all_bytes(v32.data(), v32.size() * sizeof(float), kSentinel) ||
        !detail::all_bytes(v64.data(), v64.size() * sizeof(double), kSentinel) ||
        !detail::all_bytes(f32.data(), f32.size() * sizeof(int32_t), kSentinel) ||
        !detail::all_bytes(f64.data(), f64.size() * sizeof(int32_t), kSentinel))
      return "a failing read wrote a view";
    return nullptr;
  }
  if (f32 != f64) return "the float32 and float64 reads stored different faces";
  for (const int32_t index : f32)
    if (index < 0) return "a read stored a negative face index";
  for (std::size_t i = 0; i < v32.size(); ++i) {
    const float narrowed = static_cast<float>(v64[i]);
    const bool same = std::isnan(narrowed) ? std::isnan(v32[i]) : narrowed == v32[i];
    if (!same) return "the float32 read is not the float64 read rounded to float32";
  }
  return nullptr;
}

}  // namespace vrel::fuzz
