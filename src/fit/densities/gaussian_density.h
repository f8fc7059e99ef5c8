// The Gaussian exp(-t^2/2), t = (x - mu)/sigma, normalised over [lo, hi].
#pragma once

#include <expected>
#include <span>
#include <string>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class GaussianDensity {
 public:
  GaussianDensity() = default;

  // Arguments: mu (finite), sigma (finite, positive).
  static std::expected<GaussianDensity, std::string> prepare(double lo, double hi,
                                                             std::span<const double> arguments);

  // Derivatives, when asked for: d/dmu, d/dsigma.
  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;
  // The derivatives alone, from the values evaluate gave at the same
  // point: the same bits, without taking the exponentials again.
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives) const;

 private:
  double lo_ = 0.0;
  double hi_ = 0.0;
  // The range's point nearest the peak, where the density is largest: every
  // event is measured from it, d = (x - reference_x_)/sigma, and the density
  // is scale_ exp(-d (d + twice_reference_)/2), which cannot underflow
  // through a common factor however far out the range lies.
  double reference_x_ = 0.0;
  double inverse_sigma_ = 0.0;
  double twice_reference_ = 0.0;  // 2 (reference_x_ - mu)/sigma
  double scale_ = 0.0;            // 1/(sigma times the mass relative to the reference)
  // The scores d ln f/dmu = (d - mean_d_)/sigma and
  // d ln f/dsigma = (d (d + twice_reference_) - mean_square_)/sigma: the
  // means of t and of t^2 over the range, less r and r^2, r the reference in
  // standard deviations.
  double mean_d_ = 0.0;
  double mean_square_ = 0.0;
};

}  // namespace tarnwex::densities
