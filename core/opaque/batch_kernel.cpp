#include "opaque/batch_kernel.hpp"

#include <algorithm>
#include <cmath>

namespace vrel::opaque {

void apply_rule(PixelPlan& plan, int32_t rule) noexcept {
  if (rule == 0) return;
  plan.material_rule = 0;
  plan.plain_points = rule == 1 ? kPlainRuleMin : kPlainRuleMax;
  plan.cut_order = rule == 1 ? 5 : 12;
  plan.nodes = plan.cut_units * unit_nodes(plan, UnitKind::kCut) +
               plan.plain_units * unit_nodes(plan, UnitKind::kPlain);
}

namespace {

// Plans the one pixel of `in` and sets the rule's orders.
template <typename T>
Outcome plan_rule(const QuadratureInputs<T>& in, int32_t rule, const QuadratureWorkspace& ws,
                  PixelPlan& plan) noexcept {
  CandidateScan<T> scan({in.vertices, in.faces, in.face_count}, in.image, false);
  const Outcome planned = plan_pixel(in, 0, 0, scan.collect(0, 0, ws.candidates), ws, plan);
  if (planned == Outcome::kOk) apply_rule(plan, rule);
  return planned;
}

// The run of one batch call over the plan's units.
bool run_units(const PixelPlan& plan, int32_t rule, const Cursor& cursor,
               Receipt& receipt) noexcept {
  return plan_run(
      cursor, plan.units, slot_width(rule), kNodeSlots,
      [&](int32_t u) { return unit_nodes(plan, plan.kinds[u]); }, receipt);
}

template <typename T>
void clear_row(int32_t* owners, T* nodes) noexcept {
  std::fill(owners, owners + kNodeSlots, -1);
  std::fill(nodes, nodes + 4 * kNodeSlots, T(0));
}

template <typename T>
bool all_finite(const T* values, int64_t count) noexcept {
  for (int64_t q = 0; q < count; ++q)
    if (!std::isfinite(values[q])) return false;
  return true;
}

}  // namespace

template <typename T>
Outcome material_batch(const QuadratureInputs<T>& in, int32_t rule, const Cursor& cursor,
                       const QuadratureWorkspace& ws, int32_t* owners, T* nodes,
                       Receipt& receipt) noexcept {
  clear_row(owners, nodes);
  PixelPlan plan;
  const Outcome planned = plan_rule(in, rule, ws, plan);
  if (planned != Outcome::kOk) return planned;
  if (!run_units(plan, rule, cursor, receipt)) return Outcome::kCapacity;
  const int32_t last = receipt.next.begin;
  return emit_units(in, plan, last - receipt.items, last, ws, owners, nodes);
}

template <typename T>
Outcome material_batch_backward(const QuadratureInputs<T>& in, int32_t rule, int32_t flags,
                                const Cursor& cursor, const T* gradient,
                                const QuadratureWorkspace& ws, T* vertex_grad, T* cut_grad,
                                Receipt& receipt, Prefix* prefix) noexcept {
  const int64_t vertex_count = 3 * in.vertex_count, cut_count = in.face_count * in.cuts.row;
  const bool fresh = prefix == nullptr || prefix->seen == 0;
  if (fresh) {
    std::fill(vertex_grad, vertex_grad + vertex_count, T(0));
    std::fill(cut_grad, cut_grad + cut_count, T(0));
  }
  PixelPlan plan;
  const Outcome planned = plan_rule(in, rule, ws, plan);
  if (planned != Outcome::kOk) return planned;
  if (!run_units(plan, rule, cursor, receipt)) return Outcome::kCapacity;
  // A continued prefix must resume exactly where it stopped, on the same pixel.
  if (prefix != nullptr &&
      (fresh ? cursor.begin != 0
             : prefix->seen != cursor.begin || prefix->face != plan.pixel.count))
    return Outcome::kCapacity;
  const int32_t last = receipt.next.begin;
  const Outcome done =
      unit_products(in, plan, last - receipt.items, last, gradient, ws, vertex_grad, cut_grad);
  if (done != Outcome::kOk) return done;
  if ((flags & kFlagVertexGradient) == 0) std::fill(vertex_grad, vertex_grad + vertex_count, T(0));
  if ((flags & kFlagCutGradient) == 0) std::fill(cut_grad, cut_grad + cut_count, T(0));
  if (!all_finite(vertex_grad, vertex_count) || !all_finite(cut_grad, cut_count))
    return Outcome::kAccumulation;
  if (prefix != nullptr) *prefix = {plan.pixel.count, last};
  return Outcome::kOk;
}

template <typename T>
Outcome boundary_stream(const T* vertices, const int32_t* faces, int64_t face_count,
                        const CutsOf<T>& cuts, double ox, double oy, int32_t side, int32_t width,
                        const Cursor& cursor, const IntegrateWorkspace& ws, int32_t* owners,
                        T* nodes, Receipt& receipt) noexcept {
  clear_row(owners, nodes);
  const Image image = one_pixel(ox, oy);
  CandidateScan<T> scan({vertices, faces, face_count}, image, false);
  const int32_t n = scan.collect(0, 0, ws.candidates);
  if (n < 0) return Outcome::kCandidates;
  SideInterval intervals[kIntervalCapacity];
  int32_t count = 0;
  if (n > 0) {
    const PixelFaces pixel = pixel_faces(vertices, faces, ws.candidates, n, ox, oy);
    for (int32_t k = 0; k < n; ++k)
      ws.triangles[k] = shaded_triangle<DualValue>(pixel.faces[k], kNoSeed);
    count = visible_side_intervals(pixel, ws.triangles, side, intervals, kIntervalCapacity);
    if (count > 0)
      count = split_at_cuts(cuts, ws.candidates, ws.triangles, side, intervals, count,
                            kIntervalCapacity);
    if (count < 0) return Outcome::kCapacity;
  }
  const LineRule rule = gauss_legendre(kBoundaryPoints);
  if (!plan_run(cursor, count, width, kRowSlots, [&](int32_t) { return rule.count; }, receipt))
    return Outcome::kCapacity;
  const int32_t last = receipt.next.begin;
  return emit_side_nodes(intervals, last - receipt.items, last, ws.triangles, ws.candidates, side,
                         rule, owners, nodes)
             ? Outcome::kOk
             : Outcome::kCapacity;
}

Outcome partition_prepare(const QuadratureInputs<double>& in, int32_t width,
                          const QuadratureWorkspace& ws, double* rows,
                          PartitionMeta& meta) noexcept {
  const int64_t capacity = partition_rows(width);
  std::fill(rows, rows + kPartitionColumns * capacity, 0.0);
  for (int64_t r = 0; r < capacity; ++r) rows[kPartitionColumns * r] = -1;
  meta = {0, 0, 0, 0, 0, width, partition_step(width), 0};
  PixelPlan plan;
  const Outcome planned = plan_rule(in, rule_of_width(width), ws, plan);
  if (planned != Outcome::kOk) return planned;
  int32_t owners[kNodeSlots];
  double nodes[4 * kNodeSlots];
  int64_t row = 0;
  for (int32_t u = 0; u < plan.units; ++u) {
    const int32_t n = unit_nodes(plan, plan.kinds[u]);
    const Outcome emitted = emit_units(in, plan, u, u + 1, ws, owners, nodes);
    if (emitted != Outcome::kOk) return emitted;
    for (int32_t q = 0; q < n; q += 4, ++row) {
      if (row == capacity) return Outcome::kCapacity;
      double* out = rows + kPartitionColumns * row;
      const int32_t m = std::min(4, n - q);
      out[0] = 4.0 * owners[q] + (m - 1);
      std::copy(nodes + 4 * q, nodes + 4 * (q + m), out + 1);
    }
  }
  meta = {static_cast<int32_t>(row),
          plan.nodes,
          plan.units,
          plan.cut_units,
          plan.plain_units,
          width,
          partition_step(width),
          plan.pixel.count};
  return Outcome::kOk;
}

Outcome partition_emit(const double* rows, int32_t count, int32_t begin, int32_t* owners,
                       double* nodes) noexcept {
  clear_row(owners, nodes);
  int32_t slot = 0;
  for (int32_t r = begin; r < count; ++r) {
    const double* in = rows + int64_t{kPartitionColumns} * r;
    // Column 0 must be 4 * owner + (nodes - 1) with owner a valid int32 face index.
    if (!(in[0] >= 0 && in[0] <= 4.0 * 2147483647.0 + 3) || in[0] != std::floor(in[0]))
      return Outcome::kCapacity;
    const int64_t head = static_cast<int64_t>(in[0]);
    const int32_t m = static_cast<int32_t>(head % 4) + 1;
    if (slot + m > kNodeSlots || !all_finite(in + 1, 4 * m)) return Outcome::kCapacity;
    for (int32_t q = 0; q < m; ++q, ++slot) {
      owners[slot] = static_cast<int32_t>(head / 4);
      std::copy(in + 1 + 4 * q, in + 5 + 4 * q, nodes + 4 * slot);
    }
  }
  return Outcome::kOk;
}

#define VREL_BATCH_INSTANCES(T)                                                                    \
  template Outcome material_batch<T>(const QuadratureInputs<T>&, int32_t, const Cursor&,           \
                                     const QuadratureWorkspace&, int32_t*, T*, Receipt&) noexcept; \
  template Outcome material_batch_backward<T>(const QuadratureInputs<T>&, int32_t, int32_t,        \
                                              const Cursor&, const T*, const QuadratureWorkspace&, \
                                              T*, T*, Receipt&, Prefix*) noexcept;                 \
  template Outcome boundary_stream<T>(const T*, const int32_t*, int64_t, const CutsOf<T>&, double, \
                                      double, int32_t, int32_t, const Cursor&,                     \
                                      const IntegrateWorkspace&, int32_t*, T*, Receipt&) noexcept;
VREL_BATCH_INSTANCES(float)
VREL_BATCH_INSTANCES(double)
#undef VREL_BATCH_INSTANCES

}  // namespace vrel::opaque
