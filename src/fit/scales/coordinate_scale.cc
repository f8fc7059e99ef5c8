#include "fit/scales/coordinate_scale.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "fit/core/fit_policy.h"
#include "fit/inputs/declared_scale.h"
#include "fit/model/yield_information.h"
#include "fit/scales/shape_scale_probe.h"

namespace tarnwex {

namespace {

// Scales stay within 2^-200 to 2^200, so that x / s and s * z keep every
// magnitude from 2^-822 to 2^823 in the normal range, far beyond any value a
// fit reaches.
constexpr double kLargestScaleExponent = 200.0;

// log2 of 1 / sqrt(c) for a curvature c that gives a scale: the magnitude
// of a negative one; nothing for zero or a value that is not finite.
std::optional<double> scale_exponent(double curvature) {
  const double magnitude = std::abs(curvature);
  if (!std::isfinite(magnitude) || !(magnitude > 0.0)) return std::nullopt;
  return -0.5 * std::log2(magnitude);
}

// 2^exponent rounded to a power of two times `reference`, a length that
// changes with the parameter's units (its declared scale, or the event
// unit): the rounding keeps a scale still while the curvature wanders, and
// the grid it rounds to moves with the units, so that the same fit written
// in other units sees the same internal problem, up to the rounding of one
// product.
double scale_of(double exponent, double reference) {
  const double relative = std::round(exponent - std::log2(reference));
  return std::clamp(reference * std::exp2(relative), std::exp2(-kLargestScaleExponent),
                    std::exp2(kLargestScaleExponent));
}

// The grid of a shape parameter's scale: the length its bounds declare, in
// the minimizer's units (a scale is an error divided by sqrt(event_unit)).
double shape_reference(std::pair<double, double> bound, double event_unit) {
  return declared_scale(std::nullopt, bound) / std::sqrt(event_unit);
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
    // A yield's scale, sqrt(y event_unit) at most, grows as the weights' square root.
    if (auto exponent = scale_exponent(curvature)) {
      scale[i] = scale_of(*exponent, std::sqrt(event_unit));
    }
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
// a usable curvature keep theirs. The likelihood's steps follow: each
// parameter's error, sqrt(event_unit / |c|), where c is known.
void set_shape_scales(const Vector& curvature, double event_unit, Vector& scale,
                      JointLikelihood& likelihood) {
  const Eigen::Index first = scale.size() - curvature.size();
  const auto known = likelihood.shape_scales();
  std::vector<double> errors(known.begin(), known.end());
  for (Eigen::Index i = 0; i < curvature.size(); ++i) {
    if (auto exponent = scale_exponent(curvature[i])) {
      const auto bound = likelihood.shape_bounds()[static_cast<std::size_t>(i)];
      scale[first + i] = scale_of(*exponent, shape_reference(bound, event_unit));
      errors[static_cast<std::size_t>(i)] = std::sqrt(event_unit / std::abs(curvature[i]));
    }
  }
  likelihood.set_shape_scales(errors, event_unit);
}

}  // namespace

std::expected<ParameterTransform, SPlotError> coordinate_scale(JointLikelihood& likelihood,
                                                               const Vector& start, double event_unit) {
  ParameterTransform transform{Vector::Ones(start.size()), std::nullopt};
  // The yields first, with the PDF values the start evaluation has just
  // loaded; then the probes along the shape parameters, whose last points
  // the minimizer's own first gradient finds remembered.
  if (auto yields = set_yield_scales(likelihood, start, event_unit, transform.scale); !yields) {
    return std::unexpected(std::move(yields.error()));
  }
  auto probed = probe_shape_scales(likelihood, start, event_unit);
  if (!probed) return std::unexpected(std::move(probed.error()));
  likelihood.set_shape_scales(probed->scales, event_unit, probed->held);
  const auto first = static_cast<Eigen::Index>(likelihood.n_components());
  for (std::size_t j = 0; j < probed->scales.size(); ++j) {
    // Without a curvature the scale is the one the declaration gives, in
    // the minimizer's units.
    const auto exponent = scale_exponent(probed->curvature[j]);
    const double fallback = probed->scales[j] / std::sqrt(event_unit);
    transform.scale[first + static_cast<Eigen::Index>(j)] =
        scale_of(exponent ? *exponent : std::log2(fallback),
                 shape_reference(likelihood.shape_bounds()[j], event_unit));
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
  set_shape_scales(*curvature, event_unit_, fresh, *likelihood_);
  return fresh;
}

}  // namespace tarnwex
