#include "fit/splot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>

#include "fixed_values_pdf.h"
#include "minimizer/types.h"

namespace tarnwex {
namespace {

using testing::FailingPdf;
using testing::FixedValuesPdf;

constexpr double kLow = 0.0;
constexpr double kHigh = 10.0;
constexpr double kTrueMean = 5.0;
constexpr double kTrueWidth = 0.6;
constexpr double kTrueSlope = 0.3;
constexpr std::size_t kSignalEvents = 12000;
constexpr std::size_t kBackgroundEvents = 8000;
constexpr double kPulls = 3.0;
constexpr double kSumOfSWeightsTolerance = 1e-4;  // relative to the yield
constexpr double kEventSumTolerance = 1e-3;

double normal_cdf(double z) { return 0.5 * std::erfc(-z / std::numbers::sqrt2); }

double gaussian_density(double x, double mean, double width) {
  const double norm = normal_cdf((kHigh - mean) / width) - normal_cdf((kLow - mean) / width);
  const double z = (x - mean) / width;
  return std::exp(-0.5 * z * z) / (width * std::sqrt(2.0 * std::numbers::pi) * norm);
}

double exponential_density(double x, double slope) {
  return slope * std::exp(-slope * x) / (1.0 - std::exp(-slope * (kHigh - kLow)));
}

// Densities of the events' only coordinate, normalised on [0, 10].
class GaussianPdf final : public ParametricPdf {
 public:
  std::expected<double, SPlotError> evaluate(EventRow event,
                                             const ParameterMap& p) const override {
    return gaussian_density(event[0], p.at("mu"), p.at("sigma"));
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& p) const override {
    std::vector<double> values(events.size());
    const double mean = p.at("mu"), width = p.at("sigma");
    for (std::size_t e = 0; e < events.size(); ++e) values[e] = gaussian_density(events.at(e, 0), mean, width);
    return values;
  }
};

class ExponentialPdf final : public ParametricPdf {
 public:
  std::expected<double, SPlotError> evaluate(EventRow event,
                                             const ParameterMap& p) const override {
    return exponential_density(event[0], p.at("lambda"));
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& p) const override {
    std::vector<double> values(events.size());
    const double slope = p.at("lambda");
    for (std::size_t e = 0; e < events.size(); ++e) values[e] = exponential_density(events.at(e, 0), slope);
    return values;
  }
};

double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// Inverse CDF of the truncated Gaussian, by bisection.
double sample_gaussian(std::mt19937_64& rng) {
  const double u = uniform(rng);
  const double c_low = normal_cdf((kLow - kTrueMean) / kTrueWidth);
  const double c_high = normal_cdf((kHigh - kTrueMean) / kTrueWidth);
  const double target = c_low + u * (c_high - c_low);
  double lo = kLow, hi = kHigh;
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (lo + hi);
    (normal_cdf((mid - kTrueMean) / kTrueWidth) < target ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

double sample_exponential(std::mt19937_64& rng) {
  const double u = uniform(rng);
  return -std::log1p(-u * (1.0 - std::exp(-kTrueSlope * kHigh))) / kTrueSlope;
}

std::vector<std::vector<double>> draw_events() {
  std::mt19937_64 rng(20240611);
  std::vector<std::vector<double>> rows;
  rows.reserve(kSignalEvents + kBackgroundEvents);
  for (std::size_t i = 0; i < kSignalEvents; ++i) rows.push_back({sample_gaussian(rng)});
  for (std::size_t i = 0; i < kBackgroundEvents; ++i) rows.push_back({sample_exponential(rng)});
  return rows;
}

class SPlotFit : public ::testing::Test {
 protected:
  static const std::vector<std::vector<double>>& rows() {
    static const auto events = draw_events();
    return events;
  }
  GaussianPdf signal;
  ExponentialPdf background;
  PdfList pdfs{signal, background};
  std::vector<ShapeParameter> shapes{*ShapeParameter::create("mu", 4.8, 3.0, 7.0),
                                     *ShapeParameter::create("sigma", 0.8, 0.1, 3.0),
                                     *ShapeParameter::create("lambda", 0.2, 0.01, 2.0)};

  std::expected<SPlotOutput, SPlotError> fit(SPlotConfig config = {.tolerance = 1e-8}) {
    return splot(EventView(rows()), pdfs, shapes, std::move(config));
  }
};

bool is_convergence_message(const std::string& message) {
  return message == "Success: F_EVAL CONVERGED" || message == "Success: GRADIENT CONVERGED" ||
         message == "Success: PROJECTED GRADIENT WITHIN TOLERANCE";
}

void expect_within_pulls(double value, double error, double truth, const char* what) {
  EXPECT_TRUE(std::isfinite(error) && error > 0.0) << what;
  EXPECT_LE(std::abs(value - truth), kPulls * error) << what << " = " << value << " +- " << error;
}

TEST_F(SPlotFit, RecoversYieldsAndShapesOfAGaussianOverAnExponential) {
  auto result = fit();
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_TRUE(result->success);
  EXPECT_TRUE(is_convergence_message(result->message)) << result->message;
  EXPECT_EQ(result->hessian_evaluations, 1u);
  EXPECT_GT(result->objective_evaluations, 1u);
  EXPECT_GT(result->gradient_evaluations, 1u);

  expect_within_pulls(result->yields[0], result->yield_errors[0], kSignalEvents, "signal yield");
  expect_within_pulls(result->yields[1], result->yield_errors[1], kBackgroundEvents, "background yield");
  expect_within_pulls(result->shape_parameters.at("mu"), result->shape_errors.at("mu"), kTrueMean, "mu");
  expect_within_pulls(result->shape_parameters.at("sigma"), result->shape_errors.at("sigma"), kTrueWidth, "sigma");
  expect_within_pulls(result->shape_parameters.at("lambda"), result->shape_errors.at("lambda"), kTrueSlope, "lambda");

  ASSERT_EQ(result->covariance.rows, 2u);
  ASSERT_EQ(result->covariance.cols, 2u);
  ASSERT_EQ(result->fit_covariance.rows, 5u);
  ASSERT_EQ(result->fit_covariance.cols, 5u);
  ASSERT_EQ(result->sweights.rows, rows().size());
  ASSERT_EQ(result->sweights.cols, 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(result->yield_errors[k], std::sqrt(result->fit_covariance(k, k)));
  }

  std::vector<double> component_sums(2, 0.0);
  for (std::size_t e = 0; e < rows().size(); ++e) {
    const double s0 = result->sweights(e, 0), s1 = result->sweights(e, 1);
    component_sums[0] += s0;
    component_sums[1] += s1;
    ASSERT_NEAR(s0 + s1, 1.0, kEventSumTolerance) << "event " << e;
  }
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_NEAR(component_sums[k], result->yields[k], kSumOfSWeightsTolerance * result->yields[k]);
  }
}

TEST_F(SPlotFit, ListsShapeResultsInNameOrder) {
  auto result = fit();
  ASSERT_TRUE(result);
  std::vector<std::string> names, error_names;
  for (const auto& [name, value] : result->shape_parameters) names.push_back(name);
  for (const auto& [name, value] : result->shape_errors) error_names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"lambda", "mu", "sigma"}));
  EXPECT_EQ(error_names, names);
}

