#include "fit/inputs/pdf_value_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace tarnwex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The plain element-by-element scans the block scans must agree with.
std::size_t plain_first_invalid(const std::vector<double>& v) {
  for (std::size_t e = 0; e < v.size(); ++e) {
    if (!std::isfinite(v[e]) || v[e] < 0.0) return e;
  }
  return v.size();
}

TEST(PdfValueChecks, FindTheFirstInvalidValueInAnyBlock) {
  for (double bad : {kInf, -kInf, kNaN, -1e-310, -1.0}) {
    for (std::size_t at : {0u, 511u, 512u, 1299u}) {
      std::vector<double> values(1300, 0.5);
      values[7] = -0.0;
      values[at] = bad;
      values[1299 - at / 2] = bad;  // a later failure must not win
      EXPECT_EQ(check_values(values).first_invalid, plain_first_invalid(values)) << bad << " at " << at;
    }
  }
  std::vector<double> fine(1025, std::numeric_limits<double>::max());
  fine[3] = -0.0;
  EXPECT_EQ(check_values(fine).first_invalid, 1025u);
  EXPECT_EQ(check_values({}).first_invalid, 0u);
}

TEST(PdfValueChecks, CheckingFindsTheFirstFailureAndAnyZeroAndTheCopyKeepsEveryValue) {
  for (std::size_t at : {0u, 511u, 512u, 1299u}) {
    std::vector<double> values(1300, 0.5);
    values[at] = kNaN;
    values[1299 - at / 2] = -1.0;
    std::vector<double> copy(values.size());
    const CheckedValues found = copy_checking_values(values, copy.data());
    EXPECT_EQ(found.first_invalid, plain_first_invalid(values)) << at;
    EXPECT_FALSE(found.has_zero);
    EXPECT_EQ(check_values(values).first_invalid, found.first_invalid);
    for (std::size_t e = 0; e < values.size(); ++e) {
      if (e != at) EXPECT_EQ(copy[e], values[e]) << e;
    }
    EXPECT_TRUE(std::isnan(copy[at]));
  }
  std::vector<double> fine(1025, 1.0);
  fine[1024] = -0.0;
  std::vector<double> copy(fine.size());
  const CheckedValues found = copy_checking_values(fine, copy.data());
  EXPECT_EQ(found.first_invalid, 1025u);
  EXPECT_TRUE(found.has_zero);
  EXPECT_TRUE(check_values(fine).has_zero);
  std::vector<double> mixed(20, 1.0);
  mixed[3] = 0.0;
  mixed[5] = kNaN;
  EXPECT_EQ(check_values(mixed).first_invalid, 5u);
  EXPECT_TRUE(check_values(mixed).has_zero);
  EXPECT_TRUE(std::signbit(copy[1024]));
}

TEST(PdfValueChecks, FindTheFirstEventWhereEveryColumnIsZero) {
  std::vector<double> a(1200, 0.0), b(1200, 1.0), c(1200, 0.0);
  for (std::size_t e = 0; e < 1200; e += 2) a[e] = 1.0;
  const std::vector<std::span<const double>> columns{a, b, c};
  EXPECT_EQ(first_all_zero_event(columns, 1200), 1200u);
  b[1101] = -0.0;
  b[1103] = 0.0;
  EXPECT_EQ(first_all_zero_event(columns, 1200), 1101u);
  b[1100] = 0.0;  // a is 1 there
  EXPECT_EQ(first_all_zero_event(columns, 1200), 1101u);
  // Only the first n_events values count.
  EXPECT_EQ(first_all_zero_event(columns, 1101), 1101u);
}

}  // namespace
}  // namespace tarnwex
