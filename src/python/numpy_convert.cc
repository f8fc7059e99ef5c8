#include "python/numpy_convert.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <string>

#include "fit/inputs/pdf_value_checks.h"
#include "python/py_ref.h"
#include "python/signal_checks.h"

namespace tarnwex {

namespace {

constexpr const char* kCapsuleName = "tarnwex.float64_storage";

void free_storage(PyObject* capsule) {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A new float64 array of shape `dims` over `values`' storage, which a capsule
// set as the array's base keeps alive and frees with it.
PyObject* array_over_storage(std::vector<double>&& values, int ndim, npy_intp* dims) {
  auto* storage = new std::vector<double>(std::move(values));
  PyRef capsule = PyRef::steal(PyCapsule_New(storage, kCapsuleName, free_storage));
  if (!capsule) {
    delete storage;
    return nullptr;
  }
  PyObject* array = PyArray_SimpleNewFromData(ndim, dims, NPY_DOUBLE, storage->data());
  if (array == nullptr) return nullptr;
  // Steals the capsule reference whether or not it succeeds.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace

bool is_float64_array(PyObject* object, int ndim) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_NDIM(array) == ndim;
}

bool is_readable_in_place(PyArrayObject* array) {
  return PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
}

std::optional<bool> all_finite(PyArrayObject* matrix) {
  const npy_intp cols = PyArray_DIM(matrix, 1);
  const npy_intp row_stride = PyArray_STRIDE(matrix, 0);
  const npy_intp col_stride = PyArray_STRIDE(matrix, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(matrix));
  // Rows that follow each other without a gap are scanned as one run.
  const bool contiguous = PyArray_IS_C_CONTIGUOUS(matrix);
  bool finite = true;
  const auto rows = static_cast<std::size_t>(PyArray_DIM(matrix, 0));
  const bool read = for_signal_blocks(rows, [&](std::size_t first, std::size_t end) {
    if (!finite) return;
    if (contiguous) {
      const auto width = static_cast<std::size_t>(cols);
      const auto* values = reinterpret_cast<const double*>(base) + first * width;
      std::uint64_t marks = 0;
      for (std::size_t i = 0; i < (end - first) * width; ++i) marks |= non_finite_mark(values[i]);
      finite = !some_non_finite(marks);
      return;
    }
    for (std::size_t i = first; i < end && finite; ++i) {
      const char* row = base + static_cast<npy_intp>(i) * row_stride;
      for (npy_intp j = 0; j < cols; ++j) {
        if (!std::isfinite(*reinterpret_cast<const double*>(row + j * col_stride))) finite = false;
      }
    }
  });
  if (!read) return std::nullopt;
  return finite;
}

PyObject* vector_to_numpy(std::vector<double>&& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  return array_over_storage(std::move(values), 1, dims);
}

PyObject* owned_matrix_to_numpy(RowMatrix&& matrix) {
  // NumPy would read the storage as rows x cols values, so it must hold that many.
  if (matrix.values.size() != matrix.rows * matrix.cols) {
    const std::string text = "invalid length: " + std::to_string(matrix.values.size()) +
                             ", but expected " + std::to_string(matrix.rows * matrix.cols);
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
  return array_over_storage(std::move(matrix.values), 2, dims);
}

namespace {

bool is_contiguous_vector(PyArrayObject* array) {
  return PyArray_STRIDE(array, 0) == static_cast<npy_intp>(sizeof(double)) ||
         PyArray_DIM(array, 0) <= 1;
}

}  // namespace

PyArrayObject* readable_vector(PyArrayObject* array, PyRef& holder) {
  if (is_readable_in_place(array) && is_contiguous_vector(array)) return array;
  holder = PyRef::steal(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                        PyArray_DescrFromType(NPY_DOUBLE), 1, 1,
                                        NPY_ARRAY_IN_ARRAY, nullptr));
  return reinterpret_cast<PyArrayObject*>(holder.get());
}


void copy_matrix_column(PyArrayObject* matrix, std::size_t column, std::vector<double>& out) {
  const auto rows = static_cast<std::size_t>(PyArray_DIM(matrix, 0));
  const char* base = static_cast<const char*>(PyArray_DATA(matrix)) +
                     static_cast<npy_intp>(column) * PyArray_STRIDE(matrix, 1);
  const npy_intp stride = PyArray_STRIDE(matrix, 0);
  out.resize(rows);
  for (std::size_t e = 0; e < rows; ++e) {
    out[e] = *reinterpret_cast<const double*>(base + static_cast<npy_intp>(e) * stride);
  }
}

bool copy_numpy_vector(PyArrayObject* array, std::vector<double>& out) {
  PyRef readable;
  PyArrayObject* source = readable_vector(array, readable);
  if (source == nullptr) return false;
  const auto* values = static_cast<const double*>(PyArray_DATA(source));
  const auto n_values = static_cast<std::size_t>(PyArray_DIM(source, 0));
  out.reserve(out.size() + n_values);
  return for_signal_blocks(n_values, [&](std::size_t first, std::size_t end) {
    out.insert(out.end(), values + first, values + end);
  });
}

}  // namespace tarnwex
