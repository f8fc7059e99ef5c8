// The scale of each shape parameter at a run's start, found by probing the
// NLL along it: the length over which the NLL changes by its statistical
// unit, whatever units the parameter is written in.
//
// Before the data have said anything the only lengths the fit knows are
// those the declaration gives (a box, a start), and those can be thousands
// of errors long, or the error itself can be a millionth of the value. So
// the search starts a small fraction into the declared scale and moves its
// step to where the parameter's own curvature says it belongs, until a
// probe's step is within a factor of the gradient's step for the scale it
// finds. That probe's points are the run's first gradient's, so a search
// that lands at once costs nothing.
#pragma once

#include <expected>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/likelihood/joint_likelihood.h"
#include "minimizer/types.h"

namespace tarnwex {

struct ShapeScales {
  // Per shape parameter: sqrt(event_unit / |c|), the error the curvature c
  // suggests (the declared scale where no probe found a curvature), and c
  // itself (NaN where none was found).
  std::vector<double> scales;
  std::vector<double> curvature;
  // Per shape parameter: whether its box is too narrow for the NLL to
  // change beyond its rounding anywhere the probes went (a quarter of the
  // box), so that the run holds it where it starts.
  std::vector<bool> held;
};

// Probes along each shape parameter of `start` (yields as they are), every
// point inside the shape bounds. The likelihood's errors are returned.
std::expected<ShapeScales, SPlotError> probe_shape_scales(JointLikelihood& likelihood,
                                                          const Vector& start, double event_unit);

}  // namespace tarnwex
