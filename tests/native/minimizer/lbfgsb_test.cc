#include "minimizer/lbfgsb.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Result<MinimizationSummary> run(CountingProblem& problem, Vector start,
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

// f = c.x: every trial descends along -c and none meets the curvature test.
class Linear final : public CountingProblem {
 public:
  explicit Linear(Vector c) : c_(std::move(c)) {}

 protected:
  Result<double> value(const Vector& x) const override { return c_.dot(x); }
  std::optional<Result<Vector>> analytic_gradient(const Vector&) const override { return c_; }

 private:
  Vector c_;
};

// The second trial of a bracketing search lies 80 % of the way from 1 to the
// largest step the run offered it, so that trial shows the step limit.
Vector second_trial(Linear problem, Vector start, std::optional<BoundList> bounds,
                    double max_step) {
  LBFGSBConfig config;
  config.bounds = std::move(bounds);
  config.max_step = max_step;
  config.line_search.max_iterations = 1;
  config.skip_hessian = true;
  LBFGSB state;
  const auto summary = state.process(problem, std::move(start), std::move(config),
                                     with_terminator({}, std::make_unique<MaxSteps>(1)));
  EXPECT_TRUE(summary.has_value());
  // The start, the start again for the search, then trials 1 and 2.
  EXPECT_EQ(problem.objective_points.size(), 4u);
  return problem.objective_points.back();
}

TEST(LbfgsbRunTest, TheNearestBoundAheadLimitsTheStepUpToTheMaximum) {
  // The first direction is -c. Its candidates: 2 (lower side), 1.5 (upper
  // side) and 3 (upper side of the box); the unbounded coordinate gives none.
  const Vector d{{-2.0, 2.0, 2.0, 100.0}};
  const BoundList bounds{ScalarBound::lower_only(-4.0), ScalarBound::upper_only(3.0),
                         ScalarBound::lower_and_upper(-1.0, 6.0), ScalarBound::unbounded()};
  EXPECT_EQ(second_trial(Linear(-d), Vector::Zero(4), bounds, 1e8), Vector(std::fma(0.5, 0.8, 1.0) * d));
  EXPECT_EQ(second_trial(Linear(-d), Vector::Zero(4), bounds, 1.25),
            Vector(std::fma(0.25, 0.8, 1.0) * d));
  EXPECT_EQ(second_trial(Linear(-d), Vector::Zero(4), std::nullopt, 7.0),
            Vector(std::fma(6.0, 0.8, 1.0) * d));

  // Moving away from the only side, or not moving, gives no candidate.
  const Vector away{{1.0, -1.0, 0.0, 1.0}};
  EXPECT_EQ(second_trial(Linear(-away), Vector::Zero(4), bounds, 7.0),
            Vector(std::fma(6.0, 0.8, 1.0) * away));
}

// Records the whole running state after every step.
class StateRecorder final : public Observer {
 public:
  explicit StateRecorder(std::vector<LBFGSB>& states) : states_(&states) {}
  void observe(std::size_t, const LBFGSB& state, const GradientStatus&, const LBFGSBConfig&) override {
    states_->push_back(state);
  }

 private:
  std::vector<LBFGSB>* states_;
};

// f = -x^2: concave, so a step that runs into the bound has s.y < 0.
class ConcaveDown final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override { return -x[0] * x[0]; }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    return Vector{{-2.0 * x[0]}};
  }
};

TEST(LbfgsbRunTest, AStepWithoutCurvatureMovesThePointButStoresNoPair) {
  // Step 0 runs from 1 into the bound at 3 (s = 2, y = -4); step 1 has the
  // zero direction there (s = 0, y = 0). Neither pair is stored.
  ConcaveDown problem;
  LBFGSBConfig config;
  config.bounds = BoundList{ScalarBound::lower_and_upper(-10.0, 3.0)};
  std::vector<LBFGSB> states;
  Callbacks callbacks = with_observer({}, std::make_unique<StateRecorder>(states));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<MaxSteps>(2));
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{1.0}}, std::move(config), std::move(callbacks));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.display(), "Message: Maximum number of steps reached (2)");
  EXPECT_EQ(summary->position, Vector{{3.0}});
  EXPECT_EQ(summary->value, -9.0);
  ASSERT_EQ(states.size(), 2u);
  for (const LBFGSB& after : states) {
    EXPECT_EQ(after.x, Vector{{3.0}});
    EXPECT_EQ(after.f, -9.0);
    EXPECT_EQ(after.g, Vector{{-6.0}});
    EXPECT_TRUE(after.s_history.empty());
    EXPECT_EQ(after.theta, 1.0);
    EXPECT_EQ(after.w_matrix.cols(), 0);
    EXPECT_FALSE(after.middle_matrix.has_value());
  }
}

