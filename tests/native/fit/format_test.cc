#include "fit/core/text/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fit/core/splot_error.h"

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

// Python's repr gives the shortest digits independently: 1e+23 and
// 1.152921504606847e+18.
TEST(FormatDouble, WritesLargeIntegralValuesWithTheirShortestDigitsNotTheirExactValue) {
  EXPECT_EQ(format_double(1e23), "100000000000000000000000");
  EXPECT_EQ(format_double(-0x1p60), "-1152921504606847000");
  EXPECT_EQ(format_double(0x1p53 + 2.0), "9007199254740994");
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
  EXPECT_EQ(quoted_name(std::string("\x1b\x7f\0", 3)), "\"\\u{1b}\\u{7f}\\0\"");
}

TEST(QuotedName, EscapesInvisibleAndCombiningCharactersButKeepsOtherText) {
  EXPECT_EQ(quoted_name("it's \xce\xbc \xf0\x9f\x98\x80"), "\"it's \xce\xbc \xf0\x9f\x98\x80\"");
  EXPECT_EQ(quoted_name("a\xc2\x85" "b"), "\"a\\u{85}b\"");                  // U+0085
  EXPECT_EQ(quoted_name("\xc2\xa0\xe2\x80\x8d"), "\"\\u{a0}\\u{200d}\"");  // NBSP, ZWJ
  EXPECT_EQ(quoted_name("e\xcc\x81"), "\"e\\u{301}\"");                      // combining acute
  EXPECT_EQ(quoted_name("\xe0\xa6\xbe"), "\"\\u{9be}\"");                   // extends, yet Mc
  EXPECT_EQ(quoted_name("\xf4\x8f\xbf\xbf"), "\"\\u{10ffff}\"");           // unassigned
}

TEST(QuotedName, WritesBytesOutsideWellFormedUtf8OneByOne) {
  EXPECT_EQ(quoted_name("a\xff"), "\"a\\xff\"");
  EXPECT_EQ(quoted_name("\xc0\xaf"), "\"\\xc0\\xaf\"");          // overlong '/'
  EXPECT_EQ(quoted_name("\xed\xa0\x80"), "\"\\xed\\xa0\\x80\""); // surrogate
  EXPECT_EQ(quoted_name("\xe2\x82"), "\"\\xe2\\x82\"");          // cut off
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
}

}  // namespace
}  // namespace tarnwex
