#include "io/ply_body.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "io/numbers.hpp"

namespace vrel::io {
namespace {

static_assert(std::endian::native == std::endian::little,
              "binary PLY decoding assumes a little-endian host");

constexpr ParseResult kTruncated{VREL_STATUS_INVALID_ARGUMENT,
                                 "the PLY body ends before its last element"};
constexpr ParseResult kNegativeCount{VREL_STATUS_INVALID_ARGUMENT, "a PLY list count is negative"};
constexpr ParseResult kNotTriangle{VREL_STATUS_UNSUPPORTED,
                                   "only triangular PLY faces are supported"};
constexpr ParseResult kIndexRange{VREL_STATUS_INVALID_ARGUMENT,
                                  "a PLY face index lies outside [0, 2^31 - 1]"};
constexpr ParseResult kBadInteger{
    VREL_STATUS_INVALID_ARGUMENT,
    "a PLY ASCII value of an integer type is not a 64-bit decimal integer"};
constexpr ParseResult kBadReal{VREL_STATUS_INVALID_ARGUMENT,
                               "a PLY ASCII value of a float type is not a decimal number"};
constexpr ParseResult kRealRange{VREL_STATUS_INVALID_ARGUMENT,
                                 "a PLY ASCII number is NaN or its magnitude exceeds 1.7e308"};

constexpr ParseResult kDtypeRange{
    VREL_STATUS_INVALID_ARGUMENT,
    "a finite PLY vertex coordinate exceeds the range of the requested dtype"};

#define VREL_TRY_PARSE(expr)                                                           \
  do {                                                                                 \
    if (const ParseResult vrel_parse_ = (expr); !vrel_parse_.ok()) return vrel_parse_; \
  } while (0)

// One value as read: integers exactly, floats as doubles.
struct Scalar {
  bool real = false;
  int64_t integer = 0;
  double number = 0.0;

