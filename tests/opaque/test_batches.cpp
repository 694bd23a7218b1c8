// Resumable opaque operations: streams of batch calls against the whole pixel, partitions against
// batches, the prefix backward against the whole backward and central differences, boundary
// streams against the boundary quadrature, the worked cases and the bad-input helper.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "opaque/batch_kernel.hpp"
#include "opaque/boundary.hpp"
#include "tests/support/bad_input.hpp"
// GCC 12 reports a false stringop-overflow in vector::insert once the scene helpers are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#include "tests/opaque/opaque_support.hpp"
#pragma GCC diagnostic pop

namespace vrel::test {
namespace {

using opaque::Cursor;
using opaque::Receipt;
constexpr int64_t kSlots = 800;

// One pixel at (ox, oy) with its cut lines [F, e1, e2].
struct Pixel {
  Scene s;
  int64_t e1 = 3, e2 = 0;
  std::vector<double> cuts;
};

// Random interpenetrating triangles around the pixel [0.25, 1.25]^2; face 0 carries `lines`
// random cut lines (the others none).
Pixel random_pixel(uint32_t seed, int faces, int lines) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> xy(-0.5, 2), z(0, 4), c(-1, 1);
  Pixel p;
  p.s.ox = p.s.oy = 0.25;
  for (int f = 0; f < faces; ++f)
    p.s.triangle({xy(rng), xy(rng), z(rng), xy(rng), xy(rng), z(rng), xy(rng), xy(rng), z(rng)});
  p.e2 = lines;
  for (int64_t q = 0; q < faces * 3 * lines; ++q) p.cuts.push_back(q < 3 * lines ? c(rng) : 0);
  return p;
}

// The used slots of every call of a stream, concatenated, and the receipts.
struct Stream {
  std::vector<int32_t> owners;
  std::vector<double> nodes;
  std::vector<Receipt> receipts;
};

// A call of a stream: status for (cursor, receipt, owners [1,800], nodes [1,800,4]).
using Call = std::function<VrelStatus(const int32_t*, int32_t*, const VrelTensorView*,
                                      const VrelTensorView*)>;

Stream run_stream(const Call& call) {
  Stream out;
  Cursor cursor{0, 0, 0, 0};
  for (int calls = 0; calls < 100; ++calls) {
    Tensor<int32_t> owners({1, kSlots});
    Tensor<double> nodes({1, kSlots, 4});
    Receipt r{};
    const VrelStatus st = call(&cursor.begin, &r.next.begin, owners.out(), nodes.out());
    EXPECT_EQ(st, 0);
    if (st != 0) return out;
    for (int64_t slot = 0; slot < kSlots; ++slot) {
      EXPECT_EQ(owners[slot] >= 0, slot < r.nodes) << "slot " << slot;
      if (slot >= r.nodes) continue;
      out.owners.push_back(owners[slot]);
      out.nodes.insert(out.nodes.end(), &nodes[4 * slot], &nodes[4 * slot] + 4);
    }
    out.receipts.push_back(r);
    if (r.done) return out;
    cursor = r.next;
  }
  ADD_FAILURE() << "the stream did not end";
  return out;
}

// Operands of one pixel as views, with a workspace and a context.
struct Operands {
  Tensor<double> v, cuts;
  Tensor<int32_t> f;
  Workspace ws{kIntegrateBytes, 8};
  VrelExecutionContext ctx = cpu_context();
  double ox, oy;
  explicit Operands(const Pixel& p)
      : v({p.s.v(), 3}, p.s.vertices),
        cuts({p.s.f(), p.e1, p.e2}, p.cuts),
        f({p.s.f(), 3}, p.s.faces),
        ox(p.s.ox),
        oy(p.s.oy) {}
};

Stream batch_stream(Operands& o, int32_t rule) {
  Diag diag;
  return run_stream([&](const int32_t* c, int32_t* r, const VrelTensorView* ow,
                        const VrelTensorView* nd) {
    const VrelStatus st = vrel_render_opaque_material_batch_rule(
        o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, c, r, &o.ctx, ow, nd, o.ws.get(), diag, rule);
    EXPECT_EQ(st, 0) << diag.text();
    return st;
  });
}

// Whether the quadrature can plan the pixel within 800 slots (else every operation here fails
// with status 4 on it).
bool plannable(Operands& o) {
  Tensor<int32_t> owners({1, kSlots});
  Tensor<double> nodes({1, kSlots, 4});
  Diag diag;
  const VrelStatus st =
      vrel_render_opaque_material_quadrature(o.v.in(), o.f.in(), o.cuts.in(), 1, 1, o.ox, o.oy,
                                             &o.ctx, owners.out(), nodes.out(), o.ws.get(), diag);
  EXPECT_TRUE(st == 0 || st == VREL_STATUS_OVERFLOW) << diag.text();
  return st == 0;
}

// The whole work list of a pixel under a rule: each unit emitted on its own, in order.
Stream whole_pixel(const Pixel& p, int32_t rule) {
  std::vector<double> scratch(kIntegrateBytes / 8);
  const opaque::QuadratureWorkspace ws = opaque::quadrature_workspace(scratch.data());
  const opaque::QuadratureInputs<double> in{
      p.s.vertices.data(),
      p.s.v(),
      p.s.faces.data(),
      p.s.f(),
      {p.cuts.data(), p.e1 * p.e2, static_cast<int32_t>(p.e2), false},
      {1, 1, p.s.ox, p.s.oy},
      opaque::Variant::kMaterial};
  opaque::CandidateScan<double> scan({in.vertices, in.faces, in.face_count}, in.image, false);
  opaque::PixelPlan plan;
  Stream out;
  EXPECT_EQ(opaque::plan_pixel(in, 0, 0, scan.collect(0, 0, ws.candidates), ws, plan),
            opaque::Outcome::kOk);
  opaque::apply_rule(plan, rule);
  for (int32_t u = 0; u < plan.units; ++u) {
    std::vector<int32_t> owners(kSlots, -1);
    std::vector<double> nodes(4 * kSlots);
    EXPECT_EQ(opaque::emit_units(in, plan, u, u + 1, ws, owners.data(), nodes.data()),
              opaque::Outcome::kOk);
    const int32_t n = opaque::unit_nodes(plan, plan.kinds[u]);
    out.owners.insert(out.owners.end(), owners.begin(), owners.begin() + n);
    out.nodes.insert(out.nodes.end(), nodes.begin(), nodes.begin() + 4 * n);
  }
  return out;
}

void expect_same(const Stream& a, const Stream& b, const std::string& what) {
  ASSERT_EQ(a.owners, b.owners) << what;
  ASSERT_EQ(a.nodes.size(), b.nodes.size()) << what;
  EXPECT_EQ(std::memcmp(a.nodes.data(), b.nodes.data(), 8 * a.nodes.size()), 0) << what;
}

TEST(OpaqueStreams, CallsEndOnRowBoundariesAndWithinTheirBounds) {
  Receipt r{};
  auto nodes = [](int32_t n) { return [n](int32_t) { return n; }; };
  // 64 items of 25 nodes: two full rows, the second ending the stream exactly.
  ASSERT_TRUE(opaque::plan_run({0, 0, 0, 0}, 64, 16, 800, nodes(25), r));
  EXPECT_EQ(r.items, 32);
  EXPECT_EQ(r.nodes, 800);
  EXPECT_EQ(r.done, 0);
  ASSERT_TRUE(opaque::plan_run(r.next, 64, 16, 800, nodes(25), r));
  EXPECT_EQ((std::vector<int32_t>{r.next.begin, r.next.batch, r.next.slots, r.next.blocks, r.items,
                                  r.done}),
            (std::vector<int32_t>{64, 2, 1600, 64, 32, 1}));
  // 288-node items: two per row.
  ASSERT_TRUE(opaque::plan_run({2, 1, 576, 2}, 5, 52, 800, nodes(288), r));
  EXPECT_EQ(r.items, 2);
  EXPECT_EQ(r.next.begin, 4);
  // A stream that would need a 17th row of width 16 fails; so does one past 32w items.
  EXPECT_FALSE(opaque::plan_run({480, 15, 0, 480}, 600, 16, 800, nodes(1), r));
  EXPECT_TRUE(opaque::plan_run({480, 15, 0, 480}, 512, 16, 800, nodes(1), r));
  // The worked cursors.
  EXPECT_TRUE(opaque::cursor_valid({0, 0, 0, 0}, 16));
  EXPECT_FALSE(opaque::cursor_valid({0, 1, 0, 0}, 16));
  EXPECT_FALSE(opaque::cursor_valid({3, 1, 0, 2}, 16));       // blocks below begin
  EXPECT_FALSE(opaque::cursor_valid({513, 15, 0, 600}, 16));  // begin past 32w
}

TEST(OpaqueStreams, BatchStreamsEqualTheWholePixelForEveryRule) {
  int several_rows = 0, tested = 0;
  for (uint32_t seed = 1; seed <= 8; ++seed)
    for (int lines : {0, 1}) {
      const Pixel p = random_pixel(seed, 3, lines);
      Operands o(p);
      Tensor<int32_t> owners({1, kSlots});
      Tensor<double> nodes({1, kSlots, 4});
      Diag diag;
      const VrelStatus planned = vrel_render_opaque_material_quadrature(
          o.v.in(), o.f.in(), o.cuts.in(), 1, 1, o.ox, o.oy, &o.ctx, owners.out(), nodes.out(),
          o.ws.get(), diag);
      tested += planned == 0;
      if (planned == VREL_STATUS_OVERFLOW) {
        // A pixel the quadrature cannot plan within 800 slots fails every batch alike.
        int32_t cursor[4] = {}, receipt[8] = {};
        EXPECT_EQ(vrel_render_opaque_material_batch_rule(
                      o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, cursor, receipt, &o.ctx,
                      owners.out(), nodes.out(), o.ws.get(), diag, 3),
                  VREL_STATUS_OVERFLOW);
        continue;
      }
      ASSERT_EQ(planned, 0) << diag.text();
      for (int32_t rule = 0; rule < 5; ++rule) {
        const std::string what = "seed " + std::to_string(seed) + " lines " +
                                 std::to_string(lines) + " rule " + std::to_string(rule);
        const Stream s = batch_stream(o, rule);
        expect_same(s, whole_pixel(p, rule), what);
        several_rows += s.receipts.size() > 1;
        // Every node's weight times its barycentrics integrates them over the visible part:
        // the colour integration with the identity as corner colours.
        for (int64_t face = 0; face < p.s.f(); ++face) {
          Scene id = p.s;
          id.colour.assign(9 * id.f(), 0);
          for (int t = 0; t < 3; ++t) id.colour[9 * face + 4 * t] = 1;
          std::vector<double> ref;
          ASSERT_EQ(integrate(id, ref), 0);
          double sums[3] = {};
          for (size_t q = 0; q < s.owners.size(); ++q)
            if (s.owners[q] == face)
              for (int t = 0; t < 3; ++t) sums[t] += s.nodes[4 * q + 3] * s.nodes[4 * q + t];
          for (int t = 0; t < 3; ++t) EXPECT_NEAR(sums[t], ref[t], 1e-12) << what;
        }
      }
      // DEFAULT streams the material quadrature's row.
      const Stream s = batch_stream(o, 0);
      Stream row;
      row.owners.assign(owners.values().begin(), owners.values().begin() + s.owners.size());
      row.nodes.assign(nodes.values().begin(), nodes.values().begin() + s.nodes.size());
      expect_same(s, row, "material quadrature");
      if (s.owners.size() < kSlots) {
        EXPECT_EQ(owners[s.owners.size()], -1);
      }
    }
  EXPECT_GT(several_rows, 0);
  EXPECT_GE(tested, 8);
}

TEST(OpaqueStreams, PartitionsEmitTheBatchNodesBitForBit) {
  int tested = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const Pixel p = random_pixel(seed, 3, seed % 2);
    Operands o(p);
    if (!plannable(o)) continue;
    ++tested;
    for (int32_t width : {52, 64, 80}) {
      auto prepare = width == 52   ? vrel_render_opaque_partition_prepare
                     : width == 64 ? vrel_render_opaque_partition_prepare64
                                   : vrel_render_opaque_partition_prepare80;
      auto emit = width == 52   ? vrel_render_opaque_partition_emit
                  : width == 64 ? vrel_render_opaque_partition_emit64
                                : vrel_render_opaque_partition_emit80;
      const int64_t R = 32 * width;
      Tensor<double> rows({R, 17});
      int32_t meta[8] = {};
      Diag diag;
      ASSERT_EQ(prepare(o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, &o.ctx, rows.out(), meta,
                        o.ws.get(), diag),
                0)
          << diag.text() << " seed " << seed << " width " << width;
      const int32_t step = width == 80 ? 28 : 32;
      EXPECT_EQ(meta[5], width);
      EXPECT_EQ(meta[6], step);
      Stream emitted;
      for (int32_t begin = 0; begin < meta[0]; begin += step) {
        Tensor<int32_t> owners({1, kSlots});
        Tensor<double> nodes({1, kSlots, 4});
        ASSERT_EQ(emit(rows.in(), std::min(meta[0], begin + step), begin, &o.ctx, owners.out(),
                       nodes.out(), diag),
                  0)
            << diag.text();
        for (int64_t slot = 0; slot < kSlots && owners[slot] >= 0; ++slot) {
          emitted.owners.push_back(owners[slot]);
          emitted.nodes.insert(emitted.nodes.end(), &nodes[4 * slot], &nodes[4 * slot] + 4);
        }
      }
      const Stream batches = batch_stream(o, opaque::rule_of_width(width));
      expect_same(emitted, batches, "width " + std::to_string(width));
      EXPECT_EQ(meta[1], static_cast<int32_t>(batches.owners.size()));
    }
  }
  EXPECT_GE(tested, 3);
}

