// Reference sums for the tests: the exactly rounded sum of a list of
// doubles, and the distance between two doubles in units in the last place.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnwex::testing {

// The exactly rounded sum of `terms` (Shewchuk's partials, as math.fsum).
inline double exact_sum(const std::vector<double>& terms) {
  std::vector<double> partials;
  for (double x : terms) {
    std::size_t used = 0;
    for (double y : partials) {
      if (std::abs(x) < std::abs(y)) std::swap(x, y);
      const double high = x + y;
      const double low = y - (high - x);
      if (low != 0.0) partials[used++] = low;
      x = high;
    }
    partials.resize(used);
    partials.push_back(x);
  }
  double high = 0.0;
  while (!partials.empty()) {
    const double x = high;
    const double y = partials.back();
    partials.pop_back();
    high = x + y;
    const double low = y - (high - x);
    if (low != 0.0) {
      // Round half-even across the remaining partials, as fsum does.
      if (!partials.empty() && ((low < 0.0 && partials.back() < 0.0) ||
                                (low > 0.0 && partials.back() > 0.0))) {
        const double doubled = low * 2.0;
        const double adjusted = high + doubled;
        if (doubled == adjusted - high) high = adjusted;
      }
      break;
    }
  }
  return high;
}

// Distance in units in the last place between two doubles of one sign.
inline std::int64_t ulps(double a, double b) {
  return std::abs(std::bit_cast<std::int64_t>(a) - std::bit_cast<std::int64_t>(b));
}

}  // namespace tarnwex::testing
