// The CUDA branch of the mesh exports. MeshForwarding* runs against the recording provider (see
// CMakeLists.txt), MeshForwardingMissing* against one whose mesh entries are null, and
// MeshNoProvider in the main entry, where no provider can be found.
#include <gtest/gtest.h>

#include <vector>

#include "tests/mesh/mesh_support.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

// Distinct fake addresses: the core must pass them on without looking at them.
struct Fakes {
  unsigned char bytes[16];
  const VrelTensorView* view(int i) const {
    return reinterpret_cast<const VrelTensorView*>(bytes + i);
  }
  const VrelBufferDescriptor* buffer() const {
    return reinterpret_cast<const VrelBufferDescriptor*>(bytes + 15);
  }
  uint64_t word(int i) const { return as_word(bytes + i); }
};

// A Diagnostic whose header the CPU path would refuse: the CUDA branch never resets it.
struct UncheckedDiag {
  Diag diag;
  UncheckedDiag() { diag->struct_size = 1; }
  VrelDiagnostic* get() { return diag.get(); }
};

void expect_call(std::size_t offset, const std::vector<uint64_t>& words) {
  const RecordedCall call = recorded_call();
  EXPECT_EQ(call.offset, offset);
  for (std::size_t i = 0; i < words.size() && i < 12; ++i)
    EXPECT_EQ(call.words[i], words[i]) << "word " << i;
}

constexpr std::size_t kQueryEntry = 8;

}  // namespace

TEST(MeshForwarding, FaceGeometryAndGathering) {
  Fakes x;
  UncheckedDiag d;
  VrelExecutionContext ctx = cuda_context(1, 0xBEEF);
  const uint64_t c = as_word(&ctx), dg = as_word(d.get()), ws = as_word(x.buffer());
  EXPECT_EQ(vrel_mesh_face_geometry(x.view(0), x.view(1), 0.25, &ctx, x.view(2), x.view(3),
                                    x.view(4), x.buffer(), d.get()),
            77);
  expect_call(16, {x.word(0), x.word(1), c, x.word(2), x.word(3), x.word(4), ws, dg});
  EXPECT_EQ(recorded_call().reals[0], 0.25);
  EXPECT_EQ(vrel_mesh_face_geometry_backward(x.view(0), x.view(1), 0.5, x.view(2), nullptr, &ctx,
                                             x.view(5), x.buffer(), d.get()),
            77);
  expect_call(24, {x.word(0), x.word(1), x.word(2), 0, c, x.word(5), ws, dg});
  EXPECT_EQ(recorded_call().reals[0], 0.5);
  EXPECT_EQ(vrel_mesh_gather_faces(x.view(0), x.view(1), &ctx, x.view(2), nullptr, d.get()), 77);
  expect_call(48, {x.word(0), x.word(1), c, x.word(2), 0, dg});
  EXPECT_EQ(vrel_mesh_gather_faces_backward(x.view(0), x.view(1), x.view(2), &ctx, x.view(3),
                                            x.buffer(), d.get()),
            77);
  expect_call(56, {x.word(0), x.word(1), x.word(2), c, x.word(3), ws, dg});
}