// The backward of a stream: gradients of sum over calls and slots of g . nodes.
struct Gradients {
  std::vector<double> vertices, cuts;
};

TEST(OpaqueStreams, PrefixBackwardEqualsTheWholeBackwardAndFiniteDifferences) {
  const Pixel p = random_pixel(3, 3, 1);
  for (int32_t rule = 2; rule <= 4; ++rule) {
    Operands o(p);
    const Stream forward = batch_stream(o, rule);
    ASSERT_GT(forward.receipts.size(), 1u);
    // One cotangent row per call, for the slots that call used.
    std::mt19937 rng(rule);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<std::vector<double>> g;
    for (const Receipt& r : forward.receipts) {
      g.emplace_back(4 * kSlots, 0.0);
      for (int32_t q = 0; q < 4 * r.nodes; ++q) g.back()[q] = u(rng);
    }
    auto prefix_fn = rule == 2   ? vrel_render_opaque_material_prefix_backward
                     : rule == 3 ? vrel_render_opaque_material_prefix_backward64
                                 : vrel_render_opaque_material_prefix_backward80;
    Tensor<double> pv({p.s.v(), 3}), pc({p.s.f(), p.e1, p.e2});
    int32_t prefix[2] = {0, 0};
    Gradients whole{std::vector<double>(pv.size()), std::vector<double>(pc.size())};
    Cursor cursor{0, 0, 0, 0};
    for (size_t k = 0; k < g.size(); ++k) {
      Tensor<double> grad({1, kSlots, 4}, g[k]), tv({p.s.v(), 3}), tc({p.s.f(), p.e1, p.e2});
      Receipt r{};
      Diag diag;
      ASSERT_EQ(prefix_fn(o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, &cursor.begin, &r.next.begin,
                          grad.in(), &o.ctx, pv.out(), pc.out(), o.ws.get(), diag, 3, prefix),
                0)
          << diag.text();
      EXPECT_EQ(prefix[1], r.next.begin);
      ASSERT_EQ(vrel_render_opaque_material_batch_rule_backward(
                    o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, &cursor.begin, &r.next.begin,
                    grad.in(), &o.ctx, tv.out(), tc.out(), o.ws.get(), diag, rule, 3),
                0);
      for (size_t q = 0; q < tv.size(); ++q) whole.vertices[q] += tv[q];
      for (size_t q = 0; q < tc.size(); ++q) whole.cuts[q] += tc[q];
      cursor = r.next;
    }
    // The value whose gradient this is, for central differences.
    auto value = [&](const Pixel& q) {
      Operands oq(q);
      const Stream s = batch_stream(oq, rule);
      double sum = 0;
      size_t at = 0;
      for (size_t k = 0; k < s.receipts.size(); ++k)
        for (int32_t i = 0; i < 4 * s.receipts[k].nodes; ++i) sum += g[k][i] * s.nodes[at++];
      return sum;
    };
    const double h = 1e-6;
    for (size_t q = 0; q < pv.size(); ++q) {
      EXPECT_NEAR(pv[q], whole.vertices[q], 1e-12 * (1 + std::fabs(pv[q])));
      Pixel plus = p, minus = p;
      plus.s.vertices[q] += h;
      minus.s.vertices[q] -= h;
      EXPECT_NEAR(pv[q], (value(plus) - value(minus)) / (2 * h), 1e-5 * (1 + std::fabs(pv[q])))
          << "rule " << rule << " vertex coordinate " << q;
    }
    for (size_t q = 0; q < pc.size(); ++q) {
      EXPECT_NEAR(pc[q], whole.cuts[q], 1e-12 * (1 + std::fabs(pc[q])));
      // Only face 0 has a cut line; moving a zero row would create one (another decomposition).
      if (q >= static_cast<size_t>(3 * p.e2)) {
        EXPECT_EQ(pc[q], 0.0);
        continue;
      }
      Pixel plus = p, minus = p;
      plus.cuts[q] += h;
      minus.cuts[q] -= h;
      EXPECT_NEAR(pc[q], (value(plus) - value(minus)) / (2 * h), 1e-5 * (1 + std::fabs(pc[q])))
          << "rule " << rule << " cut coefficient " << q;
    }
    // A prefix that does not resume where it stopped is refused.
    Tensor<double> grad({1, kSlots, 4});
    Receipt r{};
    Diag diag;
    const Cursor first{0, 0, 0, 0};
    EXPECT_EQ(prefix_fn(o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, &first.begin, &r.next.begin,
                        grad.in(), &o.ctx, pv.out(), pc.out(), o.ws.get(), diag, 3, prefix),
              VREL_STATUS_OVERFLOW);
  }
}

