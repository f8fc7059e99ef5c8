#include "fit/runs/start_point.h"

#include <gtest/gtest.h>

#include <limits>

namespace tarnwex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kScaleTolerance = 1e-12;

TEST(StartPoint, WithoutShapeParametersMovesTheYieldsOffTheStartByTheTolerance) {
  const std::vector<double> yields{60.0, 40.0};
  const StartPoint tight = make_start_point(yields, {}, 1e-8);
  ASSERT_EQ(tight.x.size(), 2);
  EXPECT_NEAR(tight.x[0], 59.994, kScaleTolerance);
  EXPECT_NEAR(tight.x[1], 39.996, kScaleTolerance);

  const StartPoint loose = make_start_point(yields, {}, 1.0);
  EXPECT_EQ(loose.x[0], 30.0);
  EXPECT_EQ(loose.x[1], 20.0);

  // sqrt(1e-16) = 1e-8 is below the smallest factor 1e-6.
  const StartPoint smallest = make_start_point(yields, {}, 1e-16);
  EXPECT_EQ(smallest.x[0], 60.0 * (1.0 - 1e-6));
}

TEST(StartPoint, NeverLowersAYieldBelowMachineEpsilon) {
  const std::vector<double> yields{kEpsilon, 10.0};
  const StartPoint start = make_start_point(yields, {}, 1e-8);
  EXPECT_EQ(start.x[0], kEpsilon);
}

TEST(StartPoint, WithShapeParametersKeepsTheYieldsAndAppendsTheShapes) {
  const std::vector<double> yields{60.0, 40.0};
  const std::vector<ShapeParameter> shapes{{"width", 2.0, 0.0, 10.0}, {"mean", -1.0, -kInf, kInf}};
  const StartPoint start = make_start_point(yields, shapes, 1e-8);
  ASSERT_EQ(start.x.size(), 4);
  EXPECT_EQ(start.x[0], 60.0);
  EXPECT_EQ(start.x[1], 40.0);
  EXPECT_EQ(start.x[2], 2.0);
  EXPECT_EQ(start.x[3], -1.0);
  const std::vector<std::pair<double, double>> expected_bounds{
      {kEpsilon, kInf}, {kEpsilon, kInf}, {0.0, 10.0}, {-kInf, kInf}};
  EXPECT_EQ(start.bounds, expected_bounds);
}

}  // namespace
}  // namespace tarnwex
