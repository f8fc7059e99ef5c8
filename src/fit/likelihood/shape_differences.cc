#include "fit/likelihood/shape_differences.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fit/core/fit_policy.h"
#include "minimizer/internal_error.h"
#include "minimizer/stencil_weights.h"

namespace tarnwex {

namespace {

// Steps are policy::kShapeStepPerError of the parameter's error, and every
// central difference is taken at h and 2h and extrapolated (Richardson), so
// that its h^2 truncation cancels.
constexpr double kStepPerError = policy::kShapeStepPerError;
// A refined step within this factor of the one used keeps that one's points.
constexpr double kRefineFactor = 1.25;
// A one-sided axis whose two curvatures differ by more than this fraction
// is taken again with its step times kOneSidedShrink, at most
// kMaxOneSidedShrinks times: a 3 % gap leaves about 1e-3 in the curvature
// from all three points and less in the first derivatives.
constexpr double kOneSidedAgreement = 0x1p-5;
constexpr double kOneSidedShrink = 0.25;
constexpr int kMaxOneSidedShrinks = 4;

// One term of a first-derivative stencil: the weight of the value at an
// offset, `point` indexing the axis's points (-1 for the fitted point, where
// every change is 0).
struct Tap {
  double offset;
  double weight;
  int point;
};

// Richardson's extrapolation of a central difference taken at h and 2h,
// whose errors are c h^2 and 4 c h^2.
double extrapolated(double at_step, double at_double_step) {
  return (4.0 * at_step - at_double_step) / 3.0;
}

// The points along one shape parameter: t + h, t - h, t + 2h and t - 2h
// (central), or up to three points t + m s with a signed s (one-sided, next
// to a bound), formed inside the box, with the weights for the offsets they
// really have.
struct Axis {
  bool central = true;
  double step = 0.0;
  std::vector<double> offsets;       // one-sided: the points' offsets from t
  std::vector<double> first_weights;  // one-sided: at t, then at each offset
  std::vector<double> second_weights;
  std::vector<ShapePointSums> sums;

  int point_count() const { return central ? 4 : static_cast<int>(offsets.size()); }
  double offset(int m) const {
    if (central) return (m % 2 == 0 ? 1.0 : -1.0) * (m < 2 ? step : step + step);
    return offsets[static_cast<std::size_t>(m)];
  }

  // 0 along a parameter whose box holds too few points to tell: the box
  // holds it where it is.
  double curvature() const {
    if (central) {
      const double near = (sums[0].nll_change + sums[1].nll_change) / (step * step);
      const double far = (sums[2].nll_change + sums[3].nll_change) / (4.0 * step * step);
      return extrapolated(near, far);
    }
    double sum = 0.0;
    for (std::size_t m = 0; m < sums.size() && !second_weights.empty(); ++m) {
      sum += second_weights[m + 1] * sums[m].nll_change;
    }
    return sum;
  }

  // Whether some point changes the NLL by more than policy::kCurvatureOverNoise
  // times its rounding.
  bool resolved(double noise) const {
    for (const ShapePointSums& point : sums) {
      if (std::abs(point.nll_change) > policy::kCurvatureOverNoise * noise) return true;
    }
    return false;
  }
  // No point: every derivative along the axis is 0.
  void clear() {
    offsets.clear();
    first_weights.clear();
    second_weights.clear();
    sums.clear();
  }

  // Whether a one-sided axis's curvature from its first two points agrees
  // with the one from all three within kOneSidedAgreement: the first is
  // exact to the quadratic term, the second to the cubic, so their gap
  // measures what the shorter stencil misses. A central axis always agrees.
  bool agrees() const {
    if (central || offsets.size() < 3) return true;
    const std::vector<double> nodes{0.0, offsets[0], offsets[1]};
    const std::vector<double> weights = stencil_weights(nodes, 2);
    const double shorter = weights[1] * sums[0].nll_change + weights[2] * sums[1].nll_change;
    const double longer = curvature();
    return std::abs(shorter - longer) <= kOneSidedAgreement * std::abs(longer);
  }

