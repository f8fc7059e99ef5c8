// The flat density: 1 / (hi - lo) over the range, 0 outside it.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

class UniformDensity {
 public:
  static std::expected<UniformDensity, std::string> prepare(double lo, double hi,
                                                            std::span<const double> arguments) {
    if (!arguments.empty()) {
      return std::unexpected("the uniform density takes no arguments, got " +
                             std::to_string(arguments.size()));
    }
    return UniformDensity(lo, hi);
  }

  // There is no argument, so `derivatives` is always empty.
  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> /*derivatives*/) const {
    for (std::size_t i = 0; i < x.size(); ++i) {
      values[i] = x[i] >= lo_ && x[i] <= hi_ ? value_ : 0.0;
    }
  }
  void derivatives_from_values(std::span<const double> /*x*/, const double* /*values*/,
                               std::span<double* const> /*derivatives*/) const {}

 private:
  UniformDensity(double lo, double hi) : lo_(lo), hi_(hi), value_(1.0 / (hi - lo)) {}

  double lo_;
  double hi_;
  double value_;
};

}  // namespace tarnwex::densities
