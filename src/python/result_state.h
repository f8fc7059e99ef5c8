// A result across process boundaries: the state an SPlotResult pickles to,
// and the fields read back from one.
#pragma once

#include <optional>

#include "python/python_api.h"
#include "python/splot_result_fields.h"

namespace tarnwex {

// The state tuple that restores `fields` (the arguments of the restore
// function). A new reference, or null with a Python error set.
PyObject* result_state(const SPlotResultFields& fields);

// The fields a state tuple describes, every part of it checked, so that a
// state from anywhere else gives an error and never an inconsistent result:
// arrays of float64 with the shapes the properties document (copied, so that
// nothing is shared with the state), one entry per shape parameter in each
// map. Nothing, with a Python error set, when the state is not such a tuple.
std::optional<SPlotResultFields> fields_from_state(PyObject* state);

}  // namespace tarnwex
