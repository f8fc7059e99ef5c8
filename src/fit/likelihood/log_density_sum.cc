#include "fit/likelihood/log_density_sum.h"

#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "fit/batch_log/library_log.h"
#include "fit/batch_log/log_kernels.h"
#include "fit/inputs/pdf_value_checks.h"
#include "fit/model/component_count.h"
#include "fit/model/mixture_density.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

// What every loop variant is told at compile time: whether the weights are
// all 1, whether deferred checks run, whether the log terms and the yield
// terms are summed, whether the log terms are changes from reference logs
// (LogChangeTerms), and whether the yield curvature is summed with the yield
// terms.
template <bool kUnit, bool kCheck, bool kLog, bool kYield, bool kChange = false,
          bool kCurv = false>
struct LoopKind {
  static constexpr bool kUnitWeights = kUnit;
  static constexpr bool kChecks = kCheck;
  static constexpr bool kLogTerms = kLog;
  static constexpr bool kYieldTerms = kYield;
  static constexpr bool kLogChanges = kChange;
  static constexpr bool kCurvature = kCurv;
};

// The loop's arguments, as the kernels and the plain loop share them.
struct LoopData {
  EventSum* nll_terms;    // null when the log terms are not summed
  EventSum* yield_terms;  // one per component when yield terms are summed
  std::span<const std::span<const double>> columns;
  std::span<const double> yields;
  const double* weights;  // null for unit weights
  std::size_t first;      // the loop runs over events [first, n_events)
  std::size_t n_events;
  DeferredChecks checks;
  const LogChangeTerms* changes;  // with kLogChanges only; nll_terms is changes->change
  EventSum* curvature_terms;      // with kCurvature only: K (K + 1) / 2 sums
  double* floored_out;            // with kCurvature only, when not null: max(d_e, floor)
};

// The plain loop, with library_log, from event `first` on. K > 0 fixes the
// component count at compile time (K = 0 serves any count). Each event's
// terms go to lane e % 8 of the sums, exactly as the vector loops put them.
template <std::size_t K, class Kind>
LoopOutcome plain_terms(const LoopData& data, std::size_t first, bool failed) {
  const std::span<const std::span<const double>> columns = data.columns;
  const std::size_t n = K == 0 ? columns.size() : K;
  constexpr std::size_t kSlots = K == 0 ? 1 : K;
  std::array<const double*, kSlots> column{};
  std::array<double, kSlots> yield{};
  if constexpr (K != 0) {
    for (std::size_t k = 0; k < K; ++k) {
      column[k] = columns[k].data();
      yield[k] = data.yields[k];
    }
  }
  for (std::size_t e = first; e < data.n_events; ++e) {
    const double density = K != 0 ? mixture_density<K>(column.data(), yield.data(), K, e)
                                  : mixture_density(columns, data.yields, e);
    if constexpr (Kind::kChecks) {
      if (data.checks.column_values && !valid_value(columns[data.checks.column][e])) failed = true;
      if (data.checks.all_zero) {
        bool all_zero = true;
        for (const auto& values : columns) all_zero = all_zero && values[e] == 0.0;
        if (all_zero) failed = true;
      }
    }
    if (!std::isfinite(density)) return {e, failed};
    const bool above = density > kDensityFloor;
    const double floored = above ? density : kDensityFloor;
    if constexpr (Kind::kLogChanges) {
      const LogChangeTerms& changes = *data.changes;
      const double change = library_log(floored) - changes.reference_logs[e];
      const double squared = change * change;
      if constexpr (Kind::kUnitWeights) {
        changes.change->add(e, -change);
        changes.squared_change->add(e, squared);
      } else {
        changes.change->add(e, change * -data.weights[e]);
        changes.squared_change->add(e, squared * std::abs(data.weights[e]));
      }
      if (changes.scores != nullptr) {
        double& score = changes.scores[e];
        score = changes.score_first ? changes.score_weight * change
                                    : std::fma(changes.score_weight, change, score);
      }
    } else if constexpr (Kind::kLogTerms) {
      const double log_term = Kind::kUnitWeights ? -library_log(floored)
                                                 : library_log(floored) * -data.weights[e];
      data.nll_terms->add(e, log_term);
    }
    if constexpr (Kind::kYieldTerms) {
      if constexpr (Kind::kCurvature) {
        if (data.floored_out != nullptr) data.floored_out[e] = floored;
      }
      const double inverse = above ? 1.0 / floored : 0.0;
      for (std::size_t a = 0, entry = 0; a < n; ++a) {
        double weighted = (K != 0 ? column[a][e] : columns[a][e]) * inverse;
        if constexpr (!Kind::kUnitWeights) weighted = data.weights[e] * weighted;
        data.yield_terms[a].add(e, weighted);
        if constexpr (Kind::kCurvature) {
          for (std::size_t b = 0; b <= a; ++b, ++entry) {
            const double ratio = (K != 0 ? column[b][e] : columns[b][e]) * inverse;
            data.curvature_terms[entry].add(e, weighted * ratio);
          }
        }
      }
    }
  }
  return {data.n_events, failed};
}

// The vector loops handle at most this many components; more go the plain way.
constexpr std::size_t kMaxVectorComponents = 16;

}  // namespace
}  // namespace tarnwex