TEST(MeshForwarding, VertexNormalsAndSampling) {
  Fakes x;
  UncheckedDiag d;
  VrelExecutionContext ctx = cuda_context(0, 0x1234);
  const uint64_t c = as_word(&ctx), dg = as_word(d.get()), ws = as_word(x.buffer());
  // The weighting is not checked on the CUDA path: the provider owns validation.
  EXPECT_EQ(vrel_mesh_vertex_normals(x.view(0), x.view(1), 0.125, 9, &ctx, x.view(2), x.buffer(),
                                     d.get()),
            77);
  expect_call(32, {x.word(0), x.word(1)});
  EXPECT_EQ(static_cast<uint32_t>(recorded_call().words[2]), 9u);
  expect_call(32, {x.word(0), x.word(1), recorded_call().words[2], c, x.word(2), ws, dg});
  EXPECT_EQ(recorded_call().reals[0], 0.125);
  EXPECT_EQ(vrel_mesh_vertex_normals_backward(x.view(0), x.view(1), 0, VREL_MESH_WEIGHTING_UNIFORM,
                                              x.view(2), &ctx, x.view(3), x.buffer(), d.get()),
            77);
  EXPECT_EQ(static_cast<uint32_t>(recorded_call().words[2]), VREL_MESH_WEIGHTING_UNIFORM);
  expect_call(40,
              {x.word(0), x.word(1), recorded_call().words[2], x.word(2), c, x.word(3), ws, dg});
  EXPECT_EQ(vrel_mesh_sample_surface(x.view(0), x.view(1), x.view(2), x.view(3), -5, x.view(4),
                                     x.view(5), 0.75, &ctx, x.view(6), x.view(7), x.view(8),
                                     x.view(9), x.buffer(), d.get()),
            77);
  // Twelve integer arguments are recorded; the workspace and Diagnostic come after them.
  expect_call(136, {x.word(0), x.word(1), x.word(2), x.word(3), static_cast<uint64_t>(-5),
                    x.word(4), x.word(5), c, x.word(6), x.word(7), x.word(8), x.word(9)});
  EXPECT_EQ(recorded_call().reals[0], 0.75);
  EXPECT_EQ(vrel_mesh_sample_surface_backward(x.view(0), x.view(1), x.view(2), x.view(3), &ctx,
                                              x.view(4), x.buffer(), d.get()),
            77);
  expect_call(144, {x.word(0), x.word(1), x.word(2), x.word(3), c, x.word(4), ws, dg});
}

TEST(MeshForwarding, WorkspaceQueries) {
  VrelExecutionContext ctx = cuda_context();
  uint64_t bytes = 0, alignment = 0;
  Diag d;
  const uint64_t c = as_word(&ctx), b = as_word(&bytes), a = as_word(&alignment);
  EXPECT_EQ(
      vrel_mesh_face_geometry_workspace(10, 20, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d),
      77);
  expect_call(kQueryEntry, {1, 0, 0, VREL_DTYPE_FLOAT32, c, b, a, as_word(d.get())});
  // The face-geometry query checks its arguments before forwarding.
  const uint64_t calls = recorded_call_count();
  EXPECT_FAILS(vrel_mesh_face_geometry_workspace(-1, 20, 1, &ctx, &bytes, &alignment, d), d, 1,
               "vertex and face counts must be nonnegative");
  // The gathering query forwards before the reset, whatever its arguments.
  UncheckedDiag unchecked;
  EXPECT_EQ(vrel_mesh_gather_faces_workspace(-1, 2, 7, &ctx, nullptr, &alignment, unchecked.get()),
            77);
  expect_call(kQueryEntry, {3, 0, 0, 7, c, 0, a, as_word(unchecked.get())});
  EXPECT_EQ(recorded_call_count(), calls + 1);
  // Vertex normals and sampling answer CUDA queries in the core.
  EXPECT_EQ(
      vrel_mesh_vertex_normals_workspace(10, 20, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 240u);
  EXPECT_EQ(vrel_mesh_sample_surface_workspace(10, 20, 5, VREL_DTYPE_FLOAT64, &ctx, &bytes,
                                               &alignment, d),
            0);
  EXPECT_EQ(bytes, 164u);
  EXPECT_EQ(recorded_call_count(), calls + 1);
}

TEST(MeshForwardingMissing, NullEntriesAreRefused) {
  Fakes x;
  VrelExecutionContext ctx = cuda_context();
  Diag d;
  EXPECT_FAILS(vrel_mesh_face_geometry(x.view(0), x.view(1), 0, &ctx, x.view(2), x.view(3),
                                       x.view(4), nullptr, d),
               d, 2, "the CUDA provider does not implement mesh.face_geometry");
  const char* kMissing = "the CUDA provider does not implement this operation";
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(x.view(0), x.view(1), 0, x.view(2), nullptr, &ctx,
                                                x.view(3), nullptr, d),
               d, 2, kMissing);
  EXPECT_FAILS(vrel_mesh_vertex_normals(x.view(0), x.view(1), 0, 1, &ctx, x.view(2), nullptr, d), d,
               2, kMissing);
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(x.view(0), x.view(1), 0, 1, x.view(2), &ctx,
                                                 x.view(3), nullptr, d),
               d, 2, kMissing);
  EXPECT_FAILS(vrel_mesh_gather_faces(x.view(0), x.view(1), &ctx, x.view(2), nullptr, d), d, 2,
               kMissing);
  EXPECT_FAILS(
      vrel_mesh_gather_faces_backward(x.view(0), x.view(1), x.view(2), &ctx, x.view(3), nullptr, d),
      d, 2, kMissing);
  EXPECT_FAILS(
      vrel_mesh_sample_surface(x.view(0), x.view(1), x.view(2), x.view(3), 1, x.view(4), x.view(5),
                               0, &ctx, x.view(6), x.view(7), x.view(8), x.view(9), nullptr, d),
      d, 2, kMissing);
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(x.view(0), x.view(1), x.view(2), x.view(3), &ctx,
                                                 x.view(4), nullptr, d),
               d, 2, kMissing);
  uint64_t bytes = 0, alignment = 0;
  const char* kNoQuery = "no CUDA provider is available to report a device workspace requirement";
  EXPECT_FAILS(vrel_mesh_face_geometry_workspace(1, 1, 1, &ctx, &bytes, &alignment, d), d, 2,
               kNoQuery);
  EXPECT_FAILS(vrel_mesh_gather_faces_workspace(1, 1, 1, &ctx, &bytes, &alignment, d), d, 2,
               kNoQuery);
  EXPECT_EQ(recorded_call_count(), 0u);
}

