// The fit's policy constants: the thresholds of the refit rules and of the
// scales, each with its reason, in one place to read and to tune. Changing
// one changes the minimizer's path.
#pragma once

#include <cstddef>

namespace tarnwex::policy {

// --- Convergence (scales/convergence_scale.h) ---

// How many units in the last place of the NLL a change must exceed to be
// told from rounding: each NLL is within 4 of the exactly rounded sum of its
// terms, so the difference of two is within 8.
inline constexpr double kResolutionUlps = 8.0;

// --- The minimizer's coordinates (scales/coordinate_scale.h) ---

// How far, in powers of two, a coordinate's curvature may take its scale
// before the scale is estimated again. Above one, so that a curvature near
// the middle between two powers of two does not flip the rounded scale back
// and forth.
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

// How many of its errors a shape parameter may end from its start with the
// start still counting as a good one.
inline constexpr double kTravelledErrors = 3.0;

}  // namespace tarnwex::policy