#ifdef TARNWEX_X86_LANES

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {
namespace {
#include "fit/likelihood/log_density_sum_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {
namespace {
#include "fit/likelihood/log_density_sum_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx2
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif  // TARNWEX_X86_LANES

namespace tarnwex {
namespace {

template <class Kind>
LoopOutcome terms_for(LogKernel kernel, const LoopData& data) {
#ifdef TARNWEX_X86_LANES
  if (data.columns.size() <= kMaxVectorComponents) {
    switch (kernel) {
      case LogKernel::kAvx512:
        return avx512::lane_terms<Kind>(data);
      case LogKernel::kAvx2:
        return avx2::lane_terms<Kind>(data);
      case LogKernel::kScalar:
        break;
    }
  }
#else
  (void)kernel;
#endif
  return for_component_count(data.columns.size(), [&]<std::size_t K>() {
    return plain_terms<K, Kind>(data, data.first, false);
  });
}

template <bool kUnit, bool kLog, bool kYield>
LoopOutcome terms_for(LogKernel kernel, const LoopData& data) {
  return data.checks.column_values || data.checks.all_zero
             ? terms_for<LoopKind<kUnit, true, kLog, kYield>>(kernel, data)
             : terms_for<LoopKind<kUnit, false, kLog, kYield>>(kernel, data);
}

template <bool kUnit>
LoopOutcome terms_for(LogKernel kernel, const LoopData& data) {
  if (data.yield_terms == nullptr) return terms_for<kUnit, true, false>(kernel, data);
  return data.nll_terms != nullptr ? terms_for<kUnit, true, true>(kernel, data)
                                   : terms_for<kUnit, false, true>(kernel, data);
}

}  // namespace

LoopOutcome add_log_density_terms_with(LogKernel kernel, EventSum* nll_terms,
                                       std::span<EventSum> yield_terms,
                                       std::span<const std::span<const double>> columns,
                                       std::span<const double> yields,
                                       std::span<const double> weights, std::size_t n_events,
                                       DeferredChecks checks, std::size_t first) {
  if (first % EventSum::kLanes != 0) internal_error("event ranges must start on a lane boundary");
  if (!yield_terms.empty() && yield_terms.size() != columns.size()) {
    internal_error("yield sums do not match the components");
  }
  if (nll_terms == nullptr && yield_terms.empty()) internal_error("a loop must sum something");
  if (checks.column_values && checks.column >= columns.size()) {
    internal_error("a deferred check names no column");
  }
  const LoopData data{nll_terms, yield_terms.empty() ? nullptr : yield_terms.data(),
                      columns, yields, weights.empty() ? nullptr : weights.data(),
                      first, n_events, checks, nullptr, nullptr, nullptr};
  return weights.empty() ? terms_for<true>(kernel, data) : terms_for<false>(kernel, data);
}

LoopOutcome add_log_change_terms_with(LogKernel kernel, const LogChangeTerms& terms,
                                      std::span<EventSum> yield_terms,
                                      std::span<const std::span<const double>> columns,
                                      std::span<const double> yields,
                                      std::span<const double> weights, std::size_t n_events,
                                      std::size_t first) {
  if (first % EventSum::kLanes != 0) internal_error("event ranges must start on a lane boundary");
  if (yield_terms.size() != columns.size()) internal_error("yield sums do not match the components");
  const LoopData data{terms.change, yield_terms.data(), columns, yields,
                      weights.empty() ? nullptr : weights.data(), first, n_events, {}, &terms,
                      nullptr, nullptr};
  return weights.empty() ? terms_for<LoopKind<true, false, true, true, true>>(kernel, data)
                         : terms_for<LoopKind<false, false, true, true, true>>(kernel, data);
}

LoopOutcome add_log_change_terms(const LogChangeTerms& terms, std::span<EventSum> yield_terms,
                                 std::span<const std::span<const double>> columns,
                                 std::span<const double> yields, std::span<const double> weights,
                                 std::size_t n_events, std::size_t first) {
  return add_log_change_terms_with(selected_log_kernel(), terms, yield_terms, columns, yields,
                                   weights, n_events, first);
}

LoopOutcome add_log_density_terms(EventSum* nll_terms, std::span<EventSum> yield_terms,
                                  std::span<const std::span<const double>> columns,
                                  std::span<const double> yields, std::span<const double> weights,
                                  std::size_t n_events, DeferredChecks checks,
                                  std::size_t first) {
  return add_log_density_terms_with(selected_log_kernel(), nll_terms, yield_terms, columns,
                                    yields, weights, n_events, checks, first);
}

LoopOutcome add_yield_curvature_terms_with(LogKernel kernel, std::span<EventSum> yield_terms,
                                          std::span<EventSum> curvature_terms,
                                          std::span<const std::span<const double>> columns,
                                          std::span<const double> yields,
                                          std::span<const double> weights, std::size_t n_events,
                                          double* floored_out, std::size_t first) {
  if (first % EventSum::kLanes != 0) internal_error("event ranges must start on a lane boundary");
  const std::size_t n = columns.size();
  if (yield_terms.size() != n || curvature_terms.size() != n * (n + 1) / 2) {
    internal_error("yield or curvature sums do not match the components");
  }
  const LoopData data{nullptr, yield_terms.data(), columns, yields,
                      weights.empty() ? nullptr : weights.data(), first, n_events, {}, nullptr,
                      curvature_terms.data(), floored_out};
  return weights.empty()
             ? terms_for<LoopKind<true, false, false, true, false, true>>(kernel, data)
             : terms_for<LoopKind<false, false, false, true, false, true>>(kernel, data);
}

LoopOutcome add_yield_curvature_terms(std::span<EventSum> yield_terms,
                                      std::span<EventSum> curvature_terms,
                                      std::span<const std::span<const double>> columns,
                                      std::span<const double> yields,
                                      std::span<const double> weights, std::size_t n_events,
                                      double* floored_out, std::size_t first) {
  return add_yield_curvature_terms_with(selected_log_kernel(), yield_terms, curvature_terms,
                                        columns, yields, weights, n_events, floored_out, first);
}

}  // namespace tarnwex
