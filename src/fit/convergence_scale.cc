#include "fit/convergence_scale.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/likelihood/event_sum.h"

namespace tarnwex {

double weight_scale(std::span<const double> weights) {
  double largest = 0.0;
  for (double w : weights) largest = std::max(largest, std::abs(w));
  if (!(largest > 0.0) || !std::isfinite(largest)) return 1.0;
  EventSum squares;
  EventSum sum;
  for (std::size_t e = 0; e < weights.size(); ++e) {
    const double relative = weights[e] / largest;
    squares.add(e, relative * relative);
    sum.add(e, relative);
  }
  const double scale = squares.total() / sum.total() * largest;
  return std::isfinite(scale) && scale > 0.0 ? scale : 1.0;
}

double objective_change_threshold(double tolerance, double weight_scale, double nll_at_start) {
  const double magnitude = std::abs(nll_at_start);
  const double ulp = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
  return std::max(tolerance * weight_scale, kResolutionUlps * ulp);
}

}  // namespace tarnwex
