// Edge topology and mesh validation: the construction, the report, their checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>

#include "tests/mesh/mesh_support.hpp"

using namespace vrel::test;

namespace {

struct Topology {
  Tensor<int32_t> mesh_edge_offsets, edges, edge_face_offsets, edge_faces;
  VrelStatus status;
  std::string message;
};

Topology build(Tensor<int32_t>& faces, Tensor<int32_t>& face_offsets) {
  const int64_t F = faces.shape()[0];
  Topology t{Tensor<int32_t>::filled(face_offsets.shape(), 99),
             Tensor<int32_t>::filled({3 * F, 2}, 99),
             Tensor<int32_t>::filled({3 * F + 1}, 99),
             Tensor<int32_t>::filled({3 * F}, 99),
             0,
             ""};
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  Diag d;
  EXPECT_EQ(vrel_mesh_build_edge_topology_workspace(F, face_offsets.shape()[0] - 1, &ctx, &bytes,
                                                    &alignment, d),
            0);
  Workspace ws(bytes, alignment);
  View meo = t.mesh_edge_offsets.out(), e = t.edges.out(), efo = t.edge_face_offsets.out(),
       ef = t.edge_faces.out();
  t.status = vrel_mesh_build_edge_topology(faces.in(), face_offsets.in(), &ctx, meo, e, efo, ef,
                                           bytes ? ws.get() : nullptr, d);
  t.message = d.text();
  return t;
}

VrelMeshValidationReport fresh_report() {
  VrelMeshValidationReport r;
  std::memset(&r, 0xEE, sizeof r);
  r.struct_size = sizeof r;
  r.abi_version = VREL_ABI_VERSION;
  return r;
}

struct Validated {
  VrelStatus status;
  std::string message;
  VrelMeshValidationReport report;
};

template <typename T>
Validated validate(Tensor<T>& v, Tensor<int32_t>& f, std::vector<int32_t> vo,
                   std::vector<int32_t> fo, uint32_t flags = 0, double eps = 0) {
  Tensor<int32_t> vot({static_cast<int64_t>(vo.size())}, vo),
      fot({static_cast<int64_t>(fo.size())}, fo);
  VrelExecutionContext ctx = cpu_context();
  Validated out{0, "", fresh_report()};
  Diag d;
  out.status = vrel_mesh_validate(v.in(), f.in(), vot.in(), fot.in(), eps, flags, &ctx, &out.report,
                                  nullptr, d);
  out.message = d.text();
  return out;
}

}  // namespace

TEST(EdgeTopology, TwoTrianglesShareAnEdge) {
  Tensor<int32_t> f({2, 3}, {0, 1, 2, 2, 1, 3});
  Tensor<int32_t> fo({2}, {0, 2});
  const Topology t = build(f, fo);
  ASSERT_EQ(t.status, 0) << t.message;
  EXPECT_EQ(t.mesh_edge_offsets.values(), (std::vector<int32_t>{0, 5}));
  std::vector<int32_t> edges = {0, 1, 0, 2, 1, 2, 1, 3, 2, 3};
  edges.resize(12, -1);
  EXPECT_EQ(t.edges.values(), edges);
  EXPECT_EQ(t.edge_face_offsets.values(), (std::vector<int32_t>{0, 1, 2, 4, 5, 6, 6}));
  EXPECT_EQ(t.edge_faces.values(), (std::vector<int32_t>{0, 0, 0, 1, 1, 1}));
}

