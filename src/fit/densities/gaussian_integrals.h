// The special functions behind the densities with a Gaussian core: the
// Gaussian mass over an interval and its first two moments, measured from
// the interval's point nearest the peak so that nothing underflows however
// far in a tail the interval lies, and a few helpers the power-law tails of
// the Crystal Ball shapes share.
//
// Every quantity is relative: a moment over [p, p + h] is the integral of
// exp(-(s^2 - p^2)/2), the Gaussian divided by its value at p. A density
// built from them is a ratio of two such numbers, so the common factor
// exp(-p^2/2), which is 0 in doubles from p = 39 on, never appears.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwex::densities {

// T_k(s) = integral over w > s of (w - s)^k exp(-(w^2 - s^2)/2), k = 0, 1, 2,
// for s >= 0. T_0 is the Mills ratio, sqrt(pi/2) erfcx(s/sqrt(2)); all three
// fall off as powers of s (1/s, 1/s^2, 2/s^3), and each is accurate to a few
// units in the last place.
struct GaussianTailMoments {
  double t0 = 0.0;
  double t1 = 0.0;
  double t2 = 0.0;
};
GaussianTailMoments gaussian_tail_moments(double s);

// m_k = integral over 0 <= u <= h of u^k exp(-u (u + 2 p)/2), k = 0, 1, 2:
// the moments of a stretch of length h that starts p >= 0 standard
// deviations from the peak and runs away from it, relative to the density at
// its start. h >= 0.
struct SegmentMoments {
  double m0 = 0.0;
  double m1 = 0.0;
  double m2 = 0.0;
};
SegmentMoments gaussian_segment_moments(double p, double h);

// The same moments of d over [-below, above] with weight
// exp(-d (d + 2 r)/2), the Gaussian relative to its value at r. The window
// never reaches across r towards the peak: above > 0 needs r >= 0 and
// below > 0 needs r <= 0 (r = 0 allows both: a window around the peak).
SegmentMoments gaussian_window_moments(double r, double below, double above);

// ((x - mu) + c sigma) / sigma, where x - mu + c sigma is formed with a single
// rounding. It is how far x lies from the point c standard deviations from
// mu, in standard deviations, and it stays accurate to the last bits when x
// sits next to that point (a range that ends at a Crystal Ball's junction).
double standardised_offset(double x, double mu, double sigma, double c);

// The 16-point Gauss-Legendre rule on [0, 1], nodes paired symmetrically:
// the integral of f is sum_i weight_i (f(low_i) + f(high_i)), with
// high_i = 1 - low_i. It integrates polynomials up to degree 31 exactly; the
// densities use it on stretches where the integrand, an exponential of a
// low-degree polynomial whose span is at most a few units, is that smooth.
// The nodes are the zeros of the Legendre polynomial P_16 mapped to [0, 1],
// found by Newton's method at 60 digits and rounded once.
struct GaussLegendreNode {
  double low;
  double high;
  double weight;
};
inline constexpr std::array<GaussLegendreNode, 8> kGaussLegendre16 = {{
    {5.29953250417503370192e-3, 9.94700467495824966298e-1, 1.35762297058770474259e-2},
    {2.77124884633837119610e-2, 9.72287511536616288039e-1, 3.11267619693239464314e-2},
    {6.71843988060841280598e-2, 9.32815601193915871940e-1, 4.75792558412463924050e-2},
    {1.22297795822498483052e-1, 8.77702204177501516948e-1, 6.23144856277669360262e-2},
    {1.91061877798678125777e-1, 8.08938122201321874223e-1, 7.47979944082883660408e-2},
    {2.70991611171386306829e-1, 7.29008388828613693171e-1, 8.45782596975012690947e-2},
    {3.59198224610370543385e-1, 6.40801775389629456615e-1, 9.13017075224617944334e-2},
    {4.52493745081181279907e-1, 5.47506254918818720093e-1, 9.47253052275342481427e-2},
}};

// The gap log1p(y) - y/(1 + y), about y^2/2 near 0, for y > -1/2, given
// log1p_y = log1p(y). It is the Crystal Ball tail's sensitivity to n. Its
// two terms agree to first order, so below y = 1/2 it comes from a series
// in v = y/(2 + y), where log1p(y) = 2 atanh(v) and y/(1 + y) = 2v/(1 + v):
// the gap is 2 v^2/(1 + v) + 2 v^3 sum_k v^(2k)/(2k + 3), every term of one
// sign. Both forms are computed and one is selected, so that a loop over
// events does not branch on it.
inline double log1p_gap(double y, double log1p_y) {
  const double v = y / (2.0 + y);
  const double v2 = v * v;
  // Terms up to v^25: at v = 1/5 the next one is below 1e-19 of the sum.
  double series = 1.0 / 25.0;
  series = series * v2 + 1.0 / 23.0;
  series = series * v2 + 1.0 / 21.0;
  series = series * v2 + 1.0 / 19.0;
  series = series * v2 + 1.0 / 17.0;
  series = series * v2 + 1.0 / 15.0;
  series = series * v2 + 1.0 / 13.0;
  series = series * v2 + 1.0 / 11.0;
  series = series * v2 + 1.0 / 9.0;
  series = series * v2 + 1.0 / 7.0;
  series = series * v2 + 1.0 / 5.0;
  series = series * v2 + 1.0 / 3.0;
  const double small = 2.0 * v2 / (1.0 + v) + 2.0 * v2 * v * series;
  const double large = log1p_y - y / (1.0 + y);
  return y < 0.5 ? small : large;
}

// The refusals the Gaussian-cored shapes share: a location must be finite,
// a scale (sigma) or a tail argument (alpha, n) finite and positive. Nothing
// when the value is fine, else the sentence, such as
// "sigma must be positive, got -1".
std::optional<std::string> location_refusal(std::string_view name, double value);
std::optional<std::string> positive_refusal(std::string_view name, double value);

// (1 - exp(-z))/z, 1 at z = 0: the mean of exp(-z u) over 0 <= u <= 1.
inline double exp_mean(double z) {
  return z == 0.0 ? 1.0 : -std::expm1(-z) / z;
}

}  // namespace tarnwex::densities
