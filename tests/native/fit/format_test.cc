#include "fit/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fit/splot_error.h"

namespace tarnwex {
namespace {

TEST(FormatDouble, PrintsTheShortestRoundTripDecimalWithoutExponent) {
  EXPECT_EQ(format_double(1.0), "1");
  EXPECT_EQ(format_double(2.5), "2.5");
  EXPECT_EQ(format_double(0.1), "0.1");
  EXPECT_EQ(format_double(1e-7), "0.0000001");
  EXPECT_EQ(format_double(1e21), "1000000000000000000000");
  EXPECT_EQ(format_double(-1234.5), "-1234.5");
  EXPECT_EQ(format_double(2.220446049250313e-16), "0.0000000000000002220446049250313");
}

TEST(FormatDouble, PrintsSignedZeroInfinitiesAndNaNByName) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(format_double(0.0), "0");
  EXPECT_EQ(format_double(-0.0), "-0");
  EXPECT_EQ(format_double(kInf), "inf");
  EXPECT_EQ(format_double(-kInf), "-inf");
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::quiet_NaN()), "NaN");
}

TEST(FormatDouble, PrintsTheExtremesOfTheDoubleRangeInFull) {
  const std::string smallest = format_double(std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(smallest, "0." + std::string(323, '0') + "5");
  const std::string largest = format_double(-std::numeric_limits<double>::max());
  EXPECT_EQ(largest.size(), 310u);
  EXPECT_EQ(largest.substr(0, 5), "-1797");
}

TEST(QuotedName, EnclosesInQuotesAndEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_name("mass"), "\"mass\"");
  EXPECT_EQ(quoted_name(""), "\"\"");
  EXPECT_EQ(quoted_name("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_name("x\ny\tz\r"), "\"x\\ny\\tz\\r\"");
  EXPECT_EQ(quoted_name(std::string("\x1b\x7f\0", 3)), "\"\\u{1b}\\u{7f}\\u{0}\"");
}

TEST(QuotedName, KeepsNonAsciiTextButEscapesC1Controls) {
  EXPECT_EQ(quoted_name("\xce\xbc"), "\"\xce\xbc\"");            // U+03BC
  EXPECT_EQ(quoted_name("a\xc2\x85" "b"), "\"a\\u{85}b\"");       // U+0085
  EXPECT_EQ(quoted_name("\xc2\xa0"), "\"\xc2\xa0\"");            // U+00A0 is printable
}

TEST(SPlotErrorDisplay, PrefixesEachKindsMessage) {
  EXPECT_EQ(SPlotError::invalid_input("x").display(), "invalid input: x");
  EXPECT_EQ(SPlotError::pdf_evaluation("x").display(), "PDF evaluation failed: x");
  EXPECT_EQ(SPlotError::optimization("x").display(), "optimization failed: x");
  EXPECT_EQ(SPlotError::singular_covariance("x").display(), "singular yield covariance: x");
  EXPECT_EQ(SPlotError::invalid_input("x").kind(), SPlotError::Kind::InvalidInput);
  EXPECT_EQ(SPlotError::singular_covariance("x").message(), "x");
}

TEST(SPlotErrorDisplay, ShowsAMinimizerErrorAsTheMinimizerDoes) {
  const SPlotError error =
      SPlotError::minimizer(MinimizerError::configuration("eps_abs must be greater than 0"));
  EXPECT_EQ(error.kind(), SPlotError::Kind::Minimizer);
  EXPECT_EQ(error.display(), "Configuration error: eps_abs must be greater than 0");
  EXPECT_EQ(error.message(), "eps_abs must be greater than 0");
  EXPECT_EQ(error.minimizer_error(), MinimizerError::configuration("eps_abs must be greater than 0"));
}

}  // namespace
}  // namespace tarnwex