  template <typename T>
  T as() const {
    return real ? static_cast<T>(number) : static_cast<T>(integer);
  }
  // False for a finite value that becomes infinite in T (a double above the float32 range). NaN
  // and infinities stored in a binary body are kept as stored; integers of the PLY types fit.
  template <typename T>
  bool fits() const {
    return !real || !std::isfinite(number) || std::isfinite(static_cast<T>(number));
  }
};

template <typename U>
U load(const unsigned char* p) {
  U value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

Scalar decode(ScalarType type, const unsigned char* p) {
  Scalar s;
  switch (type) {
    case ScalarType::kInt8: s.integer = load<int8_t>(p); break;
    case ScalarType::kUint8: s.integer = load<uint8_t>(p); break;
    case ScalarType::kInt16: s.integer = load<int16_t>(p); break;
    case ScalarType::kUint16: s.integer = load<uint16_t>(p); break;
    case ScalarType::kInt32: s.integer = load<int32_t>(p); break;
    case ScalarType::kUint32: s.integer = load<uint32_t>(p); break;
    case ScalarType::kFloat32:
      s.real = true;
      s.number = load<float>(p);
      break;
    case ScalarType::kFloat64:
      s.real = true;
      s.number = load<double>(p);
      break;
  }
  return s;
}

// Little-endian binary values of their declared width.
class BinaryReader {
 public:
  static constexpr bool kBinary = true;
  BinaryReader(const char* begin, const char* end)
      : p_(reinterpret_cast<const unsigned char*>(begin)),
        end_(reinterpret_cast<const unsigned char*>(end)) {}

  ParseResult scalar(ScalarType type, Scalar& value) {
    const std::size_t n = size_of(type);
    if (remaining() < n) return kTruncated;
    value = decode(type, p_);
    p_ += n;
    return {};
  }
  ParseResult skip(ScalarType type, uint64_t count) {
    // Binary counts come from at most 32-bit types, so the product cannot overflow.
    if (count > remaining() || remaining() / size_of(type) < count) return kTruncated;
    p_ += count * size_of(type);
    return {};
  }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  const unsigned char* position() const { return p_; }
  void advance(std::size_t n) { p_ += n; }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

// Whitespace-separated decimal tokens, with no line structure.
class AsciiReader {
 public:
  static constexpr bool kBinary = false;
  AsciiReader(const char* begin, const char* end) : p_(begin), end_(end) {}

  ParseResult scalar(ScalarType type, Scalar& value) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!token(begin, end)) return kTruncated;
    if (is_float(type)) {
      value.real = true;
      switch (parse_decimal(begin, end, &value.number)) {
        case NumberStatus::kOk: return {};
        case NumberStatus::kMalformed: return kBadReal;
        case NumberStatus::kOutOfRange: return kRealRange;
      }
    }
    value.real = false;
    return parse_int64(begin, end, &value.integer) == NumberStatus::kOk ? ParseResult{}
                                                                        : kBadInteger;
  }
  ParseResult skip(ScalarType type, uint64_t count) {
    // Every token takes at least one byte, so a huge count ends at the end of the data.
    Scalar ignored;
    for (uint64_t i = 0; i < count; ++i) VREL_TRY_PARSE(scalar(type, ignored));
    return {};
  }

 private:
  static bool separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  bool token(const char*& begin, const char*& end) {
    while (p_ != end_ && separator(*p_)) ++p_;
    if (p_ == end_) return false;
    begin = p_;
    while (p_ != end_ && !separator(*p_)) ++p_;
    end = p_;
    return true;
  }

  const char* p_;
  const char* end_;
};

// Binary elements without lists have a fixed record size: the check is one bounds test and the
// writing pass reads the axis values at fixed offsets.
// `check_axes`: the element is the reported vertex element, whose values must fit T.
template <typename T>
ParseResult fixed_records(const PlyElement& element, BinaryReader& reader, bool check_axes,
                          T* vertices) {
  std::size_t record = 0;
  std::size_t axis_offset[3] = {0, 0, 0};
  ScalarType axis_type[3] = {ScalarType::kFloat32, ScalarType::kFloat32, ScalarType::kFloat32};
  for (uint32_t k = 0; k < element.property_count; ++k) {
    const PlyProperty& property = element.properties[k];
    if (property.axis >= 0) {
      axis_offset[property.axis] = record;
      axis_type[property.axis] = property.type;
    }
    record += size_of(property.type);
  }
  const uint64_t count = static_cast<uint64_t>(element.count);
  if (reader.remaining() / record < count) return kTruncated;
  // Only a stored double can exceed a float32 target; the checking pass (no target) looks.
  const bool narrowing = std::is_same_v<T, float> && (axis_type[0] == ScalarType::kFloat64 ||
                                                      axis_type[1] == ScalarType::kFloat64 ||
                                                      axis_type[2] == ScalarType::kFloat64);
  if (check_axes && narrowing && vertices == nullptr) {
    const unsigned char* p = reader.position();
    for (uint64_t i = 0; i < count; ++i, p += record)
      for (int a = 0; a < 3; ++a)
        if (!decode(axis_type[a], p + axis_offset[a]).fits<T>()) return kDtypeRange;
  }
  if (vertices != nullptr) {
    const unsigned char* p = reader.position();
    const bool all_float32 = axis_type[0] == ScalarType::kFloat32 &&
                             axis_type[1] == ScalarType::kFloat32 &&
                             axis_type[2] == ScalarType::kFloat32;
    for (uint64_t i = 0; i < count; ++i, p += record) {
      T* out = vertices + 3 * i;
      if (all_float32) {
        out[0] = static_cast<T>(load<float>(p + axis_offset[0]));
        out[1] = static_cast<T>(load<float>(p + axis_offset[1]));
        out[2] = static_cast<T>(load<float>(p + axis_offset[2]));
      } else {
        for (int a = 0; a < 3; ++a) out[a] = decode(axis_type[a], p + axis_offset[a]).as<T>();
      }
    }
  }
  reader.advance(count * record);
  return {};
}

// The common face layout: one index list of a uchar count and int32 or uint32 items, so that a
// triangle takes 13 bytes. Checks (and with `faces`, writes) the instances from *next on with
// the per-value rules of the general walk while whole records remain, and stops before the
// first instance it cannot pass, which the general walk then reads and reports. Returns the
// number of instances done.
int64_t triangle_records(const PlyElement& element, BinaryReader& reader, int32_t* faces) {
  constexpr std::size_t kRecord = 1 + 3 * 4;
  const unsigned char* p = reader.position();
  const uint64_t whole = reader.remaining() / kRecord;
  const int64_t count =
      static_cast<uint64_t>(element.count) < whole ? element.count : static_cast<int64_t>(whole);
  int64_t i = 0;
  for (; i < count; ++i, p += kRecord) {
    if (p[0] != 3) break;  // left to the general walk, which reports it
    int32_t index[3];
    std::memcpy(index, p + 1, sizeof index);
    // int32 items must be nonnegative, uint32 items at most 2^31 - 1: either way the sign bit.
    if ((index[0] | index[1] | index[2]) < 0) break;
    if (faces != nullptr) std::memcpy(faces + 3 * i, index, sizeof index);
  }
  reader.advance(static_cast<std::size_t>(i) * kRecord);
  return i;
}

bool common_face_layout(const PlyElement& element) {
  if (element.property_count != 1) return false;
  const PlyProperty& list = element.properties[0];
  return list.is_list && list.index_list && list.count_type == ScalarType::kUint8 &&
         (list.type == ScalarType::kInt32 || list.type == ScalarType::kUint32);
}

template <typename T, typename Reader>
ParseResult walk(const PlyHeader& header, Reader& reader, PlyTargets<T> targets) {
  for (uint32_t e = 0; e < header.element_count; ++e) {
    const PlyElement& element = header.elements[e];
    // An element without properties takes no bytes, whatever its count.
    if (element.property_count == 0) continue;
    const bool reported_vertices = static_cast<int32_t>(e) == header.vertex_element;
    T* const vertices = reported_vertices ? targets.vertices : nullptr;
    int32_t* const faces = static_cast<int32_t>(e) == header.face_element ? targets.faces : nullptr;
    int64_t first = 0;
    if constexpr (Reader::kBinary) {
      if (!element.has_list) {
        VREL_TRY_PARSE(fixed_records(element, reader, reported_vertices, vertices));
        continue;
      }
      if (common_face_layout(element)) first = triangle_records(element, reader, faces);
    }
    for (int64_t i = first; i < element.count; ++i) {
      for (uint32_t k = 0; k < element.property_count; ++k) {
        const PlyProperty& property = element.properties[k];
        Scalar value;
        if (!property.is_list) {
          if (reported_vertices && property.axis >= 0) {
            VREL_TRY_PARSE(reader.scalar(property.type, value));
            if (!value.fits<T>()) return kDtypeRange;
            if (vertices != nullptr) vertices[3 * i + property.axis] = value.as<T>();
          } else {
            VREL_TRY_PARSE(reader.skip(property.type, 1));
          }
          continue;
        }
        VREL_TRY_PARSE(reader.scalar(property.count_type, value));
        if (value.integer < 0) return kNegativeCount;
        if (!property.index_list) {
          VREL_TRY_PARSE(reader.skip(property.type, static_cast<uint64_t>(value.integer)));
          continue;
        }
        if (value.integer != 3) return kNotTriangle;
        for (int item = 0; item < 3; ++item) {
          VREL_TRY_PARSE(reader.scalar(property.type, value));
          if (value.integer < 0 || value.integer > INT32_MAX) return kIndexRange;
          if (faces != nullptr) faces[3 * i + item] = static_cast<int32_t>(value.integer);
        }
      }
    }
  }
  return {};  // data after the last element is ignored
}

}  // namespace

template <typename T>
ParseResult walk_body(const PlyHeader& header, const char* data, int64_t size,
                      PlyTargets<T> targets) noexcept {
  const char* begin = data + header.header_size;
  const char* end = data + size;
  if (header.format == VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN) {
    BinaryReader reader(begin, end);
    return walk(header, reader, targets);
  }
  AsciiReader reader(begin, end);
  return walk(header, reader, targets);
}

template ParseResult walk_body<float>(const PlyHeader&, const char*, int64_t,
                                      PlyTargets<float>) noexcept;
template ParseResult walk_body<double>(const PlyHeader&, const char*, int64_t,
                                       PlyTargets<double>) noexcept;

}  // namespace vrel::io
