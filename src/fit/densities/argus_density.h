// The ARGUS density of endpoint m0 and curvature c (power 1/2):
//
//   f(x) proportional to x sqrt(y) exp(c y),  y = 1 - (x / m0)^2,
//
// for lo <= x < m0 inside the range, 0 from m0 on; lo >= 0 and m0 > lo. In
// y the normalisation is (m0^2 / 2) times the integral of sqrt(y) exp(c y)
// between y_hi = 1 - (min(hi, m0) / m0)^2 and y_lo = 1 - (lo / m0)^2
// (argus_density.cc). Everything is written relative to the end of that
// interval where exp(c y) is largest, y_lo for c >= 0 and y_hi for c < 0,
// so that no exponential overflows or underflows however large |c|.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class ArgusDensity {
 public:
  // arguments: m0, c.
  static std::expected<ArgusDensity, std::string> prepare(double lo, double hi,
                                                          std::span<const double> arguments);

  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;
  // The derivatives alone, from the values evaluate gave at the same point:
  // the same bits, without taking the exponentials again.
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives) const;

 private:
  ArgusDensity() = default;

  double lo_ = 0.0;
  double hi_ = 1.0;
  double m0_ = 1.0;
  double inverse_m0_ = 1.0;
  double c_ = 0.0;
  // The x whose y is the reference y_ref (lo for c >= 0, min(hi, m0)
  // otherwise): y - y_ref = (reference^2 - x^2) / m0^2.
  double reference_ = 0.0;
  double scale_ = 1.0;           // 2 / (m0 Q), Q the integral relative to exp(c y_ref)
  double mean_offset_ = 0.0;     // the mean of y - y_ref under the density
  double mean_xi_over_y_ = 0.0;  // the mean of xi / y, xi = 1 - y = x^2 / m0^2
};

}  // namespace tarnwex::densities
