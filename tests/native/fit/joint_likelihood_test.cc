#include "fit/likelihood/joint_likelihood.h"
#include "fit/model/yield_information.h"
#include "fit/sweights/splot_covariance.h"
#include "fit/sweights/sweights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "exact_sum.h"
#include "fixed_values_pdf.h"

namespace tarnwex {
namespace {

using testing::FailingPdf;
using testing::FixedValuesPdf;

constexpr double kLogFloor = -690.7755278982137;  // ln(1e-300)

std::vector<std::vector<double>> index_rows(std::size_t n) {
  std::vector<std::vector<double>> rows;
  for (std::size_t e = 0; e < n; ++e) rows.push_back({static_cast<double>(e)});
  return rows;
}

Vector vec(std::initializer_list<double> values) {
  Vector v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double x : values) v[i++] = x;
  return v;
}

// Shape bounds that never bind, for likelihoods whose shape parameters the tests move freely.
std::span<const std::pair<double, double>> unbounded(std::size_t n) {
  static const std::vector<std::pair<double, double>> free(
      4, {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()});
  return std::span(free).first(n);
}

std::string failure(const std::expected<double, SPlotError>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? "" : result.error().display();
}

TEST(JointLikelihood, SumsTheYieldsAndSubtractsWeightedLogDensities) {
  const auto rows = index_rows(2);
  FixedValuesPdf pdf({0.5, 2.0});
  const std::vector<double> weights{1.0, 1.0};
  JointLikelihood nll({}, EventView(rows), {pdf}, weights);
  auto value = nll.evaluate(vec({10.0}));
  ASSERT_TRUE(value);
  EXPECT_DOUBLE_EQ(*value, 10.0 - std::log(5.0) - std::log(20.0));
}

TEST(JointLikelihood, SumsItsTermsToTheirExactlyRoundedTotal) {
  const auto rows = index_rows(2);
  const std::vector<double> weights{0.75, -2.0};
  const std::vector<std::vector<double>> values{{0.1, 0.3}, {0.7, 0.2}, {1e-3, 5.0}, {0.9, 0.01},
                                                {0.3, 0.3}, {2.5, 0.6}, {0.05, 1.1}, {0.4, 0.0}};
  std::vector<FixedValuesPdf> pdfs;
  for (const auto& v : values) pdfs.emplace_back(v);
  const std::vector<double> yields{1.5, 0.25, 3.0, 1e-3, 7.0, 0.1, 2.2, 0.9};
  // The yields, then each event's term, its mixture summed in component order.
  std::vector<double> terms(yields);
  for (std::size_t e = 0; e < 2; ++e) {
    double d = yields[0] * values[0][e];
    for (std::size_t k = 1; k < yields.size(); ++k) d += yields[k] * values[k][e];
    terms.push_back(std::log(d) * -weights[e]);
  }
  JointLikelihood nll({}, EventView(rows), PdfList(pdfs.begin(), pdfs.end()), weights);
  Vector x(static_cast<Eigen::Index>(yields.size()));
  for (std::size_t k = 0; k < yields.size(); ++k) x[static_cast<Eigen::Index>(k)] = yields[k];
  auto value = nll.evaluate(x);
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, testing::exact_sum(terms));
}

TEST(JointLikelihood, FloorsNonPositiveMixtureDensities) {
  const auto rows = index_rows(3);
  FixedValuesPdf pdf({1.0, 2.0, 3.0});
  const std::vector<double> weights{1.0, 2.0, -0.5};
  JointLikelihood nll({}, EventView(rows), {pdf}, weights);
  auto at_zero = nll.evaluate(vec({0.0}));
  ASSERT_TRUE(at_zero);
  EXPECT_DOUBLE_EQ(*at_zero, -kLogFloor * 2.5);
  auto negative = nll.evaluate(vec({-1.0}));
  ASSERT_TRUE(negative);
  EXPECT_DOUBLE_EQ(*negative, -1.0 - kLogFloor * 2.5);
}

TEST(JointLikelihood, PassesPdfErrorsThroughAndStopsAtTheFailingPdf) {
  const auto rows = index_rows(2);
  FailingPdf failing(SPlotError::pdf_evaluation("custom"));
  FixedValuesPdf later({1.0, 1.0});
  const std::vector<double> weights{1.0, 1.0};
  JointLikelihood nll({}, EventView(rows), {failing, later}, weights);
  auto value = nll.evaluate(vec({1.0, 1.0}));
  ASSERT_FALSE(value);
  EXPECT_EQ(value.error(), SPlotError::pdf_evaluation("custom"));
  EXPECT_EQ(later.calls(), 0);
}