class Rosenbrock final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    const double a = x[1] - x[0] * x[0];
    const double b = 1.0 - x[0];
    return 100.0 * a * a + b * b;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    const double a = x[1] - x[0] * x[0];
    return Vector{{-400.0 * x[0] * a - 2.0 * (1.0 - x[0]), 200.0 * a}};
  }
};

// The states after the first `steps` steps of a run from (-1.2, 1).
std::vector<LBFGSB> rosenbrock_states(std::size_t memory_size, std::size_t steps) {
  Rosenbrock problem;
  LBFGSBConfig config;
  config.memory_size = memory_size;
  config.skip_hessian = true;
  std::vector<LBFGSB> states;
  Callbacks callbacks = with_observer({}, std::make_unique<StateRecorder>(states));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<MaxSteps>(steps));
  LBFGSB state;
  EXPECT_TRUE(state.process(problem, Vector{{-1.2, 1.0}}, std::move(config), std::move(callbacks)));
  return states;
}

TEST(LbfgsbRunTest, TheMemoryKeepsTheNewestPairsAndZeroActsAsOne) {
  for (const std::size_t memory_size : {0u, 2u}) {
    const std::vector<LBFGSB> states = rosenbrock_states(memory_size, 6);
    ASSERT_EQ(states.size(), 6u);
    const std::size_t kept = memory_size == 0 ? 1 : memory_size;
    for (std::size_t k = 1; k < states.size(); ++k) {
      const LBFGSB& now = states[k];
      const LBFGSB& before = states[k - 1];
      ASSERT_EQ(now.s_history.size(), std::min(k + 1, kept)) << "step " << k;
      ASSERT_EQ(now.y_history.size(), now.s_history.size());
      const Vector s = now.x - before.x;
      const Vector y = now.g - before.g;
      EXPECT_EQ(now.s_history.back(), s);
      EXPECT_EQ(now.y_history.back(), y);
      EXPECT_DOUBLE_EQ(now.theta, y.dot(y) / s.dot(y));
      EXPECT_EQ(now.w_matrix.cols(), 2 * static_cast<Eigen::Index>(now.s_history.size()));
      if (kept == 2) EXPECT_EQ(now.s_history.front(), before.s_history.back());
    }
  }
}

TEST(LbfgsbRunTest, TheSummaryCarriesTheCovarianceOfAKnownHessian) {
  DiagonalQuadratic problem;
  const auto summary = run(problem, Vector{{3.0, 3.0}});
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.kind, StatusType::Success);
  EXPECT_NEAR(summary->errors[0], 0.5, kCovarianceTolerance);
  EXPECT_NEAR(summary->errors[1], 1.0, kCovarianceTolerance);
  EXPECT_TRUE(summary->covariance.isApprox(Matrix{{0.25, 0.0}, {0.0, 1.0}}, kCovarianceTolerance));
  EXPECT_EQ(summary->hessian_evaluations, 1u);
}

TEST(LbfgsbRunTest, ASingularHessianGivesThePseudoInverseAndNoErrors) {
  Valley problem;
  const auto summary = run(problem, Vector{{2.0, 0.0}});
  ASSERT_TRUE(summary.has_value());
  EXPECT_NEAR(summary->value, 0.0, 1e-12);
  EXPECT_TRUE(summary->errors.array().isNaN().all());
  EXPECT_TRUE(summary->covariance.isApprox(Matrix::Constant(2, 2, 0.25), kCovarianceTolerance));
}

TEST(LbfgsbRunTest, ANaNObjectiveEndsTheRunAsFailedWithASummary) {
  NaNLeftOfZero problem;
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
  NaNLeftOfZero problem;
  const auto summary = run(problem, Vector{{-3.0}}, BoundList{ScalarBound::lower_and_upper(-1.0, 5.0)});
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(problem.objective_points.front(), Vector{{-1.0}});
  EXPECT_EQ(summary->initial_position, Vector{{-3.0}});
  EXPECT_EQ(summary->position, Vector{{-3.0}});
  EXPECT_EQ(summary->message.display(), "Failed: f(x) is not finite");
  EXPECT_EQ(summary->objective_evaluations, 1u);
  EXPECT_EQ(summary->gradient_evaluations, 1u);
  EXPECT_EQ(summary->hessian_evaluations, 1u);

  DiagonalQuadratic quadratic;
  const auto moved = run(quadratic, Vector{{7.0, -9.0}},
                         BoundList{ScalarBound::lower_and_upper(0.0, 5.0), ScalarBound::lower_only(-5.0)});
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(quadratic.objective_points.front(), (Vector{{5.0, -5.0}}));
  EXPECT_EQ(moved->initial_position, (Vector{{7.0, -9.0}}));
  EXPECT_NEAR(moved->position[0], 1.0, 1e-6);
  EXPECT_NEAR(moved->position[1], -2.0, 1e-6);
}

