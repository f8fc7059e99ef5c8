// The Crystal Ball shapes: a Gaussian core exp(-t^2/2), t = (x - mu)/sigma,
// continued past alpha standard deviations by a power law that joins it with
// the same value and slope, A (B - t)^-n below t = -alpha, with
// A = (n/alpha)^n exp(-alpha^2/2) and B = n/alpha - alpha. The double shape
// has such a tail on each side, A_h (B_h + t)^-n_h above t = alpha_high.
// Both are normalised over [lo, hi].
#pragma once

#include <array>
#include <expected>
#include <span>
#include <string>

#include "fit/densities/density_kernel.h"

namespace tarnwex::densities {

namespace crystal_ball_detail {

// One power-law tail as it meets the range. Events are measured from the
// tail's origin, the end of its stretch nearest the peak (the junction, or
// the range's end when the whole range lies in the tail), by
// w = |d - origin| >= 0 in standard deviations; with y = rate w the tail's
// density relative to the reference is exp(log_start - n log1p(y)).
struct TailPiece {
  // Events with d <= threshold (the low tail) or d >= threshold (the high
  // tail) belong to it; +-infinity when it takes none or all of them.
  double threshold = 0.0;
  double origin = 0.0;
  double rate = 0.0;
  double n = 0.0;
  double log_start = 0.0;
  // The scores inside the tail, each a constant plus a part that vanishes
  // at the origin, all in terms of rise = y/(1 + y): mu: mu_slope rise;
  // sigma: sigma_slope rise; its alpha: alpha_slope rise; its n:
  // -(gap(y) + n_shift rise).
  double mu_slope = 0.0;
  double sigma_slope = 0.0;
  double alpha_slope = 0.0;
  double n_shift = 0.0;
  std::array<double, 6> offsets{};
};

// A Gaussian core with a low and (optionally) a high power-law tail: the
// work both shapes share. The scores, in the order mu, sigma, alpha_low,
// n_low, alpha_high, n_high, are d ln f/d argument times sigma for mu and
// sigma, d ln f/d argument for the others.
class PeakWithTails {
 public:
  PeakWithTails() = default;

  struct Arguments {
    double mu;
    double sigma;
    double alpha_low;
    double n_low;
    bool has_high;
    double alpha_high;
    double n_high;
  };
  static std::expected<PeakWithTails, std::string> prepare(double lo, double hi,
                                                           const Arguments& arguments);

  // outputs[j], when not null, receives d f/d argument_j.
  void evaluate(std::span<const double> x, double* values,
                const std::array<double*, 6>& outputs) const;

 private:
  template <bool kScores>
  void evaluate_events(std::span<const double> x, double* values,
                       const std::array<double*, 6>& outputs) const;

  double lo_ = 0.0;
  double hi_ = 0.0;
  // As for the Gaussian: events are measured from the range's point nearest
  // the peak, d = (x - reference_x_)/sigma, and the core's density is
  // scale_ exp(-d (d + twice_reference_)/2).
  double reference_x_ = 0.0;
  double inverse_sigma_ = 0.0;
  double twice_reference_ = 0.0;
  double scale_ = 0.0;
  // The core's scores: mu: d + offset; sigma: d (d + twice_reference_) +
  // offset; the tail arguments: the offset alone.
  std::array<double, 6> core_offsets_{};
  TailPiece low_;
  TailPiece high_;
};

}  // namespace crystal_ball_detail

class CrystalBallDensity {
 public:
  CrystalBallDensity() = default;

  // Arguments: mu (finite), sigma, alpha, n (finite, positive).
  static std::expected<CrystalBallDensity, std::string> prepare(double lo, double hi,
                                                                std::span<const double> arguments);

  // Derivatives, when asked for: d/dmu, d/dsigma, d/dalpha, d/dn.
  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;

 private:
  explicit CrystalBallDensity(crystal_ball_detail::PeakWithTails peak) : peak_(peak) {}
  crystal_ball_detail::PeakWithTails peak_;
};

class DoubleCrystalBallDensity {
 public:
  DoubleCrystalBallDensity() = default;

  // Arguments: mu (finite), sigma, alpha_low, n_low, alpha_high, n_high
  // (finite, positive).
  static std::expected<DoubleCrystalBallDensity, std::string> prepare(
      double lo, double hi, std::span<const double> arguments);

  // Derivatives, when asked for, in the order of the arguments.
  void evaluate(std::span<const double> x, double* values,
                std::span<double* const> derivatives) const;

 private:
  explicit DoubleCrystalBallDensity(crystal_ball_detail::PeakWithTails peak) : peak_(peak) {}
  crystal_ball_detail::PeakWithTails peak_;
};

}  // namespace tarnwex::densities