TEST_F(SPlotFit, SignedWeightsFollowTheSWeightFormula) {
  std::vector<double> weights(rows().size());
  for (std::size_t e = 0; e < weights.size(); ++e) {
    weights[e] = e % 7 == 0 ? 0.0 : (e % 5 == 0 ? -0.5 : 1.25);
  }
  SPlotConfig config{.tolerance = 1e-8};
  config.event_weights = weights;
  auto result = fit(config);
  ASSERT_TRUE(result) << result.error().display();

  const double mean = result->shape_parameters.at("mu");
  const double width = result->shape_parameters.at("sigma");
  const double slope = result->shape_parameters.at("lambda");
  const double y0 = result->yields[0], y1 = result->yields[1];
  Eigen::Matrix2d information = Eigen::Matrix2d::Zero();
  for (std::size_t e = 0; e < rows().size(); ++e) {
    const Eigen::Vector2d f(gaussian_density(rows()[e][0], mean, width),
                            exponential_density(rows()[e][0], slope));
    const double d = y0 * f[0] + y1 * f[1];
    information += weights[e] * f * f.transpose() / (d * d);
  }
  const Eigen::Matrix2d v = information.inverse();
  constexpr double kRecomputedTolerance = 1e-9;
  for (std::size_t i = 0; i < 2; ++i) {
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(result->covariance(i, j), v(i, j), kRecomputedTolerance * std::abs(v(i, j)));
    }
  }
  for (std::size_t e = 0; e < rows().size(); ++e) {
    const Eigen::Vector2d f(gaussian_density(rows()[e][0], mean, width),
                            exponential_density(rows()[e][0], slope));
    const double d = y0 * f[0] + y1 * f[1];
    const Eigen::Vector2d expected = weights[e] * (v * f) / d;
    if (weights[e] == 0.0) {
      ASSERT_EQ(result->sweights(e, 0), 0.0);
      ASSERT_EQ(result->sweights(e, 1), 0.0);
    }
    for (std::size_t j = 0; j < 2; ++j) {
      ASSERT_NEAR(result->sweights(e, j), expected[j], kRecomputedTolerance * (1.0 + std::abs(expected[j])))
          << "event " << e;
    }
  }
}

