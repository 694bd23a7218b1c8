// The pairwise tree: the in-place passes and the scratch-free walk give the same bits, and the
// order is the tree's, not a running sum's.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "math/pairwise.hpp"

namespace {

using vrel::math::pairwise_sum;
using vrel::math::pairwise_sum_inplace;

// Reference written from the rule: pair adjacent entries into a new list, carry an odd last one.
double tree_reference(std::vector<double> values) {
  if (values.empty()) return 0.0;
  while (values.size() > 1) {
    std::vector<double> next;
    for (std::size_t i = 0; i + 1 < values.size(); i += 2)
      next.push_back(values[i] + values[i + 1]);
    if (values.size() % 2 != 0) next.push_back(values.back());
    values = next;
  }
  return values[0];
}

TEST(Pairwise, InPlaceAndWalkMatchTheRuleForEveryCount) {
  for (std::size_t n = 0; n <= 67; ++n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i)
      values[i] = (i % 3 == 0 ? 1e16 : 1.0) * (i % 2 ? -1.0 : 1.0) + 0.1 * i;
    const double expected = tree_reference(values);
    const double walked = pairwise_sum<double>(n, [&](std::size_t i) { return values[i]; });
    std::vector<double> scratch = values;
    const double in_place = pairwise_sum_inplace(scratch.data(), n);
    EXPECT_EQ(expected, walked) << "n = " << n;
    EXPECT_EQ(expected, in_place) << "n = " << n;
  }
}

TEST(Pairwise, DiffersFromARunningSum) {
  // Running: ((2^53 + 1) + 1) - 2^53 = 0 (each + 1 ties to even); the tree:
  // (2^53 + 1) + (1 - 2^53) = 2^53 - (2^53 - 1) = 1.
  const double big = 9007199254740992.0;
  double values[] = {big, 1.0, 1.0, -big};
  EXPECT_EQ(0.0, ((values[0] + values[1]) + values[2]) + values[3]);
  EXPECT_EQ(1.0, pairwise_sum<double>(4, [&](std::size_t i) { return values[i]; }));
  EXPECT_EQ(1.0, pairwise_sum_inplace(values, 4));
}

TEST(Pairwise, FloatSumsInFloat) {
  const float values[] = {16777216.0f, 1.0f, 1.0f};
  // (2^24 + 1) rounds to 2^24 in float, then the carried 1 rounds away again.
  EXPECT_EQ(16777216.0f, pairwise_sum<float>(3, [&](std::size_t i) { return values[i]; }));
}

}  // namespace
