// Triangle quadrature rules of the quadrature kernel, on the reference triangle
// {a, b >= 0, a + b <= 1}: a node sits at P0 + a*E1 + b*E2 of a unit (P0, E1, E2) and its weight
// is w * |E1 x E2|; the weights of a rule sum to 1/2.
//
// Interim tables: collapsed Gauss-Legendre products (a = s, b = (1-s)*t, w = (1-s)*ws*wt,
// s-major) of the node counts the budget needs; the published symmetric rules replace the cut and
// material tables.
#pragma once

#include <cstdint>

namespace vrel::opaque {

struct TriangleRule {
  int32_t count;
  int32_t degree;  // every polynomial of at most this total degree is integrated exactly
  const double* a;
  const double* b;
  const double* w;
};

// 5*v nodes, v = 5..8: the 5-point Gauss rule in s times the v-point rule in t.
TriangleRule plain_rule(int32_t v) noexcept;
// 24*order nodes, order 12 or 5.
TriangleRule cut_rule(int32_t order) noexcept;
// 44 nodes.
TriangleRule material_rule() noexcept;

}  // namespace vrel::opaque
