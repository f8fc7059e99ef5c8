// Settings of one L-BFGS-B run.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "minimizer/minimizer_error.h"
#include "minimizer/line_search_parameters.h"
#include "minimizer/parameter_transform.h"
#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

struct LBFGSBConfig {
  MoreThuenteLineSearch line_search;                          // used by every step
  std::optional<BoundList> bounds;                            // absent: unbounded
  std::optional<std::vector<std::string>> parameter_names;    // copied into the summary
  std::size_t memory_size = 10;                               // correction pairs kept; 0 acts as 1
  double max_step = 1e8;                                      // cap on the step offered to the line search
  std::optional<ParameterTransform> transform;                // absent: the iteration runs in x itself
  bool skip_hessian = false;                                  // no final Hessian when true
  // The smallest decrease of the objective that counts as one, at f:
  // max(objective_resolution, objective_resolution_ulps ulp(|f|))
  // (objective_resolution(f, config) below). A line search that fails
  // without any trial lower than f by more has found the point to be a
  // minimum as far as the objective can tell; the objective-change test
  // never looks finer. 0 and 0 count every decrease.
  double objective_resolution = 0.0;
  double objective_resolution_ulps = 0.0;
  // How often a run may take a new scale from the problem (each one costs
  // the memory); only a run with a transform asks for one.
  std::size_t max_rescales = 8;
  // The accuracy of the final Hessian's entries once it is scaled to unit
  // diagonal (hessian_covariance.h); the caller that knows how its Hessian
  // is computed sets it.
  double hessian_resolution = kCbrtMachineEpsilon;
};

// The smallest decrease of the objective at f that counts as one: the
// objective's rounding where the run is, not where it started.
double objective_resolution(double f, const LBFGSBConfig& config);

// Installs the converted bounds, or fails with the conversion's error.
std::expected<LBFGSBConfig, MinimizerError> with_bounds(
    LBFGSBConfig config, std::span<const std::pair<double, double>> pairs);

}  // namespace tarnwex
