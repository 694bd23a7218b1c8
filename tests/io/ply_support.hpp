// Probe-and-read helpers for the io tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

inline constexpr unsigned char kUnwritten = 0xA5;

inline VrelPlyInfo ply_info() {
  VrelPlyInfo info{};
  info.struct_size = sizeof info;
  info.abi_version = VREL_ABI_VERSION;
  return info;
}

struct Probed {
  VrelStatus status;
  std::string message;
  VrelPlyInfo info;
};

inline Probed probe(const std::string& bytes) {
  Diag diag;
  VrelPlyInfo info = ply_info();
  const VrelStatus status =
      vrel_io_ply_probe(bytes.data(), static_cast<int64_t>(bytes.size()), nullptr, &info, diag);
  return {status, diag.text(), info};
}

template <typename T>
struct ReadResult {
  VrelStatus status = -1;  // of the probe when it failed, else of the read
  std::string message;
  VrelPlyInfo info{};
  std::vector<T> vertices;
  std::vector<int32_t> faces;
  bool untouched = true;  // both views still hold the fill pattern
};

// Probes `bytes` and, when that succeeds, reads into views of the probed counts filled with
// kUnwritten bytes.
template <typename T>
ReadResult<T> read_ply(const std::string& bytes) {
  ReadResult<T> r;
  const Probed p = probe(bytes);
  r.info = p.info;
  if (p.status != VREL_STATUS_OK) {
    r.status = p.status;
    r.message = p.message;
    return r;
  }
  Tensor<T> vertices({static_cast<int64_t>(p.info.vertex_count), 3});
  Tensor<int32_t> faces({static_cast<int64_t>(p.info.face_count), 3});
  if (vertices.size()) std::memset(vertices.ptr(), kUnwritten, vertices.bytes());
  if (faces.size()) std::memset(faces.ptr(), kUnwritten, faces.bytes());
  // Compared bytewise below (the fill pattern is a NaN for neither float type).
  const std::vector<T> v_before = vertices.values();
  const std::vector<int32_t> f_before = faces.values();
  Diag diag;
  r.status = vrel_io_ply_read(bytes.data(), static_cast<int64_t>(bytes.size()), &p.info, nullptr,
                              vertices.out(), faces.out(), nullptr, diag);
  r.message = diag.text();
  r.untouched = v_before == vertices.values() && f_before == faces.values();
  r.vertices = vertices.values();
  r.faces = faces.values();
  return r;
}

// The usual header of a triangle mesh with float positions.
inline std::string triangle_header(const char* format, int vertices, int faces) {
  return std::string("ply\nformat ") + format + " 1.0\nelement vertex " + std::to_string(vertices) +
         "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
         std::to_string(faces) + "\nproperty list uchar int vertex_indices\nend_header\n";
}

}  // namespace vrel::test
