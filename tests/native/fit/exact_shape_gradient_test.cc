#include "fit/likelihood/exact_shape_gradient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "fit/densities/builtin_pdf.h"
#include "fit/likelihood/joint_likelihood.h"

namespace tarnwex {
namespace {

// A Gaussian peak with free mean and width on a falling exponential with a
// free slope, over more events than one block and not a multiple of it.
std::shared_ptr<const std::vector<double>> peak_on_slope_sample() {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> peak(4.0, 0.6);
  std::exponential_distribution<double> fall(0.3);
  auto values = std::make_shared<std::vector<double>>();
  while (values->size() < 1300) {
    const double v = peak(rng);
    if (v > 0.0 && v < 10.0) values->push_back(v);
  }
  while (values->size() < 5333) {
    const double v = fall(rng);
    if (v < 10.0) values->push_back(v);
  }
  return values;
}

// A Gaussian peak with free mean and width on a falling exponential with a
// free slope, over more events than one block and not a multiple of it.
struct PeakOnSlope {
  std::shared_ptr<const std::vector<double>> column = peak_on_slope_sample();
  std::vector<std::vector<double>> rows = [this] {
    std::vector<std::vector<double>> out;
    for (double v : *column) out.push_back({v});
    return out;
  }();
  BuiltinPdf peak{{densities::Shape::kGaussian, 0.0, 10.0, {{"mu"}, {"sigma"}}}, column, 0};
  BuiltinPdf slope{{densities::Shape::kExponential, 0.0, 10.0, {{"slope"}}}, column, 1};
  std::vector<std::pair<double, double>> bounds{{1.0, 8.0}, {0.1, 3.0}, {-2.0, 2.0}};
};

TEST(ExactShapeGradient, AgreesWithDifferencesOfTheNllAndGivesItsCurvature) {
  PeakOnSlope model;
  const EventView events(model.rows);
  const PdfList pdfs{model.peak, model.slope};
  JointLikelihood likelihood({"mu", "sigma", "slope"}, events, pdfs, {}, {}, model.bounds);
  Vector x(5);
  x << 1250.0, 4100.0, 4.2, 0.7, -0.25;
  const auto gradient = likelihood.gradient(x);
  ASSERT_TRUE(gradient.has_value());
  const auto curvature = likelihood.shape_curvature(x);
  ASSERT_TRUE(curvature.has_value());
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    const double h = 1e-5 * std::max(1.0, std::abs(x[i]));
    Vector up = x, down = x;
    up[i] += h;
    down[i] -= h;
    const double f_up = *likelihood.evaluate(up), f_down = *likelihood.evaluate(down);
    const double difference = (f_up - f_down) / (2.0 * h);
    EXPECT_NEAR((*gradient)[i], difference, 1e-5 * (1.0 + std::abs(difference))) << i;
    if (i < 2) continue;
    // The outer-product estimate: the NLL's curvature up to the sample's
    // fluctuation, of the same scale.
    const double second = (f_up - 2.0 * *likelihood.evaluate(x) + f_down) / (h * h);
    const double estimate = (*curvature)[i - 2];
    EXPECT_GT(estimate, 0.5 * second) << i;
    EXPECT_LT(estimate, 2.0 * second) << i;
  }
}

}  // namespace
}  // namespace tarnwex
