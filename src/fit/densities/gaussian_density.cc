#include "fit/densities/gaussian_density.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "fit/batch_exp/batch_exp.h"
#include "fit/core/text/format.h"
#include "fit/densities/gaussian_integrals.h"

namespace tarnwex::densities {

std::expected<GaussianDensity, std::string> GaussianDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.size() != 2) {
    return std::unexpected("the Gaussian takes 2 arguments (mu, sigma), got " +
                           std::to_string(arguments.size()));
  }
  const double mu = arguments[0];
  const double sigma = arguments[1];
  if (auto refusal = location_refusal("mu", mu)) return std::unexpected(std::move(*refusal));
  if (auto refusal = positive_refusal("sigma", sigma)) return std::unexpected(std::move(*refusal));

  GaussianDensity density;
  density.lo_ = lo;
  density.hi_ = hi;
  density.inverse_sigma_ = 1.0 / sigma;
  // The reference is the range's point nearest mu; the window of the range
  // about it, in standard deviations, reaches only away from the peak on
  // a side where the range does not contain mu.
  const double width = (hi - lo) / sigma;
  double reference = 0.0;
  double below = 0.0;
  double above = 0.0;
  if (lo >= mu) {
    density.reference_x_ = lo;
    reference = (lo - mu) / sigma;
    above = width;
  } else if (hi <= mu) {
    density.reference_x_ = hi;
    reference = (hi - mu) / sigma;
    below = width;
  } else {
    density.reference_x_ = mu;
    below = (mu - lo) / sigma;
    above = (hi - mu) / sigma;
  }
  const SegmentMoments moments = gaussian_window_moments(reference, below, above);
  density.twice_reference_ = 2.0 * reference;
  density.scale_ = 1.0 / (sigma * moments.m0);
  density.mean_d_ = moments.m1 / moments.m0;
  density.mean_square_ = (moments.m2 + 2.0 * reference * moments.m1) / moments.m0;
  if (!std::isfinite(density.scale_) || !std::isfinite(density.mean_square_)) {
    // sigma so small against the range, or so large, that the peak height
    // or the range's width in standard deviations leaves doubles.
    return std::unexpected("sigma is out of reach of doubles over the range [" + format_double(lo) +
                           ", " + format_double(hi) + "], got " + format_double(sigma));
  }
  return density;
}

namespace {

// Events go through in blocks: the exponents of a block first, then one
// call to the many-at-once exponential, then the values and derivatives.
constexpr std::size_t kBlock = 256;

template <bool kDerivatives>
void evaluate_gaussian(std::span<const double> x, double* values, double* d_mu, double* d_sigma,
                       double lo, double hi, double reference_x, double inverse_sigma,
                       double twice_reference, double scale, double mean_d, double mean_square) {
  std::array<double, kBlock> d;
  std::array<double, kBlock> square;
  std::array<double, kBlock> ratio;
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, x.size() - start);
    const double* const block = x.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
      const double xi = block[i];
      // Events outside the range (or NaN) are moved onto the reference, so
      // the arithmetic stays finite, and are given 0 below.
      const double at = xi >= lo && xi <= hi ? xi : reference_x;
      d[i] = (at - reference_x) * inverse_sigma;
      // t^2 - r^2 = (t - r)(t + r): both factors have one sign over the
      // range, so the exponent is accurate to a few ulps however large.
      square[i] = d[i] * (d[i] + twice_reference);
      ratio[i] = -0.5 * square[i];
    }
    exp_array(ratio.data(), ratio.data(), count);
    for (std::size_t i = 0; i < count; ++i) {
      const double xi = block[i];
      const double value = xi >= lo && xi <= hi ? scale * ratio[i] : 0.0;
      values[start + i] = value;
      if constexpr (kDerivatives) {
        // Where the density has underflowed to 0 so have its derivatives,
        // even where d is so large that a score has overflowed.
        const bool vanished = value == 0.0;
        const double for_mu = value * (d[i] - mean_d) * inverse_sigma;
        const double for_sigma = value * (square[i] - mean_square) * inverse_sigma;
        if (d_mu != nullptr) d_mu[start + i] = vanished ? 0.0 : for_mu;
        if (d_sigma != nullptr) d_sigma[start + i] = vanished ? 0.0 : for_sigma;
      }
    }
  }
}

}  // namespace

void GaussianDensity::evaluate(std::span<const double> x, double* values,
                               std::span<double* const> derivatives) const {
  double* const d_mu = derivatives.size() > 0 ? derivatives[0] : nullptr;
  double* const d_sigma = derivatives.size() > 1 ? derivatives[1] : nullptr;
  if (d_mu == nullptr && d_sigma == nullptr) {
    evaluate_gaussian<false>(x, values, nullptr, nullptr, lo_, hi_, reference_x_, inverse_sigma_,
                             twice_reference_, scale_, mean_d_, mean_square_);
  } else {
    evaluate_gaussian<true>(x, values, d_mu, d_sigma, lo_, hi_, reference_x_, inverse_sigma_,
                            twice_reference_, scale_, mean_d_, mean_square_);
  }
}

void GaussianDensity::derivatives_from_values(std::span<const double> x, const double* values,
                                              std::span<double* const> derivatives) const {
  // One loop per derivative, free of branches, so that the compiler can
  // take several events at once; the operations are those of evaluate.
  const double lo = lo_;
  const double hi = hi_;
  const double reference = reference_x_;
  const double inverse_sigma = inverse_sigma_;
  const double twice_reference = twice_reference_;
  if (double* const d_mu = derivatives.size() > 0 ? derivatives[0] : nullptr) {
    const double mean = mean_d_;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double xi = x[i];
      const double at = (xi >= lo) & (xi <= hi) ? xi : reference;
      const double d = (at - reference) * inverse_sigma;
      const double value = values[i];
      const double slope = value * (d - mean) * inverse_sigma;
      d_mu[i] = value == 0.0 ? 0.0 : slope;
    }
  }
  if (double* const d_sigma = derivatives.size() > 1 ? derivatives[1] : nullptr) {
    const double mean = mean_square_;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double xi = x[i];
      const double at = (xi >= lo) & (xi <= hi) ? xi : reference;
      const double d = (at - reference) * inverse_sigma;
      const double square = d * (d + twice_reference);
      const double value = values[i];
      const double slope = value * (square - mean) * inverse_sigma;
      d_sigma[i] = value == 0.0 ? 0.0 : slope;
    }
  }
}

}  // namespace tarnwex::densities
