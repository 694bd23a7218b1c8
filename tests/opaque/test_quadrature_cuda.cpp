// CUDA requests of the quadrature exports through the recording test provider; each suite runs
// in its own CTest entry with the provider configuration named in CMakeLists.txt.
#include <new>

#include "tests/support/device_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

// Views hold their shapes, so a test replaces one in place.
void replace(View& slot, const View& with) {
  slot.~View();
  new (&slot) View(with);
}

constexpr uint32_t kF32 = VREL_DTYPE_FLOAT32;
constexpr uint32_t kI32 = VREL_DTYPE_INT32;
constexpr uint64_t kScratch = 1047584;

// A 1 x 2 image: owners and nodes of 2 rows.
struct Operands {
  VrelExecutionContext ctx = cuda_context(kTestDevice, 0x7171);
  VrelBufferDescriptor ws = device_buffer(kScratch);
  View v = device_view(1, {4, 3}, kF32), f = device_view(2, {2, 3}, kI32),
       cuts = device_view(3, {2, 1, 9}, kF32), owners = device_view(4, {2, 800}, kI32, true),
       nodes = device_view(5, {2, 800, 4}, kF32, true), grad = device_view(6, {2, 800, 4}, kF32),
       gv = device_view(7, {4, 3}, kF32, true), gc = device_view(8, {2, 1, 9}, kF32, true);

  VrelStatus forward(bool material, VrelDiagnostic* diag) {
    auto fn = material ? vrel_render_opaque_material_quadrature : vrel_render_opaque_quadrature;
    return fn(v, f, cuts, 1, 2, 0.5, -1.0, &ctx, owners, nodes, &ws, diag);
  }
  VrelStatus backward(bool material, VrelDiagnostic* diag) {
    auto fn = material ? vrel_render_opaque_material_quadrature_backward
                       : vrel_render_opaque_quadrature_backward;
    return fn(v, f, cuts, 1, 2, 0.5, -1.0, grad, &ctx, gv, gc, &ws, diag);
  }
};

TEST(OpaqueQuadratureCudaForwarding, EachExportReachesItsEntryWithItsArguments) {
  Operands o;
  Diag diag;
  for (bool material : {false, true}) {
    ASSERT_EQ(0, o.forward(material, diag)) << diag.text();
    const RecordedCall call = recorded_call();
    EXPECT_EQ(material ? 448u : 432u, call.offset);
    EXPECT_EQ(as_word(o.v.get()), call.words[0]);
    EXPECT_EQ(as_word(o.cuts.get()), call.words[2]);
    EXPECT_EQ(1u, call.words[3]);
    EXPECT_EQ(2u, call.words[4]);
    EXPECT_EQ(0.5, call.reals[0]);
    EXPECT_EQ(-1.0, call.reals[1]);
    EXPECT_EQ(as_word(&o.ws), call.words[8]);
  }
  ASSERT_EQ(0, o.backward(false, diag)) << diag.text();
  EXPECT_EQ(440u, recorded_call().offset);
  EXPECT_EQ(as_word(o.gc.get()), recorded_call().words[8]);
  // The material backward has no entry.
  const uint64_t calls = recorded_call_count();
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.backward(true, diag));
  EXPECT_EQ("CUDA opaque material transport unavailable", diag.text());
  // The queries ask the workspace entry for operation 25 with the dtype.
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(
      0, vrel_render_opaque_material_quadrature_workspace(kF32, &o.ctx, &bytes, &alignment, diag));
  const RecordedCall query = recorded_call();
  EXPECT_EQ(8u, query.offset);
  EXPECT_EQ(25u, query.words[0]);
  EXPECT_EQ(0u, query.words[2]);
  EXPECT_EQ(kF32, query.words[3]);
  EXPECT_EQ(calls + 1, recorded_call_count());
}

TEST(OpaqueQuadratureCudaForwarding, DeviceChecksComeBeforeTheProvider) {
  Diag diag;
  const uint64_t calls = recorded_call_count();
  auto expect = [&](Operands& o, VrelStatus status, const char* message) {
    EXPECT_EQ(status, o.forward(false, diag));
    EXPECT_EQ(message, diag.text());
  };
  Tensor<float> host({4, 3});
  Operands a;
  replace(a.v, host.in());
  expect(a, VREL_STATUS_INVALID_ARGUMENT, "quadrature device/flags mismatch");
  Operands b;
  b.nodes->flags = 0;
  expect(b, VREL_STATUS_INVALID_ARGUMENT, "quadrature device/flags mismatch");
  Operands c;
  c.cuts->dtype = VREL_DTYPE_FLOAT64;
  expect(c, VREL_STATUS_INVALID_ARGUMENT, "quadrature dtype mismatch");
  Operands d;
  replace(d.cuts, device_view(3, {2, 1, 10}, kF32));
  expect(d, VREL_STATUS_INVALID_ARGUMENT, "quadrature input shapes");
  Operands e;
  replace(e.owners, device_view(4, {3, 800}, kI32, true));
  expect(e, VREL_STATUS_INVALID_ARGUMENT, "quadrature output shapes");
  Operands g;
  g.ws.data = nullptr;
  g.ws.capacity = 0;
  expect(g, VREL_STATUS_INSUFFICIENT_CAPACITY, "quadrature caller scratch required");
  Operands h;
  h.ws.capacity = kScratch - 1;
  expect(h, VREL_STATUS_INSUFFICIENT_CAPACITY, "quadrature scratch capacity");
  Operands k;
  k.ws.device_index = 0;
  expect(k, VREL_STATUS_INVALID_ARGUMENT, "quadrature scratch device/alignment");
  Operands l;
  l.ws.data = device_address(5);
  expect(l, VREL_STATUS_INVALID_ARGUMENT, "quadrature scratch alias");
  Operands m;
  replace(m.nodes, device_view(1, {2, 800, 4}, kF32, true));
  expect(m, VREL_STATUS_INVALID_ARGUMENT, "quadrature output alias");
  Operands n;
  replace(n.gc, device_view(8, {2, 1, 8}, kF32, true));
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT, n.backward(false, diag));
  EXPECT_EQ("quadrature backward shapes", diag.text());
  EXPECT_EQ(calls, recorded_call_count());
}

// A provider without the quadrature entries.
TEST(OpaqueQuadratureCudaNullEntries, ReportTheMissingEntry) {
  Operands o;
  Diag diag;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.forward(false, diag));
  EXPECT_EQ("CUDA opaque quadrature unavailable", diag.text());
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.forward(true, diag));
  EXPECT_EQ("CUDA opaque material transport unavailable", diag.text());
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_render_opaque_quadrature_workspace(kF32, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ("CUDA opaque quadrature unavailable", diag.text());
}

// A provider with the quadrature but not the material entry.
TEST(OpaqueQuadratureCudaNoMaterial, MaterialQueryNamesTheMaterialEntry) {
  Operands o;
  Diag diag;
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(0, vrel_render_opaque_quadrature_workspace(kF32, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, vrel_render_opaque_material_quadrature_workspace(
                                         kF32, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ("CUDA opaque material operation unavailable", diag.text());
}

}  // namespace
