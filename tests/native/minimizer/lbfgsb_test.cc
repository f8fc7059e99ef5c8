#include "minimizer/lbfgsb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "counting_problem.h"

namespace tarnwex {
namespace {

using test_problems::CountingProblem;
using test_problems::PositionRecorder;
using test_problems::ProblemError;
using test_problems::Result;
using test_problems::standard_callbacks;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kCovarianceTolerance = 1e-6;

// f = 2 (x0 - 1)^2 + (x1 + 2)^2 / 2: Hessian diag(4, 1).
class DiagonalQuadratic final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    return 2.0 * (x[0] - 1.0) * (x[0] - 1.0) + 0.5 * (x[1] + 2.0) * (x[1] + 2.0);
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    return Vector{{4.0 * (x[0] - 1.0), x[1] + 2.0}};
  }
};

// f = (x0 + x1 - 1)^2 / 2: Hessian [[1, 1], [1, 1]], a valley of minima.
class Valley final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    const double r = x[0] + x[1] - 1.0;
    return 0.5 * r * r;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    const double r = x[0] + x[1] - 1.0;
    return Vector{{r, r}};
  }
};

// (x - 1)^2 for x > 0; left of 0 the objective is NaN and the slope 0, so a
// line search from x = 3 accepts its first trial, x = -1, with a NaN value.
class NaNLeftOfZero final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    return x[0] > 0.0 ? (x[0] - 1.0) * (x[0] - 1.0) : kNaN;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    return Vector{{x[0] > 0.0 ? 2.0 * (x[0] - 1.0) : 0.0}};
  }
};

// f = -x0: every line-search trial decreases it and none meets the curvature test.
class DownhillForever final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override { return -x[0]; }
  std::optional<Result<Vector>> analytic_gradient(const Vector&) const override {
    return Vector{{-1.0}};
  }
};

// The diagonal quadratic whose gradient refuses its second call.
class GradientRefusesSecondCall final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override { return x.squaredNorm(); }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    if (++calls_ == 2) return std::unexpected(ProblemError{"gradient refused"});
    return Vector(2.0 * x);
  }

 private:
  mutable int calls_ = 0;
};

class StopAtOnce final : public Terminator {
 public:
  TerminationDecision check_for_termination(std::size_t, LBFGSB&, GradientStatus&,
                                            const LBFGSBConfig&) override {
    return TerminationDecision::Stop;
  }
};

Result<MinimizationSummary> run(const CountingProblem& problem, Vector start,
                                std::optional<BoundList> bounds = std::nullopt,
                                std::size_t max_steps = 100) {
  LBFGSBConfig config;
  config.bounds = std::move(bounds);
  std::vector<Vector> positions;
  LBFGSB state;
  return state.process(problem, std::move(start), std::move(config),
                       standard_callbacks(positions, 1e-12, max_steps));
}

TEST(ClipTest, ProjectsEachCoordinateOntoItsOwnBound) {
  const BoundList bounds{ScalarBound::lower_only(0.0), ScalarBound::unbounded(),
                         ScalarBound::lower_and_upper(0.0, 5.0)};
  EXPECT_EQ(clip(Vector{{-1.0, 0.5, 7.0}}, bounds), (Vector{{0.0, 0.5, 5.0}}));
  EXPECT_EQ(clip(Vector{{-1.0, 0.5, 7.0}}, std::nullopt), (Vector{{-1.0, 0.5, 7.0}}));
  const Vector clipped = clip(Vector{{kNaN, 3.0}}, BoundList{ScalarBound::lower_and_upper(0, 1),
                                                           ScalarBound::upper_only(2.0)});
  EXPECT_TRUE(std::isnan(clipped[0]));
  EXPECT_EQ(clipped[1], 2.0);
}

TEST(BoundLimitedStepTest, TheNearestBoundAheadLimitsTheStepUpToTheMaximum) {
  const Vector x{{0.0, 0.0, 0.0, 0.0}};
  const BoundList bounds{ScalarBound::lower_only(-4.0), ScalarBound::upper_only(3.0),
                         ScalarBound::lower_and_upper(-1.0, 6.0), ScalarBound::unbounded()};
  // Candidates 2 (lower side), 1.5 (upper side) and 3 (upper side of the box).
  EXPECT_EQ(bound_limited_step(x, Vector{{-2.0, 2.0, 2.0, 100.0}}, bounds, 1e8), 1.5);
  // Directions pointing away from the only side, zero or NaN give no candidate.
  EXPECT_EQ(bound_limited_step(x, Vector{{1.0, -1.0, 0.0, kNaN}}, bounds, 1e8), 1e8);
  EXPECT_EQ(bound_limited_step(x, Vector{{-2.0, 2.0, 2.0, 1.0}}, bounds, 0.5), 0.5);
  EXPECT_EQ(bound_limited_step(x, Vector{{-2.0, 2.0, 2.0, 1.0}}, std::nullopt, 7.0), 7.0);
}

