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

// P(u) = sum_{k=0..d} a_k T_k(u) by Clenshaw's recurrence,
// b_k = a_k + 2 u b_{k+1} - b_{k+2}, P = a_0 + u b_1 - b_2. Towards u = +-1
// its rounding errors grow like d^2, and u itself carries an absolute error
// of an ulp of 1, which is all of P where P vanishes at the end of the
// range. There Reinsch's form is used: with e = u - 1 = -2 s (u > 1/2) or
// e = u + 1 = 2 t (u < -1/2), s = (hi - x) / w and t = (x - lo) / w formed
// from x directly, it carries the differences D_k = b_k -+ b_{k+1},
//   D_k = a_k + 2 e b_{k+1} +- D_{k+1},  b_k = D_k +- b_{k+1},
//   P = (a_0 +- D_1) + e b_1,
// whose errors grow only like d and scale with the distance from the end.
double clenshaw(const double* a, std::size_t degree, double t, double s) {
  if (t < 0.25) {
    const double e = 2.0 * t;
    double b = 0.0;
    double difference = 0.0;
    for (std::size_t k = degree; k >= 1; --k) {
      difference = a[k] + 2.0 * e * b - difference;
      b = difference - b;
    }
    return (a[0] - difference) + e * b;
  }
  if (s < 0.25) {
    const double e = -2.0 * s;
    double b = 0.0;
    double difference = 0.0;
    for (std::size_t k = degree; k >= 1; --k) {
      difference = a[k] + 2.0 * e * b + difference;
      b = difference + b;
    }
    return (a[0] + difference) + e * b;
  }
  const double u = t - s;
  const double twice_u = 2.0 * u;
  double b1 = 0.0;
  double b2 = 0.0;
  for (std::size_t k = degree; k >= 1; --k) {
    const double b0 = a[k] + twice_u * b1 - b2;
    b2 = b1;
    b1 = b0;
  }
  return (a[0] + u * b1) - b2;
}

}  // namespace

void ChebyshevDensity::evaluate(std::span<const double> x, double* values,
                                std::span<double* const> derivatives) const {
  const std::size_t n = x.size();
  const std::size_t degree = coefficients_.size() - 1;
  const double* a = coefficients_.data();
  const double* shares = integral_shares_.data();
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double inverse_norm = inverse_norm_;
  const bool with_derivatives = !derivatives.empty();
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
    if (!(xi >= lo && xi <= hi)) {
      values[i] = 0.0;
      if (with_derivatives) {
        for (double* d : derivatives) {
          if (d != nullptr) d[i] = 0.0;
        }
      }
      continue;
    }
    const double t = (xi - lo) * inverse_width;
    const double s = (hi - xi) * inverse_width;
    const double p = clenshaw(a, degree, t, s);
    values[i] = p * inverse_norm;
    if (with_derivatives) {
      // df/da_k = (T_k(u) - P(u) I_k / I) / N, the T_k by their three-term
      // recurrence, whose errors stay within k^2 ulp.
      const double u = t - s;
      double previous = 1.0;
      double current = u;
      for (std::size_t k = 1; k <= degree; ++k) {
        if (derivatives[k - 1] != nullptr) {
          derivatives[k - 1][i] = (current - p * shares[k - 1]) * inverse_norm;
        }
        const double next = 2.0 * u * current - previous;
        previous = current;
        current = next;
      }
    }
  }
}

}  // namespace tarnwex::densities
