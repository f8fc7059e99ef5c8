#include "fit/inputs/shape_parameter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string failure(std::expected<ShapeParameter, SPlotError> result) {
  EXPECT_FALSE(result.has_value());
  if (result) return "";
  EXPECT_EQ(result.error().kind(), SPlotError::Kind::InvalidInput);
  return result.error().display();
}

TEST(ShapeParameterCreate, WithoutBoundsIsUnbounded) {
  auto p = ShapeParameter::create("mu", 1.5);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->name, "mu");
  EXPECT_EQ(p->initial, 1.5);
  EXPECT_EQ(p->lower, -kInf);
  EXPECT_EQ(p->upper, kInf);
}

TEST(ShapeParameterCreate, RejectsAnEmptyNameOrANonFiniteInitialValue) {
  const std::string message = "invalid input: shape parameter has an invalid name or initial value";
  EXPECT_EQ(failure(ShapeParameter::create("", 1.0)), message);
  EXPECT_EQ(failure(ShapeParameter::create("a", kInf)), message);
  EXPECT_EQ(failure(ShapeParameter::create("a", kNaN, 5.0, 1.0)), message);
}

TEST(ShapeParameterCreate, RejectsBoundsThatAreNotStrictlyOrdered) {
  EXPECT_EQ(failure(ShapeParameter::create("a", 1.0, 1.0, 1.0)),
            "invalid input: lower bound must be strictly less than upper bound: lower=1, upper=1");
  EXPECT_EQ(failure(ShapeParameter::create("a", 1.0, kInf, kInf)),
            "invalid input: lower bound must be strictly less than upper bound: lower=inf, upper=inf");
}

TEST(ShapeParameterCreate, RejectsANaNBoundAfterTheOrderCheck) {
  EXPECT_EQ(failure(ShapeParameter::create("a", 1.0, kNaN, 2.0)),
            "invalid input: lower or upper bound is NaN: lower=NaN, upper=2");
  EXPECT_EQ(failure(ShapeParameter::create("a", 1.0, 0.0, kNaN)),
            "invalid input: lower or upper bound is NaN: lower=0, upper=NaN");
}

TEST(ShapeParameterCreate, RequiresTheInitialValueInsideTheInclusiveBounds) {
  EXPECT_EQ(failure(ShapeParameter::create("a", 3.0, 0.0, 2.5)),
            "invalid input: bounds must contain initial value: initial=3, bounds=(0, 2.5)");
  EXPECT_EQ(failure(ShapeParameter::create("a", -0.5, 0.0, 2.5)),
            "invalid input: bounds must contain initial value: initial=-0.5, bounds=(0, 2.5)");
  EXPECT_TRUE(ShapeParameter::create("a", 0.0, 0.0, 1.0));
  EXPECT_TRUE(ShapeParameter::create("a", 1.0, 0.0, 1.0));
  EXPECT_TRUE(ShapeParameter::create("a", 1e300, 0.0, kInf));
}

}  // namespace
}  // namespace tarnwex
