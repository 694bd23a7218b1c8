#include "shading/loss_query_kernel.hpp"

#include <cmath>

#include "math/pairwise.hpp"

namespace vrel::shading {

QueryFault loss_query_rows(const CosineAxis& axis, const double* weights, const double* curve,
                           const double* partial, int64_t batch, const double* cosine,
                           const int32_t* owners, int64_t queries, double* scratch, double* query,
                           double* mean) noexcept {
  const int64_t n = axis.nodes, length = curve_row_length(n);
  for (int64_t q = 0; q < queries; ++q) {
    const int64_t b = owners[q];
    const CurveSample s = sample_curve(axis, curve + b * length, partial + b * length, cosine[q]);
    const double row[6] = {s.value[0],   s.value[1], s.partial[0],
                           s.partial[1], s.slope[0], s.slope[1]};
    for (int k = 0; k < 6; ++k) {
      if (!std::isfinite(row[k])) return QueryFault::kQuery;
      query[q * 6 + k] = row[k];
    }
  }
  for (int64_t b = 0; b < batch; ++b) {
    for (int column = 0; column < 4; ++column) {
      const double* r = (column < 2 ? curve : partial) + b * length;
      const int channel = column % 2;
      std::size_t terms = 0;
      for (int64_t k = 0; k + 1 < n; ++k) {
        const double scale =
            (axis.logs[k + 1] - axis.logs[k]) * (2.0 * (axis.cn[k + 1] * axis.cn[k + 1]));
        for (int l = 0; l < 4; ++l)
          scratch[terms++] = scale * r[control_entry(n, k, l, channel)] * weights[k * 4 + l];
      }
      const double start = axis.cn[0] * axis.cn[0] * (2.0 * r[channel] + r[2 * n + channel]) / 3.0;
      const double value = math::pairwise_sum_inplace(scratch, terms) + start;
      if (!std::isfinite(value)) return QueryFault::kMean;
      mean[b * 4 + column] = value;
    }
  }
  return QueryFault::kNone;
}

QueryVjpFault loss_query_vjp(const double* query, const double* mean, const int32_t* owners,
                             const double* gradient, const double* mean_gradient, int64_t batch,
                             int64_t queries, double* scratch, double* cosine_gradient,
                             double* u_gradient) noexcept {
  for (int64_t q = 0; q < queries; ++q) {
    const double g = gradient[q * 2] * query[q * 6 + 4] + gradient[q * 2 + 1] * query[q * 6 + 5];
    if (!std::isfinite(g)) return QueryVjpFault::kCosine;
    cosine_gradient[q] = g;
  }
  for (int64_t b = 0; b < batch; ++b) {
    std::size_t terms = 0;
    for (int64_t q = 0; q < queries; ++q)
      if (owners[q] == b)
        scratch[terms++] =
            gradient[q * 2 + 1] * query[q * 6 + 3] + gradient[q * 2] * query[q * 6 + 2];
    const double g = mean_gradient[b * 2 + 1] * mean[b * 4 + 3] +
                     mean[b * 4 + 2] * mean_gradient[b * 2] +
                     math::pairwise_sum_inplace(scratch, terms);
    if (!std::isfinite(g)) return QueryVjpFault::kCoordinate;
    u_gradient[b] = g;
  }
  return QueryVjpFault::kNone;
}

}  // namespace vrel::shading