TEST(OpaqueStreams, BoundaryStreamsEqualTheBoundaryQuadrature) {
  // Without cut lines and with two on face 0 (the same faces: the lines are drawn last); the
  // sides the lines cross get more intervals, and the streams follow.
  int32_t split_sides = 0;
  for (uint32_t seed = 1; seed <= 8; ++seed)
    for (int lines : {0, 2}) {
      const Pixel p = random_pixel(seed, 6, lines);
      Operands o(p);
      for (int32_t edge = 0; edge < 4; ++edge) {
        std::vector<int32_t> owners(kSlots), plain_owners(kSlots);
        std::vector<double> nodes(4 * kSlots), scratch(kIntegrateBytes / 8);
        auto run = [&](const opaque::CutsOf<double>& cuts, std::vector<int32_t>& out) {
          return opaque::boundary_quadrature(p.s.vertices.data(), p.s.faces.data(), p.s.f(),
                                             {1, 1, p.s.ox, p.s.oy}, edge,
                                             opaque::gauss_legendre(8), out.data(), nodes.data(),
                                             opaque::integrate_workspace(scratch.data()), cuts);
        };
        ASSERT_EQ(run({}, plain_owners), opaque::Outcome::kOk);
        ASSERT_EQ(run({p.cuts.data(), 3 * lines, lines, false}, owners), opaque::Outcome::kOk);
        split_sides += std::count(owners.begin(), owners.end(), -1) <
                       std::count(plain_owners.begin(), plain_owners.end(), -1);
        Stream whole;
        for (int64_t slot = 0; slot < kSlots && owners[slot] >= 0; ++slot) {
          whole.owners.push_back(owners[slot]);
          whole.nodes.insert(whole.nodes.end(), &nodes[4 * slot], &nodes[4 * slot] + 4);
        }
        for (auto fn : {vrel_render_opaque_boundary_batch64, vrel_render_opaque_boundary_batch80}) {
          Diag diag;
          const Stream s = run_stream([&](const int32_t* c, int32_t* r, const VrelTensorView* ow,
                                          const VrelTensorView* nd) {
            return fn(o.v.in(), o.f.in(), o.cuts.in(), o.ox, o.oy, edge, c, r, &o.ctx, ow, nd,
                      o.ws.get(), diag);
          });
          expect_same(s, whole, "edge " + std::to_string(edge));
        }
      }
    }
  EXPECT_GT(split_sides, 0);
}

