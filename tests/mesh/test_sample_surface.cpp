// Surface sampling: the generator, the counter, the sampling rules and the backward.
#include <gtest/gtest.h>

#include <cmath>

#include "math/philox.hpp"
#include "mesh/sample_surface_kernel.hpp"
#include "tests/mesh/mesh_support.hpp"

using namespace vrel::test;
using vrel::math::philox4x32_10;
using vrel::math::PhiloxCounter;

namespace {

template <typename T>
struct Sampled {
  Tensor<T> points, barycentric;
  Tensor<int32_t> face_index;
  Tensor<uint32_t> next_counter;
  VrelStatus status;
  std::string message;
};

template <typename T>
struct Problem {
  Tensor<T> vertices;
  Tensor<int32_t> faces, vertex_offsets, face_offsets;
  Tensor<uint32_t> key{{2}, {0x12345678u, 0x9abcdef0u}};
  Tensor<uint32_t> counter{{2}, {3u, 0u}};
  double eps = 0;

  int64_t batch() const { return vertex_offsets.shape()[0] - 1; }

  Sampled<T> sample(int64_t S) {
    const int64_t B = batch();
    Sampled<T> s{Tensor<T>::filled({B, S, 3}, T(-7)),
                 Tensor<T>::filled({B, S, 3}, T(-7)),
                 Tensor<int32_t>::filled({B, S}, -7),
                 Tensor<uint32_t>::filled({2}, 77u),
                 0,
                 ""};
    VrelExecutionContext ctx = cpu_context();
    uint64_t bytes = 0, alignment = 0;
    Diag d;
    EXPECT_EQ(vrel_mesh_sample_surface_workspace(vertices.shape()[0], faces.shape()[0], S,
                                                 dtype_of<T>(), &ctx, &bytes, &alignment, d),
              0);
    Workspace ws(bytes, alignment);
    s.status = vrel_mesh_sample_surface(vertices.in(), faces.in(), vertex_offsets.in(),
                                        face_offsets.in(), S, key.in(), counter.in(), eps, &ctx,
                                        s.points.out(), s.face_index.out(), s.barycentric.out(),
                                        s.next_counter.out(), ws.get(), d);
    s.message = d.text();
    return s;
  }
};

// Two batch elements: element 0 is the unit right triangle; element 1 has faces of doubled
// areas 2, 0, 6 and 0 (the zero-area faces must never be chosen).
template <typename T>
Problem<T> two_elements() {
  Problem<T> p;
  p.vertices =
      Tensor<T>({8, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 4, 0, 0});
  p.faces = Tensor<int32_t>({5, 3}, {0, 1, 2, 3, 4, 5, 3, 4, 7, 3, 4, 6, 3, 3, 6});
  p.vertex_offsets = Tensor<int32_t>({3}, {0, 3, 8});
  p.face_offsets = Tensor<int32_t>({3}, {0, 1, 5});
  return p;
}

template <typename T>
class SampleSurface : public ::testing::Test {};
using Floating = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SampleSurface, Floating);

}  // namespace

TEST(Philox, KnownAnswerVectors) {
  EXPECT_EQ(philox4x32_10({0, 0, 0, 0}, {0, 0}),
            (PhiloxCounter{0x6627e8d5u, 0xe169c58du, 0xbc57ac4cu, 0x9b00dbd8u}));
  EXPECT_EQ(philox4x32_10({0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu},
                          {0xffffffffu, 0xffffffffu}),
            (PhiloxCounter{0x408f276du, 0x41c83b0eu, 0xa20bc7c6u, 0x6d5451fdu}));
  EXPECT_EQ(philox4x32_10({0x243f6a88u, 0x85a308d3u, 0x13198a2eu, 0x03707344u},
                          {0xa4093822u, 0x299f31d0u}),
            (PhiloxCounter{0xd16cfe09u, 0x94fdccebu, 0x5001e420u, 0x24126ea1u}));
}

// The face choice written as one plain loop per sample.
int64_t reference_choice(const std::vector<double>& sums, int64_t first, int64_t last, double t) {
  int64_t lo = first, hi = last;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (t < sums[mid])
      hi = mid;
    else
      lo = mid + 1;
  }
  while (lo > first && sums[lo - 1] >= sums[lo]) --lo;
  return lo;
}

