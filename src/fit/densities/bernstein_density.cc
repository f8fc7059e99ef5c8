#include "fit/densities/bernstein_density.h"

#include <cmath>
#include <utility>

#include "fit/core/text/format.h"

namespace tarnwex::densities {

namespace {

// The largest degree whose binomial coefficients are all well inside the
// double range (binom(1000, 500) is about 2.7e299).
constexpr std::size_t kDirectDegree = 1000;

}  // namespace

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
  density.direct_ = degree <= kDirectDegree;
  if (density.direct_) {
    density.binomials_.resize(degree + 1);
    density.weights_.resize(degree + 1);
    double binomial = 1.0;
    for (std::size_t i = 0; i <= degree; ++i) {
      density.binomials_[i] = binomial;
      density.weights_[i] = arguments[i] * binomial;
      binomial = binomial * static_cast<double>(degree - i) / static_cast<double>(i + 1);
    }
  } else {
    density.up_.resize(degree + 1);
    density.down_.resize(degree + 1);
    for (std::size_t i = 0; i <= degree; ++i) {
      density.up_[i] = static_cast<double>(degree - i) / static_cast<double>(i + 1);
      density.down_[i] = static_cast<double>(i) / static_cast<double>(degree - i + 1);
    }
  }
  return density;
}

namespace {

// Beyond degree 1030 binom(d, d/2) exceeds the double range; from degree
// 1001 on the basis is walked from its larger end instead (walk_basis).
// A data-dependent branch per event, which events in random order
// mispredict half the time, is no cost worth avoiding at such degrees.
//
// The walk: the basis polynomials b_{k,d} at t, each passed to
// visit(k, b_k), from the end of [0, 1] that x is nearer: from
// b_0 = (1 - t)^d upwards when t <= 1/2, from b_d = t^d downwards
// otherwise, each from its neighbour through a ratio of at most d times the
// one of t to 1 - t, which is at most 1. The starting power, at least
// 2^-d, lies below the smallest double from d = 1075 on, so the walk keeps
// a binary exponent apart from a mantissa held between 2^-512 and 2^512
// (scaling by a power of 2 is exact) and passes each b_k in full: those
// below the double range come out as 0, against basis polynomials that sum
// to 1.
template <class Visit>
void walk_basis(std::size_t degree, const double* up, const double* down, double t, double s,
                Visit&& visit) {
  constexpr double kLow = 0x1p-512;
  constexpr double kHigh = 0x1p512;
  int exponent = 0;
  const auto keep_in_range = [&](double& mantissa) {
    if (mantissa < kLow || mantissa > kHigh) {
      int shift = 0;
      mantissa = std::frexp(mantissa, &shift);
      exponent += shift;
    }
  };
  const bool from_low = t <= s;
  const double base = from_low ? s : t;
  const double ratio = from_low ? t / s : s / t;
  double basis = 1.0;
  for (std::size_t k = 0; k < degree; ++k) {
    basis *= base;
    keep_in_range(basis);
  }
  for (std::size_t step = 0; step <= degree; ++step) {
    const std::size_t k = from_low ? step : degree - step;
    visit(k, std::ldexp(basis, exponent));
    basis *= (from_low ? up[k] : down[k]) * ratio;
    keep_in_range(basis);
  }
}

}  // namespace

// t and s = 1 - t are both formed from x directly, so that each keeps its
// relative precision at its own end of the range. Up to kDirectDegree the
// polynomial is the homogeneous Horner sum
//   p_0 = c_0 binom(d, 0),  p_k = p_{k-1} s + c_k binom(d, k) t^k,  B = p_d,
// O(d) per event like Horner's rule (against O(d^2) for de Casteljau's),
// with neither a division nor a branch. Each term c_k b_k then carries
// about 2 d ulp, and with coefficients of one sign so does the sum. A power
// of t or s that underflows belongs to a term that is itself below the
// smallest normal number times a binomial coefficient.
void BernsteinDensity::evaluate(std::span<const double> x, double* values,
                                std::span<double* const> derivatives) const {
  const std::size_t degree = coefficients_.size() - 1;
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double scale = scale_;
  if (direct_) {
    const double* weights = weights_.data();
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double xi = x[i];
      const bool inside = xi >= lo && xi <= hi;
      const double t = (xi - lo) * inverse_width;
      const double s = (hi - xi) * inverse_width;
      double power = 1.0;
      double sum = weights[0];
      for (std::size_t k = 1; k <= degree; ++k) {
        power *= t;
        sum = sum * s + weights[k] * power;
      }
      values[i] = inside ? scale * sum : 0.0;
    }
  } else {
    const double* c = coefficients_.data();
    const double* up = up_.data();
    const double* down = down_.data();
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double xi = x[i];
      if (!(xi >= lo && xi <= hi)) {
        values[i] = 0.0;
        continue;
      }
      const double t = (xi - lo) * inverse_width;
      const double s = (hi - xi) * inverse_width;
      double sum = 0.0;
      walk_basis(degree, up, down, t, s, [&](std::size_t k, double basis) { sum += c[k] * basis; });
      values[i] = scale * sum;
    }
  }
  derivatives_from_values(x, values, derivatives);
}

void BernsteinDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                               std::span<double* const> derivatives) const {
  bool any = false;
  for (double* d : derivatives) any = any || d != nullptr;
  if (!any) return;
  const std::size_t degree = coefficients_.size() - 1;
  const double lo = lo_;
  const double hi = hi_;
  const double inverse_width = inverse_width_;
  const double scale = scale_;
  const double inverse_sum = inverse_sum_;
  const double* binomials = binomials_.data();
  const double* up = up_.data();
  const double* down = down_.data();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double xi = x[i];
    if (!(xi >= lo && xi <= hi)) {
      for (double* d : derivatives) {
        if (d != nullptr) d[i] = 0.0;
      }
      continue;
    }
    const double t = (xi - lo) * inverse_width;
    const double s = (hi - xi) * inverse_width;
    // df/dc_k = (d + 1) / (w S) b_k - f / S: the basis polynomial itself
    // less its share of the normalisation.
    const double share = values[i] * inverse_sum;
    if (direct_) {
      // binom(d, k) t^k upwards, then times s^(d - k) downwards.
      double power = 1.0;
      for (std::size_t k = 0; k <= degree; ++k) {
        if (derivatives[k] != nullptr) derivatives[k][i] = binomials[k] * power;
        power *= t;
      }
      power = 1.0;
      for (std::size_t k = degree + 1; k-- > 0;) {
        if (derivatives[k] != nullptr) derivatives[k][i] = scale * (derivatives[k][i] * power) - share;
        power *= s;
      }
    } else {
      walk_basis(degree, up, down, t, s, [&](std::size_t k, double basis) {
        if (derivatives[k] != nullptr) derivatives[k][i] = scale * basis - share;
      });
    }
  }
}

}  // namespace tarnwex::densities
