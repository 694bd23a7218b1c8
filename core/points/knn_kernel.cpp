// K-nearest-neighbour kernels.
//
// The search is exhaustive, but laid out for the machine: reference points are transposed block
// by block into coordinate arrays on the stack, tiles of queries compute a chunk of squared
// distances in straight vector code, and a chunk is looked at element by element only when one
// of its distances can enter a slot list. That early test is exact (see `threshold`), so the
// slots receive the same distances, computed by the same operations, in the same order as a
// plain scan of the reference rows.
#include "points/knn_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "points/tree.hpp"

namespace vrel::points {
namespace {

constexpr int64_t kBlock = 512;  // reference points transposed at a time
constexpr int64_t kChunk = 64;   // distances computed before the candidate test
constexpr int kTile = 4;         // queries sharing each load of a reference chunk

// The K-slot list of one query, kept in its rows of the outputs. Filled slots form a prefix.
template <typename T>
struct Slots {
  T* dist;
  int32_t* index;
  uint8_t* valid;
  int64_t k;
  int64_t filled;

  // Inserts distance d of reference row `row` after every filled slot whose distance is <= d;
  // the last slot falls off a full list, and d is dropped when it would land past the end.
  void insert(T d, int32_t row) noexcept {
    int64_t slot = 0;
    for (int64_t i = 0; i < filled; ++i) slot += dist[i] <= d;
    if (slot == k) return;
    for (int64_t i = std::min(filled, k - 1); i > slot; --i) {
      dist[i] = dist[i - 1];
      index[i] = index[i - 1];
    }
    dist[slot] = d;
    index[slot] = row;
    if (filled < k) valid[filled++] = 1;
  }

