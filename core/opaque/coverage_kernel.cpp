#include "opaque/coverage_kernel.hpp"

#include <algorithm>
#include <cmath>

namespace vrel::opaque {

CoverageWorkspace coverage_workspace(void* data) noexcept {
  auto* bytes = static_cast<unsigned char*>(data);
  constexpr uint64_t kBank = kBankCapacity * sizeof(ClipPolygon);
  constexpr uint64_t kTriangles = 2 * kBank;
  constexpr uint64_t kCandidates = kTriangles + kCandidateCapacity * sizeof(CoverageTriangle);
  static_assert(kCandidates + kCandidateCapacity * sizeof(int64_t) == kCoverageWorkspaceBytes);
  return {reinterpret_cast<ClipPolygon*>(bytes), reinterpret_cast<ClipPolygon*>(bytes + kBank),
          reinterpret_cast<CoverageTriangle*>(bytes + kTriangles),
          reinterpret_cast<int64_t*>(bytes + kCandidates)};
}

namespace {

// Builds the candidates' triangles for one seed (or set of lanes) and evaluates their union.
template <typename D, typename Seed>
D evaluate_pixel(const PixelFaces& pixel, CoverageTriangleOf<D>* triangles, const Seed& seed,
                 const PixelScratchOf<D>& scratch, ClipBudget& budget) noexcept {
  for (int32_t k = 0; k < pixel.count; ++k)
    triangles[k] = coverage_triangle<D>(pixel.faces[k], seed);
  return union_coverage(triangles, pixel.count, pixel.apart, scratch, budget);
}

}  // namespace

template <typename T>
Outcome coverage(const T* vertices, const int32_t* faces, int64_t face_count, const Image& image,
                 T* out, const CoverageWorkspace& ws, bool binned) noexcept {
  const int64_t H = image.height, W = image.width;
  for (int64_t p = 0; p < H * W; ++p) out[p] = T(0);
  ClipPolygon spare[3];
  const PixelScratch scratch{ws.bank_a, ws.bank_b, kBankCapacity, spare};
  CandidateScan<T> scan({vertices, faces, face_count}, image, binned);
  for (int64_t j = 0; j < H; ++j) {
    const double o = image.oy + static_cast<double>(j);
    for (int64_t i = 0; i < W; ++i) {
      const int32_t n = scan.collect(j, i, ws.candidates);
      if (n < 0) return Outcome::kCandidates;
      if (n == 0) continue;
      const double u = image.ox + static_cast<double>(i);
      const PixelFaces pixel = pixel_faces(vertices, faces, ws.candidates, n, u, o);
      ClipBudget budget;
      const DualValue value =
          evaluate_pixel<DualValue>(pixel, ws.triangles, kNoSeed, scratch, budget);
      if (budget.overflow) return Outcome::kCapacity;
      out[j * W + i] = static_cast<T>(value.v);
    }
  }
  return Outcome::kOk;
}

template <typename T>
Outcome coverage_backward(const T* vertices, int64_t vertex_count, const int32_t* faces,
                          int64_t face_count, const Image& image, const T* gradient, T* vertex_grad,
                          const CoverageWorkspace& ws, bool binned, bool one_pass) noexcept {
  const int64_t H = image.height, W = image.width;
  for (int64_t q = 0; q < 3 * vertex_count; ++q) vertex_grad[q] = T(0);
  ClipPolygon spare[3];
  const PixelScratch scratch{ws.bank_a, ws.bank_b, kBankCapacity, spare};
  // The banks are free once a pixel's plain evaluation is done: the tangent evaluations use them.
  const auto lanes = tangent_scratch<CoverageTriangleOf<Bundle>>(
      ws.bank_a, 2 * kBankCapacity * sizeof(ClipPolygon));
  CandidateScan<T> scan({vertices, faces, face_count}, image, binned);
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
      ClipBudget budget;
      evaluate_pixel<DualValue>(pixel, ws.triangles, kNoSeed, scratch, budget);
      if (budget.overflow) return Outcome::kCapacity;
      const double g = static_cast<double>(gradient[j * W + i]);
      const int32_t count =
          pixel_seeds(distinct, distinct_vertices(faces, ws.candidates, n, distinct), 2, seeds);
      for (int32_t first = 0; first < count; first += one_pass ? kLanes : 1) {
        if (one_pass) {
          ClipBudget bundle_budget;
          const Bundle value = evaluate_pixel<Bundle>(
              pixel, lanes.triangles, lanes_of(seeds, first, count), lanes.pixel, bundle_budget);
          if (!bundle_budget.overflow) {
            for (int32_t l = 0; l < kLanes && first + l < count; ++l) {
              T& into = vertex_grad[seeds[first + l]];
              into = static_cast<T>(static_cast<double>(into) + value.d[l] * g);
            }
            continue;
          }
        }
        // One seeded evaluation per coordinate: the reference, and the fallback of a pixel whose
        // pieces overflow the smaller tangent banks.
        const int32_t last = one_pass ? std::min(first + kLanes, count) : first + 1;
        for (int32_t q = first; q < last; ++q) {
          ClipBudget seeded_budget;
          const DualValue value =
              evaluate_pixel<DualValue>(pixel, ws.triangles, seeds[q], scratch, seeded_budget);
          if (seeded_budget.overflow) return Outcome::kDerivative;
          T& into = vertex_grad[seeds[q]];
          into = static_cast<T>(static_cast<double>(into) + value.d * g);
        }
      }
    }
  }
  // A large cotangent can overflow the accumulated gradient (in float32 above all) although
  // every evaluation was finite.
  for (int64_t q = 0; q < 3 * vertex_count; ++q)
    if (!std::isfinite(vertex_grad[q])) return Outcome::kAccumulation;
  return Outcome::kOk;
}

template Outcome coverage<float>(const float*, const int32_t*, int64_t, const Image&, float*,
                                 const CoverageWorkspace&, bool) noexcept;
template Outcome coverage<double>(const double*, const int32_t*, int64_t, const Image&, double*,
                                  const CoverageWorkspace&, bool) noexcept;
template Outcome coverage_backward<float>(const float*, int64_t, const int32_t*, int64_t,
                                          const Image&, const float*, float*,
                                          const CoverageWorkspace&, bool, bool) noexcept;
template Outcome coverage_backward<double>(const double*, int64_t, const int32_t*, int64_t,
                                           const Image&, const double*, double*,
                                           const CoverageWorkspace&, bool, bool) noexcept;

}  // namespace vrel::opaque
