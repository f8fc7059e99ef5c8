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
    double density;
    if constexpr (K != 0) {
      density = yield[0] * column[0][e];
      for (std::size_t k = 1; k < K; ++k) density += yield[k] * column[k][e];
    } else {
      density = mixture_density(columns, yields, e);
    }
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

#ifdef TARNWEX_X86_LOG_KERNELS

// GCC 12's AVX-512 headers build some constants from deliberately undefined
// registers, which its own -Wmaybe-uninitialized then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Each group of eight events: mixture (product, then sum, in component
// order), the deferred checks, the finiteness check, the floor, eight logs,
// the weights, and then the eight subtractions in event order. The groups are
// independent up to those subtractions, so the processor works ahead on the
// next groups while the chain of the current one runs.
template <bool kUnitWeights, bool kChecks>
__attribute__((target("avx512f,avx512dq"))) LoopOutcome avx512_sum(
    double& nll, std::span<const std::span<const double>> columns,
    std::span<const double> yields, const double* weights, std::size_t n_events,
    DeferredChecks checks) {
  const std::size_t n_components = columns.size();
  std::array<const double*, kMaxVectorComponents> column{};
  std::array<double, kMaxVectorComponents> yield{};
  for (std::size_t k = 0; k < n_components; ++k) {
    column[k] = columns[k].data();
    yield[k] = yields[k];
  }
  const __m512d largest = _mm512_set1_pd(kLargest);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d floor = _mm512_set1_pd(kDensityFloor);
  alignas(64) double term[8];
  __mmask8 failures = 0;
  double sum = nll;
  std::size_t e = 0;
  for (; e + 8 <= n_events; e += 8) {
    __m512d values = _mm512_loadu_pd(column[0] + e);
    __mmask8 all_zero = 0;
    if constexpr (kChecks) all_zero = _mm512_cmp_pd_mask(values, zero, _CMP_EQ_OQ);
    __m512d density = _mm512_mul_pd(_mm512_set1_pd(yield[0]), values);
    for (std::size_t k = 1; k < n_components; ++k) {
      values = _mm512_loadu_pd(column[k] + e);
      if constexpr (kChecks) all_zero &= _mm512_cmp_pd_mask(values, zero, _CMP_EQ_OQ);
      density = _mm512_add_pd(density, _mm512_mul_pd(_mm512_set1_pd(yield[k]), values));
    }
    if constexpr (kChecks) {
      // `values` is the last column's.
      if (checks.last_column) {
        failures |= static_cast<__mmask8>(~(_mm512_cmp_pd_mask(values, zero, _CMP_GE_OQ) &
                                            _mm512_cmp_pd_mask(values, largest, _CMP_LE_OQ)));
      }
      if (checks.all_zero) failures |= all_zero;
    }
    // Not finite: |d| is not <= the largest double (NaN compares false).
    const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_abs_pd(density), largest, _CMP_LE_OQ);
    if (finite != 0xff) {
      // A deferred check is asked only about the events before the bad one;
      // the caller checks the whole column in that case anyway.
      return {e + static_cast<std::size_t>(std::countr_one(static_cast<unsigned>(finite))),
              failures != 0};
    }
    // d > floor ? d : floor, which is what MAXPD gives for numbers.
    density = _mm512_max_pd(density, floor);
    __mmask8 library_lanes;
    __m512d logs = log_kernels::log8(density, &library_lanes);
    if constexpr (!kUnitWeights) {
      if (library_lanes == 0) logs = _mm512_mul_pd(logs, _mm512_loadu_pd(weights + e));
    }
    _mm512_store_pd(term, logs);
    if (library_lanes != 0) {
      alignas(64) double floored[8];
      _mm512_store_pd(floored, density);
      for (unsigned lanes = library_lanes; lanes != 0; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        term[lane] = std::log(floored[lane]);
      }
      if constexpr (!kUnitWeights) {
        for (int lane = 0; lane < 8; ++lane) term[lane] *= weights[e + lane];
      }
    }
    for (int lane = 0; lane < 8; ++lane) sum -= term[lane];
  }
  return finish_plainly<kUnitWeights, kChecks>(nll, sum, failures != 0, e, columns, yields,
                                               weights, n_events, checks);
}

