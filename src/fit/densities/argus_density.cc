#include "fit/densities/argus_density.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "fit/batch_exp/batch_exp.h"
#include "fit/core/text/format.h"

namespace tarnwex::densities {

// In y = 1 - (x/m0)^2 the normalisation is m0^2 / 2 times
//
//   M_1/2 = integral over [y1, y2] of sqrt(y) exp(c (y - y_ref)) dy,
//
// y1 = y at min(hi, m0), y2 = y at lo, y_ref = y2 for c >= 0 and y1 for
// c < 0, where exp(c y) is largest. The derivatives need two means under
// the density: that of y - y_ref (d ln f / dc = (y - y_ref) - mean), and
// that of xi / y with xi = 1 - y = x^2 / m0^2 (from the factor sqrt(y) and
// the normalisation's m0^2), which come from M_3/2 and M_-1/2 alike.
//
// The closed forms go through erf for c < 0 and Dawson's function for
// c > 0, and lose digits wherever their terms nearly cancel: for small |c|
// (the two halves of an integration by parts) and for an interval whose
// two ends give nearly the same integral from 0. The functions below are
// the same integrals written so that each sum has terms of one sign:
//
//   K_nu(z) = int_0^1 (1 - s)^nu exp(-z s) ds = exp(-z) sum_n z^n / (n! (n + nu + 1)),
//   H_nu(-q) = int_0^1 u^nu exp(-q u) du = exp(-q) sum_n q^n / ((nu + 1) ... (nu + n + 1)),
//   U_nu(q) = int_0^inf (1 + s)^nu exp(-q s) ds,
//
// (at nu = 1/2, K is (1 - D(sqrt z) / sqrt z) / z with D Dawson's function,
// H is sqrt(pi) erf(sqrt q) / (2 q^(3/2)) - exp(-q) / q, and U is
// 1 / q + sqrt(pi) exp(q) erfc(sqrt q) / (2 q^(3/2))), with the first
// moments W and V of the distance s. integrals() splits the interval among
// them so that the difference of its two ends keeps all but a few bits.

namespace {

constexpr double kMinusHalf = -0.5;
constexpr double kHalf = 0.5;
constexpr double kThreeHalves = 1.5;

// Past this argument the series of K and H take more than a couple of
// hundred terms, and their asymptotic forms are exact to double precision:
// what those leave out is of order exp(-50) against their size.
constexpr double kSeriesReach = 50.0;
constexpr int kMaxTerms = 1000;
// A term below this fraction of the sum no longer moves it.
constexpr double kNegligible = 1e-18;

// Y^(nu + 1) for nu = -1/2, 1/2 or 3/2.
double power_above(double y, double nu) {
  const double root = std::sqrt(y);
  if (nu == kMinusHalf) return root;
  return nu == kHalf ? y * root : y * y * root;
}

// Gamma(nu + 1): sqrt(pi), sqrt(pi) / 2, 3 sqrt(pi) / 4.
double gamma_above(double nu) {
  if (nu == kMinusHalf) return 1.7724538509055160272981674833411;
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

// W_nu(z) = int_0^1 s (1 - s)^nu exp(-z s) ds = K_nu(z) - K_nu+1(z), z >= 0,
// which those two would give only through cancellation at large z:
// exp(-z) sum_n z^n / (n! (n + nu + 1) (n + nu + 2)), and beyond
// kSeriesReach its asymptotic series sum_j (-1)^j binom(nu, j) (j + 1)! / z^(j + 2).
double falling_first_moment(double nu, double z) {
  if (z <= kSeriesReach) {
    double term = 1.0;  // z^n / n!
    double sum = 1.0 / ((nu + 1.0) * (nu + 2.0));
    for (int n = 1; n < kMaxTerms; ++n) {
      term *= z / n;
      const double add = term / ((n + nu + 1.0) * (n + nu + 2.0));
      sum += add;
      if (n > z && add <= kNegligible * sum) break;
    }
    return std::exp(-z) * sum;
  }
  double term = 1.0 / (z * z);
  double sum = term;
  for (int j = 0; j < kMaxTerms; ++j) {
    term *= (j - nu) * (j + 2.0) / ((j + 1.0) * z);
    sum += term;
    if (std::fabs(term) <= kNegligible * sum) break;
  }
  return sum;
}

// V_nu(q) = int_0^inf s (1 + s)^nu exp(-q s) ds = U_nu+1(q) - U_nu(q) for
// q >= 1, that is (1 + (nu + 1 - q) U_nu(q)) / q, which keeps all but
// log2(q) bits up to kSeriesReach; beyond, its asymptotic series
// sum_j binom(nu, j) (j + 1)! / q^(j + 2), whose terms shrink up to j = q.
double tail_first_moment(double nu, double q) {
  if (q <= kSeriesReach) return (1.0 + (nu + 1.0 - q) * tail_moment(nu, q)) / q;
  double term = 1.0 / (q * q);
  double sum = term;
  for (int j = 0; j < kMaxTerms; ++j) {
    term *= (nu - j) * (j + 2.0) / ((j + 1.0) * q);
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
  double mean_xi_over_y = 0.0; // the mean of xi / y, xi = 1 - y = x^2 / m0^2
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
//   Every difference of ends below would cancel here. The means come out
//   in u: y - y_ref = h (u -+ 1), and xi = xi_mid - h u, so that a far m0,
//   which makes xi small against y, costs nothing.
// - c >= 0: from 0, y2^(nu+1) K_nu(c y2) less exp(-c span) y1^(nu+1)
//   K_nu(c y1). Outside the short case y1 < y2 / 3 or c span > 4, and the
//   second term is at most about a fifth of the first.
// - c < 0, |c| y1 < 1: from 0, through H_nu, relative to exp(c y1) >= 1/e.
//   Outside the short case y2 > 3 y1 (|c| span > 4 with |c| y1 < 1 means
//   y2 > 5 y1), and the part below y1 is a small share again.
// - c < 0, |c| y1 >= 1: to infinity, y1^(nu+1) U_nu(|c| y1) less
//   exp(-|c| span) y2^(nu+1) U_nu(|c| y2), which that factor makes small.
//
// Outside the short case the mean of xi / y is M_-1/2 / M_1/2 - 1. It loses
// digits only where y stays near 1 (xi small) over an interval that is not
// short, that is where |c| xi exceeds 4 somewhere: there the c part of the
// m0 derivative, 2 c (y - mean), outweighs it by as much.
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
    result.mean_xi_over_y = (xi_mid * below.plain - h * below.first) / (m * above.plain);
    return result;
  }
  // M_1/2, M_-1/2 and P = M_3/2 - y_ref M_1/2, the integral of
  // (y - y_ref) sqrt(y) exp(c (y - y_ref)). Where |c| y_ref is large the mass
  // lies within about 1 / |c| of y_ref, and P is formed from the first
  // moments W and V of the distance from y_ref rather than as that
  // difference, which would lose log2(|c| y_ref) bits.
  double normalisation;
  double below;
  double offset_moment;
  if (c >= 0.0) {
    // y = y2 - s; the part below y1 is exp(-c span) times the same from y1,
    // where the distance is span + (y1 - y).
    normalisation = power_above(y2, kHalf) * falling_moment(kHalf, c * y2);
    below = power_above(y2, kMinusHalf) * falling_moment(kMinusHalf, c * y2);
    offset_moment = -power_above(y2, kThreeHalves) * falling_first_moment(kHalf, c * y2);
    if (y1 > 0.0) {
      const double far = std::exp(-c * span);
      const double plain = falling_moment(kHalf, c * y1);
      normalisation -= far * power_above(y1, kHalf) * plain;
      below -= far * power_above(y1, kMinusHalf) * falling_moment(kMinusHalf, c * y1);
      offset_moment += far * (span * power_above(y1, kHalf) * plain +
                              power_above(y1, kThreeHalves) * falling_first_moment(kHalf, c * y1));
    }
  } else if (-c * y1 < 1.0) {
    // Integrals from 0, relative to exp(c y1) <= e; the mean of y - y1
    // exceeds y1 here, so P = M_3/2 - y1 M_1/2 loses at most a bit.
    const double rate = -c;
    const double lift = std::exp(rate * y1);
    normalisation = power_above(y2, kHalf) * damped_moment(kHalf, rate * y2);
    below = power_above(y2, kMinusHalf) * damped_moment(kMinusHalf, rate * y2);
    double upper = power_above(y2, kThreeHalves) * damped_moment(kThreeHalves, rate * y2);
    if (y1 > 0.0) {
      normalisation -= power_above(y1, kHalf) * damped_moment(kHalf, rate * y1);
      below -= power_above(y1, kMinusHalf) * damped_moment(kMinusHalf, rate * y1);
      upper -= power_above(y1, kThreeHalves) * damped_moment(kThreeHalves, rate * y1);
    }
    normalisation *= lift;
    below *= lift;
    offset_moment = lift * upper - y1 * normalisation;
  } else {
    // y = Y (1 + s) from Y = y1 and Y = y2 on; from y2 the distance from y1
    // is span + y2 s.
    const double rate = -c;
    const double far = std::exp(-rate * span);
    const double plain1 = tail_moment(kHalf, rate * y1);
    const double plain2 = tail_moment(kHalf, rate * y2);
    normalisation = power_above(y1, kHalf) * plain1 - far * power_above(y2, kHalf) * plain2;
    below = power_above(y1, kMinusHalf) * tail_moment(kMinusHalf, rate * y1) -
            far * power_above(y2, kMinusHalf) * tail_moment(kMinusHalf, rate * y2);
    offset_moment = power_above(y1, kThreeHalves) * tail_first_moment(kHalf, rate * y1) -
                    far * (span * power_above(y2, kHalf) * plain2 +
                           power_above(y2, kThreeHalves) * tail_first_moment(kHalf, rate * y2));
  }
  result.normalisation = normalisation;
  result.mean_offset = offset_moment / normalisation;
  result.mean_xi_over_y = below / normalisation - 1.0;
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
  density.mean_xi_over_y_ = found.mean_xi_over_y;
  return density;
}

namespace {

// Events go through in blocks: the exponents of a block first, then one
// call to the many-at-once exponential, then the values.
constexpr std::size_t kBlock = 256;

}  // namespace

void ArgusDensity::evaluate(std::span<const double> x, double* values,
                            std::span<double* const> derivatives) const {
  const double lo = lo_;
  const double upper = std::min(hi_, m0_);
  const bool closed = hi_ < m0_;  // x = hi belongs to the support
  const double m0 = m0_;
  const double inverse_m0 = inverse_m0_;
  const double c = c_;
  const double reference = reference_;
  const double scale = scale_;
  std::array<double, kBlock> weight;
  std::array<double, kBlock> exponential;
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, x.size() - start);
    const double* const block = x.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
      const double point = block[i];
      const bool inside = point >= lo && (closed ? point <= upper : point < upper);
      // Outside the support the exponent is -inf, whose exponential is 0,
      // and the weight 0 (y may be negative there).
      const double at = inside ? point : lo;
      const double ratio = at * inverse_m0;
      const double y = ((m0 - at) * inverse_m0) * ((m0 + at) * inverse_m0);
      // y - y_ref, formed from x and the reference directly: c times it is
      // the exponent, and its rounding error is a few ulp of itself rather
      // than of y, which matters when |c| y_ref is large.
      const double offset = ((reference - at) * inverse_m0) * ((reference + at) * inverse_m0);
      weight[i] = inside ? scale * ratio * std::sqrt(y) : 0.0;
      exponential[i] = inside ? c * offset : -std::numeric_limits<double>::infinity();
    }
    exp_array(exponential.data(), exponential.data(), count);
    for (std::size_t i = 0; i < count; ++i) values[start + i] = weight[i] * exponential[i];
  }
  derivatives_from_values(x, values, derivatives);
}

void ArgusDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                           std::span<double* const> derivatives) const {
  double* const m0_derivative = derivatives.size() > 0 ? derivatives[0] : nullptr;
  double* const c_derivative = derivatives.size() > 1 ? derivatives[1] : nullptr;
  if (m0_derivative == nullptr && c_derivative == nullptr) return;
  const double lo = lo_;
  const double upper = std::min(hi_, m0_);
  const bool closed = hi_ < m0_;
  const double m0 = m0_;
  const double inverse_m0 = inverse_m0_;
  const double reference = reference_;
  const double mean_offset = mean_offset_;
  const double mean_xi_over_y = mean_xi_over_y_;
  const double twice_c = 2.0 * c_;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double point = x[i];
    const bool inside = point >= lo && (closed ? point <= upper : point < upper);
    const double at = inside ? point : lo;
    const double f = inside ? values[i] : 0.0;
    const double ratio = at * inverse_m0;
    const double y = ((m0 - at) * inverse_m0) * ((m0 + at) * inverse_m0);
    const double offset = ((reference - at) * inverse_m0) * ((reference + at) * inverse_m0);
    // d ln f / dc = (y - y_ref) - its mean, and, with xi = x^2 / m0^2 = 1 - y,
    // m0 d ln f / d m0 = (xi / y - its mean) + 2 c (xi - its mean), where
    // xi - its mean = -(y - y_ref - its mean): the large part at large |c|
    // shares the c derivative's precise difference. At x = lo = 0, where y
    // is 1, and outside, f is 0 and so are both.
    const double spread = offset - mean_offset;
    if (c_derivative != nullptr) c_derivative[i] = f * spread;
    if (m0_derivative != nullptr) {
      const double ratio2 = ratio * ratio;
      m0_derivative[i] = f * ((ratio2 / y - mean_xi_over_y) - twice_c * spread) * inverse_m0;
    }
  }
}

}  // namespace tarnwex::densities
