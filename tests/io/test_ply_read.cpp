// Body rules of the PLY read: what is stored, what is refused, and that a refused read leaves
// both views untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/io/ply_support.hpp"
#include "tests/io/ply_writer.hpp"

namespace vrel::test {
namespace {

const std::string kTriangle =
    triangle_header("ascii", 3, 1) + "0 0 0\n1.5 -2 3e2\n0.1 1 -0\n3 0 1 2\n";

TEST(PlyRead, AsciiTriangleInBothDtypes) {
  const ReadResult<double> d = read_ply<double>(kTriangle);
  ASSERT_EQ(d.status, 0) << d.message;
  EXPECT_EQ(d.vertices, (std::vector<double>{0, 0, 0, 1.5, -2, 300, 0.1, 1, -0.0}));
  EXPECT_TRUE(std::signbit(d.vertices[8]));
  EXPECT_EQ(d.faces, (std::vector<int32_t>{0, 1, 2}));
  const ReadResult<float> f = read_ply<float>(kTriangle);
  ASSERT_EQ(f.status, 0) << f.message;
  EXPECT_EQ(f.vertices, (std::vector<float>{0, 0, 0, 1.5f, -2, 300, 0.1f, 1, -0.0f}));
  EXPECT_EQ(f.faces, d.faces);
}

TEST(PlyRead, CrlfFileReadsLikeLf) {
  std::string crlf;
  for (char c : kTriangle) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const ReadResult<double> a = read_ply<double>(kTriangle), b = read_ply<double>(crlf);
  ASSERT_EQ(b.status, 0) << b.message;
  EXPECT_EQ(a.vertices, b.vertices);
  EXPECT_EQ(a.faces, b.faces);
}

TEST(PlyRead, ExtraVertexPropertiesAndElementsAreSkipped) {
  const std::string text =
      "ply\nformat ascii 1.0\nelement camera 1\nproperty list int short view\nproperty double f\n"
      "element vertex 2\nproperty uchar red\nproperty float nx\nproperty float z\nproperty float "
      "ny\n"
      "property float y\nproperty float nz\nproperty float x\nproperty uchar alpha\n"
      "element face 1\nproperty uchar flags\nproperty list uchar int vertex_indices\n"
      "property list int uint texcoord\nelement edge 1\nproperty int a\nproperty int "
      "b\nend_header\n"
      "3 1 2 3 9.5\n"
      "255 0.5 3 0.25 2 1 1 7\n"
      "0 9 6 8 5 9 4 255\n"
      "1 3 1 0 1 2 4 4\n"
      "0 1\n";
  const ReadResult<double> r = read_ply<double>(text);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.vertices, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(r.faces, (std::vector<int32_t>{1, 0, 1}));
}

TEST(PlyRead, BinaryAxesAreFoundAmongOtherPropertiesInAnyOrder) {
  // Binary elements without lists are read as fixed-size records: the axes sit at computed offsets
  // (all-float32 axes and mixed axis types take different paths), and the elements around the
  // vertex element shift where its records start.
  const ply::Element before{"camera", {{"double", "f", ""}, {"uchar", "id", ""}}, {{{0.5}, {7}}}};
  const ply::Element list_before{"tags", {{"int", "t", "uchar"}}, {{{1, 2}}, {{}}}};
  const ply::Element after{"edge", {{"int", "a", ""}, {"short", "b", ""}}, {{{1}, {-2}}}};
  struct Case {
    std::vector<ply::Property> properties;
    std::vector<ply::Instance> instances;
  };
  const Case cases[] = {
      {{{"float", "nx", ""},
        {"float", "z", ""},
        {"uchar", "red", ""},
        {"float", "x", ""},
        {"double", "w", ""},
        {"float", "y", ""}},
       {{{9}, {3}, {200}, {1}, {-1e300}, {2}}, {{-9}, {6}, {0}, {4}, {0.25}, {5}}}},
      {{{"uchar", "red", ""},
        {"double", "z", ""},
        {"short", "ny", ""},
        {"float", "y", ""},
        {"char", "q", ""},
        {"int", "x", ""}},
       {{{1}, {3}, {-300}, {2}, {-5}, {1}}, {{255}, {6}, {300}, {5}, {5}, {4}}}},
  };
  for (const Case& c : cases) {
    for (bool lists : {false, true}) {
      ply::Document doc;
      doc.binary = true;
      doc.elements = {lists ? list_before : before, {"vertex", c.properties, c.instances}, after};
      const ReadResult<double> d = read_ply<double>(ply::write(doc));
      ASSERT_EQ(d.status, 0) << d.message;
      EXPECT_EQ(d.vertices, (std::vector<double>{1, 2, 3, 4, 5, 6}))
          << c.properties[0].name << lists;
      const ReadResult<float> f = read_ply<float>(ply::write(doc));
      ASSERT_EQ(f.status, 0) << f.message;
      EXPECT_EQ(f.vertices, (std::vector<float>{1, 2, 3, 4, 5, 6}))
          << c.properties[0].name << lists;
    }
  }
}

TEST(PlyRead, BinaryCoordinatesOfEveryScalarType) {
  const std::vector<int32_t> faces = {0, 1, 0};
  struct Case {
    const char* type;
    std::vector<double> values;
  };
  const Case cases[] = {
      {"char", {-128, 127, 0, -1, 5, 100}},
      {"int8", {-3, 4, -5, 6, -7, 8}},
      {"uchar", {0, 255, 128, 1, 2, 3}},
      {"uint8", {9, 8, 7, 6, 5, 4}},
      {"short", {-32768, 32767, -1, 0, 2, 3}},
      {"int16", {1, -2, 3, -4, 5, -6}},
      {"ushort", {0, 65535, 40000, 1, 2, 3}},
      {"uint16", {65535, 1, 2, 3, 4, 5}},
      {"int", {-2147483648.0, 2147483647, -1, 0, 16777217, 3}},
      {"int32", {1, 2, 3, 4, 5, 6}},
      {"uint", {0, 4294967295.0, 3000000000.0, 1, 2, 3}},
      {"uint32", {7, 8, 9, 10, 11, 12}},
      {"float", {0.1f, -1e-40f, 3.4028235e38f, -0.0, 1, 2}},
      {"float32", {1.5, 2.5, 3.5, 4.5, 5.5, 6.5}},
      {"double", {0.1, 1e-310, -1.7976931348623157e308, 1.0 / 3, 2, 3}},
      {"float64", {1e300, -2, 3, 4, 5, 6}},
  };
  for (const Case& c : cases) {
    const std::string bytes = ply::write(ply::mesh_document(c.values, faces, true, c.type));
    const ReadResult<double> d = read_ply<double>(bytes);
    ASSERT_EQ(d.status, 0) << c.type << ": " << d.message;
    EXPECT_EQ(d.vertices, c.values) << c.type;
    const ReadResult<float> f = read_ply<float>(bytes);
    bool fits = true;  // a finite double beyond the float32 range is refused for a float32 view
    for (const double v : c.values) fits = fits && std::isfinite(static_cast<float>(v));
    if (!fits) {
      EXPECT_EQ(f.status, 1) << c.type;
      EXPECT_TRUE(f.untouched) << c.type;
      continue;
    }
    ASSERT_EQ(f.status, 0) << c.type;
    for (std::size_t i = 0; i < c.values.size(); ++i)
      EXPECT_EQ(f.vertices[i], static_cast<float>(c.values[i])) << c.type << " value " << i;
  }
}

TEST(PlyRead, BinaryListCountsAndItemsOfEveryIntegerType) {
  const char* types[] = {"char",   "int8",   "uchar", "uint8", "short", "int16",
                         "ushort", "uint16", "int",   "int32", "uint",  "uint32"};
  const std::vector<double> vertices(3 * 128, 0.25);
  const std::vector<int32_t> faces = {0, 127, 64, 5, 6, 7};
  for (const char* count : types) {
    for (const char* item : types) {
      for (bool binary : {true, false}) {
        const std::string bytes =
            ply::write(ply::mesh_document(vertices, faces, binary, "float", count, item));
        const ReadResult<float> r = read_ply<float>(bytes);
        ASSERT_EQ(r.status, 0) << count << "/" << item << (binary ? " binary" : " ascii") << ": "
                               << r.message;
        EXPECT_EQ(r.faces, faces) << count << "/" << item;
      }
    }
  }
}

TEST(PlyRead, IndicesOutsideTheInt32RangeAreRefused) {
  struct Case {
    const char* type;
    double index;
    VrelStatus status;
  };
  const Case cases[] = {{"int", -1, 1},
                        {"char", -128, 1},
                        {"short", -2, 1},
                        {"uint", 2147483648.0, 1},
                        {"uint", 4294967295.0, 1},
                        {"uint", 2147483647.0, 0},
                        {"int", 2147483647.0, 0}};
  const std::vector<double> vertices(9, 1.0);
  for (const Case& c : cases) {
    for (bool binary : {true, false}) {
      const std::vector<int32_t> placeholder = {0, 1, 2};
      ply::Document doc =
          ply::mesh_document(vertices, placeholder, binary, "float", "uchar", c.type);
      doc.elements[1].instances[0][0][1] = c.index;
      const ReadResult<double> r = read_ply<double>(ply::write(doc));
      EXPECT_EQ(r.status, c.status) << c.type << " " << c.index;
      if (c.status != 0) {
        EXPECT_EQ(r.message, "a PLY face index lies outside [0, 2^31 - 1]");
        EXPECT_TRUE(r.untouched);
      } else {
        EXPECT_EQ(r.faces[1], 2147483647);
      }
    }
  }
  // Indices are not compared with the vertex count.
  const ReadResult<double> r =
      read_ply<double>(triangle_header("ascii", 1, 1) + "0 0 0\n3 0 5 1000\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.faces, (std::vector<int32_t>{0, 5, 1000}));
}

TEST(PlyRead, NonTriangularFacesAreRefusedWithoutWriting) {
  for (bool binary : {false, true}) {
    ply::Document doc =
        ply::mesh_document({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, {0, 1, 2, 0, 2, 3}, binary);
    doc.elements[1].instances[1][0] = {0, 1, 2, 3};  // the second face is a quad
    const ReadResult<float> quad = read_ply<float>(ply::write(doc));
    EXPECT_EQ(quad.status, 2);
    EXPECT_EQ(quad.message, "only triangular PLY faces are supported");
    EXPECT_TRUE(quad.untouched) << "the first, valid face or the vertices were written";
    doc.elements[1].instances[1][0] = {0, 1};
    EXPECT_EQ(read_ply<float>(ply::write(doc)).status, 2);
    doc.elements[1].instances[1][0] = {};
    EXPECT_EQ(read_ply<float>(ply::write(doc)).status, 2);
  }
}

TEST(PlyRead, TruncatedBodiesAreRefusedAtEveryLength) {
  const ply::Document doc =
      ply::mesh_document({1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 2, 2, 1, 0}, true, "double", "ushort",
                         "uint", {{"uchar", "red", ""}});
  const std::string full = ply::write(doc);
  const std::size_t body = static_cast<std::size_t>(probe(full).info.header_size);
  ASSERT_EQ(read_ply<double>(full).status, 0);
  for (std::size_t size = body; size < full.size(); ++size) {
    const ReadResult<double> r = read_ply<double>(full.substr(0, size));
    ASSERT_EQ(r.status, 1) << "length " << size;
    EXPECT_EQ(r.message, "the PLY body ends before its last element");
    EXPECT_TRUE(r.untouched) << "length " << size;
  }
  const std::string ascii = triangle_header("ascii", 2, 1) + "0 0 0 1 1\n";
  EXPECT_EQ(read_ply<double>(ascii).status, 1);
  EXPECT_EQ(read_ply<double>(triangle_header("ascii", 1, 1) + "0 0 0 3 0 0").status, 1);
}

TEST(PlyRead, ProbeRefusesCountsTheBodyCannotHold) {
  // A short file claiming 2^40 vertices: refused by the probe, so no view is sized from it.
  const std::string huge = triangle_header("binary_little_endian", 0, 0);
  const std::string claim = "element vertex 1099511627776";
  std::string binary = huge;
  binary.replace(binary.find("element vertex 0"), 16, claim);
  binary += std::string(200, '\0');
  std::string ascii = binary;
  ascii.replace(ascii.find("binary_little_endian"), 20, "ascii");
  for (const std::string& text : {binary, ascii}) {
    const Probed p = probe(text);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.message, "the PLY body ends before its last element");
  }
  // The bound is the smallest record: 12 bytes per float vertex, a list's count byte (an empty
  // list), and in ASCII one character and a separator per value (the last separator may be
  // missing).
  const std::string exact = triangle_header("binary_little_endian", 2, 1);
  EXPECT_EQ(probe(exact + std::string(2 * 12 + 1, '\0')).status, 0);
  EXPECT_EQ(probe(exact + std::string(2 * 12, '\0')).status, 1);
  EXPECT_EQ(probe(triangle_header("ascii", 1, 1) + "0 0 0 3").status, 0);
  EXPECT_EQ(probe(triangle_header("ascii", 1, 1) + "0 0 0 ").status, 1);
}

TEST(PlyRead, ValuesOutsideTheRequestedDtypeAreRefused) {
  const char* kMessage = "a finite PLY vertex coordinate exceeds the range of the requested dtype";
  // ASCII: 1e39 fits a double but not a float.
  const std::string ascii = triangle_header("ascii", 1, 0) + "1e39 0 0\n";
  ASSERT_EQ(read_ply<double>(ascii).status, 0);
  const ReadResult<float> narrow = read_ply<float>(ascii);
  EXPECT_EQ(narrow.status, 1);
  EXPECT_EQ(narrow.message, kMessage);
  EXPECT_TRUE(narrow.untouched);
  EXPECT_EQ(read_ply<float>(triangle_header("ascii", 1, 0) + "3.4e38 0 0\n").status, 0);
  // Binary doubles: 1e300 is refused for float32; NaN and infinities are read as stored.
  const double inf = std::numeric_limits<double>::infinity();
  const ply::Document big =
      ply::mesh_document({0, 1e300, 0}, {}, true, "double", "uchar", "int", {});
  const ReadResult<float> binary = read_ply<float>(ply::write(big));
  EXPECT_EQ(binary.status, 1);
  EXPECT_EQ(binary.message, kMessage);
  EXPECT_TRUE(binary.untouched);
  EXPECT_EQ(read_ply<double>(ply::write(big)).vertices[1], 1e300);
  const ply::Document special =
      ply::mesh_document({std::nan(""), inf, -inf}, {}, true, "double", "uchar", "int", {});
  const ReadResult<float> stored = read_ply<float>(ply::write(special));
  ASSERT_EQ(stored.status, 0) << stored.message;
  EXPECT_TRUE(std::isnan(stored.vertices[0]));
  EXPECT_EQ(stored.vertices[1], std::numeric_limits<float>::infinity());
  EXPECT_EQ(stored.vertices[2], -std::numeric_limits<float>::infinity());
}

// The 13-byte triangle records (uchar count, int or uint items) are read apart from the general
// walk: the same faces as a layout that takes the general walk, and the same refusals wherever
// the faulty record lies, with nothing written.
TEST(PlyRead, CommonTriangleRecordsReadLikeTheGeneralWalk) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> pick(0, 299);
  const std::vector<double> vertices(3 * 300, 0.5);
  std::vector<int32_t> faces(3 * 500);
  for (auto& f : faces) f = pick(rng);
  const ReadResult<float> general = read_ply<float>(
      ply::write(ply::mesh_document(vertices, faces, true, "float", "ushort", "int")));
  ASSERT_EQ(general.status, 0);
  for (const char* item : {"int", "uint"}) {
    ply::Document doc = ply::mesh_document(vertices, faces, true, "float", "uchar", item);
    const std::string full = ply::write(doc);
    const ReadResult<float> r = read_ply<float>(full);
    ASSERT_EQ(r.status, 0) << r.message;
    EXPECT_EQ(r.faces, general.faces);
    for (std::size_t cut :
         {std::size_t{1}, std::size_t{5}, std::size_t{13}, std::size_t{13 * 200 + 7}}) {
      const ReadResult<float> t = read_ply<float>(full.substr(0, full.size() - cut));
      EXPECT_EQ(t.message, "the PLY body ends before its last element") << cut;
      EXPECT_TRUE(t.untouched);
    }
    doc.elements[1].instances[321][0] = {1, 2, 3, 4};
    const ReadResult<float> quad = read_ply<float>(ply::write(doc));
    EXPECT_EQ(quad.message, "only triangular PLY faces are supported");
    EXPECT_TRUE(quad.untouched);
    doc.elements[1].instances[321][0] = {1, 2, 3};
    doc.elements[1].instances[400][0][2] = std::string(item) == "int" ? -5 : 2147483648.0;
    const ReadResult<float> range = read_ply<float>(ply::write(doc));
    EXPECT_EQ(range.message, "a PLY face index lies outside [0, 2^31 - 1]");
    EXPECT_TRUE(range.untouched);
  }
}

TEST(PlyRead, DataAfterTheLastElementIsIgnored) {
  const ReadResult<double> r = read_ply<double>(kTriangle + "garbage \x01\x02 1e999\n");
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.faces, (std::vector<int32_t>{0, 1, 2}));
}

TEST(PlyRead, AsciiValueRules) {
  const std::string h = triangle_header("ascii", 1, 0);
  struct Case {
    const char* body;
    VrelStatus status;
  };
  const Case cases[] = {
      {"1e400 0 0", 1}, {"-1e400 0 0", 1}, {"1.7e308 0 0", 0}, {"1.71e308 0 0", 1},
      {"0e400 0 0", 0}, {"1e-400 0 0", 0}, {"1e4097 0 0", 1},  {"nan 0 0", 1},
      {"inf 0 0", 1},   {"0x10 0 0", 1},   {"1.2.3 0 0", 1},   {"1e 0 0", 1},
      {". 0 0", 1},     {"+.5 -5. 5", 0},  {"1,5 0 0", 1},     {"1\v 0 0", 1},
  };
  for (const Case& c : cases) {
    const ReadResult<double> r = read_ply<double>(h + c.body + "\n");
    EXPECT_EQ(r.status, c.status) << c.body << ": " << r.message;
    if (c.status != 0) {
      EXPECT_TRUE(r.untouched) << c.body;
    }
  }
  EXPECT_EQ(read_ply<double>(h + "1e400 0 0").message,
            "a PLY ASCII number is NaN or its magnitude exceeds 1.7e308");

  // Integer-typed values are signed 64-bit decimal integers, whatever their declared width.
  const std::string ih =
      "ply\nformat ascii 1.0\nelement vertex 1\nproperty uchar x\nproperty short y\n"
      "property int z\nend_header\n";
  const ReadResult<double> wide = read_ply<double>(ih + "-5 100000 9223372036854775807\n");
  ASSERT_EQ(wide.status, 0) << wide.message;
  EXPECT_EQ(wide.vertices, (std::vector<double>{-5, 100000, 9223372036854775807.0}));
  EXPECT_EQ(read_ply<double>(ih + "1 2 9223372036854775808\n").status, 1);
  EXPECT_EQ(read_ply<double>(ih + "1 2 1.0\n").status, 1);
  EXPECT_EQ(read_ply<double>(ih + "1 2 3x\n").status, 1);
  EXPECT_EQ(read_ply<double>(ih + "1 2 +3\n").status, 0);
  // Tokens need no line structure.
  const ReadResult<double> loose =
      read_ply<double>(triangle_header("ascii", 2, 1) + "1\n2\t\t3 4\r5\n6 3\n0\n1 1");
  ASSERT_EQ(loose.status, 0) << loose.message;
  EXPECT_EQ(loose.vertices, (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

TEST(PlyRead, NegativeListCountsAreRefused) {
  const std::string text =
      "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
      "property float z\nelement extra 1\nproperty list int int values\nend_header\n"
      "0 0 0\n-1\n";
  const ReadResult<double> r = read_ply<double>(text);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, "a PLY list count is negative");
  EXPECT_TRUE(r.untouched);
  ply::Document doc = ply::mesh_document({0, 0, 0}, {0, 0, 0}, true, "float", "char", "int");
  std::string bytes = ply::write(doc);
  bytes[bytes.size() - 13] = static_cast<char>(0xFD);  // the face's count byte: -3
  EXPECT_EQ(read_ply<double>(bytes).status, 1);
}

TEST(PlyRead, HeaderWithoutFacesNeedsAnEmptyFacesView) {
  const std::string text =
      "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
      "property float z\nend_header\n1 2 3\n";
  const ReadResult<float> r = read_ply<float>(text);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.vertices, (std::vector<float>{1, 2, 3}));
  VrelPlyInfo info = probe(text).info;
  Tensor<float> v({1, 3});
  Tensor<int32_t> f({1, 3});
  Diag diag;
  EXPECT_EQ(vrel_io_ply_read(text.data(), static_cast<int64_t>(text.size()), &info, nullptr,
                             v.out(), f.out(), nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "faces must have one row per PLY face");
  Tensor<int32_t> none({0, 3});
  EXPECT_EQ(vrel_io_ply_read(text.data(), static_cast<int64_t>(text.size()), &info, nullptr,
                             v.out(), none.out(), nullptr, diag),
            0);
}

TEST(PlyRead, SeveralVertexElementsStoreOnlyTheLast) {
  // The first vertex element has more instances than the views the probe sizes.
  const std::string text =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nelement vertex 1\nproperty float x\nproperty float y\n"
      "property float z\nend_header\n1 1 1 2 2 2 3 3 3\n7 8 9\n";
  const ReadResult<double> r = read_ply<double>(text);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.info.vertex_count, 1u);
  EXPECT_EQ(r.vertices, (std::vector<double>{7, 8, 9}));
}

TEST(PlyRead, ElementsWithoutPropertiesTakeNoBytes) {
  // A huge element count with nothing to read must neither loop nor fail.
  const std::string text =
      "ply\nformat binary_little_endian 1.0\nelement nothing 9223372036854775807\n"
      "element vertex 1\nproperty uchar x\nproperty uchar y\nproperty uchar z\n"
      "end_header\n\x01\x02\x03";
  const ReadResult<float> r = read_ply<float>(text);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(r.vertices, (std::vector<float>{1, 2, 3}));
  // With one property, the count bounds the walk by the data instead.
  const std::string huge =
      "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty uchar x\n"
      "property uchar y\nproperty uchar z\nelement big 4611686018427387904\n"
      "property list uint uchar v\nend_header\n\x01\x02\x03\xff\xff\xff\xff";
  EXPECT_EQ(read_ply<float>(huge).status, 1);
}

class PlyReadArguments : public ::testing::Test {
 protected:
  std::string text = kTriangle;
  VrelPlyInfo info = probe(kTriangle).info;
  Tensor<double> vertices{{3, 3}};
  Tensor<int32_t> faces{{1, 3}};
  Diag diag;

  VrelStatus read(const VrelTensorView* v, const VrelTensorView* f,
                  const VrelPlyInfo* i = nullptr) {
    return vrel_io_ply_read(text.data(), static_cast<int64_t>(text.size()), i ? i : &info, nullptr,
                            v, f, nullptr, diag);
  }
};

TEST_F(PlyReadArguments, ViewShapesDtypesAndCounts) {
  Tensor<float> wide({3, 4});
  EXPECT_EQ(read(wide.out(), faces.out()), 1);
  EXPECT_EQ(diag.text(), "vertices must be a [V,3] float32 or float64 tensor view");
  Tensor<int32_t> int_vertices({3, 3});
  EXPECT_EQ(read(int_vertices.out(), faces.out()), 1);
  Tensor<uint32_t> unsigned_faces({1, 3});
  EXPECT_EQ(read(vertices.out(), unsigned_faces.out()), 1);
  EXPECT_EQ(diag.text(), "faces must be a [F,3] int32 tensor view");
  Tensor<double> short_vertices({2, 3});
  EXPECT_EQ(read(short_vertices.out(), faces.out()), 1);
  EXPECT_EQ(diag.text(), "vertices must have one row per PLY vertex");
  VrelPlyInfo wrong = info;
  wrong.face_count = 2;
  EXPECT_EQ(read(vertices.out(), faces.out(), &wrong), 1);
  EXPECT_EQ(diag.text(), "the PLY counts differ from those of the info record");
  View big_view = vertices.out();
  big_view->struct_size = 100;
  EXPECT_EQ(read(big_view, faces.out()), 1) << "the view size must be exactly 96";
  // The read's own view rules come before the descriptor validation and the context: a dtype code
  // that no view may carry still reports the read's status 1.
  View unknown_dtype = vertices.out();
  unknown_dtype->dtype = 99;
  EXPECT_EQ(read(unknown_dtype, faces.out()), 1);
  EXPECT_EQ(diag.text(), "vertices must be a [V,3] float32 or float64 tensor view");
  VrelExecutionContext bad_context = cpu_context();
  bad_context.stream = 1;
  EXPECT_EQ(vrel_io_ply_read(text.data(), static_cast<int64_t>(text.size()), &info, &bad_context,
                             wide.out(), faces.out(), nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "vertices must be a [V,3] float32 or float64 tensor view");
  EXPECT_EQ(vrel_io_ply_read(text.data(), static_cast<int64_t>(text.size()), &info, &bad_context,
                             vertices.out(), faces.out(), nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "CPU execution does not accept a stream handle");
  EXPECT_EQ(read(vertices.out(), faces.out()), 0);
}

TEST_F(PlyReadArguments, ViewsMustBeWritableCpuStorageApartFromTheData) {
  const std::vector<double> before = vertices.values();
  View read_only = vertices.in();
  read_only->flags = VREL_TENSOR_READ_ONLY;
  EXPECT_EQ(read(read_only, faces.out()), 1);
  EXPECT_EQ(diag.text(), "io.ply_read cannot store into a read-only view");
  View device = vertices.out();
  device->device_type = VREL_DEVICE_CUDA;
  EXPECT_EQ(read(device, faces.out()), 2);
  View faces_over_vertices(vertices.ptr(), {1, 3}, VREL_DTYPE_INT32, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(read(vertices.out(), faces_over_vertices), 1);
  EXPECT_EQ(diag.text(), "the vertices and faces views may not overlap each other or the PLY data");
  View strided = vertices.out();
  const int64_t bad_strides[2] = {4, 1};
  strided->strides = bad_strides;
  EXPECT_EQ(read(strided, faces.out()), 2) << "non-dense views fail validation with its status";
  // A view with rows to store needs data; that is judged after the header and the counts.
  View no_data(nullptr, {3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(read(no_data, faces.out()), 1);
  EXPECT_EQ(diag.text(), "nonempty tensor view has a null data pointer");
  std::string big_endian = text;
  big_endian.replace(big_endian.find("ascii"), 5, "binary_big_endian");
  EXPECT_EQ(vrel_io_ply_read(big_endian.data(), static_cast<int64_t>(big_endian.size()), &info,
                             nullptr, no_data, faces.out(), nullptr, diag),
            2);
  EXPECT_EQ(vertices.values(), before);

  // Storage inside the PLY data itself.
  std::string copy = text + std::string(128, '\0');
  View inside(
      copy.data() + text.size() + 8 - (reinterpret_cast<uintptr_t>(copy.data() + text.size()) % 8),
      {3, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(vrel_io_ply_read(copy.data(), static_cast<int64_t>(copy.size()), &info, nullptr, inside,
                             faces.out(), nullptr, diag),
            1);
  EXPECT_EQ(vrel_io_ply_read(copy.data(), static_cast<int64_t>(text.size()), &info, nullptr, inside,
                             faces.out(), nullptr, diag),
            0)
      << "views after the data's last byte do not overlap it";
}

}  // namespace
}  // namespace vrel::test
