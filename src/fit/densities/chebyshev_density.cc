#include "fit/densities/chebyshev_density.h"

#include <cmath>
#include <utility>

#include "fit/core/text/format.h"

namespace tarnwex::densities {

std::expected<ChebyshevDensity, std::string> ChebyshevDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.empty()) {
    return std::unexpected(std::string("the Chebyshev density needs at least one coefficient"));
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!std::isfinite(arguments[i])) {
      std::string text = "a";
      text += std::to_string(i + 1);
      text += " must be finite, got ";
      text += format_double(arguments[i]);
      return std::unexpected(std::move(text));
    }
  }
  const std::size_t degree = arguments.size();
  std::vector<double> integrals(degree, 0.0);
  double integral = 2.0;
  for (std::size_t i = 2; i <= degree; i += 2) {
    const double order = static_cast<double>(i);
    integrals[i - 1] = 2.0 / (1.0 - order * order);
    integral += arguments[i - 1] * integrals[i - 1];
  }
  const double width = hi - lo;
  const double norm = 0.5 * width * integral;
  if (!(integral > 0.0) || !std::isfinite(norm)) {
    return std::unexpected(
        "the Chebyshev coefficients must give the polynomial a positive integral over the range, got " +
        format_double(norm));
  }
  ChebyshevDensity density;
  density.lo_ = lo;
  density.hi_ = hi;
  density.inverse_width_ = 1.0 / width;
  density.inverse_norm_ = 1.0 / norm;
  density.coefficients_.reserve(degree + 1);
  density.coefficients_.push_back(1.0);
  density.coefficients_.insert(density.coefficients_.end(), arguments.begin(), arguments.end());
  density.integral_shares_.resize(degree);
  for (std::size_t i = 0; i < degree; ++i) density.integral_shares_[i] = integrals[i] / integral;
  return density;
}

namespace {

// P(u) = sum_{k=0..d} a_k T_k(u) by Clenshaw's recurrence in Reinsch's
// form. The plain recurrence, b_k = a_k + 2 u b_{k+1} - b_{k+2},
// P = a_0 + u b_1 - b_2, loses precision towards u = +-1, where its errors
// grow like d^2, and u = 2 t - 1 itself carries an absolute error of an
// ulp of 1 there, which is all of P where P vanishes at an end of the
// range. Reinsch's form takes e = u - 1 = -2 s on the upper half (u >= 0)
// and e = u + 1 = 2 t on the lower, from s = (hi - x) / w and t = (x - lo) / w
// formed from x directly, and carries the differences
// D_k = b_k - sigma b_{k+1}, sigma = +1 on the upper half and -1 on the lower:
//   D_k = a_k + 2 e b_{k+1} + sigma D_{k+1},  b_k = D_k + sigma b_{k+1},
//   P = (a_0 + sigma D_1) + e b_1.
// Its errors scale with the distance from the nearer end, and over the
// whole range they stay within those of the plain recurrence (a few ulp of
// sum |a_k| at degree 30, as at degree 100). One form for both halves, with
// sigma and e chosen without a branch, keeps events in random order from
// mispredicting it.
double clenshaw(const double* a, std::size_t degree, double t, double s) {
  // sigma from the sign bit of t - s, and upper = 1 on the upper half, 0 on
  // the lower: the products with it and the sums with 0 are exact, so this
  // selects e without a jump (a conditional, or a comparison turned into a
  // number, is compiled into one).
  const double sigma = std::copysign(1.0, t - s);
  const double upper = 0.5 * (1.0 + sigma);
  const double twice_e = upper * (-4.0 * s) + (1.0 - upper) * (4.0 * t);
  double b = 0.0;
  double difference = 0.0;
  for (std::size_t k = degree; k >= 1; --k) {
    difference = a[k] + twice_e * b + sigma * difference;
    b = difference + sigma * b;
  }
  return (a[0] + sigma * difference) + 0.5 * twice_e * b;
}

}  // namespace

void ChebyshevDensity::evaluate(std::span<const double> x, double* values,
                                std::span<double* const> derivatives) const {
  const std::size_t degree = coefficients_.size() - 1;
  const double* a = coefficients_.data();
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double inverse_norm = inverse_norm_;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double xi = x[i];
    if (!(xi >= lo && xi <= hi)) {
      values[i] = 0.0;
      continue;
    }
    const double t = (xi - lo) * inverse_width;
    const double s = (hi - xi) * inverse_width;
    values[i] = clenshaw(a, degree, t, s) * inverse_norm;
  }
  derivatives_from_values(x, values, derivatives);
}

void ChebyshevDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                               std::span<double* const> derivatives) const {
  bool any = false;
  for (double* d : derivatives) any = any || d != nullptr;
  if (!any) return;
  const std::size_t degree = coefficients_.size() - 1;
  const double* shares = integral_shares_.data();
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double inverse_norm = inverse_norm_;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double xi = x[i];
    if (!(xi >= lo && xi <= hi)) {
      for (double* d : derivatives) {
        if (d != nullptr) d[i] = 0.0;
      }
      continue;
    }
    const double u = (xi - lo) * inverse_width - (hi - xi) * inverse_width;
    // df/da_k = T_k(u) / N - f I_k / I, the T_k by their three-term
    // recurrence, whose errors stay within k^2 ulp.
    const double f = values[i];
    double previous = 1.0;
    double current = u;
    for (std::size_t k = 1; k <= degree; ++k) {
      if (derivatives[k - 1] != nullptr) {
        derivatives[k - 1][i] = current * inverse_norm - f * shares[k - 1];
      }
      const double next = 2.0 * u * current - previous;
      previous = current;
      current = next;
    }
  }
}

}  // namespace tarnwex::densities
