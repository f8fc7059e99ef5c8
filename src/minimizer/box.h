// The box of a bound-constrained problem: projection onto it, and which
// coordinates lie on its sides.
#pragma once

#include <optional>
#include <vector>

#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

// The vector projected onto the box; unchanged without bounds.
Vector clip(const Vector& v, const std::optional<BoundList>& bounds);

// The direction d at x with every component that would leave the box at
// once (x on a side, d pointing out across it) set to 0.
Vector inward(Vector d, const Vector& x, const std::optional<BoundList>& bounds);

// Per coordinate: whether v lies on a side of its bound.
std::vector<bool> on_bound_sides(const Vector& v, const std::optional<BoundList>& bounds);

}  // namespace tarnwex