template <bool kUnitWeights, bool kChecks>
__attribute__((target("avx2,fma"))) LoopOutcome avx2_sum(
    double& nll, std::span<const std::span<const double>> columns,
    std::span<const double> yields, const double* weights, std::size_t n_events,
    DeferredChecks checks) {
  const std::size_t n_components = columns.size();
  std::array<const double*, kMaxVectorComponents> column{};
  std::array<double, kMaxVectorComponents> yield{};
  for (std::size_t k = 0; k < n_components; ++k) {
    column[k] = columns[k].data();
    yield[k] = yields[k];
  }
  const __m256d largest = _mm256_set1_pd(kLargest);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d all_ones = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d floor = _mm256_set1_pd(kDensityFloor);
  alignas(32) double term[4];
  __m256d failures = zero;  // lanes with all bits set mark a failure
  double sum = nll;
  std::size_t e = 0;
  for (; e + 4 <= n_events; e += 4) {
    __m256d values = _mm256_loadu_pd(column[0] + e);
    __m256d all_zero = zero;
    if constexpr (kChecks) all_zero = _mm256_cmp_pd(values, zero, _CMP_EQ_OQ);
    __m256d density = _mm256_mul_pd(_mm256_set1_pd(yield[0]), values);
    for (std::size_t k = 1; k < n_components; ++k) {
      values = _mm256_loadu_pd(column[k] + e);
      if constexpr (kChecks) {
        all_zero = _mm256_and_pd(all_zero, _mm256_cmp_pd(values, zero, _CMP_EQ_OQ));
      }
      density = _mm256_add_pd(density, _mm256_mul_pd(_mm256_set1_pd(yield[k]), values));
    }
    if constexpr (kChecks) {
      // `values` is the last column's.
      if (checks.last_column) {
        const __m256d valid = _mm256_and_pd(_mm256_cmp_pd(values, zero, _CMP_GE_OQ),
                                            _mm256_cmp_pd(values, largest, _CMP_LE_OQ));
        failures = _mm256_or_pd(failures, _mm256_andnot_pd(valid, all_ones));
      }
      if (checks.all_zero) failures = _mm256_or_pd(failures, all_zero);
    }
    const auto finite = static_cast<unsigned>(_mm256_movemask_pd(
        _mm256_cmp_pd(_mm256_and_pd(density, magnitude), largest, _CMP_LE_OQ)));
    if (finite != 0xf) {
      return {e + static_cast<std::size_t>(std::countr_one(finite)),
              _mm256_movemask_pd(failures) != 0};
    }
    density = _mm256_max_pd(density, floor);
    unsigned library_lanes;
    __m256d logs = log_kernels::log4(density, &library_lanes);
    if constexpr (!kUnitWeights) {
      if (library_lanes == 0) logs = _mm256_mul_pd(logs, _mm256_loadu_pd(weights + e));
    }
    _mm256_store_pd(term, logs);
    if (library_lanes != 0) {
      alignas(32) double floored[4];
      _mm256_store_pd(floored, density);
      for (unsigned lanes = library_lanes; lanes != 0; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        term[lane] = std::log(floored[lane]);
      }
      if constexpr (!kUnitWeights) {
        for (int lane = 0; lane < 4; ++lane) term[lane] *= weights[e + lane];
      }
    }
    for (int lane = 0; lane < 4; ++lane) sum -= term[lane];
  }
  return finish_plainly<kUnitWeights, kChecks>(nll, sum, _mm256_movemask_pd(failures) != 0, e,
                                               columns, yields, weights, n_events, checks);
}

#pragma GCC diagnostic pop

#endif  // TARNWEX_X86_LOG_KERNELS

template <bool kUnitWeights, bool kChecks>
LoopOutcome sum_for(LogKernel kernel, double& nll,
                    std::span<const std::span<const double>> columns,
                    std::span<const double> yields, const double* weights, std::size_t n_events,
                    DeferredChecks checks) {
#ifdef TARNWEX_X86_LOG_KERNELS
  if (columns.size() <= kMaxVectorComponents) {
    switch (kernel) {
      case LogKernel::kAvx512:
        return avx512_sum<kUnitWeights, kChecks>(nll, columns, yields, weights, n_events, checks);
      case LogKernel::kAvx2:
        return avx2_sum<kUnitWeights, kChecks>(nll, columns, yields, weights, n_events, checks);
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
                                        std::span<const double> yields, const double* weights,
                                        std::size_t n_events, DeferredChecks checks) {
  return weights == nullptr
             ? sum_for<true>(kernel, nll, columns, yields, weights, n_events, checks)
             : sum_for<false>(kernel, nll, columns, yields, weights, n_events, checks);
}

LoopOutcome subtract_log_densities(double& nll, std::span<const std::span<const double>> columns,
                                   std::span<const double> yields, const double* weights,
                                   std::size_t n_events, DeferredChecks checks) {
  return subtract_log_densities_with(selected_log_kernel(), nll, columns, yields, weights,
                                     n_events, checks);
}

}  // namespace tarnwex
