// Row-independent operators on all of PyTorch's CPU threads. The core starts no threads; here the
// rows of an operator whose outputs are independent by row are cut into one contiguous range per
// intra-op thread (torch.get_num_threads()), and each thread calls the core on its own sub-views.
// Each row is computed by the same code as in one call, so the results are equal bit for bit.
// When any part fails, the whole problem is run again as one call, whose failure (the one a
// single call reports) is raised; the parts' outputs are then discarded with the tensors.
#pragma once

#include <torch/csrc/stable/c/shim.h>
#include <torch/csrc/stable/macros.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "adapter.hpp"

namespace vrel::adapter::split {

// Parts for `rows` rows of at least `min_rows` each (1 on CUDA, with one thread, or for a
// problem too small to pay for the threads).
inline std::int64_t parts_for(const Tensor &reference, std::int64_t rows, std::int64_t min_rows) {
  if (is_cuda(reference) || rows < 2 * min_rows) return 1;
  std::uint32_t threads = 1;
  STABLE_TORCH_ERROR_CODE_CHECK(torch_get_num_threads(&threads));
  return std::max<std::int64_t>(1, std::min<std::int64_t>(threads, rows / min_rows));
}

// First row of part `i` of `parts` over `rows` rows.
inline std::int64_t first_row(std::int64_t i, std::int64_t parts, std::int64_t rows) {
  return rows / parts * i + std::min(i, rows % parts);
}

inline std::int64_t element_size(std::uint32_t dtype) {
  return dtype == VREL_DTYPE_FLOAT64 ? 8 : dtype == VREL_DTYPE_BOOL ? 1 : 4;
}

// One part's call: its views (rows of the whole call's views, or the whole view when shared), its
// offsets and its Diagnostic.
struct Part {
  static constexpr int kViews = 8, kRank = 6;
  std::array<VrelTensorView, kViews> views{};
  std::array<std::array<std::int64_t, kRank>, kViews> shapes{};
  int count = 0;
  char message[kMessageBytes] = {};
  VrelDiagnostic diag{};
  VrelStatus status = VREL_STATUS_OK;

  Part() {
    diag.struct_size = sizeof diag;
    diag.abi_version = VREL_ABI_VERSION;
    diag.message = message;
    diag.message_capacity = kMessageBytes;
  }
  Part(const Part &) = delete;

  std::vector<std::int32_t> clipped;  // this part's batch offsets, when it has some
  static constexpr std::int64_t kUnitStride = 1;

  // Rows [begin, end) along dimension 0 of a borrowed view of rank 1..kRank.
  VrelTensorView *rows(const VrelTensorView *view, std::int64_t begin, std::int64_t end) {
    VrelTensorView &out = views[count];
    std::array<std::int64_t, kRank> &shape = shapes[count++];
    out = *view;
    std::copy(view->shape, view->shape + view->rank, shape.begin());
    shape[0] = end - begin;
    out.shape = shape.data();
    out.byte_offset +=
        static_cast<std::uint64_t>(begin * view->strides[0] * element_size(view->dtype));
    return &out;
  }

