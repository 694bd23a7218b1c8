// Kernels of the opaque renderer's resumable operations: batch calls (with and without an explicit
// rule, forward and backward), the prefix backward, the boundary streams and the partitions. The
// cursor arrives as four ints and the receipt (and prefix, partition metadata) leave as integer
// lists. Each kernel checks its arguments and byte budget before calling the core.
#include "adapter.hpp"

namespace vrel::adapter {
namespace {

constexpr std::int64_t kBudgetLimit = 67108864;
constexpr std::int64_t kSlots = 800;
// The slot widths of the rules 0..4.
constexpr std::int64_t kWidths[5] = {16, 16, 52, 64, 80};

bool rows_of_three(const Tensor &t) { return dim_of(t) == 2 && size_of(t, 1) == 3; }
// Compared as unsigned, so that negative values fail.
bool at_most(std::int64_t value, std::int64_t high) {
  return static_cast<std::uint64_t>(value) <= static_cast<std::uint64_t>(high);
}
std::uint64_t element_size(const Tensor &t) { return dtype_code(t) == VREL_DTYPE_FLOAT32 ? 4 : 8; }

// vertices [V,3], faces [F,3], cuts [F,3,K] or [F,1,3K+6].
bool mesh_shapes(const Tensor &v, const Tensor &f, const Tensor &cuts) {
  return rows_of_three(v) && rows_of_three(f) && dim_of(cuts) == 3 &&
         size_of(cuts, 0) == size_of(f, 0) && (size_of(cuts, 1) == 3 || size_of(cuts, 1) == 1);
}

// The cursor and budget rules of a stream of width w.
void check_cursor(std::int64_t width, std::int64_t begin, std::int64_t batch, std::int64_t slots,
                  std::int64_t blocks, std::int64_t limit) {
  require(at_most(begin, 32 * width) && at_most(batch, width - 1) &&
              at_most(slots, kSlots * width) && at_most(blocks, 32 * width) && limit >= 1 &&
              limit <= kBudgetLimit,
          "opaque batch cursor/budget");
}

// The workspace bytes of the batch family; `output` bytes must fit `limit` beside them.
std::uint64_t batch_bytes(Call &call, const Tensor &v, std::int64_t limit, std::uint64_t output) {
  const std::uint64_t bytes =
      query_bytes(call, vrel_render_opaque_material_batch_workspace, dtype_code(v));
  require(bytes <= static_cast<std::uint64_t>(limit) &&
              static_cast<std::uint64_t>(limit) - bytes >= output,
          "opaque batch workspace/output budget");
  return bytes;
}

// One row's outputs: 800 owners (4 bytes) and 800 nodes of 4 values.
std::uint64_t row_bytes(const Tensor &v) { return kSlots * (4 * element_size(v) + 4); }

std::vector<std::int64_t> as_list(const std::int32_t *values, int count) {
  return std::vector<std::int64_t>(values, values + count);
}

using Row = std::tuple<Tensor, Tensor, std::vector<std::int64_t>>;
using Gradients = std::tuple<Tensor, Tensor, std::vector<std::int64_t>>;

Row batch_forward(Tensor v, Tensor f, Tensor cuts, double ox, double oy, std::int64_t begin,
                  std::int64_t batch, std::int64_t slots, std::int64_t blocks, std::int64_t limit,
                  std::int64_t rule) {
  require(at_most(rule, 4), "opaque batch rule");
  require(mesh_shapes(v, f, cuts), "opaque batch shapes");
  check_cursor(kWidths[rule], begin, batch, slots, blocks, limit);
  return scoped(v, [&] {
    Call call(v);
    Workspace ws = make_workspace(v, batch_bytes(call, v, limit, row_bytes(v)));
    Tensor owners = new_empty(v, {1, kSlots}, ScalarType::Int);
    Tensor nodes = new_empty(v, {1, kSlots, 4});
    const std::int32_t cursor[4] = {
        static_cast<std::int32_t>(begin), static_cast<std::int32_t>(batch),
        static_cast<std::int32_t>(slots), static_cast<std::int32_t>(blocks)};
    std::int32_t receipt[8] = {};
    call.check(vrel_render_opaque_material_batch_rule(
        call.in(v, "v"), call.in(f, "f"), call.in(cuts, "cuts"), ox, oy, cursor, receipt,
        call.context(), call.out(owners), call.out(nodes), ws.get(), call.diag(),
        static_cast<std::int32_t>(rule)));
    return Row{owners, nodes, as_list(receipt, 8)};
  });
}

// The batch backward; with `prefix` (face, seen) the prefix export of `rule` (2..4).
std::tuple<Tensor, Tensor, std::vector<std::int64_t>, std::vector<std::int64_t>> batch_backward(
    Tensor v, Tensor f, Tensor cuts, Tensor g, double ox, double oy, std::int64_t begin,
    std::int64_t batch, std::int64_t slots, std::int64_t blocks, std::int64_t limit,
    std::int64_t rule, std::int64_t derivatives, std::int32_t *prefix) {
  require(at_most(rule, 4) && at_most(derivatives, 3), "opaque batch rule");
  require(mesh_shapes(v, f, cuts) && dim_of(g) == 3 && size_of(g, 0) == 1 &&
              size_of(g, 1) == kSlots && size_of(g, 2) == 4,
          "opaque batch shapes");
  check_cursor(kWidths[rule], begin, batch, slots, blocks, limit);
  return scoped(v, [&] {
    Call call(v);
    const std::uint64_t output =
        element_size(v) * static_cast<std::uint64_t>(numel_of(v) + numel_of(cuts));
    Workspace ws = make_workspace(v, batch_bytes(call, v, limit, output));
    Tensor grad_v = new_empty(v, sizes_of(v));
    Tensor grad_cuts = new_empty(v, sizes_of(cuts));
    // A continued prefix adds to its outputs; these are new, so each call returns its own
    // products (the caller sums them) while the prefix still checks where the call resumes.
    if (prefix != nullptr && prefix[1] != 0) {
      zero_(grad_v);
      zero_(grad_cuts);
    }
    const std::int32_t cursor[4] = {
        static_cast<std::int32_t>(begin), static_cast<std::int32_t>(batch),
        static_cast<std::int32_t>(slots), static_cast<std::int32_t>(blocks)};
    std::int32_t receipt[8] = {};
    const auto *vi = call.in(v, "v");
    const auto *fi = call.in(f, "f");
    const auto *ci = call.in(cuts, "cuts");
    const auto *gi = call.in(g, "g");
    auto *gv = call.out(grad_v);
    auto *gc = call.out(grad_cuts);
    const auto flags = static_cast<std::int32_t>(derivatives);
    if (prefix == nullptr) {
      call.check(vrel_render_opaque_material_batch_rule_backward(
          vi, fi, ci, ox, oy, cursor, receipt, gi, call.context(), gv, gc, ws.get(), call.diag(),
          static_cast<std::int32_t>(rule), flags));
    } else {
      auto fn = rule == 2   ? vrel_render_opaque_material_prefix_backward
                : rule == 3 ? vrel_render_opaque_material_prefix_backward64
                            : vrel_render_opaque_material_prefix_backward80;
      call.check(fn(vi, fi, ci, ox, oy, cursor, receipt, gi, call.context(), gv, gc, ws.get(),
                    call.diag(), flags, prefix));
    }
    return std::tuple{grad_v, grad_cuts, as_list(receipt, 8),
                      prefix == nullptr ? std::vector<std::int64_t>{} : as_list(prefix, 2)};
  });
}

Row opaque_material_batch(Tensor v, Tensor f, Tensor cuts, double ox, double oy, std::int64_t begin,
                          std::int64_t batch, std::int64_t slots, std::int64_t blocks,
                          std::int64_t limit) {
  return batch_forward(v, f, cuts, ox, oy, begin, batch, slots, blocks, limit, 0);
}

Row opaque_material_batch_rule(Tensor v, Tensor f, Tensor cuts, double ox, double oy,
                               std::int64_t begin, std::int64_t batch, std::int64_t slots,
                               std::int64_t blocks, std::int64_t limit, std::int64_t rule) {
  return batch_forward(v, f, cuts, ox, oy, begin, batch, slots, blocks, limit, rule);
}

Gradients opaque_material_batch_backward(Tensor v, Tensor f, Tensor cuts, Tensor g, double ox,
                                         double oy, std::int64_t begin, std::int64_t batch,
                                         std::int64_t slots, std::int64_t blocks,
                                         std::int64_t limit) {
  auto [gv, gc, receipt, unused] =
      batch_backward(v, f, cuts, g, ox, oy, begin, batch, slots, blocks, limit, 0, 3, nullptr);
  return Gradients{gv, gc, receipt};
}

Gradients opaque_material_batch_rule_backward(Tensor v, Tensor f, Tensor cuts, Tensor g, double ox,
                                              double oy, std::int64_t begin, std::int64_t batch,
                                              std::int64_t slots, std::int64_t blocks,
                                              std::int64_t limit, std::int64_t rule,
                                              std::int64_t derivatives) {
  auto [gv, gc, receipt, unused] = batch_backward(v, f, cuts, g, ox, oy, begin, batch, slots,
                                                  blocks, limit, rule, derivatives, nullptr);
  return Gradients{gv, gc, receipt};
}

template <std::int64_t Rule>
std::tuple<Tensor, Tensor, std::vector<std::int64_t>, std::vector<std::int64_t>> prefix_backward(
    Tensor v, Tensor f, Tensor cuts, Tensor g, double ox, double oy, std::int64_t begin,
    std::int64_t batch, std::int64_t slots, std::int64_t blocks, std::int64_t limit,
    std::int64_t derivatives, std::int64_t face, std::int64_t seen) {
  require(at_most(face, 512) && at_most(seen, 2048), "prefix range");
  std::int32_t prefix[2] = {static_cast<std::int32_t>(face), static_cast<std::int32_t>(seen)};
  return batch_backward(v, f, cuts, g, ox, oy, begin, batch, slots, blocks, limit, Rule,
                        derivatives, prefix);
}

constexpr auto opaque_material_prefix_backward = &prefix_backward<2>;
constexpr auto opaque_material_prefix_backward64 = &prefix_backward<3>;
constexpr auto opaque_material_prefix_backward80 = &prefix_backward<4>;

template <std::int64_t Width>
Row boundary_batch(Tensor vertices, Tensor faces, Tensor cuts, double ox, double oy,
                   std::int64_t edge, std::int64_t begin, std::int64_t batch, std::int64_t slots,
                   std::int64_t blocks, std::int64_t limit) {
  require(at_most(edge, 3), "boundary stream edge/gradient");
  check_cursor(Width, begin, batch, slots, blocks, limit);
  require(mesh_shapes(vertices, faces, cuts), "opaque batch shapes");
  return scoped(vertices, [&] {
    Call call(vertices);
    Workspace ws =
        make_workspace(vertices, batch_bytes(call, vertices, limit, row_bytes(vertices)));
    Tensor owners = new_empty(vertices, {1, kSlots}, ScalarType::Int);
    Tensor nodes = new_empty(vertices, {1, kSlots, 4});
    const std::int32_t cursor[4] = {
        static_cast<std::int32_t>(begin), static_cast<std::int32_t>(batch),
        static_cast<std::int32_t>(slots), static_cast<std::int32_t>(blocks)};
    std::int32_t receipt[8] = {};
    auto fn =
        Width == 64 ? vrel_render_opaque_boundary_batch64 : vrel_render_opaque_boundary_batch80;
    call.check(fn(call.in(vertices, "vertices"), call.in(faces, "faces"), call.in(cuts, "cuts"), ox,
                  oy, static_cast<std::int32_t>(edge), cursor, receipt, call.context(),
                  call.out(owners), call.out(nodes), ws.get(), call.diag()));
    return Row{owners, nodes, as_list(receipt, 8)};
  });
}

constexpr auto opaque_boundary_batch64 = &boundary_batch<64>;
constexpr auto opaque_boundary_batch80 = &boundary_batch<80>;

template <std::int64_t Width>
std::tuple<Tensor, std::vector<std::int64_t>> partition_prepare(Tensor v, Tensor f, Tensor cuts,
                                                                double ox, double oy,
                                                                std::int64_t limit) {
  const std::int64_t rows = 32 * Width;
  // The rows take R x 17 doubles; 278,528 bytes (2,048 rows) is the least budget asked beside the
  // workspace, and the 2,560 rows of the 80-slot variant need their own size.
  const std::uint64_t storage = std::max<std::uint64_t>(278528, rows * 17 * 8);
  return scoped(v, [&] {
    Call call(v);
    std::uint64_t bytes = 0;
    if (limit >= 1 && limit <= kBudgetLimit)
      bytes = query_bytes(call, vrel_render_opaque_material_batch_workspace, dtype_code(v));
    require(
        limit >= 1 && limit <= kBudgetLimit && static_cast<std::uint64_t>(limit) >= bytes + storage,
        "partition storage budget");
    Workspace ws = make_workspace(v, bytes);
    Tensor out = new_empty(v, {rows, 17}, ScalarType::Double);
    std::int32_t meta[8] = {};
    auto fn = Width == 52   ? vrel_render_opaque_partition_prepare
              : Width == 64 ? vrel_render_opaque_partition_prepare64
                            : vrel_render_opaque_partition_prepare80;
    call.check(fn(call.in(v, "v"), call.in(f, "f"), call.in(cuts, "cuts"), ox, oy, call.context(),
                  call.out(out), meta, ws.get(), call.diag()));
    return std::tuple{out, as_list(meta, 8)};
  });
}

constexpr auto opaque_partition_prepare = &partition_prepare<52>;
constexpr auto opaque_partition_prepare64 = &partition_prepare<64>;
constexpr auto opaque_partition_prepare80 = &partition_prepare<80>;

template <std::int64_t Width>
std::tuple<Tensor, Tensor> partition_emit(Tensor rows, std::int64_t count, std::int64_t begin) {
  // The 80-slot variant holds 2,560 rows emitted from multiples of 28, as its core export does.
  const std::int64_t capacity = Width == 80 ? 2560 : 2048, step = Width == 80 ? 28 : 32;
  require(at_most(count, capacity) && begin >= 0 && begin <= count && begin % step == 0,
          "partition range");
  return scoped(rows, [&] {
    Call call(rows);
    // The CPU path uses no scratch; the CUDA provider gets the batch workspace.
    const std::uint64_t bytes =
        is_cuda(rows)
            ? query_bytes(call, vrel_render_opaque_material_batch_workspace, dtype_code(rows))
            : 8;
    Workspace ws = make_workspace(rows, bytes);
    Tensor owners = new_empty(rows, {1, kSlots}, ScalarType::Int);
    Tensor nodes = new_empty(rows, {1, kSlots, 4}, ScalarType::Double);
    auto fn = Width == 52   ? vrel_render_opaque_partition_emit_workspace
              : Width == 64 ? vrel_render_opaque_partition_emit_workspace64
                            : vrel_render_opaque_partition_emit_workspace80;
    call.check(fn(call.in(rows, "rows"), static_cast<std::int32_t>(count),
                  static_cast<std::int32_t>(begin), call.context(), call.out(owners),
                  call.out(nodes), ws.get(), call.diag()));
    return std::tuple{owners, nodes};
  });
}

constexpr auto opaque_partition_emit = &partition_emit<52>;
constexpr auto opaque_partition_emit64 = &partition_emit<64>;
constexpr auto opaque_partition_emit80 = &partition_emit<80>;

}  // namespace

// A binding of a kernel held in a constexpr function pointer (the width variants).
#define VREL_BIND_POINTER(name) \
  ::vrel::adapter::KernelBinding { #name, TORCH_BOX(name) }

std::span<const KernelBinding> opaque_stream_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(opaque_material_batch),
      VREL_BIND(opaque_material_batch_rule),
      VREL_BIND(opaque_material_batch_backward),
      VREL_BIND(opaque_material_batch_rule_backward),
      VREL_BIND_POINTER(opaque_material_prefix_backward),
      VREL_BIND_POINTER(opaque_material_prefix_backward64),
      VREL_BIND_POINTER(opaque_material_prefix_backward80),
      VREL_BIND_POINTER(opaque_boundary_batch64),
      VREL_BIND_POINTER(opaque_boundary_batch80),
      VREL_BIND_POINTER(opaque_partition_prepare),
      VREL_BIND_POINTER(opaque_partition_prepare64),
      VREL_BIND_POINTER(opaque_partition_prepare80),
      VREL_BIND_POINTER(opaque_partition_emit),
      VREL_BIND_POINTER(opaque_partition_emit64),
      VREL_BIND_POINTER(opaque_partition_emit80),
  };
  return bindings;
}

}  // namespace vrel::adapter
