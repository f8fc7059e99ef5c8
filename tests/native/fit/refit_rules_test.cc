#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fit/runs/far_yields_refit.h"
#include "fit/runs/vanished_refit.h"

namespace tarnwex {
namespace {

using Indices = std::vector<std::size_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct YieldCase {
  const char* what;
  std::vector<double> fitted, start;
  double unit;
  Indices expected;
};

TEST(RefitRules, AVanishedComponentIsOneThatFellBelowAMillionthOfAnEventFromMoreThanOne) {
  const YieldCase cases[] = {
      {"fell to nothing", {1e-7, 900.0}, {500.0, 500.0}, 1.0, {0}},
      {"just above the line", {1.1e-6, 900.0}, {500.0, 500.0}, 1.0, {}},
      {"started at nothing: meant to be absent", {1e-9, 900.0}, {1.0, 500.0}, 1.0, {}},
      {"in weighted units", {1e-7, 900.0}, {500.0, 500.0}, 0.05, {}},
      {"every one in order", {1e-8, 1e-8, 5.0}, {50.0, 50.0, 50.0}, 1.0, {0, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vanished_components(c.fitted, c.start, c.unit), c.expected) << c.what;
  }
}

TEST(RefitRules, AFarYieldEndedMoreThanFourTimesAboveOrBelowItsStart) {
  const YieldCase cases[] = {
      {"rose past four times", {2001.0, 100.0}, {500.0, 500.0}, 1.0, {0, 1}},
      {"within four times", {1999.0, 126.0}, {500.0, 500.0}, 1.0, {}},
      {"vanished yields do not count", {0.5, 2500.0}, {500.0, 500.0}, 1.0, {1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(far_start_yields(c.fitted, c.start, c.unit), c.expected) << c.what;
  }
}

TEST(RefitRules, ShapesTravelledWhenOneMovedMoreThanThreeErrorsAndTwoPercentOrIsUndetermined) {
  const std::vector<std::pair<double, double>> box{{0.0, 10.0}, {0.1, 3.0}};
  struct Case {
    const char* what;
    std::vector<double> fitted, errors;
    bool travelled;
  };
  const std::vector<double> start{5.0, 1.0};
  const Case cases[] = {
      {"near the start, well determined", {5.2, 1.05}, {0.1, 0.02}, false},
      {"the mean moved more than three errors", {5.4, 1.05}, {0.1, 0.02}, true},
      {"within 2 % of its value, however small its error", {5.09, 1.01}, {1e-4, 1e-4}, false},
      {"an undetermined error", {5.0, 1.1}, {0.1, kNaN}, true},
      {"three errors span more than half the box", {5.3, 1.0}, {2.0, 0.02}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shapes_travelled(c.fitted, start, c.errors, box), c.travelled) << c.what;
  }
}

TEST(RefitRules, ARefitStartsAFallenYieldFourTimesBelowItsFitAndHeldYieldsInANarrowBox) {
  EXPECT_EQ(refit_start_yields(std::vector<double>{100.0, 9000.0, 1e-20},
                               std::vector<double>{5000.0, 5000.0, 5000.0}, 1e-16),
            (std::vector<double>{25.0, 9000.0, 1e-16}));
  const std::vector<std::pair<double, double>> bounds{{1e-16, 1e300}, {1e-16, 1e300}, {0.0, 1.0}};
  const auto held = hold_yields(bounds, std::vector<double>{512.0, 300.0}, Indices{0});
  EXPECT_EQ(held[0], (std::pair<double, double>{512.0 - std::ldexp(512.0, -20), 512.0}));
  EXPECT_EQ(held[1], bounds[1]);
  EXPECT_EQ(held[2], bounds[2]);
}

}  // namespace
}  // namespace tarnwex
