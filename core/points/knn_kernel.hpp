// K-nearest-neighbour search and its backward pass over typed, validated arrays.
#pragma once

#include <cstdint>

#include "points/isa.hpp"

namespace vrel::points {

template <typename T>
struct KnnProblem {
  const T* query;                    // [P,3]
  const T* reference;                // [R,3]
  const int32_t* query_offsets;      // [B+1], packed over P
  const int32_t* reference_offsets;  // [B+1], packed over R
  int64_t batch;                     // B
  int64_t k;                         // slots per query, >= 1
  T* distances;                      // [P,K]
  int32_t* indices;                  // [P,K]
  uint8_t* valid;                    // [P,K]
};

// Exhaustive search: every query of batch element b visits the reference points of b in
// ascending row order and inserts each after all filled slots whose distance is <= its own.
// Runs the widest instruction set the processor offers.
template <typename T>
void knn_search(const KnnProblem<T>& problem) noexcept;

// One build of the search, for the tests: each must give the same result.
template <typename T>
void knn_search(const KnnProblem<T>& problem, Isa isa) noexcept;

// The indexed search: a k-d tree over the reference points of each batch element, built in
// caller memory, visited nearest box first and pruned by box distances that never exceed the
// distance the exhaustive rule computes for any point inside (rounding is monotone). Insertion
// orders slots by distance and then by row, so the slots equal those of knn_search bit for bit.
// Batch elements with fewer than `min_indexed` reference points, or with a non-finite reference
// coordinate, and queries with a non-finite coordinate, take the exhaustive search.
inline constexpr int64_t kKnnIndexFrom = 64;

// Bytes of index memory (8-byte aligned) for up to `query_count` queries and batch elements of up
// to `reference_count` points: 0 when none can reach `min_indexed`; UINT64_MAX when the size
// overflows.
template <typename T>
uint64_t knn_index_bytes(int64_t query_count, int64_t reference_count,
                         int64_t min_indexed = kKnnIndexFrom) noexcept;

// `workspace` holds knn_index_bytes(P, R) bytes, P and R the problem's counts. Queries are
// visited in the Morton order of their positions, which changes no result. One instruction-set
// build can be chosen (for the tests); each gives the same result.
template <typename T>
void knn_search_indexed(const KnnProblem<T>& problem, int64_t query_count, int64_t reference_count,
                        void* workspace, int64_t min_indexed = kKnnIndexFrom,
                        Isa isa = best_isa()) noexcept;

template <typename T>
struct KnnGradients {
  const T* query;           // [P,3]
  const T* reference;       // [R,3]
  const int32_t* indices;   // [P,K]
  const uint8_t* valid;     // [P,K]
  const T* grad_distance;   // [P,K]
  int64_t query_count;      // P
  int64_t reference_count;  // R
  int64_t k;
  T* grad_query;      // [P,3] or null
  T* grad_reference;  // [R,3] or null
};

// Clears the given outputs and accumulates 2 * g * (q - r) into them. Returns false (with the
// outputs partly accumulated) when a valid slot's index lies outside [0, R).
template <typename T>
bool knn_gradients(const KnnGradients<T>& problem) noexcept;

}  // namespace vrel::points
