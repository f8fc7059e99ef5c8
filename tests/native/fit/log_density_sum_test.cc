#include "fit/likelihood/log_density_sum.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "exact_sum.h"

namespace tarnwex {
namespace {

using testing::exact_sum;
using testing::ulps;

constexpr LogKernel kKernels[] = {LogKernel::kScalar, LogKernel::kAvx2, LogKernel::kAvx512};

// The terms the loop sums: the leading value, then per event -w ln(max(d, floor)).
std::vector<double> log_terms(const std::vector<std::vector<double>>& columns,
                              const std::vector<double>& yields, std::span<const double> weights,
                              double leading) {
  std::vector<double> terms{leading};
  for (std::size_t e = 0; e < columns[0].size(); ++e) {
    double density = yields[0] * columns[0][e];
    for (std::size_t k = 1; k < columns.size(); ++k) density += yields[k] * columns[k][e];
    if (!(density > 1e-300)) density = 1e-300;
    terms.push_back(weights.empty() ? -std::log(density) : std::log(density) * -weights[e]);
  }
  return terms;
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

struct Sums {
  double nll;
  std::vector<double> yield_sums;
};

Sums run_kernel(LogKernel kernel, const Case& c, std::span<const double> weights,
                double leading = 12.5) {
  EventSum nll;
  std::vector<EventSum> yield_terms(c.columns.size());
  const std::size_t n_events = c.columns[0].size();
  const LoopOutcome outcome = add_log_density_terms_with(kernel, &nll, yield_terms, spans(c.columns),
                                                         c.yields, weights, n_events);
  EXPECT_EQ(outcome.first_bad_mixture, n_events);
  EXPECT_FALSE(outcome.check_failed);
  Sums out{nll.total(std::span<const double>(&leading, 1)), {}};
  for (const EventSum& sum : yield_terms) out.yield_sums.push_back(sum.total());
  return out;
}

TEST(LogDensitySum, EveryKernelGivesTheSameBitsForAnyCountAndWeights) {
  std::mt19937_64 rng(7);
  for (std::size_t n_components : {1u, 2u, 3u, 5u, 16u, 17u}) {
    for (std::size_t n_events : {0u, 1u, 7u, 8u, 13u, 1000u}) {
      const Case c = make_case(n_components, n_events, rng);
      for (std::span<const double> weights :
           {std::span<const double>(), std::span<const double>(c.weights)}) {
        const Sums plain = run_kernel(LogKernel::kScalar, c, weights);
        for (LogKernel kernel : kKernels) {
          if (!log_kernel_runs_here(kernel)) continue;
          const Sums sums = run_kernel(kernel, c, weights);
          EXPECT_EQ(std::bit_cast<std::uint64_t>(sums.nll), std::bit_cast<std::uint64_t>(plain.nll))
              << "kernel " << static_cast<int>(kernel) << ", K=" << n_components
              << ", N=" << n_events << (weights.empty() ? "" : ", weighted");
          // The yield sums alone (the NLL already known) are the same sums.
          std::vector<EventSum> alone(n_components);
          add_log_density_terms_with(kernel, nullptr, alone, spans(c.columns), c.yields, weights,
                                     n_events);
          for (std::size_t k = 0; k < n_components; ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(sums.yield_sums[k]),
                      std::bit_cast<std::uint64_t>(plain.yield_sums[k]));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(alone[k].total()),
                      std::bit_cast<std::uint64_t>(plain.yield_sums[k]));
          }
        }
      }
    }
  }
}

// The change terms against the reference logs, every sum and score as bits.
std::vector<std::uint64_t> change_bits(LogKernel kernel, const Case& c,
                                       std::span<const double> weights,
                                       const std::vector<double>& reference, bool first) {
  const std::size_t n_events = c.columns[0].size();
  EventSum change, squared;
  std::vector<EventSum> yield_terms(c.columns.size());
  std::vector<double> scores(n_events, 0.25);
  const LogChangeTerms terms{&change, &squared, reference.data(), scores.data(), -0.75, first};
  const LoopOutcome outcome = add_log_change_terms_with(kernel, terms, yield_terms,
                                                        spans(c.columns), c.yields, weights,
                                                        n_events);
  EXPECT_EQ(outcome.first_bad_mixture, n_events);
  std::vector<std::uint64_t> out{std::bit_cast<std::uint64_t>(change.total()),
                                 std::bit_cast<std::uint64_t>(squared.total())};
  for (const EventSum& sum : yield_terms) out.push_back(std::bit_cast<std::uint64_t>(sum.total()));
  for (double score : scores) out.push_back(std::bit_cast<std::uint64_t>(score));
  return out;
}

TEST(LogDensitySum, ChangesFromReferenceLogsHaveTheSameBitsInEveryKernelAndTheirOwnValues) {
  std::mt19937_64 rng(11);
  for (std::size_t n_components : {1u, 2u, 5u}) {
    for (std::size_t n_events : {7u, 8u, 1003u}) {
      const Case c = make_case(n_components, n_events, rng);
      std::vector<double> reference(n_events);
      for (std::size_t e = 0; e < n_events; ++e) reference[e] = 0.01 * double(e % 97) - 0.3;
      for (std::span<const double> weights :
           {std::span<const double>(), std::span<const double>(c.weights)}) {
        for (bool first : {true, false}) {
          const auto plain = change_bits(LogKernel::kScalar, c, weights, reference, first);
          for (LogKernel kernel : kKernels) {
            if (!log_kernel_runs_here(kernel)) continue;
            EXPECT_EQ(change_bits(kernel, c, weights, reference, first), plain)
                << "kernel " << static_cast<int>(kernel) << ", K=" << n_components
                << ", N=" << n_events;
          }
          // The change is the NLL's own log term less the reference's.
          std::vector<double> terms, changes;
          const std::vector<double> logs = log_terms(c.columns, c.yields, {}, 0.0);
          for (std::size_t e = 0; e < n_events; ++e) {
            changes.push_back(-logs[e + 1] - reference[e]);
            terms.push_back(weights.empty() ? -changes[e] : changes[e] * -weights[e]);
          }
          EXPECT_LE(ulps(std::bit_cast<double>(plain[0]), exact_sum(terms)), 4);
          const double score = std::bit_cast<double>(plain[2 + n_components + 3]);
          EXPECT_EQ(score, first ? -0.75 * changes[3] : std::fma(-0.75, changes[3], 0.25));
        }
      }
    }
  }
}

// The yield and curvature sums and the floored densities, as bits.
std::vector<std::uint64_t> curvature_bits(LogKernel kernel, const Case& c,
                                          std::span<const double> weights) {
  const std::size_t n = c.columns.size(), n_events = c.columns[0].size();
  std::vector<EventSum> yield_terms(n), curvature(n * (n + 1) / 2);
  std::vector<double> floored(n_events);
  add_yield_curvature_terms_with(kernel, yield_terms, curvature, spans(c.columns), c.yields,
                                 weights, n_events, floored.data());
  std::vector<std::uint64_t> out;
  for (const auto* sums : {&yield_terms, &curvature}) {
    for (const EventSum& sum : *sums) out.push_back(std::bit_cast<std::uint64_t>(sum.total()));
  }
  for (double d : floored) out.push_back(std::bit_cast<std::uint64_t>(d));
  return out;
}

TEST(LogDensitySum, YieldCurvatureSumsHaveTheSameBitsInEveryKernelAndTheirOwnValues) {
  std::mt19937_64 rng(13);
  for (std::size_t n_components : {1u, 2u, 5u, 17u}) {
    const Case c = make_case(n_components, 1003, rng);
    for (std::span<const double> weights :
         {std::span<const double>(), std::span<const double>(c.weights)}) {
      const auto plain = curvature_bits(LogKernel::kScalar, c, weights);
      for (LogKernel kernel : kKernels) {
        if (!log_kernel_runs_here(kernel)) continue;
        EXPECT_EQ(curvature_bits(kernel, c, weights), plain)
            << "kernel " << static_cast<int>(kernel) << ", K=" << n_components;
      }
      // The last curvature sum against its terms, w f_a (1/d) f_b (1/d), a = b = K - 1.
      std::vector<double> terms;
      for (std::size_t e = 0; e < 1003; ++e) {
        double d = c.yields[0] * c.columns[0][e];
        for (std::size_t k = 1; k < n_components; ++k) d += c.yields[k] * c.columns[k][e];
        const double inverse = d > 1e-300 ? 1.0 / d : 0.0;
        const double ratio = c.columns.back()[e] * inverse;
        terms.push_back((weights.empty() ? ratio : weights[e] * ratio) * ratio);
      }
      const std::size_t last = n_components + n_components * (n_components + 1) / 2 - 1;
      EXPECT_LE(ulps(std::bit_cast<double>(plain[last]), exact_sum(terms)), 4);
    }
  }
}

TEST(LogDensitySum, SumsAreWithinFourUlpOfTheExactlyRoundedSumOfTheirTerms) {
  constexpr std::int64_t kUlpTolerance = 4;
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  // 10^6 events of an ordinary mixture, and signed weights that cancel
  // almost all of the sum: the exact total is a hundred-thousandth of the
  // sum of the terms' magnitudes.
  Case c = make_case(3, 1000000, rng);
  for (std::size_t e = 0; e < c.weights.size(); ++e) {
    c.weights[e] = (e % 2 == 0 ? 1.0 : -1.0) * (1.0 + 1e-5 * uniform(rng));
  }
  for (std::span<const double> weights :
       {std::span<const double>(), std::span<const double>(c.weights)}) {
    for (LogKernel kernel : kKernels) {
      if (!log_kernel_runs_here(kernel)) continue;
      const double leading = weights.empty() ? 3e5 : 0.5;
      const Sums sums = run_kernel(kernel, c, weights, leading);
      EXPECT_LE(ulps(sums.nll, exact_sum(log_terms(c.columns, c.yields, weights, leading))),
                kUlpTolerance)
          << "kernel " << static_cast<int>(kernel) << (weights.empty() ? "" : ", weighted");
      for (std::size_t k = 0; k < c.columns.size(); ++k) {
        std::vector<double> terms;
        for (std::size_t e = 0; e < c.columns[k].size(); ++e) {
          double d = 0.0;
          for (std::size_t j = 0; j < c.columns.size(); ++j) d += c.yields[j] * c.columns[j][e];
          const double ratio = d > 1e-300 ? c.columns[k][e] * (1.0 / d) : 0.0;
          terms.push_back(weights.empty() ? ratio : weights[e] * ratio);
        }
        EXPECT_LE(ulps(sums.yield_sums[k], exact_sum(terms)), kUlpTolerance) << "yield " << k;
      }
    }
  }
}

TEST(LogDensitySum, ReportsTheFirstNonFiniteMixture) {
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
        EventSum nll;
        EXPECT_EQ(add_log_density_terms_with(kernel, &nll, {}, columns, c.yields, {}, 23)
                      .first_bad_mixture,
                  at)
            << "kernel " << static_cast<int>(kernel) << ", " << bad << " at " << at;
      }
    }
  }
}

