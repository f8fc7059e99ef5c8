#include "fit/densities/argus_density.h"

#include <algorithm>
#include <cmath>

#include "fit/core/text/format.h"

namespace tarnwex::densities {

// The normalisation and the means that the derivatives need are integrals
//
//   M_nu = integral over [y1, y2] of y^nu exp(c (y - y_ref)) dy,  nu = 1/2, 3/2,
//
// with y1 = y_hi, y2 = y_lo and y_ref = y2 for c >= 0, y1 for c < 0. Their
// closed forms go through erf for c < 0 and Dawson's function for c > 0,
// and both lose digits wherever their terms nearly cancel: for small |c|
// (the two halves of an integration by parts), and for an interval whose
// two ends give nearly the same integral from 0. The functions below are
// the same integrals written so that every sum has terms of one sign:
//
//   K_nu(z) = int_0^1 (1 - s)^nu exp(-z s) ds = exp(-z) sum_n z^n / (n! (n + nu + 1)),
//   H_nu(-q) = int_0^1 u^nu exp(-q u) du = exp(-q) sum_n q^n / ((nu + 1) ... (nu + n + 1)),
//   U_nu(q) = int_0^inf (1 + s)^nu exp(-q s) ds,
//
// (for nu = 1/2, K is (1 - D(sqrt z) / sqrt z) / z with D Dawson's function,
// H is sqrt(pi) erf(sqrt q) / (2 q^(3/2)) - exp(-q) / q, and U is
// 1 / q + sqrt(pi) exp(q) erfc(sqrt q) / (2 q^(3/2))), and the interval is
// split among them so that the difference of the two ends keeps all but a
// few bits (see integrals()).

namespace {

constexpr double kHalf = 0.5;
constexpr double kThreeHalves = 1.5;

// Past this argument the series of K and H take more than a couple of
// hundred terms, and their asymptotic forms are exact to double precision:
// what those leave out is of order exp(-50) against their size.
constexpr double kSeriesReach = 50.0;
constexpr int kMaxTerms = 1000;
// A term below this fraction of the sum no longer moves it.
constexpr double kNegligible = 1e-18;

// Y^(nu + 1) for nu = 1/2 or 3/2.
double power_above(double y, double nu) {
  const double root = std::sqrt(y);
  return nu == kHalf ? y * root : y * y * root;
}

double gamma_above(double nu) {
  // Gamma(3/2) = sqrt(pi) / 2, Gamma(5/2) = 3 sqrt(pi) / 4.
  return nu == kHalf ? 0.88622692545275801364908374167057 : 1.3293403881791370204736256125059;
}

// U_nu(q) for q >= 1: exp(q) q^-(nu + 1) Gamma(nu + 1, q), by Legendre's
// continued fraction for the upper incomplete gamma function,
//   1 / (q + 1 - a - 1 (1 - a) / (q + 3 - a - 2 (2 - a) / (q + 5 - a - ...))),
// a = nu + 1, evaluated by the modified Lentz method. From q = 1 on it
// converges within a hundred steps to a few ulp.
double tail_moment(double nu, double q) {
  const double a = nu + 1.0;
  constexpr double kTiny = 1e-300;
  double f = q + 1.0 - a;
  if (f == 0.0) f = kTiny;
  double c = f;
  double d = 0.0;
  for (int n = 1; n < kMaxTerms; ++n) {
    const double an = -static_cast<double>(n) * (static_cast<double>(n) - a);
    const double bn = q + 2.0 * static_cast<double>(n) + 1.0 - a;
    d = bn + an * d;
    if (d == 0.0) d = kTiny;
    c = bn + an / c;
    if (c == 0.0) c = kTiny;
    d = 1.0 / d;
    const double delta = c * d;
    f *= delta;
    if (std::fabs(delta - 1.0) < 1e-17) break;
  }
  return 1.0 / f;
}

// K_nu(z) for z >= 0. Beyond kSeriesReach, the asymptotic series
// sum_j (-nu)(1 - nu)...(j - 1 - nu) / z^(j + 1) (Watson's lemma), cut at
// its first term below kNegligible of the sum, long before its terms grow.
double falling_moment(double nu, double z) {
  if (z <= kSeriesReach) {
    double term = 1.0;  // z^n / n!
    double sum = 1.0 / (nu + 1.0);
    for (int n = 1; n < kMaxTerms; ++n) {
      term *= z / n;
      const double add = term / (n + nu + 1.0);
      sum += add;
      if (n > z && add <= kNegligible * sum) break;
    }
    return std::exp(-z) * sum;
  }
  double term = 1.0 / z;
  double sum = term;
  for (int j = 0; j < kMaxTerms; ++j) {
    term *= (j - nu) / z;
    sum += term;
    if (std::fabs(term) <= kNegligible * sum) break;
  }
  return sum;
}

// H_nu(-q) for q >= 0. Beyond kSeriesReach, Gamma(nu + 1) / q^(nu + 1)
// less the part beyond u = 1, exp(-q) U_nu(q).
double damped_moment(double nu, double q) {
  if (q <= kSeriesReach) {
    double term = 1.0 / (nu + 1.0);
    double sum = term;
    for (int n = 1; n < kMaxTerms; ++n) {
      term *= q / (n + nu + 1.0);
      sum += term;
      if (n + nu + 1.0 > q && term <= kNegligible * sum) break;
    }
    return std::exp(-q) * sum;
  }
  return gamma_above(nu) / power_above(q, nu) - std::exp(-q) * tail_moment(nu, q);
}

// int_{-1}^{1} u^j exp(beta u) du = sum over l of the parity of j of
// 2 beta^l / (l! (j + l + 1)): all terms of one sign.
double power_moment(int j, double beta) {
  int l = j % 2;
  double term = l == 0 ? 1.0 : beta;  // beta^l / l!
  double sum = 0.0;
  for (int n = 0; n < kMaxTerms; ++n) {
    const double add = term / (j + l + 1);
    sum += add;
    if (std::fabs(add) <= kNegligible * std::fabs(sum)) break;
    term *= beta * beta / ((l + 1) * (l + 2));
    l += 2;
  }
  return 2.0 * sum;
}

// The interval in y, with x^2 / m0^2 = 1 - y at its ends formed from x, as
// are y and the span: each keeps its relative precision however close x
// comes to m0 and however far m0 lies above the range.
struct Interval {
  double y1 = 0.0;     // y at min(hi, m0)
  double y2 = 1.0;     // y at lo
  double span = 1.0;   // y2 - y1
  double xi1 = 1.0;    // 1 - y1
  double xi2 = 0.0;    // 1 - y2
};

struct Integrals {
  double normalisation = 0.0;  // M_1/2
  double mean_offset = 0.0;    // M_3/2 / M_1/2 - y_ref, the mean of y - y_ref
  // The mean of xi (1 / y + 2 c), xi = 1 - y = x^2 / m0^2: d ln f / d m0 =
  // (xi (1 / y + 2 c) - m0_constant) / m0.
  double m0_constant = 0.0;
};

// int_{-1}^{1} u^k (1 + rho u)^nu exp(beta u) du for k = 0 and 1, by the
// binomial series of (1 + rho u)^nu, rho <= 1/2.
struct MidpointSums {
  double plain = 0.0;
  double first = 0.0;
};

MidpointSums midpoint_sums(double nu, double rho, double beta) {
  MidpointSums sums;
  double binomial = 1.0;
  double power = 1.0;
  for (int j = 0; j < kMaxTerms; ++j) {
    const double weight = binomial * power;
    const double plain = weight * power_moment(j, beta);
    const double first = weight * power_moment(j + 1, beta);
    sums.plain += plain;
    sums.first += first;
    if (j > 1 && std::fabs(plain) <= kNegligible * std::fabs(sums.plain) &&
        std::fabs(first) <= kNegligible * std::fabs(sums.plain)) {
      break;
    }
    binomial *= (nu - j) / (j + 1);
    power *= rho;
    if (power == 0.0) break;
  }
  return sums;
}

// The integrals over [y1, y2]. The cases, with h = span / 2, m = y1 + h,
// rho = h / m, beta = c h:
//
// - rho <= 1/2 and |beta| <= 2 (a short interval, on which the integrand
//   changes little): expanded about the midpoint, y = m + h u,
//     M_nu = h m^nu exp(-|beta|) int_{-1}^{1} (1 + rho u)^nu exp(beta u) du.
//   Both differences of ends below would cancel here. The means come out
//   in u, and the mean of xi / y from the same sums at nu = -1/2 with
//   xi = xi_mid - h u: a far m0 makes xi small against y, and no mean of y
//   could give it to its last digits.
// - c >= 0: the integrals from 0, y2^(nu+1) K_nu(c y2) less the one to y1;
//   at most (y1 / y2)^(nu+1) exp(-c span) (y2 / y1) of the first, a small
//   part outside the short case.
// - c < 0, |c| y1 < 1: the integrals from 0, through H_nu; the mass below
//   y1 is a small part again.
// - c < 0, |c| y1 >= 1: the integrals to infinity, y1^(nu+1) U_nu(|c| y1)
//   less the one from y2, which exp(-|c| span) makes small.
//
// Outside the short case the mean of xi (1 / y + 2 c) comes from an
// integration by parts in y instead: it is 2 + 2 (xi2 g(y2) - xi1 g(y1)) / M_1/2
// with g(y) = sqrt(y) exp(c (y - y_ref)), the ends' motion with m0
// (dy/dm0 = 2 xi / m0) and the 2 of the factor m0^2 in the normalisation.
// It cancels only where xi and |c| xi are small throughout, which is the
// short case.
Integrals integrals(double c, const Interval& in) {
  const double y1 = in.y1;
  const double y2 = in.y2;
  const double span = in.span;
  const double h = 0.5 * span;
  const double m = y1 + h;
  const double rho = h / m;
  const double beta = c * h;
  Integrals result;
  if (rho <= 0.5 && std::fabs(beta) <= 2.0) {
    const MidpointSums above = midpoint_sums(kHalf, rho, beta);
    const MidpointSums below = midpoint_sums(-kHalf, rho, beta);
    result.normalisation = h * std::sqrt(m) * std::exp(-std::fabs(beta)) * above.plain;
    const double mean_u = above.first / above.plain;
    result.mean_offset = c >= 0.0 ? h * (mean_u - 1.0) : h * (mean_u + 1.0);
    const double xi_mid = 0.5 * (in.xi1 + in.xi2);
    const double mean_xi = xi_mid - h * mean_u;
    const double mean_xi_over_y = (xi_mid * below.plain - h * below.first) / (m * above.plain);
    result.m0_constant = mean_xi_over_y + 2.0 * c * mean_xi;
    return result;
  }
  double moments[2];
  const double nus[2] = {kHalf, kThreeHalves};
  double reference;
  if (c >= 0.0) {
    reference = y2;
    const double far = y1 > 0.0 ? std::exp(-c * span) : 0.0;
    for (int i = 0; i < 2; ++i) {
      const double nu = nus[i];
      moments[i] = power_above(y2, nu) * falling_moment(nu, c * y2);
      if (y1 > 0.0) moments[i] -= far * power_above(y1, nu) * falling_moment(nu, c * y1);
    }
  } else {
    reference = y1;
    const double rate = -c;
    if (rate * y1 < 1.0) {
      const double lift = std::exp(rate * y1);
      for (int i = 0; i < 2; ++i) {
        const double nu = nus[i];
        double moment = power_above(y2, nu) * damped_moment(nu, rate * y2);
        if (y1 > 0.0) moment -= power_above(y1, nu) * damped_moment(nu, rate * y1);
        moments[i] = lift * moment;
      }
    } else {
      const double far = std::exp(-rate * span);
      for (int i = 0; i < 2; ++i) {
        const double nu = nus[i];
        moments[i] = power_above(y1, nu) * tail_moment(nu, rate * y1) -
                     far * power_above(y2, nu) * tail_moment(nu, rate * y2);
      }
    }
  }
  result.normalisation = moments[0];
  result.mean_offset = moments[1] / moments[0] - reference;
  // g(y2) and g(y1) relative to exp(c y_ref); y1 = 0 when the range reaches
  // m0, and then its end stays where the integrand vanishes.
  double ends = in.xi2 * std::sqrt(y2) * (c >= 0.0 ? 1.0 : std::exp(c * span));
  if (y1 > 0.0) ends -= in.xi1 * std::sqrt(y1) * (c >= 0.0 ? std::exp(-c * span) : 1.0);
  result.m0_constant = 2.0 + 2.0 * ends / moments[0];
  return result;
}

}  // namespace

std::expected<ArgusDensity, std::string> ArgusDensity::prepare(double lo, double hi,
                                                              std::span<const double> arguments) {
  if (arguments.size() != 2) {
    return std::unexpected("the ARGUS density takes two arguments (m0, c), got " +
                           std::to_string(arguments.size()));
  }
  const double m0 = arguments[0];
  const double c = arguments[1];
  if (!std::isfinite(m0)) return std::unexpected("m0 must be finite, got " + format_double(m0));
  if (!std::isfinite(c)) return std::unexpected("c must be finite, got " + format_double(c));
  if (!(lo >= 0.0)) {
    return std::unexpected("the ARGUS density needs a range that starts at 0 or above, got lo = " +
                           format_double(lo));
  }
  if (!(m0 > lo)) {
    return std::unexpected("m0 must exceed the range's lower end, got " + format_double(m0));
  }
  const double inverse_m0 = 1.0 / m0;
  const double upper = std::min(hi, m0);
  // Each y from x as (m0 - x) (m0 + x) / m0^2, whose factors keep their
  // relative precision up to x = m0, and the span of y likewise from the
  // ends of the range rather than as a difference of two y.
  Interval interval;
  interval.y2 = ((m0 - lo) * inverse_m0) * ((m0 + lo) * inverse_m0);
  interval.y1 = hi < m0 ? ((m0 - hi) * inverse_m0) * ((m0 + hi) * inverse_m0) : 0.0;
  interval.span = ((upper - lo) * inverse_m0) * ((upper + lo) * inverse_m0);
  interval.xi2 = (lo * inverse_m0) * (lo * inverse_m0);
  interval.xi1 = (upper * inverse_m0) * (upper * inverse_m0);
  const Integrals found = integrals(c, interval);
  const double scale = 2.0 / (m0 * found.normalisation);
  if (!(found.normalisation > 0.0) || !std::isfinite(scale)) {
    return std::unexpected("m0 lies too far above the range for the ARGUS density, got " +
                           format_double(m0));
  }
  ArgusDensity density;
  density.lo_ = lo;
  density.hi_ = hi;
  density.m0_ = m0;
  density.inverse_m0_ = inverse_m0;
  density.c_ = c;
  density.reference_ = c >= 0.0 ? lo : upper;
  density.scale_ = scale;
  density.mean_offset_ = found.mean_offset;
  density.m0_constant_ = found.m0_constant;
  return density;
}

void ArgusDensity::evaluate(std::span<const double> x, double* values,
                            std::span<double* const> derivatives) const {
  const std::size_t n = x.size();
  const double lo = lo_;
  const double upper = std::min(hi_, m0_);
  const bool closed = hi_ < m0_;  // x = hi belongs to the support
  const double m0 = m0_;
  const double inverse_m0 = inverse_m0_;
  const double c = c_;
  const double reference = reference_;
  const double scale = scale_;
  double* m0_derivative = derivatives.empty() ? nullptr : derivatives[0];
  double* c_derivative = derivatives.empty() ? nullptr : derivatives[1];
  const bool with_derivatives = m0_derivative != nullptr || c_derivative != nullptr;
  const double mean_offset = mean_offset_;
  const double m0_constant = m0_constant_;
  const double twice_c = 2.0 * c;
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
    const bool inside = xi >= lo && (closed ? xi <= upper : xi < upper);
    if (!inside) {
      values[i] = 0.0;
      if (m0_derivative != nullptr) m0_derivative[i] = 0.0;
      if (c_derivative != nullptr) c_derivative[i] = 0.0;
      continue;
    }
    const double ratio = xi * inverse_m0;
    const double y = ((m0 - xi) * inverse_m0) * ((m0 + xi) * inverse_m0);
    // y - y_ref, formed from x and the reference directly: c times it is
    // the exponent, and its rounding error is a few ulp of itself rather
    // than of y, which matters when |c| y_ref is large.
    const double offset = ((reference - xi) * inverse_m0) * ((reference + xi) * inverse_m0);
    const double f = scale * ratio * std::sqrt(y) * std::exp(c * offset);
    values[i] = f;
    if (!with_derivatives) continue;
    if (c_derivative != nullptr) c_derivative[i] = f * (offset - mean_offset);
    if (m0_derivative != nullptr) {
      const double ratio2 = ratio * ratio;
      m0_derivative[i] = f * ((ratio2 / y + twice_c * ratio2) - m0_constant) * inverse_m0;
    }
  }
}

}  // namespace tarnwex::densities