TEST(OpaqueStreams, SideQuadratureRunsTheBoundaryKernelBehindTheFrontEnd) {
  // A 2 x 3 image with two cut lines on face 0: the export-level runner against the kernel,
  // then a front-end refusal.
  Pixel p = random_pixel(5, 6, 2);
  p.s.h = 2;
  p.s.w = 3;
  p.s.ox = p.s.oy = -0.5;
  Operands o(p);
  Tensor<int32_t> owners({6, kSlots});
  Tensor<double> nodes({6, kSlots, 4});
  View ov = owners.out(), nv = nodes.out(), vv = o.v.in(), fv = o.f.in(), cv = o.cuts.in();
  Diag diag;
  const frame::Frame f{diag, opaque::kOpaque};
  opaque::QuadratureOperands ops{vv.get(), fv.get(), cv.get(), 2,         3,
                                 -0.5,     -0.5,     nullptr,  &o.ctx,    ov.get(),
                                 nv.get(), nullptr,  nullptr,  o.ws.get()};
  for (int32_t edge = 0; edge < 4; ++edge) {
    ASSERT_EQ(opaque::boundary_side_quadrature(f, ops, edge), 0) << diag.text();
    std::vector<int32_t> ref_owners(6 * kSlots);
    std::vector<double> ref_nodes(24 * kSlots), scratch(kIntegrateBytes / 8);
    ASSERT_EQ(opaque::boundary_quadrature(
                  p.s.vertices.data(), p.s.faces.data(), p.s.f(), {2, 3, -0.5, -0.5}, edge,
                  opaque::gauss_legendre(8), ref_owners.data(), ref_nodes.data(),
                  opaque::integrate_workspace(scratch.data()), {p.cuts.data(), 6, 2, false}),
              opaque::Outcome::kOk);
    EXPECT_EQ(owners.values(), ref_owners);
    EXPECT_EQ(nodes.values(), ref_nodes);
  }
  View small = Tensor<int32_t>({5, kSlots}).out();
  ops.owners = small.get();
  EXPECT_EQ(opaque::boundary_side_quadrature(f, ops, 0), 1);
  EXPECT_EQ(diag.text(), "quadrature owners");
}