  // The central stencil is exact up to the fifth-degree term, the one-sided
  // one up to the degree its points allow (the cubic with three).
  std::vector<Tap> first_derivative() const {
    if (central) {
      return {{step, 2.0 / (3.0 * step), 0},
              {-step, -2.0 / (3.0 * step), 1},
              {step + step, -1.0 / (12.0 * step), 2},
              {-(step + step), 1.0 / (12.0 * step), 3}};
    }
    std::vector<Tap> taps;
    if (first_weights.empty()) return taps;
    taps.push_back({0.0, first_weights[0], -1});
    for (std::size_t m = 0; m < offsets.size(); ++m) {
      taps.push_back({offsets[m], first_weights[m + 1], static_cast<int>(m)});
    }
    return taps;
  }
};

// A one-sided stencil is not extrapolated: its step is this fraction of the
// central one, a hundredth of an error.
constexpr double kOneSidedStepRatio = 0.1;

// Central when the box holds t +- 2h; otherwise one-sided towards the
// roomier side, three steps of at most h kOneSidedStepRatio, each point
// formed inside the box.
Axis place(double value, std::pair<double, double> bound, double h) {
  const StencilPoints points = stencil_points(value, h, bound, 2, h * kOneSidedStepRatio, 3);
  Axis axis;
  axis.step = h;
  if (points.central) return axis;
  axis.central = false;
  axis.offsets = points.offsets;
  if (axis.offsets.empty()) return axis;
  std::vector<double> nodes{0.0};
  nodes.insert(nodes.end(), axis.offsets.begin(), axis.offsets.end());
  axis.first_weights = stencil_weights(nodes, 1);
  if (nodes.size() >= 3) axis.second_weights = stencil_weights(nodes, 2);
  return axis;
}

// kStepPerError of the error sqrt(event_unit / curvature), at most
// `largest`; `fallback` when the curvature gives no scale.
double step_for(double curvature, double event_unit, double fallback, double largest) {
  if (!(curvature > 0.0) || !std::isfinite(curvature)) return fallback;
  return std::min(kStepPerError * std::sqrt(event_unit / curvature), largest);
}

// The likelihood's sums at points near the fitted shape values, moved along
// at most two parameters at a time.
class ShapePoints {
 public:
  ShapePoints(std::span<const double> shape_values,
              std::span<const std::pair<double, double>> bounds, const ShapeSteps& steps,
              const ShapePointFunction& sums_at, std::span<const double> known_curvature,
              std::span<std::vector<double>> scores)
      : shape_values_(shape_values),
        bounds_(bounds),
        steps_(steps),
        sums_at_(sums_at),
        known_curvature_(known_curvature),
        scores_(scores),
        point_(shape_values.begin(), shape_values.end()) {}

  // The sums at the fitted point moved by the given offsets along i and j.
  std::expected<ShapePointSums, SPlotError> moved(std::size_t i, double offset_i, std::size_t j,
                                                  double offset_j, ScoreTap tap = {}) {
    point_[i] = shape_values_[i] + offset_i;
    point_[j] = shape_values_[j] + offset_j;
    auto sums = sums_at_(point_, tap);
    point_[i] = shape_values_[i];
    point_[j] = shape_values_[j];
    return sums;
  }

  // The points along parameter j for the step h, placed inside its bounds.
  std::expected<Axis, SPlotError> axis_at(std::size_t j, double h) {
    Axis axis = place(shape_values_[j], bounds_[j], h);
    const std::vector<Tap> taps = axis.first_derivative();
    bool first = true;
    for (int m = 0; m < axis.point_count(); ++m) {
      ScoreTap tap;
      const auto used = std::ranges::find(taps, m, &Tap::point);
      if (!scores_.empty() && used != taps.end()) {
        tap = {&scores_[j], used->weight, first};
        first = false;
      }
      auto sums = moved(j, axis.offset(m), j, axis.offset(m), tap);
      if (!sums) return std::unexpected(std::move(sums.error()));
      axis.sums.push_back(std::move(*sums));
    }
    return axis;
  }

