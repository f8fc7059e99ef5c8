#include "fit/event_sums.h"

#include <cmath>
#include <string>

namespace tarnwex {

namespace {

std::unexpected<SPlotError> density_not_finite(std::size_t e) {
  return std::unexpected(
      SPlotError::optimization("mixture density is not finite for event " + std::to_string(e)));
}

}  // namespace

std::expected<YieldDerivatives, SPlotError> yield_derivatives(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights) {
  const std::size_t n_components = columns.size();
  const std::size_t n_events = columns.front().size();
  const auto k_index = static_cast<Eigen::Index>(n_components);
  YieldDerivatives out;
  out.curvature = Matrix::Zero(k_index, k_index);
  out.yield_sums.assign(n_components, 0.0);
  out.floored_densities.resize(n_events);
  std::vector<double> ratio(n_components);
  for (std::size_t e = 0; e < n_events; ++e) {
    const double density = mixture_density(columns, yields, e);
    if (!std::isfinite(density)) return density_not_finite(e);
    if (!(density > kDensityFloor)) {
      // The floored term does not depend on the yields.
      out.floored_densities[e] = kDensityFloor;
      continue;
    }
    out.floored_densities[e] = density;
    const double weight = weight_of(weights, e);
    // Ratios rather than f_a f_b / d^2: d^2 underflows long before d reaches the floor.
    for (std::size_t a = 0; a < n_components; ++a) ratio[a] = columns[a][e] / density;
    for (std::size_t a = 0; a < n_components; ++a) {
      const double weighted = weight * ratio[a];
      out.yield_sums[a] += weighted;
      for (std::size_t b = 0; b <= a; ++b) {
        out.curvature(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) +=
            weighted * ratio[b];
      }
    }
  }
  out.gradient.resize(k_index);
  for (std::size_t a = 0; a < n_components; ++a) {
    const auto i = static_cast<Eigen::Index>(a);
    out.gradient[i] = 1.0 - out.yield_sums[a];
    for (Eigen::Index j = 0; j < i; ++j) out.curvature(j, i) = out.curvature(i, j);
  }
  return out;
}

std::expected<ShapePointSums, SPlotError> shape_point_sums(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights, std::span<const double> reference_densities) {
  const std::size_t n_components = columns.size();
  const std::size_t n_events = columns.front().size();
  ShapePointSums out;
  out.yield_sums.assign(n_components, 0.0);
  for (std::size_t e = 0; e < n_events; ++e) {
    const double density = mixture_density(columns, yields, e);
    if (!std::isfinite(density)) return density_not_finite(e);
    const double floored = density > kDensityFloor ? density : kDensityFloor;
    const double reference = reference_densities[e];
    // log1p of the relative change keeps the per-event rounding relative to
    // the change, not to the logarithm; a change too large for it to be
    // finite is taken as the difference of the logarithms.
    const double relative = (floored - reference) / reference;
    const double log_change = std::isfinite(relative) ? std::log1p(relative)
                                                      : std::log(floored) - std::log(reference);
    const double weight = weight_of(weights, e);
    out.nll_change -= log_change * weight;
    out.squared_log_change += log_change * log_change * std::abs(weight);
    if (density > kDensityFloor) {
      for (std::size_t a = 0; a < n_components; ++a) {
        out.yield_sums[a] += weight * (columns[a][e] / density);
      }
    }
  }
  if (!std::isfinite(out.nll_change)) {
    return std::unexpected(SPlotError::optimization("negative log-likelihood is not finite"));
  }
  return out;
}

}  // namespace tarnwex
