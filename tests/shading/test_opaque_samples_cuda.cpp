// CUDA requests of the opaque shading samples through the recording test provider: forwarded
// unchanged after the checks, sized on the host, refused with the operations' sentences when the
// provider lacks an entry.
#include "tests/support/device_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

constexpr uint32_t kF64 = VREL_DTYPE_FLOAT64, kI32 = VREL_DTYPE_INT32;

struct Operands {
  VrelExecutionContext ctx = cuda_context(kTestDevice, 0x55);
  VrelBufferDescriptor ws = device_buffer(2 * 44800 + 8, 8);
  View owners = device_view(1, {2, 800}, kI32), q = device_view(2, {2, 800, 4}, kF64);
  View world = device_view(3, {4, 3}, kF64), faces = device_view(4, {2, 3}, kI32);
  View clip = device_view(5, {4, 4}, kF64), normals = device_view(6, {2, 3, 3}, kF64);
  View camera = device_view(7, {3}, kF64), cn = device_view(8, {4}, kF64);
  View logs = device_view(9, {4}, kF64), curve = device_view(10, {1, 34}, kF64);
  View partial = device_view(11, {1, 34}, kF64), mean = device_view(12, {1, 4}, kF64);
  View width = device_view(13, {1}, kF64), albedo = device_view(14, {3}, kF64);
  View roughness = device_view(15, {1}, kF64), f0 = device_view(16, {3}, kF64);
  View direction = device_view(17, {3}, kF64), incoming = device_view(18, {3}, kF64);
  View cotangent = device_view(19, {2, 3}, kF64);
  View samples = device_view(20, {2, 800, 4}, kF64, true),
       pixels = device_view(21, {2, 4}, kF64, true);
  View gradient = device_view(22, {2, 3}, kF64, true);

  VrelStatus run_samples(VrelDiagnostic* diag) {
    return vrel_shading_opaque_samples(owners, q, world, faces, clip, normals, camera, cn, logs,
                                       curve, partial, mean, width, albedo, roughness, f0,
                                       direction, incoming, &ctx, samples, pixels, &ws, diag);
  }
  VrelStatus run_albedo(VrelDiagnostic* diag) {
    return vrel_shading_opaque_albedo(owners, q, world, faces, clip, normals, camera, cn, logs,
                                      curve, partial, mean, width, albedo, roughness, f0, direction,
                                      incoming, cotangent, &ctx, samples, pixels, gradient, &ws,
                                      diag);
  }
};

TEST(OpaqueSamplesCuda, BothExportsReachTheirEntries) {
  Operands o;
  Diag diag;
  ASSERT_EQ(0, o.run_samples(diag)) << diag.text();
  RecordedCall call = recorded_call();
  EXPECT_EQ(504u, call.offset);
  EXPECT_EQ(as_word(o.owners.get()), call.words[0]);
  EXPECT_EQ(as_word(o.mean.get()), call.words[11]);
  ASSERT_EQ(0, o.run_albedo(diag)) << diag.text();
  call = recorded_call();
  EXPECT_EQ(512u, call.offset);
  EXPECT_EQ(as_word(o.q.get()), call.words[1]);
  uint64_t bytes = 0, alignment = 0;
  ASSERT_EQ(0, vrel_shading_opaque_albedo_workspace(2, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ(2u * 44800 + 8, bytes);
  EXPECT_EQ(512u, recorded_call().offset);  // answered by the core, not the provider's query
  // The checks still run first: a scratch in host memory is refused.
  Workspace host(2 * 44800 + 8, 8);
  const VrelBufferDescriptor device = o.ws;
  o.ws = *host.get();
  EXPECT_EQ(1, o.run_samples(diag));
  EXPECT_EQ("curve scratch device/alignment invalid", diag.text());
  o.ws = device;
  o.cn->dtype = VREL_DTYPE_FLOAT32;
  EXPECT_EQ(1, o.run_albedo(diag));
  EXPECT_EQ("opaque sample dtype/rank/device/flags invalid", diag.text());
}

TEST(OpaqueSamplesCudaMissingEntries, ReportTheOperation) {
  Operands o;
  Diag diag;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.run_samples(diag));
  EXPECT_EQ("CUDA provider lacks opaque samples", diag.text());
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED, o.run_albedo(diag));
  EXPECT_EQ("CUDA provider lacks opaque albedos", diag.text());
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_shading_opaque_samples_workspace(1, &o.ctx, &bytes, &alignment, diag));
  EXPECT_EQ("CUDA provider lacks opaque samples", diag.text());
}

}  // namespace
