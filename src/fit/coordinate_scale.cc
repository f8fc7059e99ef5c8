#include "fit/coordinate_scale.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "minimizer/finite_difference.h"

namespace tarnwex {

namespace {

// A scale is a power of two, so x / s and s * z are exact while they stay
// in the normal range. With scales from 2^-200 to 2^200 that holds for 0 and
// every magnitude from 2^-822 to 2^823, far beyond any value a fit reaches;
// only a bound outside that range can change: one near +-DBL_MAX may become
// +-inf, and one below 2^-822 may be rounded, to 0 at worst.
constexpr double kLargestScaleExponent = 200.0;

double scale_for(double curvature) {
  if (!std::isfinite(curvature) || !(curvature > 0.0)) return 1.0;
  const double exponent = std::round(-0.5 * std::log2(curvature));
  return std::ldexp(1.0, static_cast<int>(std::clamp(exponent, -kLargestScaleExponent,
                                                     kLargestScaleExponent)));
}

}  // namespace

std::expected<ParameterTransform, SPlotError> coordinate_scale(JointLikelihood& likelihood,
                                                               const Vector& start, double nll) {
  const std::size_t n_components = likelihood.n_components();
  const auto n_parameters = static_cast<std::size_t>(start.size());
  ParameterTransform transform{Vector::Ones(start.size())};

  // The yields first: their curvature needs the PDF values at the start
  // point, which the start evaluation has just loaded.
  const std::span<const double> yields(start.data(), n_components);
  auto model = likelihood.evaluate_model(
      std::span<const double>(start.data() + n_components, n_parameters - n_components));
  if (!model) return std::unexpected(std::move(model.error()));
  // A start point where some mixture density vanishes has no yield
  // curvature to offer; those yields keep the scale 1.
  if (auto information = model->yield_information(yields)) {
    for (std::size_t k = 0; k < n_components; ++k) {
      const auto i = static_cast<Eigen::Index>(k);
      transform.scale[i] = scale_for((*information)(i, i));
    }
  }

  Vector point = start;
  for (std::size_t p = n_components; p < n_parameters; ++p) {
    const auto i = static_cast<Eigen::Index>(p);
    const double v = point[i];
    const double h = central_difference_step(v);
    point[i] = v + h;
    auto plus = likelihood.evaluate(point);
    if (!plus) return std::unexpected(std::move(plus.error()));
    point[i] = v - h;
    auto minus = likelihood.evaluate(point);
    if (!minus) return std::unexpected(std::move(minus.error()));
    point[i] = v;
    transform.scale[i] = scale_for(((*plus - nll) + (*minus - nll)) / (h * h));
  }
  return transform;
}

}  // namespace tarnwex