TEST(JointLikelihood, RejectsAPdfWithTheWrongNumberOfValues) {
  const auto rows = index_rows(5);
  FixedValuesPdf good({1, 1, 1, 1, 1});
  FixedValuesPdf short_pdf({1, 1, 1, 1});
  const std::vector<double> weights(5, 1.0);
  JointLikelihood nll({}, EventView(rows), {good, short_pdf}, weights);
  EXPECT_EQ(failure(nll.evaluate(vec({1.0, 1.0}))),
            "PDF evaluation failed: PDF 1 returned 4 values, expected 5");
}

TEST(JointLikelihood, RejectsNegativeAndNonFiniteValuesButAcceptsNegativeZero) {
  const auto rows = index_rows(3);
  const std::vector<double> weights(3, 1.0);
  FixedValuesPdf signed_zero({1.0, -0.0, 1.0});
  FixedValuesPdf tiny_negative({1.0, 1.0, -1e-310});
  FixedValuesPdf not_a_number({std::numeric_limits<double>::quiet_NaN(), 1.0, 1.0});
  FixedValuesPdf ones({1.0, 1.0, 1.0});
  FixedValuesPdf never_called({1.0, 1.0, 1.0});
  EXPECT_TRUE(
      JointLikelihood({}, EventView(rows), {signed_zero, ones}, weights).evaluate(vec({1.0, 1.0})));
  EXPECT_EQ(failure(JointLikelihood({}, EventView(rows), {signed_zero, tiny_negative, never_called},
                                    weights)
                        .evaluate(vec({1.0, 1.0, 1.0}))),
            "PDF evaluation failed: PDF 1 returned an invalid value for event 2");
  EXPECT_EQ(never_called.calls(), 0);
  EXPECT_EQ(failure(JointLikelihood({}, EventView(rows), {not_a_number}, weights).evaluate(vec({1.0}))),
            "PDF evaluation failed: PDF 0 returned an invalid value for event 0");
}

TEST(JointLikelihood, ReportsTheFirstEventWhereAllPdfsAreZero) {
  const auto rows = index_rows(5);
  const std::vector<double> weights(5, 1.0);
  FixedValuesPdf a({1, 1, 0, 0, 0});
  FixedValuesPdf b({1, 0, 1, -0.0, 0});
  JointLikelihood nll({}, EventView(rows), {a, b}, weights);
  EXPECT_EQ(failure(nll.evaluate(vec({1.0, 1.0}))),
            "PDF evaluation failed: all PDFs are zero for event 3");
  // The scan for all-zero events runs only once every PDF passed its own checks.
  FixedValuesPdf invalid_later({1, 1, 0, 1, -1});  // event 2 is zero in both
  JointLikelihood checked_first({}, EventView(rows), {a, invalid_later}, weights);
  EXPECT_EQ(failure(checked_first.evaluate(vec({1.0, 1.0}))),
            "PDF evaluation failed: PDF 1 returned an invalid value for event 4");
}

TEST(JointLikelihood, RejectsAnInfiniteMixtureDensity) {
  const auto rows = index_rows(2);
  const std::vector<double> weights(2, 1.0);
  FixedValuesPdf pdf({1e308, 1.0});
  JointLikelihood nll({}, EventView(rows), {pdf}, weights);
  EXPECT_EQ(failure(nll.evaluate(vec({10.0}))),
            "optimization failed: mixture density is not finite for event 0");
}

