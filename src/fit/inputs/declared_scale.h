// The scale a shape parameter's declaration gives before the data have said
// anything: the only length the fit knows for it until its curvature is
// measured, and where the search for that curvature starts.
#pragma once

#include <cmath>
#include <optional>
#include <utility>

namespace tarnwex {

// The box's width when both sides are finite; otherwise the distance from
// the start to its finite side, the start's magnitude or the finite side's,
// the first of them that is positive; 1 when the declaration holds no
// length at all (an unbounded parameter started at 0).
inline double declared_scale(std::optional<double> start, std::pair<double, double> bound) {
  const bool lower = std::isfinite(bound.first);
  const bool upper = std::isfinite(bound.second);
  if (lower && upper && std::isfinite(bound.second - bound.first)) {
    return bound.second - bound.first;
  }
  const double side = lower ? bound.first : (upper ? bound.second : 0.0);
  for (const double length : {start ? std::abs(*start - side) : 0.0,
                              start ? std::abs(*start) : 0.0, std::abs(side)}) {
    if (length > 0.0 && std::isfinite(length)) return length;
  }
  return 1.0;
}

}  // namespace tarnwex