TEST(EdgeTopology, CountersRunAcrossBatchElements) {
  Tensor<int32_t> f({3, 3}, {0, 1, 2, 5, 4, 3, 3, 4, 3});
  Tensor<int32_t> fo({3}, {0, 1, 3});
  const Topology t = build(f, fo);
  ASSERT_EQ(t.status, 0) << t.message;
  EXPECT_EQ(t.mesh_edge_offsets.values(), (std::vector<int32_t>{0, 3, 7}));
  // Element 1: face 1 gives (3,4), (3,5), (4,5); face 2 = (3,4,3) lists itself twice for (3,4)
  // and once for the edge (3,3).
  std::vector<int32_t> edges = {0, 1, 0, 2, 1, 2, 3, 3, 3, 4, 3, 5, 4, 5};
  edges.resize(18, -1);
  EXPECT_EQ(t.edges.values(), edges);
  EXPECT_EQ(t.edge_faces.values(), (std::vector<int32_t>{0, 0, 0, 2, 1, 2, 2, 1, 1}));
  EXPECT_EQ(t.edge_face_offsets.values(), (std::vector<int32_t>{0, 1, 2, 3, 4, 7, 8, 9, 9, 9}));
}

TEST(EdgeTopology, LargerMeshKeepsEveryFaceThreeTimes) {
  RandomMesh<double> m = random_mesh<double>(40, 200, 7);
  Tensor<int32_t> fo({3}, {0, 120, 200});
  const Topology t = build(m.faces, fo);
  ASSERT_EQ(t.status, 0) << t.message;
  std::vector<int> uses(200, 0);
  for (int32_t face : t.edge_faces.values()) ++uses[face];
  EXPECT_EQ(uses, std::vector<int>(200, 3));
  // Edges are unique and sorted within each element, and each edge's faces contain it.
  for (int b = 0; b < 2; ++b) {
    for (int32_t e = t.mesh_edge_offsets[b]; e < t.mesh_edge_offsets[b + 1]; ++e) {
      const int32_t lo = t.edges[2 * e], hi = t.edges[2 * e + 1];
      EXPECT_LE(lo, hi);
      if (e > t.mesh_edge_offsets[b]) {
        EXPECT_LT(std::make_pair(t.edges[2 * e - 2], t.edges[2 * e - 1]), std::make_pair(lo, hi));
      }
      for (int32_t k = t.edge_face_offsets[e]; k < t.edge_face_offsets[e + 1]; ++k) {
        const int32_t face = t.edge_faces[k];
        EXPECT_GE(face, fo[b]);
        EXPECT_LT(face, fo[b + 1]);
        const int32_t* c = &m.faces[3 * face];
        int hits = 0;
        for (int j = 0; j < 3; ++j)
          hits += std::min(c[j], c[(j + 1) % 3]) == lo && std::max(c[j], c[(j + 1) % 3]) == hi;
        EXPECT_GE(hits, 1);
      }
    }
  }
}

TEST(EdgeTopology, EmptyBatchWritesLeadingZeros) {
  Tensor<int32_t> f({0, 3});
  Tensor<int32_t> fo({1}, {0});
  const Topology t = build(f, fo);
  ASSERT_EQ(t.status, 0) << t.message;
  EXPECT_EQ(t.mesh_edge_offsets.values(), (std::vector<int32_t>{0}));
  EXPECT_EQ(t.edge_face_offsets.values(), (std::vector<int32_t>{0}));
}