  // A value t such that a distance d can change the list only if !(d >= t). For a full list that
  // is sorted and free of NaN, insertion drops d exactly when every slot is <= d, that is when
  // the last slot is <= d; a NaN d is counted after no slot and always enters. In every other
  // state (list not full, NaN present, order broken by a NaN that has since left) t is NaN and
  // every distance goes through the insertion rule itself.
  T threshold() const noexcept {
    if (filled < k) return std::numeric_limits<T>::quiet_NaN();
    for (int64_t i = 0; i + 1 < k; ++i)
      if (!(dist[i] <= dist[i + 1])) return std::numeric_limits<T>::quiet_NaN();
    return dist[k - 1];
  }
};

template <typename T>
Slots<T> slots_of(const KnnProblem<T>& p, int64_t q) noexcept {
  Slots<T> s{p.distances + q * p.k, p.indices + q * p.k, p.valid + q * p.k, p.k, 0};
  while (s.filled < s.k && s.valid[s.filled] != 0) ++s.filled;
  return s;
}

// Reference block in coordinate arrays; the tail up to a whole chunk holds +infinity, whose
// distances can never pass the candidate test against a full list.
template <typename T>
struct Block {
  alignas(64) T x[kBlock];
  alignas(64) T y[kBlock];
  alignas(64) T z[kBlock];
};

// Matches the query tile against one reference block [first, first + n).
template <typename T>
[[gnu::always_inline]] inline void search_block(const KnnProblem<T>& p, const Block<T>& block,
                                                int64_t first, int64_t n, int64_t q_begin,
                                                int64_t q_end) noexcept {
  const int64_t chunks = (n + kChunk - 1) / kChunk;
  for (int64_t q0 = q_begin; q0 < q_end; q0 += kTile) {
    const int tile = static_cast<int>(std::min<int64_t>(kTile, q_end - q0));
    T qx[kTile], qy[kTile], qz[kTile], thr[kTile];
    Slots<T> slots[kTile];
    for (int t = 0; t < kTile; ++t) {
      const int64_t q = q0 + std::min(t, tile - 1);  // idle lanes repeat the last query
      qx[t] = p.query[3 * q];
      qy[t] = p.query[3 * q + 1];
      qz[t] = p.query[3 * q + 2];
      slots[t] = slots_of(p, q);
      thr[t] = slots[t].threshold();
    }
    for (int64_t c = 0; c < chunks; ++c) {
      const T* xs = block.x + c * kChunk;
      const T* ys = block.y + c * kChunk;
      const T* zs = block.z + c * kChunk;
      alignas(64) T d[kTile][kChunk];
      unsigned hit[kTile] = {};
      for (int64_t j = 0; j < kChunk; ++j) {
        for (int t = 0; t < kTile; ++t) {
          const T dx = qx[t] - xs[j];
          const T dy = qy[t] - ys[j];
          const T dz = qz[t] - zs[j];
          const T dist = dz * dz + (dy * dy + dx * dx);
          d[t][j] = dist;
          hit[t] |= !(dist >= thr[t]);
        }
      }
      const int64_t limit = std::min(kChunk, n - c * kChunk);
      for (int t = 0; t < tile; ++t) {
        if (hit[t] == 0) continue;
        for (int64_t j = 0; j < limit; ++j) {
          if (d[t][j] >= thr[t]) continue;
          slots[t].insert(d[t][j], static_cast<int32_t>(first + c * kChunk + j));
          thr[t] = slots[t].threshold();
        }
      }
    }
  }
}

template <typename T>
[[gnu::always_inline]] inline void search(const KnnProblem<T>& p) noexcept {
  Block<T> block;
  for (int64_t b = 0; b < p.batch; ++b) {
    const int64_t q_begin = p.query_offsets[b], q_end = p.query_offsets[b + 1];
    const int64_t r_begin = p.reference_offsets[b], r_end = p.reference_offsets[b + 1];
    for (int64_t i = q_begin * p.k; i < q_end * p.k; ++i) {
      p.distances[i] = std::numeric_limits<T>::infinity();
      p.indices[i] = -1;
      p.valid[i] = 0;
    }
    for (int64_t first = r_begin; first < r_end; first += kBlock) {
      const int64_t n = std::min(kBlock, r_end - first);
      const int64_t padded = (n + kChunk - 1) / kChunk * kChunk;
      for (int64_t j = 0; j < n; ++j) {
        block.x[j] = p.reference[3 * (first + j)];
        block.y[j] = p.reference[3 * (first + j) + 1];
        block.z[j] = p.reference[3 * (first + j) + 2];
      }
      for (int64_t j = n; j < padded; ++j)
        block.x[j] = block.y[j] = block.z[j] = std::numeric_limits<T>::infinity();
      search_block(p, block, first, n, q_begin, q_end);
    }
  }
}

// The same code compiled for AVX-512 (32 vector registers hold a whole query tile), for AVX2
// and for the baseline instruction set.
template <typename T>
[[VREL_POINTS_AVX512]] void search_avx512(const KnnProblem<T>& p) noexcept {
  search(p);
}
template <typename T>
[[VREL_POINTS_AVX2]] void search_avx2(const KnnProblem<T>& p) noexcept {
  search(p);
}
template <typename T>
void search_baseline(const KnnProblem<T>& p) noexcept {
  search(p);
}

// ---- Indexed search ----------------------------------------------------------------------

constexpr int kLeaf = 16;

// Sections of the index memory, each 64-byte aligned: the tree's permutation, the reference
// points in tree order as coordinate arrays with their global rows, the nodes, and the queries'
// visiting order.
template <typename T>
struct KnnLayout {
  uint64_t order = 0, x = 0, y = 0, z = 0, row = 0, nodes = 0, keys = 0, total = 0;
  bool overflow = false;

