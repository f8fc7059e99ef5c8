// One built-in density at one point of its arguments: the shape's own
// kernel, chosen once, with everything that does not depend on the event
// computed.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <variant>

#include "fit/densities/argus_density.h"
#include "fit/densities/bernstein_density.h"
#include "fit/densities/chebyshev_density.h"
#include "fit/densities/crystal_ball_density.h"
#include "fit/densities/density_shape.h"
#include "fit/densities/exponential_density.h"
#include "fit/densities/gaussian_density.h"
#include "fit/densities/uniform_density.h"

namespace tarnwex::densities {

class PreparedDensity {
 public:
  // The density of `shape` on [lo, hi] (finite, lo < hi) at `arguments`,
  // in the order argument_names gives; the shape's sentence when an
  // argument lies outside its domain.
  static std::expected<PreparedDensity, std::string> prepare(Shape shape, double lo, double hi,
                                                             std::span<const double> arguments);

  // values[i] = f(x[i]); with `derivatives` (one pointer per argument, null
  // for none) also derivatives[j][i] = df/da_j at x[i]. 0 outside [lo, hi].
  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives = {}) const;

  // The derivatives at x from `values`, what evaluate gave for the same x
  // at this point: the same bits as evaluate's derivatives. Shapes that
  // know how use the values; the others evaluate again into `scratch`
  // (x.size() values).
  void derivatives_from_values(std::span<const double> x, const double* values,
                               std::span<double* const> derivatives, double* scratch) const;

 private:
  using Kernel = std::variant<UniformDensity, GaussianDensity, ExponentialDensity,
                              CrystalBallDensity, DoubleCrystalBallDensity, BernsteinDensity,
                              ChebyshevDensity, ArgusDensity>;
  explicit PreparedDensity(Kernel kernel) : kernel_(std::move(kernel)) {}
  Kernel kernel_;
};

}  // namespace tarnwex::densities
