// The Bernstein polynomial density of degree d (d + 1 coefficients c_i):
//
//   f(x) = (d + 1) / (w S) sum_i c_i b_{i,d}(t),  b_{i,d}(t) = binom(d, i) t^i (1 - t)^(d - i),
//
// t = (x - lo) / w, w = hi - lo, S = sum_i c_i: each basis polynomial
// integrates to 1 / (d + 1) over [0, 1]. A coefficient sum that is not
// positive is refused; coefficients that make the polynomial negative
// somewhere are taken as they are, and the values there are negative.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class BernsteinDensity {
 public:
  // arguments: c0 .. cd.
  static std::expected<BernsteinDensity, std::string> prepare(double lo, double hi,
                                                              std::span<const double> arguments);

  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;
  // The derivatives alone, from the values evaluate gave at the same point:
  // the same bits, without summing the polynomial again.
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives) const;

 private:
  BernsteinDensity() = default;

  double lo_ = 0.0;
  double hi_ = 1.0;
  double inverse_width_ = 1.0;
  double scale_ = 1.0;         // (d + 1) / (w S)
  double inverse_sum_ = 1.0;   // 1 / S
  std::vector<double> coefficients_;
  // Up to degree 1000 (bernstein_density.cc): binom(d, i) and c_i binom(d, i).
  bool direct_ = true;
  std::vector<double> binomials_;
  std::vector<double> weights_;
  // Above it: the ratios b_{i+1} / b_i = up_[i] t / (1 - t) and
  // b_{i-1} / b_i = down_[i] (1 - t) / t of neighbouring basis polynomials.
  std::vector<double> up_;
  std::vector<double> down_;
};

}  // namespace tarnwex::densities
