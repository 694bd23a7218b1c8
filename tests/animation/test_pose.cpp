// Rodrigues rotations and forward kinematics: values against independent evaluations, the
// coefficient branches, evaluation order and hierarchy faults, and gradients against central
// differences.
#include <cmath>
#include <map>

#include "tests/animation/animation_test.hpp"

using namespace vrel::test;

namespace {

template <typename T>
Result rodrigues(Tensor<T>& axis, Tensor<T>& out) {
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  const VrelStatus st = vrel_transforms_rodrigues(axis.in(), &ctx, out.out(), nullptr, diag);
  return {st, diag.text()};
}

template <typename T>
Tensor<T> rotation_of(std::vector<T> v) {
  Tensor<T> axis({1, 3}, std::move(v));
  Tensor<T> out({1, 3, 3});
  EXPECT_EQ(rodrigues(axis, out).status, VREL_STATUS_OK);
  return out;
}

// R = cos(theta) I + sin(theta) [k]x + (1 - cos(theta)) k k^T, in long double.
std::vector<long double> direct_rotation(const double* v) {
  const long double x = v[0], y = v[1], z = v[2];
  const long double theta = std::sqrt(x * x + y * y + z * z);
  std::vector<long double> r(9, 0.0L);
  r[0] = r[4] = r[8] = 1;
  if (theta == 0) return r;
  const long double k[3] = {x / theta, y / theta, z / theta};
  const long double c = std::cos(theta), s = std::sin(theta);
  const long double cross[9] = {0, -k[2], k[1], k[2], 0, -k[0], -k[1], k[0], 0};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[3 * i + j] = (i == j ? c : 0) + s * cross[3 * i + j] + (1 - c) * k[i] * k[j];
  return r;
}

template <typename T>
class RodriguesTyped : public ::testing::Test {};
using Floating = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RodriguesTyped, Floating);

TYPED_TEST(RodriguesTyped, ZeroVectorGivesTheIdentityExactly) {
  const Tensor<TypeParam> r = rotation_of<TypeParam>({0, 0, 0});
  for (int i = 0; i < 9; ++i) EXPECT_EQ(r[i], (i % 4 == 0) ? TypeParam(1) : TypeParam(0)) << i;
}

TYPED_TEST(RodriguesTyped, OrthonormalAndAgreesWithTheDirectFormula) {
  using T = TypeParam;
  const double tol = std::is_same_v<T, float> ? 3e-6 : 2e-15;
  std::mt19937 rng(7);
  // Angles from tiny (series branch) to several turns (closed form).
  Tensor<T> axis = random_tensor<T>({64, 3}, rng, -4.0, 4.0);
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 3; ++c) axis[3 * i + c] *= T(0.01);
  Tensor<T> out({64, 3, 3});
  ASSERT_EQ(rodrigues(axis, out).status, VREL_STATUS_OK);
  for (int n = 0; n < 64; ++n) {
    const T* r = &out[9 * n];
    const double v[3] = {axis[3 * n], axis[3 * n + 1], axis[3 * n + 2]};
    const std::vector<long double> ref = direct_rotation(v);
    for (int i = 0; i < 9; ++i)
      EXPECT_NEAR(r[i], static_cast<double>(ref[i]), tol) << n << ":" << i;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double rrt = double(r[3 * i]) * r[3 * j] + double(r[3 * i + 1]) * r[3 * j + 1] +
                           double(r[3 * i + 2]) * r[3 * j + 2];
        EXPECT_NEAR(rrt, i == j ? 1.0 : 0.0, 2 * tol);
      }
    const double det = double(r[0]) * (double(r[4]) * r[8] - double(r[5]) * r[7]) -
                       double(r[1]) * (double(r[3]) * r[8] - double(r[5]) * r[6]) +
                       double(r[2]) * (double(r[3]) * r[7] - double(r[4]) * r[6]);
    EXPECT_NEAR(det, 1.0, 3 * tol);
  }
}