  // Rows [begin, end) of a dense view whose dimensions 0..dim are taken as one: those before
  // `dim` become 1 and `dim` counts the rows of the merged dimensions (a fragment buffer
  // [B,H,W,K,...] cut by fragment, or a [1,H,...] image cut by image row). The view stays dense.
  VrelTensorView *merged_rows(const VrelTensorView *view, std::uint32_t dim, std::int64_t begin,
                              std::int64_t end) {
    VrelTensorView &out = views[count];
    std::array<std::int64_t, kRank> &shape = shapes[count++];
    out = *view;
    std::copy(view->shape, view->shape + view->rank, shape.begin());
    std::int64_t row = 1;  // elements per row: the product of the later extents
    for (std::uint32_t d = dim + 1; d < view->rank; ++d) row *= view->shape[d];
    for (std::uint32_t d = 0; d < dim; ++d) shape[d] = 1;
    shape[dim] = end - begin;
    out.shape = shape.data();
    out.byte_offset += static_cast<std::uint64_t>(begin * row * element_size(view->dtype));
    return &out;
  }
};

// Packed offsets [B+1] clipped to rows [begin, end) and shifted to start at 0: the batch
// elements of a part's rows, as a view of the part's own vector. Null when the offsets cannot be
// read as an int32 CPU vector (the one call then reports them).
inline const VrelTensorView *clipped_offsets(Part &part, const VrelTensorView *offsets,
                                             std::int64_t begin, std::int64_t end) {
  if (offsets == nullptr || offsets->rank != 1 || offsets->dtype != VREL_DTYPE_INT32 ||
      offsets->device_type != VREL_DEVICE_CPU || offsets->data == nullptr || offsets->shape[0] < 1)
    return nullptr;
  const auto *data = reinterpret_cast<const std::int32_t *>(
      static_cast<const unsigned char *>(offsets->data) + offsets->byte_offset);
  part.clipped.resize(static_cast<std::size_t>(offsets->shape[0]));
  for (std::int64_t i = 0; i < offsets->shape[0]; ++i) {
    const std::int64_t at = data[i * offsets->strides[0]];
    part.clipped[i] = static_cast<std::int32_t>(std::clamp(at, begin, end) - begin);
  }
  VrelTensorView &out = part.views[part.count];
  std::array<std::int64_t, Part::kRank> &shape = part.shapes[part.count++];
  out = *offsets;
  shape[0] = offsets->shape[0];
  out.shape = shape.data();
  out.strides = &Part::kUnitStride;
  out.data = part.clipped.data();
  out.byte_offset = 0;
  return &out;
}

// One workspace tensor cut into `n` slices of `bytes` bytes (64-byte steps), one per part.
struct Workspaces {
  Workspace whole;
  std::vector<VrelBufferDescriptor> slices;
  VrelBufferDescriptor *at(std::int64_t i) { return slices.empty() ? nullptr : &slices[i]; }
};

inline Workspaces workspaces(const Tensor &reference, std::int64_t n, std::uint64_t bytes) {
  const std::uint64_t step = (bytes + 63) / 64 * 64;
  Workspaces out{make_workspace(reference, bytes == 0 ? 0 : step * n + 64), {}};
  if (bytes == 0) return out;
  auto *base = static_cast<unsigned char *>(out.whole.descriptor.data);
  base += (64 - reinterpret_cast<std::uintptr_t>(base) % 64) % 64;
  for (std::int64_t i = 0; i < n; ++i) {
    VrelBufferDescriptor slice = out.whole.descriptor;
    slice.data = base + step * i;
    slice.capacity = bytes;
    out.slices.push_back(slice);
  }
  return out;
}

// Whether a borrowed view can be cut into rows: rank 1..Part::kRank, extent 0 = `rows`.
inline bool cuttable(const VrelTensorView *view, std::int64_t rows) {
  return view != nullptr && view->rank >= 1 &&
         view->rank <= static_cast<std::uint32_t>(Part::kRank) && view->shape[0] == rows;
}

// Whether a borrowed view can be cut by Part::merged_rows: rank dim+1..Part::kRank, the extents
// of dimensions 0..dim multiplying to `rows`.
inline bool cuttable_merged(const VrelTensorView *view, std::uint32_t dim, std::int64_t rows) {
  if (view == nullptr || view->rank <= dim || view->rank > static_cast<std::uint32_t>(Part::kRank))
    return false;
  std::int64_t merged = 1;
  for (std::uint32_t d = 0; d <= dim; ++d) merged *= view->shape[d];
  return merged == rows;
}

// Runs `call(part, i)` for parts 0..n-1 on PyTorch's pool; true when every part succeeded.
// `call` returns the core's status and writes its sentence into part.diag.
template <typename F>
bool run(std::vector<Part> &parts, const F &call) {
  struct Job {
    std::vector<Part> *parts;
    const F *call;
  } job{&parts, &call};
  // Plain C callback: the core calls cannot throw, so nothing crosses the pool's threads.
  const auto body = [](std::int64_t begin, std::int64_t end, void *context) {
    const Job &j = *static_cast<const Job *>(context);
    for (std::int64_t i = begin; i < end; ++i) (*j.parts)[i].status = (*j.call)((*j.parts)[i], i);
  };
  STABLE_TORCH_ERROR_CODE_CHECK(
      torch_parallel_for(0, static_cast<std::int64_t>(parts.size()), 1, body, &job));
  return std::all_of(parts.begin(), parts.end(),
                     [](const Part &p) { return p.status == VREL_STATUS_OK; });
}

}  // namespace vrel::adapter::split
