#include "minimizer/scalar_bound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "minimizer/lbfgsb_config.h"

namespace tarnwex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Pairs = std::vector<std::pair<double, double>>;

TEST(ScalarBoundTest, TheFormFollowsWhichSidesAreFinite) {
  const Pairs pairs{{-kInf, kInf}, {-kInf, 5.0}, {2.0, kInf}, {-1.0, 3.0}};
  const auto bounds = bounds_from_pairs(pairs);
  ASSERT_TRUE(bounds.has_value());
  EXPECT_EQ(*bounds, (BoundList{ScalarBound::unbounded(), ScalarBound::upper_only(5.0),
                                ScalarBound::lower_only(2.0),
                                ScalarBound::lower_and_upper(-1.0, 3.0)}));
}

TEST(ScalarBoundTest, EqualReversedOrNaNPairsAreRejected) {
  const MinimizerError expected =
      MinimizerError::configuration("bounds must be ordered and must not contain NaN");
  for (const auto& pair : Pairs{{1.0, 1.0}, {2.0, 1.0}, {0.0, kNaN}, {kNaN, 0.0}, {kInf, kInf}}) {
    const Pairs one{pair};
    const auto bounds = bounds_from_pairs(one);
    ASSERT_FALSE(bounds.has_value());
    EXPECT_EQ(bounds.error(), expected);
  }
  EXPECT_EQ(expected.display(),
            "Configuration error: bounds must be ordered and must not contain NaN");
  EXPECT_EQ(MinimizerError::numerical("x").display(), "Numerical error: x");
}

TEST(ScalarBoundTest, OneBadPairKeepsEveryBoundOutOfTheConfiguration) {
  const Pairs pairs{{0.0, 1.0}, {0.0, 2.0}, {3.0, 3.0}};
  EXPECT_FALSE(with_bounds(LBFGSBConfig{}, pairs).has_value());

  const Pairs good{{0.0, 1.0}, {-kInf, kInf}};
  const auto config = with_bounds(LBFGSBConfig{}, good);
  ASSERT_TRUE(config.has_value());
  ASSERT_TRUE(config->bounds.has_value());
  EXPECT_EQ(config->bounds->size(), 2u);
}

}  // namespace
}  // namespace tarnwex
