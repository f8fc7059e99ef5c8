#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "counting_problem.h"
#include "minimizer/lbfgsb.h"

namespace tarnwex {
namespace {

using test_problems::CountingProblem;
using test_problems::Result;
using test_problems::standard_callbacks;

constexpr double kValueTolerance = 1e-5;
constexpr double kPositionTolerance = 1e-4;
constexpr double kConvergenceTolerance = 1e-10;
constexpr std::size_t kStepLimit = 1000;

// f = (1 - x0)^2 + 100 (x1 - x0^2)^2, minimum 0 at (1, 1).
class Rosenbrock final : public CountingProblem {
 public:
  explicit Rosenbrock(bool analytic) : analytic_(analytic) {}

 protected:
  Result<double> value(const Vector& x) const override {
    const double a = 1.0 - x[0];
    const double b = x[1] - x[0] * x[0];
    return a * a + 100.0 * b * b;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    if (!analytic_) return std::nullopt;
    const double b = x[1] - x[0] * x[0];
    return Vector{{-2.0 * (1.0 - x[0]) - 400.0 * x[0] * b, 200.0 * b}};
  }

 private:
  bool analytic_;
};

// f = 4 [(x1 - 1)^2 / 4 + sum_{i>=2} (x_i - x_{i-1}^2)^2] (1-based), minimum 0.
class ChainedRosenbrock final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    double sum = (x[0] - 1.0) * (x[0] - 1.0) / 4.0;
    for (Eigen::Index i = 1; i < x.size(); ++i) {
      const double r = x[i] - x[i - 1] * x[i - 1];
      sum += r * r;
    }
    return 4.0 * sum;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    const Eigen::Index n = x.size();
    Vector g = Vector::Zero(n);
    g[0] = 2.0 * (x[0] - 1.0);
    for (Eigen::Index i = 1; i < n; ++i) {
      const double r = x[i] - x[i - 1] * x[i - 1];
      g[i] += 8.0 * r;
      g[i - 1] -= 16.0 * x[i - 1] * r;
    }
    return g;
  }
};

struct Outcome {
  MinimizationSummary summary;
  std::vector<Vector> positions;  // accepted point after every step
};

Outcome minimize(CountingProblem& problem, Vector start, const std::optional<BoundList>& bounds) {
  LBFGSBConfig config;
  config.bounds = bounds;
  Outcome run;
  LBFGSB state;
  auto summary = state.process(problem, std::move(start), std::move(config),
                               standard_callbacks(run.positions, kConvergenceTolerance, kStepLimit));
  EXPECT_TRUE(summary.has_value());
  if (summary) run.summary = std::move(*summary);
  return run;
}

void expect_counts_match(CountingProblem& problem, const MinimizationSummary& summary) {
  EXPECT_EQ(summary.objective_evaluations, problem.counts.objective);
  EXPECT_EQ(summary.gradient_evaluations, problem.counts.gradient);
  EXPECT_EQ(summary.hessian_evaluations, problem.counts.hessian);
  EXPECT_EQ(summary.hessian_evaluations, 1u);
}

void expect_inside(const std::vector<Vector>& positions, const BoundList& bounds) {
  for (const Vector& p : positions) {
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      const double v = p[static_cast<Eigen::Index>(i)];
      EXPECT_GE(v, bounds[i].lower_side()) << "coordinate " << i;
      EXPECT_LE(v, bounds[i].upper_side()) << "coordinate " << i;
    }
  }
}

TEST(TextbookProblemsTest, RosenbrockFromTheClassicStartReachesItsMinimum) {
  // Once with the analytic gradient, once with only the objective, on the
  // default central finite differences.
  for (const bool analytic : {true, false}) {
    SCOPED_TRACE(analytic ? "analytic gradient" : "finite differences");
    Rosenbrock problem(analytic);
    const Outcome run = minimize(problem, Vector{{-1.2, 1.0}}, std::nullopt);

    EXPECT_NEAR(run.summary.value, 0.0, kValueTolerance);
    EXPECT_NEAR(run.summary.position[0], 1.0, kPositionTolerance);
    EXPECT_NEAR(run.summary.position[1], 1.0, kPositionTolerance);
    EXPECT_EQ(run.summary.message.display(), "Success: F_EVAL CONVERGED");
    EXPECT_EQ(run.summary.initial_position, (Vector{{-1.2, 1.0}}));
    expect_counts_match(problem, run.summary);
  }
}

TEST(TextbookProblemsTest, BoundedRosenbrockStopsOnTheBoundAtHalf) {
  // With x0 <= 0.5 the minimum lies on the bound: x0 = 0.5, x1 = x0^2.
  Rosenbrock problem(true);
  const BoundList bounds{ScalarBound::lower_and_upper(-2.0, 0.5), ScalarBound::unbounded()};
  const Outcome run = minimize(problem, Vector{{-1.2, 1.0}}, bounds);

  EXPECT_NEAR(run.summary.value, 0.25, kValueTolerance);
  EXPECT_NEAR(run.summary.position[0], 0.5, kPositionTolerance);
  EXPECT_NEAR(run.summary.position[1], 0.25, kPositionTolerance);
  EXPECT_EQ(run.summary.message.display(), "Success: PROJECTED GRADIENT WITHIN TOLERANCE");
  expect_counts_match(problem, run.summary);
  ASSERT_FALSE(run.positions.empty());
  expect_inside(run.positions, bounds);
}

