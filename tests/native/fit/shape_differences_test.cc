#include "fit/likelihood/shape_differences.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace tarnwex {
namespace {

// A cubic NLL in three shape parameters with very different scales, and
// yield sums linear and quadratic in them: every stencil used is exact for
// it, so only rounding separates the result from the analytic derivatives.
struct Cubic {
  std::vector<double> at{0.0, 5.0, 0.3};
  double value(std::span<const double> t) const {
    const double u = t[0], v = (t[1] - 5.0) * 1e3, w = (t[2] - 0.3) * 10.0;
    return 0.5 * u * u + 0.5 * v * v + 0.5 * w * w + 0.3 * u * v - 0.2 * v * w + 0.1 * u * w +
           0.05 * u * u * u + 0.02 * v * v * w;
  }
  double yield_sum(std::span<const double> t) const { return 1.0 + 2.0 * t[0] + t[1] * t[2]; }
};

TEST(ShapeDifferences, MatchAnalyticDerivativesAndStayInsideTheBox) {
  const Cubic cubic;
  // The first parameter sits on its lower bound, the third next to its upper one.
  const std::vector<std::pair<double, double>> bounds{
      {0.0, 10.0}, {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()},
      {0.0, 0.3 + 1e-5}};
  const double f0 = cubic.value(cubic.at);
  bool inside = true;
  int points = 0;
  const ShapePointFunction sums_at =
      [&](std::span<const double> t, ScoreTap) -> std::expected<ShapePointSums, SPlotError> {
    ++points;
    for (std::size_t j = 0; j < t.size(); ++j) {
      inside = inside && t[j] >= bounds[j].first && t[j] <= bounds[j].second;
    }
    ShapePointSums sums;
    sums.nll_change = cubic.value(t) - f0;
    sums.yield_sums = {cubic.yield_sum(t)};
    sums.squared_log_change = 2.0 * std::abs(sums.nll_change);
    return sums;
  };
  const std::vector<double> reference{cubic.yield_sum(cubic.at)};
  const std::vector<double> scales{1.0, 1e-3, 0.1};
  const std::vector<double> gradient_steps{1e-2, 1e-5, 1e-3};
  auto d = shape_derivatives(cubic.at, bounds, ShapeSteps{scales, gradient_steps, 1.0}, reference,
                             sums_at);
  ASSERT_TRUE(d);
  EXPECT_TRUE(inside);
  EXPECT_LT(points, 50);
  // The gradient is 0 at u = v = w = 0; the one-sided difference along u is
  // exact for a cubic.
  EXPECT_NEAR(d->gradient[0], 0.0, 2e-5);
  EXPECT_NEAR(d->gradient[1], 0.0, 1e-3);
  Matrix expected(3, 3);
  expected << 1.0, 0.3e3, 0.1 * 10.0,  //
      0.3e3, 1e6, -0.2e4,              //
      0.1 * 10.0, -0.2e4, 100.0;
  for (Eigen::Index i = 0; i < 3; ++i) {
    for (Eigen::Index j = 0; j < 3; ++j) {
      EXPECT_NEAR(d->shape_shape(i, j), expected(i, j), 1e-6 * std::abs(expected(i, j)) + 1e-6)
          << i << ", " << j;
      EXPECT_EQ(d->shape_shape(i, j), d->shape_shape(j, i));
    }
  }
  // -d S / d t = -(2, t2, t1).
  EXPECT_NEAR(d->yield_shape(0, 0), -2.0, 1e-7);
  EXPECT_NEAR(d->yield_shape(0, 1), -0.3, 1e-7);
  EXPECT_NEAR(d->yield_shape(0, 2), -5.0, 1e-6);
}

TEST(ShapeDifferences, PassOnTheFirstError) {
  const std::vector<double> at{1.0};
  const std::vector<std::pair<double, double>> bounds{{0.0, 2.0}};
  int points = 0;
  const ShapePointFunction failing =
      [&](std::span<const double>, ScoreTap) -> std::expected<ShapePointSums, SPlotError> {
    ++points;
    return std::unexpected(SPlotError::pdf_evaluation("broken"));
  };
  const std::vector<double> scales{1.0};
  auto d = shape_derivatives(at, bounds, ShapeSteps{scales, scales, 1.0}, std::vector<double>{1.0},
                             failing);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().display(), "PDF evaluation failed: broken");
  EXPECT_EQ(points, 1);
}

}  // namespace
}  // namespace tarnwex
