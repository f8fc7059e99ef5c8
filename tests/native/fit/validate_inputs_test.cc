#include "fit/inputs/validate_inputs.h"

#include <gtest/gtest.h>

#include <limits>

#include "fixed_values_pdf.h"

namespace tarnwex {
namespace {

using testing::FixedValuesPdf;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEpsilon = 2.220446049250313e-16;

class ValidateInputs : public ::testing::Test {
 protected:
  std::vector<std::vector<double>> rows{{0.0, 1.0}, {1.0, 2.0}, {2.0, 3.0}, {3.0, 4.0}};
  FixedValuesPdf pdf{{1.0, 1.0, 1.0, 1.0}};
  PdfList pdfs{pdf, pdf};
  std::vector<ShapeParameter> shapes;
  SPlotConfig config{.tolerance = 1e-8};

  std::expected<ValidatedInputs, SPlotError> run() {
    return validate_inputs(EventView(rows), pdfs, shapes, config);
  }
  std::string failure() {
    auto result = run();
    EXPECT_FALSE(result.has_value());
    if (result) return "";
    EXPECT_EQ(result.error().kind(), SPlotError::Kind::InvalidInput);
    return result.error().display();
  }
};

TEST_F(ValidateInputs, ChecksForEventsBeforePdfs) {
  rows.clear();
  pdfs.clear();
  EXPECT_EQ(failure(), "invalid input: data must not be empty");
}

TEST_F(ValidateInputs, RequiresAtLeastOnePdf) {
  pdfs.clear();
  EXPECT_EQ(failure(), "invalid input: at least one PDF is required");
}

TEST_F(ValidateInputs, RequiresOneConsistentNonzeroDimension) {
  const std::string message = "invalid input: events must have one consistent, nonzero dimension";
  rows = {{1, 2}, {1, 2}, {1, 2, 3}};
  EXPECT_EQ(failure(), message);
  rows = {{}, {}};
  EXPECT_EQ(failure(), message);
}

TEST_F(ValidateInputs, ChecksCoordinatesBeforeMaxSteps) {
  rows.back().back() = kNaN;
  config.max_steps = 0;
  EXPECT_EQ(failure(), "invalid input: event coordinates must be finite");
  rows.back().back() = -kInf;
  EXPECT_EQ(failure(), "invalid input: event coordinates must be finite");
}

TEST_F(ValidateInputs, IndexedEventsReportTheirBuildersVerdictInTheSameOrder) {
  const auto indexed = [&](bool finite) {
    return validate_inputs(EventView::indexed(4, 1, finite), pdfs, shapes, config);
  };
  EXPECT_TRUE(indexed(true));
  config.max_steps = 0;
  auto result = indexed(false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "invalid input: event coordinates must be finite");
  EXPECT_EQ(EventView::indexed(4, 1, true).row(3)[0], 3.0);
}

TEST_F(ValidateInputs, RequiresAPositiveStepLimitWhenOneIsGiven) {
  config.max_steps = 0;
  EXPECT_EQ(failure(), "invalid input: max_steps must be positive");
  config.max_steps = 1;
  EXPECT_TRUE(run());
  config.max_steps.reset();
  EXPECT_TRUE(run());
}

TEST_F(ValidateInputs, RequiresAFinitePositiveTolerance) {
  for (double tolerance : {0.0, -1e-8, kInf, kNaN}) {
    config.tolerance = tolerance;
    EXPECT_EQ(failure(), "invalid input: tolerance must be finite and positive") << tolerance;
  }
  config.tolerance = 5e-324;
  EXPECT_TRUE(run());
  config = SPlotConfig{};
  EXPECT_EQ(failure(), "invalid input: tolerance must be finite and positive");
}

TEST_F(ValidateInputs, ChecksTheWeightCountThenTheirFiniteness) {
  config.event_weights = std::vector<double>{1, 1, 1};
  EXPECT_EQ(failure(), "invalid input: event_weights has length 3, expected 4");
  config.event_weights = std::vector<double>{1, kInf, 1, 1};
  EXPECT_EQ(failure(), "invalid input: event weights must be finite");
}

TEST_F(ValidateInputs, AcceptsZeroAndNegativeWeightsAndDefaultsToOnes) {
  config.event_weights = std::vector<double>{3, 0, -1, 2};
  auto given = run();
  ASSERT_TRUE(given);
  EXPECT_EQ(std::vector<double>(given->event_weights.begin(), given->event_weights.end()),
            (std::vector<double>{3, 0, -1, 2}));
  EXPECT_EQ(given->start_yields, (std::vector<double>{2, 2}));

  config.event_weights.reset();
  auto defaulted = run();
  ASSERT_TRUE(defaulted);
  EXPECT_TRUE(defaulted->event_weights.empty());
  EXPECT_EQ(defaulted->start_yields, (std::vector<double>{2, 2}));
}

TEST_F(ValidateInputs, ReadsWeightsThatAreAllOneAsAnUnweightedFit) {
  config.event_weights = std::vector<double>{1, 1, 1, 1};
  auto ones = run();
  ASSERT_TRUE(ones);
  EXPECT_FALSE(ones->weighted());
  EXPECT_EQ(ones->start_yields, (std::vector<double>{2, 2}));
}

TEST_F(ValidateInputs, RejectsTheFirstRepeatedNameInQuotedForm) {
  shapes = {{"b", 0, -kInf, kInf}, {"a", 0, -kInf, kInf}, {"A", 0, -kInf, kInf},
            {"a", 0, -kInf, kInf}, {"b", 0, -kInf, kInf}};
  EXPECT_EQ(failure(), "invalid input: shape parameter name \"a\" is duplicated");
  shapes = {{"a", 0, -kInf, kInf}, {"A", 0, -kInf, kInf}};
  EXPECT_TRUE(run());
}

TEST_F(ValidateInputs, NegativeWeightSumFailsTheDefaultYields) {
  rows = {{1}, {2}};
  config.event_weights = std::vector<double>{-1, -1};
  EXPECT_EQ(failure(),
            "invalid input: initial_yields must match the PDFs, be finite and nonnegative, "
            "and have positive sum");
}

TEST_F(ValidateInputs, RejectsUnusableStartYields) {
  const std::string message =
      "invalid input: initial_yields must match the PDFs, be finite and nonnegative, and have "
      "positive sum";
  for (const auto& yields : std::vector<std::vector<double>>{
           {0, 0}, {1, kNaN}, {1, -1e-300}, {1, kInf}, {1}, {1, 1, 1}}) {
    config.initial_yields = yields;
    EXPECT_EQ(failure(), message);
  }
}

TEST_F(ValidateInputs, RaisesSmallStartYieldsToMachineEpsilon) {
  FixedValuesPdf third{{1.0, 1.0, 1.0, 1.0}};
  pdfs.push_back(third);
  config.initial_yields = std::vector<double>{0, 1e-20, 5};
  auto result = run();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->start_yields, (std::vector<double>{kEpsilon, kEpsilon, 5}));

  pdfs.pop_back();
  config.initial_yields = std::vector<double>{-0.0, 1};
  result = run();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->start_yields, (std::vector<double>{kEpsilon, 1}));
}

}  // namespace
}  // namespace tarnwex
