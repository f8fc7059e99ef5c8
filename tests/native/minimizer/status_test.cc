#include "minimizer/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwex {
namespace {

constexpr double kTolerance = 1e-14;

Matrix matrix2(double a, double b, double c, double d) {
  Matrix m(2, 2);
  m << a, b, c, d;
  return m;
}

TEST(StatusMessageTest, DisplayJoinsKindAndTextOnlyWhenTheTextIsNotEmpty) {
  StatusMessage message;
  message.succeed();
  message.text = "GRADIENT CONVERGED";
  EXPECT_EQ(message.display(), "Success: GRADIENT CONVERGED");
  message.step();
  EXPECT_EQ(message.display(), "Step");
  message.fail();
  message.text = "";
  EXPECT_EQ(message.display(), "Failed");
  message.reset();
  EXPECT_FALSE(message.text.has_value());
  EXPECT_EQ(message.display(), "Uninitialized");
}

TEST(StatusMessageTest, EveryKindHasItsDisplayText) {
  EXPECT_STREQ(status_type_text(StatusType::Initialized), "Initialized");
  EXPECT_STREQ(status_type_text(StatusType::Message), "Message");
  EXPECT_STREQ(status_type_text(StatusType::Failed), "Failed");
}

TEST(GradientStatusTest, ADiagonalHessianGivesTheInverseVariances) {
  GradientStatus status;
  status.set_hess(matrix2(4, 0, 0, 1));
  ASSERT_TRUE(status.covariance && status.errors && status.hessian_matrix);
  EXPECT_TRUE(status.covariance->isApprox(matrix2(0.25, 0, 0, 1), kTolerance));
  EXPECT_NEAR((*status.errors)[0], 0.5, kTolerance);
  EXPECT_NEAR((*status.errors)[1], 1.0, kTolerance);
  EXPECT_EQ(*status.hessian_matrix, matrix2(4, 0, 0, 1));
}

TEST(GradientStatusTest, AWeakCurvatureIsAVarianceNotAZero) {
  // A yield of 10^6 events has a curvature near 10^-6; its error must not vanish.
  GradientStatus status;
  status.set_hess(matrix2(1e-7, 0, 0, 1));
  EXPECT_NEAR((*status.covariance)(0, 0), 1e7, 1e7 * kTolerance);
  EXPECT_NEAR((*status.errors)[0], std::sqrt(1e7), std::sqrt(1e7) * kTolerance);
  EXPECT_NEAR((*status.errors)[1], 1.0, kTolerance);
}

TEST(GradientStatusTest, ParametersOnVeryDifferentScalesKeepTheirCorrelation) {
  // Curvatures 4e-12 and 1e6 with correlation 0.5: the inverse of the whole matrix.
  const double off = 0.5 * std::sqrt(4e-12 * 1e6);
  const Matrix hessian = matrix2(4e-12, off, off, 1e6);
  GradientStatus status;
  status.set_hess(hessian);
  EXPECT_TRUE(status.covariance->isApprox(hessian.inverse(), 1e-12));
  EXPECT_NEAR((*status.errors)[0], 5e5 / std::sqrt(0.75), 5e5 * 1e-12);
}

TEST(GradientStatusTest, DirectionsTheCurvatureCannotTellApartContributeNothing) {
  // Unit curvatures with correlation 1 - 1e-7: the equilibrated singular values
  // are 2 - 1e-7 and 1e-7, and the second lies below cbrt(2^-52).
  const double c = 1.0 - 1e-7;
  GradientStatus status;
  status.set_hess(matrix2(1, c, c, 1));
  const double kept = 0.5 / (1.0 + c);
  EXPECT_TRUE(status.covariance->isApprox(Matrix::Constant(2, 2, kept), 1e-12));
}

TEST(GradientStatusTest, AParameterWithoutCurvatureGetsNoVarianceAndANaNError) {
  GradientStatus status;
  status.set_hess(matrix2(0, 0, 0, 4));
  EXPECT_EQ((*status.covariance)(0, 0), 0.0);
  EXPECT_TRUE(std::isnan((*status.errors)[0]));
  EXPECT_NEAR((*status.errors)[1], 0.5, kTolerance);
}

TEST(GradientStatusTest, AnIndefiniteHessianKeepsItsCovarianceButHasNaNErrors) {
  GradientStatus status;
  status.set_hess(matrix2(1, 2, 2, 1));
  EXPECT_TRUE(status.covariance->isApprox(matrix2(-1.0 / 3, 2.0 / 3, 2.0 / 3, -1.0 / 3), 1e-13));
  EXPECT_TRUE(std::isnan((*status.errors)[0]));
  EXPECT_TRUE(std::isnan((*status.errors)[1]));
}

TEST(GradientStatusTest, ASingularHessianUsesThePseudoInverseButGivesNoErrors) {
  // Only the sum of the two parameters is determined.
  GradientStatus status;
  status.set_hess(matrix2(1, 1, 1, 1));
  EXPECT_TRUE(status.covariance->isApprox(Matrix::Constant(2, 2, 0.25), kTolerance));
  EXPECT_TRUE(status.errors->array().isNaN().all());
}

TEST(GradientStatusTest, ANonFiniteHessianGivesANaNCovariance) {
  GradientStatus status;
  status.set_hess(matrix2(std::numeric_limits<double>::quiet_NaN(), 0, 0, 1));
  EXPECT_TRUE(status.covariance->array().isNaN().all());
  EXPECT_TRUE(status.errors->array().isNaN().all());
  EXPECT_TRUE(std::isnan((*status.hessian_matrix)(0, 0)));
}

TEST(GradientStatusTest, UnknownUncertaintiesAreNaN) {
  EXPECT_EQ(unknown_uncertainties(0).size(), 0);
  EXPECT_TRUE(unknown_uncertainties(3).array().isNaN().all());
}

}  // namespace
}  // namespace tarnwex
