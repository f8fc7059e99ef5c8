#include "fit/scales/coordinate_scale.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "fit/core/fit_policy.h"
#include "fit/model/yield_information.h"

namespace tarnwex {

namespace {

// A scale is a power of two, so x / s and s * z are exact while they stay
// in the normal range. With scales from 2^-200 to 2^200 that holds for 0 and
// every magnitude from 2^-822 to 2^823, far beyond any value a fit reaches;
// only a bound outside that range can change: one near +-DBL_MAX may become
// +-inf, and one below 2^-822 may be rounded, to 0 at worst.
constexpr double kLargestScaleExponent = 200.0;

// log2 of 1 / sqrt(c) for a curvature c that gives a scale: the magnitude
// of a negative one; nothing for zero or a value that is not finite.
std::optional<double> scale_exponent(double curvature) {
  const double magnitude = std::abs(curvature);
  if (!std::isfinite(magnitude) || !(magnitude > 0.0)) return std::nullopt;
  return -0.5 * std::log2(magnitude);
}

double rounded_scale(double exponent) {
  return std::ldexp(1.0, static_cast<int>(std::clamp(std::round(exponent), -kLargestScaleExponent,
                                                     kLargestScaleExponent)));
}

// The floor of a yield's curvature (coordinate_scale.h).
double yield_curvature_floor(double yield, double event_unit) { return 1.0 / (yield + event_unit); }

// The yields' scale from their curvature at the point whose shape values the
// model was evaluated at. A point where some mixture density vanishes has no
// yield curvature to offer; its yields take the floor alone.
std::expected<void, SPlotError> set_yield_scales(const EvaluatedModel& model,
                                                 std::span<const double> yields, double event_unit,
                                                 Vector& scale) {
  const auto found = information_where_positive(model, yields);
  if (!found) return std::unexpected(found.error());
  const std::optional<Matrix>& information = found->matrix;
  for (std::size_t k = 0; k < yields.size(); ++k) {
    const auto i = static_cast<Eigen::Index>(k);
    const double floor = yield_curvature_floor(yields[k], event_unit);
    const double curvature = information ? std::max((*information)(i, i), floor) : floor;
    if (auto exponent = scale_exponent(curvature)) scale[i] = rounded_scale(*exponent);
  }
  return {};
}

// The yields' scales at x, where the likelihood's last evaluation was made
// (at the start) or its last gradient (on the way).
std::expected<void, SPlotError> set_yield_scales(JointLikelihood& likelihood, const Vector& x,
                                                 double event_unit, Vector& scale) {
  const std::size_t n_components = likelihood.n_components();
  auto model = likelihood.evaluate_model(std::span<const double>(
      x.data() + n_components, static_cast<std::size_t>(x.size()) - n_components));
  if (!model) return std::unexpected(std::move(model.error()));
  return set_yield_scales(*model, std::span<const double>(x.data(), n_components), event_unit, scale);
}

// The shape parameters' scales from their second differences; those without
// a usable curvature keep theirs.
void set_shape_scales(const Vector& curvature, Vector& scale) {
  const Eigen::Index first = scale.size() - curvature.size();
  for (Eigen::Index i = 0; i < curvature.size(); ++i) {
    if (auto exponent = scale_exponent(curvature[i])) scale[first + i] = rounded_scale(*exponent);
  }
}

}  // namespace

std::expected<ParameterTransform, SPlotError> coordinate_scale(JointLikelihood& likelihood,
                                                               const Vector& start, double event_unit) {
  ParameterTransform transform{Vector::Ones(start.size())};
  // The yields first, with the PDF values the start evaluation has just
  // loaded; then the gradient at the start, whose differences give the shape
  // curvature and which the minimizer's own first gradient finds remembered.
  if (auto yields = set_yield_scales(likelihood, start, event_unit, transform.scale); !yields) {
    return std::unexpected(std::move(yields.error()));
  }
  if (auto gradient = likelihood.gradient(start); !gradient) {
    return std::unexpected(std::move(gradient.error()));
  }
  if (auto curvature = likelihood.shape_curvature(start)) {
    set_shape_scales(*curvature, transform.scale);
  }
  return transform;
}

std::expected<std::optional<Vector>, SPlotError> RescalingLikelihood::rescale(const Vector& x,
                                                                           const Vector& scale) {
  const std::optional<Vector> curvature = likelihood_->shape_curvature(x);
  if (!curvature) return std::nullopt;
  const auto n_components = static_cast<Eigen::Index>(likelihood_->n_components());
  bool far = false;
  for (Eigen::Index i = n_components; i < x.size() && !far; ++i) {
    if (auto exponent = scale_exponent((*curvature)[i - n_components])) {
      far = std::abs(*exponent - std::log2(scale[i])) > policy::kRescaleExponent;
    }
  }
  if (!far) return std::nullopt;
  Vector fresh = scale;
  if (auto yields = set_yield_scales(*likelihood_, x, event_unit_, fresh); !yields) {
    return std::unexpected(std::move(yields.error()));
  }
  set_shape_scales(*curvature, fresh);
  return fresh;
}

}  // namespace tarnwex