TEST(SampleSurfaceChoice, LockStepSearchMatchesThePlainSearch) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    const int64_t first = trial % 3, n = 1 + static_cast<int64_t>(rng() % 300);
    std::vector<double> sums(first + n, -1.0);
    double total = 0;
    for (int64_t k = first; k < first + n; ++k) {
      if (rng() % 3 != 0 || k == first + n / 2)
        total += 0.5 + (rng() % 100) / 10.0;  // some faces stay empty
      sums[k] = total;
    }
    double t[vrel::mesh::kSampleLanes];
    int64_t got[vrel::mesh::kSampleLanes];
    const int count = 1 + trial % vrel::mesh::kSampleLanes;
    for (int i = 0; i < count; ++i) {
      // Uniform points, the exact running sums and zero.
      const uint32_t pick = rng();
      t[i] = i % 4 == 0   ? sums[first + pick % n]
             : i % 4 == 1 ? 0.0
                          : vrel::mesh::unit_uniform(pick) * total;
      if (t[i] >= total) t[i] = std::nextafter(total, 0.0);
    }
    vrel::mesh::choose_faces(sums.data(), first, first + n - 1, t, count, got);
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(got[i], reference_choice(sums, first, first + n - 1, t[i]))
          << "trial " << trial << " lane " << i;
      const double before = got[i] == first ? 0.0 : sums[got[i] - 1];
      ASSERT_GT(sums[got[i]], before) << "an empty face was chosen";
    }
  }
}

TEST(SampleSurfaceCounter, NextCounterCarries) {
  const std::vector<std::pair<std::vector<uint32_t>, std::vector<uint32_t>>> cases = {
      {{4294967295u, 7u}, {0u, 8u}}, {{5u, 7u}, {6u, 7u}}, {{4294967295u, 4294967295u}, {0u, 0u}}};
  for (const auto& [counter, next] : cases) {
    Problem<double> p = two_elements<double>();
    p.counter = Tensor<uint32_t>({2}, counter);
    const Sampled<double> s = p.sample(0);  // S = 0 writes only the next counter
    ASSERT_EQ(s.status, 0) << s.message;
    EXPECT_EQ(s.next_counter.values(), next);
    EXPECT_EQ(s.points.size(), 0u);
  }
}

TYPED_TEST(SampleSurface, SamplesFollowTheGeneratorAddressing) {
  using T = TypeParam;
  Problem<T> p = two_elements<T>();
  const Sampled<T> s = p.sample(64);
  ASSERT_EQ(s.status, 0) << s.message;
  EXPECT_EQ(s.next_counter.values(), (std::vector<uint32_t>{4u, 0u}));
  for (uint32_t b = 0; b < 2; ++b) {
    for (uint32_t i = 0; i < 64; ++i) {
      const std::size_t row = b * 64 + i;
      // Sample i of element b draws from counter (counter[0], counter[1], b, i).
      const PhiloxCounter x =
          philox4x32_10({p.counter[0], p.counter[1], b, i}, {p.key[0], p.key[1]});
      const double r = std::sqrt(x[1] * 0x1p-32), q = x[2] * 0x1p-32;
      EXPECT_EQ(s.barycentric[3 * row], static_cast<T>(1 - r));
      EXPECT_EQ(s.barycentric[3 * row + 1], static_cast<T>((1 - q) * r));
      EXPECT_EQ(s.barycentric[3 * row + 2], static_cast<T>(q * r));
      const int32_t face = s.face_index[row];
      ASSERT_GE(face, p.face_offsets[b]);
      ASSERT_LT(face, p.face_offsets[b + 1]);
      EXPECT_NE(face, 2);  // zero-area faces are never chosen
      EXPECT_NE(face, 4);
      double sum = 0;
      for (int k = 0; k < 3; ++k) {
        EXPECT_GE(s.barycentric[3 * row + k], T(0));
        sum += s.barycentric[3 * row + k];
      }
      EXPECT_NEAR(sum, 1.0, 1e-6);
      for (int c = 0; c < 3; ++c) {
        double want = 0;
        for (int k = 0; k < 3; ++k)
          want += double(s.barycentric[3 * row + k]) *
                  double(p.vertices[3 * p.faces[3 * face + k] + c]);
        EXPECT_NEAR(s.points[3 * row + c], want, 1e-5);
      }
    }
  }
}

