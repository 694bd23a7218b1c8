#include "opaque/quadrature_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "opaque/cut_lines.hpp"
#include "opaque/rules.hpp"

namespace vrel::opaque {

// The seeded triangles of the backward sit between the triangles and the candidates.
inline constexpr uint64_t kQuadratureSeededTriangles =
    kIntegrateTriangles + kCandidateCapacity * sizeof(ShadedTriangle);

static_assert(kQuadratureCells + kCellCapacity * sizeof(ClipPolygon) <= kIntegrateBankA);
static_assert(kQuadratureSeededTriangles + kCandidateCapacity * sizeof(ShadedTriangle) <=
              kIntegrateCandidates);
static_assert(kQuadratureSeparation >=
              kIntegrateWeights + kCandidateCapacity * 3 * sizeof(DualValue));
static_assert(kQuadratureSeparation + kCandidateCapacity * kSeparationRowBytes <=
              kQuadratureWorkspaceBytes);

QuadratureWorkspace quadrature_workspace(void* data) noexcept {
  auto* bytes = static_cast<unsigned char*>(data);
  return {reinterpret_cast<ClipPolygon*>(bytes + kIntegrateBankA),
          reinterpret_cast<ClipPolygon*>(bytes + kIntegrateBankB),
          reinterpret_cast<ClipPolygon*>(bytes + kQuadratureCells),
          reinterpret_cast<ShadedTriangle*>(bytes + kIntegrateTriangles),
          reinterpret_cast<int64_t*>(bytes + kIntegrateCandidates),
          bytes + kQuadratureSeparation};
}

namespace {

constexpr int64_t kNoCoefficient = -1;

// Whether `p` has vertices strictly on both sides of `h` (by value); one step per vertex.
template <typename D>
bool crosses(const HalfPlaneOf<D>& h, const PolygonOf<D>& p, ClipBudget& budget) noexcept {
  bool above = false, below = false;
  for (int32_t i = 0; i < p.count && !(above && below); ++i) {
    if (!budget.step()) return false;
    const double s = evaluate(h, p.points[i]).v;
    above = above || s > 0;
    below = below || s < 0;
  }
  return above && below;
}

// One unit: the triangle P0, P0 + E1, P0 + E2 and its area factor |E1 x E2|.
template <typename D>
struct UnitOf {
  UnitKind kind;
  PointOf<D> p0, e1, e2;
  D factor;
};

// Fan triangle i (v0, v_i, v_i+1) of a polygon, and whether its doubled area is not 0.
template <typename D>
bool fan_triangle(const PolygonOf<D>& q, int32_t i, UnitKind kind, UnitOf<D>& unit) noexcept {
  const PointOf<D>& o = q.points[0];
  const PointOf<D> e1{q.points[i].x - o.x, q.points[i].y - o.y};
  const PointOf<D> e2{q.points[i + 1].x - o.x, q.points[i + 1].y - o.y};
  const D cross = e1.x * e2.y - e1.y * e2.x;
  unit = {kind, o, e1, e2, cross.v < 0 ? -cross : cross};
  return cross.v != 0;
}

// Calls visit(unit) for each fan triangle of `q` from vertex 0 whose doubled area is not 0.
template <typename D, typename Visit>
void fan(const PolygonOf<D>& q, UnitKind kind, Visit&& visit) noexcept {
  UnitOf<D> unit;
  for (int32_t i = 1; i + 1 < q.count; ++i)
    if (fan_triangle(q, i, kind, unit) && !visit(unit)) return;
}

// A cell of a split piece records in provenance[i] the cut line that its side (i, i+1) lies on
// (kNoLine for a side of the piece): cells are clipped with Provenance::kSide.

// The fan of a cell from vertex 0: a triangle is a CUT unit when it holds a side of the cell on a
// cut line, else a PLAIN unit. Triangle i holds side (v_i, v_i+1), the first also (v_0, v_1) and
// the last also (v_n-1, v_0), so each side belongs to one triangle. A side of zero length holds
// nothing; the sides of a triangle of zero area (points in line at the ends of the fan, or a
// repeated point) pass to the next triangle kept, or to the last one kept. Kinds depend on values
// only, so every evaluation of the pixel gives the same units.
template <typename D, typename Visit>
void fan_cell(const PolygonOf<D>& q, Visit&& visit) noexcept {
  const int32_t n = q.count;
  if (n < 3) return;
  auto cut_side = [&](int32_t e) {
    const PointOf<D>& a = q.points[e];
    const PointOf<D>& b = q.points[e + 1 == n ? 0 : e + 1];
    return q.provenance[e] != kNoLine && !(a.x.v == b.x.v && a.y.v == b.y.v);
  };
  bool kept[kPolygonCapacity] = {}, cut[kPolygonCapacity] = {};
  bool pending = false;
  int32_t last = -1;
  UnitOf<D> unit;
  for (int32_t i = 1; i + 1 < n; ++i) {
    pending = pending || cut_side(i) || (i == 1 && cut_side(0)) || (i + 2 == n && cut_side(n - 1));
    kept[i] = fan_triangle(q, i, UnitKind::kPlain, unit);
    if (!kept[i]) continue;
    cut[i] = pending;
    pending = false;
    last = i;
  }
  if (pending && last > 0) cut[last] = true;
  for (int32_t i = 1; i + 1 < n; ++i) {
    if (!kept[i]) continue;
    fan_triangle(q, i, cut[i] ? UnitKind::kCut : UnitKind::kPlain, unit);
    if (!visit(unit)) return;
  }
}

// Everything one decomposition of a pixel reads.
template <typename D>
struct DecompositionOf {
  const ShadedTriangleOf<D>* triangles;
  int32_t count;
  const Separation* apart;
  PixelScratchOf<D> scratch;
  PolygonOf<D>* cells;
  int32_t cell_capacity;
};
using Decomposition = DecompositionOf<DualValue>;

// The units of candidate k in slot order: its visible pieces (the colour integration's), each
// fan-triangulated into plain units when no active cut line crosses it, else split by every
// crossing line into cells (in split order) fan-triangulated into cut units. `crossing`, when
// given, collects the line numbers that split a piece. visit(unit) returns false to stop.
template <typename D, typename T, typename Visit>
void candidate_units(const DecompositionOf<D>& d, int32_t k, const CutsOf<T>& cuts, int64_t face,
                     int64_t seed, ClipBudget& budget, uint64_t* crossing, Visit&& visit) noexcept {
  const BankOf<D> pieces =
      visible_pieces(d.triangles, d.count, k, *d.apart, d.scratch, budget, true, true);
  if (budget.overflow || pieces.count == 0) return;
  CutLinesOf<D> lines;
  cut_lines(cuts, face, d.triangles[k], seed, lines);
  bool go = true;
  auto keep = [&](const UnitOf<D>& unit) { return go = go && visit(unit); };
  for (int32_t r = 0; r < pieces.count && go && !budget.overflow; ++r) {
    const PolygonOf<D>& piece = pieces.pieces[r];
    int32_t count = 0;
    for (int32_t l = 0; l < lines.count && !budget.overflow; ++l) {
      if (!crosses(lines.plane[l], piece, budget)) continue;
      if (crossing != nullptr) *crossing |= uint64_t{1} << lines.line[l];
      if (count == 0) {
        copy_polygon(d.cells[0], piece);
        for (int32_t i = 0; i < piece.count; ++i) d.cells[0].provenance[i] = kNoLine;
        count = 1;
      }
      const int32_t before = count;
      for (int32_t c = 0; c < before && !budget.overflow; ++c) {
        if (is_empty(d.cells[c]) || !crosses(lines.plane[l], d.cells[c], budget)) continue;
        if (count == d.cell_capacity) {
          budget.overflow = 1;
          break;
        }
        clip<Provenance::kSide>(d.cells[c], negated(lines.plane[l]), budget, d.cells[count], l);
        if (!is_empty(d.cells[count]) && area(d.cells[count]).v > 0) ++count;
        PolygonOf<D>& inside = d.scratch.spare[0];
        clip<Provenance::kSide>(d.cells[c], lines.plane[l], budget, inside, l);
        if (!is_empty(inside) && area(inside).v > 0)
          copy_polygon(d.cells[c], inside);
        else
          d.cells[c].count = 0;
      }
    }
    if (budget.overflow) return;
    if (count == 0) {
      fan(piece, UnitKind::kPlain, keep);
      continue;
    }
    for (int32_t c = 0; c < count && go; ++c) fan_cell(d.cells[c], keep);
  }
}

// The rule of a unit kind under a plan.
TriangleRule rule_of(const PixelPlan& plan, UnitKind kind) noexcept {
  if (kind == UnitKind::kCut) return cut_rule(plan.cut_order);
  return plan.material_rule ? material_rule() : plain_rule(plan.plain_points);
}

// Node `q` of a rule in unit `unit`: position, then barycentrics and weight.
template <typename D>
struct NodeOf {
  D value[4];  // l0, l1, l2, weight
};

template <typename D>
inline NodeOf<D> node_of(const UnitOf<D>& unit, const ShadedTriangleOf<D>& tri,
                         const TriangleRule& rule, int32_t q) noexcept {
  const double a = rule.a[q], b = rule.b[q];
  const D x = unit.p0.x + scaled(unit.e1.x, a) + scaled(unit.e2.x, b);
  const D y = unit.p0.y + scaled(unit.e1.y, a) + scaled(unit.e2.y, b);
  NodeOf<D> n;
  for (int t = 0; t < 3; ++t) n.value[t] = tri.bary[t][0] * x + tri.bary[t][1] * y + tri.bary[t][2];
  n.value[3] = scaled(unit.factor, rule.w[q]);
  return n;
}

// The slot of unit `index`'s first node, counted from the pixel's first slot.
int32_t slot_of(const PixelPlan& plan, int32_t index) noexcept {
  int32_t slot = 0;
  for (int32_t u = 0; u < index; ++u) slot += unit_nodes(plan, plan.kinds[u]);
  return slot;
}

// Walks the units of every candidate (or of candidate `only`) and hands those with
// first <= index < last, with their slot counted from unit `first`'s, to
// visit(k, unit, slot, index).
// Candidates without such units are not decomposed. False when the walk overflowed, left the
// plan (another decomposition than the count pass's), or visit refused.
template <typename D, typename T, typename Visit>
bool walk_units(const DecompositionOf<D>& d, const QuadratureInputs<T>& in, const PixelPlan& plan,
                const int64_t* candidates, int32_t only, int64_t seed, int32_t first, int32_t last,
                ClipBudget& budget, Visit&& visit) noexcept {
  const int32_t k_first = only < 0 ? 0 : only, k_last = only < 0 ? d.count : only + 1;
  const int32_t origin = slot_of(plan, first);
  bool ok = true;
  for (int32_t k = k_first; k < k_last && ok && !budget.overflow; ++k) {
    if (plan.first_unit[k + 1] <= first) continue;
    if (plan.first_unit[k] >= last) break;
    int32_t index = plan.first_unit[k];
    int32_t slot = slot_of(plan, index) - origin;
    candidate_units(d, k, in.cuts, candidates[k], seed, budget, nullptr,
                    [&](const UnitOf<D>& unit) {
                      if (index >= plan.first_unit[k + 1] || plan.kinds[index] != unit.kind)
                        return ok = false;
                      if (index >= first) ok = visit(k, unit, slot, index);
                      slot += unit_nodes(plan, unit.kind);
                      ++index;
                      return ok && index < last;
                    });
    if (ok && !budget.overflow && index < std::min(last, plan.first_unit[k + 1])) ok = false;
  }
  return ok && !budget.overflow;
}

template <typename T>
void accumulate(T& into, double term) noexcept {
  into = static_cast<T>(static_cast<double>(into) + term);
}

template <typename T>
bool all_finite(const T* values, int64_t count) noexcept {
  for (int64_t q = 0; q < count; ++q)
    if (!std::isfinite(values[q])) return false;
  return true;
}

Decomposition decomposition(const PixelPlan& plan, const ShadedTriangle* triangles,
                            const QuadratureWorkspace& ws, ClipPolygon* spare) noexcept {
  return {triangles,         plan.pixel.count,
          &plan.pixel.apart, PixelScratch{ws.bank_a, ws.bank_b, kBankCapacity, spare},
          ws.cells,          kCellCapacity};
}

}  // namespace

bool node_budget(int32_t cut_units, int32_t plain_units, bool material_rule,
                 PixelPlan& plan) noexcept {
  const int32_t c = cut_units, p = plain_units;
  const int32_t base = 120 * c + 25 * p;
  plan.cut_order = base + 168 * c < 801 ? 12 : 5;
  plan.plain_points = 0;
  plan.material_rule = 0;
  const int32_t cut_nodes = 24 * plan.cut_order * c;
  int32_t plain_nodes = 0;
  if (p > 0) {
    const int32_t material_nodes = cut_nodes + 44 * p;
    if (material_rule && (material_nodes == kNodeSlots || material_nodes < 797)) {
      plan.material_rule = 1;
      plain_nodes = 44 * p;
    } else {
      // Negative when the cut units alone overfill the slots.
      const int32_t v = std::min((kNodeSlots - cut_nodes) / (5 * p), 8);
      if (v < 5) return false;
      plan.plain_points = v;
      plain_nodes = 5 * v * p;
    }
  }
  plan.nodes = cut_nodes + plain_nodes;
  return plan.nodes <= kNodeSlots;
}

int32_t unit_nodes(const PixelPlan& plan, UnitKind kind) noexcept {
  if (kind == UnitKind::kCut) return 24 * plan.cut_order;
  return plan.material_rule ? 44 : 5 * plan.plain_points;
}

template <typename T>
Outcome plan_pixel(const QuadratureInputs<T>& in, int64_t row, int64_t column, int32_t count,
                   const QuadratureWorkspace& ws, PixelPlan& plan) noexcept {
  plan.row = row;
  plan.column = column;
  plan.u = in.image.ox + static_cast<double>(column);
  plan.o = in.image.oy + static_cast<double>(row);
  plan.cut_units = plan.plain_units = plan.nodes = plan.units = 0;
  plan.cut_order = 5;
  plan.plain_points = 5;
  plan.material_rule = 0;
  plan.pixel.count = 0;
  plan.first_unit[0] = 0;
  if (count < 0) return Outcome::kCandidates;
  plan.pixel = pixel_faces(in.vertices, in.faces, ws.candidates, count, plan.u, plan.o);
  for (int32_t k = 0; k < kCandidateCapacity; ++k) {
    unsigned char* r = ws.separation + k * kSeparationRowBytes;
    for (uint64_t b = 0; b < kSeparationRowBytes; ++b) r[b] = 0;
    const uint32_t bits = k < count ? plan.pixel.apart.rows[k] : 0u;
    for (int b = 0; b < 4; ++b) r[b] = static_cast<unsigned char>(bits >> (8 * b));
    plan.crossing[k] = 0;
  }
  if (count == 0) return Outcome::kOk;
  for (int32_t k = 0; k < count; ++k)
    ws.triangles[k] = shaded_triangle<DualValue>(plan.pixel.faces[k], kNoSeed);
  ClipPolygon spare[3];
  const Decomposition d = decomposition(plan, ws.triangles, ws, spare);
  ClipBudget budget;
  for (int32_t k = 0; k < count && !budget.overflow; ++k) {
    plan.first_unit[k] = plan.units;
    candidate_units(d, k, in.cuts, ws.candidates[k], kNoCoefficient, budget, &plan.crossing[k],
                    [&](const UnitOf<DualValue>& unit) {
                      if (plan.units < kMaxUnits) plan.kinds[plan.units] = unit.kind;
                      ++plan.units;
                      ++(unit.kind == UnitKind::kCut ? plan.cut_units : plan.plain_units);
                      return true;
                    });
  }
  plan.first_unit[count] = plan.units;
  if (budget.overflow) return Outcome::kCapacity;
  if (plan.units > kMaxUnits ||
      !node_budget(plan.cut_units, plan.plain_units,
                   in.variant == Variant::kMaterial && in.cuts.lines == 0, plan))
    return Outcome::kCapacity;
  return Outcome::kOk;
}

template <typename T>
Outcome emit_units(const QuadratureInputs<T>& in, const PixelPlan& plan, int32_t first,
                   int32_t last, const QuadratureWorkspace& ws, int32_t* owners,
                   T* nodes) noexcept {
  last = std::min(last, plan.units);
  if (first >= last) return Outcome::kOk;
  ClipPolygon spare[3];
  const Decomposition d = decomposition(plan, ws.triangles, ws, spare);
  ClipBudget budget;
  const bool ok = walk_units(d, in, plan, ws.candidates, -1, kNoCoefficient, first, last, budget,
                             [&](int32_t k, const UnitOf<DualValue>& unit, int32_t slot, int32_t) {
                               const TriangleRule rule = rule_of(plan, unit.kind);
                               if (slot + rule.count > kNodeSlots) return false;
                               for (int32_t q = 0; q < rule.count; ++q) {
                                 const NodeOf<DualValue> n = node_of(unit, d.triangles[k], rule, q);
                                 for (const DualValue& value : n.value)
                                   if (!std::isfinite(value.v)) return false;
                                 owners[slot + q] = static_cast<int32_t>(ws.candidates[k]);
                                 for (int c = 0; c < 4; ++c)
                                   nodes[4 * (slot + q) + c] = static_cast<T>(n.value[c].v);
                               }
                               return true;
                             });
  return ok ? Outcome::kOk : Outcome::kCapacity;
}

namespace {

// The cotangents of one unit's node values folded onto the numbers the nodes are made of: with
// x_q = P0 + a_q E1 + b_q E2 and node values l_t = alpha_t x + beta_t y + gamma_t and
// w_q * factor, the sum over the unit's nodes of derivative x cotangent equals the sum of these
// adjoints times the derivatives of P0, E1, E2, the factor and the owner's barycentric planes.
// So a seed costs one evaluation of the unit, not of each of its nodes.
struct UnitAdjoint {
  double p0[2], e1[2], e2[2];
  double factor;
  double plane[3][3];  // corner t: alpha, beta, gamma
};

// The adjoints of units [first, last) (indexed from `first`) from the plain evaluation's values;
// false when a node value is not finite.
template <typename T>
bool unit_adjoints(const Decomposition& d, const QuadratureInputs<T>& in, const PixelPlan& plan,
                   const int64_t* candidates, int32_t first, int32_t last, const T* gradient,
                   UnitAdjoint* adjoints) noexcept {
  ClipBudget budget;
  return walk_units(d, in, plan, candidates, -1, kNoCoefficient, first, last, budget,
                    [&](int32_t k, const UnitOf<DualValue>& unit, int32_t slot, int32_t index) {
                      const TriangleRule rule = rule_of(plan, unit.kind);
                      if (slot + rule.count > kNodeSlots) return false;
                      const ShadedTriangle& tri = d.triangles[k];
                      UnitAdjoint& adj = adjoints[index - first];
                      adj = {};
                      for (int32_t q = 0; q < rule.count; ++q) {
                        const NodeOf<DualValue> n = node_of(unit, tri, rule, q);
                        const double a = rule.a[q], b = rule.b[q];
                        const double x = unit.p0.x.v + a * unit.e1.x.v + b * unit.e2.x.v;
                        const double y = unit.p0.y.v + a * unit.e1.y.v + b * unit.e2.y.v;
                        const T* g = gradient + 4 * (slot + q);
                        double along_x = 0, along_y = 0;
                        for (int t = 0; t < 3; ++t) {
                          if (!std::isfinite(n.value[t].v)) return false;
                          const double gt = static_cast<double>(g[t]);
                          along_x += gt * tri.bary[t][0].v;
                          along_y += gt * tri.bary[t][1].v;
                          adj.plane[t][0] += gt * x;
                          adj.plane[t][1] += gt * y;
                          adj.plane[t][2] += gt;
                        }
                        adj.p0[0] += along_x;
                        adj.p0[1] += along_y;
                        adj.e1[0] += a * along_x;
                        adj.e1[1] += a * along_y;
                        adj.e2[0] += b * along_x;
                        adj.e2[1] += b * along_y;
                        adj.factor += static_cast<double>(g[3]) * rule.w[q];
                      }
                      return true;
                    });
}

// Adds to sums[l], for each derivative lane l of D (one for a DualValue), the sum over the
// nodes of units [first, last) of derivative x cotangent through the units' adjoints: the seeds
// are vertex coordinates (the triangles were built with them) or a coefficient of candidate
// `only`'s cuts. The terms are added unit by unit in the same order in every lane.
template <typename D, typename T>
bool product(const DecompositionOf<D>& d, const QuadratureInputs<T>& in, const PixelPlan& plan,
             const int64_t* candidates, int32_t only, int64_t coefficient_seed, int32_t first,
             int32_t last, const UnitAdjoint* adjoints, double* sums) noexcept {
  ClipBudget budget;
  return walk_units(d, in, plan, candidates, only, coefficient_seed, first, last, budget,
                    [&](int32_t k, const UnitOf<D>& unit, int32_t, int32_t index) {
                      const UnitAdjoint& adj = adjoints[index - first];
                      const ShadedTriangleOf<D>& tri = d.triangles[k];
                      bool finite = true;
                      auto add = [&](const D& number, double weight) {
                        finite = finite && is_finite(number);
                        if constexpr (std::is_same_v<D, DualValue>) {
                          sums[0] += number.d * weight;
                        } else {
                          for (int l = 0; l < kLanes; ++l) sums[l] += number.d[l] * weight;
                        }
                      };
                      add(unit.p0.x, adj.p0[0]);
                      add(unit.p0.y, adj.p0[1]);
                      add(unit.e1.x, adj.e1[0]);
                      add(unit.e1.y, adj.e1[1]);
                      add(unit.e2.x, adj.e2[0]);
                      add(unit.e2.y, adj.e2[1]);
                      add(unit.factor, adj.factor);
                      for (int t = 0; t < 3; ++t)
                        for (int c = 0; c < 3; ++c) add(tri.bary[t][c], adj.plane[t][c]);
                      return finite;
                    });
}

}  // namespace

template <typename T>
Outcome unit_products(const QuadratureInputs<T>& in, const PixelPlan& plan, int32_t first,
                      int32_t last, const T* gradient, const QuadratureWorkspace& ws,
                      T* vertex_grad, T* cut_grad, bool one_pass) noexcept {
  last = std::min(last, plan.units);
  if (first >= last) return Outcome::kOk;
  const int32_t n = plan.pixel.count;
  ClipPolygon spare[3];
  auto* seeded =
      reinterpret_cast<ShadedTriangle*>(reinterpret_cast<unsigned char*>(ws.triangles) +
                                        (kQuadratureSeededTriangles - kIntegrateTriangles));
  const Decomposition with_seed = decomposition(plan, seeded, ws, spare);
  const Decomposition plain = decomposition(plan, ws.triangles, ws, spare);
  int64_t distinct[3 * kCandidateCapacity];
  int64_t seeds[9 * kCandidateCapacity];
  const int32_t count =
      pixel_seeds(distinct, distinct_vertices(in.faces, ws.candidates, n, distinct), 3, seeds);
  UnitAdjoint adjoints[kMaxUnits];
  if (!unit_adjoints(plain, in, plan, ws.candidates, first, last, gradient, adjoints))
    return Outcome::kDerivative;
  // The tangent evaluations take the banks and the cell region while no DualValue one runs.
  const auto lanes =
      tangent_scratch<ShadedTriangleOf<Bundle>>(ws.bank_a, 2 * kBankCapacity * sizeof(ClipPolygon));
  const DecompositionOf<Bundle> bundle{
      lanes.triangles,
      n,
      &plan.pixel.apart,
      lanes.pixel,
      reinterpret_cast<PolygonOf<Bundle>*>(ws.cells),
      static_cast<int32_t>(kCellCapacity * sizeof(ClipPolygon) / sizeof(PolygonOf<Bundle>))};
  for (int32_t lead = 0; lead < count; lead += one_pass ? kLanes : 1) {
    if (one_pass) {
      const Seeds<kLanes> lane_seeds = lanes_of(seeds, lead, count);
      for (int32_t k = 0; k < n; ++k)
        lanes.triangles[k] = shaded_triangle<Bundle>(plan.pixel.faces[k], lane_seeds);
      double sums[kLanes] = {};
      if (product(bundle, in, plan, ws.candidates, -1, kNoCoefficient, first, last, adjoints,
                  sums)) {
        for (int32_t l = 0; l < kLanes && lead + l < count; ++l)
          accumulate(vertex_grad[seeds[lead + l]], sums[l]);
        continue;
      }
    }
    // One seeded evaluation per coordinate: the reference, and the fallback of a pixel whose
    // pieces or cells overflow the smaller tangent records.
    const int32_t end = one_pass ? std::min(lead + kLanes, count) : lead + 1;
    for (int32_t q = lead; q < end; ++q) {
      for (int32_t k = 0; k < n; ++k)
        seeded[k] = shaded_triangle<DualValue>(plan.pixel.faces[k], seeds[q]);
      double sum = 0;
      if (!product(with_seed, in, plan, ws.candidates, -1, kNoCoefficient, first, last, adjoints,
                   &sum))
        return Outcome::kDerivative;
      accumulate(vertex_grad[seeds[q]], sum);
    }
  }
  // A coefficient moves nodes only through the lines that split a piece of its face.
  const int64_t row = in.cuts.row;
  for (int32_t k = 0; k < n; ++k) {
    const uint64_t used = plan.crossing[k];
    if (used == 0) continue;
    for (int64_t index = 0; index < row; ++index) {
      const int64_t line =
          in.cuts.packed ? (index < 6 ? -1 : (index - 6) / 3) : index % in.cuts.lines;
      if (line >= 0 && ((used >> line) & 1u) == 0) continue;
      double sum = 0;
      if (!product(plain, in, plan, ws.candidates, k, index, first, last, adjoints, &sum))
        return Outcome::kDerivative;
      accumulate(cut_grad[ws.candidates[k] * row + index], sum);
    }
  }
  return Outcome::kOk;
}

template <typename T>
Outcome quadrature(const QuadratureInputs<T>& in, const QuadratureWorkspace& ws, int32_t* owners,
                   T* nodes, bool binned) noexcept {
  const int64_t pixels = in.image.height * in.image.width;
  for (int64_t s = 0; s < pixels * kNodeSlots; ++s) owners[s] = -1;
  for (int64_t s = 0; s < pixels * kNodeSlots * 4; ++s) nodes[s] = T(0);
  CandidateScan<T> scan({in.vertices, in.faces, in.face_count}, in.image, binned);
  PixelPlan plan;
  for (int64_t j = 0; j < in.image.height; ++j)
    for (int64_t i = 0; i < in.image.width; ++i) {
      const Outcome planned = plan_pixel(in, j, i, scan.collect(j, i, ws.candidates), ws, plan);
      if (planned != Outcome::kOk) return planned;
      const int64_t p = j * in.image.width + i;
      const Outcome emitted = emit_units(in, plan, 0, plan.units, ws, owners + p * kNodeSlots,
                                         nodes + p * kNodeSlots * 4);
      if (emitted != Outcome::kOk) return emitted;
    }
  return Outcome::kOk;
}

template <typename T>
Outcome quadrature_backward(const QuadratureInputs<T>& in, const T* gradient,
                            const QuadratureWorkspace& ws, T* vertex_grad, T* cut_grad, bool binned,
                            bool one_pass) noexcept {
  const int64_t cut_count = in.face_count * in.cuts.row;
  for (int64_t q = 0; q < 3 * in.vertex_count; ++q) vertex_grad[q] = T(0);
  for (int64_t q = 0; q < cut_count; ++q) cut_grad[q] = T(0);
  CandidateScan<T> scan({in.vertices, in.faces, in.face_count}, in.image, binned);
  PixelPlan plan;
  for (int64_t j = 0; j < in.image.height; ++j)
    for (int64_t i = 0; i < in.image.width; ++i) {
      const Outcome planned = plan_pixel(in, j, i, scan.collect(j, i, ws.candidates), ws, plan);
      if (planned != Outcome::kOk) return planned;
      const int64_t p = j * in.image.width + i;
      const Outcome done = unit_products(in, plan, 0, plan.units, gradient + p * kNodeSlots * 4, ws,
                                         vertex_grad, cut_grad, one_pass);
      if (done != Outcome::kOk) return done;
    }
  return all_finite(vertex_grad, 3 * in.vertex_count) && all_finite(cut_grad, cut_count)
             ? Outcome::kOk
             : Outcome::kAccumulation;
}

#define VREL_QUADRATURE_INSTANCES(T)                                                               \
  template Outcome plan_pixel<T>(const QuadratureInputs<T>&, int64_t, int64_t, int32_t,            \
                                 const QuadratureWorkspace&, PixelPlan&) noexcept;                 \
  template Outcome emit_units<T>(const QuadratureInputs<T>&, const PixelPlan&, int32_t, int32_t,   \
                                 const QuadratureWorkspace&, int32_t*, T*) noexcept;               \
  template Outcome unit_products<T>(const QuadratureInputs<T>&, const PixelPlan&, int32_t,         \
                                    int32_t, const T*, const QuadratureWorkspace&, T*, T*,         \
                                    bool) noexcept;                                                \
  template Outcome quadrature<T>(const QuadratureInputs<T>&, const QuadratureWorkspace&, int32_t*, \
                                 T*, bool) noexcept;                                               \
  template Outcome quadrature_backward<T>(const QuadratureInputs<T>&, const T*,                    \
                                          const QuadratureWorkspace&, T*, T*, bool,                \
                                          bool) noexcept;
VREL_QUADRATURE_INSTANCES(float)
VREL_QUADRATURE_INSTANCES(double)
#undef VREL_QUADRATURE_INSTANCES

}  // namespace vrel::opaque
