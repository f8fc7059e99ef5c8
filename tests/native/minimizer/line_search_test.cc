#include "minimizer/more_thuente_line_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwex {
namespace {

// A problem given by closures, recording where it was asked and able to fail
// at a chosen call of each operation.
class RecordingProblem : public ScalarGradient<std::string> {
 public:
  RecordingProblem(std::function<double(const Vector&)> objective,
                   std::function<Vector(const Vector&)> gradient)
      : objective_(std::move(objective)), gradient_(std::move(gradient)) {}

  std::expected<double, std::string> evaluate(const Vector& x) override {
    objective_points.push_back(x[0]);
    if (fail_objective_at && objective_points.size() == *fail_objective_at + 1) {
      return std::unexpected("objective refused");
    }
    return objective_(x);
  }
  std::expected<Vector, std::string> gradient(const Vector& x) override {
    gradient_points.push_back(x[0]);
    if (fail_gradient_at && gradient_points.size() == *fail_gradient_at + 1) {
      return std::unexpected("gradient refused");
    }
    return gradient_(x);
  }

  std::vector<double> objective_points;
  std::vector<double> gradient_points;
  std::optional<std::size_t> fail_objective_at;
  std::optional<std::size_t> fail_gradient_at;

 private:
  std::function<double(const Vector&)> objective_;
  std::function<Vector(const Vector&)> gradient_;
};

// f(x) = (x - m)^2 along one coordinate.
RecordingProblem parabola(double m) {
  return RecordingProblem([m](const Vector& x) { return (x[0] - m) * (x[0] - m); },
                          [m](const Vector& x) { return Vector{{2.0 * (x[0] - m)}}; });
}

struct Counters {
  std::size_t objective = 0;
  std::size_t gradient = 0;
};

std::expected<LineSearchOutput, std::string> run(RecordingProblem& problem, const Vector& x,
                                                 const Vector& p, std::optional<double> alpha_max,
                                                 Counters& counters,
                                                 const MoreThuenteLineSearch& params = {}) {
  return more_thuente_search(params, x, p, alpha_max, std::nullopt, TransformedProblem<std::string>(problem),
                             counters.objective, counters.gradient);
}

const Vector kOrigin{{0.0}};
const Vector kForward{{1.0}};

TEST(MoreThuenteSearchTest, AcceptsTheFirstTrialAtTheExactMinimiser) {
  RecordingProblem problem = parabola(1.0);
  Counters counters;
  const auto out = run(problem, kOrigin, kForward, 4.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_EQ(out->step_length, 1.0);
  EXPECT_EQ(out->value, 0.0);
  EXPECT_EQ(out->gradient, Vector{{0.0}});
  EXPECT_EQ(counters.objective, 2u);
  EXPECT_EQ(counters.gradient, 2u);
  EXPECT_EQ(problem.objective_points, (std::vector<double>{0.0, 1.0}));
}

TEST(MoreThuenteSearchTest, AnOvershootingFirstTrialIsBisectedEvaluatingMidpointThenLo) {
  RecordingProblem problem = parabola(0.25);
  Counters counters;
  const auto out = run(problem, kOrigin, kForward, 1.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_EQ(out->step_length, 0.25);
  // Start, trial 1, then (midpoint, lo) pairs: 0.5 is rejected since f(0.5) = f(0).
  EXPECT_EQ(problem.objective_points, (std::vector<double>{0.0, 1.0, 0.5, 0.0, 0.25, 0.0}));
  EXPECT_EQ(problem.gradient_points, (std::vector<double>{0.0, 0.25}));
  EXPECT_EQ(counters.objective, 6u);
  EXPECT_EQ(counters.gradient, 2u);
}

TEST(MoreThuenteSearchTest, AFirstTrialClimbingAgainEntersTheBisectionWithLoAboveHi) {
  // f = x^8 / 8 - x / 2: f(1) passes the decrease test but its slope 0.5 exceeds 0.9 * 0.5.
  RecordingProblem problem(
      [](const Vector& x) { return std::pow(x[0], 8) / 8.0 - 0.5 * x[0]; },
      [](const Vector& x) { return Vector{{std::pow(x[0], 7) - 0.5}}; });
  Counters counters;
  const auto out = run(problem, kOrigin, kForward, 1.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_EQ(out->step_length, 0.875);
  EXPECT_EQ(problem.objective_points,
            (std::vector<double>{0.0, 1.0, 0.5, 1.0, 0.75, 1.0, 0.875, 1.0}));
  EXPECT_EQ(counters.gradient, 3u);
}

TEST(MoreThuenteSearchTest, ALinearDescentTakesTheLargestStepTheBoxAllows) {
  RecordingProblem problem([](const Vector& x) { return -x[0]; },
                                 [](const Vector&) { return Vector{{-1.0}}; });
  Counters counters;
  const auto out = run(problem, kOrigin, kForward, 10.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_EQ(out->step_length, 10.0);
  EXPECT_EQ(out->value, -10.0);

  // Trial i is evaluated at points[i + 1]. Each trial goes 80 % of the
  // remaining way to 10 and reaches it exactly at trial 23, where the
  // objective still falls: that step is taken, not repeated.
  const auto& points = problem.objective_points;
  ASSERT_EQ(points.size(), 25u);
  EXPECT_EQ(points[1], 1.0);
  EXPECT_DOUBLE_EQ(points[2], 8.2);
  EXPECT_DOUBLE_EQ(points[3], 9.64);
  EXPECT_DOUBLE_EQ(points[4], 9.928);
  EXPECT_LT(points[23], 10.0);
  EXPECT_EQ(points[24], 10.0);
  EXPECT_EQ(counters.objective, 1u + 24u);
  EXPECT_EQ(counters.gradient, 1u + 24u);
}

TEST(MoreThuenteSearchTest, ALinearDescentWithoutRoomToReachTheBoxRunsOutOfTrials) {
  RecordingProblem problem([](const Vector& x) { return -x[0]; },
                                 [](const Vector&) { return Vector{{-1.0}}; });
  Counters counters;
  const MoreThuenteLineSearch params{.max_iterations = 3};
  const auto out = run(problem, kOrigin, kForward, 10.0, counters, params);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->failed);
  EXPECT_EQ(counters.objective, 1u + 4u);
  EXPECT_EQ(counters.gradient, 1u + 4u);
}

TEST(MoreThuenteSearchTest, AnAscentDirectionBisectsUntilTheLastMidpointAndFails) {
  RecordingProblem problem([](const Vector& x) { return x[0]; },
                                 [](const Vector&) { return Vector{{1.0}}; });
  Counters counters;
  const MoreThuenteLineSearch params{.max_zoom_iterations = 3};
  const auto out = run(problem, kOrigin, kForward, 1.0, counters, params);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->failed);
  EXPECT_EQ(out->step_length, 0.0625);
  EXPECT_EQ(counters.objective, 2u + 2u * 4u);
  // Only the start point and the repeated gradient at the last midpoint.
  EXPECT_EQ(problem.gradient_points, (std::vector<double>{0.0, 0.0625}));
}

TEST(MoreThuenteSearchTest, AZeroDirectionIsAcceptedAtTheFirstTrialWithoutMoving) {
  RecordingProblem problem = parabola(3.0);
  Counters counters;
  const auto out = run(problem, Vector{{1.0}}, Vector{{0.0}}, 5.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_EQ(out->step_length, 1.0);
  EXPECT_EQ(out->value, 4.0);
  EXPECT_EQ(out->gradient, Vector{{-4.0}});
  EXPECT_EQ(counters.objective, 2u);
  EXPECT_EQ(counters.gradient, 2u);
}

TEST(MoreThuenteSearchTest, ANaNTrialValuePassesTheDecreaseTestAndCanBeAccepted) {
  RecordingProblem problem(
      [](const Vector& x) { return x[0] == 0.0 ? 1.0 : std::nan(""); },
      [](const Vector& x) { return Vector{{x[0] == 0.0 ? -1.0 : 0.0}}; });
  Counters counters;
  const auto out = run(problem, kOrigin, kForward, 2.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->failed);
  EXPECT_TRUE(std::isnan(out->value));
}

struct RefusedCall {
  double minimiser;
  std::optional<std::size_t> objective_call;
  std::optional<std::size_t> gradient_call;
  std::string error;
  Counters counted;
};

TEST(MoreThuenteSearchTest, ProblemErrorsPassThroughWithTheCountersAlreadyRaised) {
  const RefusedCall cases[] = {
      {1.0, 1, std::nullopt, "objective refused", {2, 1}},     // the first trial
      {0.25, std::nullopt, 1, "gradient refused", {6, 2}},     // the second midpoint
      {1.0, std::nullopt, 0, "gradient refused", {1, 1}},      // the start point
      // Both evaluations at the start are counted before the first is made.
      {1.0, 0, std::nullopt, "objective refused", {1, 1}},
      {0.25, 3, std::nullopt, "objective refused", {4, 1}},    // lo of the first midpoint
  };
  for (const RefusedCall& refused : cases) {
    RecordingProblem problem = parabola(refused.minimiser);
    problem.fail_objective_at = refused.objective_call;
    problem.fail_gradient_at = refused.gradient_call;
    Counters counters;
    const auto out = run(problem, kOrigin, kForward, 1.0, counters);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error(), refused.error);
    EXPECT_EQ(counters.objective, refused.counted.objective);
    EXPECT_EQ(counters.gradient, refused.counted.gradient);
  }
}

TEST(MoreThuenteSearchDeathTest, TrialPointsOfMismatchedLengthAbort) {
  EXPECT_DEATH(axpy(Vector(2), 1.0, Vector(3)), "Axpy: mismatched vector shapes\\.");
}

TEST(MoreThuenteSearchTest, ARefinementGivesUpOnceItsBracketHasCollapsed) {
  // A flat objective that claims a slope: every midpoint is insufficient,
  // and once x + alpha p rounds to x itself (alpha = 2^-53 at x = 1) further
  // halving could only repeat that point, so the search fails there rather
  // than after its last permitted midpoint. No trial was lower than f.
  RecordingProblem problem([](const Vector&) { return 0.0; },
                           [](const Vector&) { return Vector{{-1.0}}; });
  Counters counters;
  const auto out = run(problem, Vector{{1.0}}, kForward, 1.0, counters);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->failed);
  EXPECT_EQ(out->lowest_value, 0.0);
  // The start, the trial at 1, then midpoints 2^-1 .. 2^-52, each with its lower end.
  EXPECT_EQ(counters.objective, 2u + 2u * 52u);
  EXPECT_EQ(problem.objective_points.back(), 1.0);
}

}  // namespace
}  // namespace tarnwex