LBFGSB state_at(Vector x, Vector g) {
  LBFGSB state;
  state.x = std::move(x);
  state.g = std::move(g);
  forget_correction_pairs(state);
  return state;
}

TEST(AdoptStepTest, APairWithoutCurvatureMovesThePointButKeepsTheModel) {
  LBFGSB state = state_at(Vector{{1.0, 1.0}}, Vector{{2.0, 0.0}});
  GradientStatus status;
  // s = (-1, 0), y = (1, 0): s.y < 0.
  adopt_step(state, status, Vector{{0.0, 1.0}}, 0.5, Vector{{3.0, 0.0}}, 10);
  EXPECT_TRUE(state.s_history.empty());
  EXPECT_EQ(state.theta, 1.0);
  EXPECT_FALSE(state.middle_matrix.has_value());
  EXPECT_EQ(state.x, (Vector{{0.0, 1.0}}));
  EXPECT_EQ(state.f, 0.5);
  EXPECT_EQ(status.position, state.x);
  EXPECT_EQ(status.value, 0.5);
  EXPECT_EQ(status.message.display(), "Step");
  // A step that does not move x (s = 0) is skipped as well.
  adopt_step(state, status, Vector{{0.0, 1.0}}, 0.25, Vector{{1.0, 0.0}}, 10);
  EXPECT_TRUE(state.s_history.empty());
  EXPECT_EQ(state.f, 0.25);
}

TEST(AdoptStepTest, TheMemoryKeepsTheNewestPairsAndZeroActsAsOne) {
  LBFGSB state = state_at(Vector{{0.0}}, Vector{{0.0}});
  GradientStatus status;
  adopt_step(state, status, Vector{{1.0}}, 0.0, Vector{{2.0}}, 0);
  adopt_step(state, status, Vector{{3.0}}, 0.0, Vector{{8.0}}, 0);
  ASSERT_EQ(state.s_history.size(), 1u);
  EXPECT_EQ(state.s_history.front(), Vector{{2.0}});
  EXPECT_EQ(state.y_history.front(), Vector{{6.0}});
  EXPECT_EQ(state.theta, 3.0);  // y.y / s.y = 36 / 12
  EXPECT_EQ(state.w_matrix, (Matrix{{6.0, 6.0}}));
  EXPECT_EQ(*state.middle_matrix, (Matrix{{-12.0, 0.0}, {0.0, 12.0}}));

  adopt_step(state, status, Vector{{4.0}}, 0.0, Vector{{9.0}}, 2);
  adopt_step(state, status, Vector{{6.0}}, 0.0, Vector{{13.0}}, 2);
  ASSERT_EQ(state.s_history.size(), 2u);
  EXPECT_EQ(state.s_history.front(), Vector{{1.0}});
  EXPECT_EQ(state.s_history.back(), Vector{{2.0}});
}

TEST(LbfgsbRunTest, TheSummaryCarriesTheCovarianceOfAKnownHessian) {
  const DiagonalQuadratic problem;
  const auto summary = run(problem, Vector{{3.0, 3.0}});
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.kind, StatusType::Success);
  EXPECT_NEAR(summary->errors[0], 0.5, kCovarianceTolerance);
  EXPECT_NEAR(summary->errors[1], 1.0, kCovarianceTolerance);
  EXPECT_TRUE(summary->covariance.isApprox(Matrix{{0.25, 0.0}, {0.0, 1.0}}, kCovarianceTolerance));
  EXPECT_EQ(summary->hessian_evaluations, 1u);
}

TEST(LbfgsbRunTest, ASingularHessianGivesThePseudoInverse) {
  const Valley problem;
  const auto summary = run(problem, Vector{{2.0, 0.0}});
  ASSERT_TRUE(summary.has_value());
  EXPECT_NEAR(summary->value, 0.0, 1e-12);
  EXPECT_NEAR(summary->errors[0], 0.5, kCovarianceTolerance);
  EXPECT_NEAR(summary->errors[1], 0.5, kCovarianceTolerance);
  EXPECT_TRUE(summary->covariance.isApprox(Matrix::Constant(2, 2, 0.25), kCovarianceTolerance));
}

