#include "fit/scales/hessian_resolution.h"

#include <algorithm>
#include <limits>

#include "fit/core/fit_policy.h"

namespace tarnwex {

double hessian_resolution(double weight_magnitude, std::size_t n_shape) {
  if (n_shape == 0) return policy::kYieldHessianResolution;
  const double step = policy::kShapeStepPerError;
  const double noise = policy::kSharedPdfRoundingUlps * std::numeric_limits<double>::epsilon() *
                       weight_magnitude / (step * step);
  return std::max(policy::kYieldHessianResolution, policy::kCurvatureOverNoise * noise);
}

}  // namespace tarnwex