  // The axis of parameter j at the step its own curvature asks for: probed,
  // placed, and placed again when the curvature found there moves the step
  // by more than kRefineFactor.
  std::expected<Axis, SPlotError> fitted_axis(std::size_t j) {
    const double probe_step = steps_.gradient[j];
    const double largest = steps_.scales[j] * policy::kLargestStepPerScale;
    auto guess = curvature_guess(j, probe_step);
    if (!guess) return std::unexpected(std::move(guess.error()));
    const double first = step_for(*guess, steps_.event_unit, probe_step, largest);
    auto found = axis_at(j, first);
    if (!found) return found;
    const double refined = step_for(found->curvature(), steps_.event_unit, first, largest);
    const bool moved_much = refined > first * kRefineFactor || refined * kRefineFactor < first;
    if (moved_much) found = axis_at(j, refined);
    // A parameter the data barely fix has an error far longer than the
    // length over which the PDFs change with it (a width known to 10 times
    // its value): a tenth of the error is then no short step. A central
    // stencil's extrapolation absorbs that; a one-sided one, which has no
    // second step to extrapolate from, is shortened until its points agree.
    for (int shrink = 0; found && shrink < kMaxOneSidedShrinks && !found->agrees(); ++shrink) {
      found = axis_at(j, found->step * kOneSidedShrink);
    }
    // A box too narrow for the NLL to change beyond its rounding holds the
    // parameter: what its points show is rounding, and it gets no row.
    if (found && !found->central && !found->resolved(steps_.noise)) found->clear();
    return found;
  }

  // A first estimate of the curvature along j: the second difference the
  // caller already knows, or one probe at the gradient's step.
  std::expected<double, SPlotError> curvature_guess(std::size_t j, double probe_step) {
    if (j < known_curvature_.size() && known_curvature_[j] > 0.0) return known_curvature_[j];
    const Axis probe = place(shape_values_[j], bounds_[j], probe_step);
    if (probe.point_count() == 0) return std::numeric_limits<double>::quiet_NaN();
    const double offset = probe.offset(0);
    auto probed = moved(j, offset, j, offset);
    if (!probed) return std::unexpected(std::move(probed.error()));
    return probed->squared_log_change / (offset * offset);
  }

  // d^2 NLL / d t_i d t_j from the axes' points and as few new ones as the
  // stencils allow.
  std::expected<double, SPlotError> mixed_derivative(std::size_t i, const Axis& along_i,
                                                     std::size_t j, const Axis& along_j) {
    if (along_i.central && along_j.central) {
      // Two new points per step; the axis points cancel the pure second
      // derivatives.
      auto near = diagonal_difference(i, along_i, j, along_j, false);
      if (!near) return near;
      auto far = diagonal_difference(i, along_i, j, along_j, true);
      if (!far) return far;
      return extrapolated(*near, *far);
    }
    // The product of the two first-derivative stencils; values with one
    // offset 0 lie on an axis, those with both 0 are the fitted point.
    double mixed = 0.0;
    for (const Tap& tap_i : along_i.first_derivative()) {
      for (const Tap& tap_j : along_j.first_derivative()) {
        double change = 0.0;
        if (tap_i.point < 0 && tap_j.point < 0) continue;
        if (tap_i.point < 0) {
          change = along_j.sums[static_cast<std::size_t>(tap_j.point)].nll_change;
        } else if (tap_j.point < 0) {
          change = along_i.sums[static_cast<std::size_t>(tap_i.point)].nll_change;
        } else {
          auto sums = moved(i, tap_i.offset, j, tap_j.offset);
          if (!sums) return std::unexpected(std::move(sums.error()));
          change = sums->nll_change;
        }
        mixed += tap_i.weight * tap_j.weight * change;
      }
    }
    return mixed;
  }

  // (f(+a,+b) + f(-a,-b) - f(+-a, 0) - f(0, +-b)) / (2 a b) with a and b
  // the axes' steps (`doubled` false) or twice them, whose axis points exist.
  std::expected<double, SPlotError> diagonal_difference(std::size_t i, const Axis& along_i,
                                                        std::size_t j, const Axis& along_j,
                                                        bool doubled) {
    const double step_i = doubled ? along_i.step + along_i.step : along_i.step;
    const double step_j = doubled ? along_j.step + along_j.step : along_j.step;
    auto plus = moved(i, step_i, j, step_j);
    if (!plus) return std::unexpected(std::move(plus.error()));
    auto minus = moved(i, -step_i, j, -step_j);
    if (!minus) return std::unexpected(std::move(minus.error()));
    const std::size_t first = doubled ? 2 : 0;
    const double sum = plus->nll_change + minus->nll_change - along_i.sums[first].nll_change -
                       along_i.sums[first + 1].nll_change - along_j.sums[first].nll_change -
                       along_j.sums[first + 1].nll_change;
    return sum / (2.0 * step_i * step_j);
  }

