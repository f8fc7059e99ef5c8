// The bound of one parameter and the conversion of (lower, upper) pairs into bounds.
#pragma once

#include <cstddef>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "minimizer/minimizer_error.h"

namespace tarnwex {

struct ScalarBound {
  enum class Form { Unbounded, LowerOnly, UpperOnly, LowerAndUpper };

  Form form = Form::Unbounded;
  double lower = -std::numeric_limits<double>::infinity();  // meaningful for LowerOnly, LowerAndUpper
  double upper = std::numeric_limits<double>::infinity();   // meaningful for UpperOnly, LowerAndUpper

  static ScalarBound unbounded() { return {}; }
  static ScalarBound lower_only(double l) { return {Form::LowerOnly, l, kInf}; }
  static ScalarBound upper_only(double u) { return {Form::UpperOnly, -kInf, u}; }
  static ScalarBound lower_and_upper(double l, double u) { return {Form::LowerAndUpper, l, u}; }

  bool has_lower() const { return form == Form::LowerOnly || form == Form::LowerAndUpper; }
  bool has_upper() const { return form == Form::UpperOnly || form == Form::LowerAndUpper; }
  // The sides as doubles; a missing side is the matching infinity, so that it
  // never limits a projection, a step or a breakpoint.
  double lower_side() const { return has_lower() ? lower : -kInf; }
  double upper_side() const { return has_upper() ? upper : kInf; }

  friend bool operator==(const ScalarBound&, const ScalarBound&) = default;

 private:
  static constexpr double kInf = std::numeric_limits<double>::infinity();
};

using BoundList = std::vector<ScalarBound>;

// The bound of coordinate i; without a bound list every coordinate is unbounded.
inline ScalarBound bound_of(const std::optional<BoundList>& bounds, std::ptrdiff_t i) {
  return bounds ? (*bounds)[static_cast<std::size_t>(i)] : ScalarBound::unbounded();
}

// Converts the pairs in order; the first pair that is not strictly ordered
// (or holds a NaN) rejects the whole list with a configuration error.
std::expected<BoundList, MinimizerError> bounds_from_pairs(
    std::span<const std::pair<double, double>> pairs);

}  // namespace tarnwex