// t = 2^-8 exactly takes the series, the next representable x the closed form: both the matrices
// and the gradients agree to rounding across the switch.
TYPED_TEST(RodriguesTyped, SeriesAndClosedFormAgreeAtTheSwitch) {
  using T = TypeParam;
  const bool single = std::is_same_v<T, float>;
  const T below = T(0.0625);  // t = 2^-8
  const T above = std::nextafter(below, T(1));
  Tensor<T> axis({2, 3}, {below, T(0), T(0), above, T(0), T(0)});
  Tensor<T> out({2, 3, 3});
  ASSERT_EQ(rodrigues(axis, out).status, VREL_STATUS_OK);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(out[i], out[9 + i], single ? 2e-7 : 1e-15) << i;

  // A general direction (a, a, a) with |v|^2 on either side of 2^-8, one ulp of a apart.
  auto t_of = [](T a) { return a * a + a * a + a * a; };
  T a = T(0.0625 / std::sqrt(3.0));
  while (t_of(a) > T(0.00390625)) a = std::nextafter(a, T(0));
  while (t_of(std::nextafter(a, T(1))) <= T(0.00390625)) a = std::nextafter(a, T(1));
  const T b = std::nextafter(a, T(1));
  Tensor<T> tilted({2, 3}, {a, a, a, b, b, b});
  std::mt19937 rng(3);
  Tensor<T> g = random_tensor<T>({2, 3, 3}, rng);
  for (int i = 0; i < 9; ++i) g[9 + i] = g[i];
  Tensor<T> grad({2, 3});
  VrelExecutionContext ctx = cpu_context();
  ASSERT_EQ(
      vrel_transforms_rodrigues_backward(tilted.in(), g.in(), &ctx, grad.out(), nullptr, nullptr),
      0);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(grad[k], grad[3 + k], single ? 2e-5 : 1e-9) << k;
}

TEST(Rodrigues, KeepsLeadingExtentsAndRefusesOtherShapes) {
  std::mt19937 rng(1);
  Tensor<double> axis = random_tensor<double>({5, 2, 3}, rng);
  Tensor<double> out({5, 2, 3, 3});
  ASSERT_EQ(rodrigues(axis, out).status, VREL_STATUS_OK);
  const std::vector<long double> ref = direct_rotation(&axis[3 * 7]);
  EXPECT_NEAR(out[9 * 7 + 5], static_cast<double>(ref[5]), 1e-15);

  Tensor<double> flat({3, 4});
  Tensor<double> flat_out({3, 4, 3});
  const Result r = rodrigues(flat, flat_out);
  EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "axis_angle must have shape [...,3] within the native rank limit");

  Tensor<double> wrong_out({5, 2, 3, 4});
  EXPECT_EQ(rodrigues(axis, wrong_out).message, "animation tensor has wrong shape");
  Tensor<double> low_rank_out({5, 2, 9});
  EXPECT_EQ(rodrigues(axis, low_rank_out).message, "animation tensor has wrong rank");
}

TEST(Rodrigues, SquaredAngleOverflowWritesNothing) {
  Tensor<float> axis({2, 3}, {0.1f, 0.2f, 0.3f, 3e19f, 3e19f, 0});
  Tensor<float> out({2, 3, 3});
  poison(out);
  const Result r = rodrigues(axis, out);
  EXPECT_EQ(r.status, VREL_STATUS_OVERFLOW);
  EXPECT_EQ(r.message, "Rodrigues squared angle overflow");
  EXPECT_TRUE(poisoned(out));
}