TEST(OpaqueStreams, Float32StreamsFollowTheFloat64Nodes) {
  Pixel p = random_pixel(1, 3, 1);
  // Coordinates that float32 holds exactly, so both streams plan the same pixel.
  for (double& x : p.s.vertices) x = static_cast<float>(x);
  for (double& x : p.cuts) x = static_cast<float>(x);
  Operands o(p);
  ASSERT_TRUE(plannable(o));
  Tensor<float> v32({p.s.v(), 3}, cast<float>(p.s.vertices));
  Tensor<float> c32({p.s.f(), p.e1, p.e2}, cast<float>(p.cuts));
  for (int32_t rule : {0, 4}) {
    const Stream s64 = batch_stream(o, rule);
    Cursor cursor{0, 0, 0, 0};
    size_t at = 0;
    for (const Receipt& expected : s64.receipts) {
      Tensor<int32_t> owners({1, kSlots});
      Tensor<float> nodes({1, kSlots, 4});
      Receipt r{};
      Diag diag;
      ASSERT_EQ(vrel_render_opaque_material_batch_rule(
                    v32.in(), o.f.in(), c32.in(), o.ox, o.oy, &cursor.begin, &r.next.begin, &o.ctx,
                    owners.out(), nodes.out(), o.ws.get(), diag, rule),
                0)
          << diag.text();
      ASSERT_EQ(std::memcmp(&r, &expected, sizeof r), 0);
      for (int32_t slot = 0; slot < r.nodes; ++slot, ++at) {
        ASSERT_EQ(owners[slot], s64.owners[at]);
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(nodes[4 * slot + c], s64.nodes[4 * at + c], 1e-6);
      }
      cursor = r.next;
    }
    EXPECT_EQ(at, s64.owners.size());
  }
}

