#include "fit/scales/shape_scale_probe.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fit/core/fit_policy.h"
#include "fit/inputs/declared_scale.h"
#include "minimizer/stencil_weights.h"

namespace tarnwex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Along coordinate i of x, on the points the gradient's difference with
// step h would use: the second derivative of the NLL (NaN when the box
// holds too few points or the change is rounding), and the largest change
// of the NLL among those points.
struct SecondDifference {
  bool enough_points = false;
  double curvature = kNaN;
  double largest_change = 0.0;
};

std::expected<SecondDifference, SPlotError> second_difference(JointLikelihood& likelihood,
                                                              const Vector& x, double f_x,
                                                              Eigen::Index i, double h,
                                                              std::pair<double, double> bound,
                                                              double noise) {
  const StencilPoints points = stencil_points(x[i], h, bound, 1, h, 2);
  SecondDifference out;
  out.enough_points = points.offsets.size() == 2;
  if (!out.enough_points) return out;
  Vector moved = x;
  std::vector<double> changes;
  for (const double offset : points.offsets) {
    moved[i] = x[i] + offset;
    auto value = likelihood.evaluate(moved);
    if (!value) return std::unexpected(std::move(value.error()));
    changes.push_back(*value - f_x);
    out.largest_change = std::max(out.largest_change, std::abs(changes.back()));
  }
  out.curvature = resolved_second_difference(points, changes, h, noise);
  return out;
}

}  // namespace

std::expected<ShapeScales, SPlotError> probe_shape_scales(JointLikelihood& likelihood,
                                                          const Vector& start, double event_unit) {
  const auto first = static_cast<Eigen::Index>(likelihood.n_components());
  const auto bounds = likelihood.shape_bounds();
  auto f_start = likelihood.evaluate(start);
  if (!f_start) return std::unexpected(std::move(f_start.error()));
  constexpr double kStep = policy::kGradientStepPerScale;
  const double resolution = policy::kCurvatureOverNoise * likelihood.nll_noise();
  ShapeScales out;
  for (Eigen::Index i = first; i < start.size(); ++i) {
    const auto j = static_cast<std::size_t>(i - first);
    const double declared = declared_scale(start[i], bounds[j]);
    const bool boxed = std::isfinite(bounds[j].first) && std::isfinite(bounds[j].second);
    // The step never grows past a quarter of the box or, without one, past
    // kLongestProbePerDeclaredScale times the declared length: a parameter
    // that changes nothing within that reach has no scale the data can give.
    const double longest = declared * (boxed ? policy::kLongestProbePerBox
                                             : policy::kLongestProbePerDeclaredScale);
    double h = declared * policy::kFirstProbePerDeclaredScale;
    double scale = declared;
    double curvature = kNaN;
    bool resolved = false;
    for (int probe = 0; probe < policy::kMaxProbes; ++probe) {
      auto found = second_difference(likelihood, start, *f_start, i, h, bounds[j], resolution);
      if (!found) return std::unexpected(std::move(found.error()));
      if (!found->enough_points) break;  // the box holds the parameter
      // A change within the NLL's rounding says nothing, whatever it is.
      resolved = resolved || found->largest_change > resolution;
      double wanted = h * policy::kLargestProbeMove;
      if (std::isfinite(found->curvature)) {
        curvature = found->curvature;
        scale = std::sqrt(event_unit / std::abs(curvature));
        wanted = scale * kStep;
        if (wanted <= h * policy::kProbeAcceptance && h <= wanted * policy::kProbeAcceptance) {
          // The gradient steps this probe's step, so that its points serve.
          scale = h / kStep;
          break;
        }
      }
      const double next = std::clamp(wanted, h / policy::kLargestProbeMove,
                                     h * policy::kLargestProbeMove);
      if (next >= longest && h >= longest) break;
      h = std::min(next, longest);
    }
    out.scales.push_back(scale);
    out.curvature.push_back(curvature);
    out.held.push_back(boxed && !resolved);
  }
  return out;
}

}  // namespace tarnwex
