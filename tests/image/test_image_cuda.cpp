// CUDA requests of the image exports through the recording test provider; each suite runs in
// its own CTest entry with the provider configuration named in CMakeLists.txt.
#include "tests/support/device_views.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

constexpr uint32_t kF32 = VREL_DTYPE_FLOAT32;

struct Operands {
  VrelExecutionContext ctx = cuda_context(kTestDevice, 0x5151);
  VrelBufferDescriptor ws = device_buffer(64);
  View sigma = device_view(1, {2}, kF32), weights = device_view(2, {2, 7}, kF32, true);
  View grad_weights = device_view(3, {2, 7}, kF32), grad_sigma = device_view(4, {2}, kF32, true);
  View x = device_view(5, {4, 3}, kF32), y = device_view(6, {4, 3}, kF32, true);
  View grad_y = device_view(7, {4, 3}, kF32), grad_x = device_view(8, {4, 3}, kF32, true);
};

TEST(ImageCudaForwarding, EveryExportReachesItsEntryWithItsArguments) {
  Operands o;
  Diag diag;
  EXPECT_EQ(0, vrel_image_gaussian_weights(o.sigma, 3, &o.ctx, o.weights.get(), &o.ws, diag));
  RecordedCall call = recorded_call();
  EXPECT_EQ(344u, call.offset);
  EXPECT_EQ(as_word(o.sigma.get()), call.words[0]);
  EXPECT_EQ(3u, call.words[1]);
  EXPECT_EQ(as_word(&o.ctx), call.words[2]);
  EXPECT_EQ(as_word(&o.ws), call.words[4]);
  EXPECT_EQ(0, vrel_image_gaussian_weights_backward(o.sigma, o.grad_weights, 3, &o.ctx,
                                                    o.grad_sigma.get(), &o.ws, diag));
  EXPECT_EQ(352u, recorded_call().offset);
  EXPECT_EQ(0, vrel_image_transfer(o.x, 1, &o.ctx, o.y.get(), nullptr, diag));
  call = recorded_call();
  EXPECT_EQ(328u, call.offset);
  EXPECT_EQ(1u, call.words[1]);
  EXPECT_EQ(0u, call.words[4]);
  EXPECT_EQ(0,
            vrel_image_transfer_backward(o.x, o.grad_y, 0, &o.ctx, o.grad_x.get(), nullptr, diag));
  EXPECT_EQ(336u, recorded_call().offset);
  // The queries ask the workspace entry with the operation ids 19 and 20.
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(0, vrel_image_transfer_workspace(12, kF32, &o.ctx, &bytes, &alignment, diag));
  call = recorded_call();
  EXPECT_EQ(8u, call.offset);
  EXPECT_EQ(19u, call.words[0]);
  EXPECT_EQ(12u, reinterpret_cast<const uint64_t*>(call.words[1])[0]);
  EXPECT_EQ(1u, call.words[2]);
  EXPECT_EQ(0, vrel_image_gaussian_weights_workspace(2, kF32, 3, &o.ctx, &bytes, &alignment, diag));
  call = recorded_call();
  EXPECT_EQ(20u, call.words[0]);
  EXPECT_EQ(2u, call.words[2]);
  // A CPU tensor in a CUDA call is refused before anything is forwarded.
  const uint64_t calls = recorded_call_count();
  Tensor<float> host({2});
  EXPECT_EQ(VREL_STATUS_INVALID_ARGUMENT,
            vrel_image_gaussian_weights(host.in(), 3, &o.ctx, o.weights.get(), &o.ws, diag));
  EXPECT_EQ("image tensor device mismatch", diag.text());
  EXPECT_EQ(calls, recorded_call_count());
}

// The provider's status and message come back unchanged.
TEST(ImageCudaProviderStatus, IsReturnedUnchanged) {
  Operands o;
  Diag diag;
  EXPECT_EQ(77, vrel_image_transfer(o.x, 0, &o.ctx, o.y.get(), nullptr, diag));
}

// A table that ends before the Gaussian entries lacks that family.
TEST(ImageCudaShortTable, LacksTheFamily) {
  Operands o;
  Diag diag;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_image_gaussian_weights(o.sigma, 3, &o.ctx, o.weights.get(), &o.ws, diag));
  EXPECT_EQ("CUDA provider lacks Gaussian weights family", diag.text());
  EXPECT_EQ(0, vrel_image_transfer(o.x, 0, &o.ctx, o.y.get(), nullptr, diag));
}

// An empty entry is refused with the operation's sentence.
TEST(ImageCudaNullEntries, ReportsTheMissingEntry) {
  Operands o;
  Diag diag;
  EXPECT_EQ(VREL_STATUS_UNSUPPORTED,
            vrel_image_transfer_backward(o.x, o.grad_y, 0, &o.ctx, o.grad_x.get(), nullptr, diag));
  EXPECT_EQ("CUDA image transfer backward unavailable", diag.text());
}

}  // namespace