TEST(Rodrigues, BackwardMatchesCentralDifferences) {
  std::mt19937 rng(11);
  Tensor<double> axis = random_tensor<double>({12, 3}, rng, -2.0, 2.0);
  for (int c = 0; c < 3; ++c) {
    axis[c] *= 0.02;  // series branch
    axis[3 + c] = 0;  // the zero vector
  }
  const Tensor<double> g = random_tensor<double>({12, 3, 3}, rng);
  Tensor<double> grad({12, 3});
  Tensor<double> g_copy = g;
  VrelExecutionContext ctx = cpu_context();
  ASSERT_EQ(vrel_transforms_rodrigues_backward(axis.in(), g_copy.in(), &ctx, grad.out(), nullptr,
                                               nullptr),
            0);
  Tensor<double> out({12, 3, 3});
  expect_gradient("axis_angle", axis, grad, [&] {
    EXPECT_EQ(rodrigues(axis, out).status, 0);
    return dot(out, g);
  });
}

// ---- Forward kinematics ----------------------------------------------------------------------

template <typename T>
Tensor<T> random_transforms(int64_t batch, int64_t joints, std::mt19937& rng) {
  Tensor<T> l = random_tensor<T>({batch, joints, 4, 4}, rng);
  for (int64_t m = 0; m < batch * joints; ++m) {
    l[16 * m + 12] = l[16 * m + 13] = l[16 * m + 14] = 0;
    l[16 * m + 15] = 1;
  }
  return l;
}

struct Fk {
  Tensor<int32_t> parents;
  int64_t batch = 0, joints = 0;
  Workspace workspace{0};

  Fk(const std::vector<int32_t>& p, int64_t b, uint32_t dtype)
      : parents({static_cast<int64_t>(p.size())}, p),
        batch(b),
        joints(static_cast<int64_t>(p.size())),
        workspace(required(b, joints, dtype), 8) {}

  static uint64_t required(int64_t b, int64_t j, uint32_t dtype) {
    VrelExecutionContext ctx = cpu_context();
    uint64_t bytes = 0, alignment = 0;
    EXPECT_EQ(
        vrel_skeleton_forward_kinematics_workspace(b, j, dtype, &ctx, &bytes, &alignment, nullptr),
        0);
    EXPECT_EQ(alignment, 8u);
    return bytes;
  }

  template <typename T>
  Result forward(Tensor<T>& local, Tensor<T>& world) {
    VrelExecutionContext ctx = cpu_context();
    Diag diag;
    const VrelStatus st = vrel_skeleton_forward_kinematics(local.in(), parents.in(), &ctx,
                                                           world.out(), workspace.get(), diag);
    return {st, diag.text()};
  }

  // The evaluation order the last call left at the start of the workspace.
  std::vector<int32_t> order() const {
    std::vector<int32_t> o(static_cast<std::size_t>(joints));
    std::memcpy(o.data(), const_cast<Workspace&>(workspace)->data, o.size() * sizeof(int32_t));
    return o;
  }
};

// W[j] by recursion on the parent chain, in long double.
std::vector<long double> naive_world(const Tensor<double>& local,
                                     const std::vector<int32_t>& parents, int64_t b, int32_t j) {
  const int64_t joints = static_cast<int64_t>(parents.size());
  const double* l = &local[static_cast<std::size_t>((b * joints + j) * 16)];
  std::vector<long double> own(l, l + 16);
  if (parents[j] < 0) return own;
  const std::vector<long double> parent = naive_world(local, parents, b, parents[j]);
  std::vector<long double> w(16, 0.0L);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 4; ++k) w[4 * r + c] += parent[4 * r + k] * own[4 * k + c];
  return w;
}

TEST(ForwardKinematics, AgreesWithRecursiveComposition) {
  std::mt19937 rng(5);
  const std::vector<int32_t> parents = {3, -1, 1, 1, 2, -1, 5, 0};  // children before parents too
  Fk fk(parents, 3, VREL_DTYPE_FLOAT64);
  Tensor<double> local = random_transforms<double>(3, 8, rng);
  Tensor<double> world({3, 8, 4, 4});
  ASSERT_EQ(fk.forward(local, world).status, VREL_STATUS_OK);
  for (int64_t b = 0; b < 3; ++b)
    for (int32_t j = 0; j < 8; ++j) {
      const std::vector<long double> ref = naive_world(local, parents, b, j);
      for (int e = 0; e < 16; ++e)
        EXPECT_NEAR(world[static_cast<std::size_t>((b * 8 + j) * 16 + e)], double(ref[e]), 1e-13);
    }
}

