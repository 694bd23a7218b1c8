#include "io/ply_header.hpp"

#include <cstring>
#include <string_view>

#include "io/numbers.hpp"

namespace vrel::io {
namespace {

constexpr ParseResult invalid(const char* message) {
  return {VREL_STATUS_INVALID_ARGUMENT, message};
}
constexpr ParseResult unsupported(const char* message) {
  return {VREL_STATUS_UNSUPPORTED, message};
}

#define VREL_TRY_RESULT(expr)                                                             \
  do {                                                                                    \
    if (const ParseResult vrel_result_ = (expr); !vrel_result_.ok()) return vrel_result_; \
  } while (0)

// The tokens of one header line; at most kMaxTokens are kept, the rest only counted.
struct Line {
  static constexpr int kMaxTokens = 6;
  std::string_view tokens[kMaxTokens];
  int count = 0;

  Line(const char* p, const char* end) {
    while (p != end) {
      while (p != end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
      if (p == end) break;
      const char* start = p;
      while (p != end && *p != ' ' && *p != '\t' && *p != '\r') ++p;
      if (count < kMaxTokens)
        tokens[count] = std::string_view(start, static_cast<std::size_t>(p - start));
      ++count;
    }
  }
  std::string_view operator[](int i) const {
    return i < count && i < kMaxTokens ? tokens[i] : std::string_view();
  }
};

bool scalar_type(std::string_view name, ScalarType* type) {
  struct Name {
    const char* text;
    ScalarType type;
  };
  static constexpr Name kNames[] = {
      {"char", ScalarType::kInt8},      {"int8", ScalarType::kInt8},
      {"uchar", ScalarType::kUint8},    {"uint8", ScalarType::kUint8},
      {"short", ScalarType::kInt16},    {"int16", ScalarType::kInt16},
      {"ushort", ScalarType::kUint16},  {"uint16", ScalarType::kUint16},
      {"int", ScalarType::kInt32},      {"int32", ScalarType::kInt32},
      {"uint", ScalarType::kUint32},    {"uint32", ScalarType::kUint32},
      {"float", ScalarType::kFloat32},  {"float32", ScalarType::kFloat32},
      {"double", ScalarType::kFloat64}, {"float64", ScalarType::kFloat64},
  };
  for (const Name& n : kNames) {
    if (name == n.text) {
      *type = n.type;
      return true;
    }
  }
  return false;
}

ParseResult format_line(const Line& line, PlyHeader& header) {
  if (line.count < 3) return invalid("a PLY format line needs a format name and a version");
  if (line[2] != "1.0") return unsupported("only PLY format version 1.0 is supported");
  if (line[1] == "ascii") {
    header.format = VREL_PLY_FORMAT_ASCII;
  } else if (line[1] == "binary_little_endian") {
    header.format = VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN;
  } else if (line[1] == "binary_big_endian") {
    return unsupported("big-endian PLY data is not supported");
  } else {
    return invalid("the PLY format must be ascii, binary_little_endian or binary_big_endian");
  }
  return {};
}

ParseResult element_line(const Line& line, PlyHeader& header) {
  if (header.element_count == kMaxElements)
    return unsupported("a PLY header may declare at most 16 elements");
  if (line.count < 3) return invalid("a PLY element line needs a name and a count");
  int64_t count = 0;
  const std::string_view text = line[2];
  if (parse_int64(text.data(), text.data() + text.size(), &count) != NumberStatus::kOk || count < 0)
    return invalid("a PLY element count must be a nonnegative 64-bit decimal integer");
  PlyElement& element = header.elements[header.element_count];
  element = PlyElement{};
  element.count = count;
  if (line[1] == "vertex") element.kind = ElementKind::kVertex;
  if (line[1] == "face") element.kind = ElementKind::kFace;
  if (element.kind == ElementKind::kVertex)
    header.vertex_element = static_cast<int32_t>(header.element_count);
  if (element.kind == ElementKind::kFace)
    header.face_element = static_cast<int32_t>(header.element_count);
  ++header.element_count;
  return {};
}

ParseResult property_line(const Line& line, PlyElement& element) {
  if (element.property_count == kMaxProperties)
    return unsupported("a PLY element may declare at most 64 properties");
  PlyProperty property;
  if (line[1] == "list") {
    if (element.kind == ElementKind::kVertex)
      return unsupported("list properties are not supported in the PLY vertex element");
    if (line.count < 5)
      return invalid("a PLY list property needs a count type, an item type and a name");
    if (!scalar_type(line[2], &property.count_type) || !scalar_type(line[3], &property.type))
      return invalid("a PLY property names an unknown type");
    if (is_float(property.count_type) || is_float(property.type))
      return unsupported("PLY list counts and items must use integer types");
    property.is_list = true;
    property.index_list = element.kind == ElementKind::kFace &&
                          (line[4] == "vertex_indices" || line[4] == "vertex_index");
    element.has_list = true;
  } else {
    if (line.count < 3) return invalid("a PLY property line needs a type and a name");
    if (!scalar_type(line[1], &property.type))
      return invalid("a PLY property names an unknown type");
    if (element.kind == ElementKind::kVertex) {
      if (line[2] == "x") property.axis = 0;
      if (line[2] == "y") property.axis = 1;
      if (line[2] == "z") property.axis = 2;
    }
  }
  element.properties[element.property_count++] = property;
  return {};
}

// The rules that need the whole header.
ParseResult element_checks(const PlyHeader& header) {
  if (header.element_count == 0) return invalid("a PLY header must declare at least one element");
  for (uint32_t e = 0; e < header.element_count; ++e) {
    const PlyElement& element = header.elements[e];
    if (element.kind == ElementKind::kVertex) {
      int axes[3] = {0, 0, 0};
      for (uint32_t k = 0; k < element.property_count; ++k)
        if (element.properties[k].axis >= 0) ++axes[element.properties[k].axis];
      if (axes[0] > 1 || axes[1] > 1 || axes[2] > 1)
        return invalid("the PLY vertex element declares an axis property twice");
      if (axes[0] == 0 || axes[1] == 0 || axes[2] == 0)
        return invalid("the PLY vertex element must declare x, y and z properties");
    }
    if (element.kind == ElementKind::kFace && element.count > 0) {
      bool has_index_list = false;
      for (uint32_t k = 0; k < element.property_count; ++k)
        has_index_list = has_index_list || element.properties[k].index_list;
      if (!has_index_list)
        return invalid("a PLY face element needs a vertex_indices or vertex_index list");
    }
  }
  if (header.vertex_element < 0) return invalid("a PLY header must declare a vertex element");
  return {};
}

// The fewest body bytes one instance of `element` can take: binary, the sizes of its scalars and
// list counts (a list may be empty); ASCII, one token per value and list count, each of at least
// one character and a separator. (A face that is not a triangle is refused by the read with its
// own sentence, so its index list is not assumed to hold three items here.)
uint64_t smallest_record(const PlyElement& element, bool binary) {
  uint64_t bytes = 0;
  for (uint32_t k = 0; k < element.property_count; ++k) {
    const PlyProperty& property = element.properties[k];
    const ScalarType type = property.is_list ? property.count_type : property.type;
    bytes += binary ? size_of(type) : 2;
  }
  return bytes;
}

// Every element's count against the bytes after the header, so that a count no body of this size
// can hold is refused by the probe, before a caller allocates views from it. (The last ASCII
// token needs no separator after it, hence the one byte of slack.)
ParseResult counts_fit(const PlyHeader& header, uint64_t body_bytes) {
  const bool binary = header.format == VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN;
  uint64_t room = binary ? body_bytes : body_bytes + 1;
  for (uint32_t e = 0; e < header.element_count; ++e) {
    const PlyElement& element = header.elements[e];
    const uint64_t record = smallest_record(element, binary);
    if (record == 0) continue;  // takes no bytes, whatever its count
    const auto count = static_cast<uint64_t>(element.count);
    if (count > room / record) return invalid("the PLY body ends before its last element");
    room -= count * record;
  }
  return {};
}

}  // namespace

ParseResult parse_header(const char* data, int64_t size, PlyHeader& header) noexcept {
  if (size <= 0) return invalid("PLY data must not be empty");
  const char* const end = data + size;
  const char* lf =
      static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(size)));
  if (lf == nullptr) return invalid("PLY data must begin with a \"ply\" line");
  const char* first_end = lf > data && lf[-1] == '\r' ? lf - 1 : lf;
  if (std::string_view(data, static_cast<std::size_t>(first_end - data)) != "ply")
    return invalid("PLY data must begin with a \"ply\" line");