// One valid pixel with a cut line on face 0, every operand its own buffer.
struct Args {
  Tensor<double> vertices{{3, 3}, {0, 0, 0, 2, 0, 1, 0, 2, 2}}, cuts{{1, 3, 1}, {1, -1, 0}};
  Tensor<double> packed{{1, 1, 6}, {0, 0, 1, 0, 0, 1}};
  Tensor<int32_t> faces{{1, 3}, {0, 1, 2}}, owners{{1, kSlots}};
  Tensor<double> nodes{{1, kSlots, 4}}, grad = Tensor<double>::filled({1, kSlots, 4}, 1);
  Tensor<double> gv{{3, 3}}, gc{{1, 3, 1}}, rows52{{1664, 17}}, rows64{{2048, 17}},
      rows80{{2560, 17}};
  View v = vertices.in(), f = faces.in(), c = cuts.in(), pk = packed.in(), o = owners.out(),
       n = nodes.out(), g = grad.in(), tv = gv.out(), tc = gc.out();
  int32_t cursor[4] = {0, 0, 0, 0}, receipt[8] = {}, prefix[2] = {0, 0}, meta[8] = {};
  VrelExecutionContext ctx = cpu_context();
  Workspace ws{kIntegrateBytes, 8};
};

BadInputPlan watching(std::initializer_list<std::pair<void*, std::size_t>> list) {
  BadInputPlan plan;
  for (auto [ptr, size] : list) plan.outputs.push_back({ptr, size});
  return plan;
}

TEST(OpaqueStreams, BadInputsOfEveryExport) {
  Args a;
  const VrelDiagnostic* none = nullptr;
  auto* d = const_cast<VrelDiagnostic*>(none);
  const BadInputPlan forward = watching({{a.owners.ptr(), a.owners.bytes()},
                                         {a.nodes.ptr(), a.nodes.bytes()},
                                         {a.receipt, sizeof a.receipt}});
  const BadInputPlan backward = watching(
      {{a.gv.ptr(), a.gv.bytes()}, {a.gc.ptr(), a.gc.bytes()}, {a.receipt, sizeof a.receipt}});
  check_bad_inputs("material_batch", vrel_render_opaque_material_batch,
                   std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt,
                                   &a.ctx, a.o.get(), a.n.get(), a.ws.get(), d),
                   forward);
  for (int32_t rule = 0; rule < 5; ++rule)
    check_bad_inputs("material_batch_rule", vrel_render_opaque_material_batch_rule,
                     std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt,
                                     &a.ctx, a.o.get(), a.n.get(), a.ws.get(), d, rule),
                     forward);
  check_bad_inputs("material_batch_backward", vrel_render_opaque_material_batch_backward,
                   std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt,
                                   a.g.get(), &a.ctx, a.tv.get(), a.tc.get(), a.ws.get(), d),
                   backward);
  check_bad_inputs("material_batch_rule_backward", vrel_render_opaque_material_batch_rule_backward,
                   std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt,
                                   a.g.get(), &a.ctx, a.tv.get(), a.tc.get(), a.ws.get(), d, 1, 1),
                   backward);
  for (auto fn :
       {vrel_render_opaque_material_prefix_backward, vrel_render_opaque_material_prefix_backward64,
        vrel_render_opaque_material_prefix_backward80})
    // An empty pixel (origin 5, 5): each valid call leaves the prefix at (0, 0), so the helper's
    // repeated valid calls all start a sequence.
    check_bad_inputs(
        "prefix_backward", fn,
        std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 5.0, 5.0, a.cursor, a.receipt, a.g.get(),
                        &a.ctx, a.tv.get(), a.tc.get(), a.ws.get(), d, 3, a.prefix),
        backward);
  for (auto fn : {vrel_render_opaque_boundary_batch64, vrel_render_opaque_boundary_batch80})
    check_bad_inputs(
        "boundary_batch", fn,
        std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, int32_t{2}, a.cursor, a.receipt,
                        &a.ctx, a.o.get(), a.n.get(), a.ws.get(), d),
        forward);
  const std::pair<decltype(&vrel_render_opaque_partition_prepare), Tensor<double>*> prepares[] = {
      {vrel_render_opaque_partition_prepare, &a.rows52},
      {vrel_render_opaque_partition_prepare64, &a.rows64},
      {vrel_render_opaque_partition_prepare80, &a.rows80}};
  for (auto [fn, rows] : prepares) {
    View r = rows->out();
    check_bad_inputs("partition_prepare", fn,
                     std::make_tuple(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, &a.ctx, r.get(),
                                     a.meta, a.ws.get(), d),
                     watching({{rows->ptr(), rows->bytes()}, {a.meta, sizeof a.meta}}));
  }
  const BadInputPlan emitted =
      watching({{a.owners.ptr(), a.owners.bytes()}, {a.nodes.ptr(), a.nodes.bytes()}});
  const std::pair<decltype(&vrel_render_opaque_partition_emit), Tensor<double>*> emits[] = {
      {vrel_render_opaque_partition_emit, &a.rows52},
      {vrel_render_opaque_partition_emit64, &a.rows64},
      {vrel_render_opaque_partition_emit80, &a.rows80}};
  for (auto [fn, rows] : emits) {
    View r = rows->in();
    check_bad_inputs(
        "partition_emit", fn,
        std::make_tuple(r.get(), int32_t{0}, int32_t{0}, &a.ctx, a.o.get(), a.n.get(), d), emitted);
  }
  const std::pair<decltype(&vrel_render_opaque_partition_emit_workspace), Tensor<double>*>
      scratch_emits[] = {{vrel_render_opaque_partition_emit_workspace, &a.rows52},
                         {vrel_render_opaque_partition_emit_workspace64, &a.rows64},
                         {vrel_render_opaque_partition_emit_workspace80, &a.rows80}};
  for (auto [fn, rows] : scratch_emits) {
    View r = rows->in();
    BadInputPlan plan = emitted;
    check_bad_inputs("partition_emit_workspace", fn,
                     std::make_tuple(r.get(), int32_t{0}, int32_t{0}, &a.ctx, a.o.get(), a.n.get(),
                                     a.ws.get(), d),
                     plan);
  }
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("material_batch_workspace", vrel_render_opaque_material_batch_workspace,
                   std::make_tuple(uint32_t{VREL_DTYPE_FLOAT64}, &a.ctx, &bytes, &alignment, d),
                   watching({{&bytes, 8}, {&alignment, 8}}));
  EXPECT_EQ(bytes, kIntegrateBytes);
}