TEST_F(SPlotFit, AStepLimitOfOneEndsWithoutSuccess) {
  SPlotConfig config{.tolerance = 1e-8};
  config.max_steps = 1;
  auto result = fit(config);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_FALSE(result->success);
  EXPECT_EQ(result->message, "Message: Maximum number of steps reached (1)");
  EXPECT_EQ(result->hessian_evaluations, 1u);
}

TEST_F(SPlotFit, IdenticalComponentsAreNotSeparable) {
  GaussianPdf twin;
  pdfs = {signal, twin};
  shapes = {*ShapeParameter::create("mu", 5.0, 3.0, 7.0), *ShapeParameter::create("sigma", 0.6, 0.1, 3.0)};
  auto result = fit();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), SPlotError::Kind::SingularCovariance);
  const std::string text = result.error().display();
  EXPECT_TRUE(text == "singular yield covariance: the event-summed yield information matrix is not invertible" ||
              text == "singular yield covariance: the component PDFs are not independently identifiable")
      << text;
}

TEST_F(SPlotFit, AnInterruptEndsTheFitWithItsError) {
  int evaluations = 0;
  const InterruptCheck interrupt = [&evaluations]() -> std::expected<void, SPlotError> {
    if (++evaluations > 25) return std::unexpected(SPlotError::optimization("interrupted"));
    return {};
  };
  auto result = splot(EventView(rows()), pdfs, shapes, SPlotConfig{.tolerance = 1e-8}, interrupt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "optimization failed: interrupted");
  EXPECT_EQ(evaluations, 26);
}

TEST(SPlotDriver, ReportsInputErrorsBeforeEvaluatingAnything) {
  const std::vector<std::vector<double>> rows{{1.0}, {2.0}};
  FailingPdf failing(SPlotError::pdf_evaluation("never"));
  SPlotConfig config{.tolerance = 1e-8};
  config.tolerance = 0.0;
  auto result = splot(EventView(rows), {failing}, {}, config);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "invalid input: tolerance must be finite and positive");
  EXPECT_EQ(failing.calls(), 0);
}

TEST(SPlotDriver, APdfErrorAtTheStartPointEndsTheFitWhateverTheStepLimit) {
  const std::vector<std::vector<double>> rows{{1.0}, {2.0}};
  for (std::optional<std::size_t> max_steps : {std::optional<std::size_t>{}, std::optional<std::size_t>{1}}) {
    FailingPdf failing(SPlotError::pdf_evaluation("custom failure"));
    SPlotConfig config{.tolerance = 1e-8};
    config.max_steps = max_steps;
    auto result = splot(EventView(rows), {failing}, {}, config);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), SPlotError::pdf_evaluation("custom failure"));
    EXPECT_EQ(failing.calls(), 1);
  }
}