// The last PDF's values and the all-zero scan are checked inside the event
// loop, which stops at a bad mixture: the PDF errors still win, wherever they are.
TEST(JointLikelihood, ReportsPdfFailuresBeforeAnEarlierInfiniteMixture) {
  const auto rows = index_rows(40);
  const std::vector<double> weights(40, 1.0);
  std::vector<double> overflowing(40, 1.0);
  overflowing[3] = 1e308;
  std::vector<double> invalid_late(40, 1.0);
  invalid_late[37] = -1.0;
  FixedValuesPdf first(overflowing);
  FixedValuesPdf last(invalid_late);
  EXPECT_EQ(failure(JointLikelihood({}, EventView(rows), {first, last}, weights)
                        .evaluate(vec({10.0, 1.0}))),
            "PDF evaluation failed: PDF 1 returned an invalid value for event 37");
  std::vector<double> zero_late(40, 1.0);
  zero_late[29] = 0.0;
  overflowing[29] = 0.0;
  FixedValuesPdf first_with_zero(overflowing);
  FixedValuesPdf last_with_zero(zero_late);
  EXPECT_EQ(failure(JointLikelihood({}, EventView(rows), {first_with_zero, last_with_zero}, weights)
                        .evaluate(vec({10.0, 1.0}))),
            "PDF evaluation failed: all PDFs are zero for event 29");
}

// a everywhere, but at a = 2 the values `bad` holds.
class ShapedPdf : public ParametricPdf {
 public:
  explicit ShapedPdf(std::vector<double> bad) : bad_(std::move(bad)), flat_(bad_.size()) {}
  std::expected<double, SPlotError> evaluate(EventRow event, const ParameterMap& p) const override {
    return values(p)[static_cast<std::size_t>(event[0])];
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(const EventView&,
                                                                const ParameterMap& p) const override {
    return values(p);
  }

 private:
  const std::vector<double>& values(const ParameterMap& p) const {
    if (p.at("a") == 2.0) return bad_;
    flat_.assign(flat_.size(), p.at("a"));
    return flat_;
  }
  std::vector<double> bad_;
  mutable std::vector<double> flat_;
};

// When the later PDFs' columns are used again, the last PDF asked is checked
// inside the event loop, whichever it is, and its failures still win.
TEST(JointLikelihood, ChecksTheLastPdfAskedInTheLoopWhenTheOthersAreUsedAgain) {
  const auto rows = index_rows(40);
  const std::vector<double> weights(40, 1.0);
  for (bool overflow : {false, true}) {
    std::vector<double> bad(40, 1.0);
    bad[37] = -1.0;
    if (overflow) bad[3] = 1e308;
    ShapedPdf shaped(bad);
    FixedValuesPdf fixed(std::vector<double>(40, 0.5), 5);
    JointLikelihood nll({"a"}, EventView(rows), {shaped, fixed}, weights, {}, unbounded(1));
    // The second point teaches the likelihood that PDF 1 ignores `a` (and
    // that PDF 0 does not).
    ASSERT_TRUE(nll.evaluate(vec({10.0, 1.0, 1.0})));
    ASSERT_TRUE(nll.evaluate(vec({10.0, 1.0, 1.5})));
    const int calls = fixed.calls();
    EXPECT_EQ(failure(nll.evaluate(vec({10.0, 1.0, 2.0}))),
              "PDF evaluation failed: PDF 0 returned an invalid value for event 37");
    EXPECT_EQ(fixed.calls(), calls);
  }
}

TEST(JointLikelihood, RejectsANonFiniteTotal) {
  const auto rows = index_rows(2);
  const std::vector<double> weights(2, 1e308);
  FixedValuesPdf pdf({1e-200, 1e-200});
  JointLikelihood nll({}, EventView(rows), {pdf}, weights);
  EXPECT_EQ(failure(nll.evaluate(vec({1e-200}))),
            "optimization failed: negative log-likelihood is not finite");
}

// Records the parameter maps it receives; its values do not depend on them.
TEST(JointLikelihood, HandsEveryPdfTheCompleteMapOrderedByName) {
  const auto rows = index_rows(1);
  const std::vector<double> weights(1, 1.0);
  FixedValuesPdf a({1.0});
  FixedValuesPdf b({1.0});
  JointLikelihood nll({"width", "mean"}, EventView(rows), {a, b}, weights, {}, unbounded(2));
  ASSERT_TRUE(nll.evaluate(vec({1.0, 1.0, 0.25, 5.0})));
  const ParameterMap expected{{"mean", 5.0}, {"width", 0.25}};
  EXPECT_EQ(a.last_parameters(), expected);
  EXPECT_EQ(b.last_parameters(), expected);
  ASSERT_TRUE(nll.evaluate(vec({1.0, 1.0, 0.5, 6.0})));
  EXPECT_EQ(b.last_parameters(), (ParameterMap{{"mean", 6.0}, {"width", 0.5}}));
}

TEST(JointLikelihood, SkipsRecheckingKnownRevisionsWithoutChangingTheOutcome) {
  const auto rows = index_rows(3);
  const std::vector<double> weights(3, 1.0);
  FixedValuesPdf bad({1.0, -2.0, 1.0}, 7);
  JointLikelihood with_bad({}, EventView(rows), {bad}, weights);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(failure(with_bad.evaluate(vec({1.0}))),
              "PDF evaluation failed: PDF 0 returned an invalid value for event 1");
  }
  FixedValuesPdf zero_a({1.0, 0.0, 1.0}, 3);
  FixedValuesPdf zero_b({1.0, 0.0, 1.0}, 4);
  JointLikelihood with_zero({}, EventView(rows), {zero_a, zero_b}, weights);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(failure(with_zero.evaluate(vec({1.0, 1.0}))),
              "PDF evaluation failed: all PDFs are zero for event 1");
  }
  FixedValuesPdf good({0.5, 2.0, 1.0}, 9);
  FixedValuesPdf unversioned({0.5, 2.0, 1.0});
  JointLikelihood versioned({}, EventView(rows), {good}, weights);
  JointLikelihood copied({}, EventView(rows), {unversioned}, weights);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(*versioned.evaluate(vec({2.0})), *copied.evaluate(vec({2.0})));
}

