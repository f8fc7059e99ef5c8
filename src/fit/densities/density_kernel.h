// What every built-in density offers the fit, one class per shape
// (gaussian_density.h, crystal_ball_density.h, ...): a check of its
// arguments that also computes, once per point, everything that does not
// depend on the event (the normalisation over [lo, hi] above all), then
// values and exact first derivatives for many events at once.
//
// A shape class K provides
//
//   static std::expected<K, std::string> prepare(double lo, double hi,
//                                                std::span<const double> arguments);
//   void evaluate(std::span<const double> x, double* values,
//                 std::span<double* const> derivatives) const;
//
// `prepare` gets the range (finite, lo < hi, already checked) and the
// arguments in the shape's order (density_shape.h); it refuses arguments
// outside the shape's domain with a sentence naming the argument, such as
// "sigma must be positive, got -1". `evaluate` writes values[i] = f(x[i])
// and, when `derivatives` is not empty (it then holds one pointer per
// argument, and a null pointer asks for nothing), derivatives[j][i] =
// df/da_j at x[i]. Both are 0 outside [lo, hi]. f integrates to 1 over
// [lo, hi]; every value is finite and not negative, except where the
// arguments make the shape itself negative (a polynomial's coefficients).
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace tarnwex::densities {

// Value plus first derivatives, for kernels that build densities from parts.
struct ValueWithSlope {
  double value = 0.0;
  double slope = 0.0;
};

}  // namespace tarnwex::densities