// f = (x + 1)^2, smallest on [0, 10] at the bound x = 0.
class ShiftedParabola final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override { return (x[0] + 1.0) * (x[0] + 1.0); }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    return Vector{{2.0 * (x[0] + 1.0)}};
  }
};

TEST(TextbookProblemsTest, AMinimumOnTheBoundIsReachedByAStepOntoIt) {
  // The first direction ends exactly on x = 0, where the objective still
  // falls: the search takes that step instead of giving up on it.
  ShiftedParabola problem;
  const BoundList bounds{ScalarBound::lower_and_upper(0.0, 10.0)};
  const Outcome run = minimize(problem, Vector{{0.02}}, bounds);

  EXPECT_EQ(run.summary.position[0], 0.0);
  EXPECT_EQ(run.summary.value, 1.0);
  EXPECT_EQ(run.summary.message.display(), "Success: PROJECTED GRADIENT WITHIN TOLERANCE");
  EXPECT_LT(run.summary.objective_evaluations, 10u);
  expect_counts_match(problem, run.summary);
}

// f = sum_i c_i (x_i - m_i)^2 with curvatures 10^8 and 10^-8: the condition
// a yield and a peak position have in a large fit.
class BadlyScaledQuadratic final : public CountingProblem {
 protected:
  Result<double> value(const Vector& x) const override {
    const double a = x[0] - 5.0;
    const double b = x[1] - 3e5;
    return 1e8 * a * a + 1e-8 * b * b;
  }
  std::optional<Result<Vector>> analytic_gradient(const Vector& x) const override {
    return Vector{{2e8 * (x[0] - 5.0), 2e-8 * (x[1] - 3e5)}};
  }
};

TEST(TextbookProblemsTest, ScaledCoordinatesReachTheMinimumAndReportEverythingInX) {
  // Scales near 1 / sqrt(c_i): in z the problem is well conditioned. The
  // caller still passes, and gets back, points, bounds and errors in x.
  BadlyScaledQuadratic problem;
  LBFGSBConfig config;
  config.bounds = BoundList{ScalarBound::lower_and_upper(0.0, 10.0), ScalarBound::lower_only(1.0)};
  config.transform = ParameterTransform{Vector{{std::ldexp(1.0, -13), std::ldexp(1.0, 13)}}};
  const Vector start{{4.0, 1e5}};
  Outcome run;
  LBFGSB state;
  auto summary = state.process(problem, start, std::move(config),
                               standard_callbacks(run.positions, kConvergenceTolerance, kStepLimit));
  ASSERT_TRUE(summary.has_value());

  EXPECT_EQ(summary->message.kind, StatusType::Success) << summary->message.display();
  EXPECT_EQ(problem.objective_points.front(), start);  // mapped in and out exactly
  EXPECT_NEAR(summary->position[0], 5.0, 1e-8);
  EXPECT_NEAR(summary->position[1], 3e5, 1e-2);
  EXPECT_EQ(summary->bounds, (BoundList{ScalarBound::lower_and_upper(0.0, 10.0),
                                        ScalarBound::lower_only(1.0)}));
  // Covariance (2 c)^-1 on the diagonal, in x.
  EXPECT_NEAR(summary->errors[0], std::sqrt(0.5e-8), 1e-6 * std::sqrt(0.5e-8));
  EXPECT_NEAR(summary->errors[1], std::sqrt(0.5e8), 1e-6 * std::sqrt(0.5e8));
  EXPECT_NEAR(summary->covariance(1, 1), 0.5e8, 1e-6 * 0.5e8);
  expect_counts_match(problem, *summary);
  ASSERT_FALSE(run.positions.empty());
  EXPECT_EQ(run.positions.back(), summary->position);
}

TEST(TextbookProblemsTest, TwentyFiveVariableBoundedProblemReachesZero) {
  // Odd variables (1-based) in [1, 100], even ones in [-100, 100], start 3.
  ChainedRosenbrock problem;
  BoundList bounds;
  for (int i = 0; i < 25; ++i) {
    bounds.push_back(i % 2 == 0 ? ScalarBound::lower_and_upper(1.0, 100.0)
                                : ScalarBound::lower_and_upper(-100.0, 100.0));
  }
  const Outcome run = minimize(problem, Vector::Constant(25, 3.0), bounds);

  EXPECT_NEAR(run.summary.value, 0.0, kValueTolerance);
  EXPECT_EQ(run.summary.message.kind, StatusType::Success) << run.summary.message.display();
  expect_counts_match(problem, run.summary);
  ASSERT_FALSE(run.positions.empty());
  expect_inside(run.positions, bounds);
}

}  // namespace
}  // namespace tarnwex
