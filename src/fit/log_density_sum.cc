#include "fit/log_density_sum.h"

#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "fit/log_kernels.h"
#include "fit/mixture_density.h"

namespace tarnwex {

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();

// What a PDF may return: finite and not negative (NaN fails; -0.0 passes).
bool valid_value(double v) { return v >= 0.0 && v <= kLargest; }

// The plain loop, with std::log. K > 0 fixes the component count at compile
// time: the mixture unrolls and the column pointers and yields live in locals
// the log call cannot touch. K = 0 serves any count. kChecks adds the
// deferred checks.
template <std::size_t K, bool kUnitWeights, bool kChecks>
LoopOutcome scalar_sum(double& nll, std::span<const std::span<const double>> columns,
                       std::span<const double> yields, const double* weights,
                       std::size_t n_events, DeferredChecks checks) {
  constexpr std::size_t kSlots = K == 0 ? 1 : K;
  std::array<const double*, kSlots> column{};
  std::array<double, kSlots> yield{};
  if constexpr (K != 0) {
    for (std::size_t k = 0; k < K; ++k) {
      column[k] = columns[k].data();
      yield[k] = yields[k];
    }
  }
  bool failed = false;
  double sum = nll;
  for (std::size_t e = 0; e < n_events; ++e) {
    double density = K != 0 ? mixture_density<K>(column.data(), yield.data(), K, e)
                            : mixture_density(columns, yields, e);
    if constexpr (kChecks) {
      if (checks.last_column && !valid_value(columns.back()[e])) failed = true;
      if (checks.all_zero) {
        bool all_zero = true;
        for (const auto& values : columns) all_zero = all_zero && values[e] == 0.0;
        if (all_zero) failed = true;
      }
    }
    if (!std::isfinite(density)) return {e, failed};
    if (!(density > kDensityFloor)) density = kDensityFloor;
    if constexpr (kUnitWeights) {
      sum -= std::log(density);
    } else {
      sum -= std::log(density) * weights[e];
    }
  }
  nll = sum;
  return {n_events, failed};
}

template <bool kUnitWeights, bool kChecks>
LoopOutcome scalar_sum_for(double& nll, std::span<const std::span<const double>> columns,
                           std::span<const double> yields, const double* weights,
                           std::size_t n_events, DeferredChecks checks) {
  switch (columns.size()) {
#define TARNWEX_FIXED_COUNT(k) \
  case k:                      \
    return scalar_sum<k, kUnitWeights, kChecks>(nll, columns, yields, weights, n_events, checks);
    TARNWEX_FIXED_COUNT(1)
    TARNWEX_FIXED_COUNT(2)
    TARNWEX_FIXED_COUNT(3)
    TARNWEX_FIXED_COUNT(4)
    TARNWEX_FIXED_COUNT(5)
    TARNWEX_FIXED_COUNT(6)
#undef TARNWEX_FIXED_COUNT
    default:
      return scalar_sum<0, kUnitWeights, kChecks>(nll, columns, yields, weights, n_events,
                                                   checks);
  }
}

// The vector loops handle at most this many components; more go the plain way.
constexpr std::size_t kMaxVectorComponents = 16;

// The events a vector loop leaves over (fewer than a group), the plain way,
// continuing its sum and its outcome.
template <bool kUnitWeights, bool kChecks>
LoopOutcome finish_plainly(double& nll, double sum, bool failed, std::size_t e,
                           std::span<const std::span<const double>> columns,
                           std::span<const double> yields, const double* weights,
                           std::size_t n_events, DeferredChecks checks) {
  std::array<std::span<const double>, kMaxVectorComponents> rest{};
  for (std::size_t k = 0; k < columns.size(); ++k) rest[k] = columns[k].subspan(e);
  const LoopOutcome tail = scalar_sum<0, kUnitWeights, kChecks>(
      sum, std::span(rest.data(), columns.size()), yields, kUnitWeights ? nullptr : weights + e,
      n_events - e, checks);
  failed = failed || tail.check_failed;
  if (tail.first_bad_mixture != n_events - e) return {e + tail.first_bad_mixture, failed};
  nll = sum;
  return {n_events, failed};
}

}  // namespace
}  // namespace tarnwex

#ifdef TARNWEX_X86_LANES

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {
namespace {
#include "fit/log_density_sum_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {
namespace {
#include "fit/log_density_sum_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx2
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif  // TARNWEX_X86_LANES

namespace tarnwex {
namespace {

template <bool kUnitWeights, bool kChecks>
LoopOutcome sum_for(LogKernel kernel, double& nll,
                    std::span<const std::span<const double>> columns,
                    std::span<const double> yields, const double* weights, std::size_t n_events,
                    DeferredChecks checks) {
#ifdef TARNWEX_X86_LANES
  if (columns.size() <= kMaxVectorComponents) {
    switch (kernel) {
      case LogKernel::kAvx512:
        return avx512::sum_lanes<kUnitWeights, kChecks>(nll, columns, yields, weights, n_events,
                                                        checks);
      case LogKernel::kAvx2:
        return avx2::sum_lanes<kUnitWeights, kChecks>(nll, columns, yields, weights, n_events,
                                                      checks);
      case LogKernel::kScalar:
        break;
    }
  }
#else
  (void)kernel;
#endif
  return scalar_sum_for<kUnitWeights, kChecks>(nll, columns, yields, weights, n_events, checks);
}

template <bool kUnitWeights>
LoopOutcome sum_for(LogKernel kernel, double& nll,
                    std::span<const std::span<const double>> columns,
                    std::span<const double> yields, const double* weights, std::size_t n_events,
                    DeferredChecks checks) {
  return checks.last_column || checks.all_zero
             ? sum_for<kUnitWeights, true>(kernel, nll, columns, yields, weights, n_events, checks)
             : sum_for<kUnitWeights, false>(kernel, nll, columns, yields, weights, n_events,
                                            checks);
}

}  // namespace

LoopOutcome subtract_log_densities_with(LogKernel kernel, double& nll,
                                        std::span<const std::span<const double>> columns,
                                        std::span<const double> yields,
                                        std::span<const double> weights, std::size_t n_events,
                                        DeferredChecks checks) {
  return weights.empty()
             ? sum_for<true>(kernel, nll, columns, yields, nullptr, n_events, checks)
             : sum_for<false>(kernel, nll, columns, yields, weights.data(), n_events, checks);
}

LoopOutcome subtract_log_densities(double& nll, std::span<const std::span<const double>> columns,
                                   std::span<const double> yields, std::span<const double> weights,
                                   std::size_t n_events, DeferredChecks checks) {
  return subtract_log_densities_with(selected_log_kernel(), nll, columns, yields, weights,
                                     n_events, checks);
}

}  // namespace tarnwex
