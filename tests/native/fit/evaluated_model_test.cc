#include "fit/model/evaluated_model.h"
#include "fit/model/yield_information.h"
#include "fit/sweights/splot_covariance.h"
#include "fit/sweights/sweights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwex {
namespace {

constexpr double kRoundingTolerance = 1e-12;

// A model over columns kept alive by the test.
EvaluatedModel model_of(const std::vector<std::vector<double>>& columns,
                        const std::vector<double>& weights) {
  std::vector<std::span<const double>> views(columns.begin(), columns.end());
  return EvaluatedModel(weights.size(), std::move(views), {}, weights);
}

Matrix mat2(double a, double b, double c, double d) {
  Matrix m(2, 2);
  m << a, b, c, d;
  return m;
}

TEST(YieldInformation, OneComponentGivesEventsOverYieldSquared) {
  const std::vector<std::vector<double>> columns{{0.5, 2.0, 1.25, 0.1}};
  const std::vector<double> weights(4, 1.0);
  const auto model = model_of(columns, weights);
  const std::vector<double> yields{8.0};
  auto information = yield_information(model, yields);
  ASSERT_TRUE(information);
  EXPECT_NEAR((*information)(0, 0), 4.0 / 64.0, kRoundingTolerance);
  auto covariance = splot_covariance(*information, 1e-8);
  ASSERT_TRUE(covariance);
  EXPECT_NEAR((*covariance)(0, 0), 16.0, 1e-10);
  auto sweights = calculate_sweights(model, yields, *covariance);
  ASSERT_TRUE(sweights);
  ASSERT_EQ(sweights->rows, 4u);
  ASSERT_EQ(sweights->cols, 1u);
  for (std::size_t e = 0; e < 4; ++e) EXPECT_NEAR((*sweights)(e, 0), 2.0, 1e-10);
}

TEST(YieldInformation, AccumulatesWeightedProductsOverSquaredDensities) {
  const std::vector<std::vector<double>> columns{{0.2, 0.6}, {0.8, 0.1}};
  const std::vector<double> weights{1.5, -0.5};
  const auto model = model_of(columns, weights);
  const std::vector<double> yields{2.0, 3.0};
  auto information = yield_information(model, yields);
  ASSERT_TRUE(information);
  const double d0 = 2.0 * 0.2 + 3.0 * 0.8, d1 = 2.0 * 0.6 + 3.0 * 0.1;
  EXPECT_EQ((*information)(0, 1), (0.2 * 1.5 * 0.8) / (d0 * d0) + (0.6 * -0.5 * 0.1) / (d1 * d1));
  EXPECT_EQ((*information)(1, 0), (0.8 * 1.5 * 0.2) / (d0 * d0) + (0.1 * -0.5 * 0.6) / (d1 * d1));
  EXPECT_EQ((*information)(1, 1), (0.8 * 1.5 * 0.8) / (d0 * d0) + (0.1 * -0.5 * 0.1) / (d1 * d1));
}

TEST(YieldInformation, AZeroWeightRemovesTheEventAndZeroesItsSWeights) {
  const std::vector<std::vector<double>> columns{{0.2, 0.6, 0.3}, {0.8, 0.1, 0.5}};
  const std::vector<double> with_event{1.0, 0.0, 1.0};
  const std::vector<std::vector<double>> fewer{{0.2, 0.3}, {0.8, 0.5}};
  const std::vector<double> without_event{1.0, 1.0};
  const std::vector<double> yields{2.0, 3.0};
  const auto model = model_of(columns, with_event);
  auto information = yield_information(model, yields);
  auto reference = yield_information(model_of(fewer, without_event), yields);
  ASSERT_TRUE(information && reference);
  EXPECT_EQ(*information, *reference);
  auto sweights = calculate_sweights(model, yields, mat2(1.0, -0.5, -0.5, 2.0));
  ASSERT_TRUE(sweights);
  EXPECT_EQ((*sweights)(1, 0), 0.0);
  EXPECT_EQ((*sweights)(1, 1), 0.0);
}

TEST(CalculateSWeights, ScalesCovarianceRowsByDensityRatiosAndWeights) {
  const std::vector<std::vector<double>> columns{{0.2, 0.6}, {0.8, 0.1}};
  const std::vector<double> weights{2.0, -1.0};
  const auto model = model_of(columns, weights);
  const std::vector<double> yields{2.0, 3.0};
  const Matrix v = mat2(1.5, -0.25, -0.25, 0.75);
  auto sweights = calculate_sweights(model, yields, v);
  ASSERT_TRUE(sweights);
  const double d1 = 2.0 * 0.6 + 3.0 * 0.1;
  EXPECT_EQ((*sweights)(1, 0), (1.5 * 0.6 + -0.25 * 0.1) * -1.0 / d1);
  EXPECT_EQ((*sweights)(1, 1), (-0.25 * 0.6 + 0.75 * 0.1) * -1.0 / d1);
}

TEST(MixtureDensity, MustBePositiveAndFiniteForTheSPlotStep) {
  const std::vector<std::vector<double>> columns{{1.0, 0.0, 1e308}};
  const std::vector<double> weights(3, 1.0);
  const auto model = model_of(columns, weights);
  const Matrix v = Matrix::Identity(1, 1);
  for (auto [yield, event] : {std::pair{1.0, 1}, std::pair{-1.0, 0}}) {
    const std::vector<double> yields{yield};
    auto information = yield_information(model, yields);
    ASSERT_FALSE(information);
    const std::string expected =
        "optimization failed: mixture density is not positive for event " + std::to_string(event);
    EXPECT_EQ(information.error().display(), expected);
    auto sweights = calculate_sweights(model, yields, v);
    ASSERT_FALSE(sweights);
    EXPECT_EQ(sweights.error().display(), expected);
  }
  const std::vector<std::vector<double>> huge{{1e308}};
  const std::vector<double> one(1, 1.0);
  const std::vector<double> ten{10.0};
  EXPECT_EQ(yield_information(model_of(huge, one), ten).error().display(),
            "optimization failed: mixture density is not positive for event 0");
}

TEST(SWeights, AnOverflowingSWeightIsAnErrorAfterAnyNonPositiveDensity) {
  const std::vector<std::vector<double>> columns{{1.0, 1.0}};
  const std::vector<double> weights{1.0, 1.0};
  const Matrix v = Matrix::Constant(1, 1, 1e308);
  EXPECT_EQ(calculate_sweights(model_of(columns, weights), std::vector<double>{0.1}, v).error().display(),
            "optimization failed: sWeights are not finite: rescale the event weights or the PDFs");
  const std::vector<std::vector<double>> later_zero{{1.0, 0.0}};
  EXPECT_EQ(calculate_sweights(model_of(later_zero, weights), std::vector<double>{0.1}, v).error().display(),
            "optimization failed: mixture density is not positive for event 1");
}

TEST(CovarianceIsValid, AcceptsDeviationsUpToTheThreshold) {
  const Matrix identity = Matrix::Identity(2, 2);
  EXPECT_TRUE(covariance_is_valid(Matrix(0, 0), Matrix(0, 0), 1e-8));
  EXPECT_TRUE(covariance_is_valid(identity, identity, 1e-8));
  // With tolerance 1e-3 the threshold is 1e-2; with 1e-12 it is 1e-8.
  EXPECT_TRUE(covariance_is_valid(identity, mat2(1.0, 0.0, 0.0099, 1.0099), 1e-3));
  EXPECT_FALSE(covariance_is_valid(identity, mat2(1.0, 0.0, 0.011, 1.0), 1e-3));
  EXPECT_FALSE(covariance_is_valid(identity, mat2(1.0, 0.0, 0.0, 1.011), 1e-3));
  EXPECT_TRUE(covariance_is_valid(identity, mat2(1.0, 0.5e-8, 0.0, 1.0), 1e-12));
  EXPECT_FALSE(covariance_is_valid(identity, mat2(1.0, 2e-8, 0.0, 1.0), 1e-12));
}

TEST(CovarianceIsValid, RejectsNonFiniteProducts) {
  const Matrix identity = Matrix::Identity(2, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(covariance_is_valid(identity, mat2(1.0, nan, 0.0, 1.0), 1.0));
  EXPECT_FALSE(covariance_is_valid(identity, mat2(1.0, 0.0, 0.0, 1e308 * 10.0), 1e300));
}

TEST(SPlotCovariance, ReportsASingularInformationMatrix) {
  auto singular = splot_covariance(mat2(1.0, 1.0, 1.0, 1.0), 1e-8);
  ASSERT_FALSE(singular);
  EXPECT_EQ(singular.error().display(),
            "singular yield covariance: the event-summed yield information matrix is not invertible");
}

TEST(SPlotCovariance, ReportsAnInverseThatDoesNotReproduceTheIdentity) {
  auto degenerate = splot_covariance(mat2(0.1, 0.2, 0.3, 0.6000000000000001), 1e-8);
  ASSERT_FALSE(degenerate);
  EXPECT_EQ(degenerate.error().display(),
            "singular yield covariance: the component PDFs are not independently identifiable");
}

TEST(SPlotCovariance, InvertsAWellConditionedMatrix) {
  auto covariance = splot_covariance(mat2(4.0, 1.0, 1.0, 2.0), 1e-8);
  ASSERT_TRUE(covariance);
  EXPECT_NEAR((*covariance)(0, 0), 2.0 / 7.0, kRoundingTolerance);
  EXPECT_NEAR((*covariance)(0, 1), -1.0 / 7.0, kRoundingTolerance);
  EXPECT_NEAR((*covariance)(1, 1), 4.0 / 7.0, kRoundingTolerance);
}

}  // namespace
}  // namespace tarnwex
