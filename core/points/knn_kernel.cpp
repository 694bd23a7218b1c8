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
#include <limits>

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
[[VREL_POINTS_AVX2]] void search_avx2(const KnnProblem<T>& p) noexcept { search(p); }
template <typename T>
void search_baseline(const KnnProblem<T>& p) noexcept { search(p); }

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
template bool knn_gradients<float>(const KnnGradients<float>&) noexcept;
template bool knn_gradients<double>(const KnnGradients<double>&) noexcept;

}  // namespace vrel::points
