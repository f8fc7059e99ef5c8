// How finely the fit's convergence tests can and should look: the NLL's
// statistical unit under the given weights, and the resolution of the NLL
// itself.
#pragma once

#include <expected>
#include <span>

#include "fit/interrupt_check.h"
#include "fit/splot_error.h"

namespace tarnwex {

// sum w^2 / sum w: the factor by which the weights scale the NLL's
// statistical units (an NLL change of 1/2 per standard deviation with unit
// weights). 1 without weights or when the sums give no positive finite
// ratio. Computed on the weights divided by the largest |w|, so that
// neither sum under- or overflows. The only error is the interrupt check's.
std::expected<double, SPlotError> weight_scale(std::span<const double> weights,
                                               const InterruptCheck& interrupted = {});

// How many units in the last place of the NLL a change must exceed to be
// told from rounding: each NLL is within 4 of the exactly rounded sum of its
// terms, so the difference of two is within 8.
inline constexpr double kResolutionUlps = 8.0;

// The objective-change threshold: tolerance in the NLL's statistical units,
// but never finer than the NLL can resolve at the start point,
// max(tolerance * weight_scale, 8 ulp(|nll_at_start|)).
double objective_change_threshold(double tolerance, double weight_scale, double nll_at_start);

}  // namespace tarnwex