TEST(EdgeTopology, Checks) {
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  Tensor<int32_t> f({3, 3}, {0, 1, 2, 0, 2, 3, 0, 3, 1});
  Tensor<int32_t> meo({2}), e({9, 2}), efo({10}), ef({9});
  Workspace ws(108, 4);
  auto run = [&](const VrelTensorView* faces, const VrelTensorView* offsets,
                 const VrelBufferDescriptor* w) {
    return vrel_mesh_build_edge_topology(faces, offsets, &ctx, meo.out(), e.out(), efo.out(),
                                         ef.out(), w, d);
  };
  Tensor<int32_t> short_offsets({2}, {0, 2});
  EXPECT_FAILS(run(f.in(), short_offsets.in(), ws.get()), d, 1,
               "the final face offset must equal the face count");
  Tensor<int32_t> first({2}, {1, 3});
  EXPECT_FAILS(run(f.in(), first.in(), ws.get()), d, 1, "the first face offset must be zero");
  Tensor<int32_t> three({3}, {0, 2, 3});
  EXPECT_FAILS(run(f.in(), three.in(), ws.get()), d, 1, "face offsets must have extent B+1");
  Tensor<float> float_offsets({2});
  EXPECT_FAILS(run(f.in(), float_offsets.in(), ws.get()), d, 2,
               "face offsets must use the int32 dtype");
  Tensor<int32_t> fo({2}, {0, 3});
  Tensor<int32_t> negative({3, 3}, {0, 1, 2, 0, -2, 3, 0, 3, 1});
  // A negative index is reported before the workspace is looked at.
  EXPECT_FAILS(run(negative.in(), fo.in(), nullptr), d, 1, "face indices must be nonnegative");
  // Workspace: capacity (3) before validation, then alignment and aliasing.
  Workspace small(107, 4);
  small->reserved_word = 1;
  EXPECT_FAILS(run(f.in(), fo.in(), small.get()), d, 3,
               "the forward pass requires the workspace capacity reported by the query");
  EXPECT_FAILS(run(f.in(), fo.in(), nullptr), d, 3,
               "the forward pass requires the workspace capacity reported by the query");
  Workspace wide(120, 2);
  VrelBufferDescriptor odd = *wide.get();
  odd.data = static_cast<char*>(odd.data) + 2;
  odd.capacity = 108;
  if (reinterpret_cast<uintptr_t>(odd.data) % 4 == 0) odd.data = static_cast<char*>(odd.data) + 2;
  EXPECT_FAILS(run(f.in(), fo.in(), &odd), d, 1,
               "the workspace data pointer must be aligned to int32");
  VrelBufferDescriptor on_edges = *ws.get();
  on_edges.data = e.ptr();
  on_edges.alignment = 4;
  EXPECT_FAILS(run(f.in(), fo.in(), &on_edges), d, 1, "the workspace may not alias an operand");
  VrelBufferDescriptor gpu = *ws.get();
  gpu.device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(run(f.in(), fo.in(), &gpu), d, 2,
               "mesh.build_edge_topology accepts only CPU workspace storage");
  // Outputs.
  Tensor<float> e32({9, 2});
  EXPECT_FAILS(vrel_mesh_build_edge_topology(f.in(), fo.in(), &ctx, meo.out(), e32.out(), efo.out(),
                                             ef.out(), ws.get(), d),
               d, 1, "topology outputs must use the int32 dtype");
  EXPECT_FAILS(vrel_mesh_build_edge_topology(f.in(), fo.in(), &ctx, meo.out(), e.out(), ef.out(),
                                             ef.out(), ws.get(), d),
               d, 1, "edge face offsets must be a [3F+1] output view");
  Tensor<int32_t> big({10});
  View ef_in_big(big.ptr(), {9}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  View efo_in_big(big.ptr(), {10}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(vrel_mesh_build_edge_topology(f.in(), fo.in(), &ctx, meo.out(), e.out(), efo_in_big,
                                             ef_in_big, ws.get(), d),
               d, 1, "outputs may not alias an input or another output");
  EXPECT_EQ(run(f.in(), fo.in(), ws.get()), 0) << d.text();
  // No CUDA branch: a CUDA context fails the CPU-only rule.
  VrelExecutionContext cuda = cuda_context();
  EXPECT_FAILS(vrel_mesh_build_edge_topology(f.in(), fo.in(), &cuda, meo.out(), e.out(), efo.out(),
                                             ef.out(), ws.get(), d),
               d, 2, "mesh.build_edge_topology implements only the CPU backend in this phase");
}

TEST(EdgeTopology, WorkspaceQuery) {
  VrelExecutionContext ctx = cpu_context();
  uint64_t bytes = 0, alignment = 0;
  Diag d;
  EXPECT_EQ(vrel_mesh_build_edge_topology_workspace(5, 2, &ctx, &bytes, &alignment, d), 0);
  EXPECT_EQ(bytes, 180u);
  EXPECT_EQ(alignment, 4u);
  EXPECT_EQ(
      vrel_mesh_build_edge_topology_workspace(512409557603043100, 1, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 36u * 512409557603043100u);
  EXPECT_FAILS(
      vrel_mesh_build_edge_topology_workspace(512409557603043101, 1, &ctx, &bytes, &alignment, d),
      d, 4, "workspace byte requirement overflows 64-bit capacity");
  EXPECT_FAILS(vrel_mesh_build_edge_topology_workspace(1, -1, &ctx, &bytes, &alignment, d), d, 1,
               "face and batch counts must be nonnegative");
  VrelExecutionContext cuda = cuda_context();
  EXPECT_FAILS(vrel_mesh_build_edge_topology_workspace(1, 1, &cuda, &bytes, &alignment, d), d, 2,
               "mesh.build_edge_topology implements only the CPU backend in this phase");
}

TEST(MeshValidate, ReportLayout) {
  static_assert(sizeof(VrelMeshValidationReport) == 80);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, struct_size), 0u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, abi_version), 4u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, issues), 8u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, first_invalid_face), 16u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, invalid_offset_index), 24u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, degenerate_faces), 32u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, nonfinite_vertices), 40u);
  EXPECT_EQ(offsetof(VrelMeshValidationReport, unreferenced_vertices), 48u);
}

