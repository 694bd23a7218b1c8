// The PlyInfo layout, the read's workspace query, and the bad-input sweep over every io export.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "tests/io/ply_support.hpp"
#include "tests/support/bad_input.hpp"

namespace vrel::test {
namespace {

static_assert(sizeof(VrelPlyInfo) == 40);
static_assert(offsetof(VrelPlyInfo, struct_size) == 0);
static_assert(offsetof(VrelPlyInfo, abi_version) == 4);
static_assert(offsetof(VrelPlyInfo, format) == 8);
static_assert(offsetof(VrelPlyInfo, reserved_word) == 12);
static_assert(offsetof(VrelPlyInfo, vertex_count) == 16);
static_assert(offsetof(VrelPlyInfo, face_count) == 24);
static_assert(offsetof(VrelPlyInfo, header_size) == 32);
static_assert(VREL_PLY_FORMAT_ASCII == 0 && VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN == 1);

TEST(PlyInfoLayout, ProbeWritesEachFieldAtItsOffset) {
  const std::string header = triangle_header("binary_little_endian", 258, 3);
  const std::string text = header + std::string(258 * 12 + 3 * 13, '\0');
  unsigned char raw[48];
  std::memset(raw, 0xCC, sizeof raw);
  const uint32_t size = 40;
  std::memcpy(raw, &size, 4);
  ASSERT_EQ(vrel_io_ply_probe(text.data(), static_cast<int64_t>(text.size()), nullptr,
                              reinterpret_cast<VrelPlyInfo*>(raw), nullptr),
            0);
  auto word = [&](std::size_t offset, std::size_t width) {
    uint64_t v = 0;
    std::memcpy(&v, raw + offset, width);
    return v;
  };
  EXPECT_EQ(word(4, 4), 0xCCCCCCCCu);
  EXPECT_EQ(word(8, 4), 1u);
  EXPECT_EQ(word(12, 4), 0u);
  EXPECT_EQ(word(16, 8), 258u);
  EXPECT_EQ(word(24, 8), 3u);
  EXPECT_EQ(word(32, 8), header.size());
  EXPECT_EQ(word(40, 8), 0xCCCCCCCCCCCCCCCCu) << "nothing past the record is written";
}

TEST(PlyReadWorkspace, AlwaysZeroBytes) {
  VrelPlyInfo info = ply_info();
  uint64_t bytes = 9, alignment = 9;
  const VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(vrel_io_ply_read_workspace(&info, &cuda, &bytes, &alignment), 0)
      << "the context is ignored";
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  info.struct_size = 48;
  EXPECT_EQ(vrel_io_ply_read_workspace(&info, nullptr, &bytes, &alignment), 1);
}

class IoBadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrel_io_bad_XXXXXX.ply";
    const int fd = mkstemps(pattern, 4);
    ASSERT_GE(fd, 0);
    close(fd);
    path = pattern;
    FILE* f = std::fopen(pattern, "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    info = probe(text).info;
  }
  void TearDown() override { std::remove(path.c_str()); }

  std::string text = triangle_header("ascii", 2, 1) + "1 2 3 4 5 6\n3 0 1 1\n";
  std::string path;
  VrelPlyInfo info{};
  VrelExecutionContext context = cpu_context();
  Tensor<float> vertices{{2, 3}};
  Tensor<int32_t> faces{{1, 3}};
  View vertex_view = vertices.out();
  View face_view = faces.out();
  Diag diag;
  std::vector<Region> views() {
    return {{vertices.ptr(), vertices.bytes()}, {faces.ptr(), faces.bytes()}};
  }
};

TEST_F(IoBadInput, FileReadAll) {
  VrelBufferDescriptor buffer{};
  buffer.struct_size = sizeof buffer;
  buffer.abi_version = VREL_ABI_VERSION;
  // Successful calls hand out memory: give it back so that every call is balanced.
  auto read_all = [](const char* p, const VrelExecutionContext* c, VrelBufferDescriptor* b,
                     VrelDiagnostic* d) {
    const VrelStatus status = vrel_io_file_read_all(p, c, b, d);
    if (status == VREL_STATUS_OK) vrel_io_file_release(b);
    return status;
  };
  // The buffer is an output record: only its size word is examined.
  check_bad_inputs("io.file_read_all", read_all,
                   std::make_tuple(path.c_str(), &context, &buffer, diag.get()),
                   BadInputPlan{{}, {{1, VREL_STATUS_OK}}, {2}});
}

TEST_F(IoBadInput, FileRelease) {
  VrelBufferDescriptor buffer{};
  buffer.struct_size = sizeof buffer;
  check_bad_inputs("io.file_release", vrel_io_file_release, std::make_tuple(&buffer),
                   BadInputPlan{{}, {}, {0}});
}

TEST_F(IoBadInput, PlyProbe) {
  VrelPlyInfo out = ply_info();
  check_bad_inputs(
      "io.ply_probe", vrel_io_ply_probe,
      std::make_tuple(text.data(), static_cast<int64_t>(text.size()), &context, &out, diag.get()),
      BadInputPlan{{{&out.abi_version, sizeof out - 4}}, {{2, VREL_STATUS_OK}}, {}});
}

TEST_F(IoBadInput, PlyRead) {
  VrelBufferDescriptor workspace{};
  check_bad_inputs("io.ply_read", vrel_io_ply_read,
                   std::make_tuple(text.data(), static_cast<int64_t>(text.size()), &info, &context,
                                   vertex_view.get(), face_view.get(), &workspace, diag.get()),
                   BadInputPlan{views(), {{3, VREL_STATUS_OK}, {6, VREL_STATUS_OK}}, {6}}, {4, 5});
}

TEST_F(IoBadInput, PlyReadWorkspace) {
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("io.ply_read_workspace", vrel_io_ply_read_workspace,
                   std::make_tuple(&info, &context, &bytes, &alignment),
                   BadInputPlan{{{&bytes, 8}, {&alignment, 8}}, {{1, VREL_STATUS_OK}}, {1}});
}

TEST_F(IoBadInput, PlyProbeFile) {
  VrelPlyInfo out = ply_info();
  check_bad_inputs("io.ply_probe_file", vrel_io_ply_probe_file,
                   std::make_tuple(path.c_str(), &context, &out, diag.get()),
                   BadInputPlan{{{&out.abi_version, sizeof out - 4}}, {{1, VREL_STATUS_OK}}, {}});
}

TEST_F(IoBadInput, PlyReadFile) {
  VrelPlyInfo out{};
  std::vector<Region> watched = views();
  watched.push_back({&out, sizeof out});
  check_bad_inputs(
      "io.ply_read_file", vrel_io_ply_read_file,
      std::make_tuple(path.c_str(), &context, &out, vertex_view.get(), face_view.get(), diag.get()),
      BadInputPlan{watched, {{1, VREL_STATUS_OK}}, {}}, {3, 4});
}

}  // namespace
}  // namespace vrel::test
