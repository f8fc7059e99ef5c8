#include "fit/runs/undetermined_parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

namespace tarnwex {
namespace {

// The summary a run ends with after its final Hessian: the covariance and the
// errors are the minimizer's own.
MinimizationSummary summary_after(Matrix hessian) {
  GradientStatus status;
  status.set_hess(std::move(hessian));
  MinimizationSummary summary;
  summary.errors = *status.errors;
  summary.covariance = *status.covariance;
  summary.hessian = status.hessian_matrix;
  return summary;
}

std::vector<bool> undetermined(Matrix hessian) {
  const MinimizationSummary summary = summary_after(std::move(hessian));
  return undetermined_parameters(*summary.hessian, summary.covariance);
}

// Two yields (curvatures equilibrated to 1, correlation 0.6) and a shape
// parameter without curvature of its own, tied to the first yield by c: the
// Hessian of a fit whose peak has vanished, so that its width no longer
// changes the likelihood.
Matrix vanished_peak(double c) {
  return Matrix{{1.0, 0.6, c}, {0.6, 1.0, 0.0}, {c, 0.0, 0.0}};
}

TEST(UndeterminedParameters, NoneAtAMinimumWhateverTheScales) {
  EXPECT_EQ(undetermined(Matrix{{4.0, 1.0}, {1.0, 2.0}}), (std::vector<bool>{false, false}));
  EXPECT_EQ(undetermined(Matrix{{1e-7, 0.0}, {0.0, 1e6}}), (std::vector<bool>{false, false}));
}

TEST(UndeterminedParameters, ParametersOfWhichOnlyTheSumIsFixedAreBoth) {
  // The minimizer reports (0.5, 0.5) here; the fit does not.
  const MinimizationSummary summary = summary_after(Matrix{{1.0, 1.0}, {1.0, 1.0}});
  EXPECT_EQ(summary.errors, (Vector{{0.5, 0.5}}));
  EXPECT_TRUE(determined_errors(summary).array().isNaN().all());
}

TEST(UndeterminedParameters, AYieldIsUndeterminedWhenTiedToADroppedShapeBeyondTheBar) {
  // c = 1e-3 and 1.8e-3 both leave the shape's direction below the cut; the
  // first yield's part in it is then about c / 0.64, squared 0.4 and 1.3
  // times the bar. The second yield's part stays 0.6 times the first's.
  const MinimizationSummary weak = summary_after(vanished_peak(1e-3));
  const Vector errors = determined_errors(weak);
  EXPECT_EQ(errors[0], weak.errors[0]);
  EXPECT_EQ(errors[1], weak.errors[1]);
  EXPECT_TRUE(std::isfinite(weak.errors[2]));
  EXPECT_TRUE(std::isnan(errors[2]));

  EXPECT_EQ(undetermined(vanished_peak(1.8e-3)), (std::vector<bool>{true, false, true}));
}

TEST(UndeterminedParameters, AVarianceBelowTheOneWithTheOthersFixedIsNoError) {
  // A saddle: the second parameter curves down. The first one's variance is
  // 1 / (1 + b^2) against 1 with the second fixed: 0.31 for b = 1.5, while
  // b = 0.3 leaves 0.92 and an error that is reported.
  EXPECT_EQ(undetermined(Matrix{{1.0, 1.5}, {1.5, -1.0}}), (std::vector<bool>{true, true}));
  EXPECT_EQ(undetermined(Matrix{{1.0, 0.3}, {0.3, -1.0}}), (std::vector<bool>{false, true}));
}

TEST(UndeterminedParameters, WithoutAHessianTheErrorsAreTheSummarys) {
  MinimizationSummary summary;
  summary.errors = unknown_uncertainties(2);
  summary.covariance = Matrix::Identity(2, 2);
  EXPECT_TRUE(determined_errors(summary).array().isNaN().all());
}

}  // namespace
}  // namespace tarnwex