TEST(SPlotDriver, FitsOneComponentToTheWeightSum) {
  const std::vector<std::vector<double>> rows{{1.0}, {2.0}, {3.0}, {4.0}};
  FixedValuesPdf flat({0.25, 0.25, 0.25, 0.25});
  SPlotConfig config{.tolerance = 1e-8};
  config.event_weights = std::vector<double>{1.0, 2.0, 0.5, 0.5};
  auto result = splot(EventView(rows), {flat}, {}, config);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_TRUE(result->success) << result->message;
  // The NLL y - 4 ln(y / 4) is smallest at y = 4 with curvature 4 / y^2 =
  // 1/4; the scores 1/y give sum w^2 / y^2 = 5.5 / 16, so the weighted
  // fit's variance is 4 (5.5 / 16) 4 = sum w^2.
  constexpr double kFitTolerance = 1e-4;
  EXPECT_NEAR(result->yields[0], 4.0, kFitTolerance);
  EXPECT_NEAR(result->yield_errors[0], std::sqrt(5.5), kFitTolerance);
  EXPECT_TRUE(result->shape_parameters.empty());
  EXPECT_EQ(result->fit_covariance.rows, 1u);
  // I = sum w_e / y^2, V = y^2 / 4, sWeight = w_e * V * f / (y f) = w_e * y / 4.
  for (std::size_t e = 0; e < rows.size(); ++e) {
    EXPECT_NEAR(result->sweights(e, 0), (*config.event_weights)[e] * result->yields[0] / 4.0, 1e-9);
  }
}

TEST(SPlotDriver, EveryPdfCallIsTheStartPointANewCountedEvaluationOrTheModel) {
  const std::vector<std::vector<double>> rows{{1.0}, {2.0}, {3.0}};
  FixedValuesPdf a({0.5, 0.25, 0.25});
  FixedValuesPdf b({0.1, 0.3, 0.6});
  SPlotConfig config{.tolerance = 1e-8};
  config.initial_yields = std::vector<double>{2.0, 1.0};
  auto result = splot(EventView(rows), {a, b}, {}, config);
  ASSERT_TRUE(result) << result.error().display();
  // The yield gradient is exact: one pass over the events, as an objective
  // evaluation is, and the Hessian of yields alone needs the PDFs once; the
  // start point, the yield curvature that sets the minimizer's scale, and
  // the fitted model add one request each. Of these 28 requests this fit
  // repeats 12 points whose value or gradient the likelihood's memo still
  // holds (a line search starts where the last step ended), and a repeat
  // asks no PDF. The fit is deterministic, so the count is exact.
  constexpr std::size_t kPerGradient = 1;
  constexpr std::size_t kPerHessian = 1;
  constexpr std::size_t kRepeatsFromTheMemo = 12;
  const std::size_t expected_calls = 1 + 1 + result->objective_evaluations +
                                     kPerGradient * result->gradient_evaluations +
                                     kPerHessian * result->hessian_evaluations + 1;
  EXPECT_EQ(static_cast<std::size_t>(a.calls()), expected_calls - kRepeatsFromTheMemo);
  EXPECT_EQ(a.calls(), b.calls());
}

TEST(SPlotDriver, ReturnsBoundsTheMinimizerRejectsAsItsOwnError) {
  const std::vector<std::vector<double>> rows{{1.0}, {2.0}};
  FixedValuesPdf flat({0.5, 0.5});
  // Built directly rather than through ShapeParameter::create, which would refuse it.
  const std::vector<ShapeParameter> shapes{{"a", 0.0, std::numeric_limits<double>::quiet_NaN(), 1.0}};
  auto result = splot(EventView(rows), {flat}, shapes, SPlotConfig{.tolerance = 1e-8});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), SPlotError::Kind::Minimizer);
  EXPECT_EQ(result.error().display(),
            "Configuration error: bounds must be ordered and must not contain NaN");
  EXPECT_EQ(flat.calls(), 1);
}

}  // namespace
}  // namespace tarnwex
