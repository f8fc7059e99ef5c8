#include "fit/densities/crystal_ball_density.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "fit/batch_exp/batch_exp.h"
#include "fit/core/text/format.h"
#include "fit/densities/gaussian_integrals.h"

namespace tarnwex::densities {

namespace crystal_ball_detail {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Inside a tail, with w its depth from the junction in standard deviations
// and q = alpha/n, the shape is exp(-alpha^2/2) (1 + q w)^-n. The tail's
// moments below are integrals over 0 <= y <= Y of (1 + y)^-n times
// 1 (p0), y/(1 + y) (p1) and gap(y) = log1p(y) - y/(1 + y) (pg), y being
// q' times the depth below the tail's origin.
struct PowerTailMoments {
  double p0 = 0.0;
  double p1 = 0.0;
  double pg = 0.0;
};

// The quadrature below stops where exp(-(n - 1) s) has fallen below e^-80:
// the rest of the integrals is then below 1e-30 of them.
constexpr double kNegligibleDecay = 80.0;
// The quadrature's panels span at most this much of exp(-s) and of
// exp(-(n - 1) s), where the 16-point rule is exact to rounding.
constexpr double kPanelSpan = 4.0;
// Bounds the work for absurd tails (a log1p(Y) of hundreds with n <= 1).
constexpr int kMostPanels = 4096;

PowerTailMoments power_tail_moments(double n, double y_end) {
  if (!(y_end > 0.0)) return {};
  PowerTailMoments moments;
  // With s = log1p(y) the weight (1 + y)^-n dy is exp(-(n - 1) s) ds, and
  // p0 = s_end (1 - exp(-(n - 1) s_end))/((n - 1) s_end): at and around
  // n = 1, where the power's integral turns into a logarithm, the mean of
  // an exponential (exp_mean) keeps every digit.
  const double s_end = std::log1p(y_end);
  const double m = n - 1.0;
  moments.p0 = s_end * exp_mean(m * s_end);
  // p1 and pg have no such closed form free of cancellation for every n
  // (for large n they are differences of nearly equal powers), so they come
  // from a composite Gauss-Legendre rule in s, where their integrands,
  // (1 - exp(-s)) exp(-m s) and (s - 1 + exp(-s)) exp(-m s), are smooth and
  // of one sign.
  const double stop = m > 0.0 ? std::min(s_end, kNegligibleDecay / m) : s_end;
  const double widest = kPanelSpan / (1.0 + std::abs(m));
  const int panels = static_cast<int>(std::clamp(std::ceil(stop / widest), 1.0,
                                                 static_cast<double>(kMostPanels)));
  const double width = stop / panels;
  double p1 = 0.0;
  double pg = 0.0;
  for (int panel = 0; panel < panels; ++panel) {
    for (const GaussLegendreNode& node : kGaussLegendre16) {
      for (const double at : {node.low, node.high}) {
        const double s = (panel + at) * width;
        const double rise = -std::expm1(-s);  // y/(1 + y)
        // The gap is about s^2/2 near 0: the series there, s - rise beyond.
        const double gap = s < 0.4 ? log1p_gap(std::expm1(s), s) : s - rise;
        const double weight = node.weight * std::exp(-m * s);
        p1 += weight * rise;
        pg += weight * gap;
      }
    }
  }
  moments.p1 = width * p1;
  moments.pg = width * pg;
  return moments;
}

// Where a tail meets the range, in the tail's own orientation (the high tail
// is the low tail of the mirrored shape).
struct TailGeometry {
  double alpha = 0.0;
  double n = 0.0;
  // The depth of the tail's origin below the junction (0 unless the whole
  // range lies in the tail) and the length of the tail's stretch of the
  // range, both in standard deviations.
  double origin_depth = 0.0;
  double length = 0.0;
  // ln of the shape at the origin less ln of it at the reference.
  double log_start = 0.0;
  // The scores for mu and sigma (times sigma) at the origin less those at
  // the reference.
  double mu_offset = 0.0;
  double sigma_offset = 0.0;
  // +1 for the low tail, -1 for the high one: the mirror flips mu's score.
  double orientation = 1.0;
  // The index of the tail's alpha among the scores; its n follows.
  int alpha_index = 2;
};

// The integrals over the range, relative to the shape at the reference, of
// 1 (mass) and of each score less its value at the reference (score_sums):
// divided by the mass, the latter are the scores' means less their values
// at the reference.
struct RangeSums {
  double mass = 0.0;
  std::array<double, 6> score_sums{};
};

// The tail's part of the range sums, and its per-event constants but the
// offsets.
TailPiece add_tail(const TailGeometry& tail, RangeSums& sums) {
  const double alpha = tail.alpha;
  const double n = tail.n;
  // Past the origin at depth w_o, 1 + q (w_o + w) = (1 + q w_o)(1 + q' w)
  // with q' = q beta, beta = 1/(1 + q w_o): measured from the origin, the
  // tail keeps its form with a smaller rate.
  const double q = alpha / n;
  const double beta = 1.0 / (1.0 + q * tail.origin_depth);
  const double rate = q * beta;
  const PowerTailMoments moments = power_tail_moments(n, rate * tail.length);
  const double weight = std::exp(tail.log_start);
  const double mass = weight * moments.p0 / rate;
  // The tail's scores less their values at the origin. With rise = y/(1 + y)
  // and, from w = y/(q beta), beta^2 w/(1 + y) = beta rise/q:
  //   psi = -d ln f/dt:  alpha beta rise         (mu)
  //   t psi:             (n - alpha^2) beta rise  (sigma)
  //   d ln f/d alpha:    -((n + alpha^2)/alpha) beta rise
  //   d ln f/d n:        -(gap(y) + q w_o beta rise)
  // n -+ alpha^2 are formed with one rounding. Integrated against the
  // tail's density (1 + y)^-n dw = (1 + y)^-n dy/(q beta), the first three
  // bring p1/q: beta cancels, and nothing overflows however deep the origin.
  const double sigma_factor = std::fma(-alpha, alpha, n);
  const double alpha_factor = -(std::fma(alpha, alpha, n) / alpha);
  const double n_shift = q * tail.origin_depth * beta;
  const double p1_per_q = weight * moments.p1 / q;
  sums.mass += mass;
  sums.score_sums[0] += tail.orientation * alpha * p1_per_q + tail.mu_offset * mass;
  sums.score_sums[1] += sigma_factor * p1_per_q + tail.sigma_offset * mass;
  sums.score_sums[tail.alpha_index] += alpha_factor * p1_per_q;
  sums.score_sums[tail.alpha_index + 1] -= weight * (moments.pg + n_shift * moments.p1) / rate;

  TailPiece piece;
  piece.rate = rate;
  piece.n = n;
  piece.log_start = tail.log_start;
  piece.mu_slope = tail.orientation * alpha * beta;
  piece.sigma_slope = sigma_factor * beta;
  piece.alpha_slope = alpha_factor * beta;
  piece.n_shift = n_shift;
  return piece;
}

// A tail piece that takes no event.
TailPiece empty_tail(double threshold) {
  TailPiece piece;
  piece.threshold = threshold;
  return piece;
}

}  // namespace

std::expected<PeakWithTails, std::string> PeakWithTails::prepare(double lo, double hi,
                                                                 const Arguments& arguments) {
  const double mu = arguments.mu;
  const double sigma = arguments.sigma;
  const double alpha_low = arguments.alpha_low;
  const double alpha_high = arguments.alpha_high;

  PeakWithTails peak;
  peak.lo_ = lo;
  peak.hi_ = hi;
  peak.inverse_sigma_ = 1.0 / sigma;
  const double width = (hi - lo) / sigma;
  // Where the range's ends lie past the junctions, in standard deviations,
  // each formed with one rounding: a + alpha_low, b + alpha_low,
  // a - alpha_high, b - alpha_high with a, b the ends' t. Their signs place
  // the range, and they are the lengths and offsets below, accurate when an
  // end sits next to a junction.
  const double lo_past_low = standardised_offset(lo, mu, sigma, alpha_low);
  const double hi_past_low = standardised_offset(hi, mu, sigma, alpha_low);
  const double lo_past_high =
      arguments.has_high ? standardised_offset(lo, mu, sigma, -alpha_high) : -kInfinity;
  const double hi_past_high =
      arguments.has_high ? standardised_offset(hi, mu, sigma, -alpha_high) : -kInfinity;

  RangeSums sums;
  double reference = 0.0;  // the reference's t
  TailGeometry low{.alpha = alpha_low, .n = arguments.n_low, .orientation = 1.0, .alpha_index = 2};
  TailGeometry high{
      .alpha = alpha_high, .n = arguments.n_high, .orientation = -1.0, .alpha_index = 4};
  bool low_present = false;
  bool high_present = false;
  double low_origin = 0.0;   // the tails' origins in d
  double high_origin = 0.0;
  if (hi_past_low <= 0.0) {
    // The whole range in the low tail: its largest value is at hi, which is
    // both the reference and the tail's origin.
    peak.reference_x_ = hi;
    reference = (hi - mu) / sigma;
    low_present = true;
    low.origin_depth = -hi_past_low;
    low.length = width;
  } else if (lo_past_high >= 0.0) {
    peak.reference_x_ = lo;
    reference = (lo - mu) / sigma;
    high_present = true;
    high.origin_depth = lo_past_high;
    high.length = width;
  } else {
    // The reference lies in the core: the range's point nearest mu. From it
    // the core reaches `below` and `above` standard deviations, to a
    // junction (at reach_low below, reach_high above the reference) or to
    // the range's end.
    double reach_low = alpha_low;
    double reach_high = alpha_high;
    double below = 0.0;
    double above = 0.0;
    if (lo >= mu) {
      peak.reference_x_ = lo;
      reference = (lo - mu) / sigma;
      reach_low = lo_past_low;
      reach_high = -lo_past_high;
      above = width;
    } else if (hi <= mu) {
      peak.reference_x_ = hi;
      reference = (hi - mu) / sigma;
      reach_low = hi_past_low;
      reach_high = -hi_past_high;
      below = width;
    } else {
      peak.reference_x_ = mu;
      below = (mu - lo) / sigma;
      above = (hi - mu) / sigma;
    }
    low_present = lo_past_low < 0.0;
    high_present = hi_past_high > 0.0;
    if (low_present) {
      below = reach_low;
      low_origin = -reach_low;
      low.length = -lo_past_low;
      // ln of exp(-alpha^2/2) over exp(-r^2/2), -(alpha - r)(alpha + r)/2,
      // and the scores' steps from r to the junction: psi from r to -alpha,
      // t psi from r^2 to alpha^2.
      const double far_side = alpha_low - reference;
      low.log_start = -0.5 * far_side * reach_low;
      low.mu_offset = -reach_low;
      low.sigma_offset = far_side * reach_low;
    }
    if (high_present) {
      above = reach_high;
      high_origin = reach_high;
      high.length = hi_past_high;
      const double far_side = alpha_high + reference;
      high.log_start = -0.5 * far_side * reach_high;
      high.mu_offset = reach_high;
      high.sigma_offset = far_side * reach_high;
    }
    const SegmentMoments core = gaussian_window_moments(reference, below, above);
    sums.mass += core.m0;
    sums.score_sums[0] += core.m1;
    sums.score_sums[1] += core.m2 + 2.0 * reference * core.m1;
  }

  const bool whole_low = low_present && hi_past_low <= 0.0;
  const bool whole_high = high_present && lo_past_high >= 0.0;
  if (low_present) {
    peak.low_ = add_tail(low, sums);
    peak.low_.threshold = whole_low ? kInfinity : low_origin;
    peak.low_.origin = low_origin;
  } else {
    peak.low_ = empty_tail(-kInfinity);
  }
  if (high_present) {
    peak.high_ = add_tail(high, sums);
    peak.high_.threshold = whole_high ? -kInfinity : high_origin;
    peak.high_.origin = high_origin;
  } else {
    peak.high_ = empty_tail(kInfinity);
  }

  peak.twice_reference_ = 2.0 * reference;
  peak.scale_ = 1.0 / (sigma * sums.mass);
  // Each score less its mean over the range is the density's log-derivative:
  // the core's offsets are minus the means (measured from the reference),
  // a tail's add the step from the reference to its origin.
  bool finite = std::isfinite(peak.scale_);
  for (std::size_t j = 0; j < 6; ++j) {
    const double mean = sums.score_sums[j] / sums.mass;
    peak.core_offsets_[j] = -mean;
    peak.low_.offsets[j] = -mean;
    peak.high_.offsets[j] = -mean;
    finite = finite && std::isfinite(mean);
  }
  peak.low_.offsets[0] += low.mu_offset;
  peak.low_.offsets[1] += low.sigma_offset;
  peak.high_.offsets[0] += high.mu_offset;
  peak.high_.offsets[1] += high.sigma_offset;
  for (const TailPiece* piece : {&peak.low_, &peak.high_}) {
    finite = finite && std::isfinite(piece->rate) && std::isfinite(piece->mu_slope) &&
             std::isfinite(piece->sigma_slope) && std::isfinite(piece->alpha_slope) &&
             std::isfinite(piece->n_shift);
  }
  if (!finite) {
    return std::unexpected("the arguments are out of reach of doubles over the range [" +
                           format_double(lo) + ", " + format_double(hi) + "]");
  }
  return peak;
}

namespace {

// Events go through in blocks: the exponents of a block first, each
// event's in its piece of the shape, then one call to the many-at-once
// exponential, then the values and scores.
constexpr std::size_t kBlock = 256;

enum Piece : unsigned char { kCore, kLowTail, kHighTail };

// The scores of an event in a tail, at y = rate w and log_ratio = log1p(y).
void tail_scores(const TailPiece& piece, double y, double log_ratio, int alpha_index,
                 std::array<double, 6>& scores) {
  const double rise = y / (1.0 + y);
  scores = piece.offsets;
  scores[0] += piece.mu_slope * rise;
  scores[1] += piece.sigma_slope * rise;
  scores[alpha_index] += piece.alpha_slope * rise;
  scores[alpha_index + 1] -= log1p_gap(y, log_ratio) + piece.n_shift * rise;
}

}  // namespace

template <bool kScores>
void PeakWithTails::evaluate_events(std::span<const double> x, double* values,
                                    const std::array<double*, 6>& outputs) const {
  // Per event: its piece and the two numbers its scores need, d and
  // d (d + 2r) in the core, y and log1p(y) in a tail.
  std::array<Piece, kBlock> pieces;
  std::array<double, kBlock> first;
  std::array<double, kBlock> second;
  std::array<double, kBlock> ratio;
  std::array<double, 6> scores{};
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, x.size() - start);
    const double* const block = x.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
      const double xi = block[i];
      // Events outside the range (or NaN) are moved onto the reference, so
      // the arithmetic stays finite, and are given 0 below.
      const double at = xi >= lo_ && xi <= hi_ ? xi : reference_x_;
      const double d = (at - reference_x_) * inverse_sigma_;
      if (d <= low_.threshold || d >= high_.threshold) {
        // In a tail, w standard deviations past its origin: the density
        // relative to the reference is exp(log_start - n log1p(rate w)).
        const bool low = d <= low_.threshold;
        const TailPiece& piece = low ? low_ : high_;
        const double y = piece.rate * (low ? piece.origin - d : d - piece.origin);
        const double log_ratio = std::log1p(y);
        pieces[i] = low ? kLowTail : kHighTail;
        first[i] = y;
        second[i] = log_ratio;
        ratio[i] = piece.log_start - piece.n * log_ratio;
      } else {
        const double square = d * (d + twice_reference_);
        pieces[i] = kCore;
        first[i] = d;
        second[i] = square;
        ratio[i] = -0.5 * square;
      }
    }
    exp_array(ratio.data(), ratio.data(), count);
    for (std::size_t i = 0; i < count; ++i) {
      const double xi = block[i];
      const double value = xi >= lo_ && xi <= hi_ ? scale_ * ratio[i] : 0.0;
      values[start + i] = value;
      if constexpr (kScores) {
        if (pieces[i] == kCore) {
          scores = core_offsets_;
          scores[0] += first[i];
          scores[1] += second[i];
        } else if (pieces[i] == kLowTail) {
          tail_scores(low_, first[i], second[i], 2, scores);
        } else {
          tail_scores(high_, first[i], second[i], 4, scores);
        }
        // Where the density has underflowed to 0 its derivatives are 0 too,
        // even where a score has overflowed (far out, at extreme arguments).
        const bool vanished = value == 0.0;
        for (std::size_t j = 0; j < 6; ++j) {
          if (outputs[j] != nullptr) {
            const double derivative = value * scores[j] * (j < 2 ? inverse_sigma_ : 1.0);
            outputs[j][start + i] = vanished ? 0.0 : derivative;
          }
        }
      }
    }
  }
}