TEST(LbfgsbRunTest, AProblemErrorEndsTheRunUnchanged) {
  GradientRefusesSecondCall problem;
  const auto summary = run(problem, Vector{{1.0, 2.0}});
  ASSERT_FALSE(summary.has_value());
  EXPECT_EQ(summary.error(), ProblemError{"gradient refused"});
  EXPECT_EQ(problem.counts.hessian, 0u);
}

TEST(LbfgsbRunTest, AFirstTerminatorThatStopsEndsTheRunAfterOneStep) {
  DiagonalQuadratic problem;
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

TEST(LbfgsbRunTest, AFailedLineSearchThatSawADecreaseMovesToItsLowestPoint) {
  // On f = -x no trial meets the curvature test, so every search fails after
  // its last trial. Each one saw lower values than f: the run moves to the
  // lowest of them, evaluated there, and never ends above a point it has
  // seen, nor as converged.
  DownhillForever problem;
  LBFGSBConfig config;
  config.line_search.max_iterations = 3;
  std::vector<Vector> positions;
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{0.0}}, std::move(config),
                                     standard_callbacks(positions, 1e-12, 3));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.display(), "Message: Maximum number of steps reached (3)");
  ASSERT_EQ(positions.size(), 3u);
  EXPECT_LT(0.0, positions[0][0]);
  EXPECT_LT(positions[0][0], positions[1][0]);
  EXPECT_LT(positions[1][0], positions[2][0]);
  EXPECT_EQ(positions[2], summary->position);
  EXPECT_EQ(summary->value, -summary->position[0]);
}

// x0^2 + 10 x1^2 + x0 x1 / 2 (shifted), rounded down to a multiple of q: near
// the minimum no step can lower it by a resolvable amount; the gradient is
// the smooth one.
class Staircase final : public test_problems::CountingProblem {
 public:
  explicit Staircase(double q) : q_(q) {}
  test_problems::Result<double> value(const Vector& x) const override {
    const double a = x[0] - 1.0, b = x[1] + 2.0;
    return std::floor((a * a + 10.0 * b * b + 0.5 * a * b) / q_) * q_;
  }
  std::optional<test_problems::Result<Vector>> analytic_gradient(const Vector& x) const override {
    const double a = x[0] - 1.0, b = x[1] + 2.0;
    return Vector{{2.0 * a + 0.5 * b, 20.0 * b + 0.5 * a}};
  }

 private:
  double q_;
};

TEST(LbfgsbRunTest, AFailedSearchThatFoundNoResolvableDecreaseEndsTheRunAtThatStep) {
  Staircase problem(1e-6);
  LBFGSBConfig config;
  config.objective_resolution = 1e-6;
  std::vector<Vector> positions;
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{5.0, 3.0}}, std::move(config),
                                     standard_callbacks(positions, 1e-12, 1000));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.display(), "Success: F_EVAL CONVERGED");
  EXPECT_LT(summary->value, 1e-5);
  // Only the last step stayed where it was: the first failed search ended the run.
  ASSERT_GE(positions.size(), 2u);
  for (std::size_t i = 0; i + 2 < positions.size(); ++i) EXPECT_NE(positions[i], positions[i + 1]);
  EXPECT_EQ(positions[positions.size() - 2], positions.back());
}

TEST(LbfgsbRunTest, AFailedSearchThatSawADecreaseStartsAfreshInsteadOfEndingTheRun) {
  // With few refinement midpoints the search fails on Rosenbrock's valley
  // although it met lower values; the next step starts with an empty memory
  // and the run goes on to the minimum at (1, 1) instead of stopping at f = 0.98.
  Rosenbrock problem;
  LBFGSBConfig config;
  config.line_search.max_zoom_iterations = 8;
  std::vector<Vector> positions;
  LBFGSB state;
  const auto summary = state.process(problem, Vector{{0.0, 1.0}}, std::move(config),
                                     standard_callbacks(positions, 1e-12, 1000));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->message.kind, StatusType::Success);
  EXPECT_LT(summary->value, 1e-12);
}

}  // namespace
}  // namespace tarnwex