TEST(MeshValidate, CleanMeshAndUntouchedBytes) {
  Tensor<float> v = right_triangle_vertices<float>();
  Tensor<int32_t> f({1, 3}, {0, 1, 2});
  const Validated r = validate(v, f, {0, 3}, {0, 1}, 1);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.report.issues, 0u);
  EXPECT_EQ(r.report.first_invalid_face, -1);
  EXPECT_EQ(r.report.invalid_offset_index, -1);
  EXPECT_EQ(r.report.degenerate_faces, 0u);
  EXPECT_EQ(r.report.nonfinite_vertices, 0);
  EXPECT_EQ(r.report.unreferenced_vertices, 0u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&r.report);
  for (std::size_t i : {12u, 13u, 14u, 15u}) EXPECT_EQ(bytes[i], 0xEE);
  for (std::size_t i = 56; i < 80; ++i) EXPECT_EQ(bytes[i], 0xEE);
}

TEST(MeshValidate, BrokenOffsetsStopTheInspection) {
  Tensor<double> v({4, 3});
  v[0] = std::nan("");
  Tensor<int32_t> f({1, 3}, {0, 0, 1});
  Validated r = validate(v, f, {1, 4}, {5, 9}, 1);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.report.issues, VREL_MESH_ISSUE_OFFSETS);
  EXPECT_EQ(r.report.invalid_offset_index, 0);
  EXPECT_EQ(r.report.first_invalid_face, -1);
  EXPECT_EQ(r.report.degenerate_faces, 0u);
  EXPECT_EQ(r.report.nonfinite_vertices, 0);  // requested, but no check ran
  EXPECT_EQ(r.report.unreferenced_vertices, 0u);
  EXPECT_EQ(validate(v, f, {0, 3, 2}, {0, 0, 1}).report.invalid_offset_index, 1);
  EXPECT_EQ(validate(v, f, {0, 2, 3}, {0, 0, 1}).report.invalid_offset_index, 1);
  // Vertex offsets pass; the face offsets fail at their last entry.
  r = validate(v, f, {0, 2, 4}, {0, 1, 2});
  EXPECT_EQ(r.report.issues, VREL_MESH_ISSUE_OFFSETS);
  EXPECT_EQ(r.report.invalid_offset_index, 1);
  // With B = 0 the position is 0, never the -1 that means "valid".
  r = validate(v, f, {0}, {0});
  EXPECT_EQ(r.report.issues, VREL_MESH_ISSUE_OFFSETS);
  EXPECT_EQ(r.report.invalid_offset_index, 0);
}