// Status and message of one call.
template <typename Fn, typename... Args>
std::pair<VrelStatus, std::string> outcome(Fn fn, Args... args) {
  Diag diag;
  const VrelStatus st = fn(args..., diag.get());
  return {st, diag.text()};
}

TEST(OpaqueStreams, WorkedCases) {
  Args a;
  const std::string rule_message =
      "opaque batch rule requires DEFAULT, SH_BILINEAR25 or SH_BILINEAR25_STREAM52 without curves";
  auto batch = [&](int32_t rule, const int32_t* cursor, const VrelTensorView* cuts) {
    Diag diag;
    const VrelStatus st = vrel_render_opaque_material_batch_rule(
        a.v.get(), a.f.get(), cuts, 0.0, 0.0, cursor, a.receipt, &a.ctx, a.o.get(), a.n.get(),
        a.ws.get(), diag, rule);
    return std::make_pair(st, diag.text());
  };
  const int32_t invalid[4] = {0, 1, 0, 0};
  EXPECT_EQ(batch(0, a.cursor, a.c.get()).first, 0);
  EXPECT_EQ(batch(0, invalid, a.c.get()),
            std::make_pair(VrelStatus{1}, std::string("opaque batch cursor/receipt")));
  EXPECT_EQ(batch(5, a.cursor, a.c.get()), std::make_pair(VrelStatus{1}, rule_message));
  EXPECT_EQ(batch(1, a.cursor, a.pk.get()), std::make_pair(VrelStatus{1}, rule_message));
  EXPECT_EQ(batch(0, a.cursor, a.pk.get()).first, 0);
  Diag diag;
  EXPECT_EQ(vrel_render_opaque_material_batch_rule_backward(
                a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt, a.g.get(), &a.ctx,
                a.tv.get(), a.tc.get(), a.ws.get(), diag, 0, 4),
            1);
  EXPECT_EQ(diag.text(), rule_message);
  // A receipt overlapping the cursor, and a cursor inside an output.
  std::memset(a.receipt, 0, sizeof a.receipt);
  EXPECT_EQ(batch(0, a.receipt + 1, a.c.get()),
            std::make_pair(VrelStatus{1}, std::string("opaque batch metadata alias")));
  std::memset(a.owners.ptr(), 0, 16);
  EXPECT_EQ(batch(0, a.owners.ptr(), a.c.get()),
            std::make_pair(VrelStatus{1}, std::string("opaque batch metadata/tensor alias")));
  // The prefix record.
  EXPECT_EQ(vrel_render_opaque_material_prefix_backward(
                a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt, a.g.get(), &a.ctx,
                a.tv.get(), a.tc.get(), a.ws.get(), diag, 3, nullptr),
            1);
  EXPECT_EQ(diag.text(), "prefix required");
  alignas(8) int32_t record[4] = {};
  EXPECT_EQ(vrel_render_opaque_material_prefix_backward(
                a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt, a.g.get(), &a.ctx,
                a.tv.get(), a.tc.get(), a.ws.get(), diag, 3,
                reinterpret_cast<int32_t*>(reinterpret_cast<char*>(record) + 2)),
            1);
  EXPECT_EQ(diag.text(), "prefix alignment");
  EXPECT_EQ(vrel_render_opaque_material_prefix_backward(
                a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, a.cursor, a.receipt, a.g.get(), &a.ctx,
                a.tv.get(), a.tc.get(), a.ws.get(), diag, 3, a.receipt + 2),
            1);
  EXPECT_EQ(diag.text(), "prefix metadata/scratch alias");
  // Edge 4 in each family.
  EXPECT_EQ(
      vrel_render_opaque_boundary_quadrature(a.v.get(), a.f.get(), a.c.get(), 1, 1, 0.0, 0.0, 4,
                                             &a.ctx, a.o.get(), a.n.get(), a.ws.get(), diag),
      1);
  EXPECT_EQ(diag.text(), "opaque edge must be0..3");
  for (auto fn : {vrel_render_opaque_boundary_batch64, vrel_render_opaque_boundary_batch80}) {
    EXPECT_EQ(fn(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, 4, a.cursor, a.receipt, &a.ctx,
                 a.o.get(), a.n.get(), a.ws.get(), diag),
              1);
    EXPECT_EQ(diag.text(), "boundary stream edge range");
  }
  // Partition emit: begin 28 only for 2,560 rows, 32 only for the others.
  View r52 = a.rows52.in(), r64 = a.rows64.in(), r80 = a.rows80.in();
  for (int32_t width : {52, 64, 80}) {
    auto emit = width == 52   ? vrel_render_opaque_partition_emit
                : width == 64 ? vrel_render_opaque_partition_emit64
                              : vrel_render_opaque_partition_emit80;
    const VrelTensorView* rows = width == 52 ? r52.get() : width == 64 ? r64.get() : r80.get();
    for (int32_t begin : {28, 32}) {
      // Rows of one one-node block each (owner 0), up to 64.
      std::vector<double>& values = width == 52   ? a.rows52.values()
                                    : width == 64 ? a.rows64.values()
                                                  : a.rows80.values();
      std::fill(values.begin(), values.end(), 0.0);
      const VrelStatus st = emit(rows, 64, begin, &a.ctx, a.o.get(), a.n.get(), diag);
      const bool valid = (begin == 28) == (width == 80);
      EXPECT_EQ(st, valid ? 0 : 1) << width << " " << begin;
      if (valid) {
        EXPECT_EQ(a.owners[64 - begin - 1], 0);
        EXPECT_EQ(a.owners[64 - begin], -1);
      } else {
        EXPECT_EQ(diag.text(), "partition range");
      }
    }
  }
  // Partitions take float64 only; a block header that is not 4*owner + (n-1) fails emit.
  Tensor<float> v32{{3, 3}, {0, 0, 0, 2, 0, 1, 0, 2, 2}};
  View rows = a.rows52.out();
  EXPECT_EQ(vrel_render_opaque_partition_prepare(v32.in(), a.f.get(), a.c.get(), 0.0, 0.0, &a.ctx,
                                                 rows.get(), a.meta, a.ws.get(), diag),
            2);
  EXPECT_EQ(diag.text(), "partition float64 qualification only");
  a.rows52[0] = 0.5;
  EXPECT_EQ(vrel_render_opaque_partition_emit(r52.get(), 1, 0, &a.ctx, a.o.get(), a.n.get(), diag),
            4);
  EXPECT_EQ(diag.text(), "partition row/arithmetic failure; outputs invalid");
}

TEST(OpaqueStreams, CudaRequestsWithoutAProviderAreRefused) {
  Args a;
  VrelExecutionContext cuda = cuda_context();
  Diag diag;
  EXPECT_EQ(
      vrel_render_opaque_partition_emit(a.rows52.in(), 0, 0, &cuda, a.o.get(), a.n.get(), diag), 2);
  EXPECT_EQ(diag.text(), "partition emit CPU qualification only");
  EXPECT_EQ(vrel_render_opaque_partition_prepare(a.v.get(), a.f.get(), a.c.get(), 0.0, 0.0, &cuda,
                                                 a.rows52.out(), a.meta, a.ws.get(), diag),
            2);
}

}  // namespace
}  // namespace vrel::test
