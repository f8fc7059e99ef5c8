#include "fit/densities/bernstein_density.h"

#include <cmath>
#include <utility>

#include "fit/core/text/format.h"

namespace tarnwex::densities {

std::expected<BernsteinDensity, std::string> BernsteinDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.empty()) {
    return std::unexpected(std::string("the Bernstein density needs at least one coefficient"));
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!std::isfinite(arguments[i])) {
      std::string text = "c";
      text += std::to_string(i);
      text += " must be finite, got ";
      text += format_double(arguments[i]);
      return std::unexpected(std::move(text));
    }
    sum += arguments[i];
  }
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    return std::unexpected("the Bernstein coefficients must have a positive sum, got " +
                           format_double(sum));
  }
  BernsteinDensity density;
  const std::size_t degree = arguments.size() - 1;
  const double width = hi - lo;
  density.lo_ = lo;
  density.hi_ = hi;
  density.inverse_width_ = 1.0 / width;
  density.scale_ = static_cast<double>(degree + 1) / (width * sum);
  density.inverse_sum_ = 1.0 / sum;
  density.coefficients_.assign(arguments.begin(), arguments.end());
  density.up_.resize(degree + 1);
  density.down_.resize(degree + 1);
  for (std::size_t i = 0; i <= degree; ++i) {
    density.up_[i] = static_cast<double>(degree - i) / static_cast<double>(i + 1);
    density.down_[i] = static_cast<double>(i) / static_cast<double>(degree - i + 1);
  }
  return density;
}

// The basis polynomials are walked from the end of [0, 1] that x is
// nearer: from b_0 = (1 - t)^d upwards when t <= 1/2, from b_d = t^d
// downwards otherwise, each from its neighbour through a ratio of at most
// d times the one of t to 1 - t, which is at most 1. The starting power is
// at least 2^-d, and the walk only shrinks the terms once past the largest
// basis polynomial, so nothing underflows that matters. t and 1 - t are
// both formed from x directly, so that each keeps its relative precision
// at its own end of the range: each b_i is then within about 3 i ulp of its
// value, and with coefficients of one sign the sum is as precise. This is
// the same cost as Horner's rule, O(d) per event, against O(d^2) for de
// Casteljau's, and it yields the basis values the derivatives need.
void BernsteinDensity::evaluate(std::span<const double> x, double* values,
                                std::span<double* const> derivatives) const {
  const std::size_t n = x.size();
  const std::size_t degree = coefficients_.size() - 1;
  const double* c = coefficients_.data();
  const double* up = up_.data();
  const double* down = down_.data();
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double scale = scale_;
  const double inverse_sum = inverse_sum_;
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
    double sum = 0.0;
    if (t <= s) {
      const double ratio = t / s;
      double basis = 1.0;
      for (std::size_t k = 0; k < degree; ++k) basis *= s;
      for (std::size_t k = 0; k <= degree; ++k) {
        sum += c[k] * basis;
        if (with_derivatives && derivatives[k] != nullptr) derivatives[k][i] = basis;
        basis *= up[k] * ratio;
      }
    } else {
      const double ratio = s / t;
      double basis = 1.0;
      for (std::size_t k = 0; k < degree; ++k) basis *= t;
      for (std::size_t k = degree + 1; k-- > 0;) {
        sum += c[k] * basis;
        if (with_derivatives && derivatives[k] != nullptr) derivatives[k][i] = basis;
        basis *= down[k] * ratio;
      }
    }
    values[i] = scale * sum;
    if (with_derivatives) {
      // df/dc_k = (d + 1) / (w S) (b_k - B / S), B the sum: the basis
      // polynomial itself less its share of the normalisation.
      const double share = sum * inverse_sum;
      for (std::size_t k = 0; k <= degree; ++k) {
        if (derivatives[k] != nullptr) derivatives[k][i] = scale * (derivatives[k][i] - share);
      }
    }
  }
}

}  // namespace tarnwex::densities