TEST(ForwardKinematics, EvaluationOrderTakesTheLowestReadyJoint) {
  const std::map<std::vector<int32_t>, std::vector<int32_t>> cases = {
      {{-1, 0, 1}, {0, 1, 2}},
      {{1, -1}, {1, 0}},
      {{-1, 2, -1, 1}, {0, 2, 1, 3}},
      {{2, 2, -1, 0}, {2, 0, 1, 3}},
  };
  for (const auto& [parents, order] : cases) {
    Fk fk(parents, 1, VREL_DTYPE_FLOAT32);
    std::mt19937 rng(2);
    Tensor<float> local = random_transforms<float>(1, fk.joints, rng);
    Tensor<float> world({1, fk.joints, 4, 4});
    ASSERT_EQ(fk.forward(local, world).status, VREL_STATUS_OK);
    EXPECT_EQ(fk.order(), order);
    // The layout behind the order: J visited flags, all set, then the world matrices at 8 J
    // bytes, which the output copies.
    const auto* base = static_cast<const unsigned char*>(fk.workspace->data);
    std::vector<int32_t> visited(static_cast<std::size_t>(fk.joints));
    std::memcpy(visited.data(), base + 4 * fk.joints, visited.size() * sizeof(int32_t));
    EXPECT_EQ(visited, std::vector<int32_t>(visited.size(), 1));
    EXPECT_EQ(std::memcmp(base + 8 * fk.joints, world.ptr(), world.bytes()), 0);
  }
}

TEST(ForwardKinematics, HierarchyFaultsWriteNothing) {
  const std::vector<std::pair<std::vector<int32_t>, std::string>> cases = {
      {{1, 0}, "skeleton hierarchy contains a cycle"},
      {{-1, 2, 1}, "skeleton hierarchy contains a cycle"},
      {{0}, "invalid skeleton parent index"},
      {{-1, -2}, "invalid skeleton parent index"},
      {{-1, 2}, "invalid skeleton parent index"},
  };
  for (const auto& [parents, message] : cases) {
    Fk fk(parents, 2, VREL_DTYPE_FLOAT64);
    std::mt19937 rng(2);
    Tensor<double> local = random_transforms<double>(2, fk.joints, rng);
    Tensor<double> world({2, fk.joints, 4, 4});
    poison(world);
    const Result r = fk.forward(local, world);
    EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.message, message);
    EXPECT_TRUE(poisoned(world));
  }
}

TEST(ForwardKinematics, EmptySkeletonAndNonFiniteValues) {
  Fk empty({}, 4, VREL_DTYPE_FLOAT32);
  Tensor<float> none({4, 0, 4, 4});
  Tensor<float> none_out({4, 0, 4, 4});
  EXPECT_EQ(empty.forward(none, none_out).status, VREL_STATUS_OK);

  Fk fk({-1, 0}, 1, VREL_DTYPE_FLOAT32);
  std::mt19937 rng(4);
  Tensor<float> local = random_transforms<float>(1, 2, rng);
  Tensor<float> world({1, 2, 4, 4});
  local[20] = std::nanf("");
  poison(world);
  Result r = fk.forward(local, world);
  EXPECT_EQ(r.message, "animation floating inputs must be finite");
  EXPECT_TRUE(poisoned(world));

  local[20] = 1;
  for (int e = 0; e < 16; ++e) local[e] = local[16 + e] = 3e25f;
  r = fk.forward(local, world);
  EXPECT_EQ(r.status, VREL_STATUS_OVERFLOW);
  EXPECT_EQ(r.message, "FK matrix product overflow");
  EXPECT_TRUE(poisoned(world));  // the products are built in the workspace
}

