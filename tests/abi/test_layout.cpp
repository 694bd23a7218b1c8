// Pins every record of the public header to the byte tables of the ABI.
#include <gtest/gtest.h>

#include <cstddef>

#include "vrel/vrel.h"

extern "C" unsigned vrel_test_c_abi_version(void);

#define EXPECT_FIELD(type, field, offset) \
  EXPECT_EQ(offsetof(type, field), offset) << #type "." #field

TEST(Layout, Diagnostic) {
  EXPECT_EQ(sizeof(VrelDiagnostic), 64u);
  EXPECT_FIELD(VrelDiagnostic, struct_size, 0u);
  EXPECT_FIELD(VrelDiagnostic, abi_version, 4u);
  EXPECT_FIELD(VrelDiagnostic, message, 8u);
  EXPECT_FIELD(VrelDiagnostic, message_capacity, 16u);
  EXPECT_FIELD(VrelDiagnostic, message_required, 24u);
  EXPECT_FIELD(VrelDiagnostic, reserved, 32u);
}

TEST(Layout, TensorView) {
  EXPECT_EQ(sizeof(VrelTensorView), 96u);
  EXPECT_FIELD(VrelTensorView, struct_size, 0u);
  EXPECT_FIELD(VrelTensorView, abi_version, 4u);
  EXPECT_FIELD(VrelTensorView, data, 8u);
  EXPECT_FIELD(VrelTensorView, byte_offset, 16u);
  EXPECT_FIELD(VrelTensorView, shape, 24u);
  EXPECT_FIELD(VrelTensorView, strides, 32u);
  EXPECT_FIELD(VrelTensorView, rank, 40u);
  EXPECT_FIELD(VrelTensorView, dtype, 44u);
  EXPECT_FIELD(VrelTensorView, device_type, 48u);
  EXPECT_FIELD(VrelTensorView, device_index, 52u);
  EXPECT_FIELD(VrelTensorView, flags, 56u);
  EXPECT_FIELD(VrelTensorView, reserved_word, 60u);
  EXPECT_FIELD(VrelTensorView, reserved, 64u);
}

TEST(Layout, ExecutionContext) {
  EXPECT_EQ(sizeof(VrelExecutionContext), 64u);
  EXPECT_FIELD(VrelExecutionContext, struct_size, 0u);
  EXPECT_FIELD(VrelExecutionContext, abi_version, 4u);
  EXPECT_FIELD(VrelExecutionContext, device_type, 8u);
  EXPECT_FIELD(VrelExecutionContext, device_index, 12u);
  EXPECT_FIELD(VrelExecutionContext, stream, 16u);
  EXPECT_FIELD(VrelExecutionContext, flags, 24u);
  EXPECT_FIELD(VrelExecutionContext, reserved_word, 28u);
  EXPECT_FIELD(VrelExecutionContext, reserved, 32u);
}

TEST(Layout, BufferDescriptor) {
  EXPECT_EQ(sizeof(VrelBufferDescriptor), 64u);
  EXPECT_FIELD(VrelBufferDescriptor, struct_size, 0u);
  EXPECT_FIELD(VrelBufferDescriptor, abi_version, 4u);
  EXPECT_FIELD(VrelBufferDescriptor, data, 8u);
  EXPECT_FIELD(VrelBufferDescriptor, capacity, 16u);
  EXPECT_FIELD(VrelBufferDescriptor, alignment, 24u);
  EXPECT_FIELD(VrelBufferDescriptor, device_type, 32u);
  EXPECT_FIELD(VrelBufferDescriptor, device_index, 36u);
  EXPECT_FIELD(VrelBufferDescriptor, flags, 40u);
  EXPECT_FIELD(VrelBufferDescriptor, reserved_word, 44u);
  EXPECT_FIELD(VrelBufferDescriptor, reserved, 48u);
}

TEST(Layout, CapabilityReport) {
  EXPECT_EQ(sizeof(VrelCapabilityReport), 112u);
  EXPECT_FIELD(VrelCapabilityReport, struct_size, 0u);
  EXPECT_FIELD(VrelCapabilityReport, abi_version, 4u);
  EXPECT_FIELD(VrelCapabilityReport, records, 8u);
  EXPECT_FIELD(VrelCapabilityReport, record_capacity, 16u);
  EXPECT_FIELD(VrelCapabilityReport, record_count, 24u);
  EXPECT_FIELD(VrelCapabilityReport, records_required, 32u);
  EXPECT_FIELD(VrelCapabilityReport, strings, 40u);
  EXPECT_FIELD(VrelCapabilityReport, string_capacity, 48u);
  EXPECT_FIELD(VrelCapabilityReport, strings_end, 56u);
  EXPECT_FIELD(VrelCapabilityReport, strings_required, 64u);
  EXPECT_FIELD(VrelCapabilityReport, probe_flags, 72u);
  EXPECT_FIELD(VrelCapabilityReport, status_flags, 76u);
  EXPECT_FIELD(VrelCapabilityReport, reserved, 80u);
}

TEST(Layout, CapabilityRecord) {
  EXPECT_EQ(sizeof(VrelCapabilityRecord), 96u);
  EXPECT_FIELD(VrelCapabilityRecord, struct_size, 0u);
  EXPECT_FIELD(VrelCapabilityRecord, abi_version, 4u);
  EXPECT_FIELD(VrelCapabilityRecord, category, 8u);
  EXPECT_FIELD(VrelCapabilityRecord, zero0, 12u);
  EXPECT_FIELD(VrelCapabilityRecord, key, 16u);
  EXPECT_FIELD(VrelCapabilityRecord, value_type, 20u);
  EXPECT_FIELD(VrelCapabilityRecord, zero1, 24u);
  EXPECT_FIELD(VrelCapabilityRecord, zero2, 28u);
  EXPECT_FIELD(VrelCapabilityRecord, value, 32u);
  EXPECT_FIELD(VrelCapabilityRecord, value2, 40u);
  EXPECT_FIELD(VrelCapabilityRecord, text, 48u);
  EXPECT_FIELD(VrelCapabilityRecord, text_size, 56u);
  EXPECT_FIELD(VrelCapabilityRecord, zero3, 64u);
}

TEST(Layout, ConstantsAndVersion) {
  EXPECT_EQ(vrel_get_abi_version(), 65536u);
  EXPECT_EQ(vrel_test_c_abi_version(), 65536u);
  EXPECT_EQ(VREL_STATUS_ABI_MISMATCH, 6);
  EXPECT_EQ(VREL_DTYPE_BOOL, 5u);
  EXPECT_EQ(VREL_TENSOR_OUTPUT, 2u);
}
