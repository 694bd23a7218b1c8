// A bounding-box tree built in caller memory: the spatial index of the proximity searches.
//
// Items are numbered 0..n-1; the builder permutes `order` (which starts as any permutation of
// them) so that every node covers a contiguous range of it, splitting each node at the median of
// its items' keys along the widest axis of its box. A node's box is the exact union of its
// items' boxes, so every bound derived from it holds for every item below it.
#pragma once

#include <algorithm>
#include <cstdint>

namespace vrel::points {

template <typename C>
struct TreeNode {
  C lo[3], hi[3];
  int32_t begin, end;  // range of `order` covered
  int32_t right;       // index of the right child (the left one follows the node); -1 for a leaf
};

// An upper bound on the node count of a tree over n items with leaves of at most `leaf` items:
// every leaf but a lone root holds at least leaf / 2 items, so there are at most 2n / leaf + 1
// leaves and fewer than twice as many nodes.
inline int64_t tree_node_bound(int64_t n, int leaf) noexcept { return 4 * n / leaf + 1; }

// Deepest path of such a tree: the ranges halve, so a traversal stack of 64 entries suffices.
inline constexpr int kTreeStack = 64;

namespace detail {

// Builds the node for order[begin, end) at index `at` and its subtrees after it; returns the
// first index after the subtree. Nodes are numbered depth first, the left child directly after
// its parent. The depth is at most log2(n) + 1, well within any stack.
template <typename C, typename Box, typename Key>
int32_t build_node(TreeNode<C>* nodes, int32_t at, int32_t* order, int32_t begin, int32_t end,
                   int leaf, const Box& box, const Key& key) noexcept {
  TreeNode<C>& node = nodes[at];
  node.begin = begin;
  node.end = end;
  node.right = -1;
  box(order[begin], node.lo, node.hi);
  for (int32_t i = begin + 1; i < end; ++i) {
    C lo[3], hi[3];
    box(order[i], lo, hi);
    for (int a = 0; a < 3; ++a) {
      node.lo[a] = std::min(node.lo[a], lo[a]);
      node.hi[a] = std::max(node.hi[a], hi[a]);
    }
  }
  if (end - begin <= leaf) return at + 1;
  int axis = 0;
  for (int a = 1; a < 3; ++a)
    if (node.hi[a] - node.lo[a] > node.hi[axis] - node.lo[axis]) axis = a;
  const int32_t mid = begin + (end - begin) / 2;
  std::nth_element(order + begin, order + mid, order + end,
                   [&](int32_t u, int32_t v) { return key(u, axis) < key(v, axis); });
  const int32_t right = build_node(nodes, at + 1, order, begin, mid, leaf, box, key);
  nodes[at].right = right;
  return build_node(nodes, right, order, mid, end, leaf, box, key);
}

}  // namespace detail

// `box(item, lo, hi)` writes an item's box; `key(item, axis)` is its split coordinate. n >= 1;
// `nodes` must hold tree_node_bound(n, leaf) entries. Returns the node count.
template <typename C, typename Box, typename Key>
int32_t build_tree(TreeNode<C>* nodes, int32_t* order, int32_t n, int leaf, const Box& box,
                   const Key& key) noexcept {
  return detail::build_node(nodes, 0, order, 0, n, leaf, box, key);
}

// Bits 0, 3, 6, ... of an 11-bit value spread over 33 bits.
inline uint64_t spread_bits(uint64_t v) noexcept {
  uint64_t out = 0;
  for (int b = 0; b < 11; ++b) out |= ((v >> b) & 1u) << (3 * b);
  return out;
}

// Rows 0..count-1 of `points` (fewer than 2^31) in the Morton order of their cells in the box
// [lo, hi] (2048 per axis; outside and NaN coordinates go to the nearest edge), so that searches
// in that order walk the same nodes one after another. Writes keys whose low 31 bits are rows.
template <typename T, typename C>
void morton_order(const T* points, int64_t count, const C lo[3], const C hi[3],
                  uint64_t* keys) noexcept {
  C scale[3];
  for (int a = 0; a < 3; ++a) {
    const C extent = hi[a] - lo[a];
    scale[a] = extent > C(0) ? C(2047) / extent : C(0);
  }
  for (int64_t i = 0; i < count; ++i) {
    uint64_t code = 0;
    for (int a = 0; a < 3; ++a) {
      C cell = (static_cast<C>(points[3 * i + a]) - lo[a]) * scale[a];
      cell = cell > C(0) ? (cell < C(2047) ? cell : C(2047)) : C(0);
      code |= spread_bits(static_cast<uint64_t>(cell)) << a;
    }
    keys[i] = code << 31 | static_cast<uint64_t>(i);
  }
  std::sort(keys, keys + count);
}

}  // namespace vrel::points
