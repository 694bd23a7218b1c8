// The operation frame's helpers: shape patterns, the alias rule, packed offsets, workspace
// consumption and the CUDA branch without a provider.
#include <gtest/gtest.h>

#include "abi/frame.hpp"
#include "tests/support/views.hpp"

using namespace vrel;
using namespace vrel::test;

namespace {

const frame::Family kFamily{"test operations implement only the CPU backend in this phase",
                            "test views must live on the CPU",
                            "test operations accept only CPU workspace storage"};

struct Checked {
  VrelStatus status;
  std::string message;
};

template <typename F>
Checked run(F&& check) {
  Diag diag;
  const frame::Frame f{diag.get(), kFamily};
  const VrelStatus st = check(f);
  return {st, diag.text()};
}

}  // namespace

TEST(Frame, InputAndOutputRules) {
  Tensor<float> t({4, 3});
  View in = t.in();
  View out = t.out();
  EXPECT_EQ(run([&](auto& f) {
              return f.input(in, {frame::kAny, 3}, "x must be a [N,3] tensor view");
            }).status,
            0);
  EXPECT_EQ(run([&](auto& f) {
              return f.input(in, {frame::kAny, 4}, "x must be a [N,4] tensor view");
            }).message,
            "x must be a [N,4] tensor view");
  EXPECT_EQ(
      run([&](auto& f) { return f.input(nullptr, {3}, "x must be a [3] tensor view"); }).message,
      "x must be a [3] tensor view");
  EXPECT_EQ(run([&](auto& f) { return f.input(out, {4, 3}, "shape"); }).message,
            frame::kInputOutputFlag);
  EXPECT_EQ(run([&](auto& f) { return f.output(in, {4, 3}, "shape"); }).message,
            frame::kOutputFlagRequired);
  View cuda = t.in();
  cuda->device_type = VREL_DEVICE_CUDA;
  const Checked c = run([&](auto& f) { return f.input(cuda, {4, 3}, "shape"); });
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, "test views must live on the CPU");
  // A positive rank with a null shape array reaches validation instead of being dereferenced.
  View broken = t.in();
  broken->shape = nullptr;
  EXPECT_EQ(run([&](auto& f) { return f.input(broken, {4, 3}, "shape"); }).message,
            "positive-rank tensors require shape and stride arrays");
}

TEST(Frame, ContextMustBeTheCpu) {
  VrelExecutionContext cuda = cuda_context();
  const Checked c = run([&](auto& f) { return f.context(&cuda); });
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, kFamily.cpu_backend);
  VrelExecutionContext cpu = cpu_context();
  EXPECT_EQ(run([&](auto& f) { return f.context(&cpu); }).status, 0);
}