TEST(MeshValidate, IndexIssuesSkipTheGeometricCounts) {
  Tensor<double> v({6, 3});
  // Element 0: vertices 0-2, face 0. Element 1: vertices 3-5, face 1 names vertex 0 of element 0,
  // face 2 names vertex 9.
  Tensor<int32_t> f({3, 3}, {0, 1, 2, 3, 4, 0, 3, 9, 5});
  Validated r = validate(v, f, {0, 3, 6}, {0, 1, 3});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.report.issues, VREL_MESH_ISSUE_BATCH_RANGE | VREL_MESH_ISSUE_INDEX_RANGE);
  EXPECT_EQ(r.report.first_invalid_face, 1);
  EXPECT_EQ(r.report.degenerate_faces, 0u);  // all vertices coincide, but the count is skipped
  EXPECT_EQ(r.report.unreferenced_vertices, 0u);
  EXPECT_EQ(r.report.nonfinite_vertices, -1);
}

TEST(MeshValidate, DegenerateUnreferencedAndNonfinite) {
  Tensor<float> v({5, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 2, 2, 2, 0, 0, 0});
  v[3 * 3 + 1] = std::numeric_limits<float>::infinity();
  Tensor<int32_t> f({2, 3}, {0, 1, 2, 1, 1, 2});  // face 1 repeats a corner
  Validated r = validate(v, f, {0, 5}, {0, 2}, 0);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.report.issues, VREL_MESH_ISSUE_DEGENERATE | VREL_MESH_ISSUE_UNREFERENCED);
  EXPECT_EQ(r.report.degenerate_faces, 1u);
  EXPECT_EQ(r.report.unreferenced_vertices, 2u);
  EXPECT_EQ(r.report.nonfinite_vertices, -1);  // not requested
  r = validate(v, f, {0, 5}, {0, 2}, VREL_MESH_VALIDATE_NONFINITE);
  EXPECT_EQ(r.report.issues,
            VREL_MESH_ISSUE_DEGENERATE | VREL_MESH_ISSUE_UNREFERENCED | VREL_MESH_ISSUE_NONFINITE);
  EXPECT_EQ(r.report.nonfinite_vertices, 1);
  // The degenerate test is strict: with eps = 1 the unit triangle (L = 1) counts too.
  r = validate(v, f, {0, 5}, {0, 2}, 0, 1.0);
  EXPECT_EQ(r.report.degenerate_faces, 2u);
  // Unreferenced vertices are counted against the faces of their own element only.
  r = validate(v, f, {0, 3, 5}, {0, 2, 2});
  EXPECT_EQ(r.report.unreferenced_vertices, 2u);
}