TEST(SampleSurface, ReproducibleAndKeyedByTheCounter) {
  Problem<double> p = two_elements<double>();
  const Sampled<double> a = p.sample(32), b = p.sample(32);
  EXPECT_EQ(a.points.values(), b.points.values());
  EXPECT_EQ(a.face_index.values(), b.face_index.values());
  p.counter[1] = 1;
  const Sampled<double> c = p.sample(32);
  for (std::size_t i = 0; i < 64; ++i)
    EXPECT_NE(a.barycentric[3 * i + 1], c.barycentric[3 * i + 1]) << "sample " << i;
}

TEST(SampleSurface, CounterAdvancesInPlace) {
  Problem<double> p = two_elements<double>();
  const Sampled<double> reference = p.sample(8);
  Tensor<double> pts({2, 8, 3}), bary({2, 8, 3});
  Tensor<int32_t> fi({2, 8});
  Workspace ws(40, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  View counter_out(p.counter.ptr(), {2}, VREL_DTYPE_UINT32, VREL_TENSOR_OUTPUT);
  ASSERT_EQ(vrel_mesh_sample_surface(p.vertices.in(), p.faces.in(), p.vertex_offsets.in(),
                                     p.face_offsets.in(), 8, p.key.in(), p.counter.in(), 0, &ctx,
                                     pts.out(), fi.out(), bary.out(), counter_out, ws.get(), d),
            0)
      << d.text();
  EXPECT_EQ(p.counter.values(), (std::vector<uint32_t>{4u, 0u}));
  EXPECT_EQ(pts.values(), reference.points.values());  // drawn with the counter before the advance
}

TEST(SampleSurface, FacesAreChosenInProportionToArea) {
  Problem<double> p = two_elements<double>();
  const int64_t S = 8000;
  const Sampled<double> s = p.sample(S);
  ASSERT_EQ(s.status, 0) << s.message;
  int64_t large = 0;
  for (int64_t i = 0; i < S; ++i) large += s.face_index[S + i] == 3;
  // Areas 1 and 3 in element 1: three quarters of its samples land on face 3.
  EXPECT_NEAR(double(large) / S, 0.75, 0.02);
}

TEST(SampleSurface, ElementWithoutPositiveAreaFails) {
  Problem<double> p = two_elements<double>();
  p.eps = 2.0;  // element 0 (doubled area 1) has no face above eps; element 1 has face 3
  Sampled<double> s = p.sample(4);
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "cannot sample a batch element with no positive-area face");
  p.eps = 0;
  p.face_offsets = Tensor<int32_t>({3}, {0, 5, 5});  // element 1 without faces, element 0 gets all
  p.vertex_offsets = Tensor<int32_t>({3}, {0, 8, 8});
  s = p.sample(4);
  EXPECT_EQ(s.message, "cannot sample a batch element with no positive-area face");
  // Found before anything is written: no sample, and the counter is not advanced.
  for (const int32_t x : s.face_index.values()) EXPECT_EQ(x, -7);
  EXPECT_EQ(s.next_counter.values(), (std::vector<uint32_t>{77u, 77u}));
}