void PeakWithTails::evaluate(std::span<const double> x, double* values,
                             const std::array<double*, 6>& outputs) const {
  const bool any = std::any_of(outputs.begin(), outputs.end(),
                               [](const double* output) { return output != nullptr; });
  if (any) {
    evaluate_events<true>(x, values, outputs);
  } else {
    evaluate_events<false>(x, values, outputs);
  }
}

}  // namespace crystal_ball_detail

namespace {

// The engine's refusal followed by the arguments, by name.
std::string with_arguments(std::string text, std::span<const char* const> names,
                           std::span<const double> arguments) {
  for (std::size_t j = 0; j < names.size(); ++j) {
    text += (j == 0 ? ": " : ", ") + std::string(names[j]) + " = " + format_double(arguments[j]);
  }
  return text;
}

std::optional<std::string> tail_refusal(std::string_view alpha_name, double alpha,
                                        std::string_view n_name, double n) {
  if (auto refusal = positive_refusal(alpha_name, alpha)) return refusal;
  return positive_refusal(n_name, n);
}

}  // namespace

std::expected<CrystalBallDensity, std::string> CrystalBallDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.size() != 4) {
    return std::unexpected("the Crystal Ball takes 4 arguments (mu, sigma, alpha, n), got " +
                           std::to_string(arguments.size()));
  }
  if (auto refusal = location_refusal("mu", arguments[0])) return std::unexpected(*refusal);
  if (auto refusal = positive_refusal("sigma", arguments[1])) return std::unexpected(*refusal);
  if (auto refusal = tail_refusal("alpha", arguments[2], "n", arguments[3])) {
    return std::unexpected(*refusal);
  }
  auto peak = crystal_ball_detail::PeakWithTails::prepare(
      lo, hi,
      {.mu = arguments[0],
       .sigma = arguments[1],
       .alpha_low = arguments[2],
       .n_low = arguments[3],
       .has_high = false,
       .alpha_high = std::numeric_limits<double>::infinity(),
       .n_high = 1.0});
  if (!peak) {
    constexpr std::array<const char*, 4> kNames = {"mu", "sigma", "alpha", "n"};
    return std::unexpected(with_arguments(std::move(peak.error()), kNames, arguments));
  }
  return CrystalBallDensity(*peak);
}

