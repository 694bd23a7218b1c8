#include "opaque/integrate_kernel.hpp"

#include <algorithm>
#include <cmath>

namespace vrel::opaque {

static_assert(kIntegrateBankB - kIntegrateBankA == kBankCapacity * sizeof(ClipPolygon));
static_assert(kIntegrateTriangles - kIntegrateBankB == kBankCapacity * sizeof(ClipPolygon));
static_assert(kIntegrateCandidates >=
              kIntegrateTriangles + kCandidateCapacity * sizeof(ShadedTriangle));
static_assert(kIntegrateWeights >= kIntegrateCandidates + kCandidateCapacity * sizeof(int64_t));
static_assert(kIntegrateWeights + kCandidateCapacity * 3 * sizeof(DualValue) <=
              kIntegrateWorkspaceBytes);

IntegrateWorkspace integrate_workspace(void* data) noexcept {
  auto* bytes = static_cast<unsigned char*>(data);
  return {reinterpret_cast<ClipPolygon*>(bytes + kIntegrateBankA),
          reinterpret_cast<ClipPolygon*>(bytes + kIntegrateBankB),
          reinterpret_cast<ShadedTriangle*>(bytes + kIntegrateTriangles),
          reinterpret_cast<int64_t*>(bytes + kIntegrateCandidates),
          reinterpret_cast<DualValue(*)[3]>(bytes + kIntegrateWeights)};
}

namespace {

// The pixel's candidates with their colours widened to double.
template <typename T>
void gather_colours(const T* colour, const int64_t* candidates, int32_t n,
                    double (*out)[9]) noexcept {
  for (int32_t k = 0; k < n; ++k)
    for (int q = 0; q < 9; ++q) out[k][q] = static_cast<double>(colour[9 * candidates[k] + q]);
}

// Builds the candidates' shaded triangles for one seed (or set of lanes) and integrates the
// visible colour.
template <typename D, typename Seed>
VisibleIntegralOf<D> evaluate_pixel(const PixelFaces& pixel, ShadedTriangleOf<D>* triangles,
                                    D (*weights)[3], const double (*colours)[9], const Seed& seed,
                                    const PixelScratchOf<D>& scratch, ClipBudget& budget) noexcept {
  for (int32_t k = 0; k < pixel.count; ++k) triangles[k] = shaded_triangle<D>(pixel.faces[k], seed);
  return visible_integral(triangles, colours, pixel.count, pixel.apart, scratch, budget, weights);
}

// The sum over the four channels of derivative times cotangent.
inline double product(const VisibleIntegral& r, const double g[4]) noexcept {
  return r.r[0].d * g[0] + r.r[1].d * g[1] + r.r[2].d * g[2] + r.r[3].d * g[3];
}
inline double product(const VisibleIntegralOf<Bundle>& r, int l, const double g[4]) noexcept {
  return r.r[0].d[l] * g[0] + r.r[1].d[l] * g[1] + r.r[2].d[l] * g[2] + r.r[3].d[l] * g[3];
}

template <typename T>
bool all_finite(const T* values, int64_t count) noexcept {
  for (int64_t q = 0; q < count; ++q)
    if (!std::isfinite(values[q])) return false;
  return true;
}

// Adds `term` to an output element in double and stores it back in the output dtype.
template <typename T>
void accumulate(T& into, double term) noexcept {
  into = static_cast<T>(static_cast<double>(into) + term);
}

}  // namespace

template <typename T>
Outcome integrate(const T* vertices, const int32_t* faces, const T* colour, int64_t face_count,
                  const Image& image, T* out, const IntegrateWorkspace& ws, bool binned) noexcept {
  const int64_t H = image.height, W = image.width;
  for (int64_t p = 0; p < 4 * H * W; ++p) out[p] = T(0);
  ClipPolygon spare[3];
  const PixelScratch scratch{ws.bank_a, ws.bank_b, kBankCapacity, spare};
  CandidateScan<T> scan({vertices, faces, face_count}, image, binned);
  double colours[kCandidateCapacity][9];
  for (int64_t j = 0; j < H; ++j) {
    const double o = image.oy + static_cast<double>(j);
    for (int64_t i = 0; i < W; ++i) {
      const int32_t n = scan.collect(j, i, ws.candidates);
      if (n < 0) return Outcome::kCandidates;
      if (n == 0) continue;
      const double u = image.ox + static_cast<double>(i);
      const PixelFaces pixel = pixel_faces(vertices, faces, ws.candidates, n, u, o);
      gather_colours(colour, ws.candidates, n, colours);
      ClipBudget budget;
      const VisibleIntegral r = evaluate_pixel<DualValue>(pixel, ws.triangles, ws.weights, colours,
                                                          kNoSeed, scratch, budget);
      if (budget.overflow) return Outcome::kCapacity;
      for (int c = 0; c < 4; ++c) out[4 * (j * W + i) + c] = static_cast<T>(r.r[c].v);
    }
  }
  return all_finite(out, 4 * H * W) ? Outcome::kOk : Outcome::kAccumulation;
}

template <typename T>
Outcome integrate_backward(const T* vertices, int64_t vertex_count, const int32_t* faces,
                           const T* colour, int64_t face_count, const Image& image,
                           const T* gradient, T* vertex_grad, T* colour_grad,
                           const IntegrateWorkspace& ws, bool binned, bool one_pass) noexcept {
  const int64_t H = image.height, W = image.width;
  for (int64_t q = 0; q < 3 * vertex_count; ++q) vertex_grad[q] = T(0);
  for (int64_t q = 0; q < 9 * face_count; ++q) colour_grad[q] = T(0);
  ClipPolygon spare[3];
  const PixelScratch scratch{ws.bank_a, ws.bank_b, kBankCapacity, spare};
  // The banks are free once a pixel's plain evaluation is done: the tangent evaluations use them.
  const auto lanes =
      tangent_scratch<ShadedTriangleOf<Bundle>>(ws.bank_a, 2 * kBankCapacity * sizeof(ClipPolygon));
  CandidateScan<T> scan({vertices, faces, face_count}, image, binned);
  double colours[kCandidateCapacity][9];
  int64_t distinct[3 * kCandidateCapacity];
  int64_t seeds[9 * kCandidateCapacity];
  for (int64_t j = 0; j < H; ++j) {
    const double o = image.oy + static_cast<double>(j);
    for (int64_t i = 0; i < W; ++i) {
      const int32_t n = scan.collect(j, i, ws.candidates);
      if (n < 0) return Outcome::kCandidates;
      if (n == 0) continue;
      const double u = image.ox + static_cast<double>(i);
      const PixelFaces pixel = pixel_faces(vertices, faces, ws.candidates, n, u, o);
      gather_colours(colour, ws.candidates, n, colours);
      ClipBudget budget;
      evaluate_pixel<DualValue>(pixel, ws.triangles, ws.weights, colours, kNoSeed, scratch, budget);
      if (budget.overflow) return Outcome::kCapacity;
      double g[4];
      for (int c = 0; c < 4; ++c) g[c] = static_cast<double>(gradient[4 * (j * W + i) + c]);
      for (int32_t k = 0; k < n; ++k)
        for (int t = 0; t < 3; ++t)
          for (int c = 0; c < 3; ++c)
            accumulate(colour_grad[9 * ws.candidates[k] + 3 * t + c], g[c] * ws.weights[k][t].v);
      const int32_t count =
          pixel_seeds(distinct, distinct_vertices(faces, ws.candidates, n, distinct), 3, seeds);
      for (int32_t first = 0; first < count; first += one_pass ? kLanes : 1) {
        if (one_pass) {
          ClipBudget bundle_budget;
          const VisibleIntegralOf<Bundle> r =
              evaluate_pixel<Bundle>(pixel, lanes.triangles, lanes.weights, colours,
                                     lanes_of(seeds, first, count), lanes.pixel, bundle_budget);
          if (!bundle_budget.overflow) {
            for (int32_t l = 0; l < kLanes && first + l < count; ++l)
              accumulate(vertex_grad[seeds[first + l]], product(r, l, g));
            continue;
          }
        }
        // One seeded evaluation per coordinate: the reference, and the fallback of a pixel whose
        // pieces overflow the smaller tangent banks.
        const int32_t last = one_pass ? std::min(first + kLanes, count) : first + 1;
        for (int32_t q = first; q < last; ++q) {
          ClipBudget seeded_budget;
          const VisibleIntegral r = evaluate_pixel<DualValue>(
              pixel, ws.triangles, ws.weights, colours, seeds[q], scratch, seeded_budget);
          if (seeded_budget.overflow) return Outcome::kDerivative;
          accumulate(vertex_grad[seeds[q]], product(r, g));
        }
      }
    }
  }
  return all_finite(vertex_grad, 3 * vertex_count) && all_finite(colour_grad, 9 * face_count)
             ? Outcome::kOk
             : Outcome::kAccumulation;
}

template Outcome integrate<float>(const float*, const int32_t*, const float*, int64_t, const Image&,
                                  float*, const IntegrateWorkspace&, bool) noexcept;
template Outcome integrate<double>(const double*, const int32_t*, const double*, int64_t,
                                   const Image&, double*, const IntegrateWorkspace&, bool) noexcept;
template Outcome integrate_backward<float>(const float*, int64_t, const int32_t*, const float*,
                                           int64_t, const Image&, const float*, float*, float*,
                                           const IntegrateWorkspace&, bool, bool) noexcept;
template Outcome integrate_backward<double>(const double*, int64_t, const int32_t*, const double*,
                                            int64_t, const Image&, const double*, double*, double*,
                                            const IntegrateWorkspace&, bool, bool) noexcept;

}  // namespace vrel::opaque