TEST(SampleSurface, ForwardChecks) {
  Problem<double> p = two_elements<double>();
  VrelExecutionContext ctx = cpu_context();
  Tensor<double> pts({2, 4, 3}), bary({2, 4, 3});
  Tensor<int32_t> fi({2, 4});
  Tensor<uint32_t> next({2});
  Workspace ws(40, 8);
  Diag d;
  auto run = [&](int64_t S, const VrelTensorView* points, const VrelTensorView* counter_out,
                 const VrelBufferDescriptor* w, double eps = 0) {
    std::fill(next.values().begin(), next.values().end(), 77u);
    return vrel_mesh_sample_surface(p.vertices.in(), p.faces.in(), p.vertex_offsets.in(),
                                    p.face_offsets.in(), S, p.key.in(), p.counter.in(), eps, &ctx,
                                    points, fi.out(), bary.out(), counter_out, w, d);
  };
  EXPECT_FAILS(run(-1, pts.out(), next.out(), ws.get()), d, 1,
               "the sample count must be nonnegative");
  EXPECT_FAILS(run(4, pts.out(), next.out(), ws.get(), -1), d, 1,
               "eps must be finite and nonnegative");
  EXPECT_FAILS(run(4, pts.out(), next.in(), ws.get()), d, 1,
               "operation outputs must carry the output flag");
  Tensor<int32_t> next_int({2});
  EXPECT_FAILS(run(4, pts.out(), next_int.out(), ws.get()), d, 1,
               "generator key and counter must use the uint32 dtype");
  // A refused call does not advance the counter.
  EXPECT_FAILS(run(5, pts.out(), next.out(), ws.get()), d, 1,
               "points must be a [B,S,3] output view");
  EXPECT_EQ(next.values(), (std::vector<uint32_t>{77u, 77u}));
  // Workspace: capacity before validation, then the double alignment.
  Workspace small(32, 8);
  small->reserved_word = 1;
  EXPECT_FAILS(run(4, pts.out(), next.out(), small.get()), d, 3,
               "the forward pass requires the workspace capacity reported by the query");
  EXPECT_FAILS(run(4, pts.out(), next.out(), nullptr), d, 3,
               "the forward pass requires the workspace capacity reported by the query");
  Workspace wide(64, 4);
  VrelBufferDescriptor odd = *wide.get();
  odd.capacity = 40;
  if (reinterpret_cast<uintptr_t>(odd.data) % 8 == 0) odd.data = static_cast<char*>(odd.data) + 4;
  EXPECT_FAILS(run(4, pts.out(), next.out(), &odd), d, 1,
               "the workspace data pointer must be aligned to double");
  Problem<double> q = two_elements<double>();
  // A next counter that overlaps an input it would corrupt is refused before it is written.
  View next_over_key(p.key.ptr(), {2}, VREL_DTYPE_UINT32, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(run(4, pts.out(), next_over_key, ws.get()), d, 1,
               "outputs may not alias an input or another output");
  EXPECT_EQ(p.key.values(), (std::vector<uint32_t>{0x12345678u, 0x9abcdef0u}));
  // Offsets.
  EXPECT_FAILS(vrel_mesh_sample_surface(p.vertices.in(), p.faces.in(), nullptr, p.face_offsets.in(),
                                        4, p.key.in(), p.counter.in(), 0, &ctx, pts.out(), fi.out(),
                                        bary.out(), next.out(), ws.get(), d),
               d, 1, "required arguments must not be null");
  p.face_offsets[1] = 2;
  EXPECT_FAILS(run(4, pts.out(), next.out(), ws.get()), d, 1,
               "each face must reference vertices of its own batch element");
  p.face_offsets[1] = 6;
  EXPECT_FAILS(run(4, pts.out(), next.out(), ws.get()), d, 1,
               "face offsets must satisfy the packed-offset rules");
  p.face_offsets[1] = 1;
  p.vertex_offsets[2] = 7;
  EXPECT_FAILS(run(4, pts.out(), next.out(), ws.get()), d, 1,
               "vertex offsets must satisfy the packed-offset rules");
  p.vertex_offsets[2] = 8;
  p.key = Tensor<uint32_t>({3});
  EXPECT_FAILS(run(4, pts.out(), next.out(), ws.get()), d, 1,
               "the generator key must be a [2] uint32 view");
  Tensor<float> float_counter({2});
  EXPECT_FAILS(
      vrel_mesh_sample_surface(q.vertices.in(), q.faces.in(), q.vertex_offsets.in(),
                               q.face_offsets.in(), 4, q.key.in(), float_counter.in(), 0, &ctx,
                               pts.out(), fi.out(), bary.out(), next.out(), ws.get(), d),
      d, 1, "generator key and counter must use the uint32 dtype");
  // Points over the vertices.
  View pts1(q.vertices.ptr(), {2, 1, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Tensor<double> bary1({2, 1, 3});
  Tensor<int32_t> fi1({2, 1});
  EXPECT_FAILS(vrel_mesh_sample_surface(q.vertices.in(), q.faces.in(), q.vertex_offsets.in(),
                                        q.face_offsets.in(), 1, q.key.in(), q.counter.in(), 0, &ctx,
                                        pts1, fi1.out(), bary1.out(), next.out(), ws.get(), d),
               d, 1, "outputs may not alias an input or another output");
  VrelExecutionContext streamed = cpu_context();
  streamed.stream = 1;
  EXPECT_FAILS(
      vrel_mesh_sample_surface(q.vertices.in(), q.faces.in(), q.vertex_offsets.in(),
                               q.face_offsets.in(), 1, q.key.in(), q.counter.in(), 0, &streamed,
                               pts1, fi1.out(), bary1.out(), next.out(), ws.get(), d),
      d, 1, "CPU execution does not accept a stream handle");
}

TYPED_TEST(SampleSurface, BackwardIsTheAdjointOfTheForward) {
  using T = TypeParam;
  Problem<T> p = two_elements<T>();
  const int64_t S = 16;
  Sampled<T> s = p.sample(S);
  ASSERT_EQ(s.status, 0) << s.message;
  const std::vector<double> g = random_values(2 * S * 3, 9);
  Tensor<T> grad_points({2, S, 3});
  for (std::size_t i = 0; i < g.size(); ++i) grad_points[i] = static_cast<T>(g[i]);
  Tensor<T> grad = Tensor<T>::filled({8, 3}, T(3));
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  ASSERT_EQ(vrel_mesh_sample_surface_backward(p.faces.in(), s.face_index.in(), s.barycentric.in(),
                                              grad_points.in(), &ctx, grad.out(), nullptr, d),
            0)
      << d.text();
  // points are linear in the vertices for fixed faces and weights: <grad, V> = <g, points>.
  double lhs = 0, rhs = 0;
  for (std::size_t i = 0; i < grad.size(); ++i) lhs += double(grad[i]) * double(p.vertices[i]);
  for (std::size_t i = 0; i < g.size(); ++i) rhs += double(grad_points[i]) * double(s.points[i]);
  EXPECT_NEAR(lhs, rhs, 1e-4 * (1 + std::fabs(rhs)));
  // Vertices that no sampled face uses get zero gradient (rows 7 belongs only to a zero-area face).
  for (int c = 0; c < 3; ++c) EXPECT_EQ(grad[7 * 3 + c], T(0));
}

TEST(SampleSurface, BackwardChecksAndRangeErrors) {
  Tensor<int32_t> faces({1, 3}, {0, 1, 2});
  Tensor<int32_t> fi({1, 2}, {0, 0});
  Tensor<double> bary({1, 2, 3}, {1, 0, 0, 0, 0.5, 0.5}), g({1, 2, 3}, {1, 2, 3, 4, 5, 6}),
      grad({3, 3});
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  ASSERT_EQ(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary.in(), g.in(), &ctx,
                                              grad.out(), nullptr, d),
            0);
  EXPECT_EQ(grad.values(), (std::vector<double>{1, 2, 3, 2, 2.5, 3, 2, 2.5, 3}));
  Tensor<float> g32({1, 2, 3});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary.in(), g32.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 1, "cotangents must match the barycentric dtype");
  Tensor<float> grad32({3, 3});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary.in(), g.in(), &ctx,
                                                 grad32.out(), nullptr, d),
               d, 1, "vertex gradients must match the barycentric dtype");
  Tensor<double> bary_short({1, 1, 3});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary_short.in(), g.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 1, "barycentrics must be a [B,S,3] tensor view");
  Tensor<int32_t> bary_int({1, 2, 3});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary_int.in(), g.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 2, "barycentrics must use the float32 or float64 dtype");
  Tensor<double> faces_double({1, 3});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces_double.in(), fi.in(), bary.in(), g.in(),
                                                 &ctx, grad.out(), nullptr, d),
               d, 1, "faces must use the int32 dtype");
  View grad_over_g(g.ptr(), {2, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary.in(), g.in(), &ctx,
                                                 grad_over_g, nullptr, d),
               d, 1, "outputs may not alias an input or another output");
  Tensor<int32_t> fi_bad({1, 2}, {0, 1});
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi_bad.in(), bary.in(), g.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 1, "a sampled face index lies outside the face range");
  // V comes from the gradient: a two-row gradient cannot take corner 2.
  Tensor<double> grad2 = Tensor<double>::filled({2, 3}, 5.0);
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi.in(), bary.in(), g.in(), &ctx,
                                                 grad2.out(), nullptr, d),
               d, 1, "a face references a vertex outside the gradient range");
  // The range faults are found before the gradient is cleared: it is left as it was.
  for (const double x : grad2.values()) EXPECT_EQ(x, 5.0);
  Tensor<int32_t> fi_late({1, 2}, {0, 3});
  grad = Tensor<double>::filled({3, 3}, 5.0);
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(faces.in(), fi_late.in(), bary.in(), g.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 1, "a sampled face index lies outside the face range");
  for (const double x : grad.values()) EXPECT_EQ(x, 5.0);
}

