#include "minimizer/box.h"

namespace tarnwex {

Vector clip(const Vector& v, const std::optional<BoundList>& bounds) {
  Vector clipped = v;
  if (!bounds) return clipped;
  for (std::size_t b = 0; b < bounds->size(); ++b) {
    const ScalarBound& bound = (*bounds)[b];
    double& value = clipped[static_cast<Eigen::Index>(b)];
    // A missing side is infinite and never replaces the value; nor does any
    // comparison with a NaN value.
    if (bound.lower_side() > value) {
      value = bound.lower_side();
    } else if (value > bound.upper_side()) {
      value = bound.upper_side();
    }
  }
  return clipped;
}

Vector inward(Vector d, const Vector& x, const std::optional<BoundList>& bounds) {
  if (!bounds) return d;
  for (Eigen::Index i = 0; i < d.size(); ++i) {
    const ScalarBound bound = bound_of(bounds, i);
    if ((x[i] <= bound.lower_side() && d[i] < 0.0) || (x[i] >= bound.upper_side() && d[i] > 0.0)) {
      d[i] = 0.0;
    }
  }
  return d;
}

std::vector<bool> on_bound_sides(const Vector& v, const std::optional<BoundList>& bounds) {
  std::vector<bool> out(static_cast<std::size_t>(v.size()), false);
  for (Eigen::Index i = 0; i < v.size(); ++i) {
    const ScalarBound bound = bound_of(bounds, i);
    out[static_cast<std::size_t>(i)] = v[i] == bound.lower_side() || v[i] == bound.upper_side();
  }
  return out;
}

}  // namespace tarnwex