TEST(JointLikelihood, AnswersARepeatedPointWithoutCallingThePdfs) {
  const auto rows = index_rows(2);
  const std::vector<double> weights{1.0, 1.0};
  FixedValuesPdf pdf({0.5, 2.0});
  JointLikelihood nll({"mu"}, EventView(rows), {pdf}, weights, {}, unbounded(1));
  const auto first = nll.evaluate(vec({10.0, 0.0}));
  ASSERT_TRUE(first);
  EXPECT_EQ(nll.evaluate(vec({10.0, 0.0})), first);
  EXPECT_EQ(pdf.calls(), 1);
  ASSERT_TRUE(nll.evaluate(vec({10.0, -0.0})));  // other bits: a new pass
  EXPECT_EQ(pdf.calls(), 2);
  // Failures are not remembered: each repeat asks the PDFs again.
  FixedValuesPdf bad({1.0, -1.0});
  JointLikelihood failing({}, EventView(rows), {bad}, weights);
  EXPECT_FALSE(failing.evaluate(vec({1.0})));
  EXPECT_FALSE(failing.evaluate(vec({1.0})));
  EXPECT_EQ(bad.calls(), 2);
}

TEST(JointLikelihood, ConsultsTheInterruptCheckBeforeEachEvaluation) {
  const auto rows = index_rows(1);
  const std::vector<double> weights(1, 1.0);
  FixedValuesPdf pdf({1.0});
  int checks = 0;
  JointLikelihood nll({}, EventView(rows), {pdf}, weights,
                            [&checks]() -> std::expected<void, SPlotError> {
                              if (++checks == 2) return std::unexpected(SPlotError::optimization("stop"));
                              return {};
                            });
  EXPECT_TRUE(nll.evaluate(vec({1.0})));
  EXPECT_EQ(failure(nll.evaluate(vec({1.0}))), "optimization failed: stop");
  EXPECT_EQ(pdf.calls(), 1);
}

TEST(JointLikelihood, GradientIsExactInTheYieldsAndIgnoresFlooredEvents) {
  const auto rows = index_rows(3);
  const std::vector<double> weights{1.0, -0.5, 2.0};
  FixedValuesPdf a({0.5, 2.0, 0.0});
  FixedValuesPdf b({1.5, 0.25, 1e-310});  // event 2's mixture lies below the floor
  JointLikelihood nll({}, EventView(rows), {a, b}, weights);
  const double y0 = 2.220446049250313e-16, y1 = 4.0;  // y0 on its bound
  auto g = nll.gradient(vec({y0, y1}));
  ASSERT_TRUE(g);
  const double d0 = y0 * 0.5 + y1 * 1.5, d1 = y0 * 2.0 + y1 * 0.25;
  EXPECT_DOUBLE_EQ((*g)[0], 1.0 - 0.5 / d0 + 0.5 * 2.0 / d1);
  EXPECT_DOUBLE_EQ((*g)[1], 1.0 - 1.5 / d0 + 0.5 * 0.25 / d1);
  // The same pass gives the NLL, bit for bit.
  EventSum reference;
  const double leading[] = {y0, y1};
  reference.add(0, -std::log(d0));
  reference.add(1, std::log(d1) * 0.5);
  reference.add(2, -kLogFloor * 2.0);
  EXPECT_EQ(*nll.evaluate(vec({y0, y1})), reference.total(leading));
}