  header = PlyHeader{};
  bool have_format = false;
  for (const char* p = lf + 1;;) {
    lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lf == nullptr) return invalid("the PLY header ends before its end_header line");
    const Line line(p, lf);
    p = lf + 1;
    if (line.count == 0) continue;
    const std::string_view keyword = line[0];
    ParseResult result;
    if (keyword == "comment" || keyword == "obj_info") {
      continue;
    } else if (keyword == "format") {
      if (have_format) return invalid("a PLY header may declare its format only once");
      result = format_line(line, header);
      have_format = result.ok();
    } else if (keyword == "element") {
      if (!have_format) return invalid("a PLY element line must follow the format line");
      result = element_line(line, header);
    } else if (keyword == "property") {
      if (header.element_count == 0)
        return invalid("a PLY property line must follow an element line");
      result = property_line(line, header.elements[header.element_count - 1]);
    } else if (keyword == "end_header") {
      if (!have_format) return invalid("a PLY end_header line must follow the format line");
      header.header_size = static_cast<uint64_t>(p - data);
      VREL_TRY_RESULT(element_checks(header));
      return counts_fit(header, static_cast<uint64_t>(end - p));
    } else {
      return invalid("a PLY header line starts with an unknown keyword");
    }
    if (!result.ok()) return result;
  }
}

}  // namespace vrel::io
