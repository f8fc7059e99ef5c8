#include "fit/densities/exponential_density.h"

#include <cmath>
#include <limits>

#include "fit/batch_exp/batch_exp.h"
#include "fit/core/text/format.h"

namespace tarnwex::densities {

namespace {

// z / (1 - exp(-z)) for z >= 0: a w times the density at its largest end.
// Below 1e-8 the next term, z^2 / 12, lies under half an ulp of 1, and the
// quotient itself would be 0 / 0 at z = 0.
double largest_end_factor(double z) {
  if (z < 1e-8) return 1.0 + 0.5 * z;
  return z / -std::expm1(-z);
}

// 1/z - 1/(exp(z) - 1) for z >= 0, the mean distance from the largest end
// in units of w, as a leading part and a rest. The slope derivative is f
// times the mean less d, which passes through 0; formed as
// (leading w - d) + rest w it keeps its relative precision there.
//
// Below z = 1/2 the leading part is the value 1/2 at slope 0 and the rest,
// small against it, comes from the Taylor series -sum_k B_2k z^(2k-1) / (2k)!,
// whose ninth term is below 1e-19 there (the direct form would lose about
// 2 eps / z to cancellation). From z = 1/2 on the mean is kept whole: at
// steep slopes it is a small part of w, and splitting off w/2 would cancel.
struct MeanDistance {
  double leading;
  double rest;
};

MeanDistance mean_distance(double z) {
  if (z >= 0.5) return {1.0 / z - 1.0 / std::expm1(z), 0.0};
  constexpr double k1 = -1.0 / 12.0;
  constexpr double k2 = 1.0 / 720.0;
  constexpr double k3 = -1.0 / 30240.0;
  constexpr double k4 = 1.0 / 1209600.0;
  constexpr double k5 = -1.0 / 47900160.0;
  constexpr double k6 = 691.0 / 1307674368000.0;
  constexpr double k7 = -1.0 / 74724249600.0;
  constexpr double k8 = 3617.0 / 10670622842880000.0;
  const double z2 = z * z;
  double sum = k8;
  sum = sum * z2 + k7;
  sum = sum * z2 + k6;
  sum = sum * z2 + k5;
  sum = sum * z2 + k4;
  sum = sum * z2 + k3;
  sum = sum * z2 + k2;
  sum = sum * z2 + k1;
  return {0.5, sum * z};
}

}  // namespace

std::expected<ExponentialDensity, std::string> ExponentialDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.size() != 1) {
    return std::unexpected("the exponential density takes one argument (slope), got " +
                           std::to_string(arguments.size()));
  }
  const double slope = arguments[0];
  if (!std::isfinite(slope)) return std::unexpected("slope must be finite, got " + format_double(slope));
  ExponentialDensity density;
  density.lo_ = lo;
  density.hi_ = hi;
  density.slope_ = slope;
  density.rate_ = std::fabs(slope);
  density.rising_ = slope > 0.0;
  const double width = hi - lo;
  const double z = density.rate_ * width;
  // a / (1 - exp(-z)) directly where z is not tiny, so that a huge a w that
  // overflows to inf still gives a.
  density.scale_ = z < 1e-8 ? largest_end_factor(z) / width : density.rate_ / -std::expm1(-z);
  const MeanDistance mean = mean_distance(z);
  density.mean_leading_ = width * mean.leading;
  density.mean_rest_ = width * mean.rest;
  return density;
}

void ExponentialDensity::evaluate(std::span<const double> x, double* values,
                                  std::span<double* const> derivatives) const {
  const std::size_t n = x.size();
  const double lo = lo_;
  const double hi = hi_;
  const double rate = rate_;
  const double scale = scale_;
  // Measured from the largest end: d = hi - x for a rising slope, x - lo
  // otherwise. Both differences are exact for x within a factor 2 of that
  // end, and otherwise off by half an ulp of d, which moves the value by at
  // most a d eps / 2 relative, below 4e-14 wherever it is a normal number.
  const double anchor = rising_ ? hi : lo;
  const double sign = rising_ ? -1.0 : 1.0;  // d = sign * (x - anchor)
  double* slope_derivative = derivatives.empty() ? nullptr : derivatives[0];
  // The exponents first, then one exp_array over them in place: outside the
  // range the exponent is -inf, whose exponential is 0.
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
    values[i] = xi >= lo && xi <= hi ? -rate * (sign * (xi - anchor))
                                     : -std::numeric_limits<double>::infinity();
  }
  exp_array(values, values, n);
  for (std::size_t i = 0; i < n; ++i) values[i] = scale * values[i];
  if (slope_derivative == nullptr) return;
  derivatives_from_values(x, values, derivatives);
}

void ExponentialDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                                 std::span<double* const> derivatives) const {
  double* slope_derivative = derivatives.empty() ? nullptr : derivatives[0];
  if (slope_derivative == nullptr) return;
  const double anchor = rising_ ? hi_ : lo_;
  const double sign = rising_ ? -1.0 : 1.0;
  // df/dslope = f (d - mean) for a falling slope, f (mean - d) for a rising
  // one; at slope 0 both read f (x - (lo + hi) / 2). 0 outside the range,
  // where f is.
  const double orientation = rising_ ? 1.0 : -1.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double xi = x[i];
    const bool inside = xi >= lo_ && xi <= hi_;
    const double d = sign * ((inside ? xi : anchor) - anchor);
    slope_derivative[i] =
        inside ? orientation * values[i] * ((mean_leading_ - d) + mean_rest_) : 0.0;
  }
}

}  // namespace tarnwex::densities
