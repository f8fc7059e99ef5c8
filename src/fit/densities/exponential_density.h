// The exponential density, proportional to exp(slope * x) over the range.
//
// It is written relative to the end of the range where it is largest (hi
// for a rising slope, lo otherwise), so that no exponential overflows
// however steep the slope and however far the range lies from 0:
//
//   f(x) = a exp(-a d) / (1 - exp(-a w)),  a = |slope|, w = hi - lo,
//
// d being the distance of x from that end; 1 - exp(-a w) is -expm1(-a w),
// which keeps every digit for a gentle slope. At slope 0 this is 1 / w.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class ExponentialDensity {
 public:
  // arguments: slope.
  static std::expected<ExponentialDensity, std::string> prepare(double lo, double hi,
                                                                std::span<const double> arguments);

  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;
  // The derivative alone, from the values evaluate gave at the same point:
  // the same bits, without taking the exponentials again.
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives) const;

 private:
  ExponentialDensity() = default;

  double lo_ = 0.0;
  double hi_ = 1.0;
  double slope_ = 0.0;
  double rate_ = 0.0;      // |slope|
  bool rising_ = false;    // slope > 0: the density is largest at hi
  double scale_ = 1.0;     // the density at its largest end
  // d ln f / d slope = (sign of slope) (mean - d), mean being the mean of d
  // under the density, mean_leading_ + mean_rest_ (exponential_density.cc).
  double mean_leading_ = 0.5;
  double mean_rest_ = 0.0;
};

}  // namespace tarnwex::densities