TEST(Frame, AliasRuleComparesByteRanges) {
  std::vector<float> storage(32);
  View a(storage.data(), {8}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  View b(storage.data() + 8, {8}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  View overlapping(storage.data() + 7, {2}, VREL_DTYPE_FLOAT32);
  View input_a(storage.data() + 16, {8}, VREL_DTYPE_FLOAT32);
  View input_b(storage.data() + 16, {8}, VREL_DTYPE_FLOAT32);
  View empty(nullptr, {0}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  auto alias = [&](frame::Views outs, frame::Views ins) {
    return run([&](auto& f) { return f.no_alias(outs, ins); });
  };
  EXPECT_EQ(alias({a, b}, {input_a, input_b}).status, 0);  // inputs may share storage
  EXPECT_EQ(alias({a, b}, {overlapping}).message, frame::kAlias);
  EXPECT_EQ(alias({a, overlapping}, {}).status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(alias({b, a}, {}).status, 0);  // adjacent half-open ranges do not overlap
  EXPECT_EQ(alias({empty, nullptr}, {a}).status, 0);
  View a_again(storage.data(), {8}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(alias({a, a_again}, {}).status, VREL_STATUS_INVALID_ARGUMENT);
}

TEST(Frame, PackedOffsets) {
  using frame::OffsetsFault;
  auto fault = [](std::vector<int32_t> o, int64_t rows) {
    return frame::packed_offsets_fault(o.data(), static_cast<int64_t>(o.size()), rows);
  };
  EXPECT_EQ(fault({0, 2, 2, 5}, 5), OffsetsFault::kNone);
  EXPECT_EQ(fault({1, 2, 5}, 5), OffsetsFault::kFirst);
  EXPECT_EQ(fault({0, 3, 2, 5}, 5), OffsetsFault::kOrder);
  EXPECT_EQ(fault({0, 2, 4}, 5), OffsetsFault::kLast);

  Tensor<int32_t> good({4}, {0, 2, 2, 5});
  View gv = good.in();
  EXPECT_EQ(run([&](auto& f) { return f.offsets(gv, 3, 5, "offsets broken"); }).status, 0);
  EXPECT_EQ(run([&](auto& f) { return f.offsets(gv, 2, 5, "offsets broken"); }).message,
            "offsets broken");
  Tensor<float> as_float({4});
  View fv = as_float.in();
  const Checked c = run([&](auto& f) { return f.offsets(fv, 3, 5, "offsets broken"); });
  EXPECT_EQ(c.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(c.message, frame::kOffsetsDtype);
  // The kernels read the offsets on the host: offsets in device memory are refused, not read.
  View on_device = good.in();
  on_device->device_type = VREL_DEVICE_CUDA;
  const Checked d = run([&](auto& f) { return f.offsets(on_device, 3, 5, "offsets broken"); });
  EXPECT_EQ(d.status, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(d.message, kFamily.cpu_view);
  const frame::OffsetMessages three{"shape", "first", "order", "last"};
  Tensor<int32_t> bad({3}, {0, 3, 2});
  View bv = bad.in();
  EXPECT_EQ(run([&](auto& f) { return f.offsets(bv, 2, 2, three); }).message, "order");
}

TEST(Frame, WorkspaceCapacityComesBeforeValidation) {
  Workspace small(8);
  small->reserved[0] = 1;  // malformed, but undersized first
  Checked c =
      run([&](auto& f) { return f.workspace(small.get(), 16, false, 4, "aligned to int32", {}); });
  EXPECT_EQ(c.status, VREL_STATUS_INSUFFICIENT_CAPACITY);
  EXPECT_EQ(c.message, frame::kForwardWorkspace);
  c = run([&](auto& f) { return f.workspace(nullptr, 16, true, 4, "aligned", {}); });
  EXPECT_EQ(c.message, frame::kBackwardWorkspace);
  EXPECT_EQ(run([&](auto& f) { return f.workspace(nullptr, 0, true, 4, "aligned", {}); }).status,
            0);

  Workspace ws(64, 16);
  EXPECT_EQ(run([&](auto& f) { return f.workspace(ws.get(), 64, false, 8, "aligned", {}); }).status,
            0);
  VrelBufferDescriptor shifted = *ws.get();
  shifted.data = static_cast<char*>(shifted.data) + 4;
  shifted.alignment = 4;
  shifted.capacity = 32;
  EXPECT_EQ(run([&](auto& f) {
              return f.workspace(&shifted, 32, false, 8, "must be aligned to double", {});
            }).message,
            "must be aligned to double");
  View over(ws->data, {4}, VREL_DTYPE_FLOAT32);
  EXPECT_EQ(
      run([&](auto& f) { return f.workspace(ws.get(), 64, false, 8, "aligned", {over}); }).message,
      frame::kWorkspaceAlias);
  VrelBufferDescriptor gpu = *ws.get();
  gpu.device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(run([&](auto& f) { return f.workspace(&gpu, 64, false, 8, "aligned", {}); }).message,
            kFamily.cpu_workspace);
}

TEST(Frame, CudaBranchWithoutProvider) {
  VrelExecutionContext ctx = cuda_context();
  EXPECT_TRUE(frame::is_cuda(&ctx));
  ctx.struct_size = 63;
  EXPECT_FALSE(frame::is_cuda(&ctx));
  EXPECT_FALSE(frame::is_cuda(nullptr));

  // The message is written even through a Diagnostic whose header is broken: the CUDA branch
  // precedes the reset.
  Diag diag;
  diag->struct_size = 8;
  const VrelStatus st = frame::forward<&frame::Table::face_geometry>(
      diag.get(), nullptr, nullptr, 0.0, &ctx, nullptr, nullptr, nullptr, nullptr, diag.get());
  EXPECT_EQ(st, VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(diag.text(), frame::kNoProvider);
  uint64_t bytes = 0, alignment = 0;
  Diag q;
  EXPECT_EQ(frame::forward_query(1, nullptr, 0, 1, &ctx, &bytes, &alignment, q.get()),
            VREL_STATUS_UNSUPPORTED);
  EXPECT_EQ(q.text(), frame::kNoWorkspaceProvider);
  EXPECT_EQ(frame::forward<&frame::Table::face_geometry>(
                nullptr, nullptr, nullptr, 0.0, &ctx, nullptr, nullptr, nullptr, nullptr, nullptr),
            VREL_STATUS_UNSUPPORTED);  // a null Diagnostic is fine
}
