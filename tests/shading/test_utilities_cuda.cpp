// CUDA requests of the shading utilities through the recording test provider.
#include "tests/support/device_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

constexpr uint32_t kF64 = VREL_DTYPE_FLOAT64;

struct Operands {
  VrelExecutionContext ctx = cuda_context(kTestDevice, 0x77);
  VrelBufferDescriptor ws = device_buffer(8, 8);
  View x = device_view(1, {5}, kF64), y = device_view(2, {5}, kF64, true);
  View rows = device_view(3, {5, 3}, kF64), units = device_view(4, {5, 3}, kF64, true);
  View carry = device_view(5, {4}, kF64), values = device_view(6, {9, 4}, kF64);
  View sum = device_view(7, {4}, kF64, true);
  View normal = device_view(8, {2, 3}, kF64), brdf = device_view(9, {2, 4, 3}, kF64);
  View direction = device_view(10, {2, 4, 3}, kF64), incoming = device_view(11, {2, 4, 3}, kF64);
  View cotangent = device_view(12, {2, 3}, kF64), radiance = device_view(13, {2, 3}, kF64, true);
  View gradient = device_view(14, {2, 4, 3}, kF64, true);
};

TEST(UtilityCudaForwarding, EveryExportReachesItsEntry) {
  Operands o;
  Diag diag;
  EXPECT_EQ(0, vrel_shading_ordered_rgba(o.carry, o.values, &o.ctx, o.sum.get(), &o.ws, diag));
  EXPECT_EQ(472u, recorded_call().offset);
  EXPECT_EQ(0, vrel_shading_unit_newton(o.x, &o.ctx, o.y.get(), &o.ws, diag));
  EXPECT_EQ(480u, recorded_call().offset);
  EXPECT_EQ(0, vrel_shading_unit_vectors(o.rows, &o.ctx, o.units.get(), &o.ws, diag));
  EXPECT_EQ(488u, recorded_call().offset);
  EXPECT_EQ(0, vrel_shading_delta_brdf(o.normal, o.brdf, o.direction, o.incoming, o.cotangent,
                                       &o.ctx, o.radiance.get(), o.gradient.get(), &o.ws, diag));
  const RecordedCall call = recorded_call();
  EXPECT_EQ(496u, call.offset);
  EXPECT_EQ(as_word(o.normal.get()), call.words[0]);
  EXPECT_EQ(as_word(&o.ctx), call.words[5]);
  EXPECT_EQ(as_word(&o.ws), call.words[8]);
  // The scratch must live on the context's device.
  Workspace host(8, 8);
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_shading_unit_newton(o.x, &o.ctx, o.y.get(), host.get(), diag));
  EXPECT_EQ("curve scratch device/alignment invalid", diag.text());
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(0, vrel_shading_delta_brdf_workspace(2, 4, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ(8u, bytes);
}

TEST(UtilityCudaNullEntries, ReportTheOperation) {
  Operands o;
  Diag diag;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_shading_unit_vectors(o.rows, &o.ctx, o.units.get(), &o.ws, diag));
  EXPECT_EQ("CUDA provider lacks unit vectors", diag.text());
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_shading_delta_brdf_workspace(2, 4, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ("CUDA provider lacks delta BRDF", diag.text());
}

}  // namespace
