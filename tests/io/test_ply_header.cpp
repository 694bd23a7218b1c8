// Header rules: each rule with its status, and what the probe reports.
#include <gtest/gtest.h>

#include <string>

#include "tests/io/ply_support.hpp"

namespace vrel::test {
namespace {

const std::string kVertex =
    "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n";
const std::string kFace = "element face 1\nproperty list uchar int vertex_indices\n";

std::string header(const std::string& format_line, const std::string& elements) {
  return "ply\n" + format_line + "\n" + elements + "end_header\n";
}
std::string ascii(const std::string& elements) { return header("format ascii 1.0", elements); }
// An ASCII body of `n` one-character values.
std::string tokens(int n) {
  std::string body;
  for (int i = 0; i < n; ++i) body += "0\n";
  return body;
}

struct HeaderCase {
  const char* name;
  std::string text;
  VrelStatus status;
};

std::string many(const std::string& line, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += line;
  return out;
}

class HeaderRules : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderRules, ProbeReportsTheRuleStatus) {
  const HeaderCase& c = GetParam();
  // Each header with a body that can hold its counts: the probe also refuses counts the bytes
  // after the header cannot hold.
  const Probed p = probe(c.text + tokens(2048));
  EXPECT_EQ(p.status, c.status) << p.message;
  if (c.status != VREL_STATUS_OK) {
    EXPECT_FALSE(p.message.empty());
    EXPECT_EQ(p.info.vertex_count, 0u) << "a failing probe wrote its record";
  }
}

const std::string kProps64 = many("property uchar p\n", 61);

INSTANTIATE_TEST_SUITE_P(
    Ply, HeaderRules,
    ::testing::Values(
        HeaderCase{"minimal", ascii(kVertex), 0},
        HeaderCase{"with_face", ascii(kVertex + kFace), 0},
        HeaderCase{"crlf", "ply\r\nformat ascii 1.0\r\n" + kVertex + "end_header\r\n", 0},
        HeaderCase{"tabs_and_blank_lines",
                   "ply\nformat\tascii  1.0\n\n  \t\nelement vertex 1\nproperty float x\n"
                   "property float y\nproperty\tfloat\tz\r\nend_header\n",
                   0},
        HeaderCase{"comments",
                   "ply\ncomment anything at all\nobj_info made by hand\n" +
                       std::string("format ascii 1.0\n") + kVertex + "end_header\n",
                   0},
        HeaderCase{"first_line_with_space", "ply \nformat ascii 1.0\n" + kVertex + "end_header\n",
                   1},
        HeaderCase{"first_line_upper_case", "PLY\nformat ascii 1.0\n" + kVertex + "end_header\n",
                   1},
        HeaderCase{"no_line_feed", "ply", 1},
        HeaderCase{"ends_inside_header", "ply\nformat ascii 1.0\n" + kVertex + "end_header", 1},
        HeaderCase{"version_1_1", header("format ascii 1.1", kVertex), 2},
        HeaderCase{"big_endian", header("format binary_big_endian 1.0", kVertex), 2},
        HeaderCase{"unknown_format", header("format binary 1.0", kVertex), 1},
        HeaderCase{"unknown_format_bad_version", header("format binary 2.0", kVertex), 2},
        HeaderCase{"format_without_version", header("format ascii", kVertex), 1},
        HeaderCase{"format_twice", header("format ascii 1.0\nformat ascii 1.0", kVertex), 1},
        HeaderCase{"element_before_format", "ply\n" + kVertex + "format ascii 1.0\nend_header\n",
                   1},
        HeaderCase{"end_header_before_format", "ply\nend_header\n", 1},
        HeaderCase{"no_element", ascii(""), 1},
        HeaderCase{"sixteen_elements", ascii(kVertex + many("element e 0\n", 15)), 0},
        HeaderCase{"seventeen_elements", ascii(kVertex + many("element e 0\n", 16)), 2},
        HeaderCase{"negative_count", ascii("element vertex -1\nproperty float x\n"), 1},
        HeaderCase{"count_with_fraction", ascii("element vertex 1.0\nproperty float x\n"), 1},
        HeaderCase{"count_beyond_int64", ascii("element vertex 9223372036854775808\n"), 1},
        HeaderCase{"largest_count", ascii(kVertex + "element e 9223372036854775807\n"), 0},
        HeaderCase{"property_before_element", ascii("property float x\n" + kVertex), 1},
        HeaderCase{"sixty_four_properties", ascii(kVertex + kProps64), 0},
        HeaderCase{"sixty_five_properties", ascii(kVertex + kProps64 + "property uchar q\n"), 2},
        HeaderCase{"list_in_vertex", ascii(kVertex + "property list uchar int n\n"), 2},
        HeaderCase{"list_in_vertex_unknown_type", ascii(kVertex + "property list foo int n\n"), 2},
        HeaderCase{"unknown_scalar_type", ascii(kVertex + "property half w\n"), 1},
        HeaderCase{"type_names_are_case_sensitive", ascii(kVertex + "property Float w\n"), 1},
        HeaderCase{"unknown_list_type",
                   ascii(kVertex + "element face 0\nproperty list uchar long vertex_indices\n"), 1},
        HeaderCase{"float_list_count",
                   ascii(kVertex + "element face 0\nproperty list float int vertex_indices\n"), 2},
        HeaderCase{"float_list_item",
                   ascii(kVertex + "element face 0\nproperty list uchar double vertex_indices\n"),
                   2},
        HeaderCase{"list_without_name",
                   ascii(kVertex + "element face 0\nproperty list uchar int\n"), 1},
        HeaderCase{"unknown_keyword", ascii(kVertex + "elements face 0\n"), 1},
        HeaderCase{"axis_twice", ascii(kVertex + "property double x\n"), 1},
        HeaderCase{"axis_missing", ascii("element vertex 1\nproperty float x\nproperty float y\n"),
                   1},
        HeaderCase{"face_without_index_list",
                   ascii(kVertex + "element face 1\nproperty list uchar int indices\n"), 1},
        HeaderCase{"empty_face_without_index_list",
                   ascii(kVertex + "element face 0\nproperty int a\n"), 0},
        HeaderCase{"vertex_index_name",
                   ascii(kVertex + "element face 1\nproperty list uchar uint vertex_index\n"), 0},
        HeaderCase{"no_vertex_element", ascii(kFace), 1}),
    [](const ::testing::TestParamInfo<HeaderCase>& param) {
      return std::string(param.param.name);
    });

TEST(PlyProbe, ReportsFormatCountsAndBodyOffset) {
  const std::string text =
      "ply\r\nformat binary_little_endian 1.0\r\nelement vertex 7\r\nproperty float x\r\n"
      "property float y\r\nproperty float z\r\nelement face 5\r\n"
      "property list uchar int vertex_indices\r\nend_header\r\n";
  // A body that can hold the counts (the probe refuses counts the remaining bytes cannot hold).
  const std::string data = text + std::string(7 * 12 + 5 * 13, '\0');
  VrelPlyInfo info;
  std::memset(&info, 0xEE, sizeof info);
  info.struct_size = sizeof info;
  Diag diag;
  ASSERT_EQ(vrel_io_ply_probe(data.data(), static_cast<int64_t>(data.size()), nullptr, &info, diag),
            0);
  EXPECT_EQ(info.format, VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN);
  EXPECT_EQ(info.reserved_word, 0u);
  EXPECT_EQ(info.vertex_count, 7u);
  EXPECT_EQ(info.face_count, 5u);
  EXPECT_EQ(info.header_size, text.size());
  EXPECT_EQ(info.abi_version, 0xEEEEEEEEu) << "the probe does not touch abi_version";
}

TEST(PlyProbe, CountsComeFromTheLastVertexAndFaceElements) {
  const Probed p =
      probe(ascii(kVertex + kFace +
                  "element vertex 4\nproperty float z\nproperty float y\n"
                  "property float x\nelement face 0\nproperty list uchar int vertex_indices\n") +
            tokens(16));
  ASSERT_EQ(p.status, 0) << p.message;
  EXPECT_EQ(p.info.vertex_count, 4u);
  EXPECT_EQ(p.info.face_count, 0u);
}

TEST(PlyProbe, HeaderWithoutFaceElementHasNoFaces) {
  const Probed p = probe(ascii(kVertex + "element normal 3\nproperty float n\n") + tokens(6));
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(p.info.face_count, 0u);
  EXPECT_EQ(p.info.format, VREL_PLY_FORMAT_ASCII);
}

TEST(PlyProbe, ArgumentsAreCheckedBeforeTheContext) {
  const std::string text = ascii(kVertex) + tokens(3);
  VrelPlyInfo info = ply_info();
  VrelExecutionContext bad = cpu_context();
  bad.reserved_word = 1;
  Diag diag;
  EXPECT_EQ(vrel_io_ply_probe(text.data(), -1, &bad, &info, diag), 1);
  EXPECT_EQ(diag.text(), "PLY data size must be nonnegative");
  info.struct_size = 41;
  EXPECT_EQ(vrel_io_ply_probe(text.data(), 3, &bad, &info, diag), 1);
  EXPECT_EQ(diag.text(), "PLY info struct_size must be 40");
  info.struct_size = 40;
  EXPECT_EQ(vrel_io_ply_probe(text.data(), static_cast<int64_t>(text.size()), &bad, &info, diag),
            1);
  EXPECT_EQ(diag.text(), "execution context reserved fields must be zero");
  EXPECT_EQ(vrel_io_ply_probe(text.data(), 0, nullptr, &info, diag), 1) << "empty data";
  const VrelExecutionContext cuda = cuda_context();
  EXPECT_EQ(vrel_io_ply_probe(text.data(), static_cast<int64_t>(text.size()), &cuda, &info, diag),
            0)
      << "a valid CUDA context is accepted; parsing happens on the host";
}

}  // namespace
}  // namespace vrel::test
