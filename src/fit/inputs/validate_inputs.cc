#include "fit/inputs/validate_inputs.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "fit/core/text/format.h"
#include "minimizer/types.h"

namespace tarnwex {

namespace {

std::unexpected<SPlotError> invalid(std::string message) {
  return std::unexpected(SPlotError::invalid_input(std::move(message)));
}

bool events_have_one_dimension(const EventView& events) {
  const std::size_t dimension = events.row_size(0);
  if (dimension == 0) return false;
  for (std::size_t e = 1; e < events.size(); ++e) {
    if (events.row_size(e) != dimension) return false;
  }
  return true;
}

bool start_yields_are_usable(const std::vector<double>& yields, std::size_t n_components) {
  if (yields.size() != n_components) return false;
  double sum = 0.0;
  for (double y : yields) {
    if (!std::isfinite(y) || y < 0.0) return false;
    sum += y;
  }
  return sum > 0.0;
}

// The weights as given, one per event, finite, their magnitudes summing to a
// total the fit's arithmetic can carry; empty without weights or when every
// one is exactly 1.
std::expected<std::span<const double>, SPlotError> checked_weights(const SPlotConfig& config,
                                                                   std::size_t n_events) {
  if (!config.event_weights) return std::span<const double>();
  if (config.event_weights->size() != n_events) {
    return invalid("event_weights has length " + std::to_string(config.event_weights->size()) +
                   ", expected " + std::to_string(n_events));
  }
  double magnitude = 0.0;
  bool all_ones = true;
  for (double w : *config.event_weights) {
    if (!std::isfinite(w)) return invalid("event weights must be finite");
    magnitude += std::abs(w);
    all_ones = all_ones && w == 1.0;
  }
  // The yields end near the weights' total. Far below a million times their
  // lower bound the bound itself distorts them; far above 1e100 the squared
  // densities of the yield information overflow.
  if (magnitude > 0.0 && magnitude < kSmallestWeightTotal) {
    return invalid("event weights are too small for the yields' lower bound: scale them up");
  }
  if (magnitude > kLargestWeightTotal) {
    return invalid("event weights are too large for double-precision sums: scale them down");
  }
  if (all_ones) return std::span<const double>();
  return std::span<const double>(*config.event_weights);
}

}  // namespace

std::expected<ValidatedInputs, SPlotError> validate_inputs(
    const EventView& events, const PdfList& pdfs, std::span<const ShapeParameter> shape_parameters,
    const SPlotConfig& config) {
  const std::size_t n_events = events.size();
  const std::size_t n_components = pdfs.size();
  if (n_events == 0) return invalid("data must not be empty");
  if (n_components == 0) return invalid("at least one PDF is required");
  if (!events_have_one_dimension(events)) {
    return invalid("events must have one consistent, nonzero dimension");
  }
  if (!events.coordinates_finite()) return invalid("event coordinates must be finite");
  if (config.max_steps && *config.max_steps == 0) return invalid("max_steps must be positive");
  if (!std::isfinite(config.tolerance) || !(config.tolerance > 0.0)) {
    return invalid("tolerance must be finite and positive");
  }

  auto weights = checked_weights(config, n_events);
  if (!weights) return std::unexpected(std::move(weights.error()));

  for (std::size_t i = 1; i < shape_parameters.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (shape_parameters[i].name == shape_parameters[j].name) {
        return invalid("shape parameter name " + quoted_name(shape_parameters[i].name) +
                       " is duplicated");
      }
    }
  }

  // A PDF that declares the shape parameters it depends on names each one.
  for (std::size_t k = 0; k < n_components; ++k) {
    const auto declared = pdfs[k].get().declared_parameters();
    if (!declared) continue;
    for (const std::string& name : *declared) {
      const bool known = std::ranges::any_of(
          shape_parameters, [&](const ShapeParameter& parameter) { return parameter.name == name; });
      if (!known) {
        return invalid("PDF " + std::to_string(k) + " declares " + quoted_name(name) +
                       ", which is not a shape parameter");
      }
    }
  }

  std::vector<double> yields;
  if (config.initial_yields) {
    yields = *config.initial_yields;
  } else {
    // Without weights every weight is 1, and n ones sum to n exactly.
    double weight_sum = weights->empty() ? static_cast<double>(n_events) : 0.0;
    for (double w : *weights) weight_sum += w;
    yields.assign(n_components, weight_sum / static_cast<double>(n_components));
  }
  if (!start_yields_are_usable(yields, n_components)) {
    return invalid(
        "initial_yields must match the PDFs, be finite and nonnegative, and have positive sum");
  }
  // Zero yields would sit exactly on the minimizer's bound for the yields.
  for (double& y : yields) {
    if (y < kMachineEpsilon) y = kMachineEpsilon;
  }
  return ValidatedInputs{std::move(yields), *weights};
}

}  // namespace tarnwex
