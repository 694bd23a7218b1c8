// The exact-geometry layer: clipping, areas, moments, separation tests and the capacities.
#include <gtest/gtest.h>

#include <cmath>

#include "opaque/geometry.hpp"

namespace vrel::opaque {
namespace {

HalfPlane plane(double a, double b, double c, double dc = 0) { return {{a, 0}, {b, 0}, {c, dc}}; }

TEST(OpaqueGeometry, ClipKeepsVerticesOnTheLineAndRecordsCrossings) {
  ClipPolygon square, out;
  unit_square(square);
  ClipBudget budget;
  // x <= 0.25 (inside: -x + 0.25 >= 0), with the offset seeded: d(area)/dc = 1 (edge length).
  clip(square, plane(-1, 0, 0.25, 1), budget, out, 7);
  ASSERT_EQ(out.count, 4);
  EXPECT_EQ(area(out).v, 0.25);
  EXPECT_EQ(area(out).d, 1.0);
  EXPECT_EQ(budget.steps, 4);
  int crossings = 0;
  for (int i = 0; i < out.count; ++i) {
    if (out.provenance[i] == 7) {
      ++crossings;
      EXPECT_EQ(out.points[i].x.v, 0.25);
      EXPECT_EQ(out.points[i].x.d, 1.0);
    } else {
      EXPECT_EQ(out.provenance[i], kNoLine);
    }
  }
  EXPECT_EQ(crossings, 2);
  // The diagonal through two corners keeps them exactly and adds no point.
  clip(square, plane(1, -1, 0), budget, out);
  ASSERT_EQ(out.count, 3);
  EXPECT_EQ(area(out).v, 0.5);
  // Touching at one corner only, or along an edge, leaves nothing of area.
  clip(square, plane(-1, -1, 0), budget, out);
  EXPECT_TRUE(is_empty(out));
  clip(square, plane(-1, 0, 0), budget, out);
  EXPECT_TRUE(is_empty(out));
}

TEST(OpaqueGeometry, MomentsGiveTheCentroid) {
  ClipPolygon t;
  t.count = 3;
  const double xs[3] = {3, 1, 0}, ys[3] = {0, 2, 0};  // clockwise: orientation must not matter
  for (int i = 0; i < 3; ++i) t.points[i] = {{xs[i], 0}, {ys[i], 0}};
  const Moments m = moments(t);
  EXPECT_DOUBLE_EQ(m.area.v, 3);
  EXPECT_DOUBLE_EQ(m.mx.v / m.area.v, 4.0 / 3);
  EXPECT_DOUBLE_EQ(m.my.v / m.area.v, 2.0 / 3);
  EXPECT_DOUBLE_EQ(area(t).v, 3);
}

TEST(OpaqueGeometry, SeparationIsCertainOnlyStrictlyOutside) {
  ClipPolygon square;
  unit_square(square);
  ClipBudget budget;
  EXPECT_TRUE(certainly_excludes(plane(1, 0, -1.5), square, budget));  // x >= 1.5
  EXPECT_EQ(budget.steps, 4);
  EXPECT_FALSE(certainly_excludes(plane(1, 0, -1), square, budget));  // touches x = 1
  // 0.1*3 - 0.30000000000000004 is slightly negative in exact arithmetic but rounds to 0: the
  // rounded-up bound is positive, so the test stays conservative.
  ClipPolygon p;
  p.count = 1;
  p.points[0] = {{3, 0}, {0, 0}};
  EXPECT_FALSE(certainly_excludes(plane(0.1, 0, -0.30000000000000004), p, budget));
  // Orientation signs are reported only when rounding cannot have flipped them.
  EXPECT_EQ(certain_orientation(0, 0, 1, 0, 0.5, 1e-3), 1);
  EXPECT_EQ(certain_orientation(0, 0, 1, 0, 0.5, -1e-3), -1);
  EXPECT_EQ(certain_orientation(0.1, 0.3, 0.7, 2.1, 0.4, 1.2), 0);  // collinear up to rounding
  EXPECT_EQ(next_up(0.0), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(next_up(-std::numeric_limits<double>::denorm_min()), 0.0);
  EXPECT_GT(next_up(1.0), 1.0);
}

TEST(OpaqueGeometry, CapacitiesSetTheOverflowFlag) {
  ClipPolygon square, out;
  unit_square(square);
  ClipBudget budget;
  budget.steps = kStepBudget - 3;
  clip(square, plane(1, 0, 0), budget, out);
  EXPECT_TRUE(budget.overflow);
  EXPECT_TRUE(is_empty(out));
  clip(square, plane(1, 0, 0), budget, out);  // a set flag empties every later clip
  EXPECT_TRUE(is_empty(out));

  // A convex 64-gon with one corner cut off needs 65 vertices.
  ClipPolygon round;
  round.count = kPolygonCapacity;
  for (int i = 0; i < kPolygonCapacity; ++i) {
    const double t = 2 * M_PI * i / kPolygonCapacity;
    round.points[i] = {{std::cos(t), 0}, {std::sin(t), 0}};
    round.provenance[i] = kNoLine;
  }
  ClipBudget fresh;
  clip(round, plane(-1, 0, 0.999), fresh, out);
  EXPECT_TRUE(fresh.overflow);
  EXPECT_TRUE(is_empty(out));
  ClipBudget cut;
  clip(round, plane(-1, 0, 0.5), cut, out);  // many corners go: fits
  EXPECT_FALSE(cut.overflow);
  EXPECT_GT(out.count, 3);
}

}  // namespace
}  // namespace vrel::opaque