TEST(ForwardKinematics, WorkspaceSizeAndRules) {
  EXPECT_EQ(Fk::required(2, 3, VREL_DTYPE_FLOAT32), 792u);
  EXPECT_EQ(Fk::required(2, 3, VREL_DTYPE_FLOAT64), 1560u);
  EXPECT_EQ(Fk::required(5, 0, VREL_DTYPE_FLOAT64), 0u);

  std::mt19937 rng(6);
  Tensor<float> local = random_transforms<float>(2, 3, rng);
  Tensor<float> world({2, 3, 4, 4});
  Tensor<int32_t> parents({3}, {-1, 0, 0});
  VrelExecutionContext ctx = cpu_context();
  auto call = [&](VrelBufferDescriptor* ws) {
    Diag diag;
    const VrelStatus st =
        vrel_skeleton_forward_kinematics(local.in(), parents.in(), &ctx, world.out(), ws, diag);
    return Result{st, diag.text()};
  };
  EXPECT_EQ(call(nullptr).message, "FK workspace is too small");
  Workspace small(791, 8);
  EXPECT_EQ(call(small.get()).status, VREL_STATUS_INSUFFICIENT_CAPACITY);
  Workspace loose(800, 4);
  EXPECT_EQ(call(loose.get()).message, "FK workspace requires 8-byte alignment");
  Workspace shifted(800, 8);
  shifted->data = static_cast<char*>(shifted->data) + 4;
  shifted->alignment = 4;
  EXPECT_EQ(call(shifted.get()).message, "FK workspace requires 8-byte alignment");
  Workspace exact(792, 8);
  EXPECT_EQ(call(exact.get()).status, VREL_STATUS_OK);

  // A workspace that shares bytes with the output or an input.
  std::vector<double> shared(200);
  VrelBufferDescriptor over = *exact.get();
  over.data = shared.data();
  over.capacity = 792;
  View world_view(shared.data() + 80, {2, 3, 4, 4}, VREL_DTYPE_FLOAT32, VREL_TENSOR_OUTPUT);
  Diag diag;
  EXPECT_EQ(
      vrel_skeleton_forward_kinematics(local.in(), parents.in(), &ctx, world_view, &over, diag),
      VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "animation workspace overlaps output");
  View local_view(shared.data() + 40, {2, 3, 4, 4}, VREL_DTYPE_FLOAT32);
  std::memcpy(shared.data() + 40, local.ptr(), local.bytes());
  EXPECT_EQ(
      vrel_skeleton_forward_kinematics(local_view, parents.in(), &ctx, world.out(), &over, diag),
      VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "animation workspace overlaps input");
}

TEST(ForwardKinematics, BackwardMatchesCentralDifferences) {
  std::mt19937 rng(8);
  Fk fk({2, -1, 1, 0, 0, -1}, 2, VREL_DTYPE_FLOAT64);
  Tensor<double> local = random_tensor<double>({2, 6, 4, 4}, rng);
  const Tensor<double> g = random_tensor<double>({2, 6, 4, 4}, rng);
  Tensor<double> g_copy = g;
  Tensor<double> grad({2, 6, 4, 4});
  VrelExecutionContext ctx = cpu_context();
  Diag diag;
  ASSERT_EQ(vrel_skeleton_forward_kinematics_backward(local.in(), fk.parents.in(), g_copy.in(),
                                                      &ctx, grad.out(), fk.workspace.get(), diag),
            0)
      << diag.text();
  Tensor<double> world({2, 6, 4, 4});
  expect_gradient("local", local, grad, [&] {
    EXPECT_EQ(fk.forward(local, world).status, 0);
    return dot(world, g);
  });
}

}  // namespace
