// The test writer against hand-made bytes, then files of that writer read back exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/io/ply_support.hpp"
#include "tests/io/ply_writer.hpp"

namespace vrel::test {
namespace {

TEST(PlyWriter, AsciiMatchesHandWrittenText) {
  ply::Document doc = ply::mesh_document({0.5, -1, 2, 3, 4.25, -0.125}, {1, 0, 1}, false, "float",
                                         "uchar", "int", {{"uchar", "red", ""}});
  doc.comments = {"hand check"};
  EXPECT_EQ(ply::write(doc),
            "ply\nformat ascii 1.0\ncomment hand check\nelement vertex 2\nproperty float "
            "x\nproperty float y\n"
            "property float z\nproperty uchar red\nelement face 1\nproperty list uchar int "
            "vertex_indices\n"
            "end_header\n0.5 -1 2 0\n3 4.25 -0.125 1\n3 1 0 1\n");
  doc.crlf = true;
  const std::string crlf = ply::write(doc);
  EXPECT_EQ(crlf.substr(0, 27), "ply\r\nformat ascii 1.0\r\ncomm");
  EXPECT_NE(crlf.find("end_header\r\n0.5 -1 2 0\n"), std::string::npos)
      << "only header lines end in CRLF";
}

TEST(PlyWriter, BinaryMatchesHandWrittenBytes) {
  ply::Document doc = ply::mesh_document({1, -2, 0.5}, {0, 0, 0}, true, "float", "ushort", "short");
  doc.elements[0].properties.push_back({"double", "w", ""});
  doc.elements[0].instances[0].push_back({-1.5});
  doc.elements[0].properties.push_back({"char", "c", ""});
  doc.elements[0].instances[0].push_back({-2});
  doc.elements[1].instances[0][0] = {258, 1, 65535 - 32768};
  const std::string header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
      "property float z\nproperty double w\nproperty char c\nelement face 1\n"
      "property list ushort short vertex_indices\nend_header\n";
  const unsigned char body[] = {
      0x00, 0x00, 0x80, 0x3F,                          // 1.0f
      0x00, 0x00, 0x00, 0xC0,                          // -2.0f
      0x00, 0x00, 0x00, 0x3F,                          // 0.5f
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0xBF,  // -1.5
      0xFE,                                            // (char)-2
      0x03, 0x00,                                      // count 3 as ushort
      0x02, 0x01, 0x01, 0x00, 0xFF, 0x7F,              // 258, 1, 32767 as short
  };
  EXPECT_EQ(ply::write(doc),
            header + std::string(reinterpret_cast<const char*>(body), sizeof body));
  doc.elements[1].instances[0][0] = {40000, 1, 2};
  EXPECT_THROW(ply::write(doc), std::invalid_argument) << "40000 is not a short";
  doc.elements[0].instances[0][0] = {0.1};
  EXPECT_THROW(ply::write(doc), std::invalid_argument) << "0.1 is not a float32";
}

// A random mesh whose coordinates are exact in `coordinate_type`.
struct RandomMesh {
  std::vector<double> vertices;
  std::vector<int32_t> faces;
};

RandomMesh random_mesh(std::mt19937_64& rng, int v, int f, const std::string& coordinate_type) {
  RandomMesh m;
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  for (int i = 0; i < 3 * v; ++i) {
    double x = std::ldexp(uniform(rng), exponent(rng));
    if (coordinate_type == "float") x = static_cast<float>(x);
    if (coordinate_type == "short") x = std::round(uniform(rng) * 32767);
    m.vertices.push_back(x);
  }
  for (int i = 0; i < 3 * f; ++i)
    m.faces.push_back(static_cast<int32_t>(rng() % static_cast<uint64_t>(v)));
  return m;
}

TEST(PlyRoundTrip, WrittenFilesReadBackExactly) {
  std::mt19937_64 rng(2024);
  struct Case {
    bool binary;
    const char* coordinates;
    const char* count;
    const char* index;
    int vertices;
  };
  const Case cases[] = {
      {false, "float", "uchar", "int", 500},     {true, "float", "uchar", "int", 500},
      {false, "double", "uint8", "uint32", 300}, {true, "double", "int", "uint", 300},
      {true, "short", "ushort", "ushort", 200},  {false, "short", "char", "uchar", 200},
      {true, "float32", "int16", "int32", 1000}, {false, "float64", "uint", "int16", 1000},
  };
  const std::vector<ply::Property> extras = {{"float", "nx", ""},    {"float", "ny", ""},
                                             {"float", "nz", ""},    {"uchar", "red", ""},
                                             {"uchar", "green", ""}, {"uchar", "blue", ""}};
  for (const Case& c : cases) {
    const int v = c.vertices;  // uchar indices need v <= 256
    const RandomMesh mesh = random_mesh(
        rng, v, 2 * v, std::string(c.coordinates) == "float32" ? "float" : c.coordinates);
    ply::Document doc = ply::mesh_document(mesh.vertices, mesh.faces, c.binary, c.coordinates,
                                           c.count, c.index, extras);
    // An element after the faces with a list of its own.
    doc.elements.push_back(
        {"material", {{"int", "ids", "uchar"}, {"double", "shine", ""}}, {{{1, 2, 3}, {0.5}}}});
    doc.crlf = !c.binary;
    const std::string bytes = ply::write(doc);
    const ReadResult<double> d = read_ply<double>(bytes);
    ASSERT_EQ(d.status, 0) << c.coordinates << ": " << d.message;
    // ASCII float32 values are written with 9 digits; a float64 view holds the decimal as written,
    // which rounds back to the float32 value.
    std::vector<double> expected = mesh.vertices;
    if (!c.binary && std::string(c.coordinates).rfind("float", 0) == 0 &&
        std::string(c.coordinates) != "float64") {
      for (double& x : expected) {
        char text[40];
        std::snprintf(text, sizeof text, "%.9g", x);
        x = std::strtod(text, nullptr);
      }
    }
    EXPECT_EQ(d.vertices, expected) << c.coordinates << (c.binary ? " binary" : " ascii");
    EXPECT_EQ(d.faces, mesh.faces);
    const ReadResult<float> f = read_ply<float>(bytes);
    ASSERT_EQ(f.status, 0);
    for (std::size_t i = 0; i < mesh.vertices.size(); ++i)
      ASSERT_EQ(f.vertices[i], static_cast<float>(mesh.vertices[i])) << c.coordinates << " " << i;
  }
}

}  // namespace
}  // namespace vrel::test
