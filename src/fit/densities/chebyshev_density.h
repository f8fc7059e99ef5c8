// The Chebyshev series density of degree d (coefficients a_1 .. a_d):
//
//   f(x) = P(u) / N,  P(u) = 1 + sum_i a_i T_i(u),  u = 2 (x - lo) / w - 1,
//
// w = hi - lo, N = (w / 2) I, I = 2 + sum_{even i} 2 a_i / (1 - i^2) the
// integral of P over [-1, 1] (that of T_i vanishes for odd i). Coefficients
// that make I not positive are refused; coefficients that make P negative
// somewhere are taken as they are, and the values there are negative.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class ChebyshevDensity {
 public:
  // arguments: a1 .. ad.
  static std::expected<ChebyshevDensity, std::string> prepare(double lo, double hi,
                                                              std::span<const double> arguments);

  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;
  // The derivatives alone, from the values evaluate gave at the same point:
  // the same bits, without summing the series again.
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives) const;

 private:
  ChebyshevDensity() = default;

  double lo_ = 0.0;
  double hi_ = 1.0;
  double inverse_width_ = 1.0;
  double inverse_norm_ = 1.0;  // 1 / N
  // a_0 = 1, a_1 .. a_d.
  std::vector<double> coefficients_;
  // I_i / I, the share of T_i in the integral, for i = 1 .. d (index i - 1).
  std::vector<double> integral_shares_;
};

}  // namespace tarnwex::densities
