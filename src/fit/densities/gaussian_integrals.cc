#include "fit/densities/gaussian_integrals.h"

#include <algorithm>
#include <cmath>

#include "fit/core/text/format.h"

namespace tarnwex::densities {

namespace {

constexpr double kInverseSqrt2 = 0.70710678118654752440;
constexpr double kSqrtHalfPi = 1.25331413731550025121;

// Below this point the tail moments come from erfc; from it on, from the
// continued fraction, which needs a few hundred terms at its start and ten
// far out (it is evaluated once per point, not per event).
constexpr double kContinuedFractionStart = 1.0;

// Terms of the continued fraction that bring its relative error below 1e-17
// at the start of each stretch of s (measured at 40 digits, with a tenth
// added): it converges faster as s grows.
int continued_fraction_terms(double s) {
  if (s >= 20.0) return 10;
  if (s >= 12.0) return 14;
  if (s >= 8.0) return 18;
  if (s >= 6.0) return 24;
  if (s >= 5.0) return 30;
  if (s >= 4.0) return 40;
  if (s >= 3.0) return 62;
  if (s >= 2.5) return 85;
  if (s >= 2.0) return 125;
  if (s >= 1.5) return 212;
  return 460;
}

// Up to this span of the exponent, u (u + 2p)/2 <= 4 over the segment, the
// 16-point rule is exact to rounding (its error is below 1e-21 for every
// moment there); beyond it the difference of two tail moments loses at most
// a quarter of a bit.
constexpr double kQuadratureSpan = 4.0;

// From here on exp(-span) is 0 in doubles.
constexpr double kNegligibleSpan = 746.0;

}  // namespace

GaussianTailMoments gaussian_tail_moments(double s) {
  if (s < kContinuedFractionStart) {
    // erfc is accurate to an ulp or two here and exp(z^2) has an argument
    // below 1/2, so T_0 is too; erfcx is well conditioned, so rounding
    // s/sqrt(2) costs no more. Each step of the recurrence
    // T_{k+1} = k T_{k-1} - s T_k loses at most a bit this close to 0.
    const double z = s * kInverseSqrt2;
    const double t0 = kSqrtHalfPi * std::exp(z * z) * std::erfc(z);
    const double t1 = 1.0 - s * t0;
    const double t2 = t0 - s * t1;
    return {t0, t1, t2};
  }
  // The same recurrence read backwards gives the ratios
  // rho_k = T_k/T_{k-1} = k/(s + rho_{k+1}), and T_0 = 1/(s + rho_1): a
  // continued fraction of positive terms, evaluated from its tail, where
  // every operation is an addition of positive numbers or a division.
  double rho = 0.0;
  for (int k = continued_fraction_terms(s); k >= 3; --k) rho = k / (s + rho);
  const double rho2 = 2.0 / (s + rho);
  const double rho1 = 1.0 / (s + rho2);
  const double t0 = 1.0 / (s + rho1);
  const double t1 = rho1 * t0;
  return {t0, t1, rho2 * t1};
}

SegmentMoments gaussian_segment_moments(double p, double h) {
  if (!(h > 0.0)) return {};
  const double span = 0.5 * h * (h + 2.0 * p);
  if (span <= kQuadratureSpan) {
    // A short segment, or one far in the tail where the density falls by at
    // most e^-4 over it: there the difference of tail moments would cancel,
    // while the integrand is an exponential of a gentle quadratic.
    double m0 = 0.0;
    double m1 = 0.0;
    double m2 = 0.0;
    for (const GaussLegendreNode& node : kGaussLegendre16) {
      for (const double at : {node.low, node.high}) {
        const double u = h * at;
        const double weighted = node.weight * std::exp(-0.5 * u * (u + 2.0 * p));
        m0 += weighted;
        m1 += weighted * u;
        m2 += weighted * u * u;
      }
    }
    return {h * m0, h * m1, h * m2};
  }
  // The moments over [p, infinity) less those over [p + h, infinity), the
  // latter written about p + h (binomially) and weighted by the density
  // there relative to p, exp(-span). That weight is at most e^-4 and the
  // subtracted terms are smaller than the kept ones by about as much, so the
  // difference keeps its precision.
  const GaussianTailMoments near = gaussian_tail_moments(p);
  if (span >= kNegligibleSpan) return {near.t0, near.t1, near.t2};
  const GaussianTailMoments far = gaussian_tail_moments(p + h);
  const double weight = std::exp(-span);
  return {near.t0 - weight * far.t0, near.t1 - weight * (far.t1 + h * far.t0),
          near.t2 - weight * (far.t2 + h * (2.0 * far.t1 + h * far.t0))};
}

SegmentMoments gaussian_window_moments(double r, double below, double above) {
  // Both halves start at the window's point nearest the peak and run away
  // from it; the one below is the mirror image of a segment, which flips the
  // sign of its odd moment.
  const SegmentMoments up = gaussian_segment_moments(std::max(r, 0.0), above);
  const SegmentMoments down = gaussian_segment_moments(std::max(-r, 0.0), below);
  return {up.m0 + down.m0, up.m1 - down.m1, up.m2 + down.m2};
}

namespace {

// a + b as sum + error exactly (Knuth's two-sum).
struct ExactSum {
  double sum;
  double error;
};
ExactSum exact_sum(double a, double b) {
  const double sum = a + b;
  const double b_part = sum - a;
  const double a_part = sum - b_part;
  return {sum, (a - a_part) + (b - b_part)};
}

}  // namespace

double standardised_offset(double x, double mu, double sigma, double c) {
  // x - mu and c sigma each as a sum of two doubles (the product's rounding
  // error from a fused multiply-add), then added: the only roundings left
  // are the final sum's and the division's.
  const ExactSum difference = exact_sum(x, -mu);
  const double product = c * sigma;
  const double product_error = std::fma(c, sigma, -product);
  const ExactSum sum = exact_sum(difference.sum, product);
  return (sum.sum + (difference.error + product_error + sum.error)) / sigma;
}

std::optional<std::string> location_refusal(std::string_view name, double value) {
  if (std::isfinite(value)) return std::nullopt;
  return std::string(name) + " must be finite, got " + format_double(value);
}

std::optional<std::string> positive_refusal(std::string_view name, double value) {
  if (!(value > 0.0)) return std::string(name) + " must be positive, got " + format_double(value);
  if (!std::isfinite(value)) return std::string(name) + " must be finite, got " + format_double(value);
  return std::nullopt;
}

}  // namespace tarnwex::densities