 private:
  std::span<const double> shape_values_;
  std::span<const std::pair<double, double>> bounds_;
  const ShapeSteps& steps_;
  const ShapePointFunction& sums_at_;
  std::span<const double> known_curvature_;
  std::span<std::vector<double>> scores_;
  std::vector<double> point_;
};

// The gradient, the yield-shape block and the diagonal of the shape-shape
// block, all from the points along the axes.
ShapeDerivatives axis_derivatives(std::span<const Axis> axes,
                                  std::span<const double> reference_yield_sums) {
  const std::size_t n_components = reference_yield_sums.size();
  const auto p_index = static_cast<Eigen::Index>(axes.size());
  ShapeDerivatives out;
  out.gradient = Vector::Zero(p_index);
  out.yield_shape = Matrix::Zero(static_cast<Eigen::Index>(n_components), p_index);
  out.shape_shape = Matrix::Zero(p_index, p_index);
  for (std::size_t j = 0; j < axes.size(); ++j) {
    const auto col = static_cast<Eigen::Index>(j);
    const Axis& axis = axes[j];
    // Changes from the fitted point, which the stencil's weights (summing
    // to 0) leave out: a sum of the S_a themselves would round them in and
    // give a parameter that changes nothing a cross term of that rounding
    // over the step.
    for (const Tap& tap : axis.first_derivative()) {
      if (tap.point < 0) continue;
      const ShapePointSums& sums = axis.sums[static_cast<std::size_t>(tap.point)];
      out.gradient[col] += tap.weight * sums.nll_change;
      for (std::size_t a = 0; a < n_components; ++a) {
        out.yield_shape(static_cast<Eigen::Index>(a), col) -=
            tap.weight * (sums.yield_sums[a] - reference_yield_sums[a]);
      }
    }
    out.shape_shape(col, col) = axis.curvature();
  }
  return out;
}

}  // namespace

std::expected<ShapeDerivatives, SPlotError> shape_derivatives(
    std::span<const double> shape_values, std::span<const std::pair<double, double>> bounds,
    const ShapeSteps& steps, std::span<const double> reference_yield_sums,
    const ShapePointFunction& sums_at, std::span<const double> known_curvature,
    std::span<std::vector<double>> scores) {
  const std::size_t n_shape = shape_values.size();
  if (bounds.size() != n_shape || steps.scales.size() != n_shape ||
      steps.gradient.size() != n_shape) {
    internal_error("shape bounds or steps do not match the shape parameters");
  }
  if (!scores.empty() && scores.size() != n_shape) {
    internal_error("scores do not match the shape parameters");
  }
  ShapePoints points(shape_values, bounds, steps, sums_at, known_curvature, scores);

  std::vector<Axis> axes;
  axes.reserve(n_shape);
  for (std::size_t j = 0; j < n_shape; ++j) {
    auto axis = points.fitted_axis(j);
    if (!axis) return std::unexpected(std::move(axis.error()));
    axes.push_back(std::move(*axis));
  }

  ShapeDerivatives out = axis_derivatives(axes, reference_yield_sums);
  for (std::size_t i = 0; i < n_shape; ++i) {
    for (std::size_t j = i + 1; j < n_shape; ++j) {
      auto mixed = points.mixed_derivative(i, axes[i], j, axes[j]);
      if (!mixed) return std::unexpected(std::move(mixed.error()));
      const auto row = static_cast<Eigen::Index>(i);
      const auto col = static_cast<Eigen::Index>(j);
      out.shape_shape(row, col) = *mixed;
      out.shape_shape(col, row) = *mixed;
    }
  }
  return out;
}

}  // namespace tarnwex
