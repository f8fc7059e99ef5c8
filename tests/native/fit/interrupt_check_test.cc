#include "fit/core/interrupt_check.h"
#include "fit/model/yield_information.h"
#include "fit/sweights/splot_covariance.h"
#include "fit/sweights/sweights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "fit/likelihood/hessian_sums.h"
#include "fit/likelihood/joint_likelihood.h"
#include "fit/model/evaluated_model.h"
#include "fit/runs/shaped_components.h"
#include "fit/scales/convergence_scale.h"
#include "fit/splot.h"
#include "fixed_values_pdf.h"

namespace tarnwex {
namespace {

using testing::FixedValuesPdf;

constexpr std::size_t kBlock = 16;
constexpr std::size_t kEvents = 5 * kBlock + 3;  // six blocks, the last one short

// A check that counts its consultations and never stops anything.
struct CountingCheck {
  int consultations = 0;
  InterruptCheck check(std::size_t events_per_check = kBlock) {
    return InterruptCheck([this]() -> std::expected<void, SPlotError> {
      ++consultations;
      return {};
    }, events_per_check);
  }
};

std::vector<double> column(double scale, std::size_t shift) {
  std::vector<double> values(kEvents);
  for (std::size_t e = 0; e < kEvents; ++e) values[e] = scale * (1.0 + double((e + shift) % 7));
  return values;
}

std::vector<std::vector<double>> index_rows(std::size_t n) {
  std::vector<std::vector<double>> rows;
  for (std::size_t e = 0; e < n; ++e) rows.push_back({static_cast<double>(e)});
  return rows;
}

// Every loop over the events, as it runs in the fit. Each returns its
// result's bits as text, so that a run with blocks can be compared with
// one in a single block.
struct Phase {
  const char* name;
  std::function<std::string(const InterruptCheck&)> run;
};

std::string bits(double v) { return std::to_string(std::bit_cast<std::uint64_t>(v)) + " "; }

TEST(InterruptCheck, EveryLoopOverTheEventsConsultsItBetweenBlocksAndKeepsItsBits) {
  const auto a = column(0.5, 0), b = column(0.25, 3);
  const std::vector<std::span<const double>> columns{a, b};
  const std::vector<double> yields{30.0, 50.0};
  std::vector<double> weights(kEvents);
  for (std::size_t e = 0; e < kEvents; ++e) weights[e] = 0.5 + double(e % 5) * 0.25;
  const auto rows = index_rows(kEvents);
  const std::vector<double> reference(kEvents, 20.0);
  const Phase phases[] = {
      {"weight sums",
       [&](const InterruptCheck& c) {
         const auto s = weight_sums(weights, weights.size(), c);
         return bits(s->event_unit) + bits(s->magnitude);
       }},
      {"yield derivatives",
       [&](const InterruptCheck& c) {
         const auto d = yield_derivatives(columns, yields, weights, c);
         return bits(d->curvature(0, 1)) + bits(d->yield_sums[1]) + bits(d->log_densities.back());
       }},
      {"shape point sums",
       [&](const InterruptCheck& c) {
         const auto s = shape_point_sums(columns, yields, weights, reference, c);
         return bits(s->nll_change) + bits(s->squared_log_change) + bits(s->yield_sums[0]);
       }},
      {"information",
       [&](const InterruptCheck& c) {
         const EvaluatedModel model(kEvents, columns, {}, weights, c);
         return bits((*yield_information(model, yields))(0, 1));
       }},
      {"sWeights",
       [&](const InterruptCheck& c) {
         const EvaluatedModel model(kEvents, columns, {}, weights, c);
         Matrix v(2, 2);
         v << 2.0, -1.0, -1.0, 3.0;
         const auto s = calculate_sweights(model, yields, v);
         return bits(s->values[7]) + bits(s->values.back()) + std::to_string(s->values.size());
       }},
      {"likelihood pass and value checks",
       [&](const InterruptCheck& c) {
         // Revision 0: the values come as copies, so every load checks them
         // (the first column's scan, the last one's in the pass).
         FixedValuesPdf pa(a), pb(b);
         JointLikelihood nll({}, EventView(rows), {pa, pb}, weights, c);
         Vector x(2);
         x << 30.0, 50.0;
         return bits(*nll.evaluate(x));
       }},
  };
  for (const Phase& phase : phases) {
    CountingCheck counting;
    const std::string blocked = phase.run(counting.check());
    const std::string whole = phase.run(InterruptCheck());
    EXPECT_EQ(blocked, whole) << phase.name;
    // Once before each block after the first, in each loop (the weight
    // sums and the likelihood run two); the likelihood also once before.
    const bool likelihood = std::string(phase.name).starts_with("likelihood");
    const int before = likelihood ? 1 : 0;
    const int per_loop = likelihood || std::string(phase.name).starts_with("weight sums") ? 2 : 1;
    EXPECT_EQ(counting.consultations, before + per_loop * 5) << phase.name;
  }
}

TEST(InterruptCheck, TheAllZeroScanConsultsItBetweenBlocks) {
  auto a = column(1.0, 0), b = column(1.0, 1);
  a[0] = 0.0;  // every column has a zero, so the scan runs
  b[1] = 0.0;
  FixedValuesPdf pa(a), pb(b);
  const auto rows = index_rows(kEvents);
  CountingCheck counting;
  JointLikelihood nll({}, EventView(rows), {pa, pb}, {}, counting.check());
  // The sPlot step's values are checked in full: before the load, both
  // columns' scans, the all-zero scan.
  ASSERT_TRUE(nll.evaluate_model({}));
  EXPECT_EQ(counting.consultations, 1 + 3 * 5);
}

TEST(InterruptCheck, TheRefitRulesCopyAndCompareColumnsBetweenConsultations) {
  FixedValuesPdf pa(column(1.0, 0), 11), pb(column(1.0, 1), 12);
  const auto rows = index_rows(kEvents);
  CountingCheck counting;
  JointLikelihood nll({}, EventView(rows), {pa, pb}, {}, counting.check());
  const auto shaped = shaped_by_parameters(nll, {}, {}, {0});
  ASSERT_TRUE(shaped);
  EXPECT_TRUE(shaped->empty());
  // Before each load; both columns' first scans; the copy of the candidate;
  // its comparison (the second load finds its values checked).
  EXPECT_EQ(counting.consultations, 1 + 2 * 5 + 5 + 1 + 5);
}

// A fit cut at every place where it consults the check ends with the
// check's error, and never consults it again.
TEST(InterruptCheck, AFitStoppedAtAnyConsultationEndsWithTheChecksError) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> peak(5.0, 0.5);
  std::uniform_real_distribution<double> flat(0.0, 10.0);
  constexpr std::size_t kFitEvents = 3000;
  std::vector<double> signal_values, flat_values(kFitEvents, 0.1);
  for (std::size_t e = 0; e < kFitEvents; ++e) {
    const double x = e % 3 == 0 ? peak(rng) : flat(rng);
    signal_values.push_back(std::exp(-2.0 * (x - 5.0) * (x - 5.0)) / (0.5 * std::sqrt(2 * M_PI)));
  }
  FixedValuesPdf signal(signal_values, 11), background(flat_values, 12);
  const auto rows = index_rows(kFitEvents);
  const PdfList pdfs{signal, background};
  auto fit = [&](const InterruptCheck& check) {
    return splot(EventView(rows), pdfs, {}, SPlotConfig{.tolerance = 1e-8}, check);
  };
  CountingCheck counting;
  const auto whole = fit(InterruptCheck());
  const auto blocked = fit(counting.check(64));
  ASSERT_TRUE(whole && blocked);
  EXPECT_EQ(whole->yields, blocked->yields);
  EXPECT_EQ(whole->sweights.values, blocked->sweights.values);
  const int total = counting.consultations;
  ASSERT_GT(total, 100);
  for (int stop_at = 1; stop_at <= total; ++stop_at) {
    int consulted = 0;
    const InterruptCheck stopping([&]() -> std::expected<void, SPlotError> {
      if (++consulted == stop_at) return std::unexpected(SPlotError::optimization("stop"));
      return {};
    }, 64);
    const auto stopped = fit(stopping);
    ASSERT_FALSE(stopped) << stop_at;
    EXPECT_EQ(stopped.error().display(), "optimization failed: stop") << stop_at;
    EXPECT_EQ(consulted, stop_at);
  }
}

}  // namespace
}  // namespace tarnwex
