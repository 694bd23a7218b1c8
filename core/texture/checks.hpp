// Checks that the pyramid and sampling exports share: the level table's shape and its agreement
// with the chain of the texture size.
#pragma once

#include <cstdint>

#include "abi/frame.hpp"
#include "texture/chain.hpp"

namespace vrel::texture {

inline constexpr const char* kLevelCountTooLarge =
    "level count exceeds the full chain for this texture";
inline constexpr const char* kChainMismatch =
    "level offsets do not follow the level chain of the texture extents";
inline constexpr const char* kOffsetsInt32 = "level offsets must be an int32 view";

// A level table given as input: rank 1 with extent at least 2 (extents are read only when the
// shape array is present; validation reports the rest).
inline VrelStatus level_table_shape(const frame::Frame& f, const VrelTensorView* offsets) noexcept {
  VREL_TRY(f.header(offsets));
  const bool ok = offsets != nullptr && offsets->rank == 1 &&
                  (offsets->shape == nullptr || offsets->shape[0] >= 2);
  return ok ? VREL_STATUS_OK
            : f.fail(VREL_STATUS_INVALID_ARGUMENT, "level offsets must be an [L+1] view");
}

// Number of levels a validated level table describes.
inline int64_t level_count(const VrelTensorView* offsets) noexcept { return offsets->shape[0] - 1; }

// The table must be exactly the layout the pyramid export writes for h x w x c, so that no
// level is read outside the storage the table describes.
inline VrelStatus level_chain(const frame::Frame& f, const VrelTensorView* offsets, int64_t h,
                              int64_t w, int64_t c) noexcept {
  switch (chain_fault(abi::data_of<int32_t>(*offsets), level_count(offsets), h, w, c)) {
    case ChainFault::kNone: return VREL_STATUS_OK;
    case ChainFault::kTooLong: return f.fail(VREL_STATUS_INVALID_ARGUMENT, kLevelCountTooLarge);
    case ChainFault::kMismatch: break;
  }
  return f.fail(VREL_STATUS_INVALID_ARGUMENT, kChainMismatch);
}

// An input view's device and access flag, checked where the operation looks at devices.
inline VrelStatus cpu_input(const frame::Frame& f, const VrelTensorView* view) noexcept {
  if (view == nullptr) return VREL_STATUS_OK;
  VREL_TRY(f.on_cpu(view));
  return f.not_output(view);
}

}  // namespace vrel::texture
