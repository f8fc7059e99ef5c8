#include "fit/log_density_sum.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tarnwex {
namespace {

constexpr LogKernel kKernels[] = {LogKernel::kScalar, LogKernel::kAvx2, LogKernel::kAvx512};

// The loop every kernel must reproduce to the bit: event by event, std::log.
std::size_t plain_sum(double& nll, const std::vector<std::vector<double>>& columns,
                      const std::vector<double>& yields, std::span<const double> weights) {
  double sum = nll;
  for (std::size_t e = 0; e < columns[0].size(); ++e) {
    double density = yields[0] * columns[0][e];
    for (std::size_t k = 1; k < columns.size(); ++k) density += yields[k] * columns[k][e];
    if (!std::isfinite(density)) return e;
    if (!(density > 1e-300)) density = 1e-300;
    sum -= weights.empty() ? std::log(density) : std::log(density) * weights[e];
  }
  nll = sum;
  return columns[0].size();
}

struct Case {
  std::vector<std::vector<double>> columns;
  std::vector<double> yields;
  std::vector<double> weights;
};

// Densities of every kind the loop meets: ordinary, near 1/yield (so the
// mixture lands where the library's log takes its other path), zero,
// negative and tiny mixtures that the floor lifts.
Case make_case(std::size_t n_components, std::size_t n_events, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Case c;
  for (std::size_t k = 0; k < n_components; ++k) c.yields.push_back(1.0 + 3.0 * uniform(rng));
  c.columns.assign(n_components, std::vector<double>(n_events));
  for (std::size_t e = 0; e < n_events; ++e) {
    for (std::size_t k = 0; k < n_components; ++k) {
      const double u = uniform(rng);
      double v = u < 0.1 ? 0.0 : u < 0.2 ? 1e-310 : uniform(rng);
      if (u > 0.9) v = 1.0 / (c.yields[k] * static_cast<double>(n_components));
      c.columns[k][e] = v;
    }
    c.weights.push_back(uniform(rng) < 0.2 ? -0.5 : 2.0 * uniform(rng));
  }
  return c;
}

std::vector<std::span<const double>> spans(const std::vector<std::vector<double>>& columns) {
  return {columns.begin(), columns.end()};
}

TEST(LogDensitySum, EveryKernelGivesThePlainLoopsBitsForAnyCountAndWeights) {
  std::mt19937_64 rng(7);
  for (std::size_t n_components : {1u, 2u, 3u, 5u, 16u, 17u}) {
    for (std::size_t n_events : {0u, 1u, 7u, 8u, 13u, 1000u}) {
      const Case c = make_case(n_components, n_events, rng);
      const auto columns = spans(c.columns);
      for (std::span<const double> weights :
           {std::span<const double>(), std::span<const double>(c.weights)}) {
        double expected = 12.5;
        ASSERT_EQ(plain_sum(expected, c.columns, c.yields, weights), n_events);
        for (LogKernel kernel : kKernels) {
          if (!log_kernel_runs_here(kernel)) continue;
          double nll = 12.5;
          const LoopOutcome outcome =
              subtract_log_densities_with(kernel, nll, columns, c.yields, weights, n_events);
          EXPECT_EQ(outcome.first_bad_mixture, n_events);
          EXPECT_FALSE(outcome.check_failed);
          EXPECT_EQ(std::bit_cast<std::uint64_t>(nll), std::bit_cast<std::uint64_t>(expected))
              << "kernel " << static_cast<int>(kernel) << ", K=" << n_components
              << ", N=" << n_events << (weights.empty() ? "" : ", weighted");
        }
      }
    }
  }
}

TEST(LogDensitySum, ReportsTheFirstNonFiniteMixtureAndLeavesTheSumAlone) {
  std::mt19937_64 rng(11);
  for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                     1e308}) {
    for (std::size_t at : {0u, 5u, 8u, 21u, 22u}) {
      Case c = make_case(2, 23, rng);
      c.yields[1] = 4.0;
      c.columns[1][at] = bad;  // 4 * 1e308 overflows
      c.columns[0][22] = std::numeric_limits<double>::infinity();
      const auto columns = spans(c.columns);
      for (LogKernel kernel : kKernels) {
        if (!log_kernel_runs_here(kernel)) continue;
        double nll = 3.0;
        EXPECT_EQ(
            subtract_log_densities_with(kernel, nll, columns, c.yields, {}, 23).first_bad_mixture,
            at)
            << "kernel " << static_cast<int>(kernel) << ", " << bad << " at " << at;
        EXPECT_EQ(nll, 3.0);
      }
    }
  }
}

TEST(LogDensitySum, DeferredChecksNoticeBadLastColumnValuesAndAllZeroEvents) {
  std::mt19937_64 rng(13);
  const DeferredChecks both{.last_column = true, .all_zero = true};
  for (LogKernel kernel : kKernels) {
    if (!log_kernel_runs_here(kernel)) continue;
    for (std::size_t at : {0u, 9u, 30u}) {
      Case c = make_case(3, 31, rng);
      for (auto& column : c.columns) {
        for (double& v : column) v = v == 0.0 ? 0.25 : v;  // no event is zero everywhere
      }
      auto run = [&](DeferredChecks checks) {
        double nll = 0.0;
        return subtract_log_densities_with(kernel, nll, spans(c.columns), c.yields, {}, 31,
                                           checks);
      };
      EXPECT_FALSE(run(both).check_failed);
      for (double bad : {-1e-300, -0.0 - 1.0, std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
        Case broken = c;
        std::swap(c, broken);
        c.yields[2] = 0.0;  // keeps the mixture finite, so only the check can see it
        c.columns[2][at] = bad;
        EXPECT_TRUE(run({.last_column = true}).check_failed) << bad << " at " << at;
        EXPECT_FALSE(run({.all_zero = true}).check_failed);
        std::swap(c, broken);
      }
      c.columns[0][at] = 0.0;
      c.columns[1][at] = -0.0;
      EXPECT_FALSE(run({.last_column = true}).check_failed);
      c.columns[2][at] = 0.0;
      EXPECT_TRUE(run({.all_zero = true}).check_failed) << "all zero at " << at;
      EXPECT_FALSE(run({}).check_failed);
    }
  }
}

}  // namespace
}  // namespace tarnwex