TEST(JointLikelihood, HessianOfTheYieldsIsTheAnalyticOne) {
  const auto rows = index_rows(2);
  const std::vector<double> weights(2, 1.0);
  FixedValuesPdf a({0.5, 2.0});
  FixedValuesPdf b({1.5, 0.25});
  JointLikelihood nll({}, EventView(rows), {a, b}, weights);
  const double y0 = 3.0, y1 = 4.0;
  auto both = nll.gradient_with_hessian(vec({y0, y1}));
  ASSERT_TRUE(both);
  const Matrix& h = both->hessian;
  EXPECT_EQ(h(0, 1), h(1, 0));
  // d2/dya dyb of -sum ln d_e = sum f_a f_b / d_e^2.
  const double d0 = y0 * 0.5 + y1 * 1.5, d1 = y0 * 2.0 + y1 * 0.25;
  // The yield block is summed, not differenced: exact up to rounding.
  EXPECT_DOUBLE_EQ(h(0, 0), 0.25 / (d0 * d0) + 4.0 / (d1 * d1));
  EXPECT_DOUBLE_EQ(h(0, 1), 0.75 / (d0 * d0) + 0.5 / (d1 * d1));
  EXPECT_DOUBLE_EQ(h(1, 1), 2.25 / (d0 * d0) + 0.0625 / (d1 * d1));
  EXPECT_DOUBLE_EQ(both->gradient[0], 1.0 - 0.5 / d0 - 2.0 / d1);
}

TEST(JointLikelihood, EvaluatesTheModelForTheSPlotStep) {
  const auto rows = index_rows(3);
  const std::vector<double> weights{1.0, 0.5, 2.0};
  FixedValuesPdf viewed({0.1, 0.2, 0.3}, 5);
  FixedValuesPdf copied({0.4, 0.5, 0.6});
  JointLikelihood nll({"s"}, EventView(rows), {viewed, copied}, weights, {}, unbounded(1));
  auto model = nll.evaluate_model(std::vector<double>{4.0});
  ASSERT_TRUE(model);
  EXPECT_EQ(copied.last_parameters(), (ParameterMap{{"s", 4.0}}));
  EXPECT_EQ(model->n_events(), 3u);
  EXPECT_EQ(model->n_components(), 2u);
  // The model is seen through what the sPlot step asks of it: both columns
  // and the weights in event order, and still so after a move.
  EvaluatedModel moved = std::move(*model);
  const std::vector<double> yields{2.0, 3.0};
  auto information = yield_information(moved, yields);
  ASSERT_TRUE(information);
  const double d[] = {2.0 * 0.1 + 3.0 * 0.4, 2.0 * 0.2 + 3.0 * 0.5, 2.0 * 0.3 + 3.0 * 0.6};
  EXPECT_DOUBLE_EQ((*information)(0, 0),
                   0.01 / (d[0] * d[0]) + 0.5 * 0.04 / (d[1] * d[1]) + 2.0 * 0.09 / (d[2] * d[2]));
  EXPECT_DOUBLE_EQ((*information)(0, 1),
                   0.04 / (d[0] * d[0]) + 0.5 * 0.1 / (d[1] * d[1]) + 2.0 * 0.18 / (d[2] * d[2]));
  EXPECT_DOUBLE_EQ((*information)(1, 1),
                   0.16 / (d[0] * d[0]) + 0.5 * 0.25 / (d[1] * d[1]) + 2.0 * 0.36 / (d[2] * d[2]));
}

TEST(JointLikelihood, ModelEvaluationPassesPdfChecksThrough) {
  const auto rows = index_rows(2);
  const std::vector<double> weights(2, 1.0);
  FixedValuesPdf zero({0.0, 1.0});
  JointLikelihood nll({}, EventView(rows), {zero}, weights);
  auto model = nll.evaluate_model({});
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error().display(), "PDF evaluation failed: all PDFs are zero for event 0");
}

}  // namespace
}  // namespace tarnwex
