#include "opaque/rules.hpp"

#include "opaque/rule_tables.hpp"

namespace vrel::opaque {
namespace {

template <int32_t N>
constexpr LineRule line(const double (&x)[N], const double (&w)[N]) noexcept {
  return {N, x, w};
}

template <int32_t N>
constexpr TriangleRule triangle(int32_t degree, const double (&a)[N], const double (&b)[N],
                                const double (&w)[N]) noexcept {
  return {N, degree, a, b, w};
}

// The collapsed product is exact up to degree 8 whatever the inner rule: see rules.hpp.
constexpr int32_t kPlainDegree = 8;

}  // namespace

LineRule gauss_legendre(int32_t points) noexcept {
  switch (points) {
    case 5: return line(tables::gl5_x, tables::gl5_w);
    case 6: return line(tables::gl6_x, tables::gl6_w);
    case 7: return line(tables::gl7_x, tables::gl7_w);
    case 8: return line(tables::gl8_x, tables::gl8_w);
    default: return {0, nullptr, nullptr};
  }
}

TriangleRule plain_rule(int32_t v) noexcept {
  switch (v) {
    case 5: return triangle(kPlainDegree, tables::plain5_a, tables::plain5_b, tables::plain5_w);
    case 6: return triangle(kPlainDegree, tables::plain6_a, tables::plain6_b, tables::plain6_w);
    case 7: return triangle(kPlainDegree, tables::plain7_a, tables::plain7_b, tables::plain7_w);
    case 8: return triangle(kPlainDegree, tables::plain8_a, tables::plain8_b, tables::plain8_w);
    default: return {0, 0, nullptr, nullptr, nullptr};
  }
}

TriangleRule cut_rule(int32_t order) noexcept {
  switch (order) {
    case 12: return triangle(39, tables::cut288_a, tables::cut288_b, tables::cut288_w);
    case 5: return triangle(25, tables::cut120_a, tables::cut120_b, tables::cut120_w);
    default: return {0, 0, nullptr, nullptr, nullptr};
  }
}

TriangleRule material_rule() noexcept {
  return triangle(14, tables::material44_a, tables::material44_b, tables::material44_w);
}

TriangleRule symmetric_rule_28() noexcept {
  return triangle(11, tables::symmetric28_a, tables::symmetric28_b, tables::symmetric28_w);
}

}  // namespace vrel::opaque
