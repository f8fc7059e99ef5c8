#include "fit/scales/hessian_resolution.h"

#include <algorithm>
#include <limits>

#include "fit/core/fit_policy.h"

namespace tarnwex {

double nll_noise(double weight_magnitude) {
  return policy::kSharedPdfRoundingUlps * std::numeric_limits<double>::epsilon() * weight_magnitude;
}

double hessian_resolution(double weight_magnitude, double event_unit, std::size_t n_shape) {
  if (n_shape == 0) return policy::kYieldHessianResolution;
  const double step = policy::kShapeStepPerError;
  const double noise = nll_noise(weight_magnitude) / (event_unit * step * step);
  return std::max(policy::kYieldHessianResolution, policy::kCurvatureOverNoise * noise);
}

}  // namespace tarnwex
