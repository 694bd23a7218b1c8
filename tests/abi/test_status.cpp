// The Diagnostic record: reset, message truncation and header rules, seen through the exports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/bad_input.hpp"
#include "tests/support/views.hpp"

using namespace vrel::test;

TEST(Diagnostic, MessageIsCutToCapacityAndRequiredHoldsTheFullLength) {
  Diag diag(10);
  EXPECT_EQ(vrel_validate_tensor_view(nullptr, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "tensor vi");  // "tensor view pointer is null", first 9 bytes
  EXPECT_EQ(diag->message_required, 28u);

  Diag one(1);
  EXPECT_EQ(vrel_validate_tensor_view(nullptr, one), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(one->message[0], '\0');
  EXPECT_EQ(one->message_required, 28u);
}

TEST(Diagnostic, NullMessageBufferReceivesOnlyTheRequiredLength) {
  VrelDiagnostic d{};
  d.struct_size = sizeof d;
  d.abi_version = VREL_ABI_VERSION;
  d.message_capacity = 100;
  EXPECT_EQ(vrel_validate_execution_context(nullptr, &d), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(d.message_required, std::strlen("execution context pointer is null") + 1);
}

TEST(Diagnostic, SuccessLeavesAnEmptyMessage) {
  Diag diag;
  vrel_validate_tensor_view(nullptr, diag);
  const VrelExecutionContext ctx = cpu_context();
  EXPECT_EQ(vrel_validate_execution_context(&ctx, diag), VREL_STATUS_OK);
  EXPECT_EQ(diag->message_required, 0u);
  EXPECT_EQ(diag.text(), "");
}

TEST(Diagnostic, BadHeaderOrReservedWordIsRefusedUntouched) {
  struct Case {
    uint32_t size;
    uint32_t version;
    int reserved;
    VrelStatus expected;
  };
  for (const Case c : {Case{63, VREL_ABI_VERSION, -1, VREL_STATUS_ABI_MISMATCH},
                       Case{64, 0x20000, -1, VREL_STATUS_ABI_MISMATCH},
                       Case{64, 0xFFFF, -1, VREL_STATUS_ABI_MISMATCH},
                       Case{64, VREL_ABI_VERSION, 3, VREL_STATUS_INVALID_ARGUMENT}}) {
    Diag diag;
    diag->struct_size = c.size;
    diag->abi_version = c.version;
    if (c.reserved >= 0) diag->reserved[c.reserved] = 1;
    diag->message_required = 1234;
    diag->message[0] = 'x';
    EXPECT_EQ(vrel_validate_tensor_view(nullptr, diag), c.expected);
    EXPECT_EQ(diag->message_required, 1234u);
    EXPECT_EQ(diag->message[0], 'x');
  }
  Diag minor;
  minor->abi_version = 0x1FFFF;
  EXPECT_EQ(vrel_validate_tensor_view(nullptr, minor), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(minor.text(), "tensor view pointer is null");
}

TEST(Diagnostic, HeaderSizeIsCheckedBeforeVersion) {
  VrelExecutionContext ctx = cpu_context();
  ctx.struct_size = 10;
  ctx.abi_version = 0x20000;
  Diag diag;
  EXPECT_EQ(vrel_validate_execution_context(&ctx, diag), VREL_STATUS_ABI_MISMATCH);
  EXPECT_EQ(diag.text(), "structure is smaller than the ABI v1 minimum");
  EXPECT_EQ(diag->message_required, 45u);
  ctx.struct_size = 64;
  EXPECT_EQ(vrel_validate_execution_context(&ctx, diag), VREL_STATUS_ABI_MISMATCH);
  EXPECT_EQ(diag.text(), "structure uses an incompatible ABI major version");
  EXPECT_EQ(diag->message_required, 49u);
  ctx.struct_size = 200;  // larger records are accepted, the excess ignored
  ctx.abi_version = 0x10005;
  EXPECT_EQ(vrel_validate_execution_context(&ctx, diag), VREL_STATUS_OK);
}

TEST(BadInput, ValidatorsRefuseBrokenDescriptorsWithoutWriting) {
  Tensor<float> t({2, 3});
  View v = t.in();
  VrelExecutionContext ctx = cpu_context();
  Workspace ws(32);
  Diag diag;
  check_bad_inputs("validate_tensor_view", vrel_validate_tensor_view,
                   std::make_tuple(static_cast<const VrelTensorView*>(v.get()), diag.get()), {});
  check_bad_inputs("validate_execution_context", vrel_validate_execution_context,
                   std::make_tuple(static_cast<const VrelExecutionContext*>(&ctx), diag.get()), {});
  check_bad_inputs("validate_buffer", vrel_validate_buffer,
                   std::make_tuple(static_cast<const VrelBufferDescriptor*>(ws.get()), diag.get()),
                   {});
}
