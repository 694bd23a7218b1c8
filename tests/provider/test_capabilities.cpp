// The capability query and the probe's argument rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/bad_input.hpp"
#include "tests/support/views.hpp"

using namespace vrel::test;

namespace {

VrelCapabilityReport empty_report() {
  VrelCapabilityReport r{};
  r.struct_size = sizeof r;
  r.abi_version = VREL_ABI_VERSION;
  return r;
}

}  // namespace

TEST(Capabilities, SizingCallReportsTheRequiredCounts) {
  VrelCapabilityReport r = empty_report();
  Diag diag;
  EXPECT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_INSUFFICIENT_CAPACITY);
  EXPECT_EQ(diag.text(), "capability report buffers are too small");
  EXPECT_EQ(r.records_required, 12u);
  // "0.2.0", "linux", the processor, the compiler and "little", each with its terminator.
  const std::size_t processor = std::strlen(
#if defined(__x86_64__)
      "x86_64"
#else
      "aarch64"
#endif
  );
  const std::string compiler =
#if defined(__clang__)
      "clang-" + std::to_string(__clang_major__);
#else
      "gcc-" + std::to_string(__GNUC__);
#endif
  EXPECT_EQ(r.strings_required, 6u + 6u + (processor + 1) + (compiler.size() + 1) + 7u);
  EXPECT_EQ(r.record_count, 0u);
  EXPECT_EQ(r.strings_end, nullptr);
  EXPECT_EQ(r.status_flags, 1u);
}

TEST(Capabilities, QueryFillsTheTwelveCoreRecords) {
  VrelCapabilityReport r = empty_report();
  vrel_capabilities_query(&r, nullptr);
  std::vector<VrelCapabilityRecord> records(r.records_required);
  std::vector<char> pool(r.strings_required);
  r.records = records.data();
  r.record_capacity = records.size();
  r.strings = pool.data();
  r.string_capacity = pool.size();
  Diag diag;
  ASSERT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_OK) << diag.text();
  EXPECT_EQ(r.record_count, 12u);
  EXPECT_EQ(r.status_flags, 1u);
  EXPECT_EQ(r.probe_flags, 0u);
  EXPECT_EQ(r.strings_end, pool.data() + pool.size());
  const uint32_t categories[12] = {1, 1, 1, 1, 1, 1, 1, 4, 4, 1, 1, 7};
  const uint64_t values[12] = {0x10000, 0, 64, 0, 0, 0, 0, 1, 0, 62, 2, 19};
  for (uint32_t i = 0; i < 12; ++i) {
    EXPECT_EQ(records[i].struct_size, 96u);
    EXPECT_EQ(records[i].abi_version, 0x10000u);
    EXPECT_EQ(records[i].key, i + 1);
    EXPECT_EQ(records[i].category, categories[i]);
    EXPECT_EQ(records[i].value, values[i]);
    EXPECT_EQ(records[i].value2, 0u);
  }
  EXPECT_STREQ(records[1].text, "0.2.0");
  EXPECT_EQ(records[1].text_size, 6u);
  EXPECT_STREQ(records[3].text, "linux");
  EXPECT_STREQ(records[6].text, "little");
  EXPECT_EQ(records[0].text, nullptr);
  EXPECT_EQ(records[7].value_type, VREL_CAPABILITY_BOOLEAN);
}

TEST(Capabilities, ArgumentRules) {
  VrelCapabilityReport r = empty_report();
  Diag diag;
  EXPECT_EQ(vrel_capabilities_query(nullptr, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "capability report pointer is null");
  r.reserved[1] = 1;
  EXPECT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "capability report reserved fields must be zero");
  r = empty_report();
  r.record_capacity = 3;
  EXPECT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "nonzero record capacity requires a record buffer");
  r = empty_report();
  r.string_capacity = 3;
  EXPECT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "nonzero string capacity requires a string buffer");
  r = empty_report();
  r.struct_size = 111;
  EXPECT_EQ(vrel_capabilities_query(&r, diag), VREL_STATUS_ABI_MISMATCH);

  r = empty_report();
  EXPECT_EQ(vrel_capabilities_probe(0, &r, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "the full capability-probe flag is required");
  EXPECT_EQ(vrel_capabilities_probe(2, &r, diag), VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "the full capability-probe flag is required");
  // The unsupported-flag test comes first: 4 lacks the full-probe bit but fails with status 2.
  for (uint32_t flags : {4u, 5u, 6u}) {
    EXPECT_EQ(vrel_capabilities_probe(flags, &r, diag), VREL_STATUS_UNSUPPORTED) << flags;
    EXPECT_EQ(diag.text(), "capability probe contains an unsupported flag");
  }
  EXPECT_EQ(vrel_capabilities_probe(3, nullptr, diag), VREL_STATUS_INVALID_ARGUMENT);
}

TEST(Capabilities, TooSmallWritesNothingButTheCounts) {
  std::vector<VrelCapabilityRecord> records(11);
  std::vector<char> pool(64, 'z');
  VrelCapabilityReport r = empty_report();
  r.records = records.data();
  r.record_capacity = records.size();
  r.strings = pool.data();
  r.string_capacity = pool.size();
  std::memset(records.data(), 0x5A, records.size() * sizeof records[0]);
  EXPECT_EQ(vrel_capabilities_query(&r, nullptr), VREL_STATUS_INSUFFICIENT_CAPACITY);
  for (char c : pool) EXPECT_EQ(c, 'z');
  const auto* bytes = reinterpret_cast<const unsigned char*>(records.data());
  for (std::size_t i = 0; i < records.size() * sizeof records[0]; ++i) ASSERT_EQ(bytes[i], 0x5A);
}

TEST(BadInput, CapabilityExports) {
  std::vector<VrelCapabilityRecord> records(64);
  std::vector<char> pool(8192);
  VrelCapabilityReport r = empty_report();
  r.records = records.data();
  r.record_capacity = records.size();
  r.strings = pool.data();
  r.string_capacity = pool.size();
  Diag diag;
  BadInputPlan plan;
  plan.outputs = {{records.data(), records.size() * sizeof records[0]}, {pool.data(), pool.size()}};
  check_bad_inputs("capabilities_query", vrel_capabilities_query, std::make_tuple(&r, diag.get()),
                   plan);
  check_bad_inputs("capabilities_probe", vrel_capabilities_probe,
                   std::make_tuple(uint32_t{1}, &r, diag.get()), plan);
}
