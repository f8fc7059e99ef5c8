#include "minimizer/status.h"

#include <cmath>
#include <limits>
#include <utility>

#include "minimizer/hessian_covariance.h"

namespace tarnwex {

const char* status_type_text(StatusType kind) {
  switch (kind) {
    case StatusType::Uninitialized:
      return "Uninitialized";
    case StatusType::Initialized:
      return "Initialized";
    case StatusType::Step:
      return "Step";
    case StatusType::Success:
      return "Success";
    case StatusType::Failed:
      return "Failed";
    case StatusType::Message:
      return "Message";
  }
  return "Uninitialized";
}

std::string StatusMessage::display() const {
  std::string shown = status_type_text(kind);
  if (text && !text->empty()) {
    shown += ": ";
    shown += *text;
  }
  return shown;
}

void GradientStatus::set_hess(Matrix hessian, const std::vector<bool>& at_bound,
                              double resolution) {
  const std::vector<bool> bound_sides =
      at_bound.empty() ? std::vector<bool>(static_cast<std::size_t>(hessian.rows()), false)
                       : at_bound;
  HessianCovariance taken = hessian_covariance(hessian, bound_sides, resolution);
  hessian_matrix = std::move(hessian);
  undetermined = std::move(taken.undetermined);
  set_cov(std::move(taken.covariance));
}

void GradientStatus::set_cov(Matrix cov) {
  Vector sigma(cov.rows());
  // An error exists only for a finite, positive variance. A negative one (the
  // point is not a minimum along that parameter) or a zero one (the data do
  // not fix it: the pseudo-inverse dropped its direction) gives NaN, never a
  // number that looks like an estimate.
  for (Eigen::Index i = 0; i < cov.rows(); ++i) {
    const double variance = cov(i, i);
    const auto index = static_cast<std::size_t>(i);
    const bool known = index >= undetermined.size() || !undetermined[index];
    sigma[i] = known && variance > 0.0 && std::isfinite(variance)
                   ? std::sqrt(variance)
                   : std::numeric_limits<double>::quiet_NaN();
  }
  covariance = std::move(cov);
  errors = std::move(sigma);
}

Vector unknown_uncertainties(Eigen::Index n) {
  return Vector::Constant(n, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tarnwex
