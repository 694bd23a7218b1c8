// CUDA requests of the resumable opaque exports through the recording test provider; each suite
// runs in its own CTest entry with the provider configuration named in CMakeLists.txt.
#include "tests/support/device_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

constexpr uint32_t kF64 = VREL_DTYPE_FLOAT64;
constexpr uint32_t kI32 = VREL_DTYPE_INT32;

struct Operands {
  VrelExecutionContext ctx = cuda_context(kTestDevice, 0x7171);
  VrelBufferDescriptor ws = device_buffer(1047584);
  View v = device_view(1, {4, 3}, kF64), f = device_view(2, {2, 3}, kI32),
       cuts = device_view(3, {2, 3, 2}, kF64), owners = device_view(4, {1, 800}, kI32, true),
       nodes = device_view(5, {1, 800, 4}, kF64, true), grad = device_view(6, {1, 800, 4}, kF64),
       gv = device_view(7, {4, 3}, kF64, true), gc = device_view(8, {2, 3, 2}, kF64, true),
       rows = device_view(9, {2048, 17}, kF64, true), rows_in = device_view(9, {2048, 17}, kF64),
       rows52 = device_view(10, {1664, 17}, kF64, true);
  int32_t cursor[4] = {0, 0, 0, 0}, receipt[8] = {}, prefix[2] = {0, 0}, meta[8] = {};

  // Each export once; `which` picks it.
  VrelStatus call(int which, VrelDiagnostic* d) {
    switch (which) {
      case 0:
        return vrel_render_opaque_material_batch(v, f, cuts, 0.5, -1.0, cursor, receipt, &ctx,
                                                 owners, nodes, &ws, d);
      case 1:
        return vrel_render_opaque_material_batch_rule(v, f, cuts, 0.5, -1.0, cursor, receipt, &ctx,
                                                      owners, nodes, &ws, d, 3);
      case 2:
        return vrel_render_opaque_material_batch_backward(v, f, cuts, 0.5, -1.0, cursor, receipt,
                                                          grad, &ctx, gv, gc, &ws, d);
      case 3:
        return vrel_render_opaque_material_batch_rule_backward(
            v, f, cuts, 0.5, -1.0, cursor, receipt, grad, &ctx, gv, gc, &ws, d, 2, 1);
      case 4:
        return vrel_render_opaque_material_prefix_backward64(v, f, cuts, 0.5, -1.0, cursor, receipt,
                                                             grad, &ctx, gv, gc, &ws, d, 3, prefix);
      case 5:
        return vrel_render_opaque_boundary_batch80(v, f, cuts, 0.5, -1.0, 2, cursor, receipt, &ctx,
                                                   owners, nodes, &ws, d);
      case 6:
        return vrel_render_opaque_partition_prepare64(v, f, cuts, 0.5, -1.0, &ctx, rows, meta, &ws,
                                                      d);
      case 7:
        return vrel_render_opaque_partition_prepare(v, f, cuts, 0.5, -1.0, &ctx, rows52, meta, &ws,
                                                    d);
      default:
        return vrel_render_opaque_partition_emit_workspace64(rows_in, 64, 32, &ctx, owners, nodes,
                                                             &ws, d);
    }
  }
};

// The entry offset each export reaches.
constexpr uint64_t kOffsets[9] = {456, 456, 520, 520, 536, 560, 576, 568, 592};

TEST(OpaqueStreamCudaForwarding, EachExportReachesItsEntryWithItsArguments) {
  Operands o;
  Diag diag;
  for (int which = 0; which < 9; ++which) {
    ASSERT_EQ(0, o.call(which, diag)) << which << ": " << diag.text();
    const RecordedCall call = recorded_call();
    EXPECT_EQ(kOffsets[which], call.offset) << which;
    if (which == 8) {
      EXPECT_EQ(64u, static_cast<uint32_t>(call.words[1]));
      EXPECT_EQ(32u, static_cast<uint32_t>(call.words[2]));
      continue;
    }
    EXPECT_EQ(as_word(o.v.get()), call.words[0]) << which;
    EXPECT_EQ(0.5, call.reals[0]) << which;
    EXPECT_EQ(-1.0, call.reals[1]) << which;
  }
  // The DEFAULT batch passes rule 0 after the Diagnostic (int32 arguments: their low words).
  ASSERT_EQ(0, o.call(0, diag));
  EXPECT_EQ(0u, static_cast<uint32_t>(recorded_call().words[10]));
  ASSERT_EQ(0, o.call(1, diag));
  EXPECT_EQ(3u, static_cast<uint32_t>(recorded_call().words[10]));
  ASSERT_EQ(0, o.call(2, diag));
  EXPECT_EQ(0u, static_cast<uint32_t>(recorded_call().words[11]));
  ASSERT_EQ(0, o.call(3, diag));
  EXPECT_EQ(2u, static_cast<uint32_t>(recorded_call().words[11]));
}

TEST(OpaqueStreamCudaForwarding, LeadingChecksComeBeforeTheProvider) {
  Operands o;
  Diag diag;
  const uint64_t calls = recorded_call_count();
  o.cursor[1] = 1;  // begin 0 with batch 1
  EXPECT_EQ(1, o.call(1, diag));
  EXPECT_EQ("opaque batch cursor/receipt", diag.text());
  o.cursor[1] = 0;
  EXPECT_EQ(1,
            vrel_render_opaque_boundary_batch64(o.v, o.f, o.cuts, 0.5, -1.0, 4, o.cursor, o.receipt,
                                                &o.ctx, o.owners, o.nodes, &o.ws, diag));
  EXPECT_EQ("boundary stream edge range", diag.text());
  EXPECT_EQ(
      2, vrel_render_opaque_partition_emit64(o.rows_in, 64, 32, &o.ctx, o.owners, o.nodes, diag));
  EXPECT_EQ("partition emit CPU qualification only", diag.text());
  EXPECT_EQ(calls, recorded_call_count());
}

TEST(OpaqueStreamCudaNullEntries, EachFamilyNamesWhatIsMissing) {
  Operands o;
  Diag diag;
  const char* messages[9] = {
      "CUDA opaque batch unavailable",      "CUDA explicit opaque rule unavailable",
      "CUDA opaque batch unavailable",      "CUDA explicit opaque rule unavailable",
      "CUDA persistent prefix unavailable", "CUDA boundary stream unavailable",
      "CUDA SH64 partition unavailable",    "CUDA partition unavailable",
      "CUDA SH64 partition unavailable"};
  for (int which = 0; which < 9; ++which) {
    EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.call(which, diag)) << which;
    EXPECT_EQ(messages[which], diag.text()) << which;
  }
}

}  // namespace
