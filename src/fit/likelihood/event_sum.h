// The accumulator behind every event sum of the likelihood: the NLL, the
// exact yield derivatives and the final Hessian's sums.
//
// A plain running sum over 10^6 log terms carries hundreds of units in the
// last place of rounding error, far more than the minimizer's tolerance can
// see through: near the minimum its line searches would bisect noise. Here
// event e goes to lane e % 8, each lane is a compensated sum, and
// the lanes are combined with compensation too, so a total lies within a
// unit or two in the last place of the exactly rounded sum of its terms,
// whatever the number of events.
//
// Eight lanes, fixed: the vector loops keep them in one AVX-512 register or
// two AVX2 registers, the plain loop in an array, and every lane sees the
// same terms in the same order with the same operations, so all three give
// the same bits. Eight independent chains also let the processor add eight
// events at once instead of one after the other.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

namespace tarnwex {

// One compensated step: the rounding error of sum + term, found exactly by
// the branch-free two-sum, is added to the compensation, so that
// sum + compensation stays the running total up to second-order terms.
inline void compensated_add(double& sum, double& compensation, double term) {
  const double total = sum + term;
  const double term_part = total - sum;
  const double sum_part = total - term_part;
  compensation += (sum - sum_part) + (term - term_part);
  sum = total;
}

struct EventSum {
  static constexpr std::size_t kLanes = 8;

  alignas(64) std::array<double, kLanes> sum{};
  alignas(64) std::array<double, kLanes> compensation{};

  void add(std::size_t event, double term) {
    const std::size_t lane = event % kLanes;
    compensated_add(sum[lane], compensation[lane], term);
  }

  // The leading terms in order, then the lanes in order, each compensated;
  // the compensations, tiny against the total, are added last and only
  // refine it.
  double total(std::span<const double> leading = {}) const {
    double s = 0.0;
    double c = 0.0;
    for (double term : leading) compensated_add(s, c, term);
    for (std::size_t lane = 0; lane < kLanes; ++lane) compensated_add(s, c, sum[lane]);
    for (std::size_t lane = 0; lane < kLanes; ++lane) c += compensation[lane];
    return s + c;
  }
};

}  // namespace tarnwex