TEST(MeshValidate, ArgumentChecks) {
  Tensor<double> v({3, 3});
  Tensor<int32_t> f({1, 3}, {0, 1, 2}), vo({2}, {0, 3}), fo({2}, {0, 1}), fo3({3}, {0, 1, 1});
  Tensor<float> vo32({2});
  VrelExecutionContext ctx = cpu_context();
  VrelMeshValidationReport r = fresh_report();
  Diag d;
  EXPECT_FAILS(
      vrel_mesh_validate(v.in(), f.in(), vo.in(), fo.in(), 0, 0, &ctx, nullptr, nullptr, d), d, 1,
      "the validation report pointer must not be null");
  r.struct_size = 72;
  EXPECT_FAILS(vrel_mesh_validate(v.in(), f.in(), vo.in(), fo.in(), 0, 0, &ctx, &r, nullptr, d), d,
               6, "the validation report is smaller than this ABI version requires");
  r = fresh_report();
  EXPECT_FAILS(
      vrel_mesh_validate(nullptr, nullptr, nullptr, nullptr, -1, 2, nullptr, &r, nullptr, d), d, 1,
      "unknown validation flags");
  EXPECT_FAILS(
      vrel_mesh_validate(nullptr, nullptr, nullptr, nullptr, -1, 1, nullptr, &r, nullptr, d), d, 1,
      "eps must be finite and nonnegative");
  VrelExecutionContext cuda = cuda_context();
  EXPECT_FAILS(vrel_mesh_validate(v.in(), f.in(), vo.in(), fo.in(), 0, 0, &cuda, &r, nullptr, d), d,
               2, "mesh.validate implements only the CPU backend in this phase");
  EXPECT_FAILS(vrel_mesh_validate(v.in(), f.in(), vo32.in(), fo.in(), 0, 0, &ctx, &r, nullptr, d),
               d, 1, "vertex offsets must be a [B+1] int32 tensor view");
  EXPECT_FAILS(vrel_mesh_validate(v.in(), f.in(), vo.in(), fo3.in(), 0, 0, &ctx, &r, nullptr, d), d,
               1, "face offsets must be a [B+1] int32 tensor view");
  Workspace broken(0);
  broken->abi_version = 0x20000;
  EXPECT_EQ(vrel_mesh_validate(v.in(), f.in(), vo.in(), fo.in(), 0, 0, &ctx, &r, broken.get(), d),
            6);
  // Argument failures leave the report untouched.
  const VrelMeshValidationReport untouched = fresh_report();
  EXPECT_EQ(std::memcmp(&r, &untouched, sizeof r), 0);
  uint64_t bytes = 5, alignment = 5;
  EXPECT_EQ(vrel_mesh_validate_workspace(3, 1, &ctx, &bytes, &alignment, d), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_FAILS(vrel_mesh_validate_workspace(-3, 1, &ctx, &bytes, &alignment, d), d, 1,
               "counts must be nonnegative");
  EXPECT_FAILS(vrel_mesh_validate_workspace(3, 1, &cuda, &bytes, &alignment, d), d, 2,
               "mesh.validate implements only the CPU backend in this phase");
}

TEST(TopologyAndValidate, BadInputs) {
  VrelExecutionContext ctx = cpu_context();
  VrelDiagnostic* nd = nullptr;
  Tensor<int32_t> f({2, 3}, {0, 1, 2, 2, 1, 3}), fo({2}, {0, 2}), meo({2}), e({6, 2}), efo({7}),
      ef({6});
  Workspace ws(72, 4);
  View fv = f.in(), fov = fo.in(), meov = meo.out(), ev = e.out(), efov = efo.out(), efv = ef.out();
  check_bad_inputs("vrel_mesh_build_edge_topology", vrel_mesh_build_edge_topology,
                   std::make_tuple(fv.get(), fov.get(), &ctx, meov.get(), ev.get(), efov.get(),
                                   efv.get(), ws.get(), nd),
                   bad_input_plan({region(meo), region(e), region(efo), region(ef)}));
  Tensor<double> v({4, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0});
  Tensor<int32_t> vo({2}, {0, 4});
  VrelMeshValidationReport report = fresh_report();
  Workspace none(0);
  View vv = v.in(), vov = vo.in();
  check_bad_inputs("vrel_mesh_validate", vrel_mesh_validate,
                   std::make_tuple(vv.get(), fv.get(), vov.get(), fov.get(), 0.0, 0u, &ctx, &report,
                                   none.get(), nd),
                   bad_input_plan({{&report.issues, sizeof report - 8}}, {{8, VREL_STATUS_OK}}));
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs(
      "vrel_mesh_build_edge_topology_workspace", vrel_mesh_build_edge_topology_workspace,
      std::make_tuple(int64_t{2}, int64_t{1}, &ctx, &bytes, &alignment, nd), BadInputPlan{});
  check_bad_inputs("vrel_mesh_validate_workspace", vrel_mesh_validate_workspace,
                   std::make_tuple(int64_t{2}, int64_t{1}, &ctx, &bytes, &alignment, nd),
                   BadInputPlan{});
}