TEST(MeshNoProvider, CudaRequestsFailWithoutTouchingMemory) {
  Fakes x;
  VrelExecutionContext ctx = cuda_context();
  Diag d;
  const char* kNone =
      "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU";
  EXPECT_FAILS(vrel_mesh_face_geometry(x.view(0), x.view(1), 0, &ctx, x.view(2), x.view(3),
                                       x.view(4), nullptr, d),
               d, 2, kNone);
  EXPECT_FAILS(vrel_mesh_face_geometry_backward(x.view(0), x.view(1), 0, nullptr, nullptr, &ctx,
                                                x.view(3), nullptr, d),
               d, 2, kNone);
  EXPECT_FAILS(vrel_mesh_vertex_normals(x.view(0), x.view(1), 0, 1, &ctx, x.view(2), nullptr, d), d,
               2, kNone);
  EXPECT_FAILS(vrel_mesh_vertex_normals_backward(x.view(0), x.view(1), 0, 1, x.view(2), &ctx,
                                                 x.view(3), nullptr, d),
               d, 2, kNone);
  EXPECT_FAILS(vrel_mesh_gather_faces(x.view(0), x.view(1), &ctx, x.view(2), nullptr, d), d, 2,
               kNone);
  EXPECT_FAILS(
      vrel_mesh_gather_faces_backward(x.view(0), x.view(1), x.view(2), &ctx, x.view(3), nullptr, d),
      d, 2, kNone);
  EXPECT_FAILS(
      vrel_mesh_sample_surface(x.view(0), x.view(1), x.view(2), x.view(3), 1, x.view(4), x.view(5),
                               0, &ctx, x.view(6), x.view(7), x.view(8), x.view(9), nullptr, d),
      d, 2, kNone);
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(x.view(0), x.view(1), x.view(2), x.view(3), &ctx,
                                                 x.view(4), nullptr, d),
               d, 2, kNone);
  // With a null Diagnostic the status alone comes back.
  EXPECT_EQ(vrel_mesh_gather_faces(x.view(0), x.view(1), &ctx, x.view(2), nullptr, nullptr), 2);
  uint64_t bytes = 0, alignment = 0;
  const char* kNoQuery = "no CUDA provider is available to report a device workspace requirement";
  EXPECT_FAILS(vrel_mesh_face_geometry_workspace(1, 1, 1, &ctx, &bytes, &alignment, d), d, 2,
               kNoQuery);
  EXPECT_FAILS(vrel_mesh_gather_faces_workspace(1, 1, 1, &ctx, &bytes, &alignment, d), d, 2,
               kNoQuery);
  // A context of 63 bytes is not a CUDA request: the CPU path refuses it.
  ctx.struct_size = 63;
  EXPECT_FAILS(vrel_mesh_gather_faces(x.view(0), x.view(1), &ctx, x.view(2), nullptr, d), d, 6,
               "structure is smaller than the ABI v1 minimum");
}
