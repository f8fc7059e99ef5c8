#include "minimizer/hessian_covariance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarnwex {
namespace {

constexpr double kResolution = 1e-7;

HessianCovariance covariance_of(const Matrix& hessian, std::vector<bool> at_bound = {}) {
  if (at_bound.empty()) at_bound.assign(static_cast<std::size_t>(hessian.rows()), false);
  return hessian_covariance(hessian, at_bound, kResolution);
}

TEST(HessianCovariance, APositiveDefiniteHessianGivesItsFullInverseHoweverCorrelated) {
  // Curvatures 1e4 and 1e-2, correlation 1 - 1e-6: the smallest eigenvalue of
  // the unit-diagonal form is 1e-6, above the resolution.
  const double rho = 1.0 - 1e-6;
  const Matrix hessian{{1e4, rho * 10.0}, {rho * 10.0, 1e-2}};
  const HessianCovariance taken = covariance_of(hessian);
  EXPECT_TRUE(taken.covariance.isApprox(hessian.inverse(), 1e-9));
  EXPECT_EQ(taken.undetermined, (std::vector<bool>{false, false}));
}

TEST(HessianCovariance, ParametersOfWhichOnlyTheSumIsFixedAreUndeterminedAndNoOtherIs) {
  const Matrix hessian{{1.0, 1.0, 0.3}, {1.0, 1.0, 0.3}, {0.3, 0.3, 1.0}};
  EXPECT_EQ(covariance_of(hessian).undetermined, (std::vector<bool>{true, true, false}));
}

TEST(HessianCovariance, AShapeWithoutCurvatureTiedToAYieldLeavesTheOtherYieldDetermined) {
  // A vanished peak: its yield and its width are undetermined, the other
  // yield keeps the variance it has with the peak's yield fixed by the width.
  const Matrix hessian{{1.0, 0.6, 1e-3}, {0.6, 1.0, 0.0}, {1e-3, 0.0, 0.0}};
  const HessianCovariance taken = covariance_of(hessian);
  EXPECT_EQ(taken.undetermined, (std::vector<bool>{true, false, true}));
  EXPECT_NEAR(taken.covariance(1, 1), 1.0, 1e-9);
}

TEST(HessianCovariance, AParameterAtABoundAlongWhichTheLikelihoodFallsIsHeldThere) {
  // Its own curvature negative, or positive but negative once the other
  // follows: held, its variance NaN, the other's that of its own block.
  for (const Matrix& hessian : {Matrix{{4.0, 1.0}, {1.0, -0.5}}, Matrix{{4.0, 1.6}, {1.6, 0.5}}}) {
    const HessianCovariance taken = covariance_of(hessian, {false, true});
    EXPECT_EQ(taken.undetermined, (std::vector<bool>{false, true}));
    EXPECT_DOUBLE_EQ(taken.covariance(0, 0), 0.25);
    EXPECT_EQ(taken.covariance(0, 1), 0.0);
    EXPECT_TRUE(std::isnan(taken.covariance(1, 1)));
  }
  // Inside the box the second is a saddle that both parameters are tied to.
  EXPECT_EQ(covariance_of(Matrix{{4.0, 1.6}, {1.6, 0.5}}).undetermined,
            (std::vector<bool>{true, true}));
  // With the likelihood curving up it keeps the full inverse.
  const Matrix curved{{4.0, 1.0}, {1.0, 2.0}};
  const HessianCovariance taken = covariance_of(curved, {false, true});
  EXPECT_TRUE(taken.covariance.isApprox(curved.inverse(), 1e-12));
  EXPECT_EQ(taken.undetermined, (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace tarnwex