TEST(SampleSurface, AccessFlagsOfOffsetsAndSampledInputsAreNotExamined) {
  Problem<double> p = two_elements<double>();
  const Sampled<double> reference = p.sample(4);
  ASSERT_EQ(reference.status, 0) << reference.message;
  Tensor<double> pts({2, 4, 3}), bary({2, 4, 3});
  Tensor<int32_t> fi({2, 4});
  Tensor<uint32_t> next({2});
  Workspace ws(40, 8);
  VrelExecutionContext ctx = cpu_context();
  Diag d;
  // Offsets flagged as outputs are accepted like any other offsets.
  ASSERT_EQ(vrel_mesh_sample_surface(p.vertices.in(), p.faces.in(), p.vertex_offsets.out(),
                                     p.face_offsets.out(), 4, p.key.in(), p.counter.in(), 0, &ctx,
                                     pts.out(), fi.out(), bary.out(), next.out(), ws.get(), d),
            0)
      << d.text();
  EXPECT_EQ(pts.values(), reference.points.values());
  // The forward's output views go back into the backward as they are.
  Tensor<double> g = Tensor<double>::filled({2, 4, 3}, 1.0), grad({8, 3}), want({8, 3});
  ASSERT_EQ(vrel_mesh_sample_surface_backward(p.faces.in(), fi.in(), bary.in(), g.in(), &ctx,
                                              want.out(), nullptr, d),
            0)
      << d.text();
  Workspace gpu(16, 8);
  gpu->device_type = VREL_DEVICE_CUDA;  // unused scratch: validated, never touched
  ASSERT_EQ(vrel_mesh_sample_surface_backward(p.faces.in(), fi.out(), bary.out(), g.out(), &ctx,
                                              grad.out(), gpu.get(), d),
            0)
      << d.text();
  EXPECT_EQ(grad.values(), want.values());
  // Their device still is examined: device memory never reaches the kernel.
  View cuda_fi = fi.in();
  cuda_fi->device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(vrel_mesh_sample_surface_backward(p.faces.in(), cuda_fi, bary.in(), g.in(), &ctx,
                                                 grad.out(), nullptr, d),
               d, 2, "mesh operations implement only the CPU backend in this phase");
  View cuda_offsets = p.face_offsets.in();
  cuda_offsets->device_type = VREL_DEVICE_CUDA;
  EXPECT_FAILS(vrel_mesh_sample_surface(p.vertices.in(), p.faces.in(), p.vertex_offsets.in(),
                                        cuda_offsets, 4, p.key.in(), p.counter.in(), 0, &ctx,
                                        pts.out(), fi.out(), bary.out(), next.out(), ws.get(), d),
               d, 2, "mesh operations implement only the CPU backend in this phase");
  // No samples and no vertices: the empty gradient (null data) is accepted.
  View fi0(nullptr, {0, 4}, VREL_DTYPE_INT32), b0(nullptr, {0, 4, 3}, VREL_DTYPE_FLOAT64),
      g0(nullptr, {0, 4, 3}, VREL_DTYPE_FLOAT64),
      grad0(nullptr, {0, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(vrel_mesh_sample_surface_backward(p.faces.in(), fi0, b0, g0, &ctx, grad0, nullptr, d),
            0)
      << d.text();
}

TEST(SampleSurface, WorkspaceQuery) {
  VrelExecutionContext ctx = cpu_context(), cuda = cuda_context();
  uint64_t bytes = 0, alignment = 0;
  Diag d;
  EXPECT_EQ(
      vrel_mesh_sample_surface_workspace(4, 5, 10, VREL_DTYPE_FLOAT32, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 40u);
  EXPECT_EQ(alignment, 8u);
  EXPECT_EQ(vrel_mesh_sample_surface_workspace(4, 5, 10, VREL_DTYPE_FLOAT32, &cuda, &bytes,
                                               &alignment, d),
            0);
  EXPECT_EQ(bytes, 44u);
  EXPECT_EQ(alignment, 8u);
  EXPECT_EQ(
      vrel_mesh_sample_surface_workspace(0, 2305843009213693951, 0, 1, &ctx, &bytes, &alignment, d),
      0);
  EXPECT_EQ(bytes, 2305843009213693951ull * 8);
  EXPECT_FAILS(
      vrel_mesh_sample_surface_workspace(0, 2305843009213693952, 0, 1, &ctx, &bytes, &alignment, d),
      d, 4, "workspace byte requirement overflows 64-bit capacity");
  // The overflow rule applies to the CUDA answer too.
  EXPECT_FAILS(vrel_mesh_sample_surface_workspace(0, 2305843009213693952, 0, 1, &cuda, &bytes,
                                                  &alignment, d),
               d, 4, "workspace byte requirement overflows 64-bit capacity");
  EXPECT_EQ(vrel_mesh_sample_surface_workspace(0, 2305843009213693951, 0, 1, &cuda, &bytes,
                                               &alignment, d),
            0);
  EXPECT_EQ(bytes, 2305843009213693951ull * 8 + 4);
  EXPECT_FAILS(vrel_mesh_sample_surface_workspace(0, 1, -1, 1, &ctx, &bytes, &alignment, d), d, 1,
               "counts must be nonnegative");
  EXPECT_FAILS(vrel_mesh_sample_surface_workspace(0, 1, 1, 4, &ctx, &bytes, &alignment, d), d, 2,
               "mesh.sample_surface supports the float32 and float64 dtypes");
}

TEST(SampleSurface, BadInputs) {
  Problem<double> p = two_elements<double>();
  VrelExecutionContext ctx = cpu_context();
  VrelDiagnostic* nd = nullptr;
  Tensor<double> pts({2, 4, 3}), bary({2, 4, 3});
  Tensor<int32_t> fi({2, 4});
  Tensor<uint32_t> next({2});
  Workspace ws(40, 8);
  View v = p.vertices.in(), f = p.faces.in(), vo = p.vertex_offsets.in(), fo = p.face_offsets.in(),
       key = p.key.in(), counter = p.counter.in(), pv = pts.out(), fiv = fi.out(), bv = bary.out(),
       nv = next.out();
  check_bad_inputs(
      "vrel_mesh_sample_surface", vrel_mesh_sample_surface,
      std::make_tuple(v.get(), f.get(), vo.get(), fo.get(), int64_t{4}, key.get(), counter.get(),
                      0.0, &ctx, pv.get(), fiv.get(), bv.get(), nv.get(), ws.get(), nd),
      bad_input_plan({region(pts), region(fi), region(bary)},
                     {{13, VREL_STATUS_INSUFFICIENT_CAPACITY}}));
  Tensor<double> grad({8, 3});
  Workspace none(0);
  View fiin = fi.in(), bin = bary.in(), gp = pts.in(), gv = grad.out();
  ASSERT_EQ(p.sample(4).status, 0);
  const Sampled<double> s = p.sample(4);
  std::copy(s.face_index.values().begin(), s.face_index.values().end(), fi.values().begin());
  std::copy(s.barycentric.values().begin(), s.barycentric.values().end(), bary.values().begin());
  check_bad_inputs(
      "vrel_mesh_sample_surface_backward", vrel_mesh_sample_surface_backward,
      std::make_tuple(f.get(), fiin.get(), bin.get(), gp.get(), &ctx, gv.get(), none.get(), nd),
      bad_input_plan({region(grad)}, {{6, VREL_STATUS_OK}}));
  uint64_t bytes = 0, alignment = 0;
  check_bad_inputs("vrel_mesh_sample_surface_workspace", vrel_mesh_sample_surface_workspace,
                   std::make_tuple(int64_t{8}, int64_t{5}, int64_t{4}, VREL_DTYPE_FLOAT64, &ctx,
                                   &bytes, &alignment, nd),
                   BadInputPlan{});
}
