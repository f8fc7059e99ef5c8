#include "fit/densities/prepared_density.h"

#include <utility>

namespace tarnwex::densities {

namespace {

template <typename K>
std::expected<PreparedDensity, std::string> wrap(std::expected<K, std::string> kernel,
                                                 auto make) {
  if (!kernel) return std::unexpected(std::move(kernel.error()));
  return make(std::move(*kernel));
}

}  // namespace

std::expected<PreparedDensity, std::string> PreparedDensity::prepare(
    Shape shape, double lo, double hi, std::span<const double> arguments) {
  const auto make = [](auto kernel) { return PreparedDensity(Kernel(std::move(kernel))); };
  switch (shape) {
    case Shape::kUniform: return wrap(UniformDensity::prepare(lo, hi, arguments), make);
    case Shape::kGaussian: return wrap(GaussianDensity::prepare(lo, hi, arguments), make);
    case Shape::kExponential: return wrap(ExponentialDensity::prepare(lo, hi, arguments), make);
    case Shape::kCrystalBall: return wrap(CrystalBallDensity::prepare(lo, hi, arguments), make);
    case Shape::kDoubleCrystalBall:
      return wrap(DoubleCrystalBallDensity::prepare(lo, hi, arguments), make);
    case Shape::kBernstein: return wrap(BernsteinDensity::prepare(lo, hi, arguments), make);
    case Shape::kChebyshev: return wrap(ChebyshevDensity::prepare(lo, hi, arguments), make);
    case Shape::kArgus: return wrap(ArgusDensity::prepare(lo, hi, arguments), make);
  }
  return std::unexpected(std::string("unknown shape"));
}

void PreparedDensity::evaluate(std::span<const double> x, double* values,
                               std::span<double* const> derivatives) const {
  std::visit([&](const auto& kernel) { kernel.evaluate(x, values, derivatives); }, kernel_);
}

void PreparedDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                              std::span<double* const> derivatives,
                                              double* scratch) const {
  std::visit(
      [&](const auto& kernel) {
        if constexpr (requires { kernel.derivatives_from_values(x, values, derivatives); }) {
          kernel.derivatives_from_values(x, values, derivatives);
        } else {
          kernel.evaluate(x, scratch, derivatives);
        }
      },
      kernel_);
}

}  // namespace tarnwex::densities
