// Whole-file reads and the file forms of probe and read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/io/ply_support.hpp"

namespace vrel::test {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vrel_io_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(path_.c_str());
  }
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string p = path_ + "/" + name;
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files_.push_back(p);
    return p;
  }
  // A file of `size` bytes that takes no disk space.
  std::string sparse(const std::string& name, off_t size) {
    const std::string p = file(name, "");
    EXPECT_EQ(truncate(p.c_str(), size), 0);
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

VrelBufferDescriptor empty_buffer() {
  VrelBufferDescriptor b{};
  b.struct_size = sizeof b;
  b.abi_version = VREL_ABI_VERSION;
  b.device_index = 7;  // left as it is
  return b;
}

const std::string kMesh = triangle_header("ascii", 3, 1) + "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";

TEST(FileRead, ReadsTheWholeFileAndReleasesIt) {
  TempDir dir;
  const std::string bytes("a\0b\r\nc", 6);
  VrelBufferDescriptor buffer = empty_buffer();
  Diag diag;
  ASSERT_EQ(vrel_io_file_read_all(dir.file("data.bin", bytes).c_str(), nullptr, &buffer, diag), 0)
      << diag.text();
  ASSERT_NE(buffer.data, nullptr);
  EXPECT_EQ(buffer.capacity, 6u);
  EXPECT_EQ(buffer.alignment, 1u);
  EXPECT_EQ(buffer.device_type, VREL_DEVICE_CPU);
  EXPECT_EQ(buffer.device_index, 7);
  EXPECT_EQ(std::string(static_cast<const char*>(buffer.data), 6), bytes);
  EXPECT_EQ(static_cast<const char*>(buffer.data)[6], '\0');
  EXPECT_EQ(vrel_io_file_release(&buffer), 0);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(buffer.capacity, 0u);
  EXPECT_EQ(vrel_io_file_release(&buffer), 0) << "releasing an empty buffer is fine";

  ASSERT_EQ(vrel_io_file_read_all(dir.file("empty", "").c_str(), nullptr, &buffer, diag), 0);
  EXPECT_EQ(buffer.capacity, 0u);
  EXPECT_EQ(vrel_io_file_release(&buffer), 0);
}

TEST(FileRead, FailuresLeaveTheBufferUntouched) {
  TempDir dir;
  VrelBufferDescriptor buffer = empty_buffer();
  const VrelBufferDescriptor before = buffer;
  Diag diag;
  EXPECT_EQ(vrel_io_file_read_all((dir.path() + "/missing").c_str(), nullptr, &buffer, diag), 5);
  EXPECT_EQ(diag.text(), "the file cannot be opened for reading");
  EXPECT_EQ(vrel_io_file_read_all(dir.path().c_str(), nullptr, &buffer, diag), 5) << "a directory";
  EXPECT_EQ(vrel_io_file_read_all(nullptr, nullptr, &buffer, diag), 1);
  EXPECT_EQ(std::memcmp(&before, &buffer, sizeof buffer), 0);
  const std::string path = dir.file("x", "x");
  buffer.struct_size = 72;
  EXPECT_EQ(vrel_io_file_read_all(path.c_str(), nullptr, &buffer, diag), 1);
  EXPECT_EQ(vrel_io_file_release(&buffer), 1);
  EXPECT_EQ(vrel_io_file_release(nullptr), 1);
  buffer.struct_size = 64;
  VrelExecutionContext context = cpu_context();
  context.stream = 1;
  EXPECT_EQ(vrel_io_file_read_all(nullptr, &context, &buffer, diag), 1);
  EXPECT_EQ(diag.text(), "CPU execution does not accept a stream handle")
      << "the context is checked first";
}

TEST(FileRead, OnlyRegularFilesAreRead) {
  // A device has no end and a FIFO without a writer would block the open: both are refused at
  // once, by the whole-file read and by the PLY file forms.
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {std::string("/dev/zero"), fifo}) {
    VrelBufferDescriptor buffer = empty_buffer();
    Diag diag;
    EXPECT_EQ(vrel_io_file_read_all(path.c_str(), nullptr, &buffer, diag), 5) << path;
    EXPECT_EQ(diag.text(), "the path does not name a readable file") << path;
    EXPECT_EQ(buffer.data, nullptr);
    VrelPlyInfo info = ply_info();
    EXPECT_EQ(vrel_io_ply_probe_file(path.c_str(), nullptr, &info, diag), 5) << path;
  }
  unlink(fifo.c_str());
}