  KnnLayout(int64_t n, int64_t queries) noexcept {
    const uint64_t count = static_cast<uint64_t>(n);
    uint64_t at = 0;
    auto section = [&](uint64_t element, uint64_t elements) {
      uint64_t bytes = 0;
      overflow |= __builtin_mul_overflow(element, elements, &bytes) ||
                  __builtin_add_overflow(bytes, 63, &bytes);
      const uint64_t start = at;
      overflow |= __builtin_add_overflow(at, bytes / 64 * 64, &at);
      return start;
    };
    order = section(sizeof(int32_t), count);
    x = section(sizeof(T), count);
    y = section(sizeof(T), count);
    z = section(sizeof(T), count);
    row = section(sizeof(int32_t), count);
    nodes = section(sizeof(TreeNode<T>), static_cast<uint64_t>(tree_node_bound(n, kLeaf)));
    keys = section(sizeof(uint64_t), static_cast<uint64_t>(queries));
    total = at;
  }
};

// The K-slot list of one query ordered by (distance, row): the order the exhaustive scan
// produces when no distance is NaN, whatever order the candidates arrive in.
template <typename T>
struct RankedSlots {
  T* dist;
  int32_t* index;
  uint8_t* valid;
  int64_t k;
  int64_t filled;

  bool full() const noexcept { return filled == k; }
  bool enters(T d, int32_t row) const noexcept {
    return filled < k || d < dist[k - 1] || (d == dist[k - 1] && row < index[k - 1]);
  }
  void insert(T d, int32_t row) noexcept {
    int64_t i = std::min(filled, k - 1);
    for (; i > 0 && (dist[i - 1] > d || (dist[i - 1] == d && index[i - 1] > row)); --i) {
      dist[i] = dist[i - 1];
      index[i] = index[i - 1];
    }
    dist[i] = d;
    index[i] = row;
    if (filled < k) valid[filled++] = 1;
  }
};

// The squared distance of q to a box, written as the point distance is: per axis the gap is
// the rounded difference to the nearer face or 0 inside, so (rounding being monotone) it never
// exceeds the rounded difference to any point in the box, and neither does the sum.
template <typename T>
T box_distance(const T q[3], const TreeNode<T>& node) noexcept {
  T g[3];
  for (int a = 0; a < 3; ++a)
    g[a] = q[a] < node.lo[a] ? node.lo[a] - q[a] : q[a] > node.hi[a] ? q[a] - node.hi[a] : T(0);
  return g[2] * g[2] + (g[1] * g[1] + g[0] * g[0]);
}

template <typename T>
bool finite_rows(const T* rows, int64_t begin, int64_t end) noexcept {
  bool finite = true;
  for (int64_t i = 3 * begin; i < 3 * end; ++i) finite &= std::isfinite(rows[i]);
  return finite;
}

// The exhaustive search restricted to queries [q_begin, q_end) and references [r_begin, r_end).
template <typename T>
void search_range(const KnnProblem<T>& p, int64_t q_begin, int64_t q_end, int64_t r_begin,
                  int64_t r_end) noexcept {
  const int32_t q_off[2] = {static_cast<int32_t>(q_begin), static_cast<int32_t>(q_end)};
  const int32_t r_off[2] = {static_cast<int32_t>(r_begin), static_cast<int32_t>(r_end)};
  KnnProblem<T> part = p;
  part.query_offsets = q_off;
  part.reference_offsets = r_off;
  part.batch = 1;
  knn_search(part);
}

template <typename T>
void search_tree(const KnnProblem<T>& p, const TreeNode<T>* nodes, const T* xs, const T* ys,
                 const T* zs, const int32_t* rows, int64_t q) noexcept {
  RankedSlots<T> slots{p.distances + q * p.k, p.indices + q * p.k, p.valid + q * p.k, p.k, 0};
  const T qp[3] = {p.query[3 * q], p.query[3 * q + 1], p.query[3 * q + 2]};
  struct Entry {
    int32_t node;
    T bound;
  };
  Entry stack[kTreeStack];
  int top = 0;
  stack[top++] = {0, box_distance(qp, nodes[0])};
  while (top > 0) {
    const Entry e = stack[--top];
    if (slots.full() && e.bound > slots.dist[p.k - 1]) continue;
    const TreeNode<T>& node = nodes[e.node];
    if (node.right < 0) {
      T d[kLeaf];
      const int32_t m = node.end - node.begin;
      const T* x = xs + node.begin;
      const T* y = ys + node.begin;
      const T* z = zs + node.begin;
      for (int32_t j = 0; j < m; ++j) {
        const T dx = qp[0] - x[j];
        const T dy = qp[1] - y[j];
        const T dz = qp[2] - z[j];
        d[j] = dz * dz + (dy * dy + dx * dx);
      }
      for (int32_t j = 0; j < m; ++j)
        if (slots.enters(d[j], rows[node.begin + j])) slots.insert(d[j], rows[node.begin + j]);
      continue;
    }
    const int32_t left = e.node + 1, right = node.right;
    const T bl = box_distance(qp, nodes[left]), br = box_distance(qp, nodes[right]);
    // The nearer child is visited first.
    if (bl <= br) {
      stack[top++] = {right, br};
      stack[top++] = {left, bl};
    } else {
      stack[top++] = {left, bl};
      stack[top++] = {right, br};
    }
  }
}

template <typename T>
T* section(void* workspace, uint64_t offset) noexcept {
  return reinterpret_cast<T*>(static_cast<unsigned char*>(workspace) + offset);
}

template <typename T>
[[gnu::always_inline]] inline void indexed(const KnnProblem<T>& p, int64_t query_count,
                                           int64_t reference_count, void* workspace,
                                           int64_t min_indexed) noexcept {
  const KnnLayout<T> layout(reference_count, query_count);
  int32_t* order = section<int32_t>(workspace, layout.order);
  T* xs = section<T>(workspace, layout.x);
  T* ys = section<T>(workspace, layout.y);
  T* zs = section<T>(workspace, layout.z);
  int32_t* rows = section<int32_t>(workspace, layout.row);
  TreeNode<T>* nodes = section<TreeNode<T>>(workspace, layout.nodes);
  uint64_t* keys = section<uint64_t>(workspace, layout.keys);
  for (int64_t b = 0; b < p.batch; ++b) {
    const int64_t q_begin = p.query_offsets[b], q_end = p.query_offsets[b + 1];
    const int64_t r_begin = p.reference_offsets[b], r_end = p.reference_offsets[b + 1];
    const int64_t n = r_end - r_begin;
    if (q_begin == q_end) continue;
    if (n < std::max<int64_t>(min_indexed, 1) || !finite_rows(p.reference, r_begin, r_end)) {
      search_range(p, q_begin, q_end, r_begin, r_end);
      continue;
    }
    const T* ref = p.reference + 3 * r_begin;
    for (int32_t i = 0; i < n; ++i) order[i] = i;
    build_tree(
        nodes, order, static_cast<int32_t>(n), kLeaf,
        [&](int32_t i, T lo[3], T hi[3]) {
          for (int a = 0; a < 3; ++a) lo[a] = hi[a] = ref[3 * i + a];
        },
        [&](int32_t i, int axis) { return ref[3 * i + axis]; });
    for (int64_t j = 0; j < n; ++j) {
      xs[j] = ref[3 * order[j]];
      ys[j] = ref[3 * order[j] + 1];
      zs[j] = ref[3 * order[j] + 2];
      rows[j] = static_cast<int32_t>(r_begin + order[j]);
    }
    morton_order(p.query + 3 * q_begin, q_end - q_begin, nodes[0].lo, nodes[0].hi, keys);
    for (int64_t i = 0; i < q_end - q_begin; ++i) {
      const int64_t q = q_begin + static_cast<int64_t>(keys[i] & 0x7FFFFFFFu);
      if (!finite_rows(p.query, q, q + 1)) {
        search_range(p, q, q + 1, r_begin, r_end);
        continue;
      }
      for (int64_t s = q * p.k; s < (q + 1) * p.k; ++s) {
        p.distances[s] = std::numeric_limits<T>::infinity();
        p.indices[s] = -1;
        p.valid[s] = 0;
      }
      search_tree(p, nodes, xs, ys, zs, rows, q);
    }
  }
}

template <typename T>
[[VREL_POINTS_AVX512]] void indexed_avx512(const KnnProblem<T>& p, int64_t queries,
                                           int64_t references, void* w, int64_t from) noexcept {
  indexed(p, queries, references, w, from);
}
template <typename T>
[[VREL_POINTS_AVX2]] void indexed_avx2(const KnnProblem<T>& p, int64_t queries, int64_t references,
                                       void* w, int64_t from) noexcept {
  indexed(p, queries, references, w, from);
}
template <typename T>
void indexed_baseline(const KnnProblem<T>& p, int64_t queries, int64_t references, void* w,
                      int64_t from) noexcept {
  indexed(p, queries, references, w, from);
}

}  // namespace

template <typename T>
void knn_search(const KnnProblem<T>& problem, Isa isa) noexcept {
  switch (isa) {
    case Isa::kAvx512: return search_avx512(problem);
    case Isa::kAvx2: return search_avx2(problem);
    case Isa::kBaseline: return search_baseline(problem);
  }
}

template <typename T>
void knn_search(const KnnProblem<T>& problem) noexcept {
  knn_search(problem, best_isa());
}

template <typename T>
uint64_t knn_index_bytes(int64_t query_count, int64_t reference_count,
                         int64_t min_indexed) noexcept {
  if (reference_count < std::max<int64_t>(min_indexed, 1)) return 0;
  const KnnLayout<T> layout(reference_count, query_count);
  return layout.overflow ? std::numeric_limits<uint64_t>::max() : layout.total;
}

template <typename T>
void knn_search_indexed(const KnnProblem<T>& p, int64_t query_count, int64_t reference_count,
                        void* workspace, int64_t min_indexed, Isa isa) noexcept {
  switch (isa) {
    case Isa::kAvx512:
      return indexed_avx512(p, query_count, reference_count, workspace, min_indexed);
    case Isa::kAvx2: return indexed_avx2(p, query_count, reference_count, workspace, min_indexed);
    case Isa::kBaseline:
      return indexed_baseline(p, query_count, reference_count, workspace, min_indexed);
  }
}

template <typename T>
bool knn_gradients(const KnnGradients<T>& p) noexcept {
  // Every valid slot's index is checked before the outputs are cleared: a refusal writes nothing.
  for (int64_t slot = 0; slot < p.query_count * p.k; ++slot)
    if (p.valid[slot] != 0 && (p.indices[slot] < 0 || p.indices[slot] >= p.reference_count))
      return false;
  if (p.grad_query) std::fill(p.grad_query, p.grad_query + 3 * p.query_count, T(0));
  if (p.grad_reference) std::fill(p.grad_reference, p.grad_reference + 3 * p.reference_count, T(0));
  for (int64_t q = 0; q < p.query_count; ++q) {
    for (int64_t s = 0; s < p.k; ++s) {
      const int64_t slot = q * p.k + s;
      if (p.valid[slot] == 0) continue;
      const int64_t j = p.indices[slot];
      const T w = T(2) * p.grad_distance[slot];
      for (int a = 0; a < 3; ++a) {
        const T e = p.query[3 * q + a] - p.reference[3 * j + a];
        if (p.grad_query) p.grad_query[3 * q + a] += w * e;
        if (p.grad_reference) p.grad_reference[3 * j + a] -= w * e;
      }
    }
  }
  return true;
}

template void knn_search<float>(const KnnProblem<float>&) noexcept;
template void knn_search<double>(const KnnProblem<double>&) noexcept;
template void knn_search<float>(const KnnProblem<float>&, Isa) noexcept;
template void knn_search<double>(const KnnProblem<double>&, Isa) noexcept;
template uint64_t knn_index_bytes<float>(int64_t, int64_t, int64_t) noexcept;
template uint64_t knn_index_bytes<double>(int64_t, int64_t, int64_t) noexcept;
template void knn_search_indexed<float>(const KnnProblem<float>&, int64_t, int64_t, void*, int64_t,
                                        Isa) noexcept;
template void knn_search_indexed<double>(const KnnProblem<double>&, int64_t, int64_t, void*,
                                         int64_t, Isa) noexcept;
template bool knn_gradients<float>(const KnnGradients<float>&) noexcept;
template bool knn_gradients<double>(const KnnGradients<double>&) noexcept;

}  // namespace vrel::points