TEST(LbfgsbRunTest, ANaNObjectiveEndsTheRunAsFailedWithASummary) {
  const NaNLeftOfZero problem;
  const auto summary = run(problem, Vector{{3.0}});
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.display(), "Failed: f(x) is not finite");
  EXPECT_EQ(summary->position, Vector{{-1.0}});
  EXPECT_TRUE(std::isnan(summary->value));
  EXPECT_EQ(summary->hessian_evaluations, 1u);
  EXPECT_EQ(summary->objective_evaluations, problem.counts.objective);
}

TEST(LbfgsbRunTest, AStartOutsideTheBoxIsEvaluatedProjectedButReportedAsPassed) {
  // The objective is NaN at the projected start, so the run ends before its
  // first step and the status still holds the start as passed in.
  const NaNLeftOfZero problem;
  const auto summary = run(problem, Vector{{-3.0}}, BoundList{ScalarBound::lower_and_upper(-1.0, 5.0)});
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(problem.objective_points.front(), Vector{{-1.0}});
  EXPECT_EQ(summary->initial_position, Vector{{-3.0}});
  EXPECT_EQ(summary->position, Vector{{-3.0}});
  EXPECT_EQ(summary->message.display(), "Failed: f(x) is not finite");
  EXPECT_EQ(summary->objective_evaluations, 1u);
  EXPECT_EQ(summary->gradient_evaluations, 1u);
  EXPECT_EQ(summary->hessian_evaluations, 1u);

  const DiagonalQuadratic quadratic;
  const auto moved = run(quadratic, Vector{{7.0, -9.0}},
                         BoundList{ScalarBound::lower_and_upper(0.0, 5.0), ScalarBound::lower_only(-5.0)});
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(quadratic.objective_points.front(), (Vector{{5.0, -5.0}}));
  EXPECT_EQ(moved->initial_position, (Vector{{7.0, -9.0}}));
  EXPECT_NEAR(moved->position[0], 1.0, 1e-6);
  EXPECT_NEAR(moved->position[1], -2.0, 1e-6);
}

TEST(LbfgsbRunTest, AProblemErrorEndsTheRunUnchanged) {
  const GradientRefusesSecondCall problem;
  const auto summary = run(problem, Vector{{1.0, 2.0}});
  ASSERT_FALSE(summary.has_value());
  EXPECT_EQ(summary.error(), ProblemError{"gradient refused"});
  EXPECT_EQ(problem.counts.hessian, 0u);
}

TEST(LbfgsbRunTest, AFirstTerminatorThatStopsEndsTheRunAfterOneStep) {
  const DiagonalQuadratic problem;
  std::vector<Vector> positions;
  Callbacks callbacks = with_terminator({}, std::make_unique<StopAtOnce>());
  callbacks = with_observer(std::move(callbacks), std::make_unique<PositionRecorder>(positions));
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{3.0, 3.0}}, LBFGSBConfig{}, std::move(callbacks));
  ASSERT_TRUE(summary.has_value());
  EXPECT_TRUE(positions.empty());
  EXPECT_EQ(summary->message.display(), "Step");
  EXPECT_NE(summary->position, summary->initial_position);
  EXPECT_EQ(summary->objective_evaluations, problem.counts.objective);
  EXPECT_EQ(summary->gradient_evaluations, problem.counts.gradient);
  EXPECT_EQ(summary->hessian_evaluations, 1u);
}

TEST(LbfgsbRunTest, AFailedLineSearchKeepsThePointAndTheRunGoesOn) {
  // On f = -x no trial meets the curvature test, so every search fails after
  // its last trial and the point never moves. The first check of the
  // objective change only remembers f; the second sees no change and stops.
  const DownhillForever problem;
  LBFGSBConfig config;
  config.line_search.max_iterations = 3;
  std::vector<Vector> positions;
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{0.0}}, std::move(config),
                                     standard_callbacks(positions, 1e-12, 100));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.display(), "Success: F_EVAL CONVERGED");
  EXPECT_EQ(summary->position, Vector{{0.0}});
  EXPECT_EQ(summary->value, 0.0);
  EXPECT_EQ(positions, (std::vector<Vector>{Vector{{0.0}}, Vector{{0.0}}}));
  // Each search: the start again, then trials 0 to 3.
  EXPECT_EQ(summary->objective_evaluations, 1u + 2u * 5u);
  EXPECT_EQ(summary->gradient_evaluations, 1u + 2u * 5u);
}

}  // namespace
}  // namespace tarnwex
