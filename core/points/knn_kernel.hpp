// K-nearest-neighbour search and its backward pass over typed, validated arrays.
#pragma once

#include <cstdint>

#include "points/isa.hpp"

namespace vrel::points {

template <typename T>
struct KnnProblem {
  const T* query;                 // [P,3]
  const T* reference;             // [R,3]
  const int32_t* query_offsets;   // [B+1], packed over P
  const int32_t* reference_offsets;  // [B+1], packed over R
  int64_t batch;                  // B
  int64_t k;                      // slots per query, >= 1
  T* distances;                   // [P,K]
  int32_t* indices;               // [P,K]
  uint8_t* valid;                 // [P,K]
};

// Exhaustive search: every query of batch element b visits the reference points of b in
// ascending row order and inserts each after all filled slots whose distance is <= its own.
// Runs the widest instruction set the processor offers.
template <typename T>
void knn_search(const KnnProblem<T>& problem) noexcept;

// One build of the search, for the tests: each must give the same result.
template <typename T>
void knn_search(const KnnProblem<T>& problem, Isa isa) noexcept;

template <typename T>
struct KnnGradients {
  const T* query;            // [P,3]
  const T* reference;        // [R,3]
  const int32_t* indices;    // [P,K]
  const uint8_t* valid;      // [P,K]
  const T* grad_distance;    // [P,K]
  int64_t query_count;       // P
  int64_t reference_count;   // R
  int64_t k;
  T* grad_query;             // [P,3] or null
  T* grad_reference;         // [R,3] or null
};

// Clears the given outputs and accumulates 2 * g * (q - r) into them. Returns false (with the
// outputs partly accumulated) when a valid slot's index lies outside [0, R).
template <typename T>
bool knn_gradients(const KnnGradients<T>& problem) noexcept;

}  // namespace vrel::points
