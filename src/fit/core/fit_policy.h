// The fit's policy constants: the thresholds of the refit rules and of the
// scales, each with its reason, in one place to read and to tune. Changing
// one changes the minimizer's path.
#pragma once

#include <cstddef>

namespace tarnwex::policy {

// --- Convergence (runs/minimizer_run.cc) ---

// How many units in the last place of the NLL a change must exceed to be
// told from rounding: each NLL is within 4 of the exactly rounded sum of its
// terms, so the difference of two is within 8.
inline constexpr double kResolutionUlps = 8.0;

// --- Steps along the shape parameters (likelihood/joint_likelihood.h,
// scales/shape_scale_probe.h) ---

// The gradient's central differences step this fraction of the parameter's
// scale (its error as far as the fit knows it): in every unit the same
// fraction of an error, short enough that the truncation (of order h^2
// times the third derivative) moves no fit by a measurable part of an
// error, long enough that the NLL's rounding stays far below the change.
inline constexpr double kGradientStepPerScale = 0x1p-7;

// The search for a parameter's scale at a run's start takes its first step
// at this fraction of the scale its declaration gives (declared_scale.h):
// a box or start some thousand errors wide still lands within reach.
inline constexpr double kFirstProbePerDeclaredScale = 0x1p-17;

// A probe whose step is within this factor of the step its own curvature
// asks for is kept, and its points serve the run's first gradient.
inline constexpr double kProbeAcceptance = 16.0;

// How far one probe may move the next one's step, as a factor, and how many
// probes a parameter may take before the last estimate stands.
inline constexpr double kLargestProbeMove = 0x1p16;
// The longest probe along a bounded parameter, as a fraction of its box: a
// box across a quarter of which the NLL changes by no more than its
// rounding holds its parameter.
inline constexpr double kLongestProbePerBox = 0.25;
// Without a box the declared length is only the start's distance from a
// bound or from zero, which can be far shorter than the parameter's error
// (a start a millionth away from a bound): the probes may reach this many
// times beyond it before a parameter counts as changing nothing.
inline constexpr double kLongestProbePerDeclaredScale = 0x1p10;
inline constexpr int kMaxProbes = 6;

// --- The final Hessian (likelihood/shape_differences.h, scales/hessian_resolution.h) ---

// The step of the shape differences, as a fraction of the parameter's error.
// Central differences are extrapolated from h and 2h, so the step need not
// be short, and a short one lets the PDFs' own rounding through: a
// normalisation integral rounded to 1e-15 moves the NLL of 10^4 events by
// about 1e-11, which is 1e-7 of the change at a hundredth of an error and
// decides the near-null curvature of two parameters correlated to 1 - 1e-6.
// At a tenth that rounding stays near 3e-10 of the curvature (a twentieth
// still left errors of such a pair 1e-3 apart between NumPy versions, whose
// rounding differs), and what is left of the truncation is of order h^4:
// 7e-5 of the analytic errors of a 50-event signal, whose likelihood is far
// from quadratic over one error.
inline constexpr double kShapeStepPerError = 0.1;

// No step of the final Hessian exceeds this many of the parameter's scale
// along the run, so that a parameter the data barely fix does not send the
// PDFs far from where the fit has been.
inline constexpr double kLargestStepPerScale = 1.0;

// The rounding of a PDF's values that every event shares (its normalisation),
// in units of 2^-52, stencil included: measured at 1.6 to 2.8 for a
// background normalised by a 64-point quadrature, from 10^4 to 10^6 events.
inline constexpr double kSharedPdfRoundingUlps = 4.0;

// An eigenvalue of the unit-diagonal Hessian counts as curvature only this
// far above the noise of its entries: then the noise moves no variance by
// more than 1 %.
inline constexpr double kCurvatureOverNoise = 100.0;

// The resolution of a Hessian without shape parameters, whose entries are
// compensated sums exact to a few units of rounding.
inline constexpr double kYieldHessianResolution = 1e-12;

// --- The minimizer's coordinates (scales/coordinate_scale.h) ---

// How far, in powers of two, a coordinate's curvature may take its scale
// before the scale is estimated again: far enough that the curvature's own
// wandering along a run does not restart the minimizer's memory.
inline constexpr double kRescaleExponent = 1.5;

// How many times one run may estimate its scale again: enough for a peak
// that widens and moves across its range, few enough that a curvature that
// keeps changing cannot restart the minimizer's memory without end.
inline constexpr std::size_t kMaxRescales = 8;

// --- Refit rule 1: a vanished component (runs/vanished_refit.h) ---

// A yield below this fraction of one event has vanished: the NLL then hardly
// depends on its component's shape, so nothing in the fit can bring it back.
inline constexpr double kVanishedFractionOfOneEvent = 1e-6;

// A held yield y keeps to [y (1 - 2^kHeldWidthExponent), y]: the minimizer's
// boxes have positive width, and over this one the yield changes the NLL by
// less than its statistical resolution allows to matter.
inline constexpr int kHeldWidthExponent = -20;

// --- Refit rule 2: yields far from their start (runs/far_yields_refit.h) ---

// How far, as a ratio, a fitted yield may end from its start before the
// start counts as far from it.
inline constexpr double kFarYieldRatio = 4.0;

// How far, as a fraction of its fitted value, a shape parameter may end from
// its start with the start still counting as a good one, whatever its
// error: errors shrink with the square root of the sample, so a rule in
// errors alone would refit every large fit whose start was not exact.
inline constexpr double kTravelledFraction = 0.02;

// How many of its errors a shape parameter may end from its start with the
// start still counting as a good one.
inline constexpr double kTravelledErrors = 3.0;

}  // namespace tarnwex::policy