TEST(LogDensitySum, DeferredChecksNoticeBadLastColumnValuesAndAllZeroEvents) {
  std::mt19937_64 rng(13);
  const DeferredChecks both{.column_values = true, .column = 2, .all_zero = true};
  for (LogKernel kernel : kKernels) {
    if (!log_kernel_runs_here(kernel)) continue;
    for (std::size_t at : {0u, 9u, 30u}) {
      Case c = make_case(3, 31, rng);
      for (auto& column : c.columns) {
        for (double& v : column) v = v == 0.0 ? 0.25 : v;  // no event is zero everywhere
      }
      auto run = [&](DeferredChecks checks) {
        EventSum nll;
        return add_log_density_terms_with(kernel, &nll, {}, spans(c.columns), c.yields, {}, 31,
                                          checks);
      };
      EXPECT_FALSE(run(both).check_failed);
      for (double bad : {-1e-300, -0.0 - 1.0, std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
        const Case broken = c;
        // A zero yield keeps the mixture finite, so only the check can see it.
        for (std::size_t column : {1u, 2u}) {
          c.yields[column] = 0.0;
          c.columns[column][at] = bad;
          EXPECT_TRUE(run({.column_values = true, .column = column}).check_failed)
              << bad << " at " << at << " in " << column;
          EXPECT_FALSE(run({.column_values = true, .column = 3 - column}).check_failed);
          EXPECT_FALSE(run({.all_zero = true}).check_failed);
          c = broken;
        }
      }
      c.columns[0][at] = 0.0;
      c.columns[1][at] = -0.0;
      EXPECT_FALSE(run({.column_values = true, .column = 1}).check_failed);
      c.columns[2][at] = 0.0;
      EXPECT_TRUE(run({.all_zero = true}).check_failed) << "all zero at " << at;
      EXPECT_FALSE(run({}).check_failed);
    }
  }
}

}  // namespace
}  // namespace tarnwex