void CrystalBallDensity::evaluate(std::span<const double> x, double* values,
                                  std::span<double* const> derivatives) const {
  std::array<double*, 6> outputs{};
  for (std::size_t j = 0; j < std::min<std::size_t>(derivatives.size(), 4); ++j) {
    outputs[j] = derivatives[j];
  }
  peak_.evaluate(x, values, outputs);
}

std::expected<DoubleCrystalBallDensity, std::string> DoubleCrystalBallDensity::prepare(
    double lo, double hi, std::span<const double> arguments) {
  if (arguments.size() != 6) {
    return std::unexpected(
        "the double Crystal Ball takes 6 arguments (mu, sigma, alpha_low, n_low, alpha_high, "
        "n_high), got " +
        std::to_string(arguments.size()));
  }
  if (auto refusal = location_refusal("mu", arguments[0])) return std::unexpected(*refusal);
  if (auto refusal = positive_refusal("sigma", arguments[1])) return std::unexpected(*refusal);
  if (auto refusal = tail_refusal("alpha_low", arguments[2], "n_low", arguments[3])) {
    return std::unexpected(*refusal);
  }
  if (auto refusal = tail_refusal("alpha_high", arguments[4], "n_high", arguments[5])) {
    return std::unexpected(*refusal);
  }
  auto peak = crystal_ball_detail::PeakWithTails::prepare(lo, hi,
                                                          {.mu = arguments[0],
                                                           .sigma = arguments[1],
                                                           .alpha_low = arguments[2],
                                                           .n_low = arguments[3],
                                                           .has_high = true,
                                                           .alpha_high = arguments[4],
                                                           .n_high = arguments[5]});
  if (!peak) {
    constexpr std::array<const char*, 6> kNames = {"mu",    "sigma",      "alpha_low",
                                                   "n_low", "alpha_high", "n_high"};
    return std::unexpected(with_arguments(std::move(peak.error()), kNames, arguments));
  }
  return DoubleCrystalBallDensity(*peak);
}

void DoubleCrystalBallDensity::evaluate(std::span<const double> x, double* values,
                                        std::span<double* const> derivatives) const {
  std::array<double*, 6> outputs{};
  for (std::size_t j = 0; j < std::min<std::size_t>(derivatives.size(), 6); ++j) {
    outputs[j] = derivatives[j];
  }
  peak_.evaluate(x, values, outputs);
}

}  // namespace tarnwex::densities
