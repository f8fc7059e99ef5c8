// Moving doubles between the fit's containers and NumPy arrays.
#pragma once

#include <optional>
#include <vector>

#include "fit/core/row_matrix.h"
#include "python/py_ref.h"
#include "python/python_api.h"

namespace tarnwex {

// Whether `object` is a float64 NumPy array (or subclass) of `ndim` dimensions.
bool is_float64_array(PyObject* object, int ndim);

// Whether the array's doubles can be read in place: aligned and in the
// machine's byte order.
bool is_readable_in_place(PyArrayObject* array);

// Whether every value of a readable 2-D float64 array is finite, read
// through its strides; nothing, with the exception set, when a signal
// handler raised on the way.
std::optional<bool> all_finite(PyArrayObject* matrix);

// A new 1-D float64 array that takes over the vector's storage: NumPy frees
// it with the array, and nothing is copied.
PyObject* vector_to_numpy(std::vector<double>&& values);
// A 2-D array that takes over the matrix's row-major storage (no copy).
PyObject* owned_matrix_to_numpy(RowMatrix&& matrix);
// `array` itself when its values can be read in place as one contiguous
// block, else a contiguous, aligned, native copy held by `holder`; nullptr
// (Python error set) when the copy fails.
PyArrayObject* readable_vector(PyArrayObject* array, PyRef& holder);

// Column `column` of a readable 2-D float64 matrix (aligned, native byte
// order), read through its strides into `out`, in row order; the caller
// checks that the column exists.
void copy_matrix_column(PyArrayObject* matrix, std::size_t column, std::vector<double>& out);

// Appends the values of a 1-D float64 array to `out` in logical order, read
// through the array's strides whatever its layout and byte order, checking
// for signals between blocks. False with a Python error set on failure,
// a signal handler's exception included.
bool copy_numpy_vector(PyArrayObject* array, std::vector<double>& out);

}  // namespace tarnwex
