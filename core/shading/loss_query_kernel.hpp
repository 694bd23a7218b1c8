// Loss-curve queries and cosine-weighted means, and their vector-Jacobian product in the cosines
// and in the material coordinate u. Typed pointers and counts only.
#pragma once

#include <cstdint>

#include "shading/curve_lookup.hpp"

namespace vrel::shading {

enum class QueryFault { kNone, kQuery, kMean };

// For each query q, the lookup of rows owners[q] of curve and partial at cosine[q]:
// query[q] = (value 0, value 1, partial 0, partial 1, slope 0, slope 1). For each row b, mean[b]
// = the integrals of 2 mu E(mu) over [0, 1] of curve channels 0, 1 and partial channels 0, 1:
// the pairwise sum over intervals k and control points l of
// (logs[k+1] - logs[k]) * (2 cn[k+1]^2) * P(k,l) * weights[k,l], plus the exact integral of the
// linear start segment, cn[0]^2 (2 R[ch] + R[2N+ch]) / 3. `scratch` holds 4(N-1) doubles.
QueryFault loss_query_rows(const CosineAxis& axis, const double* weights, const double* curve,
                           const double* partial, int64_t batch, const double* cosine,
                           const int32_t* owners, int64_t queries, double* scratch, double* query,
                           double* mean) noexcept;

enum class QueryVjpFault { kNone, kCosine, kCoordinate };

// cosine_gradient[q] = g[q,0] query[q,4] + g[q,1] query[q,5]; u_gradient[b] =
// mg[b,1] mean[b,3] + mean[b,2] mg[b,0] + the pairwise sum, in query order, over the queries
// that b owns of g[q,1] query[q,3] + g[q,0] query[q,2]. `scratch` holds `queries` doubles.
QueryVjpFault loss_query_vjp(const double* query, const double* mean, const int32_t* owners,
                             const double* gradient, const double* mean_gradient, int64_t batch,
                             int64_t queries, double* scratch, double* cosine_gradient,
                             double* u_gradient) noexcept;

}  // namespace vrel::shading
