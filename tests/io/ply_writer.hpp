// A small PLY writer for the tests: ASCII or binary little-endian, any of the scalar types for
// scalars, list counts and list items, LF or CRLF header lines. Values are given as doubles and
// must be representable in their declared type (the writer checks).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace vrel::test::ply {

struct Property {
  std::string type;  // value type, or the item type of a list
  std::string name;
  std::string count_type;  // non-empty for a list
  bool is_list() const { return !count_type.empty(); }
};

// One instance: a value list per property (one value for a scalar).
using Instance = std::vector<std::vector<double>>;

struct Element {
  std::string name;
  std::vector<Property> properties;
  std::vector<Instance> instances;
};

struct Document {
  bool binary = false;
  bool crlf = false;
  std::vector<std::string> comments;
  std::vector<Element> elements;
};

namespace detail {

struct TypeInfo {
  const char* name;
  int size;
  bool is_signed;
  bool is_float;
};

inline TypeInfo type_info(const std::string& name) {
  static const TypeInfo kTypes[] = {
      {"char", 1, true, false},    {"int8", 1, true, false},    {"uchar", 1, false, false},
      {"uint8", 1, false, false},  {"short", 2, true, false},   {"int16", 2, true, false},
      {"ushort", 2, false, false}, {"uint16", 2, false, false}, {"int", 4, true, false},
      {"int32", 4, true, false},   {"uint", 4, false, false},   {"uint32", 4, false, false},
      {"float", 4, true, true},    {"float32", 4, true, true},  {"double", 8, true, true},
      {"float64", 8, true, true}};
  for (const TypeInfo& t : kTypes)
    if (name == t.name) return t;
  throw std::invalid_argument("unknown PLY type " + name);
}

inline void append_value(std::string& out, const std::string& type, double value, bool binary) {
  const TypeInfo t = type_info(type);
  if (t.is_float) {
    if (t.size == 4 && static_cast<double>(static_cast<float>(value)) != value &&
        !std::isnan(value))
      throw std::invalid_argument("value is not a float32");
    char text[40];
    if (binary) {
      if (t.size == 4) {
        const float f = static_cast<float>(value);
        out.append(reinterpret_cast<const char*>(&f), 4);
      } else {
        out.append(reinterpret_cast<const char*>(&value), 8);
      }
      return;
    }
    std::snprintf(text, sizeof text, t.size == 4 ? "%.9g" : "%.17g", value);
    out += text;
    return;
  }
  const double low = t.is_signed ? -std::ldexp(1.0, 8 * t.size - 1) : 0.0;
  const double high =
      t.is_signed ? std::ldexp(1.0, 8 * t.size - 1) - 1 : std::ldexp(1.0, 8 * t.size) - 1;
  if (value != std::floor(value) || value < low || value > high)
    throw std::invalid_argument("value does not fit its integer type");
  if (binary) {
    const uint64_t bits = static_cast<uint64_t>(static_cast<int64_t>(value));
    for (int i = 0; i < t.size; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return;
  }
  out += std::to_string(static_cast<int64_t>(value));
}

}  // namespace detail

inline std::string write(const Document& doc) {
  const char* eol = doc.crlf ? "\r\n" : "\n";
  std::string out = std::string("ply") + eol;
  out += std::string("format ") + (doc.binary ? "binary_little_endian" : "ascii") + " 1.0" + eol;
  for (const std::string& c : doc.comments) out += "comment " + c + eol;
  for (const Element& e : doc.elements) {
    out += "element " + e.name + " " + std::to_string(e.instances.size()) + eol;
    for (const Property& p : e.properties) {
      if (p.is_list())
        out += "property list " + p.count_type + " " + p.type + " " + p.name + eol;
      else
        out += "property " + p.type + " " + p.name + eol;
    }
  }
  out += std::string("end_header") + eol;
  for (const Element& e : doc.elements) {
    for (const Instance& instance : e.instances) {
      if (instance.size() != e.properties.size()) throw std::invalid_argument("instance size");
      for (std::size_t k = 0; k < e.properties.size(); ++k) {
        const Property& p = e.properties[k];
        const std::vector<double>& values = instance[k];
        if (!p.is_list() && values.size() != 1)
          throw std::invalid_argument("scalar needs one value");
        if (p.is_list()) {
          detail::append_value(out, p.count_type, static_cast<double>(values.size()), doc.binary);
          if (!doc.binary) out += ' ';
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
          detail::append_value(out, p.type, values[i], doc.binary);
          if (!doc.binary && i + 1 < values.size()) out += ' ';
        }
        if (!doc.binary) out += k + 1 < e.properties.size() ? " " : "\n";
      }
    }
  }
  return out;
}

// A triangle mesh document: vertex positions of `coordinate_type` plus `extra` vertex properties
// (filled with the vertex row number), faces as a `count_type`/`index_type` list.
inline Document mesh_document(const std::vector<double>& vertices,
                              const std::vector<int32_t>& faces, bool binary,
                              const std::string& coordinate_type = "float",
                              const std::string& count_type = "uchar",
                              const std::string& index_type = "int",
                              const std::vector<Property>& extra = {}) {
  Document doc;
  doc.binary = binary;
  Element v{"vertex",
            {{coordinate_type, "x", ""}, {coordinate_type, "y", ""}, {coordinate_type, "z", ""}},
            {}};
  for (const Property& p : extra) v.properties.push_back(p);
  for (std::size_t i = 0; i < vertices.size() / 3; ++i) {
    Instance row{{vertices[3 * i]}, {vertices[3 * i + 1]}, {vertices[3 * i + 2]}};
    for (std::size_t k = 0; k < extra.size(); ++k) row.push_back({static_cast<double>(i % 100)});
    v.instances.push_back(row);
  }
  Element f{"face", {{index_type, "vertex_indices", count_type}}, {}};
  for (std::size_t i = 0; i < faces.size() / 3; ++i)
    f.instances.push_back(
        {{static_cast<double>(faces[3 * i]), static_cast<double>(faces[3 * i + 1]),
          static_cast<double>(faces[3 * i + 2])}});
  doc.elements = {v, f};
  return doc;
}

}  // namespace vrel::test::ply
