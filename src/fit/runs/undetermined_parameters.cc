#include "fit/runs/undetermined_parameters.h"

#include <limits>

#include "minimizer/equilibrated_svd.h"

namespace tarnwex {

namespace {

// A dropped direction of singular value s would carry p^2 / s of the variance
// of a parameter whose axis has the part p in it (on the unit diagonal, where
// the parameter alone has variance 1). Beyond p^2 = cbrt(2^-52) that is more
// than the parameter's own variance even at the largest s the cut drops: the
// error left without the direction describes nothing. A parameter tied to an
// undetermined one only by a small curvature c has a part of about c, and
// the cut drops the direction only while c^2 stays below s, so a determined
// parameter's part stays near or under this bar.
constexpr double kLargestDroppedPartSquared = kCbrtMachineEpsilon;

// At a minimum every H_ii is positive and no parameter's variance is below
// 1 / H_ii, its variance with every other parameter held fixed. A variance
// below that comes from a direction without positive curvature that the
// parameter is tied to, kept with a negative sign or dropped; it shrinks to
// the rounding of a cancellation (1e-13 of 1 / H_ii and less) when the
// parameter is wholly tied to one. Half leaves a wide margin on both sides:
// rounding and the parts under the bar above take less than 1e-4 from 1.
constexpr double kLeastVarianceTimesCurvature = 0.5;

// Per parameter, the squared length of its axis's projection onto the
// directions the pseudo-inverse dropped; NaN throughout when the Hessian has
// no decomposition.
Vector dropped_parts_squared(const Matrix& hessian) {
  const EquilibratedSvd decomposition = equilibrated_svd(hessian);
  const Eigen::JacobiSVD<Matrix>& svd = decomposition.svd;
  if (svd.info() != Eigen::Success) {
    return Vector::Constant(hessian.rows(), std::numeric_limits<double>::quiet_NaN());
  }
  const Vector& singular = svd.singularValues();
  Vector parts = Vector::Zero(hessian.rows());
  for (Eigen::Index k = 0; k < singular.size(); ++k) {
    if (!kept_by_pseudo_inverse(singular[k])) parts += svd.matrixV().col(k).cwiseAbs2();
  }
  return parts;
}

}  // namespace

std::vector<bool> undetermined_parameters(const Matrix& hessian, const Matrix& covariance) {
  const Vector parts = dropped_parts_squared(hessian);
  std::vector<bool> undetermined(static_cast<std::size_t>(hessian.rows()));
  for (Eigen::Index i = 0; i < hessian.rows(); ++i) {
    const bool tied_to_dropped = !(parts[i] <= kLargestDroppedPartSquared);
    const double curvature = hessian(i, i);
    const bool below_fixed_variance =
        !(curvature > 0.0 && covariance(i, i) * curvature >= kLeastVarianceTimesCurvature);
    undetermined[static_cast<std::size_t>(i)] = tied_to_dropped || below_fixed_variance;
  }
  return undetermined;
}

Vector determined_errors(const MinimizationSummary& summary) {
  Vector errors = summary.errors;
  if (!summary.hessian) return errors;
  const std::vector<bool> undetermined =
      undetermined_parameters(*summary.hessian, summary.covariance);
  for (Eigen::Index i = 0; i < errors.size(); ++i) {
    if (undetermined[static_cast<std::size_t>(i)]) {
      errors[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  return errors;
}

}  // namespace tarnwex