TEST(FileRead, FilesAboveTheSignedThirtyTwoBitLimitAreRefused) {
  // 2^31 bytes is one past the limit; 2^32 + 16 would look like 16 bytes through a 32-bit size.
  TempDir dir;
  for (const off_t size : {off_t{1} << 31, (off_t{1} << 32) + 16, off_t{1} << 33}) {
    const std::string path = dir.sparse("big" + std::to_string(size), size);
    VrelBufferDescriptor buffer = empty_buffer();
    Diag diag;
    EXPECT_EQ(vrel_io_file_read_all(path.c_str(), nullptr, &buffer, diag), 5) << size;
    EXPECT_EQ(diag.text(), "files larger than 2^31 - 1 bytes cannot be read");
    EXPECT_EQ(buffer.data, nullptr);
    VrelPlyInfo info = ply_info();
    EXPECT_EQ(vrel_io_ply_probe_file(path.c_str(), nullptr, &info, diag), 5);
  }
}

TEST(FileRead, ProbeAndReadFromAFile) {
  TempDir dir;
  const std::string path = dir.file("mesh.ply", kMesh);
  VrelPlyInfo info = ply_info();
  Diag diag;
  ASSERT_EQ(vrel_io_ply_probe_file(path.c_str(), nullptr, &info, diag), 0) << diag.text();
  EXPECT_EQ(info.vertex_count, 3u);
  EXPECT_EQ(info.face_count, 1u);

  Tensor<float> vertices({3, 3});
  Tensor<int32_t> faces({1, 3});
  VrelPlyInfo out;
  std::memset(&out, 0, sizeof out);  // its fields are not examined
  ASSERT_EQ(vrel_io_ply_read_file(path.c_str(), nullptr, &out, vertices.out(), faces.out(), diag),
            0)
      << diag.text();
  EXPECT_EQ(out.struct_size, 40u);
  EXPECT_EQ(out.abi_version, VREL_ABI_VERSION);
  EXPECT_EQ(out.header_size, info.header_size);
  EXPECT_EQ(vertices.values(), (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(faces.values(), (std::vector<int32_t>{0, 1, 2}));

  // On failure the record is untouched.
  std::memset(&out, 0x5A, sizeof out);
  const VrelPlyInfo before = out;
  Tensor<float> wrong({4, 3});
  EXPECT_EQ(vrel_io_ply_read_file(path.c_str(), nullptr, &out, wrong.out(), faces.out(), diag), 1);
  EXPECT_EQ(vrel_io_ply_read_file((dir.path() + "/none.ply").c_str(), nullptr, &out, vertices.out(),
                                  faces.out(), diag),
            5);
  EXPECT_EQ(std::memcmp(&before, &out, sizeof out), 0);
  EXPECT_EQ(
      vrel_io_ply_read_file(path.c_str(), nullptr, nullptr, vertices.out(), faces.out(), diag), 1);
  info.struct_size = 39;
  EXPECT_EQ(vrel_io_ply_probe_file(path.c_str(), nullptr, &info, diag), 1);
}

TEST(FileRead, FileFormsReadTheBodyUpToTheFilesLastByte) {
  // A binary body padded so that the file ends on a page boundary: the file forms give what the
  // memory form gives, and a file cut one byte short is refused, never read past its end.
  std::string header = triangle_header("binary_little_endian", 3, 1);
  std::string body(36 + 13, '\0');
  const std::size_t padding = 4096 - header.size() - body.size() - std::strlen("comment \n");
  header.insert(header.find("element"), "comment " + std::string(padding, 'p') + "\n");
  const float xyz[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0.5f};
  const unsigned char face[13] = {3, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(body.data(), xyz, sizeof xyz);
  std::memcpy(body.data() + 36, face, sizeof face);
  ASSERT_EQ(header.size() + body.size(), 4096u);
  TempDir dir;
  const std::string path = dir.file("page.ply", header + body);
  Tensor<float> vertices({3, 3});
  Tensor<int32_t> faces({1, 3});
  VrelPlyInfo out = ply_info();
  Diag diag;
  ASSERT_EQ(vrel_io_ply_read_file(path.c_str(), nullptr, &out, vertices.out(), faces.out(), diag),
            0)
      << diag.text();
  EXPECT_EQ(vertices.values(), std::vector<float>(xyz, xyz + 9));
  EXPECT_EQ(faces.values(), (std::vector<int32_t>{2, 1, 0}));

  const std::string cut = dir.file("cut.ply", (header + body).substr(0, 4095));
  EXPECT_EQ(vrel_io_ply_read_file(cut.c_str(), nullptr, &out, vertices.out(), faces.out(), diag),
            1);
  EXPECT_EQ(diag.text(), "the PLY body ends before its last element");
  const std::string empty = dir.file("empty.ply", "");
  EXPECT_EQ(vrel_io_ply_probe_file(empty.c_str(), nullptr, &out, diag), 1);
}

}  // namespace
}  // namespace vrel::test
